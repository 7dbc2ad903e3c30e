"""How results show in a notebook: a found model's formula as LaTeX, and a
fitted estimator's chosen formulas and Pareto front as HTML beside
scikit-learn's own view of the estimator."""

from __future__ import annotations

import html
from typing import Any



def model_latex(model: Any) -> str | None:
    """``$target = formula$`` for Jupyter, or None without sympy (the
    notebook then shows the text)."""
    try:
        from ._sympy import name_latex
        formula = model.latex()
    except ImportError:
        return None
    return f"$\\displaystyle {name_latex(model.target)} = {formula}$"


def fitted_html(estimator: Any) -> str:
    """The chosen formula of each front and the fronts as a table."""
    state = estimator._fitted()
    labels = estimator._formula_labels(state)
    chosen = []
    for k, model in enumerate(state.chosen):
        prefix = "" if labels is None else f"class {html.escape(str(labels[k]))}: "
        chosen.append(f"<li>{prefix}<code>{_escaped_lines(str(model))}</code></li>")
    header, rows = estimator._front_cells()
    head = "".join(f"<th style=\"text-align:{_align(name)}\">{html.escape(name)}</th>" for name in header)
    body = "".join(
        "<tr>" + "".join(f"<td style=\"text-align:{_align(name)}\">{_cell(name, cell)}</td>"
                         for name, cell in zip(header, cells)) + "</tr>"
        for cells in rows)
    return ("<div class=\"vant-fitted\" style=\"margin-top:0.6em\">"
            f"<div><b>Chosen formula{'s' if len(chosen) > 1 else ''}</b></div>"
            f"<ul style=\"margin:0.2em 0 0.6em 0\">{''.join(chosen)}</ul>"
            "<div><b>Pareto front</b> (held-out loss by size; the chosen model marked *)</div>"
            f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table></div>")


def _escaped_lines(text: str) -> str:
    return "<br>".join(html.escape(line) for line in text.splitlines())


def _align(name: str) -> str:
    return "left" if name == "expression" else "right"


def _cell(name: str, text: str) -> str:
    escaped = html.escape(text)
    return f"<code>{escaped}</code>" if name == "expression" else escaped
