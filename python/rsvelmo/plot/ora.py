"""Figures of an over-representation analysis (:func:`rsvelmo.ora`'s table):
a dot plot, a bar plot, the lists side by side and the enrichment map.

They read the table's columns by name: ``pval``/``padj`` (order and colour,
-log10 padj on the same fixed 0-10 scale as every figure of the package),
``fold_enrichment`` (the dot plot's x), ``overlap`` (dot area), ``genes``
(the genes that join two sets in the map, where a preranked analysis has
its leading edge) and ``list`` when there are several lists.
"""

from __future__ import annotations

import math
from typing import Any

from ._base import (
    DOUBLE_COLUMN,
    finish,
    known,
    label_of,
    padj_strength,
    pyplot,
    records_of,
    rows_height,
    show_nothing,
    wrap,
)
from .dot_plots import padj_bar, padj_colours, padj_fill
from .enrichment_maps import enrichment_map

__all__ = ["ora_dot_plot", "ora_bar_plot", "ora_dot_plot_lists", "ora_enrichment_map"]


def _chosen(records, top: int, padj_cut: float) -> tuple[list[dict[str, Any]], bool]:
    """The best `top` sets by p-value: the significant ones, else the best
    ones (drawn grey); and whether any is significant."""
    rows = sorted((r for r in records if known(r.get("pval"))), key=lambda r: (r["pval"], -r["overlap"]))
    significant = [r for r in rows if known(r.get("padj")) and r["padj"] < padj_cut]
    return (significant or [r for r in rows if r["overlap"] > 0])[:top], bool(significant)


def _rows_figure(plt, chosen):
    labels = [wrap(label_of(r)) for r in chosen]
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, max(2.5, rows_height(labels, 1.0))))
    return fig, ax, labels


def _rows_axis(ax, labels, xlabel):
    """The set names down the rows and a light grid along the values."""
    ax.set_yticks(range(len(labels)), labels, fontsize=7)
    ax.set_ylim(-0.7, len(labels) - 0.3)
    ax.grid(axis="x", linewidth=0.3, alpha=0.5)
    ax.tick_params(axis="x", labelsize=7)
    ax.set_xlabel(xlabel, fontsize=8)


def _finish_rows(fig, ax, title, significant, padj_cut, path):
    ax.set_title(_heading(title, significant, padj_cut, "Over-represented gene sets"), fontsize=9)
    fig.tight_layout()
    return finish(fig, path)


def _heading(title, significant, padj_cut, what):
    head = what if significant else f"No gene set with padj < {padj_cut:g}: {what.lower()} by p-value"
    return f"{title}: {head}" if title else head


def ora_dot_plot(results, top: int = 10, padj_cut: float = 0.05, title: str | None = None, path=None):
    """Dot plot of the best sets (best at the top): fold enrichment on x, dot
    area by overlap (genes of the list in the set), colour by -log10 padj.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
        One list's rows of :func:`rsvelmo.ora`.
    top : int
    padj_cut : float
    title : str, optional
        Put before the heading (the list's name).
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    chosen, significant = _chosen(records_of(results), top, padj_cut)
    chosen = chosen[::-1]  # matplotlib counts rows from the bottom
    fig, ax, labels = _rows_figure(plt, chosen)
    if not chosen:
        show_nothing(ax, "no gene set holds a listed gene")
    else:
        colours = padj_fill(plt, chosen, padj_cut)

        def to_area(v):
            return 15 + 24 * math.sqrt(v)

        points = ax.scatter([r["fold_enrichment"] for r in chosen], range(len(chosen)),
                            s=[to_area(r["overlap"]) for r in chosen], c=colours, edgecolors="black", linewidths=0.4,
                            zorder=3)  # fmt: skip
        _rows_axis(ax, labels, "fold enrichment (overlap / expected); rows ordered by p-value")
        ax.set_xlim(0, max(r["fold_enrichment"] for r in chosen) * 1.12)
        ax.axvline(1.0, color="grey", linewidth=0.6)
        if significant:
            padj_bar(fig, plt, ax, padj_cut)
        handles, names = points.legend_elements(prop="sizes", num=3, alpha=0.6, func=lambda a: ((a - 15) / 24) ** 2,
                                                fmt="{x:.0f}")  # fmt: skip
        ax.legend(handles, names, title="overlap (genes)", fontsize=6, title_fontsize=7, loc="lower right",
                  frameon=False)  # fmt: skip
    return _finish_rows(fig, ax, title, significant, padj_cut, path)


def ora_bar_plot(results, top: int = 10, padj_cut: float = 0.05, title: str | None = None, path=None):
    """Bar plot of the best sets: -log10 padj, the cut marked, each bar
    labelled with its overlap / set size.

    Parameters and return value are those of :func:`ora_dot_plot`.
    """
    plt = pyplot()
    chosen, significant = _chosen(records_of(results), top, padj_cut)
    chosen = chosen[::-1]
    fig, ax, labels = _rows_figure(plt, chosen)
    if not chosen:
        show_nothing(ax, "no gene set holds a listed gene")
    else:
        cut = -math.log10(padj_cut)
        heights = [-math.log10(max(r["padj"], 1e-300)) for r in chosen]
        colours = padj_fill(plt, chosen, padj_cut)
        ax.barh(range(len(chosen)), heights, color=colours, edgecolor="black", linewidth=0.4, zorder=3)
        for y, (h, r) in enumerate(zip(heights, chosen)):
            ax.text(h, y, f" {r['overlap']}/{r['size']}", va="center", fontsize=6)
        ax.axvline(cut, color="red", linewidth=0.8)
        _rows_axis(ax, labels, f"-log10 padj (red line: padj {padj_cut:g}); bars labelled overlap/size")
        ax.set_xlim(0, max(heights + [cut]) * 1.15)
    return _finish_rows(fig, ax, title, significant, padj_cut, path)


def ora_dot_plot_lists(results, top: int = 5, padj_cut: float = 0.05, title: str | None = None, path=None):
    """The lists side by side: the union of each list's best sets (rows)
    against the lists (columns); dot area by overlap, colour by -log10
    padj, hollow where padj >= the cut.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
        :func:`rsvelmo.ora`'s table of several lists (a ``list`` column).
    top : int
        Sets taken from each list.
    padj_cut : float
    title : str, optional
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    records = records_of(results)
    lists = list(dict.fromkeys(r["list"] for r in records))
    by_key = {(r["list"], r["pathway"]): r for r in records}
    terms: dict[str, str] = {}
    for name in lists:
        for r in _chosen([r for r in records if r["list"] == name], top, padj_cut)[0]:
            terms.setdefault(r["pathway"], wrap(label_of(r)))
    height = 1.2 + sum(0.18 * (1 + t.count("\n")) + 0.08 for t in terms.values())
    fig, ax = plt.subplots(figsize=(3.5 + 0.9 * len(lists), max(2.5, height)))
    cmap, norm = padj_colours(plt)
    for x, name in enumerate(lists):
        for y, term in enumerate(reversed(terms)):
            r = by_key.get((name, term))
            if r is None or r["overlap"] == 0:
                continue
            colour = cmap(norm(padj_strength(r["padj"])))
            filled = r["padj"] < padj_cut
            ax.scatter([x], [y], s=15 + 24 * math.sqrt(r["overlap"]), c=[colour] if filled else "none",
                       edgecolors="black" if filled else "#8c8c8c", linewidths=0.6, zorder=3)  # fmt: skip
    ax.set_xticks(range(len(lists)), lists, fontsize=7)
    ax.set_yticks(range(len(terms)), list(reversed(terms.values())), fontsize=7)
    ax.set_xlim(-0.6, len(lists) - 0.4)
    ax.set_ylim(-0.6, max(len(terms), 1) - 0.4)
    ax.grid(linewidth=0.3, alpha=0.4)
    padj_bar(fig, plt, ax, padj_cut)
    for overlap in (5, 20, 80):
        ax.scatter([], [], s=15 + 24 * math.sqrt(overlap), c="white", edgecolors="black", linewidths=0.6,
                   label=str(overlap))  # fmt: skip
    ax.legend(title="overlap", fontsize=6, title_fontsize=7, frameon=False, loc="upper left",
              bbox_to_anchor=(1.3, 1.0))  # fmt: skip
    ax.set_title(title or f"Best gene sets of each list (filled: padj < {padj_cut:g})", fontsize=9)
    fig.tight_layout()
    return finish(fig, path)


def ora_enrichment_map(results, padj_cut: float = 0.05, min_overlap: float = 0.5, path=None, **options):
    """The enrichment map of one list's significant sets: an edge where the
    listed genes of two sets (``genes``) overlap by ``min_overlap`` or more,
    colour by log2 fold enrichment. Options are those of
    :func:`rsvelmo.plot.enrichment_map`."""
    records = [
        dict(r, leading_edge=list(r["genes"]), log2_fold_enrichment=math.log2(r["fold_enrichment"]))
        for r in records_of(results)
        if r["overlap"] > 0
    ]
    fig = enrichment_map(records, padj_cut, min_overlap, score="log2_fold_enrichment", **options)
    if records and fig.axes[0].get_title().startswith("Enrichment map: "):
        title = fig.axes[0].get_title().replace("leading edges overlap", "their listed genes overlap")
        fig.axes[0].set_title(title, fontsize=8)
    return finish(fig, path)
