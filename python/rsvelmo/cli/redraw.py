"""``rsvelmo plot`` and ``rsvelmo report``: figures and the report drawn again
from a saved results table, without rerunning the analysis."""

from __future__ import annotations

import os
import time
from typing import Any, Mapping, Sequence

from .._options import ANALYSIS, OUTPUT, READING, add_arguments, from_arguments, validate
from .._outputs import OutputFolder, file_record, provenance
from .._results import read_results, sort_records
from ..readers.gene_sets import GeneSets
from ..readers.rankings import as_ranking
from .outputs import UserError, figure_writer, figures_of, ranking_name, safe_file_name

__all__ = ["add_parsers", "redraw_plots", "redraw_report", "RANKING", "FIGURES", "REPORT"]

# The options of these commands, declared here once for their parsers and their checks:
# how the ranking is read again, and how the figures and the report are drawn.
RANKING = tuple(o for o in READING if o.name not in ("group_col", "ignore_case"))
FIGURES = tuple(o for o in ANALYSIS + OUTPUT if o.name in ("top", "padj", "min_overlap", "format", "collapse",
                                                           "gsea_param"))  # fmt: skip
REPORT = tuple(o for o in FIGURES if o.name != "format")
PURPOSES = {
    "plot": "draw the figures of a saved results table again, without rerunning the analysis",
    "report": "write the report of a saved results table, without rerunning the analysis",
}


def add_parsers(commands) -> None:
    """``rsvelmo plot`` and ``rsvelmo report``: their arguments and options."""
    for name, text in PURPOSES.items():
        command = commands.add_parser(name, help=text, description=text)
        command.add_argument("results", metavar="RESULTS", help="a results.tsv (or NAME.results.tsv) of rsvelmo run")
        command.add_argument("ranking", metavar="RANKING", help="the ranking file that was analysed")
        command.add_argument("gene_sets", metavar="GENE_SETS", help="the gene sets that were analysed")
        if name == "plot":
            command.add_argument("--out", "-o", required=True, metavar="DIR", help="folder for the figures")
            command.add_argument("--sets", nargs="+", default=[], metavar="NAME",
                                 help="also draw the running sum of these gene sets")  # fmt: skip
        else:
            command.add_argument("--out", "-o", required=True, metavar="FILE", help="the report to write (.html)")
        which = "with several rankings in RESULTS: the one to draw (default: RANKING's name)"
        command.add_argument("--ranking", dest="ranking_name", metavar="NAME", help=which)
        add_arguments(command.add_argument_group("input"), RANKING)
        add_arguments(command.add_argument_group("figures"), FIGURES if name == "plot" else REPORT)
        command.set_defaults(handler=command_of)


def command_of(args) -> int:
    if args.command == "plot":
        given = from_arguments(args, RANKING + FIGURES)
        return redraw_plots(args.results, args.ranking, args.gene_sets, args.out, args.sets, args.ranking_name, given)
    given = from_arguments(args, RANKING + REPORT)
    return redraw_report(args.results, args.ranking, args.gene_sets, args.out, args.ranking_name, given)


def _inputs(results: str, ranking: str, gene_sets: str, name: str | None, settings: Mapping[str, Any]):
    """The saved records of one ranking, the ranking itself and the gene sets."""
    table = read_results(results)
    if "ranking" in table.columns:
        names = list(dict.fromkeys(table["ranking"].astype(str)))
        name = name or ranking_name(ranking)
        if name not in names:
            raise UserError(f"{results} holds the rankings {', '.join(map(repr, names))}; name one with --ranking")
        table = table[table["ranking"].astype(str) == name]
    ranks = as_ranking(ranking, settings["duplicates"], ranking, settings["na"], settings["gene_col"],
                       settings["score_col"], settings["map_ids"])  # fmt: skip
    records = sort_records(table.to_dict("records"))
    return records, ranks, GeneSets.load(gene_sets)


def _record(started: float, settings, results: str, ranking: str, gene_sets: GeneSets) -> dict[str, Any]:
    """run.json of a drawing: the files it was drawn from and how, as ``rsvelmo run`` records its own."""
    inputs = [file_record(results), file_record(ranking), gene_sets.record]
    return provenance(settings=settings, inputs=inputs, rankings={}, seconds=time.monotonic() - started)


def redraw_plots(results, ranking, gene_sets, out, sets: Sequence[str], name, given: Mapping[str, Any]) -> int:
    """Write the run's figures, and the running sum of each set named in `sets`, into `out`."""
    from .. import plot

    started = time.monotonic()
    settings = validate(given, [o.name for o in RANKING + FIGURES])
    records, ranks, collection = _inputs(results, ranking, gene_sets, name, settings)
    figures = figures_of(ranks, collection.sets, records, settings)
    by_name = {r["pathway"]: r for r in records}
    for wanted in sets:
        if wanted not in by_name:
            raise UserError(f"{results} has no gene set named {wanted!r}")
        r = by_name[wanted]
        figures[f"set_{safe_file_name(wanted)}"] = lambda r=r: plot.enrichment_plot(
            ranks, collection.sets.get(r["pathway"], []), r, gsea_param=settings["gsea_param"]
        )
    extension = settings["format"]
    outputs = {f"{figure}.{extension}": figure_writer(draw, extension) for figure, draw in figures.items()}
    with OutputFolder(out) as folder:
        folder.write(outputs, lambda: _record(started, settings, results, ranking, collection))
    print(f"plots: {out} ({len(outputs)} files)")
    return 0


def redraw_report(results, ranking, gene_sets, out, name, given: Mapping[str, Any]) -> int:
    """Write the report of a saved results table to the file `out`."""
    from ..reporting import report

    settings = validate(given, [o.name for o in RANKING + REPORT])
    if os.path.isdir(out):
        raise UserError(f"{out} is a folder; give the report's file name, e.g. {os.path.join(out, 'report.html')}")
    if os.path.exists(out):
        raise UserError(f"{out} exists; rsvelmo report does not replace files: remove it or choose another name")
    records, ranks, collection = _inputs(results, ranking, gene_sets, name, settings)
    report(records, ranks, collection, out, padj_cut=settings["padj"], top=settings["top"],
           gsea_param=settings["gsea_param"], collapse=settings["collapse"],
           inputs={"results": os.path.basename(results), "ranking": os.path.basename(ranking)})  # fmt: skip
    print(f"report: {out}")
    return 0
