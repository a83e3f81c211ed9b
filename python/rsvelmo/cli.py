"""The rsvelmo command line."""
from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import shutil
import sys
import tempfile
import warnings
from typing import Any, Sequence

import rsvelmopy

from .api import GeneSets, _tqdm_progress, engine_options, prepare, run_many, sort_records
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
    parser = argparse.ArgumentParser(prog="rsvelmo", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"rsvelmo {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run = commands.add_parser(
        "run", help="run the enrichment analysis of one or more rankings",
        usage="rsvelmo run [options] RANKS [RANKS ...] GENE_SETS -o OUTDIR\n"
              "       rsvelmo run [options] --matrix TABLE GENE_SETS -o OUTDIR",
        description=DESCRIPTION, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    run.add_argument("files", nargs="+", metavar="RANKS ... GENE_SETS",
                     help="ranking files (.rnk, .tsv, .csv, optionally .gz) followed by one GMT file")
    run.add_argument("-o", "--out", required=True, metavar="OUTDIR",
                     help="folder for results.tsv and the plots (created if missing)")

    inputs = run.add_argument_group("input")
    inputs.add_argument("--matrix", metavar="TABLE",
                        help="a genes x contrasts table (first column genes, one ranking per other column) "
                             "instead of ranking files")
    inputs.add_argument("--gene-col", metavar="COL", help="column of gene names (name or 0-based index)")
    inputs.add_argument("--score-col", metavar="COL",
                        help="column of scores in a ranking table (needed when it has more than two columns, "
                             "e.g. 'stat' for DESeq2, 't' for limma)")
    inputs.add_argument("--duplicates", choices=["error", "first", "max_abs", "mean"], default="error",
                        help="what to do with a gene named twice (default: error)")
    inputs.add_argument("--drop-na", action="store_true",
                        help="drop genes without a score (NA, empty) instead of refusing the ranking")
    inputs.add_argument("--ignore-case", action="store_true",
                        help="match gene names case-insensitively (e.g. mouse 'Foxa2' with 'FOXA2')")

    analysis = run.add_argument_group("analysis")
    analysis.add_argument("--nperm", type=int, default=1000, metavar="N",
                          help="number of permutations (default: 1000)")
    refine = analysis.add_mutually_exclusive_group()
    refine.add_argument("--no-refine", action="store_true",
                        help="permutations only: no multilevel refinement of small p-values")
    refine.add_argument("--refine-all", action="store_true",
                        help="refine the p-value of every gene set, not only those the permutations cannot resolve")
    analysis.add_argument("--seed", type=int, default=42, help="random seed (default: 42)")
    analysis.add_argument("--min-size", type=int, default=15, metavar="N",
                          help="smallest gene set tested, in genes present in the ranking (default: 15)")
    analysis.add_argument("--max-size", type=int, default=500, metavar="N",
                          help="largest gene set tested (default: 500)")
    analysis.add_argument("--eps", type=float, default=1e-50,
                          help="smallest p-value computed; smaller ones are reported as eps (default: 1e-50)")
    analysis.add_argument("--score-type", choices=["std", "pos", "neg"], default="std",
                          help="std: two-sided; pos/neg: one-sided for all-positive/negative rankings")
    analysis.add_argument("--gsea-param", type=float, default=1.0, metavar="P",
                          help="weight exponent of the scores (default: 1)")
    analysis.add_argument("--sample-size", type=int, default=101, metavar="N",
                          help="sample size of the multilevel method (default: 101)")
    analysis.add_argument("--threads", type=int, metavar="N",
                          help="worker threads, or worker processes with several rankings (default: all cores)")

    output = run.add_argument_group("output")
    output.add_argument("--top", type=int, default=10, metavar="N",
                        help="pathways shown per direction in the summary and the plots (default: 10)")
    output.add_argument("--plots", action="store_true",
                        help="also draw PNG files: a summary plot and the enrichment plot of each top pathway")
    output.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return parser


def _version() -> str:
    from . import __version__
    return __version__


# Python's parameter names as the command line spells them, for messages.
CLI_SPELLINGS = [("score_col=", "--score-col "), ("gene_col=", "--gene-col "), ("na='drop'", "--drop-na"),
                 ("ignore_case=True", "--ignore-case"), ("duplicates=", "--duplicates "),
                 ("score_type=", "--score-type "), ("min_size", "--min-size"), ("max_size", "--max-size"),
                 ("sample_size", "--sample-size"), ("gsea_param", "--gsea-param"), ("nperm", "--nperm"),
                 ("threads", "--threads"), ("eps", "--eps")]


def cli_message(text: str) -> str:
    """A message of the Python API in the command line's own spellings."""
    for python, flag in CLI_SPELLINGS:
        text = re.sub(r"(?<![\w-])" + re.escape(python) + (r"(?!\w)" if python[-1].isalnum() else ""), flag, text)
    text = re.sub(r" \(--[\w-]+( on the command line)?\)", "", text)
    return re.sub(r"(--[\w-]+) (?=[;,.)]|$)", r"\1", text)


def _engine_options(args: argparse.Namespace) -> dict[str, Any]:
    refine = False if args.no_refine else "all" if args.refine_all else True
    return engine_options(min_size=args.min_size, max_size=args.max_size, nperm=args.nperm, refine=refine,
                          eps=args.eps, score_type=args.score_type, gsea_param=args.gsea_param,
                          sample_size=args.sample_size, seed=args.seed, threads=args.threads)


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
    if not gmt.lower().endswith((".gmt", ".gmt.gz")) and any(p.lower().endswith((".gmt", ".gmt.gz"))
                                                             for p in rank_files):
        raise UserError(f"the GMT file must come last: rsvelmo run RANKS ... GENE_SETS (got {gmt} last)")
    names = _unique([_ranking_name(p) for p in rank_files])
    return {name: read_ranks(path, args.gene_col, args.score_col, args.duplicates, na)
            for name, path in zip(names, rank_files)}, gmt


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "NA"
    if isinstance(value, float):
        return repr(value)  # shortest text that reads back as the same double
    return str(value)


@contextlib.contextmanager
def atomic_output(path: str, mode: str = "w"):
    """Yields a temporary file next to `path` that replaces `path` only once
    it is complete: a failure (a full disk, Ctrl-C) leaves the previous file
    or none, never half of one."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".rsvelmo-", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, mode, **({"encoding": "utf-8", "newline": "\n"} if "b" not in mode else {})) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_table(path: str, tables: Sequence[tuple[str | None, list[dict[str, Any]]]],
                descriptions: dict[str, str | None]) -> None:
    """Writes (ranking name, records) pairs as one TSV: a leading ``ranking``
    column when names are given, the gene set's description, the leading
    edge joined with commas, doubles in full precision and NA where the
    analysis computed no value."""
    named = any(name is not None for name, _ in tables)
    columns = ["pathway", "description", "size", *FLOAT_COLUMNS, "leading_edge", "leading_edge_size"]
    with atomic_output(path) as f:
        f.write("\t".join((["ranking"] if named else []) + columns) + "\n")
        for name, records in tables:
            for r in records:
                cells = [r["pathway"], descriptions.get(r["pathway"]) or "", r["size"],
                         *(r[c] for c in FLOAT_COLUMNS), ",".join(r["leading_edge"]), len(r["leading_edge"])]
                f.write("\t".join(([name] if named else []) + [_cell(c) for c in cells]) + "\n")


def _significant(records, direction: int, top: int) -> list[dict[str, Any]]:
    chosen = [r for r in records
              if r["nes"] is not None and r["nes"] == r["nes"] and (r["nes"] > 0) == (direction > 0)
              and r["nes"] != 0]
    return chosen[:top]


def label(pathway: str, descriptions: dict[str, str | None]) -> str:
    """The text that names a gene set: its description when that is a name,
    never a URL (MSigDB puts links there)."""
    text = descriptions.get(pathway) or ""
    if not text or text == pathway or re.match(r"^[a-z][a-z0-9+.-]*://", text, re.I):
        return pathway
    return f"{pathway} {text}"


def summary(name: str, genes: int, sets_read: int, records: list[dict[str, Any]],
            descriptions: dict[str, str | None], args) -> str:
    tested = len(records)
    lines = [f"{name}: {genes} genes, {sets_read} gene sets read, {tested} tested "
             f"(sizes {args.min_size} to {args.max_size})"]
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


def draw_plots(folder: str, ranks: dict[str, float], gene_sets: dict[str, list[str]],
               descriptions: dict[str, str | None], records: list[dict[str, Any]], args) -> int:
    import matplotlib
    matplotlib.use("Agg")  # files only, never a window
    from . import plot

    os.makedirs(folder, exist_ok=True)
    figure = plot.summary_plot(records, top=args.top, labels={r["pathway"]: label(r["pathway"], descriptions)
                                                              for r in records})
    _save(figure, os.path.join(folder, "summary.png"))
    count = 1
    for direction in (1, -1):
        for rank, r in enumerate(_significant(records, direction, args.top), start=1):
            tag = "up" if direction > 0 else "down"
            file_name = f"{tag}_{rank:02d}_{_safe_file_name(r['pathway'])}.png"
            figure = plot.enrichment_plot(ranks, gene_sets.get(r["pathway"], []), r, gsea_param=args.gsea_param,
                                          title=label(r["pathway"], descriptions))
            _save(figure, os.path.join(folder, file_name))
            count += 1
    return count


def _save(figure, path: str) -> None:
    import matplotlib.pyplot as plt
    with atomic_output(path, "wb") as f:
        figure.savefig(f, format="png")
    plt.close(figure)


def _clear_earlier_outputs(folder: str) -> None:
    """A new run owns results.tsv, the per-ranking *.results.tsv and plots/:
    what an earlier run left there would mix with the new results."""
    for entry in os.listdir(folder):
        if entry.endswith(".results.tsv") or (entry.startswith(".rsvelmo-") and entry.endswith(".part")):
            os.unlink(os.path.join(folder, entry))
    shutil.rmtree(os.path.join(folder, "plots"), ignore_errors=True)


def run(args: argparse.Namespace) -> int:
    if args.top < 0:
        raise UserError("--top must be 0 or more")
    options = _engine_options(args)
    if args.plots:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UserError("--plots needs matplotlib; install it with: pip install 'rsvelmopy[plot]'") from None
    rankings, gmt = _read_rankings(args)
    gene_sets = GeneSets.load(gmt)
    checked = {}
    for name, ranks in rankings.items():
        source = name if len(rankings) > 1 or args.matrix else args.files[0]
        checked[name], sets = prepare(ranks, gene_sets, options, ignore_case=args.ignore_case,
                                      na="drop" if args.drop_na else "error", duplicates=args.duplicates,
                                      source=source)
    os.makedirs(args.out, exist_ok=True)

    if len(checked) == 1:
        (name, ranks), = checked.items()
        show = not args.quiet and sys.stderr.isatty() and _has_tqdm()
        report, close = _tqdm_progress(show)
        try:
            results = {name: rsvelmopy.run_gsea(ranks, sets.sets, progress=report, diagnostics=False, **options)}
        finally:
            close()
    else:
        results = run_many(checked, sets, options, progress=None if not args.quiet else False,
                           max_workers=args.threads)

    _clear_earlier_outputs(args.out)
    descriptions = gene_sets.descriptions
    rows = [(name, sort_records(records)) for name, records in results.items()]
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
            count = draw_plots(folder, checked[name], sets.sets, descriptions, records, args)
            plots = f"\n  plots: {folder}/ ({count} files)"
        if not args.quiet:
            print(summary(name, len(checked[name]), len(gene_sets.sets), records, descriptions, args) + plots)
    if not args.quiet:
        print(f"results: {combined}" + (f" (and one table per ranking in {args.out})" if several else ""))
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
