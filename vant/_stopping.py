"""When a search is done: its leader's errors are noise.

A search that has stopped improving is either done (the leader is the law,
and what it misses is the noise in the targets) or stuck (a term is still
missing, and the rounds to come may find it).  The two look alike in the
scores, but not in the errors: the errors of a stuck leader still depend on
the inputs, so rows that lie close together in the inputs have similar
errors, while pure noise differs from any row to its neighbour as much as
from the mean.

`unexplained_share` compares the two: the variance of the errors over half
the mean squared difference between each row's error and its nearest
neighbour's.  Near 1 the errors are noise; a leader that misses a term
scores far above it (0.5*x1*x2 missed under noise of 0.05 gives about 20).
Rows far apart, as with many inputs and few rows, pull the figure toward 1
whatever the errors: neighbours then no longer share the values of a
function of the inputs.  `errors_are_noise` therefore first asks whether the
test can tell at all: whether a missed term as large as the noise would
stand out, for a bend in any one input (its square), the kind of term a
stuck leader misses.  Where it could not, the errors are not called noise,
and the search uses its budget.
"""

from __future__ import annotations

import math

import numpy as np

from ._categories import EncodedColumn
from ._data import Split
from ._elements import new_model

# At most this many held-out rows are compared (the nearest neighbours of
# every one against every one).
NOISE_ROWS = 2000
# Errors whose share exceeds 1 by more than this many standard errors of the
# share under pure noise (about sqrt(2/n) for n rows) are not noise.
NOISE_TOLERANCE = 4.0
# Categorical inputs: rows of different categories are this far apart (in
# units of a numeric input's spread), so a neighbour shares the category
# where one does.
_OTHER_CATEGORY = 1e6


def unexplained_share(positions: np.ndarray, errors: np.ndarray) -> float:
    """The variance of the errors over the part of it that varies from a
    row (a point of `positions`) to its nearest neighbour (see the module's
    text); 1.0 when the errors do not vary at all."""
    return _share(errors, _nearest_neighbours(positions))


def _share(values: np.ndarray, nearest: np.ndarray) -> float:
    spread = float(np.var(values))
    local = 0.5 * float(np.mean((values - values[nearest]) ** 2))
    if not local > 0.0:
        return 1.0 if spread == 0.0 else math.inf
    return spread / local


def _noise_limit(n: int) -> float:
    """The largest `unexplained_share` of n rows that noise gives."""
    return 1.0 + NOISE_TOLERANCE * math.sqrt(2.0 / max(n, 1))


def is_noise(share: float, n: int) -> bool:
    """Whether an `unexplained_share` of n rows is what noise gives."""
    return share <= _noise_limit(n)


def can_tell(share_of_term: float, n: int) -> bool:
    """Whether the test on n rows tells from noise a missed term as large as
    the noise, when its `unexplained_share` alone is `share_of_term`.

    With rho = 1 - 1/share the part of the term's variance that neighbours
    have in common, the term plus as much noise scores 2 / (2 - rho)."""
    if not math.isfinite(share_of_term) or share_of_term <= 1.0:
        return False
    common = 1.0 - 1.0 / share_of_term
    return 2.0 / (2.0 - common) > _noise_limit(n)


def errors_are_noise(split: Split, dnames, fnames, params, loss_name: str) -> bool:
    """Whether the program's errors on (the first rows of) `split` are noise,
    as far as the test can tell on these rows (see the module's text)."""
    rows = split.head(NOISE_ROWS)
    errors = rows.y - new_model(dnames, fnames, params, 0, loss_name).predict(rows.x)
    if not np.all(np.isfinite(errors)):
        return False
    places = positions(rows)
    nearest = _nearest_neighbours(places)
    return _conclusive(rows, places, nearest) and is_noise(_share(errors, nearest), rows.n)


def _conclusive(rows: Split, places: np.ndarray, nearest: np.ndarray) -> bool:
    """Whether the test would see a missed bend in any one numeric input
    (its square, in units of its spread) as large as the noise."""
    bends = [places[:, j] ** 2 for j, values in enumerate(rows.encoded.values())
             if not isinstance(values, EncodedColumn) and np.any(places[:, j] != 0.0)]
    return all(can_tell(_share(bend, nearest), rows.n) for bend in bends)


def positions(rows: Split) -> np.ndarray:
    """Each row as a point: numeric inputs in units of their spread,
    categorical ones as codes far apart."""
    columns = []
    for values in rows.encoded.values():
        if isinstance(values, EncodedColumn):
            columns.append(values.codes.astype(np.float64) * _OTHER_CATEGORY)
        else:
            values = np.asarray(values, dtype=np.float64)
            deviation = float(np.std(values))
            columns.append((values - float(np.mean(values))) / deviation if deviation > 0.0 else values * 0.0)
    return np.stack(columns, axis=1) if columns else np.zeros((rows.n, 1))


def _nearest_neighbours(points: np.ndarray, block: int = 256) -> np.ndarray:
    """For every point the index of the closest other point (the lowest
    index among equally close ones)."""
    # Differences, not a matrix product: the same sums in the same order on
    # every machine, so the same neighbours.
    n = len(points)
    nearest = np.empty(n, dtype=np.intp)
    for start in range(0, n, block):
        stop = min(start + block, n)
        distances = np.sum((points[start:stop, None, :] - points[None, :, :]) ** 2, axis=2)
        distances[np.arange(stop - start), np.arange(start, stop)] = np.inf
        nearest[start:stop] = np.argmin(distances, axis=1)
    return nearest
