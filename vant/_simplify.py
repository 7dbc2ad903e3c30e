"""The last step of a search: every model it hands out, in its plainest form.

A trained program often carries pieces the data cannot tell from nothing:
a shift of 1e-10 on an input that ranges over units, a ratio such as
(x + 0.6914)/(x + 0.6903) that is 1 to three digits, a factor
(x + 2.6e15) that is a constant on every row, a coefficient 0.9999 where 1
is meant.  They come from the search's flat directions, and they hide the
law.

This step edits the program itself (its elements and their parameters,
never its text), so that `predict`, the formula, sympy, LaTeX and the saved
file stay one model.  The edits, cheapest first:

- a subtree that is nearly constant on the training rows is replaced by a
  constant, folded into a neighbouring weight or bias where one can take it
  (near-identities such as (x + a)/(x + b) with a close to b are such
  subtrees);
- an element is replaced by one of its operands (the shorter of two
  programs of equal loss);
- the shifts of inputs that are negligible against the input's range are
  dropped;
- constants are snapped to simple values: integers, fractions of small
  denominators, numbers of one or two significant digits, and simple
  multiples or fractions of pi.

After an edit the output register is solved again; a structural edit that
does not pass as it is gets one polish of all its constants (a bounded
number per model), and so does a dropped shift, which may be one of a
family of equal fits: (x + a)*((x + b)**2 + c) + d is x**3 + x**2 + x for
every a.  So does an unshifted input's weight set to 1, where the element
above can take the factor out (exp(1.5*log(0.5*a)) is 0.3536*a**1.5); on
noisy data that edit is a claim (two inputs of one sum weighing alike) and
is kept only when the loss stays level.  A polish holds the inputs that
have no shift so, and plain inputs plain.

An edit is kept only when the model's held-out loss stays within rounding
of the original's, or within the noise of the comparison: the mean
increase of the per-row loss over the reference's is at most
NOISE_ALLOWANCE standard errors of that mean (a paired comparison on the
same rows; the error taken no larger than that of the mean loss itself).
The reference is the original model, or the best edit of it kept so far,
so that small increases cannot add up.  An original that is exact (its
squared error below the search's rounding floor) allows no noise: an edit
keeps it below the floor or is refused.

Every figure comes from the native model on fixed rows, so the step gives
the same result wherever it runs.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from ._data import Split, TrainingData
from ._elements import NUMERIC_INPUT, new_model
from ._evaluate import clamped_count
from ._fitting import polish, refit_root, root_operand
from ._program import operand_indices, program_key, subtree_end
from ._refusal import refusals
from ._render import render, symbolic
from ._scoring import Scorer, row_losses, weighted_mean
from ._training import REFUSED_BY_MODEL, Candidate, clamps

# An edit may raise the mean held-out loss by this many standard errors of
# the paired difference.  A nearly constant part is replaced by the
# one-standard-error rule.  A constant snapped to a simple value may cost
# two: with one, a value that is right would fail one time in six, by the
# chance agreement of the noise with the fitted value.  A branch that varies
# on the rows is cut only when the loss stays level: a program shorter by a
# term that tells is another model of the front, not a simpler spelling of
# this one.
NOISE_ALLOWANCE = 1.0
SNAP_ALLOWANCE = 2.0
CUT_ALLOWANCE = 0.25
# Subtrees whose values vary by less than this share are tried as constants
# (of their own mean under a product, of the sum's spread under a sum).
CONSTANT_SHARE = 0.05
# Shifts of inputs smaller than this share of the input's largest magnitude
# are dropped all at once before one by one.
NEGLIGIBLE_SHIFT = 0.05
# Snapped values lie within this relative distance of the fitted ones.
SNAP_DISTANCE = 0.01
SIMPLE_DENOMINATOR = 12
SIMPLE_NUMERATOR = 100
# An edit may not make elements clamp on more of the rows whose inputs lie
# this factor beyond the held-out ones (of WIDENED_ROWS of them) than the
# model did: the weight of 1 of an input under two squares moves the
# square's clamp into reach, and the model is then the formula only in the box.
WIDENING = 2.0
WIDENED_ROWS = 200
# Per model: the most polishes, and the most edits tried.
MAX_POLISHES = 6
MAX_TRIALS = 400

_AFFINE = ("in-linear:0", "linear:1")


@dataclass
class Program:
    """The three parallel lists of a program (parameters in search units)."""
    dnames: list
    fnames: list
    params: list

    def copy(self) -> Program:
        return Program(list(self.dnames), list(self.fnames), [_copied(p) for p in self.params])

    def spliced(self, start: int, end: int, piece_start: int, piece_end: int) -> Program:
        """The program with the subtree at [start, end) replaced by its own
        subtree at [piece_start, piece_end)."""
        def splice(items):
            return items[:start] + items[piece_start:piece_end] + items[end:]
        copy = self.copy()
        return Program(splice(copy.dnames), splice(copy.fnames), splice(copy.params))

    def parents(self) -> list[int]:
        parents = [-1] * len(self.fnames)
        for i in range(len(self.fnames)):
            for j in operand_indices(self.fnames, i):
                parents[j] = i
        return parents


def _copied(params: dict) -> dict:
    copy = dict(params)
    if "categories" in copy:
        copy["categories"] = list(copy["categories"])
    return copy


# ---------------------------------------------------------------------------
# Judging an edit


class Judge:
    """The held-out losses per row of the reference (the original model, or
    the best edit of it so far), and the test an edited model passes (see
    the module's text)."""

    def __init__(self, data: TrainingData, scorer: Scorer, original: Program):
        self.data, self.scorer, self.rows = data, scorer, scorer.valid
        self.regression = data.task == "regression"
        self.reference = self.row_losses(original)
        weights = self.rows.weights
        self.exact = self.regression and weighted_mean(self.reference, weights) <= scorer.error_floor
        self.last_loss = math.inf     # the mean loss of the model last judged
        self.effective_rows = len(self.reference) if weights is None else \
            float(np.sum(weights)) ** 2 / float(np.sum(weights * weights))
        self.widened = _widened(data, self.rows.head(WIDENED_ROWS))
        self.clamped_widened = self.clamps_widened(original)

    def clamps_widened(self, program: Program) -> int:
        """How many (row, element) pairs of the widened rows clamp."""
        with np.errstate(all="ignore"):
            return sum(clamped_count(program.dnames, program.fnames, program.params, rows) for rows in self.widened)

    def row_losses(self, program: Program) -> np.ndarray | None:
        try:
            with refusals():
                predicted = new_model(program.dnames, program.fnames, program.params, 0,
                                      self.data.loss_name).predict(self.rows.x)
        except REFUSED_BY_MODEL:
            return None
        with np.errstate(all="ignore"):
            losses = row_losses(self.data.task, self.rows.y, predicted)
        return losses if np.all(np.isfinite(losses)) else None

    def passes(self, program: Program, allowance: float | None = NOISE_ALLOWANCE) -> bool:
        """Whether the program's loss is within rounding or noise of the
        reference's (its mean increase at most `allowance` standard errors;
        None: only an exact program passes), and it clamps on no more of
        the widened rows (asked last: it costs an evaluation, and most
        edits fail on their loss)."""
        losses = self.row_losses(program)
        self.last_loss = math.inf if losses is None else weighted_mean(losses, self.rows.weights)
        if losses is None:
            return False
        better = self._loss_passes(losses, allowance)
        if better is None or self.clamps_widened(program) > self.clamped_widened:
            return False
        if better:
            # Better than the reference: later edits are held to this one.
            self.reference = losses
        return True

    def _loss_passes(self, losses: np.ndarray, allowance: float | None) -> bool | None:
        """None where the losses fail the test, else whether they are
        better than the reference's."""
        weights = self.rows.weights
        if self.regression and self.last_loss <= self.scorer.error_floor:
            return False
        if self.exact or allowance is None:
            return None
        increase = losses - self.reference
        mean = weighted_mean(increase, weights)
        if mean <= 0.0:
            return True
        # The paired standard error, but never more than that of the mean
        # loss itself under normal noise (the loss times sqrt(2/n)): errors
        # with a heavy tail (a law that grows fast at the edge of the box)
        # make the paired error large without making the fit noisy.
        standard_error = min(math.sqrt(weighted_mean((increase - mean) ** 2, weights) / self.effective_rows),
                             weighted_mean(self.reference, weights) * math.sqrt(2.0 / self.effective_rows))
        return False if mean <= allowance * standard_error else None


def _widened(data: TrainingData, rows: Split) -> list[dict]:
    """The rows' inputs with every numeric one times WIDENING, and (where
    all keep their sign) over it: beyond the box both ways."""
    numeric = [name for name, kind in data.inputs.items() if kind == NUMERIC_INPUT and name in rows.encoded]
    if not numeric:
        return []
    signed = all(np.all(rows.encoded[name] > 0.0) or np.all(rows.encoded[name] < 0.0) for name in numeric)
    return [{**rows.encoded, **{name: np.asarray(rows.encoded[name], dtype=np.float64) * factor for name in numeric}}
            for factor in ((WIDENING, 1.0 / WIDENING) if signed else (WIDENING,))]


# ---------------------------------------------------------------------------
# Folding a constant into a neighbour


def _can_shift(fnames, at: int) -> bool:
    """Whether the subtree at `at` can add a constant to its value by a bias."""
    if fnames[at] in _AFFINE:
        return True
    return fnames[at] == "add:2" and any(_can_shift(fnames, j) for j in operand_indices(fnames, at))


def _shift(program: Program, at: int, c: float) -> None:
    fnames = program.fnames
    if fnames[at] in _AFFINE:
        program.params[at]["bias"] = float(program.params[at]["bias"]) + c
        return
    _shift(program, next(j for j in operand_indices(fnames, at) if _can_shift(fnames, j)), c)


def _can_scale(fnames, at: int) -> bool:
    """Whether the subtree at `at` can multiply its value by its weights."""
    fname = fnames[at]
    operands = operand_indices(fnames, at)
    if fname in _AFFINE:
        return True
    if fname == "add:2":
        return all(_can_scale(fnames, j) for j in operands)
    if fname == "multiply:2":
        return any(_can_scale(fnames, j) for j in operands)
    if fname == "divide:2":
        return _can_scale(fnames, operands[0])
    return False


def _scale(program: Program, at: int, c: float) -> None:
    fname, fnames = program.fnames[at], program.fnames
    operands = operand_indices(fnames, at)
    if fname in _AFFINE:
        p = program.params[at]
        p["w"], p["bias"] = float(p["w"]) * c, float(p["bias"]) * c
    elif fname == "add:2":
        for j in operands:
            _scale(program, j, c)
    elif fname == "multiply:2":
        _scale(program, next(j for j in operands if _can_scale(fnames, j)), c)
    else:
        _scale(program, operands[0], c)


# ---------------------------------------------------------------------------
# The edits


def subtree_values(rows: Split, program: Program, at: int) -> np.ndarray | None:
    """What the subtree at `at` computes on `rows`, by the native model."""
    end = subtree_end(program.fnames, at)
    return root_operand(rows, [program.dnames[0], *program.dnames[at:end]], [program.fnames[0], *program.fnames[at:end]],
                        [program.params[0], *program.params[at:end]])


def constant_parts(rows: Split, program: Program) -> list[tuple[Program, bool]]:
    """The program with one nearly constant operand of a sum, product or
    quotient replaced by its mean, folded into the other operand where that
    can take it: (program, folded), the most constant first."""
    fnames = program.fnames
    values = {}
    found = []
    for parent, fname in enumerate(fnames):
        if parent == 0 or fname not in ("add:2", "multiply:2", "divide:2"):
            continue
        operands = operand_indices(fnames, parent)
        for side, at in enumerate(operands):
            if fname == "divide:2" and side == 0:
                continue    # c/b is no simpler than a/b
            for i in (at, parent):
                if i not in values:
                    values[i] = subtree_values(rows, program, i)
            v, whole = values[at], values[parent]
            if v is None or whole is None or not np.all(np.isfinite(v)):
                continue
            if fname == "add:2":
                share, c = float(np.std(v)) / max(float(np.std(whole)), 1e-300), float(np.mean(v))
            else:
                with np.errstate(all="ignore"):
                    factor = v if fname == "multiply:2" else 1.0 / v
                mean = float(np.mean(factor))
                share, c = float(np.std(factor)) / max(abs(mean), 1e-300), mean
            if not (share < CONSTANT_SHARE and math.isfinite(c)):
                continue
            other = operands[1 - side]
            edited = program.spliced(parent, subtree_end(fnames, parent), other, subtree_end(fnames, other))
            fold = _can_shift if fname == "add:2" else _can_scale
            folded = fold(edited.fnames, parent)
            if folded:
                (_shift if fname == "add:2" else _scale)(edited, parent, c)
            found.append((share, len(found), edited, folded))
    found.sort(key=lambda item: item[:2])
    return [(edited, folded) for _share, _n, edited, folded in found]


def cuts(program: Program) -> list[Program]:
    """The program with one interaction replaced by one of its operands,
    the shortest results first."""
    fnames = program.fnames
    found = []
    for at in range(1, len(fnames)):
        for operand in operand_indices(fnames, at):
            edited = program.spliced(at, subtree_end(fnames, at), operand, subtree_end(fnames, operand))
            found.append((len(edited.fnames), len(found), edited))
    found.sort(key=lambda item: item[:2])
    return [edited for _size, _n, edited in found]


def _input_shift(data: TrainingData, program: Program, at: int) -> float | None:
    """The shift of an input register against the input's largest magnitude
    (None for other elements, or a register that is a constant)."""
    if program.fnames[at] != "in-linear:0":
        return None
    p = program.params[at]
    k = float(p["scale"]) * float(p["w"])
    if k == 0.0:
        return None
    scale, middle = data.input_scales[program.dnames[at]]
    return abs(float(p["bias"]) - float(p["scale_offset"]) * k) / (abs(k) * (abs(middle) + 1.0 / scale))


def _unshifted(program: Program, positions) -> Program:
    """The inputs at `positions` without their shifts: their registers
    compute x * scale * w alone (scale_offset and bias 0), which a polish
    that holds the bias keeps so."""
    edited = program.copy()
    for at in positions:
        p = edited.params[at]
        p["bias"] = p["scale_offset"] = 0.0
    return edited


def _is_unshifted(program: Program, at: int) -> bool:
    p = program.params[at]
    return program.fnames[at] == "in-linear:0" and p["bias"] == 0.0 and p["scale_offset"] == 0.0


def _is_plain_input(program: Program, at: int) -> bool:
    """The input register passes its input through unchanged (x itself)."""
    p = program.params[at]
    return _is_unshifted(program, at) and p["scale"] == 1.0 and p["w"] == 1.0


def _held_inputs(program: Program) -> frozenset:
    """The slots a polish holds: the bias of every input register without a
    shift, and the weight of every plain one.  Free, the polish would move
    them again along a flat direction of the fit."""
    held = {(at, "bias") for at in range(len(program.fnames)) if _is_unshifted(program, at)}
    return frozenset(held | {(at, "w") for at in range(len(program.fnames)) if _is_plain_input(program, at)})


def plain_inputs(program: Program) -> list[Program]:
    """The program with an unshifted input made the input itself (weight
    1), each in turn.  Where the element above takes the factor out (a
    product, a power, a logarithm beside a bias) the factor is one of a
    family of equal fits, and a polish finds the other constants."""
    found = []
    for at in range(len(program.fnames)):
        if _is_unshifted(program, at) and not _is_plain_input(program, at):
            edited = program.copy()
            edited.params[at]["scale"] = edited.params[at]["w"] = 1.0
            found.append(edited)
    return found


def shift_drops(data: TrainingData, program: Program) -> list[Program]:
    """The program without the negligible shifts of its inputs, all at
    once, then without every shift (shifts that cancel, as in
    c + (m1*(r1 - c) + m2*(r2 - c))/(m1 + m2), go only together), then
    without each (the smallest first)."""
    shifts = [(share, at) for at in range(len(program.fnames))
              if (share := _input_shift(data, program, at)) is not None and share > 0.0]
    shifts.sort()
    negligible = [at for share, at in shifts if share < NEGLIGIBLE_SHIFT]
    found = [_unshifted(program, negligible)] if len(negligible) > 1 else []
    if len(shifts) > max(1, len(negligible)):
        found.append(_unshifted(program, [at for _share, at in shifts]))
    return found + [_unshifted(program, [at]) for _share, at in shifts]


def simple_values(v: float) -> list[tuple[float, bool]]:
    """Simpler values within SNAP_DISTANCE of v, simplest first, each with
    whether it is a plain one: integers, fractions p/q (|p| at most
    SIMPLE_NUMERATOR) and numbers of one significant digit by their
    denominator q, then multiples p*pi/q of pi and fractions p/(q*pi) (p and
    q at most SIMPLE_DENOMINATOR) by the larger of p and q, at equal
    simplicity the closest first; then, not plain, the number of two
    significant digits.  None for a v that is one of them already (to
    rounding)."""
    if not math.isfinite(v) or v == 0.0:
        return []
    digits = math.floor(math.log10(abs(v)))
    fractions = [Fraction(round(v)), Fraction(round(v, -digits)).limit_denominator(10 ** max(0, -digits))]
    fraction = Fraction(v).limit_denominator(SIMPLE_DENOMINATOR)
    if abs(fraction.numerator) <= SIMPLE_NUMERATOR:
        fractions.append(fraction)
    ranked = [(fraction.denominator, float(fraction)) for fraction in fractions]
    for of_pi, place in ((v / math.pi, math.pi), (v * math.pi, 1.0 / math.pi)):
        fraction = Fraction(of_pi).limit_denominator(SIMPLE_DENOMINATOR)
        if abs(fraction.numerator) <= SIMPLE_DENOMINATOR:
            ranked.append((max(abs(fraction.numerator), fraction.denominator) + 1, float(fraction) * place))
    ranked.sort(key=lambda item: (item[0], abs(item[1] - v)))
    candidates = [(c, True) for _simplicity, c in ranked] + [(round(v, 1 - digits), False)]
    if any(abs(c - v) <= 1e-12 * abs(v) for c, _plain in candidates):
        return []
    chosen: list[tuple[float, bool]] = []
    for c, plain in candidates:
        if c != 0.0 and abs(c - v) <= SNAP_DISTANCE * abs(v) and c not in [value for value, _ in chosen]:
            chosen.append((c, plain))
    return chosen


def _plain_register(p: dict) -> tuple[float, float]:
    """(k, t) of an input register computing k*x + t."""
    k = float(p["scale"]) * float(p["w"])
    return k, float(p["bias"]) - float(p["scale_offset"]) * k


def _set_register(p: dict, k: float, t: float) -> None:
    """The register as k*x + t exactly as the formula reads it."""
    p.update(scale=1.0, scale_offset=0.0, w=k, bias=t)


def _gain(data: TrainingData, program: Program, at: int) -> float:
    """What the formula multiplies the value of element `at` by (in data
    units) when only sums and linear elements lie between it and the
    output register; else 1 (its own constants are what the formula shows)."""
    parents = program.parents()
    gain = 1.0
    i = parents[at]
    while i > 0:
        if program.fnames[i] == "linear:1":
            gain *= float(program.params[i]["w"])
        elif program.fnames[i] != "add:2":
            return 1.0
        i = parents[i]
    root = program.params[0]
    gain *= float(root["w"]) * (float(root["scale"]) * data.target_unit if data.task == "regression" else 1.0)
    return gain if gain != 0.0 and math.isfinite(gain) else 1.0


def snaps(data: TrainingData, program: Program, at: int):
    """For element `at`, each constant its formula shows, with the edit that
    sets it to a given value: [(value, set(program, value))]."""
    fname, p = program.fnames[at], program.params[at]
    if fname == "in-linear:0":
        k, t = _plain_register(p)
        if program.fnames[program.parents()[at]] == "gaussian:1" and k != 0.0:
            # exp(-c*(x + s)**2) with c = 2*k**2 and s = t/k
            return [(2.0 * k * k, lambda q, c: _set_register(q.params[at], math.copysign(math.sqrt(0.5 * c), k),
                                                             t / k * math.copysign(math.sqrt(0.5 * c), k))),
                    (t / k, lambda q, s: _set_register(q.params[at], k, s * k))]
        gain = _gain(data, program, at)
        return [(gain * k, lambda q, v: _set_register(q.params[at], v / gain, t)),
                (gain * t, lambda q, v: _set_register(q.params[at], k, v / gain))]
    if fname == "linear:1" and program.fnames[program.parents()[at]] in ("multiply:2", "inverse:1"):
        return _shown_constant(program, at)
    if fname == "linear:1":
        return [(float(p[name]), lambda q, v, name=name: q.params[at].update({name: v})) for name in ("w", "bias")]
    if fname == "pow:1":
        return [(float(p["exponent"]), lambda q, v: q.params[at].update(exponent=v))]
    return []


def _shown_constant(program: Program, at: int) -> list:
    """The constant a linear element under a product or reciprocal shows,
    with its edit: the formula writes w*(g*x) + b as w*g*(x + b/(w*g)), its
    factor w*g going to the product, so that snapping b itself seldom snaps
    what is shown (the 1.002 of a/(a/b + 1.002)); its own w and b are not."""
    end = subtree_end(program.fnames, at)
    form = symbolic(program.dnames[at:end], program.fnames[at:end], program.params[at:end])
    if not form.terms or form.const == 0.0 or form.terms[0][0] == 0.0:
        return []
    gain = form.terms[0][0]

    def set_shown(q: Program, v: float) -> None:
        q.params[at]["bias"] = float(q.params[at]["bias"]) + (v - form.const / gain) * gain
    return [(form.const / gain, set_shown)]


# ---------------------------------------------------------------------------
# The step


class Simplifier:
    """Simplifies one program; see the module's text."""

    def __init__(self, data: TrainingData, scorer: Scorer, original: Program):
        self.data = data
        self.judge = Judge(data, scorer, original)
        self.current = original
        self.trials = 0
        self.polishes = 0

    def _budget(self) -> bool:
        return self.trials < MAX_TRIALS

    def _passes(self, program: Program, refit: bool = True, allowance: float | None = NOISE_ALLOWANCE) -> bool:
        self.trials += 1
        if refit:
            refit_root(self.data, program.dnames, program.fnames, program.params)
        return self.judge.passes(program, allowance)

    def _polished(self, program: Program, allowance: float) -> Program | None:
        """The program polished, its unshifted inputs held so, if it passes."""
        # Not for classification: on classes that a boundary separates, the
        # polish buys a lower loss by ever steeper weights, never a plainer
        # formula.
        if self.polishes >= MAX_POLISHES or self.data.task != "regression":
            return None
        self.polishes += 1
        params = polish(self.data, program.dnames, program.fnames, program.params,
                        fixed=_held_inputs(program))
        polished = Program(program.dnames, program.fnames, params)
        return polished if self._passes(polished, refit=False, allowance=allowance) else None

    def _structure(self, polishing: bool) -> bool:
        """One structural edit kept; False when none passes (as it is, or
        polished when `polishing`)."""
        failed = []
        edits = [(edited, NOISE_ALLOWANCE) for edited, _folded in constant_parts(self.data.polish, self.current)]
        edits += [(edited, CUT_ALLOWANCE) for edited in cuts(self.current)]
        if polishing:
            # A shift that is not negligible may still be one of a family of
            # equal fits ((x + a)*((x + b)**2 + c) + d is x**3 + x**2 + x
            # for every a): dropped, it needs the other constants refitted.
            edits += [(edited, NOISE_ALLOWANCE) for edited in shift_drops(self.data, self.current)]
            # On noisy data a weight of 1 is a claim (two inputs of one sum
            # weighing alike), kept only when the loss stays level.
            edits += [(edited, CUT_ALLOWANCE) for edited in plain_inputs(self.current)]
        for edited, allowance in edits:
            if not self._budget():
                return False
            if self._passes(edited, allowance=allowance):
                self.current = edited
                return True
            failed.append((self.judge.last_loss, len(failed), edited, allowance))
        if not polishing:
            return False
        # The closest misses first: a polish is worth most where the
        # constants need to move least.
        failed.sort(key=lambda item: item[:2])
        for _loss, _n, edited, allowance in failed:
            polished = self._polished(edited, allowance)
            if polished is not None:
                self.current = polished
                return True
        return False

    def _shifts(self) -> bool:
        """Drop what shifts the data allows; whether any was."""
        dropped = True
        any_dropped = False
        while dropped and self._budget():
            dropped = False
            for edited in shift_drops(self.data, self.current):
                if not self._budget():
                    break
                if self._passes(edited):
                    self.current, dropped, any_dropped = edited, True, True
                    break
        return any_dropped

    def _snap(self) -> bool:
        """Snap what constants the data allows; whether any was."""
        snapped = False
        for at in range(1, len(self.current.fnames)):
            for index in range(len(snaps(self.data, self.current, at))):
                value, setter = snaps(self.data, self.current, at)[index]
                for simple, plain in simple_values(value):
                    if not self._budget():
                        return snapped
                    edited = self._snapped(at, index, setter, simple, plain)
                    if edited is not None:
                        self.current, snapped = edited, True
                        break
        return self._snap_root() or snapped

    def _snapped(self, at: int, index: int, setter, simple: float, plain: bool) -> Program | None:
        """The program with constant `index` of element `at` set to `simple`,
        if it passes."""
        allowance = SNAP_ALLOWANCE if plain else None
        edited = self.current.copy()
        setter(edited, simple)
        # The intercept alone is solved again: the slope stays, so that the
        # value snapped is the one the formula shows.
        _solve_intercept(self.data, edited)
        if self._passes(edited, refit=False, allowance=allowance):
            return edited
        if not plain or not self._budget():
            return None
        # On noisy data two constants may have drifted together, as the
        # 1.002 and the slope 1.001 of 1.001*a/(a/b + 1.002): the slope is
        # solved as well where the snapped value is one the formula still
        # shows (not one it multiplies by the slope).
        edited = self.current.copy()
        setter(edited, simple)
        refit_root(self.data, edited.dnames, edited.fnames, edited.params)
        if not math.isclose(snaps(self.data, edited, at)[index][0], simple, rel_tol=1e-9):
            return None
        return edited if self._passes(edited, refit=False, allowance=allowance) else None

    def _snap_root(self) -> bool:
        """The output register's slope, then its intercept, in data units."""
        if self.data.task != "regression":
            return False
        unit, offset = self.data.target_unit, self.data.target_offset
        root = self.current.params[0]
        scale = float(root["scale"])
        snapped = False
        # The slope the formula shows: of a single term, the term's
        # coefficient (the gains of the elements below moved into it).
        slope = float(root["w"]) * scale * unit
        form = symbolic(self.current.dnames, self.current.fnames,
                        self.data.params_in_data_units(self.current.params))
        shown = form.terms[0][0] if len(form.terms) == 1 and form.terms[0][0] != 0.0 else slope
        for simple, plain in simple_values(shown):
            edited = self.current.copy()
            edited.params[0]["w"] = simple / shown * slope / (scale * unit)
            _solve_intercept(self.data, edited)
            if self._budget() and self._passes(edited, refit=False, allowance=SNAP_ALLOWANCE if plain else None):
                self.current, snapped = edited, True
                break
        root = self.current.params[0]
        intercept = (float(root["bias"]) * scale + float(root["scale_offset"])) * unit + offset
        for value, plain in [(0.0, True), *simple_values(intercept)]:
            if value == intercept or (value == 0.0 and abs(intercept) <= 1e-12 * unit):
                break
            edited = self.current.copy()
            edited.params[0]["bias"] = ((value - offset) / unit - float(root["scale_offset"])) / scale
            if self._budget() and self._passes(edited, refit=False, allowance=SNAP_ALLOWANCE if plain else None):
                self.current, snapped = edited, True
                break
        return snapped

    def run(self) -> Program:
        while self._budget() and (self._structure(polishing=False) or self._shifts() or self._snap()
                                  or self._structure(polishing=True)):
            pass
        return self.current


def _solve_intercept(data: TrainingData, program: Program) -> None:
    """The output register's bias that fits best for its weight as it is
    (for classification, both are solved)."""
    if data.task != "regression":
        refit_root(data, program.dnames, program.fnames, program.params)
        return
    rows = data.fit
    a = root_operand(rows, program.dnames, program.fnames, program.params)
    if a is None:
        return
    root = program.params[0]
    target = (rows.y - float(root["scale_offset"])) / float(root["scale"])
    root["bias"] = weighted_mean(target - a * float(root["w"]), rows.weights)


def simplified(data: TrainingData, scorer: Scorer, candidate: Candidate) -> Candidate:
    """The candidate in its plainest form that the held-out rows allow,
    scored by `scorer` (the candidate itself when nothing changes)."""
    if candidate.params is None:
        return candidate
    original = Program(list(candidate.dnames), list(candidate.fnames), [_copied(p) for p in candidate.params])
    result = Simplifier(data, scorer, original).run()
    if result.fnames == candidate.fnames and result.params == candidate.params:
        return candidate
    try:
        score, metrics = scorer(result.dnames, result.fnames, result.params)
    except REFUSED_BY_MODEL:
        return candidate
    simple = Candidate(program_key(result.dnames, result.fnames), result.dnames, result.fnames, result.params,
                       metrics, score, candidate.improved, candidate.samples,
                       clamps(data, result.dnames, result.fnames, result.params))
    if data.task == "regression" and metrics["loss"] <= scorer.error_floor:
        simple.text_length = len(render(simple.dnames, simple.fnames, data.params_in_data_units(simple.params)).text)
    return simple
