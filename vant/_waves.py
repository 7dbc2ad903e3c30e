"""Where the frequency of a wave (a sin or cos of an input) starts.

A wave's fit has a local optimum near every frequency: started once near 1
it settles on the nearest, often a slope, and never finds sin(5x).  So an
input register under a wave starts at one of several frequencies: a peak of
the spectrum of what a straight line through the inputs leaves unexplained
(the residual), or one of a spread of fixed values.

Frequencies are in the register's own units: its input scaled to -1..1
(see `vant._data.scale_of`), so sin(2x) on [-3, 3] is a frequency of 6.
"""

from __future__ import annotations

import math

import numpy as np

# The frequencies whose power the spectrum compares (up to about 19 periods
# across the inputs' range), and how many of its peaks are offered.
FREQUENCIES = np.arange(0.5, 60.0, 0.1)
PEAKS = 3
# The fixed starts, offered as often as the peaks, each drawn within 20%.
FIXED_STARTS = (1.0, 3.0, 6.0, 12.0)


def start_frequency(rng: np.random.Generator, data, dname: str) -> float:
    """A starting frequency (positive) for the register of input `dname`
    under a wave: a peak of the residual's spectrum along it (chosen by its
    power), or a fixed start, as likely."""
    peaks = _peaks(data, dname)
    if peaks and rng.random() < 0.5:
        frequencies, powers = zip(*peaks)
        chosen = frequencies[int(rng.choice(len(peaks), p=np.asarray(powers) / sum(powers)))]
        return chosen * (0.98 + 0.04 * rng.random())
    return FIXED_STARTS[int(rng.integers(len(FIXED_STARTS)))] * (0.8 + 0.4 * rng.random())


def start_phase(rng: np.random.Generator) -> float:
    return -math.pi + 2.0 * math.pi * rng.random()


def _peaks(data, dname: str) -> list[tuple[float, float]]:
    """(frequency, power) of the strongest local maxima of the residual's
    spectrum along the input, worked out once per data and input."""
    cache = data.__dict__.setdefault("_wave_peaks", {})
    if dname not in cache:
        cache[dname] = _spectrum_peaks(data, dname)
    return cache[dname]


def _spectrum_peaks(data, dname: str) -> list[tuple[float, float]]:
    rows = data.polish
    numeric = list(data.input_scales)   # the numeric inputs
    if dname not in numeric:
        return []
    units = {name: _in_units(data, rows, name) for name in numeric}
    design = np.column_stack([np.ones(rows.n)] + [units[name] for name in numeric])
    y = np.asarray(rows.y, dtype=np.float64)
    residual = y - design @ np.linalg.lstsq(design, y, rcond=None)[0]
    phases = np.outer(FREQUENCIES, units[dname])
    power = (np.cos(phases) @ residual) ** 2 + (np.sin(phases) @ residual) ** 2
    inner = np.flatnonzero((power[1:-1] > power[:-2]) & (power[1:-1] >= power[2:])) + 1
    strongest = inner[np.argsort(-power[inner], kind="stable")][:PEAKS]
    return [(float(FREQUENCIES[k]), float(power[k])) for k in strongest if power[k] > 0.0]


def _in_units(data, rows, name: str) -> np.ndarray:
    scale, offset = data.input_scales[name]
    return (np.asarray(rows.x[name], dtype=np.float64) - offset) * scale
