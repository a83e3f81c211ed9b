"""The ``rsvelmo score`` command: gene-set scores per sample of an expression
matrix, written as ``scores.tsv`` (and with two groups ``differential.tsv``)
by the output-folder road of ``rsvelmo run``."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Callable, Mapping

from .._options import SCORE_OUTPUT, SCORING, add_arguments, from_arguments, validate_scoring
from .._outputs import OutputFolder, atomic_output, file_record, provenance
from ..analyses.scores import compare_score_groups, score_samples
from ..readers.expression import read_expression
from ..readers.gene_sets import GeneSets
from ..readers.labels import read_groups
from .outputs import UserError, figure_writer, label

__all__ = ["add_parser", "score", "write_frame"]

_ANALYSIS = [o.name for o in SCORING]
TEST = "Welch's two-sample t-test on the scores, Benjamini-Hochberg adjusted"


SCORE_DESCRIPTION = """\
Gene-set scores per sample, as Bioconductor GSVA 1.46's gsva() computes them:
give it an expression matrix (genes x samples: GCT, TSV/CSV, optionally .gz,
or .h5ad) and gene sets; it writes scores.tsv, one row per gene set and one
column per sample. --method gsva (default; --kcdf gaussian for log-scale
values, poisson for counts), ssgsea, zscore or plage. With --groups, the
heatmap of --plots shows each sample's group, and with two groups
differential.tsv (and plots/differential) gives the sets whose scores differ
most, by Welch's two-sample t-test on the scores with Benjamini-Hochberg
adjustment.
"""

SCORE_EPILOG = """\
examples:
  rsvelmo score expression.gct.gz pathways.gmt -o scores
  rsvelmo score counts.tsv pathways.gmt -o scores --kcdf poisson
  rsvelmo score expression.gct.gz go_bp -o scores --method ssgsea --no-ssgsea-norm
  rsvelmo score expression.gct.gz pathways.gmt -o scores --groups phenotypes.cls --plots
  rsvelmo score cells.h5ad pathways.gmt -o scores --layer logcounts --groups cell_type --plots

Genes with the same value in every sample are left out (but by ssgsea), and
gene sets with no gene in the matrix are not scored, as GSVA does; a warning
counts both. OUTDIR's run.json records the settings, the inputs and which
scores depend on the other samples.
"""


def add_parser(commands) -> None:
    """``rsvelmo score``: its arguments and options."""
    command = commands.add_parser(
        "score",
        help="score gene sets in every sample of an expression matrix (GSVA, ssGSEA, z-score, PLAGE)",
        usage="rsvelmo score [options] EXPRESSION GENE_SETS -o OUTDIR",
        description=SCORE_DESCRIPTION,
        epilog=SCORE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument("expression", metavar="EXPRESSION", help="genes x samples: GCT, TSV/CSV (optionally .gz) "
                         "or .h5ad")  # fmt: skip
    command.add_argument("gene_sets", metavar="GENE_SETS", help="a GMT or MSigDB JSON file, or a shipped collection")
    command.add_argument("-o", "--out", required=True, metavar="OUTDIR", help="folder for scores.tsv and the plots")
    add_arguments(command.add_argument_group("scores"), SCORING)
    add_arguments(command.add_argument_group("input and output"), SCORE_OUTPUT)
    command.set_defaults(handler=command_of)


def command_of(args) -> int:
    return score(args.expression, args.gene_sets, args.out, from_arguments(args, SCORING + SCORE_OUTPUT))


def write_frame(path: str, table, index: bool = True) -> None:
    """A table as TSV, doubles in full precision (they read back as the same
    bits) and NA where there is no value."""
    with atomic_output(path) as f:
        table.to_csv(f, sep="\t", index=index, float_format="%.17g", na_rep="NA", lineterminator="\n")


def _check_plotting() -> None:
    try:
        import matplotlib
    except ImportError:
        raise UserError("--plots needs matplotlib; install it with: pip install 'rsvelmopy[plot]'") from None
    matplotlib.use("Agg")  # files only, never a window


def _groups(settings: Mapping[str, Any], matrix) -> tuple[str, list[str]] | None:
    if settings["groups"] is None:
        return None
    if settings["group_col"] is not None and matrix.obs is not None and settings["groups"] in matrix.obs.columns:
        raise UserError("--group-col names a column of a sample sheet; --groups already names a column of obs")
    return read_groups(settings["groups"], matrix.samples, obs=matrix.obs, label_col=settings["group_col"])


def _two_groups(labels: list[str]) -> bool:
    found = list(dict.fromkeys(labels))
    return len(found) == 2 and all(labels.count(g) >= 2 for g in found)


def score(expression: str, gene_sets: str, out: str, given: Mapping[str, Any]) -> int:
    """Score the command line's matrix and write OUTDIR."""
    started = time.monotonic()
    settings = validate_scoring(given)
    quiet = settings["quiet"]
    if settings["plots"]:
        _check_plotting()
    with OutputFolder(out) as folder:
        matrix = read_expression(expression, layer=settings["layer"], map_ids=settings["map_ids"],
                                 duplicates=settings["expression_duplicates"])  # fmt: skip
        sets = GeneSets.load(gene_sets)
        groups = _groups(settings, matrix)
        two = groups is not None and _two_groups(groups[1])
        # What is in the way is said before the scores are computed, not after.
        folder.check(["scores.tsv", *(["differential.tsv"] if two else [])], ["plots"] if settings["plots"] else [])
        if not quiet:
            _print_reading(matrix, sets, groups)
        table = score_samples(matrix, sets, **{n: settings[n] for n in _ANALYSIS})
        differential = compare_score_groups(table, groups[1]) if two else None
        if groups is not None and not two and not quiet:
            print("groups: no two-group test (it needs exactly two groups of at least two samples)", file=sys.stderr)
        outputs = _outputs(table, differential, groups, sets, settings)
        folder.write(outputs, lambda: _record(table, differential, matrix, sets, groups, settings, started, expression))
    if not quiet:
        print(summary(table, differential, settings, len(sets.sets), sets.descriptions))
        print(f"scores: {folder.file('scores.tsv')}")
    return 0


def _print_reading(matrix, sets: GeneSets, groups) -> None:
    print(f"read {matrix.describe()}", file=sys.stderr)
    print(f"read {len(sets.sets):,} gene sets from {sets.source}", file=sys.stderr)
    if groups is not None:
        counts = {g: groups[1].count(g) for g in dict.fromkeys(groups[1])}
        shown = ", ".join(f"{g!r} ({n})" for g, n in counts.items())
        print(f"read the groups of {groups[0]}: {shown}", file=sys.stderr)


def _outputs(table, differential, groups, sets: GeneSets, settings) -> dict[str, Callable[[str], None]]:
    """Every output of the run: its name in OUTDIR -> the function that writes it."""
    outputs: dict[str, Callable[[str], None]] = {"scores.tsv": lambda path: write_frame(path, table)}
    if differential is not None:
        outputs["differential.tsv"] = lambda path: write_frame(path, differential, index=False)
    if settings["plots"]:
        from ..plot.scores import differential_plot, scores_heatmap

        extension = settings["format"]
        labels = groups[1] if groups is not None else None
        title = f"{settings['method']} scores"
        names = {n: label(n, sets.descriptions) for n in table.index}
        outputs[f"plots/heatmap.{extension}"] = figure_writer(
            lambda: scores_heatmap(table, labels, title=title, labels=names), extension
        )
        if differential is not None:
            outputs[f"plots/differential.{extension}"] = figure_writer(
                lambda: differential_plot(differential, top=settings["top"], labels=names), extension
            )
    return outputs


def _record(table, differential, matrix, sets: GeneSets, groups, settings, started: float, expression: str):
    """What run.json says of the run: the common provenance, then what was scored."""
    sheet = settings["groups"]
    record = provenance(
        settings=settings,
        engine={n: table.attrs["settings"][n] for n in _ANALYSIS},
        inputs=[file_record(expression), sets.record]
        + ([file_record(sheet)] if groups is not None and os.path.isfile(sheet) else []),
        rankings={},
        seconds=time.monotonic() - started,
    )
    del record["rankings"], record["seed"]
    attrs = table.attrs
    record["expression"] = {
        "read": attrs["expression"],
        "genes": len(matrix.genes),
        "samples": len(matrix.samples),
        "constant_genes": len(attrs["constant_genes"]),
        "constant_dropped": attrs["constant_dropped"],
    }
    record["scores"] = {
        "gene_sets_read": len(sets.sets),
        "scored": len(table),
        "not_scored": attrs["not_scored"],
        "depends_on_other_samples": attrs["depends_on_other_samples"],
    }
    if differential is not None:
        record["differential"] = {"test": TEST, "groups": [c[len("mean_") :] for c in differential.columns[1:3]]}
    return record


def summary(table, differential, settings: Mapping[str, Any], sets_read: int, descriptions=None) -> str:
    """What ``rsvelmo score`` prints: what was scored, how, and the sets that differ most."""
    attrs = table.attrs
    method, tau = settings["method"], attrs["settings"]["tau"]
    how = {
        "gsva": f"kcdf {settings['kcdf']}, tau {tau:g}, "
        + ("max deviation" if not settings["mx_diff"] else "|max| - |min|" if settings["abs_ranking"] else "max + min"),
        "ssgsea": f"tau {tau:g}, " + ("normalised by the range of all scores" if settings["ssgsea_norm"] else "raw"),
        "zscore": "combined z-score",
        "plage": "first singular vector (sign arbitrary per set)",
    }[method]
    values = table.to_numpy()
    lines = [
        f"{method} ({how}): {len(table):,} of {sets_read:,} gene sets scored in {table.shape[1]:,} samples",
        f"  scores from {values.min():.3f} to {values.max():.3f}; a sample's scores "
        + ("depend on the other samples" if attrs["depends_on_other_samples"] else "depend on that sample only"),
    ]
    if differential is not None:
        a, b = (c[len("mean_") :] for c in differential.columns[1:3])
        hits = int((differential["padj"] < 0.05).sum())
        lines.append(f"  {a} v {b} ({TEST}): {hits} gene sets with padj < 0.05")
        for r in differential.head(settings["top"]).to_dict("records"):
            padj = "NA" if r["padj"] != r["padj"] else f"{r['padj']:.2e}"
            lines.append(f"    {r['difference']:+7.3f}  padj {padj:>8}  {label(r['gene_set'], descriptions or {})}")
    return "\n".join(lines)
