"""What every command that writes shares: its one-line errors, the names of
rankings and of their files, and the figures of one ranking. Every output then
takes one road into its folder: ``OutputFolder.write`` (checked, staged and
committed whole, see ``_outputs.py``) with run.json made by ``provenance``."""

from __future__ import annotations

import os
from typing import Any, Callable, Mapping

from .._clusters import representatives
from .._outputs import atomic_output
from .._results import known

__all__ = ["UserError", "ranking_name", "safe_file_name", "label", "top_sets", "figures_of", "figure_writer"]


class UserError(Exception):
    """Bad input: reported in one line, exit status 2."""


def ranking_name(path: str) -> str:
    """A ranking's name: its file's name without the folder and the usual suffixes."""
    name = "stdin" if path == "-" else os.path.basename(path)
    if name.endswith(".gz"):
        name = name[:-3]
    stem, ext = os.path.splitext(name)
    return stem if ext.lower() in (".rnk", ".tsv", ".csv", ".txt") else name


def safe_file_name(name: str) -> str:
    kept = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
    return kept[:120] or "gene_set"


def top_sets(records, direction: int, top: int, padj_cut: float | None = None) -> list[dict[str, Any]]:
    """The first `top` records of one direction (NES > 0: 1, < 0: -1), below `padj_cut` when given."""
    chosen = [
        r
        for r in records
        if known(r["nes"]) and r["nes"] != 0 and (r["nes"] > 0) == (direction > 0)
        and (padj_cut is None or (known(r["padj"]) and r["padj"] < padj_cut))
    ]  # fmt: skip
    return chosen[:top]


def label(pathway: str, descriptions: Mapping[str, str | None]) -> str:
    """The text that names a gene set: its description when that is a name,
    never a URL (MSigDB puts links there)."""
    from ..plot import label_of

    text = label_of({"pathway": pathway, "description": descriptions.get(pathway)})
    return pathway if text == pathway else f"{pathway} {text}"


def figures_of(ranks, gene_sets, records, settings) -> dict[str, Callable[[], Any]]:
    """Name -> drawing of each figure of one ranking; running sums only for significant top sets."""
    from .. import plot

    cut, top = settings["padj"], settings["top"]
    shown = representatives(records) if settings["collapse"] else records
    figures = {
        "summary": lambda: plot.dot_plot(shown, top=top, padj_cut=cut),
        "leading_edge": lambda: plot.leading_edge_heatmap(shown, ranks, top=top, padj_cut=cut),
        "enrichment_map": lambda: plot.enrichment_map(records, padj_cut=cut, min_overlap=settings["min_overlap"]),
    }
    figures["gene_set_table"] = lambda: plot.gene_set_table_plot(shown, ranks, gene_sets, top=top, padj_cut=cut)
    best = top_sets(shown, 1, 4, cut) + top_sets(shown, -1, 4, cut)
    if best:
        figures["running_sums"] = lambda: plot.running_sums_plot(ranks, gene_sets, best, settings["gsea_param"])
    for direction, tag in ((1, "up"), (-1, "down")):
        for rank, r in enumerate(top_sets(shown, direction, top, cut), start=1):
            figures[f"{tag}_{rank:02d}_{safe_file_name(r['pathway'])}"] = lambda r=r: plot.enrichment_plot(
                ranks, gene_sets.get(r["pathway"], []), r, gsea_param=settings["gsea_param"]
            )
    return figures


def report_options(settings: Mapping[str, Any], gsea_param: float) -> dict[str, Any]:
    """The report's keyword arguments that every analysis's command takes from
    its settings: the cut, the sets per direction, the running sums' weight,
    the settings shown (all but those of the outputs) and the collapse."""
    return {
        "padj_cut": settings["padj"],
        "top": settings["top"],
        "gsea_param": gsea_param,
        "settings": {k: v for k, v in settings.items() if k not in ("plots", "report", "format", "quiet")},
        "collapse": settings["collapse"],
    }


def figure_writer(draw: Callable[[], Any], format: str) -> Callable[[str], None]:
    """The writer of one figure's file: drawn only when written."""

    def write(path: str) -> None:
        from ..plot import save

        figure = draw()
        with atomic_output(path, "wb") as f:
            save(figure, f, format)

    return write
