"""The ``rsvelmo run`` command: read, check, analyse, then write every output."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence

from .._clusters import annotate_clusters, representatives
from .._options import ANALYSIS, OUTPUT, READING, add_arguments, engine_options, from_arguments, validate
from .._outputs import OutputFolder, atomic_output, file_record, provenance
from .._results import FLOATS, known, require, sort_records
from ..analyses.many import run_many, run_one
from ..analyses.preranked import finish, prepare
from ..readers.gene_sets import GeneSets
from ..readers.rankings import Reading, as_dict, matrix_file, ranking_file, rankings_file
from .outputs import (
    UserError,
    figure_writer,
    figures_of,
    label,
    ranking_name,
    report_options,
    safe_file_name,
    top_sets,
)

__all__ = ["add_parser", "run", "write_table", "summary", "check_extras", "DESCRIPTION"]

TABLE_COLUMNS = ["pathway", "description", "size", *FLOATS, "leading_edge", "leading_edge_size", "cluster",
                 "representative"]  # fmt: skip
GMT_SUFFIXES = (".gmt", ".gmt.gz")

DESCRIPTION = """\
Preranked gene set enrichment analysis. Give it a ranking of genes (a .rnk
file: gene name and score per line, highest score = most up-regulated, or a
results table of DESeq2, limma, edgeR, Seurat or scanpy) and a GMT file of
gene sets; it writes a table with, per gene set, the enrichment score (ES),
normalized ES (NES), p-value, BH-adjusted p-value (padj), log2 error of the
p-value and the leading-edge genes.
"""

EPILOG = """\
examples:
  rsvelmo run ranking.rnk pathways.gmt -o results
  rsvelmo run deseq2_results.csv pathways.gmt -o results --score-col stat
  rsvelmo run ranking.rnk pathways.gmt -o results --plots --top 15
  rsvelmo run cluster1.rnk cluster2.rnk cluster3.rnk pathways.gmt -o results
  rsvelmo run markers_all_groups.csv pathways.gmt -o results --score-col scores --group-col group
  rsvelmo run --matrix contrasts.tsv pathways.gmt -o results
  some_command | rsvelmo run - pathways.gmt -o results

A ranking is read whole, once (a pipe or - loses nothing), in the separator
that gives every line the same number of fields (tab, ';' with decimal
commas, ',' or blanks), with R's row names where its header is one field
short or starts with an empty name; one line per ranking says which columns
were used. Gene sets with fewer than --min-size or more than --max-size genes
present in the ranking are not tested. P-values below 1/permutations are
computed by the multilevel method, down to --eps (--no-refine: permutations
only). Results are identical for a given --seed whatever --threads is.

OUTDIR's run.json lists the files the run wrote; a later run replaces or
removes only those, and refuses, touching nothing, when another file is in
the way of an output. Every file is written whole or not at all.

Exit status: 0 on success, 2 on bad input (with a one-line message), 130 when
interrupted (Ctrl-C, no results written).
"""


def add_parser(commands) -> None:
    """``rsvelmo run``: its arguments and options."""
    command = commands.add_parser(
        "run",
        help="run the enrichment analysis of one or more rankings",
        usage="rsvelmo run [options] RANKS [RANKS ...] GENE_SETS -o OUTDIR\n"
        "       rsvelmo run [options] --matrix TABLE GENE_SETS -o OUTDIR",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument(
        "files",
        nargs="+",
        metavar="RANKS ... GENE_SETS",
        help="ranking files (.rnk, .tsv, .csv, .txt, optionally .gz; - for standard input) followed by the gene "
        "sets: a GMT or MSigDB JSON file, or a shipped collection (go_bp, go_mf, go_cc; see rsvelmo collections)",
    )
    command.add_argument(
        "-o", "--out", required=True, metavar="OUTDIR", help="folder for results.tsv and the plots (created if missing)"
    )
    inputs = command.add_argument_group("input")
    inputs.add_argument(
        "--matrix",
        metavar="TABLE",
        help="a genes x contrasts table (genes, then one ranking per column) instead of ranking files",
    )
    add_arguments(inputs, READING)
    add_arguments(command.add_argument_group("analysis"), ANALYSIS)
    add_arguments(command.add_argument_group("output"), OUTPUT)
    command.set_defaults(handler=command_of)


def command_of(args) -> int:
    return run(args.files, args.out, args.matrix, from_arguments(args, READING + ANALYSIS + OUTPUT))


@dataclass
class Inputs:
    """The rankings of a run (name -> gene -> score), what was read from each,
    the gene-set file and the input records for run.json."""

    rankings: dict[str, dict[str, float]]
    readings: dict[str, dict[str, Any]]
    gene_sets: str
    records: list[dict[str, Any]] = field(default_factory=list)
    matrix: bool = False
    notes: list[str] = field(default_factory=list)  # what was renamed, said once the folder is checked


def _file_key(name: str) -> str:
    # Two names clash when their files would: the same safe file name, with
    # no regard to case (macOS and Windows folders do not tell X from x).
    return safe_file_name(name).lower()


def _unique(names: Sequence[str]) -> list[str]:
    """The names, each made distinct as a file name: a name whose file an
    earlier one already takes gets the first suffix _2, _3, ... that is
    taken neither by an earlier name nor by any name given later (so that
    ``a/x.rnk b/x.rnk a/x_2.rnk`` become x, x_3 and x_2)."""
    given = {_file_key(n) for n in names}
    taken: set[str] = set()
    out = []
    for name in names:
        chosen, k = name, 1
        while _file_key(chosen) in taken or (chosen != name and _file_key(chosen) in given):
            k += 1
            chosen = f"{name}_{k}"
        taken.add(_file_key(chosen))
        out.append(chosen)
    return out


def _renamed(names: Sequence[str], sources: Sequence[str]) -> tuple[list[str], list[str]]:
    """`names` made unique, and a line for each renaming that names its
    source, so that the mapping from inputs to files is plain."""
    unique = _unique(names)
    notes = [
        f"rsvelmo: {source} is written as {chosen!r} (the file name of {name!r} is taken)"
        for name, chosen, source in zip(names, unique, sources)
        if chosen != name
    ]
    return unique, notes


def read_inputs(files: Sequence[str], matrix: str | None, options: Mapping[str, Any]) -> Inputs:
    """The rankings named on the command line, each file read exactly once."""
    return _ranking_files(files, options) if matrix is None else _matrix(files, matrix, options)


def _matrix(files: Sequence[str], matrix: str, options: Mapping[str, Any]) -> Inputs:
    if len(files) != 1:
        raise UserError("with --matrix, give only the GENE_SETS file besides it")
    if options["score_col"] is not None or options["group_col"] is not None:
        raise UserError("--score-col and --group-col do not apply to --matrix (every other column is a ranking)")
    rankings = matrix_file(matrix, options)
    columns = list(rankings)
    names, notes = _renamed(columns, [f"column {c!r} of {matrix}" for c in columns])
    rankings = dict(zip(names, rankings.values()))
    shown = ", ".join(f"{n!r} ({len(r):,} gene{'' if len(r) == 1 else 's'})" for n, r in rankings.items())
    notes.append(f"{matrix}: one ranking per column besides the genes: {shown}")
    readings = {n: {"source": matrix, "scores_from": f"column {n!r}", "genes": len(r)} for n, r in rankings.items()}
    return Inputs(rankings, readings, files[0], [file_record(matrix)], matrix=True, notes=notes)


def _ranking_files(files: Sequence[str], options: Mapping[str, Any]) -> Inputs:
    if len(files) < 2:
        raise UserError("give at least one RANKS file and the GENE_SETS file")
    *rank_files, gmt = files
    if not gmt.lower().endswith(GMT_SUFFIXES) and any(p.lower().endswith(GMT_SUFFIXES) for p in rank_files):
        raise UserError(f"the GMT file must come last: rsvelmo run RANKS ... GENE_SETS (got {gmt} last)")
    if rank_files.count("-") > 1:
        raise UserError("standard input (-) can be read only once")
    named = []  # (name, what it came from, ranking), before the names are made unique
    for path in rank_files:
        name = ranking_name(path)
        if options["group_col"] is not None:
            groups = rankings_file(path, options)
            named += [(f"{name}_{g}" if len(rank_files) > 1 else str(g), f"{path} [{g}]", s) for g, s in groups.items()]
        else:
            named.append((name, path, ranking_file(path, options)))
    unique, notes = _renamed([n for n, _, _ in named], [w for _, w, _ in named])
    series = {name: s for name, (_, _, s) in zip(unique, named)}
    readings = {name: s.attrs["reading"] for name, s in series.items()}
    records, seen = [], set()
    for reading in readings.values():
        if reading["source"] not in seen:
            seen.add(reading["source"])
            records.append(file_record(reading["source"], reading["size"], reading["sha256"]))
    return Inputs({name: as_dict(s) for name, s in series.items()}, readings, gmt, records, notes=notes)


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "NA"
    if isinstance(value, float):
        return repr(value)  # shortest text that reads back as the same double
    return str(value)


def write_table(
    path: str,
    tables: Sequence[tuple[str | None, list[dict[str, Any]]]],
    descriptions: Mapping[str, str | None],
    floats: Sequence[str] = FLOATS,
) -> None:
    """Writes (ranking name, records) pairs as one TSV: a leading ``ranking``
    column when names are given, the gene set's description, the leading
    edge joined with commas, the redundancy cluster and its representative,
    doubles in full precision and NA where the analysis computed no value.
    `floats` are the analysis's number columns between size and the leading edge."""
    named = any(name is not None for name, _ in tables)
    columns = ["pathway", "description", "size", *floats, *TABLE_COLUMNS[-4:]]
    with atomic_output(path) as f:
        f.write("\t".join((["ranking"] if named else []) + columns) + "\n")
        for name, records in tables:
            for r in records:
                cells = [
                    r["pathway"],
                    descriptions.get(r["pathway"]) or "",
                    r["size"],
                    *(r[c] for c in floats),
                    ",".join(r["leading_edge"]),
                    len(r["leading_edge"]),
                    r.get("cluster"),
                    r.get("representative"),
                ]
                f.write("\t".join(([name] if named else []) + [_cell(c) for c in cells]) + "\n")


def untested(ranks: Mapping[str, float], sets: Mapping[str, Sequence[str]], settings: Mapping[str, Any]) -> dict:
    """How many gene sets the engine leaves out, by reason: fewer or more
    of their genes in the ranking than --min-size/--max-size allow, or as
    many as the ranking has (a set needs genes outside it to be tested)."""
    low, high, n = max(settings["min_size"], 1), settings["max_size"], len(ranks)
    counts = {"sizes": 0, "whole": 0}
    for genes in sets.values():
        k = len({g for g in genes if g in ranks})
        if k < low or k > high:
            counts["sizes"] += 1
        elif k >= n:
            counts["whole"] += 1
    return counts


def _untested_text(counts: Mapping[str, int] | None) -> str:
    if not counts:
        return ""
    parts = [f"{counts['sizes']} outside --min-size/--max-size"] if counts.get("sizes") else []
    if counts.get("whole"):
        parts.append(f"{counts['whole']} holding every gene of the ranking (none left to compare with)")
    return (": " + ", ".join(parts)) if parts else ""


def summary(
    name: str,
    genes: int,
    sets_read: int,
    records,
    descriptions,
    settings: Mapping[str, Any],
    shown=None,
    dropped: Mapping[str, int] | None = None,
) -> str:
    """The lines printed for one ranking: counts, calls at the padj cut, the
    top sets. The counts are those of `records`, the rows of results.tsv;
    the top sets are drawn from `shown` (one per cluster with --collapse),
    `dropped` counts the sets not tested (see :func:`untested`)."""
    cut = settings["padj"]
    shown = records if shown is None else shown
    lines = [
        f"{name}: {genes} genes, {sets_read} gene sets read, {len(records)} tested "
        f"(sizes {settings['min_size']} to {settings['max_size']}){_untested_text(dropped)}"
    ]
    hits = [r for r in records if known(r["padj"]) and r["padj"] < cut]
    up = sum(1 for r in hits if known(r["nes"]) and r["nes"] > 0)
    clusters = ""
    if shown is not records:
        kept = {r["pathway"] for r in shown}
        clusters = f" in {sum(1 for r in hits if r['pathway'] in kept)} clusters; top sets one per cluster"
    lines.append(f"  padj < {cut:g}: {len(hits)} gene sets ({up} up, {len(hits) - up} down){clusters}")
    for heading, direction in (("top up", 1), ("top down", -1)):
        shown_here = top_sets(shown, direction, settings["top"])
        lines.append(f"  {heading}:" + ("" if shown_here else " none"))
        for r in shown_here:
            padj = "      NA" if not known(r["padj"]) else f"{r['padj']:8.2e}"
            lines.append(f"    NES {r['nes']:+6.2f}  padj {padj}  {label(r['pathway'], descriptions)}")
    return "\n".join(lines)


def _table_writer(tables, descriptions) -> Callable[[str], None]:
    return lambda path: write_table(path, tables, descriptions)


def check_extras(settings: Mapping[str, Any]) -> None:
    if not (settings["plots"] or settings["report"]):
        return
    needed = [("matplotlib", "plot"), ("networkx", "report")] + ([("jinja2", "report")] if settings["report"] else [])
    for module, extra in needed:
        try:
            __import__(module)
        except ImportError:
            flag = "--report" if settings["report"] else "--plots"
            raise UserError(f"{flag} needs {module}; install it with: pip install 'rsvelmopy[{extra}]'") from None
    import matplotlib

    matplotlib.use("Agg")  # files only, never a window


@dataclass
class Analysis:
    """The checked rankings of a run, the gene sets they were matched with,
    and each ranking's records, sorted and with their clusters."""

    checked: dict[str, dict[str, float]]
    gene_sets: GeneSets
    matched: GeneSets
    rows: list[tuple[str, list[dict[str, Any]]]]

    @property
    def several(self) -> bool:
        return len(self.rows) > 1


def analyse(inputs: Inputs, settings: Mapping[str, Any], engine: Mapping[str, Any], source: str | None) -> Analysis:
    """Check every ranking (saying what was read from it), run the engine on
    one in this process or on many in worker processes, and order the records."""
    gene_sets = GeneSets.load(inputs.gene_sets)
    checked, matched = {}, gene_sets
    # Columns and the mapping of IDs were used as the files were read (a matrix is mapped here).
    reading = {
        **settings,
        "gene_col": None,
        "score_col": None,
        "map_ids": settings["map_ids"] if inputs.matrix else None,
    }
    for name, ranks in inputs.rankings.items():
        if not settings["quiet"] and "dialect" in inputs.readings.get(name, {}):
            print(Reading(**inputs.readings[name]).describe(), file=sys.stderr)
        checked[name], matched = prepare(ranks, gene_sets, reading, source=source or name)
    if len(checked) == 1:
        ((name, ranks),) = checked.items()
        show = not settings["quiet"] and sys.stderr.isatty() and _has_tqdm()
        results = {name: run_one(ranks, matched, engine, show)}
    else:
        quiet = False if settings["quiet"] else None
        results = run_many(checked, matched, engine, progress=quiet, max_workers=settings["threads"])
    rows = []
    for name, records in results.items():
        records = sort_records(finish(records, checked[name], settings, name, settings["padj"]))
        for r in records:
            r["description"] = gene_sets.descriptions.get(r["pathway"])
        annotate_clusters(records, settings["padj"], settings["min_overlap"])
        rows.append((name, records))
    return Analysis(checked, gene_sets, matched, rows)


def plan_outputs(analysis: Analysis, inputs: Inputs, settings: Mapping[str, Any]) -> dict[str, Callable[[str], None]]:
    """Every output of the run (its name in OUTDIR -> the function that
    writes it), named before any is written so that a file in the way stops
    the run with nothing touched."""
    rows, descriptions, several = analysis.rows, analysis.gene_sets.descriptions, analysis.several
    outputs: dict[str, Callable[[str], None]] = {}
    outputs["results.tsv"] = _table_writer(rows if several else [(None, rows[0][1])], descriptions)
    if several:
        for name, records in rows:
            outputs[f"{safe_file_name(name)}.results.tsv"] = _table_writer([(None, records)], descriptions)
    if settings["plots"]:
        extension = settings["format"]
        for name, records in rows:
            prefix = "plots/" + (f"{safe_file_name(name)}/" if several else "")
            for figure, draw in figures_of(analysis.checked[name], analysis.matched.sets, records, settings).items():
                outputs[f"{prefix}{figure}.{extension}"] = figure_writer(draw, extension)
        if several:
            from ..plot import dot_plot_many

            shown = [
                dict(r, ranking=n) for n, rs in rows for r in (representatives(rs) if settings["collapse"] else rs)
            ]
            outputs[f"plots/across_rankings.{extension}"] = figure_writer(
                lambda: dot_plot_many(shown, top=max(1, settings["top"] // 2), padj_cut=settings["padj"]), extension
            )
    if settings["report"]:
        outputs["report.html"] = lambda path: _write_report(path, analysis, inputs, settings)
    return outputs


def _print_summaries(analysis: Analysis, outputs: Mapping[str, Any], folder: OutputFolder, settings) -> None:
    for name, records in analysis.rows:
        # Counts of the rows of results.tsv (all tested sets); with --collapse the top sets are one per cluster.
        shown = representatives(records) if settings["collapse"] else None
        sets_read, ranks = len(analysis.gene_sets.sets), analysis.checked[name]
        dropped = untested(ranks, analysis.matched.sets, settings)
        text = summary(name, len(ranks), sets_read, records, analysis.gene_sets.descriptions, settings, shown, dropped)
        prefix = "plots/" + (f"{safe_file_name(name)}/" if analysis.several else "")
        figures = sum(1 for o in outputs if o.startswith(prefix) and "/" not in o[len(prefix) :])
        if settings["plots"]:
            text += f"\n  plots: {folder.file(prefix)} ({figures} files)"
        print(text)


def run(files: Sequence[str], out: str, matrix: str | None, given: Mapping[str, Any]) -> int:
    """Run the analysis of the command line's rankings and write OUTDIR."""
    started = time.monotonic()
    settings = validate(given, [o.name for o in READING + ANALYSIS + OUTPUT])
    engine = engine_options(settings)
    check_extras(settings)
    with OutputFolder(out) as folder:
        inputs = read_inputs(files, matrix, settings)
        several = len(inputs.rankings) > 1 or matrix is not None
        # What is in the way is said before the analysis, not after it.
        tables = [f"{safe_file_name(n)}.results.tsv" for n in inputs.rankings] if len(inputs.rankings) > 1 else []
        folder.check(["results.tsv", *tables, *(["report.html"] if settings["report"] else [])],
                     ["plots"] if settings["plots"] else [])  # fmt: skip
        for note in [] if settings["quiet"] else inputs.notes:
            print(note, file=sys.stderr)
        analysis = analyse(inputs, settings, engine, None if several else files[0])
        outputs = plan_outputs(analysis, inputs, settings)
        universe = analysis.matched.universe()
        facts = {
            name: {
                **inputs.readings.get(name, {}),
                "analysed": len(ranks),
                "in_gene_sets": sum(g in universe for g in ranks),
            }
            for name, ranks in analysis.checked.items()
        }
        folder.write(
            outputs,
            lambda: provenance(
                engine=engine,
                settings=settings,
                inputs=[*inputs.records, analysis.gene_sets.record],
                rankings=facts,
                seconds=time.monotonic() - started,
            ),
        )
    if not settings["quiet"]:
        _print_summaries(analysis, outputs, folder, settings)
        print(
            f"results: {folder.file('results.tsv')}"
            + (f" (and one table per ranking in {out})" if analysis.several else "")
            + (f"\nreport: {folder.file('report.html')}" if settings["report"] else "")
        )
    return 0


def _write_report(path: str, analysis: Analysis, inputs: Inputs, settings: Mapping[str, Any]) -> None:
    from ..reporting.report import report as write_report

    rows, several = analysis.rows, analysis.several
    table = [dict(r, ranking=n) for n, rs in rows for r in rs] if several else rows[0][1]
    sources = sorted({str(r.get("source")) for r in inputs.readings.values()})
    write_report(
        table,
        analysis.checked if several else analysis.checked[rows[0][0]],
        analysis.matched.sets,
        path,
        **report_options(settings, settings["gsea_param"]),
        inputs={
            "ranking": ", ".join(os.path.basename(s) for s in sources),
            "gene sets": os.path.basename(inputs.gene_sets),
        },
    )


def _has_tqdm() -> bool:
    try:
        require("tqdm", "progress", "a progress bar")
    except ImportError:
        return False
    return True
