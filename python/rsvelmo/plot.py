"""Figures of an analysis: the running-sum plot of one pathway and a summary
of the top pathways. Needs matplotlib (pip install 'rsvelmopy[plot]')."""
from __future__ import annotations

import math
from typing import Any, Iterable, Mapping

from .api import require, sort_records

__all__ = ["running_sum", "enrichment_plot", "summary_plot"]


def _pyplot():
    # The backend is the caller's choice (a notebook's inline one, say); on a
    # machine without a display matplotlib falls back to Agg by itself.
    require("matplotlib", "plot", "plotting")
    import matplotlib.pyplot as plt
    return plt


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


def _known(value: Any) -> bool:
    return value is not None and value == value


def _p_text(value: Any) -> str:
    return "NA" if value is None or value != value else f"{value:.3g}"


def enrichment_plot(ranks: Mapping[str, float], genes: Iterable[str], result: Mapping[str, Any] | None = None,
                    gsea_param: float = 1.0, title: str | None = None, path=None):
    """Draws the enrichment plot of one pathway: the running sum with the
    enrichment score marked, a tick per gene of the set, and the ranking
    metric underneath. ``result`` (a row of ``rsvelmo.gsea``'s table or a
    record of the engine) supplies the title's NES and adjusted p-value.
    Saves to ``path`` when given; returns the figure."""
    plt = _pyplot()
    scores, hits, curve = running_sum(ranks, genes, gsea_param)
    fig, (top, ticks, metric) = plt.subplots(3, 1, figsize=(6.4, 4.8), sharex=True,
                                             gridspec_kw={"height_ratios": [3, 0.5, 1.5], "hspace": 0.05})
    xs = range(len(curve))
    top.plot(xs, curve, color="#2a7a2a", linewidth=1.5)
    top.axhline(0.0, color="grey", linewidth=0.6)
    peak = max(range(len(curve)), key=lambda i: abs(curve[i]))
    es = result["es"] if result is not None else curve[peak]
    top.axhline(curve[peak], color="#c03030", linestyle="--", linewidth=0.8)
    top.plot([peak], [curve[peak]], "o", color="#c03030", markersize=4)
    top.set_ylabel("running enrichment score")
    heading = title or (result["pathway"] if result is not None else "gene set")
    if result is not None:
        heading += f"\nES = {es:.3f}, NES = {_p_text(result.get('nes'))}, padj = {_p_text(result.get('padj'))}"
    top.set_title(heading, fontsize=9)
    ticks.vlines(hits, 0, 1, color="black", linewidth=0.5)
    ticks.set_yticks([])
    metric.fill_between(range(len(scores)), scores, 0.0, color="#7f7fbf", linewidth=0)
    metric.axhline(0.0, color="grey", linewidth=0.6)
    metric.set_ylabel("ranking metric")
    metric.set_xlabel("rank in ordered gene list")
    metric.set_xlim(0, max(len(scores), 1))
    if path is not None:
        fig.savefig(path, dpi=120, bbox_inches="tight")
        plt.close(fig)
    return fig


def summary_plot(results, top: int = 10, path=None, title: str = "Top enriched pathways",
                 labels: Mapping[str, str] | None = None):
    """Draws the NES of the ``top`` most significant up- and down-regulated
    pathways of a results table (a DataFrame or the engine's records), coloured by -log10 adjusted p-value (finite:
    p-values are never 0, they are floored at eps). Saves to ``path`` when
    given; returns the figure. ``labels`` maps pathway names to the text
    shown (e.g. the descriptions of a GMT file)."""
    plt = _pyplot()
    labels = labels or {}
    records = results.to_dict("records") if hasattr(results, "to_dict") else list(results)
    rows = sort_records([r for r in records if _known(r.get("nes")) and _known(r.get("padj"))])
    up = [r for r in rows if r["nes"] > 0][:top]
    down = [r for r in rows if r["nes"] < 0][:top]
    chosen = sorted(up + down, key=lambda r: r["nes"])
    fig, ax = plt.subplots(figsize=(7.5, 0.3 * max(len(chosen), 4) + 1.2))
    if not chosen:
        ax.text(0.5, 0.5, "no pathway with an NES", ha="center", va="center")
        ax.set_axis_off()
    else:
        strength = [-math.log10(max(r["padj"], 1e-300)) for r in chosen]
        cmap = plt.get_cmap("viridis")
        hi = max(max(strength), 1e-12)
        ax.barh(range(len(chosen)), [r["nes"] for r in chosen], color=[cmap(s / hi) for s in strength])
        ax.set_yticks(range(len(chosen)), [_short(labels.get(r["pathway"], r["pathway"])) for r in chosen], fontsize=7)
        ax.axvline(0.0, color="grey", linewidth=0.6)
        ax.set_xlabel("normalized enrichment score (NES)")
        scale = plt.cm.ScalarMappable(cmap=cmap, norm=plt.Normalize(0.0, hi))
        fig.colorbar(scale, ax=ax, label="-log10 padj")
    ax.set_title(title, fontsize=10)
    if path is not None:
        fig.savefig(path, dpi=120, bbox_inches="tight")
        plt.close(fig)
    return fig


def _short(name: str, width: int = 60) -> str:
    return name if len(name) <= width else name[: width - 1] + "\u2026"
