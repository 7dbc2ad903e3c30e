"""Training one candidate program: starting parameters, sample passes
through the native model, the closed-form output register, and the polish.

Every random choice a candidate makes comes from its own seed, drawn by the
search before the training threads start, and the parameters of every
categorical element list every training category from the start: the
native model then never draws a starting weight for a new category from
the process-wide C generator while training (only predicting unseen
held-out categories, which gives them the bias alone).  So the result of a
candidate does not depend on which thread trains it, or when.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field

import numpy as np

from ._categories import category_key
from ._data import TrainingData
from ._elements import CATALOGUE, CATEGORICAL_INPUT, Start, new_model
from ._evaluate import clamp_active
from ._fitting import polish, refit_root
from ._program import operand_indices, program_key, subtree_end
from ._refusal import ModelRefusal, refusals
from ._render import render
from ._scoring import Scorer

# What a model raises when training or predicting runs into values it cannot
# use (a training that diverged to infinities, for one): such a start counts
# as failed.  Anything else is a fault and surfaces.
REFUSED_BY_MODEL = ModelRefusal


@dataclass
class Candidate:
    key: str
    dnames: list[str]
    fnames: list[str]
    params: list[dict] | None = None  # best parameters found (output register refitted)
    metrics: dict = field(default_factory=dict)
    score: float = math.inf
    improved: bool = False           # polished and retrained once already
    samples: int = 0                 # training samples behind `params`
    clamp_active: bool = False       # some element clamps on the training rows with `params` (worked out
                                     # for exact formulas only, which alone tie; see `_offer`)
    text_length: int = 0             # characters of its formula (4 digits, data units) when exact


def inherited(dnames, fnames, parents) -> dict[int, dict]:
    """Trained parameters for the parts of a program that are subtrees of a
    parent: {element index: parameters}.

    A new program is often a trained one with a term added or a piece
    changed; starting the shared pieces where the parent ended saves the
    training from finding them again.  Subtrees are tried largest first, and
    the parent that lends the most elements is used.
    """
    subtrees: dict[tuple, list[int]] = {}  # the program's subtrees below the root -> where they start
    for at in range(1, len(fnames)):
        end = subtree_end(fnames, at)
        subtrees.setdefault((tuple(fnames[at:end]), tuple(dnames[at:end])), []).append(at)
    best: dict[int, dict] = {}
    for parent_dnames, parent_fnames, parent_params in parents:
        lent: dict[int, dict] = {}
        for start, end, piece in _pieces(tuple(parent_dnames), tuple(parent_fnames)):
            if end - start < 2 and lent:
                break
            for at in subtrees.get(piece, ()):
                if not any(j in lent for j in range(at, at + end - start)):
                    lent.update({at + k: dict(parent_params[start + k]) for k in range(end - start)})
                    break
        if len(lent) > len(best):
            best = lent
    return best


@functools.lru_cache(maxsize=256)
def _pieces(dnames: tuple, fnames: tuple) -> tuple:
    """(start, end, (fnames, dnames) of the subtree) of every subtree of a
    program below its root, largest first (worked out once for a parent
    that lends to every program of a round)."""
    ends = [subtree_end(fnames, i) for i in range(len(fnames))]
    return tuple((start, ends[start], (fnames[start:ends[start]], dnames[start:ends[start]]))
                 for start in sorted(range(1, len(fnames)), key=lambda i: i - ends[i]))


def initial_params(data: TrainingData, dnames, fnames, rng: np.random.Generator,
                   lent: dict[int, dict] | None = None) -> list[dict]:
    """Starting parameters: each element's own start (those `lent` by a
    parent instead), then the output register solved for them."""
    params: list[dict] = []
    for dname, fname, (under_positive, under_wave) in zip(dnames, fnames, _under(tuple(fnames))):
        start = CATALOGUE[fname].start
        params.append(start(Start(rng, dname, under_positive, data, under_wave)) if start is not None else {})
    for i, params_lent in (lent or {}).items():
        params[i] = dict(params_lent)
    refit_root(data, dnames, fnames, params)
    return params


@functools.lru_cache(maxsize=1024)
def _under(fnames: tuple) -> tuple[tuple[bool, bool], ...]:
    """For every element, whether its parent wants a positive operand (or is
    a sum that should be positive), and whether its parent is a wave."""
    under = [(False, False)] * len(fnames)
    for i, fname in enumerate(fnames):
        parent = CATALOGUE[fname]
        positive = parent.positive_operand or (fname == "add:2" and under[i][0])
        for j in operand_indices(fnames, i):
            under[j] = (positive, parent.periodic)
    return tuple(under)


# Samples per `_fit` call: the learning rate follows its schedule from one
# call to the next (it is fixed within a call).
_SAMPLES_PER_CALL = 10000


def train(data: TrainingData, model, dnames, samples: int, rng: np.random.Generator) -> int:
    """Run `samples` training samples through `_fit` (of the model of a
    program whose data names are `dnames`): a window of the data's stream
    (see `TrainingData.streamed`) at a random place, taken in slices, so
    that no sample is copied (it wraps around a stream too short)."""
    rows = data.stream if data.stream is not None else data.train
    columns = {name: rows.x[name] for name in dict.fromkeys(dnames) if name in rows.x}   # those the model reads
    position = int(rng.integers(max(1, rows.n - samples + 1)))
    done = 0
    while done < samples:
        take = min(_SAMPLES_PER_CALL, samples - done, rows.n - position)
        window = slice(position, position + take)
        x = {name: values[window] for name, values in columns.items()}
        with refusals():
            model._fit(x, rows.y[window], None if rows.weights is None else rows.weights[window])
        done += take
        position = (position + take) % rows.n
    return done


def _in_data_order(data: TrainingData, dnames, fnames, params) -> list[dict]:
    """Copies of the parameter dictionaries with every category list in the
    order the categories first appear in the training rows.

    The model lists them in the order of their hashes, which for strings
    changes from one interpreter to the next; a fixed order keeps the
    arithmetic that follows, and so the search, repeatable.
    """
    copies = [dict(p) for p in params]
    for i, fname in enumerate(fnames):
        if fname == CATEGORICAL_INPUT:
            weights = {category_key(key): (key, weight) for key, weight in copies[i]["categories"]}
            ordered = [weights.pop(category_key(key)) for key in data.categories[dnames[i]]
                       if category_key(key) in weights]
            copies[i]["categories"] = ordered + list(weights.values())
    return copies


def _offer(data: TrainingData, scorer: Scorer, candidate: Candidate, params, samples: int) -> None:
    """Keep `params` (trained on `samples` samples) if they score best so far;
    at an equal score, parameters under which no element clamps on the
    training rows win, since only then is the model the formula it prints.

    Only exact formulas tie (their scores meet at the error floor), so only
    for them is it worked out whether an element clamps (a numpy evaluation
    of the whole program); the search works it out for the models it hands
    out."""
    try:
        score, metrics = scorer(candidate.dnames, candidate.fnames, params)
    except REFUSED_BY_MODEL:
        return
    if candidate.params is not None and score > candidate.score:
        return
    exact = data.task == "regression" and metrics["loss"] <= scorer.error_floor
    tie = candidate.params is not None and score == candidate.score
    clamped = clamps(data, candidate.dnames, candidate.fnames, params) if exact or tie else False
    if tie and clamped and not clamps(data, candidate.dnames, candidate.fnames, candidate.params):
        return
    candidate.params, candidate.metrics, candidate.score = params, metrics, score
    candidate.samples, candidate.clamp_active = samples, clamped
    candidate.text_length = len(render(candidate.dnames, candidate.fnames, data.params_in_data_units(params)).text) \
        if exact else 0


def clamps(data: TrainingData, dnames, fnames, params) -> bool:
    """Whether some element clamps on the training rows the polish uses."""
    return clamp_active(dnames, fnames, params, data.polish.encoded)


def new_candidate(data: TrainingData, scorer: Scorer, program, seed: int, samples: int, starts: int = 2,
                  lent: dict[int, dict] | None = None) -> Candidate:
    """Train a program from `starts` starting points, sharing the samples
    between them, and keep the best: a single start ends now and then with
    a branch switched off for good.  The first start takes the `lent`
    parameters, if any; the others are random."""
    dnames, fnames = program
    rng = np.random.default_rng(seed)
    candidate = Candidate(program_key(dnames, fnames), list(dnames), list(fnames))
    for start in range(starts):
        params = initial_params(data, dnames, fnames, rng, lent if start == 0 else None)
        model = new_model(dnames, fnames, params, 0, data.loss_name)
        try:
            trained = train(data, model, dnames, max(1, samples // starts), rng)
            params = _in_data_order(data, dnames, fnames, model.params)
        except REFUSED_BY_MODEL:
            continue
        refit_root(data, dnames, fnames, params)
        _offer(data, scorer, candidate, params, trained)
    return candidate


# A structure that came close is trained anew from this many starts, each
# polished: one unlucky start must not bury an exact law.
IMPROVE_STARTS = 3
# When the held-out losses of those starts differ by more than this factor
# (and none is exact), the structure has local optima: as many starts again.
DISAGREEMENT = 10.0


def restart_seeds(seed: int) -> list[int]:
    """The seeds of a candidate's retrainings, drawn from its own seed: the
    first IMPROVE_STARTS always run, the rest when those disagree."""
    rng = np.random.default_rng(seed)
    return [int(seed) for seed in rng.integers(2**63, size=2 * IMPROVE_STARTS)]   # as one at a time


def polished(data: TrainingData, scorer: Scorer, candidate: Candidate) -> Candidate:
    """The candidate, with its parameters polished where that scores better."""
    if candidate.params is not None:
        _offer(data, scorer, candidate, polish(data, candidate.dnames, candidate.fnames, candidate.params),
               candidate.samples)
    return candidate


def restarted(data: TrainingData, scorer: Scorer, program, seed: int, samples: int) -> Candidate:
    """The program trained anew from one start drawn from `seed`, and
    polished (kept polished where that scores better)."""
    restart = new_candidate(data, scorer, program, seed, samples, starts=1)
    if restart.params is not None:
        _offer(data, scorer, restart, polish(data, restart.dnames, restart.fnames, restart.params),
               restart.samples)
    return restart


def adopt(candidate: Candidate, other: Candidate) -> None:
    """Take the parameters of `other`, a training of the same program, where
    they score better (at an equal score, which only exact formulas reach,
    where they do not clamp and the candidate's do): the choice `_offer`
    makes, from the scores and flags `other` carries already."""
    if other.params is None:
        return
    if candidate.params is not None:
        if other.score > candidate.score:
            return
        if other.score == candidate.score and other.clamp_active and not candidate.clamp_active:
            return
    candidate.params, candidate.metrics, candidate.score = other.params, other.metrics, other.score
    candidate.samples, candidate.clamp_active = other.samples, other.clamp_active
    candidate.text_length = other.text_length


def needs_more_starts(polished_candidate: Candidate, restarts: list[Candidate], floor: float) -> bool:
    """Whether the held-out losses of the polished candidate and of its first
    IMPROVE_STARTS retrainings (those that trained) call for as many again:
    they differ by more than DISAGREEMENT, and none is exact."""
    losses = [polished_candidate.metrics["loss"]] + [r.metrics["loss"] for r in restarts if r.params is not None]
    finite = [v for v in losses if math.isfinite(v)]
    return bool(finite) and min(finite) > floor and max(finite) > DISAGREEMENT * min(finite)


def combined(candidate: Candidate, polished_candidate: Candidate | None,
             restarts: list[Candidate | None]) -> Candidate:
    """The candidate improved by its pieces, taken in order: its polish and
    its retrainings (None for a piece a time limit left undone; the
    candidate then counts as improved only once every piece is in)."""
    base = polished_candidate if polished_candidate is not None else candidate
    for restart in restarts:
        if restart is not None:
            adopt(base, restart)
    base.improved = polished_candidate is not None and None not in restarts
    return base


def improve(data: TrainingData, scorer: Scorer, candidate: Candidate, seed: int, samples: int) -> Candidate:
    """Polish the candidate's parameters, and train it anew from several
    starts, each polished too; keep the best.  (The search runs these
    pieces as separate tasks, `polished` and `restarted`, and puts them
    together with `combined`, as here.)"""
    if candidate.params is None:
        candidate.improved = True
        return candidate
    program, seeds = (candidate.dnames, candidate.fnames), restart_seeds(seed)
    polished_candidate = polished(data, scorer, candidate)
    restarts = [restarted(data, scorer, program, s, samples) for s in seeds[:IMPROVE_STARTS]]
    if needs_more_starts(polished_candidate, restarts, scorer.error_floor):
        restarts += [restarted(data, scorer, program, s, samples) for s in seeds[IMPROVE_STARTS:]]
    return combined(candidate, polished_candidate, restarts)
