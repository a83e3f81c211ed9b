"""The gene-set table: the top gene sets as rows, each with its genes along
the ranking as a barcode, its NES and its padj."""

from __future__ import annotations

from .._options import DEFAULT
from ._base import DOUBLE_COLUMN, DOWN, UP, finish, inputs_of, label_of, p_text, pyplot, rows_height, top_sets, wrap

__all__ = ["gene_set_table_plot"]


def gene_set_table_plot(results, ranks, gene_sets, top: int = DEFAULT.top, padj_cut: float = DEFAULT.padj, path=None):
    """The top gene sets up and down as a table: one row per set with its
    name, its genes along the ranking as a barcode, its NES and its padj.
    ``top`` sets per direction, the significant ones (below ``padj_cut``),
    else the best by p-value; the other arguments are those of
    :func:`enrichment_plots`. Returns the matplotlib figure."""
    plt = pyplot()
    ranks, gene_sets, records = inputs_of(ranks, gene_sets, results)
    chosen, _ = top_sets(records, top, padj_cut)
    order = {g: i for i, (g, _) in enumerate(sorted(ranks.items(), key=lambda kv: -kv[1]))}
    labels = [wrap(label_of(r), 48) for r in chosen]
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, max(2.0, rows_height(labels, 1.0, line=0.2, gap=0.1))))
    for y, r in enumerate(chosen):
        hits = [order[g] for g in gene_sets.get(r["pathway"], []) if g in order]
        ax.vlines(hits, y - 0.38, y + 0.38, color=UP if r["nes"] > 0 else DOWN, linewidth=0.35)
    ax.set_yticks(range(len(chosen)), labels, fontsize=7)
    ax.set_ylim(len(chosen) - 0.5, -0.5)
    ax.set_xlim(0, len(order))
    ax.tick_params(axis="x", labelsize=7)
    ax.set_xlabel("rank in ordered gene list (a line per gene of the set)", fontsize=8)
    for y, r in enumerate(chosen):
        for x, text in ((1.03, f"{r['nes']:+.2f}"), (1.15, p_text(r["padj"]))):
            ax.text(x, y, text, transform=ax.get_yaxis_transform(), va="center", fontsize=7)
    for x, heading in ((1.03, "NES"), (1.15, "padj")):
        ax.text(x, -0.9, heading, transform=ax.get_yaxis_transform(), fontsize=8, fontweight="bold")
    significant = any(r["padj"] < padj_cut for r in chosen)
    ax.set_title("Top gene sets" if significant else f"No gene set with padj < {padj_cut:g}: top sets by p-value",
                 fontsize=9, pad=14)  # fmt: skip
    fig.tight_layout()
    return finish(fig, path)
