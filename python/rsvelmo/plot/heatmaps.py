"""The leading-edge heatmap: which of the top gene sets' leading-edge genes
they share, coloured by the genes' scores."""

from __future__ import annotations

import math
from typing import Mapping

from .._options import DEFAULT
from ._base import (
    SINGLE_COLUMN,
    colour_bar,
    finish,
    label_of,
    pyplot,
    ranking_of,
    records_of,
    rows_height,
    show_nothing,
    top_by_nes,
    wrap,
)

__all__ = ["leading_edge_heatmap"]


def leading_edge_heatmap(
    results,
    ranks: Mapping[str, float],
    top: int = DEFAULT.top,
    padj_cut: float = DEFAULT.padj,
    max_genes: int = 50,
    path=None,
):
    """Leading-edge overlap of the top gene sets: genes (columns, ordered by
    their ranking score, highest first) against gene sets (rows); a cell is
    coloured by the gene's score when the gene is in that set's leading
    edge. Every set shows its strongest leading-edge genes; the other
    columns go to the genes in the most leading edges (``max_genes`` in all,
    more when the sets need them); the title says how many of all are shown.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
    ranks : mapping
        Gene -> score.
    top : int
        Gene sets per direction.
    padj_cut : float
    max_genes : int
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    ranks = ranking_of(ranks)
    chosen, significant = top_by_nes(records_of(results), top, padj_cut)
    chosen = list(reversed(chosen))
    genes, total = _heatmap_genes(chosen, ranks, max_genes)
    labels = [wrap(label_of(r)) for r in chosen]
    # 6-point gene labels need 0.085 in each; 50 genes and the set names fill a double column.
    fig, ax = plt.subplots(
        figsize=(max(SINGLE_COLUMN, 2.8 + 0.085 * len(genes)), max(2.5, rows_height(labels, 1.5, gap=0.06)))
    )
    if not chosen or not genes:
        show_nothing(ax, "no leading edge to show")
    else:
        limit = max(abs(ranks.get(g, 0.0)) for g in genes) or 1.0
        grid = [[ranks.get(g, 0.0) if g in set(r["leading_edge"]) else math.nan for g in genes] for r in chosen]
        image = ax.imshow(grid, aspect="auto", cmap="RdBu_r", vmin=-limit, vmax=limit, interpolation="nearest")
        ax.set_xticks(range(len(genes)), genes, rotation=90, fontsize=6)
        ax.set_yticks(range(len(chosen)), labels, fontsize=7)
        ax.set_facecolor("#f4f4f4")
        colour_bar(fig, image, ax, "ranking score", fraction=0.04)
    shown = f"\n({len(genes)} of their {total} genes, ordered by score)" if genes else ""
    ax.set_title(
        ("Leading-edge genes of the top gene sets" if significant
         else f"No gene set with padj < {padj_cut:g}: leading edges of the top sets by p-value") + shown,
        fontsize=9,
    )  # fmt: skip
    fig.tight_layout()
    return finish(fig, path)


def _heatmap_genes(chosen, ranks: Mapping[str, float], max_genes: int) -> tuple[list[str], int]:
    """The columns of the heatmap: each set's strongest leading-edge genes
    first, so that every row shows its own, then the genes shared by most
    leading edges; ordered by score, highest first. Also the number of
    distinct leading-edge genes."""
    strength = {g: abs(ranks.get(g, 0.0)) for r in chosen for g in r["leading_edge"]}
    counts: dict[str, int] = {}
    for r in chosen:
        for g in r["leading_edge"]:
            counts[g] = counts.get(g, 0) + 1
    own = max(3, max_genes // max(len(chosen), 1))
    genes: dict[str, None] = {}
    for r in chosen:
        genes.update(dict.fromkeys(sorted(r["leading_edge"], key=lambda g: -strength[g])[:own]))
    for g in sorted(counts, key=lambda g: (-counts[g], -strength[g])):
        if len(genes) >= max_genes:
            break
        genes[g] = None
    return sorted(genes, key=lambda g: -ranks.get(g, 0.0)), len(counts)
