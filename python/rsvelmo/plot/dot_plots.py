"""Dot plots of the top gene sets: of one ranking (the summary figure), and
across rankings.

Colour scale of the dot plot of one ranking: -log10 padj from 0 to 10 (p = 1
to 1e-10; smaller p-values take the top colour), the same in every figure so
that figures can be compared; the significance cut is marked on the colour
bar, and gene sets above it are drawn grey.
"""

from __future__ import annotations

import math
from typing import Any

from .._options import DEFAULT
from ._base import (
    COLOUR_MAX,
    DOUBLE_COLUMN,
    NEUTRAL,
    colour_bar,
    finish,
    known,
    label_of,
    padj_strength,
    pyplot,
    records_of,
    rows_height,
    show_nothing,
    top_by_nes,
    wrap,
)

__all__ = ["dot_plot", "summary_plot", "dot_plot_many", "padj_colours", "padj_bar"]


def padj_colours(plt):
    return plt.get_cmap("viridis_r"), plt.Normalize(0.0, COLOUR_MAX)


def padj_fill(plt, records, padj_cut: float) -> list:
    """Each row's colour: its padj's on the scale where below the cut, else grey."""
    cmap, norm = padj_colours(plt)
    return [cmap(norm(padj_strength(r["padj"]))) if r["padj"] < padj_cut else NEUTRAL for r in records]


def padj_bar(fig, plt, ax, padj_cut: float) -> None:
    cmap, norm = padj_colours(plt)
    cut = -math.log10(padj_cut)
    # The scale stops at COLOUR_MAX; its pointed end says that smaller padj are drawn in the top colour.
    bar = colour_bar(fig, plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax, "-log10 padj", extend="max")
    bar.ax.axhline(cut, color="red", linewidth=1.2)
    bar.ax.text(
        1.6, cut, f" padj {padj_cut:g}", color="red", fontsize=6, va="center", transform=bar.ax.get_yaxis_transform()
    )


def _dot_sizes(chosen: list[dict[str, Any]], size_by: str):
    """The dots' areas, and the legend's way back from an area to the value,
    so that the legend reads in genes (or as a fraction), not in points."""
    if size_by == "leading_edge":
        values = [len(r["leading_edge"]) / max(r["size"], 1) for r in chosen]
        to_area, from_area = (lambda v: 30 + 220 * v), (lambda a: (a - 30) / 220)
        legend_title, legend_format = "leading-edge fraction", "{x:.2f}"
    else:
        values = [float(r["size"]) for r in chosen]
        to_area, from_area = (lambda v: 15 + 9.6 * math.sqrt(v)), (lambda a: ((a - 15) / 9.6) ** 2)
        legend_title, legend_format = "genes in set", "{x:.0f}"
    return [to_area(v) for v in values], from_area, legend_title, legend_format


def dot_plot(
    results,
    top: int = DEFAULT.top,
    padj_cut: float = DEFAULT.padj,
    size_by: str = "size",
    title: str | None = None,
    path=None,
):
    """Dot plot of the top gene sets: NES on x, one row per set (labels
    wrapped), dot area by set size (``size_by="leading_edge"``: by the
    leading-edge fraction), colour by -log10 padj on the fixed scale 0-10
    with the significance cut marked. With no set below ``padj_cut`` the
    title says so, the top sets by p-value are shown grey and no
    significance colour is drawn.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
        A results table or the engine's records.
    top : int
        Gene sets per direction.
    padj_cut : float
        The significance cut.
    size_by : {'size', 'leading_edge'}
    title : str, optional
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    chosen, significant = top_by_nes(records_of(results), top, padj_cut)
    labels = [wrap(label_of(r)) for r in chosen]
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, max(2.5, rows_height(labels, 1.0))))
    if not chosen:
        show_nothing(ax, "no gene set has an NES")
    else:
        area, from_area, legend_title, legend_format = _dot_sizes(chosen, size_by)
        colours = padj_fill(plt, chosen, padj_cut)
        points = ax.scatter(
            [r["nes"] for r in chosen],
            range(len(chosen)),
            s=area,
            c=colours,
            edgecolors="black",
            linewidths=0.4,
            zorder=3,
        )
        ax.set_yticks(range(len(chosen)), labels, fontsize=7)
        ax.set_ylim(-0.7, len(chosen) - 0.3)
        ax.axvline(0.0, color="grey", linewidth=0.6)
        ax.grid(axis="x", linewidth=0.3, alpha=0.5)
        ax.tick_params(axis="x", labelsize=7)
        ax.set_xlabel("normalized enrichment score (NES); rows ordered by NES", fontsize=8)
        if significant:
            padj_bar(fig, plt, ax, padj_cut)
        handles, names = points.legend_elements(prop="sizes", num=3, alpha=0.6, func=from_area, fmt=legend_format)
        if any(r["nes"] > 0 for r in chosen) and any(r["nes"] < 0 for r in chosen):
            # Rows run by NES, so the lower right (down sets sit left) is empty.
            ax.legend(handles, names, title=legend_title, fontsize=6, title_fontsize=7, loc="lower right",
                      frameon=False)  # fmt: skip
        else:  # one direction fills any corner: the legend goes under the axis label
            from matplotlib.transforms import offset_copy

            below = offset_copy(ax.transAxes, fig=fig, y=-30, units="points")
            ax.legend(handles, names, title=legend_title, fontsize=6, title_fontsize=7, loc="upper center",
                      bbox_to_anchor=(0.5, 0.0), bbox_transform=below, ncol=max(1, len(handles)),
                      frameon=False)  # fmt: skip
    heading = title or (
        "Top enriched gene sets" if significant else f"No gene set with padj < {padj_cut:g}: top gene sets by p-value"
    )
    ax.set_title(heading, fontsize=9)
    fig.tight_layout()
    return finish(fig, path)


summary_plot = dot_plot  # the summary figure of the command line


def _union_of_tops(records, rankings: list, top: int, padj_cut: float) -> dict[str, str]:
    """The rows of the plot across rankings: each ranking's top gene sets in
    turn, each set once, with its wrapped label."""
    labels: dict[str, str] = {}
    for name in rankings:
        chosen, _ = top_by_nes([r for r in records if r["ranking"] == name], top, padj_cut)
        for r in chosen:
            if r["pathway"] not in labels:
                labels[r["pathway"]] = wrap(label_of(r))
    return labels


def _padj_area(padj: float) -> float:
    return 20 + 18 * padj_strength(padj)


def _draw_cells(ax, records, rankings: list, terms: list[str], cmap, norm, padj_cut: float) -> None:
    """One dot a ranking and gene set: filled with the NES's colour where
    padj is below the cut, else hollow with a coloured edge."""
    by_key = {(r["ranking"], r["pathway"]): r for r in records}
    for x, name in enumerate(rankings):
        for y, term in enumerate(terms):
            r = by_key.get((name, term))
            if r is None or not known(r.get("nes")) or not known(r.get("padj")):
                continue
            filled = r["padj"] < padj_cut
            ax.scatter(
                [x],
                [y],
                s=_padj_area(r["padj"]),
                c=[cmap(norm(r["nes"]))] if filled else "none",
                edgecolors=cmap(norm(r["nes"])) if not filled else "black",
                linewidths=0.6,
                zorder=3,
            )


def dot_plot_many(
    table, top: int = DEFAULT.top // 2, padj_cut: float = DEFAULT.padj, title: str | None = None, path=None
):
    """Dot plot across rankings: the union of each ranking's top gene sets
    (rows) against the rankings (columns); colour NES (red up, blue down),
    dot area -log10 padj, non-significant cells hollow.

    Parameters
    ----------
    table : pandas.DataFrame or list of dict
        A ``gsea_many`` result (with a ``ranking`` column).
    top : int
        Gene sets per direction taken from each ranking (by default half
        the figures' `top`, as the command line draws it).
    padj_cut : float
    title : str, optional
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
        The figure, also saved to `path` when given.
    """
    plt = pyplot()
    records = records_of(table)
    rankings = list(dict.fromkeys(r["ranking"] for r in records))
    labels = _union_of_tops(records, rankings, top, padj_cut)
    terms = list(labels)
    fig, ax = plt.subplots(figsize=(2.5 + 0.9 * len(rankings), max(2.5, rows_height(labels.values(), 1.2))))
    if not terms:
        show_nothing(ax, "no gene set has an NES")
    else:
        limit = max((abs(r["nes"]) for r in records if known(r.get("nes"))), default=1.0)
        norm = plt.Normalize(-limit, limit)
        cmap = plt.get_cmap("RdBu_r")
        _draw_cells(ax, records, rankings, terms, cmap, norm, padj_cut)
        ax.set_xticks(range(len(rankings)), rankings, rotation=45, ha="right", fontsize=7)
        ax.set_yticks(range(len(terms)), list(labels.values()), fontsize=7)
        ax.set_xlim(-0.6, len(rankings) - 0.4)
        ax.set_ylim(-0.6, len(terms) - 0.4)
        ax.grid(linewidth=0.3, alpha=0.4)
        colour_bar(fig, plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax, "NES")
        for padj in (1e-2, 1e-5, 1e-10):  # the dot sizes, in padj
            ax.scatter([], [], s=_padj_area(padj), c="white", edgecolors="black", linewidths=0.6, label=f"{padj:g}")
        ax.legend(title="padj", fontsize=6, title_fontsize=7, frameon=False, loc="upper left",
                  bbox_to_anchor=(1.25, 1.0))  # fmt: skip
    ax.set_title(title or f"Top gene sets across rankings (filled: padj < {padj_cut:g})", fontsize=9)
    fig.tight_layout()
    return finish(fig, path)
