"""The program search: sample programs, train them, score them, learn.

Each round asks a `_kestor.KCell` (which forwards to `ProgramCollection`)
for new candidate programs, trains every candidate with `Model._fit` on
a fixed number of samples on all cores, scores it on held-out rows (the
loss plus a penalty for size, as an information criterion), improves the
best ones further, and feeds the scores back to the cell so that later
rounds favour the structures and inputs that did well.

A round costs the same on a large table as on a few thousand rows:
candidates are refitted and scored on a few thousand of the rows (see
`vant._data`), and only the best are scored on every held-out row at the
end, which decides their order.

Results do not depend on where or when candidates train: every random
number a round uses (the programs, each candidate's seed) is drawn from the
search's own generator before any task is sent, a candidate's training
depends on its seed alone (see `vant._training`), and the results are taken
in the order the tasks were made.  So threads, processes and a Dask
cluster (see `vant._executors`) find the same models.
"""

from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass, field
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

import _kestor

from . import _params, _tasks
from ._data import TrainingData, prepare
from ._elements import ARITY, CATEGORICAL_INPUT, TASKS, import_modules, operator_types
from ._executors import ClusterLost, open_backend, run_tasks, run_with_follow_ups
from ._found import FoundModel
from ._params import DEFAULT_MAX_CATEGORIES
from ._progress import Progress, SearchState
from ._powers import power_law_programs
from ._program import default_max_elements, program_key, simplifications
from ._render import render
from ._scoring import Scorer
from ._stopping import errors_are_noise
from ._terms import TermColumns, missing_terms, wrapped
from ._training import IMPROVE_STARTS, Candidate, clamps, combined, inherited, needs_more_starts, restart_seeds

# Learned preferences drift back toward the starting ones by this share a round,
# so that an early favourite cannot shut the others out for good.
_DECAY_PER_ROUND = 0.05

# The search ends before its rounds or time run out once it is done: the
# leader has been trained from several starts, the best score has not
# improved by more than SIGNIFICANT (a difference in the information
# criterion that is worth a mention) for EXACT_PATIENCE rounds and the
# leader's held-out error is at the floor below which errors are rounding,
# or for PATIENCE rounds and the leader's errors are noise (see
# `vant._stopping`).  A search that stopped improving while its leader still
# misses something goes on: it is stuck, not done.  These are the search's
# own figures, so a seed gives the same rounds whatever the number of threads.
SIGNIFICANT = 2.0
PATIENCE = 8
EXACT_PATIENCE = 2
# Each round the best this many programs not extended yet are offered with
# the terms their errors point at.
EXTENDED_PER_ROUND = 3
# and so are the best this many of at most COMPACT_SIZE elements: a law is
# more often a term away from a small program than from a large blend.
COMPACT_EXTENDED_PER_ROUND = 2
COMPACT_SIZE = 6
# and so are the best this many without a bell (see `bell_shaped`): the term
# regressions build structure onto them while blends of bells lead.
STRUCTURED_EXTENDED_PER_ROUND = 2
# Once a bell-shaped leader has not improved for this many rounds, new
# programs are built without bells and varied from the best programs without
# them too, until a leader without bells takes over or the leader improves: a
# blend of bells fits the box it was trained on and fails outside it, and
# the rounds it keeps improving by a little crowd out the structures of laws.
BELL_PATIENCE = 2
BELL_TYPES = frozenset({"gaussian:1", "gaussian:2"})
# Exponentials of these are bells as well (exp(-x**2), exp(exp(..))).
_BELL_OPERANDS = BELL_TYPES | {"squared:1", "exp:1"}
# Under a time limit, a population larger than this is generated in batches
# of this many, with a look at the clock between them.
GENERATED_PER_BATCH = 256


def search(data: Any, target: str, *, kind: str = "regression", seed: int | np.random.Generator | None = None,
           time_limit: float | None = None, rounds: int | None = None, population: int = 32,
           max_elements: int | None = None, operators: str | Sequence[str] | None = None,
           sample_weights: str | Any = None, inputs: Sequence[str] | None = None, categorical: Sequence[str] = (),
           max_categories: int = DEFAULT_MAX_CATEGORIES, priors: Mapping[str, float] | None = None,
           validation_fraction: float = 0.25,
           train_samples: int | None = None, refine: int = 4, complexity_penalty: float = 1.0, top: int = 10,
           n_jobs: int | None = None, executor: Any = None, verbose: int | bool = 0,
           callback: Callable[[SearchState], object] | None = None) -> SearchResult:
    """Search for formulas that predict `target` from the other columns.

    Each round samples new programs, trains each on the training rows,
    scores it on held-out rows (the loss plus a penalty for size), refines
    the best and learns from the scores which structures and inputs to
    favour.  Ctrl-C stops the search within about a second and returns what
    was found so far, with a warning; a second Ctrl-C while it stops aborts.

    Parameters
    ----------
    data : mapping or DataFrame
        Column name -> one-dimensional numpy array, or a pandas DataFrame.
    target : str
        The name of the column to predict.
    kind : {"regression", "classification"}
        "regression" (a numeric target, squared error) or "classification"
        (two classes, cross-entropy; predictions are probabilities of the
        second class in sorted order).
    seed : int, numpy.random.Generator or None
        A non-negative integer makes the search repeatable: the same seed,
        data and arguments give the same models, whatever the thread timing
        and wherever the candidates train (a `time_limit` that ends the
        search early can change how many candidates are trained).
    time_limit : float or None
        Seconds; no new candidate starts training once the search has
        noticed it has passed, within a few hundredths of a second (on a
        cluster, unfinished ones are dropped).
    rounds : int or None
        The most rounds to run (default 20 without a time limit, else as
        many as fit in it); the search ends sooner once it is done: the
        leader has been trained from several starts, its score has stopped
        improving, and its held-out errors are rounding (after two rounds
        without a gain) or noise that no input explains (after eight; only
        where the held-out rows lie close enough together to tell, which
        many inputs and few rows do not).  Why it ended is every model's
        ``metrics["stopped"]``: "exact", "noise", "time", "rounds" or
        "interrupted" (Ctrl-C, or a lost cluster).
    population : int
        New programs trained per round.
    max_elements : int or None
        The largest program, 2 to 32 elements.  None: 12, or four per
        input column where that is more (at most 32), as a law of k
        quantities takes at least 2*k elements, and most a function or two
        of its quantities besides.
    operators : list of str, str or None
        The functions formulas may use beyond add and multiply, which are
        always there: a list of names, or "all".  The default set is
        gaussian, exp, log, inverse, sqrt, squared, tanh and linear; "all"
        adds sin, cos, divide, pow (a power with a fitted exponent) and abs.
        A name is given without its arity ("gaussian" is both the one- and
        the two-operand bell) or with it ("gaussian:1"), and "default" in
        the list stands for the default set: ``operators=["default", "sin",
        "cos"]``; ``operators=["sin"]`` builds from sums, products and
        sines.  Inputs always enter scaled and shifted (the linear map of
        each input is not an operator).
    sample_weights : str, array or None
        A column name, or an array of non-negative weights.
    inputs : list of str or None
        The columns to use (default: all but the target and the weights).
    categorical : sequence of str
        Columns to treat as categories even when numeric; columns of strings
        or objects are always categorical.
    max_categories : int
        The most distinct values a categorical input may have; a column
        with more is refused as most likely an identifier, unless this is
        raised.
    priors : mapping of str to float or None
        Input name -> preference weight (0 excludes the input).
    validation_fraction : float
        The share of the rows held out for scoring, strictly between 0 and 1.
    train_samples : int or None
        Samples each candidate is trained on (default about 20 passes over
        the training rows, 20000 to 60000 samples).
    refine : int
        How many of the best programs not refined yet are refined each round
        (their parameters polished, and trainings from several new starts,
        each polished).
    complexity_penalty : float
        Multiplies the size penalty of the score.
    top : int
        How many models to return at most.
    n_jobs : int or None
        Training threads or processes of the search's own pool (None or -1:
        all cores; -2 all but one, ...).
    executor : str, Executor, dask.distributed.Client or None
        Where candidates train: None or "threads" (a thread pool),
        "processes" (a process pool on this machine: a script then searches
        under ``if __name__ == "__main__":``), any
        concurrent.futures.Executor, a dask.distributed.Client, or the
        address of a Dask scheduler ("tcp://host:8786"; needs
        ``vant[dask]``).  The data go to each worker once per search.
    verbose : int
        0 prints nothing; 1 shows a progress bar (with tqdm installed; else
        a line per round) with the best loss and size so far; 2 adds a line
        per round with the front.
    callback : callable or None
        Called after every round with a `SearchState` (the round, the time,
        the best model and the front so far), e.g. to draw progress.

    Returns
    -------
    SearchResult
        The found models (`FoundModel`), best (lowest held-out score) first:
        a list whose ``front`` holds the best model of every size by
        held-out loss, smallest first, whose ``interrupted`` says whether
        Ctrl-C ended the search, and whose ``stopped`` says why it ended.

    Raises
    ------
    ValueError
        For an argument out of its range, data that cannot be searched (too
        few rows, a missing or constant target, ...), or an unknown
        operator.
    TypeError
        For an argument of the wrong type.
    ConnectionError
        When a Dask cluster cannot be reached, or goes away before anything
        was found (after something was, the search returns it with a
        RuntimeWarning).

    Examples
    --------
    >>> import numpy as np, vant
    >>> x = np.random.default_rng(0).uniform(-2, 2, 1000)
    >>> models = vant.search({"x": x, "y": 3 * x + 1}, "y", seed=1, rounds=2, population=8)
    >>> models[0].expression
    '3*x + 1'
    """
    started = time.monotonic()
    if kind not in TASKS:
        raise ValueError(f"kind must be 'regression' or 'classification', not {kind!r}")
    max_elements = _params.max_elements(max_elements)
    validation_fraction = _params.number("validation_fraction", validation_fraction)
    if not 0.0 < validation_fraction < 1.0:
        raise ValueError("validation_fraction must lie strictly between 0 and 1")
    population, top = _params.population(population), _params.integer("top", top, 1)
    refine = _params.integer("refine", refine, 0)
    complexity_penalty = _params.number("complexity_penalty", complexity_penalty)
    if not complexity_penalty >= 0.0:
        raise ValueError(f"complexity_penalty must not be negative, not {complexity_penalty}")
    time_limit = _params.time_limit(time_limit)
    deadline = None if time_limit is None else started + time_limit
    # Without a time limit the rounds end the search; with one, only if given.
    counted = rounds is not None or time_limit is None
    rounds = (20 if time_limit is None else 1_000_000) if rounds is None else _params.integer("rounds", rounds, 1)
    if train_samples is not None:
        train_samples = _params.integer("train_samples", train_samples, 1)
    max_categories = _params.max_categories(max_categories)
    _params.verbose(verbose)
    _params.callback(callback)
    workers = _params.workers(n_jobs, default=None)
    _params.executor(executor)
    types = operator_types(operators)
    import_modules(types)

    rng = np.random.default_rng(_params.seed(seed))
    prepared = prepare(data, target, kind, rng, sample_weights, inputs, categorical, validation_fraction, priors,
                       workers, max_categories)
    assert prepared.screen is not None   # set by prepare
    scorer = Scorer(kind, prepared.loss_name, prepared.screen, complexity_penalty, prepared.error_floor)
    if prepared.constant is not None:
        return _constant_result(prepared, scorer, target)
    if max_elements is None:
        max_elements = default_max_elements(len(prepared.inputs))
    if train_samples is None:
        train_samples = int(min(60_000, max(20_000, 20 * prepared.train.n)))
    prepared = prepared.streamed(train_samples, rng)
    _kestor.srand(int(rng.integers(2**31)))
    cell = _kestor.KCell()
    if priors:
        cell.update_priors(dict(priors))

    backend = open_backend(executor, n_jobs, workers, deadline)
    progress = Progress(verbose, time_limit, rounds if counted else None, callback)
    interrupted, lost, stopped = False, None, None
    try:
        backend.share(_tasks.Problem(prepared, scorer, _tasks.installed_version()))
        run = _Run(prepared, scorer, cell, rng, {}, population, max_elements, train_samples, refine, types,
                   deadline, backend,
                   excluded=frozenset(name for name, weight in (priors or {}).items() if weight == 0))
        try:
            for round_number in range(rounds):
                if run.round(round_number, target):
                    stopped = run.why_stop(last_round=round_number == rounds - 1)
                else:
                    stopped = "rounds"   # nothing left to try
                if progress.wanted:
                    progress.round(_state(run, round_number, progress, started, stopped))
                if stopped:
                    break
            # Every model handed out has had the same care (time allowing).
            run.improve(_ranked(run.found)[:top])
            run.improve(_best_of_each_size(run.found.values()))
            # Candidates were compared on a subsample of the held-out rows;
            # what is handed out is scored on all of them.
            ranked, sizes = _validated(run, _ranked(run.found)[:2 * top], _best_of_each_size(run.found.values()))
            ranked, sizes = _simplified(run, ranked[:top], sizes)
        except KeyboardInterrupt:
            # Candidates not started yet are cancelled; the running ones
            # finish (a fraction of a second) as the pool closes.  Another
            # Ctrl-C while they do aborts.
            run.stopped = interrupted = True
            stopped = "interrupted"
            if progress.wanted:  # the bar and the callback learn why the search ended
                progress.round(_state(run, max(run.rounds - 1, 0), progress, started, stopped))
        except ClusterLost as error:
            lost, stopped = error, "interrupted"
    finally:
        progress.close()
        backend.close()
    if interrupted or lost:
        # What was found so far, as compared during the search.
        run.keep([Candidate(**result) for result in run.finished])
        ranked = _ranked(run.found)
        sizes = _best_of_each_size(ranked)
        if not ranked:
            raise lost or KeyboardInterrupt()
        if lost:
            warnings.warn(f"{lost}; returning the models found before", RuntimeWarning, stacklevel=2)
        else:
            warnings.warn(f"search interrupted: returning what the {len(run.found)} programs tried so far found",
                          UserWarning, stacklevel=2)
    return _result(prepared, ranked[:top], _best_of_each_size(ranked + sizes), interrupted, run.rounds, stopped)


def _ranked(found: dict[str, Candidate]) -> list[Candidate]:
    """Scored candidates, best first; at an equal score (exact formulas of
    one size score alike) those whose clamps are inactive on the training
    rows first, then those whose formula reads shorter (sin(x) before
    cos(x - 1.571)), then in the order they were found."""
    return sorted((c for c in found.values() if c.params is not None and math.isfinite(c.score)),
                  key=lambda c: (c.score, c.clamp_active, c.text_length))


@dataclass
class _Run:
    """What one search carries from round to round."""
    data: TrainingData
    scorer: Scorer
    cell: Any
    rng: np.random.Generator
    found: dict[str, Candidate]
    population: int
    max_elements: int
    train_samples: int
    improve_count: int
    types: tuple[str, ...]          # the interaction types programs may hold
    deadline: float | None          # time.monotonic() after which no candidate starts
    backend: Any                    # where tasks run, and how they reach the data (see `vant._executors`)
    excluded: frozenset[str] = frozenset()  # inputs whose prior is 0
    trained: int = 0                # candidates trained so far
    stopped: bool = False           # interrupted: no candidate starts any more
    # The candidates of the current batch of tasks (as tasks return them),
    # kept as they arrive so that an interrupted batch keeps those finished.
    finished: list[dict[str, Any]] = field(default_factory=list)

    def past_deadline(self) -> bool:
        """Past the time limit, once something has been trained to return,
        or interrupted."""
        if self.stopped:
            return True
        return self.deadline is not None and self.trained > 0 and time.monotonic() >= self.deadline

    retried: set[str] = field(default_factory=set)  # keys of simplifications tried again from an exact leader
    rounds: int = 0                 # rounds run so far
    best_score: float = math.inf    # the best score when it last improved significantly
    last_gain: int = 0              # the round of that improvement
    extended: set[str] = field(default_factory=set)  # keys of programs given the terms their errors point at
    noise: dict[tuple[str, float], bool] = field(default_factory=dict)  # (key, score) of a leader -> whether its errors are noise
    term_columns: TermColumns | None = None  # the term regressions' rows and columns, once a program is extended
    starts: dict[str, dict[int, dict[str, Any]]] = field(default_factory=dict)  # key -> its lent parameters

    def _arrived(self, result: dict[str, Any]) -> None:
        self.trained += 1
        self.finished.append(result)

    def _run(self, task: Callable[..., Any], jobs: list[Any], costs: list[int] | None = None,
             more: Callable[[], tuple[list[Any], list[int]]] | None = None) -> list[Candidate | None]:
        """The task's candidates in the order of `jobs` (then those of
        `more`); None where the time limit left one untrained.  `costs` and
        `more`: see `run_tasks`."""
        self.finished = []
        results = run_tasks(self.backend, task, jobs, self.past_deadline, self._arrived, costs, more)
        return [None if result is None else Candidate(**result) for result in results]

    def why_stop(self, last_round: bool) -> str | None:
        """After a round, why the search ends now ("exact", "noise", "time"
        or "rounds"), or None when it goes on."""
        return self.done() or ("time" if self.past_deadline() else "rounds" if last_round else None)

    def done(self) -> str | None:
        """"exact" or "noise" when the leader is refined, the best score has
        stopped improving and the leader's errors are rounding or noise (see
        PATIENCE); else None."""
        ranked = _ranked(self.found)
        if not ranked:
            return None
        leader = ranked[0]
        if leader.score < self.best_score - SIGNIFICANT:
            self.best_score, self.last_gain = leader.score, self.rounds
        if not leader.improved:
            return None
        stalled = self.rounds - self.last_gain
        if self.data.task == "regression" and leader.metrics["loss"] <= self.scorer.error_floor:
            return "exact" if stalled >= EXACT_PATIENCE else None
        return "noise" if stalled >= PATIENCE and self._errors_are_noise(leader) else None

    def _errors_are_noise(self, leader: Candidate) -> bool:
        key = (leader.key, leader.score)
        if key not in self.noise:
            self.noise[key] = bool(errors_are_noise(self.scorer.valid, leader.dnames, leader.fnames, leader.params,
                                               self.data.loss_name))
        return self.noise[key]

    def round(self, number: int, target: str) -> bool:
        """Train new programs, learn from their scores, improve the best.
        False when there was nothing left to try."""
        self.rounds += 1
        ranked = _ranked(self.found)
        leaders = ranked[:6]
        types = self.types
        if self._bells_stalled(ranked):
            types = tuple(t for t in self.types if t not in BELL_TYPES)
            structured = [c for c in ranked if not bell_shaped(c.fnames)][:3]
            leaders = list({c.key: c for c in structured + leaders[:3]}.values())
        parents = [(c.dnames, c.fnames) for c in leaders]
        wanted = self.population * 2 if number == 0 else self.population
        programs = self._generate(wanted, target, parents, types)
        planned = {program_key(*p) for p in programs}
        lenders = [(c.dnames, c.fnames, c.params) for c in leaders]

        def jobs_for(batch: list[tuple[list[str], list[str]]]) -> tuple[list[Any], list[int]]:
            """Training jobs, with a training's time guessed from the program's size."""
            seeds = [int(s) for s in self.rng.integers(2**63, size=len(batch))]
            jobs = [(program, seed, self.train_samples,
                     self.starts.pop(program_key(*program), {}) or inherited(program[0], program[1], lenders))
                    for program, seed in zip(batch, seeds)]
            return jobs, [len(program[1]) for program in batch]

        def more() -> tuple[list[Any], list[int]]:
            # Worked out while the sampled programs train: the leader with a
            # branch cut away, and the terms the best programs miss.
            extra = self._simpler_than(leaders[:1], planned) + self._with_missing_terms(planned)
            if number == 0:
                extra += self._power_laws(target, planned)
            programs.extend(extra)
            return jobs_for(extra)

        trained = self._run(_tasks.train_program, *jobs_for(programs), more)
        # Programs the deadline left untrained were not tried: the cell may offer them again.
        programs = [program for program, candidate in zip(programs, trained) if candidate is not None]
        candidates = [candidate for candidate in trained if candidate is not None]
        if programs:
            self.cell.update(programs, [c.score for c in candidates])
        self.cell.decay(_DECAY_PER_ROUND)
        self.keep(candidates)
        best = [c for c in _ranked(self.found) if not c.improved][:self.improve_count]
        self.improve(best)
        return bool(programs or best)

    def _bells_stalled(self, ranked: list[Candidate]) -> bool:
        """Whether the leader is bell-shaped and has not improved for
        BELL_PATIENCE rounds (see `done` for what counts as improving)."""
        return bool(ranked) and bell_shaped(ranked[0].fnames) and self.rounds - 1 - self.last_gain >= BELL_PATIENCE

    def _generate(self, wanted: int, target: str, parents: list[tuple[list[str], list[str]]],
                  types: tuple[str, ...]) -> list[tuple[list[str], list[str]]]:
        """New programs from the cell; under a time limit a large population
        comes in batches, and generation ends with the batch that passes the
        deadline (the first batch always comes)."""
        seed = int(self.rng.integers(2**63))
        if self.deadline is None or wanted <= GENERATED_PER_BATCH:
            generated: list[tuple[list[str], list[str]]] = self.cell.generate_programs(
                wanted, target, self.data.output_type, self.data.inputs, seed, self.max_elements, parents, types)
            return generated
        seeds = np.random.default_rng(seed)
        programs: dict[str, tuple[list[str], list[str]]] = {}
        while len(programs) < wanted:
            batch = self.cell.generate_programs(min(GENERATED_PER_BATCH, wanted - len(programs)), target,
                                                self.data.output_type, self.data.inputs, int(seeds.integers(2**63)),
                                                self.max_elements, parents, types)
            fresh = {program_key(*p): p for p in batch if program_key(*p) not in programs}
            programs.update(fresh)
            if not fresh or time.monotonic() >= self.deadline:
                break
        return list(programs.values())

    def keep(self, candidates: list[Candidate]) -> None:
        """Add the candidates to those found (the better of two of one program)."""
        _keep_better(self.found, candidates)

    def _simpler_than(self, leaders: list[Candidate], planned: set[str]) -> list[tuple[list[str], list[str]]]:
        """The leaders with one branch cut away, unless tried already: a
        formula found by growing often carries a piece it no longer needs.

        When the leader is exact, a simplification that scored worse is
        tried once more, now starting from the leader's trained pieces: the
        leader's extra branch then does nothing, and the smaller program's
        first training missed what the leader found (a frequency, say)."""
        programs = []
        for leader in leaders:
            exact = self.data.task == "regression" and leader.metrics["loss"] <= self.scorer.error_floor
            for program in simplifications(leader.dnames, leader.fnames):
                key = program_key(*program)
                tried = self.found.get(key)
                again = exact and tried is not None and tried.score > leader.score and key not in self.retried
                if (tried is None or again) and key not in planned and self._allowed(program[1]):
                    planned.add(key)
                    programs.append(program)
                    if again:
                        self.retried.add(key)
        return programs

    def _with_missing_terms(self, planned: set[str]) -> list[tuple[list[str], list[str]]]:
        """The best programs not extended yet, each with the terms its errors
        point at and inside the function its body asks for (see
        `vant._terms`); exact ones miss nothing."""
        programs = []
        waiting = [c for c in _ranked(self.found) if c.key not in self.extended
                   and len(c.fnames) <= self.max_elements - 2]
        compact = [c for c in waiting if len(c.fnames) <= COMPACT_SIZE]
        structured = [c for c in waiting if not bell_shaped(c.fnames)]
        chosen = list({c.key: c for c in waiting[:EXTENDED_PER_ROUND] + compact[:COMPACT_EXTENDED_PER_ROUND]
                       + structured[:STRUCTURED_EXTENDED_PER_ROUND]}.values())
        if chosen and self.term_columns is None:
            self.term_columns = TermColumns(self.data)
        for candidate in chosen:
            self.extended.add(candidate.key)
            if self.data.task == "regression" and candidate.metrics["loss"] <= self.scorer.error_floor:
                continue
            arguments = (self.data, candidate.dnames, candidate.fnames, candidate.params, self.types,
                         self.max_elements)
            offered = (missing_terms(*arguments, self.excluded, columns=self.term_columns)
                       + wrapped(*arguments, columns=self.term_columns))
            for program in offered:
                key = program_key(*program)
                if key not in planned and key not in self.found:
                    planned.add(key)
                    programs.append(program)
        return programs

    def _power_laws(self, target: str, planned: set[str]) -> list[tuple[list[str], list[str]]]:
        """The products of powers of the inputs the target follows (see
        `vant._powers`), not planned yet."""
        programs = []
        for program, starts in power_law_programs(self.data, target, self.types, self.max_elements, self.excluded):
            key = program_key(*program)
            if key not in planned and key not in self.found:
                planned.add(key)
                programs.append(program)
                self.starts[key] = starts
        return programs

    def _allowed(self, fnames: Sequence[str]) -> bool:
        return all(ARITY[f] == 0 or f in self.types for f in fnames[1:])

    def improve(self, candidates: list[Candidate]) -> None:
        """Polish and retrain the candidates not improved yet.

        Each candidate's polish and each of its retrainings is a task of its
        own, so that a few candidates keep every worker busy; the pieces are
        put together in the order `vant._training.improve` takes them.  The
        retrainings beyond the first few, for the candidates whose first ones
        disagree, are sent as soon as those have arrived."""
        candidates = [c for c in candidates if not c.improved and c.params is not None]
        seeds = [restart_seeds(int(s)) for s in self.rng.integers(2**63, size=len(candidates))]
        pieces = 1 + IMPROVE_STARTS   # a candidate's first jobs: its polish, then its first retrainings
        jobs = [(_tasks.plain(candidate), seed, self.train_samples)
                for candidate, candidate_seeds in zip(candidates, seeds)
                for seed in [None, *candidate_seeds[:IMPROVE_STARTS]]]
        arrived: list[list[Any]] = [[None] * pieces for _ in candidates]

        def follow_up(index: int, result: dict[str, Any]) -> list[Any]:
            number, piece = divmod(index, pieces)
            arrived[number][piece] = Candidate(**result)
            if None in arrived[number] or not needs_more_starts(arrived[number][0], arrived[number][1:],
                                                                self.scorer.error_floor):
                return []
            candidate = candidates[number]
            return [((number, k), (_tasks.plain(candidate), seed, self.train_samples), len(candidate.fnames))
                    for k, seed in enumerate(seeds[number][IMPROVE_STARTS:])]

        # Larger programs first, and a candidate's pieces together: once they
        # are all in, its further retrainings (if its first ones disagree)
        # start at once rather than at the end of the batch.
        costs = [len(job[0]["fnames"]) for job in jobs]
        self.finished = []
        first, later = run_with_follow_ups(self.backend, _tasks.improve_part, jobs, self.past_deadline,
                                           self._arrived, costs, follow_up)
        first = [None if result is None else Candidate(**result) for result in first]
        for number, candidate in enumerate(candidates):
            own = first[number * pieces:(number + 1) * pieces]
            extra = [later[number, k] for k in range(len(seeds[number]) - IMPROVE_STARTS) if (number, k) in later]
            improved = combined(candidate, own[0], own[1:] + [None if r is None else Candidate(**r) for r in extra])
            self.found[improved.key] = improved


def bell_shaped(fnames: Sequence[str]) -> bool:
    """Whether a program holds a bell: a gaussian, or an exponential of a
    square, a gaussian or an exponential."""
    return any(f in BELL_TYPES or (f == "exp:1" and fnames[i + 1] in _BELL_OPERANDS) for i, f in enumerate(fnames))


def _validated(run: _Run, *fronts: list[Candidate]) -> list[list[Candidate]]:
    """Each front scored on every held-out row, best first.  Candidates were
    compared on a subsample of them, which ranks the good ones apart from the
    poor ones but not always the good ones among themselves.  This last step
    runs whatever the time limit: it decides what the search returns.  The
    fronts go as one batch, a candidate in several once."""
    if run.data.screen is run.data.valid:
        return [list(front) for front in fronts]
    unique = list({candidate.key: candidate for front in fronts for candidate in front}.values())
    results = run_tasks(run.backend, _tasks.validate_candidate, [(_tasks.plain(c),) for c in unique],
                        lambda: False, lambda result: None)
    scored = {c.key: Candidate(**result) for c, result in zip(unique, results) if result is not None}
    return [_ranked({str(i): scored[c.key] for i, c in enumerate(front) if c.key in scored}) for front in fronts]


def _simplified(run: _Run, *groups: list[Candidate]) -> list[list[Candidate]]:
    """Each group of candidates in their plainest forms (see
    `vant._simplify`), best first, one per program (the better where two
    became one).  Like the validation it runs whatever the time limit."""
    unique = list({candidate.key: candidate for group in groups for candidate in group}.values())
    results = run_tasks(run.backend, _tasks.simplify_candidate, [(_tasks.plain(c),) for c in unique],
                        lambda: False, lambda result: None, [len(c.fnames) for c in unique])
    simple = {c.key: Candidate(**result) for c, result in zip(unique, results)}
    return [_ranked(_keep_better({}, (simple[c.key] for c in group))) for group in groups]


def _keep_better(kept: dict[str, Candidate], candidates: Iterable[Candidate]) -> dict[str, Candidate]:
    """`kept` (candidates by program) with the candidates added, the better
    of two of one program."""
    for candidate in candidates:
        held = kept.get(candidate.key)
        if held is None or candidate.score < held.score:
            kept[candidate.key] = candidate
    return kept


def _best_of_each_size(candidates: Iterable[Candidate]) -> list[Candidate]:
    """For every size, the scored candidate of the lowest held-out loss,
    smallest first."""
    best: dict[int, Candidate] = {}
    for candidate in candidates:
        if candidate.params is None or not math.isfinite(candidate.score):
            continue
        size = len(candidate.fnames)
        if size not in best or candidate.metrics["loss"] < best[size].metrics["loss"]:
            best[size] = candidate
    return [best[size] for size in sorted(best)]


def _state(run: _Run, round_number: int, progress: Progress, started: float, stopped: str | None) -> SearchState:
    """The state after a round, its losses and formulas in the data's units
    as the result gives them (the search compares them on a standardised
    target)."""
    state = SearchState(round_number, progress.rounds, time.monotonic() - started, progress.time_limit,
                        len(run.found), stopped=stopped)
    ranked = _ranked(run.found)
    if ranked:
        leader = ranked[0]
        state.best_loss, state.best_size = _loss(run.data, leader), len(leader.fnames)
        state.best_expression = _text(run.data, leader)
        falling: list[Candidate] = []
        for candidate in _best_of_each_size(ranked):
            if not falling or candidate.metrics["loss"] < falling[-1].metrics["loss"]:
                falling.append(candidate)
        state.front = [(len(c.fnames), _loss(run.data, c), _text(run.data, c)) for c in falling]
    return state


def _loss(data: TrainingData, candidate: Candidate) -> float:
    return float(data.metrics_in_data_units(candidate.metrics)["loss"])


def _text(data: TrainingData, candidate: Candidate) -> str:
    assert candidate.params is not None   # ranked candidates are trained
    return render(candidate.dnames, candidate.fnames, data.params_in_data_units(candidate.params)).text


class SearchResult(list[FoundModel]):
    """The found models, best (lowest held-out score) first: a list, with

    front: for every size, the model of the lowest held-out loss, smallest
      first (the same objects where a model is also in the list);
    interrupted: whether Ctrl-C ended the search early;
    stopped: why the search ended (see `search`).
    """

    def __init__(self, models: Iterable[FoundModel] = (), front: Iterable[FoundModel] = (),
                 interrupted: bool = False, stopped: str | None = None):
        super().__init__(models)
        self.front = list(front)
        self.interrupted = interrupted
        self.stopped = stopped


def _result(data: TrainingData, ranked: list[Candidate], front: list[Candidate], interrupted: bool,
            rounds: int, stopped: str | None) -> SearchResult:
    """The models of the ranked candidates and of the front, one FoundModel
    for a program that is in both."""
    converted: dict[str, FoundModel] = {}

    def model_of(candidate: Candidate) -> FoundModel:
        if candidate.key not in converted:
            converted[candidate.key] = _found_model(data, candidate, rounds, stopped)
        return converted[candidate.key]

    return SearchResult(_distinct([model_of(c) for c in ranked]), [model_of(c) for c in front], interrupted,
                        stopped)


def _distinct(models: list[FoundModel]) -> list[FoundModel]:
    """The models, each formula once: two programs can print alike (a
    program and its simplification, say), and a user reads the formulas."""
    seen: set[str] = set()
    distinct = []
    for model in models:
        if model.expression not in seen:
            seen.add(model.expression)
            distinct.append(model)
    return distinct


def _constant_result(data: TrainingData, scorer: Scorer, target: str) -> SearchResult:
    """The model of a target that never varies: its value, as scikit-learn's
    regressors fit one, with the metric "constant_target" that tells the
    front why it is alone."""
    column, register = next(iter(data.inputs.items()))
    leaf = {"categories": [], "bias": 0.0} if register == CATEGORICAL_INPUT else \
        {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
    # (on the standardised target, which is 0 everywhere)
    params = [{"scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": 0.0, "detect_scale": 0}, leaf]
    dnames, fnames = [target, column], [data.output_type, register]
    score, metrics = scorer(dnames, fnames, params)
    metrics = {**data.metrics_in_data_units(metrics), "r2": 1.0, "clamp_active": False, "rounds": 0,
               "stopped": "exact", "constant_target": True}
    model = FoundModel(dnames, fnames, data.params_in_data_units(params), data.task, loss=metrics["loss"],
                       score=score, metrics=metrics)
    return SearchResult([model], [model], stopped="exact")


def _found_model(data: TrainingData, candidate: Candidate, rounds: int, stopped: str | None) -> FoundModel:
    assert candidate.params is not None
    params = data.params_in_data_units(candidate.params)
    clamped = clamps(data, candidate.dnames, candidate.fnames, candidate.params)
    metrics = {**data.metrics_in_data_units(candidate.metrics), "clamp_active": clamped,
               "rounds": rounds, "stopped": stopped}
    return FoundModel(
        candidate.dnames, candidate.fnames, params, data.task,
        sample_count=candidate.samples, loss=metrics["loss"], score=candidate.score,
        metrics=metrics, classes=data.classes, columns=tuple(data.inputs))
