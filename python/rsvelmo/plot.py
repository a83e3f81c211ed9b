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
import re
import textwrap
from typing import Any, Iterable, Mapping, Sequence

from ._frames import require, sort_records

__all__ = [
    "running_sum",
    "enrichment_plot",
    "enrichment_plots",
    "dot_plot",
    "dot_plot_many",
    "leading_edge_heatmap",
    "enrichment_map",
    "summary_plot",
    "save",
    "label_of",
    "COLOUR_MAX",
]

COLOUR_MAX = 10.0  # -log10 padj at the top of every colour scale
LABEL_WIDTH = 42  # characters per label line before it wraps
UP, DOWN, NEUTRAL = "#b2182b", "#2166ac", "#bdbdbd"


def pyplot():
    """matplotlib.pyplot, or an ImportError naming the extra that brings it."""
    # The backend is the caller's choice (a notebook's inline one, say); on a
    # machine without a display matplotlib falls back to Agg by itself.
    require("matplotlib", "plot", "plotting")
    import matplotlib.pyplot as plt

    return plt


def records_of(results) -> list[dict[str, Any]]:
    """The rows of a results DataFrame, or of any sequence of records, as dicts."""
    return results.to_dict("records") if hasattr(results, "to_dict") else [dict(r) for r in results]


def _known(value: Any) -> bool:
    return value is not None and value == value


def _p_text(value: Any) -> str:
    return "NA" if not _known(value) else f"{value:.3g}"


def label_of(record: Mapping[str, Any]) -> str:
    """The name a figure shows for a gene set: its description when that is
    a name, never a URL (MSigDB puts links there), else the set's name."""
    text = record.get("description") or ""
    if not isinstance(text, str) or not text or re.match(r"^[a-z][a-z0-9+.-]*://", text, re.I):
        return str(record["pathway"])
    return text


def _wrap(text: str, width: int = LABEL_WIDTH) -> str:
    return "\n".join(textwrap.wrap(text, width, break_long_words=True, break_on_hyphens=False)) or text


def save(figure, path, format: str | None = None) -> None:
    """Save a figure and close it.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
    path : str, os.PathLike or file object
    format : {'png', 'svg', 'pdf'}, optional
        By default the path's suffix. PNG is written at 300 dpi.
    """
    plt = pyplot()
    format = format or str(path).rsplit(".", 1)[-1].lower()
    if format not in ("png", "svg", "pdf"):
        raise ValueError(f"format must be 'png', 'svg' or 'pdf', not {format!r}")
    figure.savefig(
        path,
        format=format,
        dpi=300 if format == "png" else None,
        bbox_inches="tight",
        metadata={"Date": None} if format in ("svg", "pdf") else None,
    )
    plt.close(figure)


def running_sum(ranks: Mapping[str, float], genes: Iterable[str], gsea_param: float = 1.0):
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
    top.set_ylabel("running ES")
    heading = _wrap(title, 60)
    if result is not None:
        heading += (
            f"\nNES = {_p_text(result.get('nes'))}, padj = {_p_text(result.get('padj'))}, "
            f"log2err = {_p_text(result.get('log2err'))}"
        )
    top.set_title(heading, fontsize=8)
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
    gsea_param: float = 1.0,
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
    fig, axes = plt.subplots(
        3, 1, figsize=(6.0, 4.2), sharex=True, gridspec_kw={"height_ratios": [3, 0.5, 1.5], "hspace": 0.06}
    )
    name = title or (label_of(result) if result is not None else "gene set")
    _draw_running_sum(axes, ranks, genes, result, gsea_param, name)
    axes[2].set_xlabel("rank in ordered gene list")
    if path is not None:
        save(fig, path)
    return fig


def enrichment_plots(
    ranks: Mapping[str, float],
    gene_sets: Mapping[str, Sequence[str]],
    results: Sequence[Mapping[str, Any]],
    gsea_param: float = 1.0,
    columns: int = 2,
):
    """Running-sum plots of several gene sets in one figure (one panel each)."""
    plt = pyplot()
    results = list(results)
    rows = max(1, math.ceil(len(results) / columns))
    fig = plt.figure(figsize=(5.0 * columns, 3.6 * rows))
    grid = fig.add_gridspec(rows, columns, hspace=0.6, wspace=0.35)
    for i, result in enumerate(results):
        cell = grid[i // columns, i % columns].subgridspec(3, 1, height_ratios=[3, 0.5, 1.5], hspace=0.06)
        axes = [fig.add_subplot(cell[0])]
        axes += [fig.add_subplot(cell[j], sharex=axes[0]) for j in (1, 2)]
        _draw_running_sum(axes, ranks, gene_sets.get(result["pathway"], []), result, gsea_param, label_of(result))
    return fig


def _colour_scale(plt, padj_cut: float):
    cmap = plt.get_cmap("viridis_r")
    norm = plt.Normalize(0.0, COLOUR_MAX)
    return cmap, norm, -math.log10(padj_cut)


def _strength(padj) -> float:
    return min(-math.log10(max(padj, 1e-300)), COLOUR_MAX)


def _top(records, top: int, padj_cut: float) -> tuple[list[dict[str, Any]], bool]:
    rows = sort_records([r for r in records if _known(r.get("nes")) and _known(r.get("padj"))])
    significant = [r for r in rows if r["padj"] < padj_cut]
    pool = significant or rows
    chosen = [r for r in pool if r["nes"] > 0][:top] + [r for r in pool if r["nes"] < 0][:top]
    return sorted(chosen, key=lambda r: r["nes"]), bool(significant)


def _colour_bar(fig, plt, ax, padj_cut):
    cmap, norm, cut = _colour_scale(plt, padj_cut)
    bar = fig.colorbar(plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax=ax, pad=0.02, fraction=0.05)
    bar.set_label("-log10 padj", fontsize=8)
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
    labels = [_wrap(label_of(r)) for r in chosen]
    height = 1.0 + sum(0.18 * (1 + label.count("\n")) + 0.08 for label in labels)
    fig, ax = plt.subplots(figsize=(7.0, max(2.5, height)))
    if not chosen:
        ax.text(0.5, 0.5, "no gene set has an NES", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        if size_by == "leading_edge":
            sizes = [
                r["leading_edge_size"] / max(r["size"], 1)
                if "leading_edge_size" in r
                else len(r["leading_edge"]) / max(r["size"], 1)
                for r in chosen
            ]
            area = [30 + 220 * s for s in sizes]
            legend_title = "leading-edge fraction"
        else:
            area = [15 + 1.2 * math.sqrt(r["size"]) * 8 for r in chosen]
            legend_title = "set size"
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
        ax.set_xlabel("normalized enrichment score (NES)")
        if significant:
            _colour_bar(fig, plt, ax, padj_cut)
        handles, names = points.legend_elements(prop="sizes", num=3, alpha=0.6)
        ax.legend(handles, names, title=legend_title, fontsize=6, title_fontsize=6, loc="lower right", frameon=False)
    heading = title or (
        "Top enriched gene sets" if significant else f"No gene set with padj < {padj_cut:g}: top gene sets by p-value"
    )
    ax.set_title(heading, fontsize=9)
    fig.tight_layout()
    if path is not None:
        save(fig, path)
    return fig


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
                labels[r["pathway"]] = _wrap(label_of(r))
    height = 1.2 + sum(0.18 * (1 + labels[t].count("\n")) + 0.08 for t in terms)
    fig, ax = plt.subplots(figsize=(2.5 + 0.9 * len(rankings), max(2.5, height)))
    if not terms:
        ax.text(0.5, 0.5, "no gene set has an NES", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        limit = max((abs(r["nes"]) for r in records if _known(r.get("nes"))), default=1.0)
        norm = plt.Normalize(-limit, limit)
        cmap = plt.get_cmap("RdBu_r")
        for x, name in enumerate(rankings):
            for y, term in enumerate(terms):
                r = by_key.get((name, term))
                if r is None or not _known(r.get("nes")) or not _known(r.get("padj")):
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
    ax.set_title(title or f"Top gene sets across rankings (filled: padj < {padj_cut:g})", fontsize=9)
    fig.tight_layout()
    if path is not None:
        save(fig, path)
    return fig


def leading_edge_heatmap(
    results, ranks: Mapping[str, float], top: int = 10, padj_cut: float = 0.05, max_genes: int = 60, path=None
):
    """Leading-edge overlap of the top gene sets: genes (columns, ordered by
    their ranking score, highest first) against gene sets (rows); a cell is
    coloured by the gene's score when the gene is in that set's leading
    edge. The genes shown are those in the most leading edges of each
    direction (at most ``max_genes`` in all).

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
    chosen, significant = _top(records_of(results), top, padj_cut)
    chosen = list(reversed(chosen))
    # The most shared genes of each direction, half the columns each, so that
    # the weaker side is not crowded out.
    genes: list[str] = []
    for up in (True, False):
        counts: dict[str, int] = {}
        for r in chosen:
            if (r["nes"] > 0) == up:
                for g in r["leading_edge"]:
                    counts[g] = counts.get(g, 0) + 1
        genes += sorted(counts, key=lambda g: (-counts[g], -abs(ranks.get(g, 0.0))))[: max_genes // 2]
    genes.sort(key=lambda g: -ranks.get(g, 0.0))
    labels = [_wrap(label_of(r)) for r in chosen]
    height = 1.5 + sum(0.18 * (1 + label.count("\n")) + 0.06 for label in labels)
    fig, ax = plt.subplots(figsize=(max(5.0, 2.8 + 0.13 * len(genes)), max(2.5, height)))
    if not chosen or not genes:
        ax.text(0.5, 0.5, "no leading edge to show", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        limit = max(abs(ranks.get(g, 0.0)) for g in genes) or 1.0
        grid = [[ranks.get(g, 0.0) if g in set(r["leading_edge"]) else math.nan for g in genes] for r in chosen]
        image = ax.imshow(grid, aspect="auto", cmap="RdBu_r", vmin=-limit, vmax=limit, interpolation="nearest")
        ax.set_xticks(range(len(genes)), genes, rotation=90, fontsize=5)
        ax.set_yticks(range(len(chosen)), labels, fontsize=7)
        ax.set_facecolor("#f4f4f4")
        bar = fig.colorbar(image, ax=ax, pad=0.02, fraction=0.04)
        bar.set_label("ranking score", fontsize=8)
    ax.set_title(
        "Leading-edge genes of the top gene sets"
        if significant
        else f"No gene set with padj < {padj_cut:g}: leading edges of the top sets by p-value",
        fontsize=9,
    )
    fig.tight_layout()
    if path is not None:
        save(fig, path)
    return fig


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
    from .cluster import cluster_records

    significant = [
        r
        for r in sort_records(records_of(results))
        if _known(r.get("padj")) and r["padj"] < padj_cut and _known(r.get("nes"))
    ]
    # Both directions get room, the best sets of each first.
    up = [r for r in significant if r["nes"] > 0]
    down = [r for r in significant if r["nes"] < 0]
    keep_down = min(len(down), max(max_sets // 2, max_sets - len(up)))
    records = sort_records(up[: max_sets - keep_down] + down[:keep_down])
    fig, ax = plt.subplots(figsize=(8.0, 6.5))
    ax.set_axis_off()
    if not records:
        ax.text(0.5, 0.5, f"no gene set with padj < {padj_cut:g}", ha="center", va="center", transform=ax.transAxes)
        ax.set_title("Enrichment map", fontsize=9)
        if path is not None:
            save(fig, path)
        return fig
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
        text = _wrap(label_of(graph.nodes[best]["record"]), 28)
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
                bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "#cccccc", "lw": 0.4, "alpha": 0.85},
            )
            box = label.get_window_extent(renderer)
            if not any(box.overlaps(other) for other in placed) or (dx, dy, va) == offsets[-1]:
                placed.append(box)
                break
            label.remove()
    bar = fig.colorbar(plt.cm.ScalarMappable(cmap=cmap, norm=norm), ax=ax, pad=0.01, fraction=0.04)
    bar.set_label("NES", fontsize=8)
    ax.set_title(
        f"Enrichment map: {len(records)} gene sets with padj < {padj_cut:g}, edges where leading edges "
        f"overlap >= {min_overlap:g}",
        fontsize=8,
    )
    if path is not None:
        save(fig, path)
    return fig
