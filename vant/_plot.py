"""Drawing the Pareto front with matplotlib (an optional dependency)."""

from __future__ import annotations

from collections.abc import Sequence

LOSS_NAMES = {"regression": "mean squared error", "classification": "binary cross-entropy"}

# Expressions in the legend are cut to this many characters.
_LEGEND_WIDTH = 70


def plot_fronts(fronts: Sequence[Sequence], chosen: Sequence, labels=None, ax=None):
    """Held-out loss against size, one line per front, the chosen model of
    each ringed; the legend, below the plot, names each chosen model's
    formula.  Returns the Axes (of a new figure laid out to save whole
    with a plain `savefig`, unless `ax` is given)."""
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plot_pareto_front needs matplotlib: pip install 'vant[plot]'") from None
        _figure, ax = plt.subplots(figsize=figure_size(len(fronts)), layout="constrained")
    every_loss = [model.loss for front in fronts for model in front]
    for k, front in enumerate(fronts):
        best = chosen[k]
        name = "" if labels is None else f"class {labels[k]}, "
        sizes = [model.size for model in front]
        losses = [model.loss for model in front]
        line, = ax.plot(sizes, losses, marker="o", drawstyle="steps-post",
                        label=f"{name}chosen (ringed): {_short(best.expression)}")
        ax.plot([best.size], [best.loss], linestyle="none", marker="o", markersize=13, markerfacecolor="none",
                markeredgecolor=line.get_color(), markeredgewidth=2)
    # Losses over several decades (a class the formula separates beside one
    # it does not) read on a log scale; within one, the plain scale reads better.
    if min(every_loss) > 0.0 and max(every_loss) > 10.0 * min(every_loss):
        ax.set_yscale("log")
    from matplotlib.ticker import MaxNLocator
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.margins(0.08, 0.15)
    kind = fronts[0][0].kind
    ax.set_xlabel("size (elements)")
    ax.set_ylabel(f"held-out loss ({LOSS_NAMES.get(kind, 'loss')})")
    ax.set_title("Pareto front: accuracy against size")
    ax.grid(True, alpha=0.3)
    # Below the axes, so that it covers no point however many fronts there are.
    ax.legend(loc="upper left", bbox_to_anchor=(0.0, -0.13), fontsize=8, frameon=False)
    return ax


def figure_size(fronts: int) -> tuple[float, float]:
    """Width and height in inches: the legend below the plot has a line per front."""
    return 7.0, 4.6 + 0.2 * fronts


def _short(text: str, width: int = _LEGEND_WIDTH) -> str:
    return text if len(text) <= width else text[:width - 1] + "…"
