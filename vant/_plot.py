"""Drawing the Pareto front with matplotlib (an optional dependency)."""

from __future__ import annotations

from collections.abc import Sequence

LOSS_NAMES = {"regression": "mean squared error", "classification": "binary cross-entropy"}


def plot_fronts(fronts: Sequence[Sequence], chosen: Sequence, labels=None, ax=None):
    """Held-out loss against size, one line per front, the chosen model of
    each ringed and labelled with its expression; returns the Axes."""
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plot_pareto_front needs matplotlib: pip install 'vant[plot]'") from None
        _figure, ax = plt.subplots(figsize=(7, 4.5))
    positive = all(model.loss > 0.0 for front in fronts for model in front)
    for k, front in enumerate(fronts):
        label = None if labels is None else f"class {labels[k]}"
        sizes = [model.size for model in front]
        losses = [model.loss for model in front]
        line, = ax.plot(sizes, losses, marker="o", drawstyle="steps-post", label=label)
        best = chosen[k]
        ax.plot([best.size], [best.loss], linestyle="none", marker="o", markersize=13, markerfacecolor="none",
                markeredgecolor=line.get_color(), markeredgewidth=2,
                label="chosen" if k == 0 and labels is None else None)
        ax.annotate(_short(best.expression), (best.size, best.loss), xytext=(8, 8), textcoords="offset points",
                    fontsize=8, color=line.get_color())
    if positive:
        ax.set_yscale("log")
    from matplotlib.ticker import MaxNLocator
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.margins(0.08, 0.15)  # room for the labels of models at the edges
    kind = fronts[0][0].kind
    ax.set_xlabel("size (elements)")
    ax.set_ylabel(f"held-out loss ({LOSS_NAMES.get(kind, 'loss')})")
    ax.set_title("Pareto front: accuracy against size")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper right", fontsize=8)
    return ax


def _short(text: str, width: int = 60) -> str:
    return text if len(text) <= width else text[:width - 1] + "…"
