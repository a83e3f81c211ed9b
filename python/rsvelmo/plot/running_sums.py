"""Running-sum figures: one gene set, or several in one figure (in panels or in one axes)."""

from __future__ import annotations

import math
from typing import Any, Iterable, Mapping

from .._options import DEFAULT
from ._base import (
    DOUBLE_COLUMN,
    DOWN,
    SINGLE_COLUMN,
    UP,
    finish,
    inputs_of,
    label_of,
    p_text,
    pyplot,
    ranking_of,
    wrap,
)

__all__ = ["running_sum", "enrichment_plot", "enrichment_plots", "running_sums_plot"]


def running_sum(ranks: Mapping[str, float], genes: Iterable[str], gsea_param: float = DEFAULT.gsea_param):
    """The running enrichment sum of a gene set along a ranking.

    Genes are ordered by score, highest first, ties in input order (as the
    engine orders them). Returns (sorted scores, 0-based hit positions, running
    sum of length n + 1 starting at 0).
    """
    order = sorted(ranks.items(), key=lambda kv: -kv[1])
    members = set(genes)
    scores = [s for _, s in order]
    hits = [i for i, (g, _) in enumerate(order) if g in members]
    n, k = len(order), len(hits)
    total = math.fsum(abs(scores[i]) ** gsea_param for i in hits)
    curve = [0.0]
    hit_set = set(hits)
    for i in range(n):
        if i in hit_set:
            step = (abs(scores[i]) ** gsea_param / total) if total > 0 else 1.0 / k
        else:
            step = -1.0 / (n - k) if n > k else 0.0
        curve.append(curve[-1] + step)
    return scores, hits, curve


def _draw_running_sum(axes, ranks, genes, result, gsea_param, title, show_metric=True):
    top, ticks, metric = axes
    scores, hits, curve = running_sum(ranks, genes, gsea_param)
    xs = range(len(curve))
    peak = max(range(len(curve)), key=lambda i: abs(curve[i]))
    positive = curve[peak] >= 0
    colour = UP if positive else DOWN
    # The leading edge: from the start to the peak (positive ES) or from the
    # peak to the end (negative ES).
    lo, hi = (0, peak) if positive else (peak, len(curve) - 1)
    top.axvspan(lo, hi, color=colour, alpha=0.08, linewidth=0, label="leading edge")
    top.plot(xs, curve, color="#1a9641", linewidth=1.4)
    top.axhline(0.0, color="grey", linewidth=0.6)
    top.axhline(curve[peak], color=colour, linestyle="--", linewidth=0.8)
    top.plot([peak], [curve[peak]], "o", color=colour, markersize=4)
    crossing = next((i for i, s in enumerate(scores) if s <= 0), None)
    for ax in (top, ticks, metric):
        if crossing is not None:
            ax.axvline(crossing, color="#7f7f7f", linestyle=":", linewidth=0.8)
    top.set_ylabel("running ES", fontsize=8)
    for ax in (top, ticks, metric):  # the figures' one scale: titles 8-9, labels 8, ticks 7
        ax.tick_params(labelsize=7)
    heading = wrap(title, 48)
    if result is not None:
        heading += (
            f"\nNES = {p_text(result.get('nes'))}, padj = {p_text(result.get('padj'))}, "
            f"log2err = {p_text(result.get('log2err'))}"
        )
    top.set_title(heading, fontsize=8)
    for ax in (top, ticks):  # the panels share the metric's x axis: its labels only
        ax.tick_params(labelbottom=False)
    ticks.vlines(hits, 0, 1, color="black", linewidth=0.4)
    ticks.set_yticks([])
    ticks.set_ylim(0, 1)
    metric.fill_between(range(len(scores)), scores, 0.0, color="#8c8cc8", linewidth=0)
    metric.axhline(0.0, color="grey", linewidth=0.6)
    metric.set_ylabel("ranking\nmetric", fontsize=8)
    metric.set_xlim(0, max(len(scores), 1))
    if crossing is not None:
        metric.annotate(
            "zero cross", (crossing, 0), xytext=(3, 3), textcoords="offset points", fontsize=6, color="#555555"
        )


def enrichment_plot(
    ranks: Mapping[str, float],
    genes: Iterable[str],
    result: Mapping[str, Any] | None = None,
    gsea_param: float = DEFAULT.gsea_param,
    title: str | None = None,
    path=None,
):
    """Draw the running-sum plot of one gene set.

    The running sum with its peak (the ES) marked and the leading edge
    shaded, the zero line, a tick per gene of the set, the ranking metric
    underneath and a dotted line where the metric crosses zero. ``result`` (a
    row of ``rsvelmo.gsea``'s table or an engine record) supplies NES, padj
    and log2err for the title.

    Parameters
    ----------
    ranks : mapping
        Gene -> score, the ranking analysed.
    genes : iterable of str
        The gene set's genes.
    result : mapping, optional
        Its row of the results.
    gsea_param : float
        The analysis's weight exponent.
    title : str, optional
        Default: the set's description (never a URL), else its name.
    path : str or os.PathLike, optional
        Where to save it (PNG/SVG/PDF by suffix).

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    ranks = ranking_of(ranks)
    if result is not None and not isinstance(result, Mapping) and hasattr(result, "to_dict"):
        result = result.to_dict()  # a row of the results table
    fig, axes = plt.subplots(
        3, 1, figsize=(SINGLE_COLUMN, 3.4), sharex=True, gridspec_kw={"height_ratios": [3, 0.5, 1.5], "hspace": 0.06}
    )
    name = title or (label_of(result) if result is not None else "gene set")
    _draw_running_sum(axes, ranks, genes, result, gsea_param, name)
    axes[2].set_xlabel("rank in ordered gene list", fontsize=8)
    from matplotlib.ticker import MaxNLocator

    n = len(ranks)
    axes[2].set_xticks([t for t in MaxNLocator(4).tick_values(0, n) if 0 <= t <= n])
    axes[2].set_xlim(0, max(n, 1))
    fig.subplots_adjust(left=0.2, right=0.92, bottom=0.13, top=0.82)  # a single column, labels inside
    return finish(fig, path)


def enrichment_plots(
    ranks,
    gene_sets,
    results,
    gsea_param: float = DEFAULT.gsea_param,
    columns: int = 2,
    path=None,
):
    """Running-sum plots of several gene sets in one figure (one panel each).

    Parameters
    ----------
    ranks : mapping, pandas.Series or path
        The ranking analysed (anything :func:`rsvelmo.gsea` takes).
    gene_sets : mapping, path or collection name
        The gene sets (anything :func:`rsvelmo.gsea` takes).
    results : pandas.DataFrame or list of dict
        The rows of the sets to draw, e.g. ``table.head(4)``.
    gsea_param : float
    columns : int
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    ranks, gene_sets, results = inputs_of(ranks, gene_sets, results)
    rows = max(1, math.ceil(len(results) / columns))
    fig = plt.figure(figsize=(DOUBLE_COLUMN / 2 * columns, 3.6 * rows))
    grid = fig.add_gridspec(rows, columns, hspace=0.6, wspace=0.35)
    for i, result in enumerate(results):
        cell = grid[i // columns, i % columns].subgridspec(3, 1, height_ratios=[3, 0.5, 1.5], hspace=0.06)
        axes = [fig.add_subplot(cell[0])]
        axes += [fig.add_subplot(cell[j], sharex=axes[0]) for j in (1, 2)]
        _draw_running_sum(axes, ranks, gene_sets.get(result["pathway"], []), result, gsea_param, label_of(result))
        axes[2].set_xlabel("rank in ordered gene list", fontsize=8)
    return finish(fig, path)


# Dark colours that stay visible as thin lines on white: Okabe and Ito's
# blue, vermillion, green and black, without their yellow, sky blue and pale
# purple, and Tol's purple, wine, indigo and olive. The second four are also dashed, so
# that no two lines rely on hue alone.
LINES = [("#0072B2", "-"), ("#D55E00", "-"), ("#009E73", "-"), ("#AA3377", "-"),
         ("#000000", "--"), ("#882255", "--"), ("#332288", "--"), ("#999933", "--")]  # fmt: skip


def running_sums_plot(ranks, gene_sets, results, gsea_param: float = DEFAULT.gsea_param, path=None):
    """Several gene sets' running sums in one axes, with a legend; the
    arguments are those of :func:`enrichment_plots` (at most eight sets, one
    colour each). Returns the matplotlib figure."""
    plt = pyplot()
    ranks, gene_sets, results = inputs_of(ranks, gene_sets, results)
    results = results[: len(LINES)]
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, 3.4))
    for (colour, style), r in zip(LINES, results):
        _, _, curve = running_sum(ranks, gene_sets.get(r["pathway"], []), gsea_param)
        # The legend as narrow as a short label: the numbers on a line of their own.
        label = f"{wrap(label_of(r), 30)}\nNES {p_text(r.get('nes'))}, padj {p_text(r.get('padj'))}"
        ax.plot(range(len(curve)), curve, color=colour, linestyle=style, linewidth=1.3, label=label)
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.set_xlim(0, len(ranks))
    ax.set_xlabel("rank in ordered gene list", fontsize=8)
    ax.set_ylabel("running ES", fontsize=8)
    ax.tick_params(labelsize=7)
    ax.set_title("Running sums of the gene sets", fontsize=9)
    ax.legend(fontsize=6, frameon=False, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    return finish(fig, path)
