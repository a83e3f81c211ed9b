"""What every figure shares: matplotlib on demand, one typographic scale and
palette, labels, and saving in print-ready form."""

from __future__ import annotations

import math
import re
import textwrap
from typing import Any, Mapping, Sequence

from .._results import require, sort_records
from ..readers.gene_sets import GeneSets
from ..readers.rankings import as_ranking

__all__ = [
    "COLOUR_MAX", "LABEL_WIDTH", "SINGLE_COLUMN", "DOUBLE_COLUMN", "UP", "DOWN", "NEUTRAL", "PRINT", "pyplot",
    "records_of", "known", "p_text", "label_of", "wrap", "save", "finish", "ranking_of", "gene_sets_of", "inputs_of",
    "top_sets", "top_by_nes", "padj_strength", "rows_height", "colour_bar", "show_nothing",
]  # fmt: skip

COLOUR_MAX = 10.0  # -log10 padj at the top of every colour scale
LABEL_WIDTH = 42  # characters per label line before it wraps
UP, DOWN, NEUTRAL = "#b2182b", "#2166ac", "#bdbdbd"  # red and blue that colour-blind readers tell apart
# Fonts stay editable text: TrueType (not Type 3) in PDFs, <text> in SVGs.
# Journal column widths, in inches: 89 mm and 183 mm.
SINGLE_COLUMN, DOUBLE_COLUMN = 3.5, 7.2
PRINT = {"pdf.fonttype": 42, "ps.fonttype": 42, "svg.fonttype": "none"}


def pyplot():
    """matplotlib.pyplot, or an ImportError naming the extra that brings it.

    Labels are gene and gene-set names, text that may hold ``$`` (``$x^2$``,
    ``$$``): matplotlib's maths parsing (``text.parse_math``) is turned off
    here, before any label is made, so that such a name is drawn as written
    rather than failing the figure.
    """
    # The backend is the caller's choice (a notebook's inline one, say); on a
    # machine without a display matplotlib falls back to Agg by itself.
    require("matplotlib", "plot", "plotting")
    import matplotlib
    import matplotlib.pyplot as plt

    matplotlib.rcParams["text.parse_math"] = False

    return plt


def records_of(results) -> list[dict[str, Any]]:
    """The rows of a results DataFrame, or of any sequence of records, as dicts."""
    return results.to_dict("records") if hasattr(results, "to_dict") else [dict(r) for r in results]


def known(value: Any) -> bool:
    return value is not None and value == value


def p_text(value: Any) -> str:
    return "NA" if not known(value) else f"{value:.3g}"


def label_of(record: Mapping[str, Any]) -> str:
    """The name a figure shows for a gene set: its description when that is
    a name, never a URL (MSigDB puts links there), else the set's name."""
    text = record.get("description") or ""
    if not isinstance(text, str) or not text or re.match(r"^[a-z][a-z0-9+.-]*://", text, re.I):
        return str(record["pathway"])
    return text


def wrap(text: str, width: int = LABEL_WIDTH) -> str:
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
    import matplotlib

    with matplotlib.rc_context(PRINT):
        figure.savefig(
            path,
            format=format,
            dpi=300 if format == "png" else None,
            bbox_inches="tight",
            metadata={"Date": None} if format in ("svg", "pdf") else None,
        )
    plt.close(figure)


def finish(fig, path):
    """Save the figure when asked; in a notebook's inline backend, close it
    so that the returned figure is shown once, by its own display."""
    if path is not None:
        save(fig, path)
        return fig
    import matplotlib

    if "inline" in matplotlib.get_backend():
        pyplot().close(fig)
    return fig


def ranking_of(ranks) -> dict[str, float]:
    return ranks if isinstance(ranks, dict) else as_ranking(ranks)


def gene_sets_of(gene_sets) -> Mapping[str, Sequence[str]]:
    return GeneSets.load(gene_sets).sets


def inputs_of(ranks, gene_sets, results) -> tuple[dict[str, float], Mapping[str, Sequence[str]], list[dict]]:
    """A figure's ranking (gene -> score), gene sets (name -> genes) and rows
    (as dicts), from any form the API takes."""
    ranks, gene_sets = ranking_of(ranks), gene_sets_of(gene_sets)
    return ranks, gene_sets, records_of(results)


def top_sets(records, top: int, padj_cut: float) -> tuple[list[dict[str, Any]], bool]:
    """The best `top` sets of each direction by p-value, up first: the
    significant ones, or all when none is; and whether any is significant."""
    rows = sort_records([r for r in records if known(r.get("nes")) and known(r.get("padj"))])
    significant = [r for r in rows if r["padj"] < padj_cut]
    pool = significant or rows
    return [r for r in pool if r["nes"] > 0][:top] + [r for r in pool if r["nes"] < 0][:top], bool(significant)


def top_by_nes(records, top: int, padj_cut: float) -> tuple[list[dict[str, Any]], bool]:
    """:func:`top_sets` ordered by NES, lowest first: the rows of a figure from the bottom up."""
    chosen, significant = top_sets(records, top, padj_cut)
    return sorted(chosen, key=lambda r: r["nes"]), significant


def padj_strength(padj) -> float:
    """-log10 padj on the figures' fixed scale, 0 to COLOUR_MAX."""
    return min(-math.log10(max(padj, 1e-300)), COLOUR_MAX)


def rows_height(labels, base: float, line: float = 0.18, gap: float = 0.08) -> float:
    """The height in inches of a figure with one row per (wrapped) label."""
    return base + sum(line * (1 + label.count("\n")) + gap for label in labels)


def colour_bar(fig, mappable, ax, label: str, pad: float = 0.02, fraction: float = 0.05, extend: str = "neither"):
    """A colour bar beside `ax` on the figures' typographic scale."""
    bar = fig.colorbar(mappable, ax=ax, pad=pad, fraction=fraction, extend=extend)
    bar.set_label(label, fontsize=8)
    bar.ax.tick_params(labelsize=7)
    return bar


def show_nothing(ax, text: str) -> None:
    """Say in the middle of an empty axes why there is nothing to draw."""
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes)
    ax.set_axis_off()
