"""``rsvelmo plot`` and ``rsvelmo report``: figures and the report drawn again
from a saved results table, without rerunning the analysis."""

from __future__ import annotations

import os
from typing import Any, Mapping, Sequence

from .._options import validate
from .._outputs import OutputFolder, atomic_output
from .._results import read_results, sort_records
from ..analyses.preranked import as_ranking
from ..readers.gene_sets import GeneSets
from .run import UserError, figures_of, ranking_name, safe_file_name

__all__ = ["redraw_plots", "redraw_report"]

READ = ["gene_col", "score_col", "map_ids", "duplicates", "na"]


def _inputs(results: str, ranking: str, gene_sets: str, name: str | None, given: Mapping[str, Any]):
    """The saved records of one ranking, the ranking itself and the gene sets."""
    table = read_results(results)
    if "ranking" in table.columns:
        names = list(dict.fromkeys(table["ranking"].astype(str)))
        name = name or ranking_name(ranking)
        if name not in names:
            raise UserError(f"{results} holds the rankings {', '.join(map(repr, names))}; name one with --ranking")
        table = table[table["ranking"].astype(str) == name]
    options = validate(given, READ)
    ranks = as_ranking(ranking, options["duplicates"], ranking, options["na"], options["gene_col"],
                       options["score_col"], options["map_ids"])  # fmt: skip
    records = sort_records(table.to_dict("records"))
    return records, ranks, GeneSets.load(gene_sets)


def redraw_plots(results, ranking, gene_sets, out, sets: Sequence[str], name, given: Mapping[str, Any]) -> int:
    """Write the run's figures, and the running sum of each set named in `sets`, into `out`."""
    from .. import plot

    settings = validate({**given, "plots": True}, ["top", "padj", "min_overlap", "format", "collapse", "gsea_param"])
    records, ranks, collection = _inputs(results, ranking, gene_sets, name, given)
    figures = figures_of(ranks, collection.sets, records, settings)
    by_name = {r["pathway"]: r for r in records}
    for wanted in sets:
        if wanted not in by_name:
            raise UserError(f"{results} has no gene set named {wanted!r}")
        r = by_name[wanted]
        figures[f"set_{safe_file_name(wanted)}"] = lambda r=r: plot.enrichment_plot(
            ranks, collection.sets.get(r["pathway"], []), r, gsea_param=settings["gsea_param"]
        )
    folder = OutputFolder(out)
    outputs = {f"{figure}.{settings['format']}": draw for figure, draw in figures.items()}
    folder.claim(outputs)
    for file_name, draw in outputs.items():
        figure = draw()
        with atomic_output(folder.file(file_name), "wb") as f:
            plot.save(figure, f, settings["format"])
    folder.finish({"command": "rsvelmo plot", "results": os.path.abspath(results), "settings": settings})
    print(f"plots: {out} ({len(outputs)} files)")
    return 0


def redraw_report(results, ranking, gene_sets, out, name, given: Mapping[str, Any]) -> int:
    """Write the report of a saved results table to the file `out`."""
    from ..reporting.report import report

    settings = validate(given, ["top", "padj", "collapse", "gsea_param"])
    if os.path.isdir(out):
        raise UserError(f"{out} is a folder; give the report's file name, e.g. {os.path.join(out, 'report.html')}")
    if os.path.exists(out):
        raise UserError(f"{out} exists; rsvelmo report does not replace files: remove it or choose another name")
    records, ranks, collection = _inputs(results, ranking, gene_sets, name, given)
    report(records, ranks, collection, out, padj_cut=settings["padj"], top=settings["top"],
           gsea_param=settings["gsea_param"], collapse=settings["collapse"],
           inputs={"results": os.path.basename(results), "ranking": os.path.basename(ranking)})  # fmt: skip
    print(f"report: {out}")
    return 0
