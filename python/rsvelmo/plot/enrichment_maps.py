"""The enrichment map: the significant gene sets as a network whose edges join
sets with overlapping leading edges, each cluster labelled by its best set."""

from __future__ import annotations

import math
from typing import Any

from .._clusters import cluster_records
from .._options import DEFAULT
from .._results import require, sort_records
from ._base import DOUBLE_COLUMN, colour_bar, finish, known, label_of, pyplot, records_of, wrap

__all__ = ["enrichment_map"]


def _node_area(size) -> float:
    return 12 + 6 * math.sqrt(size)


def _kept(significant: list[dict[str, Any]], max_sets: int, score: str) -> list[dict[str, Any]]:
    """At most `max_sets` of the significant sets, both directions given
    room (up to half each when both have enough), the best of each first."""
    up = [r for r in significant if r[score] > 0]
    down = [r for r in significant if r[score] < 0]
    keep_down = min(len(down), max(max_sets // 2, max_sets - len(up)))
    return sort_records(up[: max_sets - keep_down] + down[:keep_down])


def _draw_network(nx, ax, graph, position, cmap, norm, score: str) -> None:
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
        node_size=[_node_area(graph.nodes[n]["size"]) for n in nodes],
        node_color=[cmap(norm(graph.nodes[n]["record"][score])) for n in nodes],
        edgecolors="black",
        linewidths=0.4,
    )


def _label_clusters(fig, ax, graph, position, clusters: list[list[str]]) -> None:
    """Each cluster's label, as plain text (no outline effect, so that SVG and
    PDF keep it as text), at the first place around its best node that
    overlaps no node and no label placed before it and lies inside the
    axes (clusters in order of their best set); where every place is taken,
    the least crowded one."""
    from matplotlib.transforms import Bbox

    renderer = fig.canvas.get_renderer()
    points = fig.dpi / 72.0
    placed = []
    for n in graph.nodes:
        x, y = ax.transData.transform(position[n])
        r = math.sqrt(_node_area(graph.nodes[n]["size"])) / 2 * points
        placed.append(Bbox([[x - r, y - r], [x + r, y + r]]))
    offsets = [(dx * d, dy * d, ha, va) for d in (1, 2, 3.5)
               for dx, dy, ha, va in ((0, 9, "center", "bottom"), (0, -9, "center", "top"), (9, 0, "left", "center"),
                                      (-9, 0, "right", "center"), (7, 7, "left", "bottom"), (-7, -7, "right", "top"),
                                      (-7, 7, "right", "bottom"), (7, -7, "left", "top"))]  # fmt: skip
    for members in clusters:
        best = members[0]
        text = wrap(label_of(graph.nodes[best]["record"]), 28)
        if len(members) > 1:
            text += f" (+{len(members) - 1})"
        fewest = None
        for dx, dy, ha, va in offsets:
            label = ax.annotate(text, position[best], xytext=(dx, dy), textcoords="offset points", ha=ha, va=va,
                                fontsize=6, bbox={"boxstyle": "square,pad=0.1", "fc": "white", "ec": "none",
                                                  "alpha": 0.8})  # fmt: skip
            box = label.get_window_extent(renderer).padded(1.5 * points)
            inside = ax.bbox.contains(*box.min) and ax.bbox.contains(*box.max)  # not over the colour bar
            clashes = sum(box.overlaps(other) for other in placed) + (0 if inside else 1)
            if fewest is None or clashes < fewest[0]:
                fewest = (clashes, (dx, dy, ha, va), box)
            label.remove()
            if clashes == 0:
                break
        _, (dx, dy, ha, va), box = fewest
        ax.annotate(text, position[best], xytext=(dx, dy), textcoords="offset points", ha=ha, va=va, fontsize=6,
                    bbox={"boxstyle": "square,pad=0.1", "fc": "white", "ec": "none", "alpha": 0.8})  # fmt: skip
        placed.append(box)


def _size_legend(ax, graph) -> None:
    sizes = sorted(graph.nodes[n]["size"] for n in graph.nodes)
    for value in dict.fromkeys([sizes[0], sizes[len(sizes) // 2], sizes[-1]]):
        ax.scatter([], [], s=_node_area(value), c="white", edgecolors="black", linewidths=0.4,
                   label=f"{value} genes")  # fmt: skip
    # Under the map, off the nodes.
    ax.legend(title="set size", fontsize=6, title_fontsize=7, loc="upper center", bbox_to_anchor=(0.5, 0.0),
              ncol=3, frameon=False)  # fmt: skip


def enrichment_map(
    results,
    padj_cut: float = DEFAULT.padj,
    min_overlap: float = DEFAULT.min_overlap,
    max_sets: int = 60,
    seed: int = 1,
    path=None,
    score: str = "nes",
):
    """Enrichment map: the significant gene sets (at most ``max_sets``, by
    p-value) as nodes, area by set size and colour by `score`; an edge joins two
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
    score : str
        The column that colours the nodes, its sign telling the directions
        apart: ``nes``, or an over-representation's ``log2_fold_enrichment``.

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    nx = require("networkx", "report", "the enrichment map")
    significant = [
        r
        for r in sort_records(records_of(results))
        if known(r.get("padj")) and r["padj"] < padj_cut and known(r.get(score))
    ]
    records = _kept(significant, max_sets, score)
    # A few sets get a canvas of their size, not a near-empty full page.
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, 5.8) if len(records) > 8 else (5.0, 3.4))
    ax.set_axis_off()
    if not records:
        ax.text(0.5, 0.5, f"no gene set with padj < {padj_cut:g}", ha="center", va="center", transform=ax.transAxes)
        ax.set_title("Enrichment map", fontsize=9)
        return finish(fig, path)
    graph, clusters = cluster_records(records, min_overlap)
    position = nx.spring_layout(graph, seed=seed, k=3.0 / math.sqrt(max(len(records), 1)), iterations=200)
    limit = max(abs(r[score]) for r in records)
    norm = plt.Normalize(-limit, limit)
    cmap = plt.get_cmap("RdBu_r")
    _draw_network(nx, ax, graph, position, cmap, norm, score)
    # The colour bar first: it narrows the axes, and the labels are placed in their final coordinates.
    colour_bar(
        fig,
        plt.cm.ScalarMappable(cmap=cmap, norm=norm),
        ax,
        "NES" if score == "nes" else score.replace("_", " "),
        pad=0.01,
        fraction=0.04,
    )
    ax.margins(0.15)
    ax.set_xlim(ax.get_xlim())  # the limits fixed now (autoscaling is lazy), so that the labels are
    ax.set_ylim(ax.get_ylim())  # placed where the nodes will be drawn
    _label_clusters(fig, ax, graph, position, clusters)
    _size_legend(ax, graph)
    shown = f"{len(records)} of the {len(significant)}" if len(records) < len(significant) else f"the {len(records)}"
    ax.set_title(
        wrap(f"Enrichment map: {shown} gene sets with padj < {padj_cut:g} (the best by p-value), edges where "
             f"leading edges overlap >= {min_overlap:g}", 110 if len(records) > 8 else 75),
        fontsize=8,
    )  # fmt: skip
    return finish(fig, path)
