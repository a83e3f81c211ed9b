"""The rsvelmo command line."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Sequence

from .._errors import render
from .._options import ANALYSIS, OUTPUT, READING, add_arguments, from_arguments
from .._outputs import OutputError
from .._version import __version__
from .run import UserError, run

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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rsvelmo", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"rsvelmo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
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
    _add_redraw(commands)
    validate = commands.add_parser(
        "validate",
        help="check the p-values against exact tails, the calls against many permutations and the threads "
        "against each other (a few minutes; exit status 1 when a check fails)",
        description="Runs the checks of rsvelmo.validate (see help(rsvelmo.validate)) and prints a table.",
    )
    validate.add_argument("--quick", action="store_true", help="fewer seeds and permutations (seconds)")
    validate.add_argument("--json", metavar="FILE", help="also write the measurements as JSON")
    commands.add_parser(
        "collections",
        help="list the gene-set collections shipped with rsvelmo (give a name where GENE_SETS is expected)",
        description="The gene-set collections shipped with rsvelmo: name, size, release and licence.",
    )
    return parser


REDRAWN = ("top", "padj", "min_overlap", "format", "collapse", "gsea_param")


def _add_redraw(commands) -> None:
    """``rsvelmo plot`` and ``rsvelmo report``: from a saved results table."""
    purposes = {
        "plot": "draw the figures of a saved results table again, without rerunning the analysis",
        "report": "write the report of a saved results table, without rerunning the analysis",
    }
    for name, text in purposes.items():
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
        reading = [o for o in READING if o.name not in ("group_col", "ignore_case")]
        add_arguments(command.add_argument_group("input"), reading)
        shown = [o for o in ANALYSIS + OUTPUT if o.name in REDRAWN and (name == "plot" or o.name != "format")]
        add_arguments(command.add_argument_group("figures"), shown)


def _redraw(args) -> int:
    from .redraw import redraw_plots, redraw_report

    options = [o for o in READING + ANALYSIS + OUTPUT if hasattr(args, o.name)]
    given = from_arguments(args, options)
    if args.command == "plot":
        return redraw_plots(args.results, args.ranking, args.gene_sets, args.out, args.sets, args.ranking_name, given)
    return redraw_report(args.results, args.ranking, args.gene_sets, args.out, args.ranking_name, given)


def _list_collections() -> int:
    from ..analyses.preranked import collections

    for row in collections().to_dict("records"):
        print(f"{row['name']}\t{row['gene_sets']:,} gene sets, {row['genes']:,} genes (sizes {row['sizes']})\t"
              f"{row['title']}; {row['release']}; {row['licence']}")  # fmt: skip
    return 0


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"rsvelmo: warning: {render(message, 'cli')}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    previous = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        if args.command == "collections":
            return _list_collections()
        if args.command == "validate":
            from ..analyses.validation import validate

            return 0 if validate(quick=args.quick, json_path=args.json)["passed"] else 1
        if args.command in ("plot", "report"):
            return _redraw(args)
        return run(args.files, args.out, args.matrix, from_arguments(args, READING + ANALYSIS + OUTPUT))
    except (UserError, OutputError, OSError, ValueError, TypeError, OverflowError, ImportError) as e:
        print(f"rsvelmo: error: {render(e, 'cli')}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("rsvelmo: interrupted; no results written", file=sys.stderr)
        return 130
    finally:
        warnings.showwarning = previous
