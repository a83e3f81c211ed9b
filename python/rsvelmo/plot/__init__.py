"""Figures of an analysis, each returning a matplotlib figure: the running-sum
plot of one or several gene sets, dot plots of the top gene sets (of one
ranking or across rankings), the leading-edge heatmap and the enrichment map.
Needs matplotlib (pip install 'rsvelmopy[plot]'); the enrichment map also
networkx.

Colour scale of the dot plots: -log10 padj from 0 to 10 (p = 1 to 1e-10;
smaller p-values take the top colour), the same in every figure so that
figures can be compared; the significance cut (padj 0.05 by default) is
marked on the colour bar, and gene sets above it are drawn grey.
"""

from __future__ import annotations

import math
from typing import Any, Mapping

from .._results import require, sort_records
from ._base import (
    COLOUR_MAX,
    DOUBLE_COLUMN,
    LABEL_WIDTH,
    NEUTRAL,
    SINGLE_COLUMN,
    finish,
    known,
    label_of,
    pyplot,
    ranking_of,
    records_of,
    save,
    top_sets,
    wrap,
)
from .running_sums import enrichment_plot, enrichment_plots, gene_set_table_plot, running_sum, running_sums_plot

__all__ = [
    "running_sum",
    "enrichment_plot",
    "enrichment_plots",
    "running_sums_plot",
    "gene_set_table_plot",
    "dot_plot",
    "dot_plot_many",
    "leading_edge_heatmap",
    "enrichment_map",
    "summary_plot",
    "save",
    "label_of",
    "COLOUR_MAX",
    "LABEL_WIDTH",
]


def _colour_scale(plt, padj_cut: float):
    cmap = plt.get_cmap("viridis_r")
    norm = plt.Normalize(0.0, COLOUR_MAX)
    return cmap, norm, -math.log10(padj_cut)


def _strength(padj) -> float:
    return min(-math.log10(max(padj, 1e-300)), COLOUR_MAX)


def _top(records, top: int, padj_cut: float) -> tuple[list[dict[str, Any]], bool]:
    chosen, significant = top_sets(records, top, padj_cut)
    return sorted(chosen, key=lambda r: r["nes"]), significant


def _colour_bar(fig, plt, ax, padj_cut):
    cmap, norm, cut = _colour_scale(plt, padj_cut)
    bar = fig.colorbar(plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax=ax, pad=0.02, fraction=0.05)
    bar.set_label("-log10 padj", fontsize=8)
    bar.ax.tick_params(labelsize=7)
    bar.ax.axhline(cut, color="red", linewidth=1.2)
    bar.ax.text(
        1.6, cut, f" padj {padj_cut:g}", color="red", fontsize=6, va="center", transform=bar.ax.get_yaxis_transform()
    )
    return cmap, norm


def dot_plot(
    results, top: int = 10, padj_cut: float = 0.05, size_by: str = "size", title: str | None = None, path=None
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
    chosen, significant = _top(records_of(results), top, padj_cut)
    labels = [wrap(label_of(r)) for r in chosen]
    height = 1.0 + sum(0.18 * (1 + label.count("\n")) + 0.08 for label in labels)
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, max(2.5, height)))
    if not chosen:
        ax.text(0.5, 0.5, "no gene set has an NES", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        # Dot areas grow with the value; the legend maps them back to the
        # value, so that it reads in genes (or as a fraction), not in points.
        if size_by == "leading_edge":
            values = [len(r["leading_edge"]) / max(r["size"], 1) for r in chosen]
            to_area, from_area = (lambda v: 30 + 220 * v), (lambda a: (a - 30) / 220)
            legend_title, legend_format = "leading-edge fraction", "{x:.2f}"
        else:
            values = [float(r["size"]) for r in chosen]
            to_area, from_area = (lambda v: 15 + 9.6 * math.sqrt(v)), (lambda a: ((a - 15) / 9.6) ** 2)
            legend_title, legend_format = "genes in set", "{x:.0f}"
        area = [to_area(v) for v in values]
        cmap, norm, _ = _colour_scale(plt, padj_cut)
        colours = [
            cmap(norm(_strength(r["padj"]))) if significant and r["padj"] < padj_cut else NEUTRAL for r in chosen
        ]
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
            _colour_bar(fig, plt, ax, padj_cut)
        handles, names = points.legend_elements(prop="sizes", num=3, alpha=0.6, func=from_area, fmt=legend_format)
        ax.legend(handles, names, title=legend_title, fontsize=6, title_fontsize=7, loc="lower right", frameon=False)
    heading = title or (
        "Top enriched gene sets" if significant else f"No gene set with padj < {padj_cut:g}: top gene sets by p-value"
    )
    ax.set_title(heading, fontsize=9)
    fig.tight_layout()
    return finish(fig, path)


summary_plot = dot_plot  # the summary figure of the command line


def dot_plot_many(table, top: int = 5, padj_cut: float = 0.05, title: str | None = None, path=None):
    """Dot plot across rankings: the union of each ranking's top gene sets
    (rows) against the rankings (columns); colour NES (red up, blue down),
    dot area -log10 padj, non-significant cells hollow.

    Parameters
    ----------
    table : pandas.DataFrame or list of dict
        A ``gsea_many`` result (with a ``ranking`` column).
    top : int
        Gene sets per direction taken from each ranking.
    padj_cut : float
    title : str, optional
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    records = records_of(table)
    rankings = list(dict.fromkeys(r["ranking"] for r in records))
    terms: list[str] = []
    by_key = {(r["ranking"], r["pathway"]): r for r in records}
    labels: dict[str, str] = {}
    for name in rankings:
        chosen, _ = _top([r for r in records if r["ranking"] == name], top, padj_cut)
        for r in chosen:
            if r["pathway"] not in terms:
                terms.append(r["pathway"])
                labels[r["pathway"]] = wrap(label_of(r))
    height = 1.2 + sum(0.18 * (1 + labels[t].count("\n")) + 0.08 for t in terms)
    fig, ax = plt.subplots(figsize=(2.5 + 0.9 * len(rankings), max(2.5, height)))
    if not terms:
        ax.text(0.5, 0.5, "no gene set has an NES", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        limit = max((abs(r["nes"]) for r in records if known(r.get("nes"))), default=1.0)
        norm = plt.Normalize(-limit, limit)
        cmap = plt.get_cmap("RdBu_r")
        for x, name in enumerate(rankings):
            for y, term in enumerate(terms):
                r = by_key.get((name, term))
                if r is None or not known(r.get("nes")) or not known(r.get("padj")):
                    continue
                filled = r["padj"] < padj_cut
                ax.scatter(
                    [x],
                    [y],
                    s=20 + 18 * _strength(r["padj"]),
                    c=[cmap(norm(r["nes"]))] if filled else "none",
                    edgecolors=cmap(norm(r["nes"])) if not filled else "black",
                    linewidths=0.6,
                    zorder=3,
                )
        ax.set_xticks(range(len(rankings)), rankings, rotation=45, ha="right", fontsize=7)
        ax.set_yticks(range(len(terms)), [labels[t] for t in terms], fontsize=7)
        ax.set_xlim(-0.6, len(rankings) - 0.4)
        ax.set_ylim(-0.6, len(terms) - 0.4)
        ax.grid(linewidth=0.3, alpha=0.4)
        bar = fig.colorbar(plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax=ax, pad=0.02, fraction=0.05)
        bar.set_label("NES", fontsize=8)
        bar.ax.tick_params(labelsize=7)
        for padj in (1e-2, 1e-5, 1e-10):  # the dot sizes, in padj
            ax.scatter([], [], s=20 + 18 * _strength(padj), c="white", edgecolors="black", linewidths=0.6,
                       label=f"{padj:g}")  # fmt: skip
        ax.legend(title="padj", fontsize=6, title_fontsize=7, frameon=False, loc="upper left",
                  bbox_to_anchor=(1.25, 1.0))  # fmt: skip
    ax.set_title(title or f"Top gene sets across rankings (filled: padj < {padj_cut:g})", fontsize=9)
    fig.tight_layout()
    return finish(fig, path)


def leading_edge_heatmap(
    results, ranks: Mapping[str, float], top: int = 10, padj_cut: float = 0.05, max_genes: int = 50, path=None
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
    chosen, significant = _top(records_of(results), top, padj_cut)
    chosen = list(reversed(chosen))
    genes, total = _heatmap_genes(chosen, ranks, max_genes)
    labels = [wrap(label_of(r)) for r in chosen]
    height = 1.5 + sum(0.18 * (1 + label.count("\n")) + 0.06 for label in labels)
    # 6-point gene labels need 0.085 in each; 50 genes and the set names fill a double column.
    fig, ax = plt.subplots(figsize=(max(SINGLE_COLUMN, 2.8 + 0.085 * len(genes)), max(2.5, height)))
    if not chosen or not genes:
        ax.text(0.5, 0.5, "no leading edge to show", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        limit = max(abs(ranks.get(g, 0.0)) for g in genes) or 1.0
        grid = [[ranks.get(g, 0.0) if g in set(r["leading_edge"]) else math.nan for g in genes] for r in chosen]
        image = ax.imshow(grid, aspect="auto", cmap="RdBu_r", vmin=-limit, vmax=limit, interpolation="nearest")
        ax.set_xticks(range(len(genes)), genes, rotation=90, fontsize=6)
        ax.set_yticks(range(len(chosen)), labels, fontsize=7)
        ax.set_facecolor("#f4f4f4")
        bar = fig.colorbar(image, ax=ax, pad=0.02, fraction=0.04)
        bar.set_label("ranking score", fontsize=8)
        bar.ax.tick_params(labelsize=7)
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


def enrichment_map(
    results, padj_cut: float = 0.05, min_overlap: float = 0.5, max_sets: int = 60, seed: int = 1, path=None
):
    """Enrichment map: the significant gene sets (at most ``max_sets``, by
    p-value) as nodes, area by set size and colour by NES; an edge joins two
    sets whose leading edges overlap by at least ``min_overlap`` (overlap
    coefficient |A and B| / min(|A|, |B|)). Laid out with networkx's spring
    layout (fixed seed); each cluster (connected group) is labelled by its
    best set.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
    padj_cut : float
    min_overlap : float
    max_sets : int
        Both directions get room: up to half each when both have enough.
    seed : int
        Seed of the layout.
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    nx = require("networkx", "report", "the enrichment map")
    from matplotlib.patheffects import withStroke

    from .._clusters import cluster_records

    significant = [
        r
        for r in sort_records(records_of(results))
        if known(r.get("padj")) and r["padj"] < padj_cut and known(r.get("nes"))
    ]
    # Both directions get room, the best sets of each first.
    up = [r for r in significant if r["nes"] > 0]
    down = [r for r in significant if r["nes"] < 0]
    keep_down = min(len(down), max(max_sets // 2, max_sets - len(up)))
    records = sort_records(up[: max_sets - keep_down] + down[:keep_down])
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, 5.8))
    ax.set_axis_off()
    if not records:
        ax.text(0.5, 0.5, f"no gene set with padj < {padj_cut:g}", ha="center", va="center", transform=ax.transAxes)
        ax.set_title("Enrichment map", fontsize=9)
        return finish(fig, path)
    graph, clusters = cluster_records(records, min_overlap)
    position = nx.spring_layout(graph, seed=seed, k=3.0 / math.sqrt(max(len(records), 1)), iterations=200)
    limit = max(abs(r["nes"]) for r in records)
    norm = plt.Normalize(-limit, limit)
    cmap = plt.get_cmap("RdBu_r")
    nx.draw_networkx_edges(
        graph,
        position,
        ax=ax,
        width=[0.5 + 2 * graph.edges[e]["overlap"] for e in graph.edges],
        edge_color="#9e9e9e",
        alpha=0.7,
    )
    nodes = list(graph.nodes)
    nx.draw_networkx_nodes(
        graph,
        position,
        ax=ax,
        nodelist=nodes,
        node_size=[12 + 6 * math.sqrt(graph.nodes[n]["size"]) for n in nodes],
        node_color=[cmap(norm(graph.nodes[n]["nes"])) for n in nodes],
        edgecolors="black",
        linewidths=0.4,
    )
    # Each cluster's label takes the first place around its best node that
    # overlaps no label placed before it (clusters in order of their best set).
    ax.margins(0.12)
    renderer = fig.canvas.get_renderer()
    placed: list = []
    offsets = [(0, 10, "bottom"), (0, -10, "top"), (0, 30, "bottom"), (0, -30, "top"), (0, 50, "bottom")]
    for members in clusters:
        best = members[0]
        text = wrap(label_of(graph.nodes[best]["record"]), 28)
        if len(members) > 1:
            text += f"\n(+{len(members) - 1})"
        for dx, dy, va in offsets:
            label = ax.annotate(
                text,
                position[best],
                xytext=(dx, dy),
                textcoords="offset points",
                ha="center",
                va=va,
                fontsize=6,
                path_effects=[withStroke(linewidth=2.0, foreground="white")],  # legible, and the nodes stay visible
            )
            box = label.get_window_extent(renderer)
            if not any(box.overlaps(other) for other in placed) or (dx, dy, va) == offsets[-1]:
                placed.append(box)
                break
            label.remove()
    bar = fig.colorbar(plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax=ax, pad=0.01, fraction=0.04)
    bar.set_label("NES", fontsize=8)
    bar.ax.tick_params(labelsize=7)
    sizes = sorted(graph.nodes[n]["size"] for n in nodes)
    for value in dict.fromkeys([sizes[0], sizes[len(sizes) // 2], sizes[-1]]):
        ax.scatter([], [], s=12 + 6 * math.sqrt(value), c="white", edgecolors="black", linewidths=0.4,
                   label=f"{value} genes")  # fmt: skip
    ax.legend(title="set size", fontsize=6, title_fontsize=7, loc="lower left", frameon=False)
    shown = f"{len(records)} of the {len(significant)}" if len(records) < len(significant) else f"the {len(records)}"
    ax.set_title(
        f"Enrichment map: {shown} gene sets with padj < {padj_cut:g} (the best by p-value), edges where "
        f"leading edges overlap >= {min_overlap:g}",
        fontsize=8,
    )
    return finish(fig, path)
