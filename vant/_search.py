"""The program search: sample programs, train them, score them, learn.

Each round asks a `_kestor.KCell` (which forwards to `ProgramCollection`)
for new candidate programs, trains every candidate with `Model._fit` over
several passes of the training data on all cores, scores it on held-out
data (the loss plus a penalty for size, as an information criterion),
improves the best ones further, and feeds the scores back to the cell so
that later rounds favour the structures and inputs that did well.

Results do not depend on the thread timing: every random number a round
uses (the programs, each candidate's seed) is drawn from the search's own
generator before the pool runs, and a candidate's training depends on its
seed alone (see `vant._training`).
"""

from __future__ import annotations

import math
import os
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np

import _kestor

from ._data import TrainingData, prepare
from ._elements import TASKS
from ._found import FoundModel
from ._program import DEFAULT_MAX_ELEMENTS, MAX_ELEMENTS, program_key, simplifications
from ._render import render
from ._scoring import Scorer
from ._training import Candidate, improve, inherited, new_candidate

# Learned preferences drift back toward the starting ones by this share a round,
# so that an early favourite cannot shut the others out for good.
_DECAY_PER_ROUND = 0.05


def search(data, target, *, kind="regression", seed=None, time_limit=None, rounds=None,
           population=32, max_elements=DEFAULT_MAX_ELEMENTS, sample_weights=None, inputs=None,
           categorical=(), priors=None, validation_fraction=0.25, train_samples=None,
           refine=4, complexity_penalty=1.0, top=10, n_jobs=None, verbose=False) -> list[FoundModel]:
    """Search for formulas that predict `target` from the other columns.

    data: mapping of column name to one-dimensional numpy array, or a pandas
      DataFrame.
    target: name of the column to predict.
    kind: "regression" (numeric target, squared error) or "classification"
      (two classes, cross-entropy; predictions are probabilities of the
      second class in sorted order).
    seed: makes the search repeatable: the same seed, data and arguments give
      the same models, whatever the thread timing (a `time_limit` that ends the
      search early can change how many rounds run).
    time_limit: seconds; no new round starts after it has passed.
    rounds: number of rounds (default 20 without a time limit, else as many
      as fit in it).
    population: new programs trained per round.
    max_elements: largest program (2 to 32 elements).
    sample_weights: column name or array of non-negative weights.
    inputs: columns to use (default: all but the target and weights).
    categorical: columns to treat as categories even when numeric; columns of
      strings or objects are always categorical.
    priors: mapping of input name to preference weight (0 excludes it).
    validation_fraction: share of the rows held out for scoring.
    train_samples: samples each candidate is trained on (default about 20
      passes over the training rows, 20000 to 60000 samples).
    refine: how many of the best programs not refined yet are refined each
      round (their parameters polished, and a second training from a new start).
    complexity_penalty: multiplies the size penalty of the score.
    top: how many models to return at most.
    n_jobs: training threads (default: all cores).

    Returns the found models, best (lowest held-out score) first.
    """
    started = time.monotonic()
    if kind not in TASKS:
        raise ValueError(f"kind must be 'regression' or 'classification', not {kind!r}")
    max_elements = int(max_elements)
    if not 2 <= max_elements <= MAX_ELEMENTS:
        raise ValueError(f"max_elements must lie between 2 and {MAX_ELEMENTS}")
    if not 0.0 < validation_fraction < 1.0:
        raise ValueError("validation_fraction must lie strictly between 0 and 1")
    if rounds is None:
        rounds = 20 if time_limit is None else 1_000_000
    if int(population) < 1 or int(rounds) < 1 or int(top) < 1 or int(refine) < 0:
        raise ValueError("population, rounds and top must be at least 1, refine at least 0")

    rng = np.random.default_rng(seed)
    prepared = prepare(data, target, kind, rng, sample_weights, inputs, set(categorical), validation_fraction)
    scorer = Scorer(kind, prepared.loss_name, prepared.valid, float(complexity_penalty), prepared.error_floor)
    if train_samples is None:
        train_samples = int(min(60_000, max(20_000, 20 * prepared.train.n)))
    _kestor.srand(int(rng.integers(2**31)))
    cell = _kestor.KCell()
    if priors:
        cell.update_priors(dict(priors))

    run = _Run(prepared, scorer, cell, rng, {}, int(population), max_elements, int(train_samples), int(refine))
    with ThreadPoolExecutor(max_workers=n_jobs or os.cpu_count() or 1) as pool:
        for round_number in range(int(rounds)):
            if time_limit is not None and round_number > 0 and time.monotonic() - started >= time_limit:
                break
            if not run.round(pool, round_number, target):
                break
            if verbose:
                _report(round_number, run.found)
        # Every model handed out has had the same care.
        run.improve(pool, _ranked(run.found)[:int(top)])
    return [_found_model(prepared, c) for c in _ranked(run.found)[:int(top)]]


def _ranked(found: dict[str, Candidate]) -> list[Candidate]:
    """Scored candidates, best first (ties in the order they were found)."""
    return sorted((c for c in found.values() if c.params is not None and math.isfinite(c.score)),
                  key=lambda c: c.score)


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

    def round(self, pool: ThreadPoolExecutor, number: int, target: str) -> bool:
        """Train new programs, learn from their scores, improve the best.
        False when there was nothing left to try."""
        leaders = _ranked(self.found)[:6]
        parents = [(c.dnames, c.fnames) for c in leaders]
        wanted = self.population * 2 if number == 0 else self.population
        programs = self.cell.generate_programs(wanted, target, self.data.output_type, self.data.inputs,
                                               int(self.rng.integers(2**63)), self.max_elements, parents)
        programs += self._simpler_than(leaders[:1], {program_key(*p) for p in programs})
        seeds = [int(s) for s in self.rng.integers(2**63, size=len(programs))]
        lenders = [(c.dnames, c.fnames, c.params) for c in leaders]
        jobs = [(program, seed, inherited(program[0], program[1], lenders)) for program, seed in zip(programs, seeds)]
        candidates = list(pool.map(
            lambda job: new_candidate(self.data, self.scorer, job[0], job[1], self.train_samples, 2, job[2]), jobs))
        if programs:
            self.cell.update(programs, [c.score for c in candidates])
        self.cell.decay(_DECAY_PER_ROUND)
        for candidate in candidates:
            if candidate.key not in self.found or candidate.score < self.found[candidate.key].score:
                self.found[candidate.key] = candidate
        best = [c for c in _ranked(self.found) if not c.improved][:self.improve_count]
        self.improve(pool, best)
        return bool(programs or best)

    def _simpler_than(self, leaders: list[Candidate], planned: set[str]) -> list:
        """The leaders with one branch cut away, unless tried already: a
        formula found by growing often carries a piece it no longer needs."""
        programs = []
        for leader in leaders:
            for program in simplifications(leader.dnames, leader.fnames):
                key = program_key(*program)
                if key not in self.found and key not in planned:
                    planned.add(key)
                    programs.append(program)
        return programs

    def improve(self, pool: ThreadPoolExecutor, candidates: list[Candidate]) -> None:
        """Polish and retrain the candidates not improved yet."""
        candidates = [c for c in candidates if not c.improved]
        seeds = [int(s) for s in self.rng.integers(2**63, size=len(candidates))]
        list(pool.map(lambda job: improve(self.data, self.scorer, job[0], job[1], self.train_samples),
                      zip(candidates, seeds)))


def _report(round_number: int, found: dict[str, Candidate]) -> None:
    ranked = _ranked(found)
    if not ranked:
        print(f"round {round_number}: no model yet")
        return
    leader = ranked[0]
    print(f"round {round_number}: {len(found)} programs tried, best score {leader.score:.6g}, "
          f"held-out loss {leader.metrics['loss']:.6g}: {render(leader.dnames, leader.fnames, leader.params).text}")


def _found_model(data: TrainingData, candidate: Candidate) -> FoundModel:
    assert candidate.params is not None
    return FoundModel(
        candidate.dnames, candidate.fnames, candidate.params, data.task,
        sample_count=candidate.samples, loss=candidate.metrics["loss"], score=candidate.score,
        metrics=dict(candidate.metrics), classes=data.classes)
