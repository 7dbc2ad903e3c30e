"""The Pareto front of found models: accuracy against size.

For every size the front keeps the model with the lowest held-out loss, and
of those only the ones that no smaller model matches, so the loss falls as
the size grows.  A classifier's loss below SEPARATED (the held-out rows
given their class with a probability of 0.999 or more) counts as that
value: a larger model that only steepens a boundary that already separates
the classes is not better, only harder to read.  An estimator predicts with one model of the front, picked
by its `model_selection` rule (see `select`).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence

# The cross-entropy of rows given their class with a probability of 0.999.
SEPARATED = 1e-3


def _compared(model) -> float:
    """The loss the front compares: a classifier's no lower than SEPARATED."""
    return max(model.loss, SEPARATED) if model.kind == "classification" else model.loss


def pareto_front(models: Sequence) -> list:
    """The models on the front, smallest first."""
    best_of_size: dict[int, object] = {}
    for model in models:
        if not math.isfinite(model.loss):
            continue
        held = best_of_size.get(model.size)
        if held is None or model.loss < held.loss:
            best_of_size[model.size] = model
    front = []
    for size in sorted(best_of_size):
        model = best_of_size[size]
        if not front or _compared(model) < _compared(front[-1]):
            front.append(model)
    if not front:
        raise ValueError("the search found no model with a finite held-out loss")
    return front


def select(front: Sequence, rule) -> int:
    """Index into `front` of the model that `rule` picks.

    "best": the lowest score, the search's own ranking (the held-out loss
    weighed against the size by an information criterion); "accuracy": the
    lowest held-out loss, that is the largest model of the front; an int:
    that position in the front (0 the smallest, -1 the largest).
    """
    if rule == "best":
        return min(range(len(front)), key=lambda i: (front[i].score, i))
    if rule == "accuracy":
        return len(front) - 1
    if isinstance(rule, numbers.Integral) and not isinstance(rule, bool):
        if not -len(front) <= rule < len(front):
            raise ValueError(f"model_selection={rule} is outside the front, which has {len(front)} models")
        return int(rule) % len(front)
    raise ValueError(f"model_selection must be 'best', 'accuracy' or an index into the front, not {rule!r}")


def records(fronts: Sequence[Sequence], chosen: Sequence, labels=None) -> list[dict]:
    """One record per model of each front: size, loss, the other held-out
    metrics, the expression, whether it is the chosen model, and the model."""
    rows = []
    for k, front in enumerate(fronts):
        for model in front:
            row = {} if labels is None else {"class": labels[k]}
            row.update(size=model.size, loss=model.loss)
            row.update({name: value for name, value in model.metrics.items() if name != "loss"})
            row.update(expression=model.expression, chosen=model is chosen[k], model=model)
            rows.append(row)
    return rows


def front_cells(fronts: Sequence[Sequence], chosen: Sequence, labels, metric: str) -> tuple[list[str], list[list[str]]]:
    """The fronts as text cells, for the command's table and a notebook's:
    the header, then per model its class (with labels), "*" for the chosen
    model, its size, loss, `metric` and expression."""
    header = (["class"] if labels is not None else []) + ["", "size", "loss", metric, "expression"]
    rows = []
    for row in records(fronts, chosen, labels):
        cells = [str(row["class"])] if "class" in row else []
        cells += ["*" if row["chosen"] else "", str(row["size"]), f"{row['loss']:.6g}",
                  f"{row.get(metric, math.nan):.4f}", row["expression"]]
        rows.append(cells)
    return header, rows


def as_table(fronts: Sequence[Sequence], chosen: Sequence, labels=None):
    """The records as a pandas DataFrame, or as the list itself without pandas."""
    rows = records(fronts, chosen, labels)
    try:
        import pandas
    except ImportError:
        return rows
    return pandas.DataFrame(rows)
