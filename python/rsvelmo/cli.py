"""The rsvelmo command line."""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import shutil
import sys
import time
import warnings
from typing import Any, Sequence

import rsvelmopy

from .api import GeneSets, _tqdm_progress, check_tied_sets, engine_options, prepare, run_many, sort_records
from .cluster import annotate_clusters, representatives
from .files import atomic_output, provenance
from .io import RankingError, read_matrix, read_ranks

DESCRIPTION = """\
Preranked gene set enrichment analysis. Give it a ranking of genes (a .rnk
file: gene name and score per line, highest score = most up-regulated) and a
GMT file of gene sets; it writes a table with, per gene set, the enrichment
score (ES), normalized ES (NES), p-value, BH-adjusted p-value (padj), log2
error of the p-value and the leading-edge genes.
"""

EPILOG = """\
examples:
  rsvelmo run ranking.rnk pathways.gmt -o results
  rsvelmo run ranking.rnk pathways.gmt -o results --plots --top 15
  rsvelmo run cluster1.rnk cluster2.rnk cluster3.rnk pathways.gmt -o results
  rsvelmo run --matrix contrasts.tsv pathways.gmt -o results

Gene sets with fewer than --min-size or more than --max-size genes present in
the ranking are not tested. P-values below 1/permutations are computed by the
multilevel method, down to --eps (--no-refine: permutations only). Results
are identical for a given --seed whatever --threads is. A run owns
results.tsv, *.results.tsv and plots/ in OUTDIR and replaces what an earlier
run left there; every file is written whole or not at all.

Exit status: 0 on success, 2 on bad input (with a one-line message), 130 when
interrupted (Ctrl-C, no results written).
"""

FLOAT_COLUMNS = ("es", "nes", "pval", "padj", "log2err")


class UserError(Exception):
    """Bad input: reported in one line, exit status 2."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rsvelmo", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"rsvelmo {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run = commands.add_parser(
        "run",
        help="run the enrichment analysis of one or more rankings",
        usage="rsvelmo run [options] RANKS [RANKS ...] GENE_SETS -o OUTDIR\n"
        "       rsvelmo run [options] --matrix TABLE GENE_SETS -o OUTDIR",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    run.add_argument(
        "files",
        nargs="+",
        metavar="RANKS ... GENE_SETS",
        help="ranking files (.rnk, .tsv, .csv, optionally .gz) followed by one GMT file",
    )
    run.add_argument(
        "-o", "--out", required=True, metavar="OUTDIR", help="folder for results.tsv and the plots (created if missing)"
    )

    inputs = run.add_argument_group("input")
    inputs.add_argument(
        "--matrix",
        metavar="TABLE",
        help="a genes x contrasts table (first column genes, one ranking per other column) instead of ranking files",
    )
    inputs.add_argument("--gene-col", metavar="COL", help="column of gene names (name or 0-based index)")
    inputs.add_argument(
        "--score-col",
        metavar="COL",
        help="column of scores in a ranking table (needed when it has more than two columns, "
        "e.g. 'stat' for DESeq2, 't' for limma)",
    )
    inputs.add_argument(
        "--duplicates",
        choices=["error", "first", "max_abs", "mean"],
        default="error",
        help="what to do with a gene named twice (default: error)",
    )
    inputs.add_argument(
        "--drop-na", action="store_true", help="drop genes without a score (NA, empty) instead of refusing the ranking"
    )
    inputs.add_argument(
        "--ignore-case",
        action="store_true",
        help="match gene names case-insensitively (e.g. mouse 'Foxa2' with 'FOXA2')",
    )

    analysis = run.add_argument_group("analysis")
    analysis.add_argument("--nperm", type=int, default=1000, metavar="N", help="number of permutations (default: 1000)")
    refine = analysis.add_mutually_exclusive_group()
    refine.add_argument(
        "--no-refine", action="store_true", help="permutations only: no multilevel refinement of small p-values"
    )
    refine.add_argument(
        "--refine-all",
        action="store_true",
        help="refine the p-value of every gene set, not only those the permutations cannot resolve",
    )
    analysis.add_argument("--seed", type=int, default=42, help="random seed (default: 42)")
    analysis.add_argument(
        "--min-size",
        type=int,
        default=15,
        metavar="N",
        help="smallest gene set tested, in genes present in the ranking (default: 15)",
    )
    analysis.add_argument(
        "--max-size", type=int, default=500, metavar="N", help="largest gene set tested (default: 500)"
    )
    analysis.add_argument(
        "--eps",
        type=float,
        default=1e-50,
        help="smallest p-value computed; smaller ones are reported as eps (default: 1e-50)",
    )
    analysis.add_argument(
        "--score-type",
        choices=["std", "pos", "neg"],
        default="std",
        help="std: two-sided; pos/neg: one-sided for all-positive/negative rankings",
    )
    analysis.add_argument(
        "--gsea-param", type=float, default=1.0, metavar="P", help="weight exponent of the scores (default: 1)"
    )
    analysis.add_argument(
        "--sample-size", type=int, default=101, metavar="N", help="sample size of the multilevel method (default: 101)"
    )
    analysis.add_argument(
        "--threads",
        type=int,
        metavar="N",
        help="worker threads, or worker processes with several rankings (default: all cores)",
    )

    output = run.add_argument_group("output")
    output.add_argument(
        "--top",
        type=int,
        default=10,
        metavar="N",
        help="gene sets shown per direction in the summary and the figures (default: 10)",
    )
    output.add_argument(
        "--padj",
        type=float,
        default=0.05,
        metavar="P",
        help="significance cut of the summary, the figures and the clusters (default: 0.05)",
    )
    output.add_argument(
        "--plots",
        action="store_true",
        help="also draw figures: a dot plot, the leading-edge heatmap, the enrichment map and the "
        "running-sum plot of each significant top gene set",
    )
    output.add_argument(
        "--format",
        choices=["png", "svg", "pdf"],
        default="png",
        help="file format of the figures (PNG at 300 dpi; default: png)",
    )
    output.add_argument(
        "--report",
        action="store_true",
        help="also write report.html: one self-contained page with the table, the figures and "
        "a running-sum plot of any gene set",
    )
    output.add_argument(
        "--collapse",
        action="store_true",
        help="show one gene set per cluster of overlapping leading edges in the summaries",
    )
    output.add_argument(
        "--min-overlap",
        type=float,
        default=0.5,
        metavar="F",
        help="overlap coefficient of two leading edges that puts their gene sets in one cluster (default: 0.5)",
    )
    output.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return parser


def _version() -> str:
    from . import __version__

    return __version__


# Python's parameter names as the command line spells them, for messages.
CLI_SPELLINGS = [
    ("score_col=", "--score-col "),
    ("gene_col=", "--gene-col "),
    ("na='drop'", "--drop-na"),
    ("ignore_case=True", "--ignore-case"),
    ("duplicates=", "--duplicates "),
    ("score_type=", "--score-type "),
    ("min_size", "--min-size"),
    ("max_size", "--max-size"),
    ("sample_size", "--sample-size"),
    ("gsea_param", "--gsea-param"),
    ("nperm", "--nperm"),
    ("threads", "--threads"),
    ("eps", "--eps"),
]


def cli_message(text: str) -> str:
    """A message of the Python API in the command line's own spellings."""
    for python, flag in CLI_SPELLINGS:
        text = re.sub(r"(?<![\w-])" + re.escape(python) + (r"(?!\w)" if python[-1].isalnum() else ""), flag, text)
    text = re.sub(r" \(--[\w-]+( on the command line)?\)", "", text)
    return re.sub(r"(--[\w-]+) (?=[;,.)]|$)", r"\1", text)


def _engine_options(args: argparse.Namespace) -> dict[str, Any]:
    refine = False if args.no_refine else "all" if args.refine_all else True
    return engine_options(
        min_size=args.min_size,
        max_size=args.max_size,
        nperm=args.nperm,
        refine=refine,
        eps=args.eps,
        score_type=args.score_type,
        gsea_param=args.gsea_param,
        sample_size=args.sample_size,
        seed=args.seed,
        threads=args.threads,
    )


def _ranking_name(path: str) -> str:
    name = os.path.basename(path)
    if name.endswith(".gz"):
        name = name[:-3]
    stem, ext = os.path.splitext(name)
    return stem if ext.lower() in (".rnk", ".tsv", ".csv", ".txt") else name


def _unique(names: Sequence[str]) -> list[str]:
    seen: dict[str, int] = {}
    out = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        out.append(name if seen[name] == 1 else f"{name}_{seen[name]}")
    return out


def _read_rankings(args: argparse.Namespace) -> tuple[dict[str, dict[str, float]], str]:
    na = "drop" if args.drop_na else "error"
    if args.matrix is not None:
        if len(args.files) != 1:
            raise UserError("with --matrix, give only the GENE_SETS file besides it")
        if args.score_col is not None:
            raise UserError("--score-col does not apply to --matrix (every column but the genes is a ranking)")
        return read_matrix(args.matrix, args.gene_col, args.duplicates), args.files[0]
    if len(args.files) < 2:
        raise UserError("give at least one RANKS file and the GENE_SETS file")
    *rank_files, gmt = args.files
    if not gmt.lower().endswith((".gmt", ".gmt.gz")) and any(
        p.lower().endswith((".gmt", ".gmt.gz")) for p in rank_files
    ):
        raise UserError(f"the GMT file must come last: rsvelmo run RANKS ... GENE_SETS (got {gmt} last)")
    names = _unique([_ranking_name(p) for p in rank_files])
    return {
        name: read_ranks(path, args.gene_col, args.score_col, args.duplicates, na)
        for name, path in zip(names, rank_files)
    }, gmt


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "NA"
    if isinstance(value, float):
        return repr(value)  # shortest text that reads back as the same double
    return str(value)


def write_table(
    path: str, tables: Sequence[tuple[str | None, list[dict[str, Any]]]], descriptions: dict[str, str | None]
) -> None:
    """Writes (ranking name, records) pairs as one TSV: a leading ``ranking``
    column when names are given, the gene set's description, the leading
    edge joined with commas, the redundancy cluster and its representative,
    doubles in full precision and NA where the analysis computed no value."""
    named = any(name is not None for name, _ in tables)
    columns = [
        "pathway",
        "description",
        "size",
        *FLOAT_COLUMNS,
        "leading_edge",
        "leading_edge_size",
        "cluster",
        "representative",
    ]
    with atomic_output(path) as f:
        f.write("\t".join((["ranking"] if named else []) + columns) + "\n")
        for name, records in tables:
            for r in records:
                cells = [
                    r["pathway"],
                    descriptions.get(r["pathway"]) or "",
                    r["size"],
                    *(r[c] for c in FLOAT_COLUMNS),
                    ",".join(r["leading_edge"]),
                    len(r["leading_edge"]),
                    r.get("cluster"),
                    r.get("representative"),
                ]
                f.write("\t".join(([name] if named else []) + [_cell(c) for c in cells]) + "\n")


def _significant(records, direction: int, top: int) -> list[dict[str, Any]]:
    chosen = [
        r
        for r in records
        if r["nes"] is not None and r["nes"] == r["nes"] and (r["nes"] > 0) == (direction > 0) and r["nes"] != 0
    ]
    return chosen[:top]


def label(pathway: str, descriptions: dict[str, str | None]) -> str:
    """The text that names a gene set: its description when that is a name,
    never a URL (MSigDB puts links there)."""
    from .plot import label_of

    text = label_of({"pathway": pathway, "description": descriptions.get(pathway)})
    return pathway if text == pathway else f"{pathway} {text}"


def summary(
    name: str, genes: int, sets_read: int, records: list[dict[str, Any]], descriptions: dict[str, str | None], args
) -> str:
    tested = len(records)
    lines = [
        f"{name}: {genes} genes, {sets_read} gene sets read, {tested} tested (sizes {args.min_size} to {args.max_size})"
    ]
    hits = [r for r in records if r["padj"] is not None and r["padj"] == r["padj"] and r["padj"] < 0.05]
    up = sum(1 for r in hits if r["nes"] is not None and r["nes"] > 0)
    lines.append(f"  padj < 0.05: {len(hits)} gene sets ({up} up, {len(hits) - up} down)")
    for heading, direction in (("top up", 1), ("top down", -1)):
        shown = _significant(records, direction, args.top)
        lines.append(f"  {heading}:" + ("" if shown else " none"))
        for r in shown:
            lines.append(f"    NES {r['nes']:+6.2f}  padj {_short_p(r['padj'])}  {label(r['pathway'], descriptions)}")
    return "\n".join(lines)


def _short_p(value) -> str:
    return "      NA" if value is None or value != value else f"{value:8.2e}"


def _safe_file_name(name: str) -> str:
    kept = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
    return kept[:120] or "gene_set"


def draw_plots(
    folder: str, ranks: dict[str, float], gene_sets: dict[str, list[str]], records: list[dict[str, Any]], args
) -> int:
    """The figures of one ranking; running-sum plots only for significant sets."""
    from . import plot

    os.makedirs(folder, exist_ok=True)
    shown = representatives(records) if args.collapse else records
    # Each figure is saved (and closed) as soon as it is drawn.
    figures = {
        "summary": lambda: plot.dot_plot(shown, top=args.top, padj_cut=args.padj),
        "leading_edge": lambda: plot.leading_edge_heatmap(shown, ranks, top=args.top, padj_cut=args.padj),
        "enrichment_map": lambda: plot.enrichment_map(records, padj_cut=args.padj, min_overlap=args.min_overlap),
    }
    for direction in (1, -1):
        significant = [
            r for r in _significant(shown, direction, len(shown)) if r["padj"] is not None and r["padj"] < args.padj
        ][: args.top]
        for rank, r in enumerate(significant, start=1):
            tag = "up" if direction > 0 else "down"
            figures[f"{tag}_{rank:02d}_{_safe_file_name(r['pathway'])}"] = lambda r=r: plot.enrichment_plot(
                ranks, gene_sets.get(r["pathway"], []), r, gsea_param=args.gsea_param
            )
    for name, draw in figures.items():
        _save(draw(), os.path.join(folder, f"{name}.{args.format}"), args.format)
    return len(figures)


def _save(figure, path: str, format: str) -> None:
    from . import plot

    with atomic_output(path, "wb") as f:
        plot.save(figure, f, format)


def _clear_earlier_outputs(folder: str) -> None:
    """A new run owns results.tsv, the per-ranking *.results.tsv and plots/:
    what an earlier run left there would mix with the new results."""
    for entry in os.listdir(folder):
        if (
            entry.endswith(".results.tsv")
            or entry in ("report.html", "run.json")
            or (entry.startswith(".rsvelmo-") and entry.endswith(".part"))
        ):
            os.unlink(os.path.join(folder, entry))
    shutil.rmtree(os.path.join(folder, "plots"), ignore_errors=True)


def run(args: argparse.Namespace) -> int:
    started = time.monotonic()
    if args.top < 0:
        raise UserError("--top must be 0 or more")
    if not 0.0 < args.padj <= 1.0:
        raise UserError(f"--padj must lie in (0, 1], not {args.padj}")
    if not 0.0 < args.min_overlap <= 1.0:
        raise UserError(f"--min-overlap must lie in (0, 1], not {args.min_overlap}")
    options = _engine_options(args)
    if args.plots or args.report:
        for module, extra in (("matplotlib", "plot"), ("networkx", "report")) + (
            (("jinja2", "report"),) if args.report else ()
        ):
            try:
                __import__(module)
            except ImportError:
                flag = "--report" if args.report else "--plots"
                raise UserError(f"{flag} needs {module}; install it with: pip install 'rsvelmopy[{extra}]'") from None
        import matplotlib

        matplotlib.use("Agg")  # files only, never a window
    rankings, gmt = _read_rankings(args)
    gene_sets = GeneSets.load(gmt)
    checked = {}
    for name, ranks in rankings.items():
        source = name if len(rankings) > 1 or args.matrix else args.files[0]
        checked[name], sets = prepare(
            ranks,
            gene_sets,
            options,
            ignore_case=args.ignore_case,
            na="drop" if args.drop_na else "error",
            duplicates=args.duplicates,
            source=source,
        )
    os.makedirs(args.out, exist_ok=True)

    if len(checked) == 1:
        ((name, ranks),) = checked.items()
        show = not args.quiet and sys.stderr.isatty() and _has_tqdm()
        report, close = _tqdm_progress(show)
        try:
            results = {name: rsvelmopy.run_gsea(ranks, sets.sets, progress=report, diagnostics=False, **options)}
        finally:
            close()
    else:
        results = run_many(checked, sets, options, progress=None if not args.quiet else False, max_workers=args.threads)

    for name, records in results.items():
        check_tied_sets(records, checked[name], name, args.padj)
    _clear_earlier_outputs(args.out)
    descriptions = gene_sets.descriptions
    rows = []
    for name, records in results.items():
        records = sort_records(records)
        for r in records:
            r["description"] = descriptions.get(r["pathway"])
        annotate_clusters(records, args.padj, args.min_overlap)
        rows.append((name, records))
    several = len(rows) > 1
    combined = os.path.join(args.out, "results.tsv")
    write_table(combined, rows if several else [(None, rows[0][1])], descriptions)
    if several:
        for name, records in rows:
            write_table(os.path.join(args.out, f"{_safe_file_name(name)}.results.tsv"), [(None, records)], descriptions)

    for name, records in rows:
        plots = ""
        if args.plots:
            folder = os.path.join(args.out, "plots", *([_safe_file_name(name)] if several else []))
            count = draw_plots(folder, checked[name], sets.sets, records, args)
            plots = f"\n  plots: {folder}/ ({count} files)"
        if not args.quiet:
            shown = representatives(records) if args.collapse else records
            print(summary(name, len(checked[name]), len(gene_sets.sets), shown, descriptions, args) + plots)
    if args.plots and several:
        from . import plot

        _save(
            plot.dot_plot_many(
                [dict(r, ranking=n) for n, rs in rows for r in (representatives(rs) if args.collapse else rs)],
                top=max(1, args.top // 2),
                padj_cut=args.padj,
            ),
            os.path.join(args.out, "plots", f"across_rankings.{args.format}"),
            args.format,
        )
    # The options as the user gave them (the Python API's names); the engine's own follow in run.json.
    settings = {
        "min_size": args.min_size,
        "max_size": args.max_size,
        "nperm": args.nperm,
        "refine": False if args.no_refine else "all" if args.refine_all else True,
        "eps": args.eps,
        "score_type": args.score_type,
        "gsea_param": args.gsea_param,
        "sample_size": args.sample_size,
        "seed": args.seed,
        "threads": args.threads,
        "ignore_case": args.ignore_case,
        "na": "drop" if args.drop_na else "error",
        "duplicates": args.duplicates,
        "padj_cut": args.padj,
        "min_overlap": args.min_overlap,
    }
    if args.report:
        from .report import report as write_report

        table = [dict(r, ranking=n) for n, rs in rows for r in rs] if several else rows[0][1]
        write_report(
            table,
            checked if several else checked[rows[0][0]],
            sets.sets,
            os.path.join(args.out, "report.html"),
            padj_cut=args.padj,
            top=args.top,
            gsea_param=args.gsea_param,
            settings=settings,
            collapse=args.collapse,
            inputs={
                "ranking": ", ".join(os.path.basename(p) for p in ([args.matrix] if args.matrix else args.files[:-1])),
                "gene sets": os.path.basename(gmt),
            },
        )
    universe = {g for genes in sets.sets.values() for g in genes}
    genes = {
        name: {
            "read": len(rankings[name]),
            "analysed": len(checked[name]),
            "in_gene_sets": sum(1 for g in checked[name] if g in universe),
        }
        for name in checked
    }
    record = provenance(
        engine=options,
        settings=settings,
        inputs=([args.matrix] if args.matrix else args.files[:-1]) + [gmt],
        genes=genes,
        seconds=time.monotonic() - started,
    )
    with atomic_output(os.path.join(args.out, "run.json")) as f:
        json.dump(record, f, indent=2)
        f.write("\n")
    if not args.quiet:
        print(
            f"results: {combined}"
            + (f" (and one table per ranking in {args.out})" if several else "")
            + (f"\nreport: {os.path.join(args.out, 'report.html')}" if args.report else "")
        )
    return 0


def _has_tqdm() -> bool:
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"rsvelmo: warning: {cli_message(str(message))}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    warnings.showwarning = _show_warning
    try:
        return run(args)
    except (UserError, RankingError, OSError, ValueError, TypeError, OverflowError, ImportError) as e:
        print(f"rsvelmo: error: {cli_message(str(e))}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("rsvelmo: interrupted; no results written", file=sys.stderr)
        return 130
