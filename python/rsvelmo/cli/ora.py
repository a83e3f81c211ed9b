"""The ``rsvelmo ora`` command: gene lists (or a results table's up and down
genes) against gene sets, written to an output folder as ``rsvelmo run`` writes."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Callable, Mapping

from .._options import ANALYSIS, ORA, OUTPUT, READING, add_arguments, from_arguments, validate
from .._outputs import OutputFolder, atomic_output, file_record, provenance
from ..readers.gene_sets import GeneSets
from .outputs import figure_writer, label, safe_file_name
from .run import _cell, check_extras

__all__ = ["add_parser", "run_ora", "summary"]

# The options of the command, as declared in _options.py.
SHOWN = {"min_size", "max_size", "gene_col", "score_col", "map_ids", "top", "padj", "plots", "format", "report",
         "quiet", "min_overlap"}  # fmt: skip
OPTIONS = [o for o in READING + ANALYSIS + ORA + OUTPUT if o.name in SHOWN or o in ORA]

DESCRIPTION = """\
Over-representation analysis: which gene sets hold more of the listed genes
than chance allows. GENES is a file of genes (one a line, or a table's gene
column) or a results table of DESeq2, limma, edgeR, Seurat or scanpy, whose
up and down genes (--padj-cut, --min-abs-score) are analysed as two lists.
Each set gets the hypergeometric upper tail P(X >= overlap), the conditional
maximum-likelihood odds ratio and the Benjamini-Hochberg padj over every set
of --min-size to --max-size genes in the universe.

The universe is every gene that could have been listed: --universe FILE; a
results table's tested genes (with a p-value); else the gene sets' genes,
with a warning (the p-values then come out too small when some of those
genes were never measured). run.json records its size and SHA-256.
"""

EPILOG = """\
examples:
  rsvelmo ora deseq2_results.csv go_bp -o ora_out
  rsvelmo ora deseq2_results.csv go_bp -o ora_out --padj-cut 0.1 --min-abs-score 0.58 --both --plots
  rsvelmo ora my_genes.txt pathways.gmt -o ora_out --universe measured_genes.txt
"""


def add_parser(commands) -> None:
    command = commands.add_parser(
        "ora",
        help="over-representation of gene lists, or of a results table's up and down genes, in gene sets",
        usage="rsvelmo ora [options] GENES GENE_SETS -o OUTDIR",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument("genes", metavar="GENES", help="a file of genes or a results table (- for standard input)")
    command.add_argument("gene_sets", metavar="GENE_SETS", help="a GMT or MSigDB JSON file, or go_bp, go_mf, go_cc")
    command.add_argument("-o", "--out", required=True, metavar="OUTDIR", help="folder for results.tsv and the plots")
    add_arguments(command.add_argument_group("input"), [o for o in OPTIONS if o in READING or o in ORA])
    add_arguments(command.add_argument_group("analysis"), [o for o in OPTIONS if o in ANALYSIS])
    add_arguments(command.add_argument_group("output"), [o for o in OPTIONS if o in OUTPUT])
    command.set_defaults(handler=run_from_arguments)


def write_table(path: str, table) -> None:
    """The results as one TSV (a ``list`` column with several lists), the
    overlap's genes joined with commas, doubles in full precision."""
    columns = list(table.columns)
    with atomic_output(path) as f:
        f.write("\t".join(columns) + "\n")
        for row in table.itertuples(index=False):
            cells = [",".join(v) if c == "genes" else v for c, v in zip(columns, row)]
            f.write("\t".join(_cell(v) for v in cells) + "\n")


def _lists(table) -> list[tuple[str | None, Any]]:
    if "list" not in table.columns:
        return [(None, table)]
    return [(name, table[table["list"] == name]) for name in dict.fromkeys(table["list"])]


def summary(table, settings: Mapping[str, Any]) -> str:
    """Per list: its genes, the sets at padj < cut and the best of them."""
    cut, lines = settings["padj"], []
    descriptions = dict(zip(table["pathway"], table["description"]))
    named = "list" in table.columns
    for key, counts in table.attrs["lists"].items():
        name = key if named or key != "genes" else None
        rows = table[table["list"] == name] if named else table
        hits = rows[rows["padj"] < cut]
        lines.append(f"{name or 'genes'}: {counts['in_universe']:,} genes in the universe "
                     f"({counts['outside_universe']:,} outside it dropped); {len(rows):,} gene sets tested, "
                     f"{len(hits):,} at padj < {cut:g}" + ("" if len(hits) or not len(rows) else
                     "; the best by p-value:"))  # fmt: skip
        shown = hits if len(hits) else rows[rows["overlap"] > 0].head(min(3, settings["top"]))
        for r in shown.head(settings["top"]).itertuples():
            lines.append(f"    padj {r.padj:8.2e}  p {r.pval:8.2e}  {r.overlap:>4}/{r.size:<4} fold "
                         f"{r.fold_enrichment:6.2f}  {label(r.pathway, descriptions)}")  # fmt: skip
    return "\n".join(lines)


def figures_of(table, settings: Mapping[str, Any]) -> dict[str, Callable[[], Any]]:
    """Name -> drawing of each figure: per list a dot plot, a bar plot and the
    enrichment map; the lists side by side when there are several."""
    from ..plot import ora as figures

    cut, top = settings["padj"], settings["top"]
    out: dict[str, Callable[[], Any]] = {}
    lists = _lists(table)
    for name, rows in lists:
        prefix = "" if name is None else f"{safe_file_name(name)}_"
        out[f"{prefix}dot_plot"] = lambda rows=rows, name=name: figures.ora_dot_plot(rows, top, cut, title=name)
        out[f"{prefix}bar_plot"] = lambda rows=rows, name=name: figures.ora_bar_plot(rows, top, cut, title=name)
        out[f"{prefix}enrichment_map"] = lambda rows=rows: figures.ora_enrichment_map(
            rows, cut, settings["min_overlap"]
        )
    if len(lists) > 1:
        out["lists"] = lambda: figures.ora_dot_plot_lists(table, max(1, top // 2 + 1), cut)
    return out


def run_ora(genes: str, gene_sets: str, out: str, given: Mapping[str, Any]) -> int:
    """Run the analysis of the command line's genes and write OUTDIR."""
    from ..analyses.ora import OPTION_NAMES, ora  # numpy and pandas: only when the command runs

    started = time.monotonic()
    settings = validate(given, [o.name for o in OPTIONS])
    check_extras(settings)
    with OutputFolder(out) as folder:
        # What is in the way is said before the analysis, not after it.
        folder.check(["results.tsv", *(["report.html"] if settings["report"] else [])],
                     ["plots"] if settings["plots"] else [])  # fmt: skip
        sets = GeneSets.load(gene_sets)
        table = ora(genes, sets, **{n: settings[n] for n in OPTION_NAMES})
        if not settings["quiet"]:
            print(table.attrs["reading"], file=sys.stderr)
        universe = {
            "size": table.attrs["universe_size"],
            "source": table.attrs["universe_source"],
            "sha256": table.attrs["universe_sha256"],
        }
        outputs: dict[str, Callable[[str], None]] = {"results.tsv": lambda path: write_table(path, table)}
        if settings["plots"]:
            extension = settings["format"]
            for name, draw in figures_of(table, settings).items():
                outputs[f"plots/{name}.{extension}"] = figure_writer(draw, extension)
        if settings["report"]:
            outputs["report.html"] = lambda path: _write_report(path, table, sets, genes, settings)
        inputs = [sets.record] + ([] if genes == "-" else [file_record(genes)])
        if isinstance(settings["universe"], str):
            inputs.append(file_record(settings["universe"]))
        folder.write(
            outputs,
            lambda: provenance(settings=settings, inputs=inputs, rankings={}, seconds=time.monotonic() - started,
                               extra={"analysis": "ora", "universe": universe, "lists": table.attrs["lists"],
                                      "reading": table.attrs["reading"]}),
        )  # fmt: skip
    if not settings["quiet"]:
        tested = table.attrs["sets_tested"]
        print(f"universe: {universe['size']:,} genes, {universe['source']} (sha256 {universe['sha256'][:12]})")
        print(f"gene sets: {sets.source}: {len(sets.sets):,} read, {tested:,} tested "
              f"(sizes {settings['min_size']} to {settings['max_size']} in the universe)")  # fmt: skip
        print(summary(table, settings))
        print(f"results: {folder.file('results.tsv')}")
        if settings["report"]:
            print(f"report: {folder.file('report.html')}")
    return 0


def _write_report(path: str, table, sets: GeneSets, genes: str, settings: Mapping[str, Any]) -> None:
    from ..reporting.ora import ora_report

    ora_report(table, path, padj_cut=settings["padj"], top=settings["top"],
               inputs={"genes": genes, "gene sets": sets.source}, min_overlap=settings["min_overlap"])  # fmt: skip


def run_from_arguments(args: argparse.Namespace) -> int:
    return run_ora(args.genes, args.gene_sets, args.out, from_arguments(args, OPTIONS))
