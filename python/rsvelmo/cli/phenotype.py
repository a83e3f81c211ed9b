"""The ``rsvelmo phenotype`` command: an expression matrix and the samples'
classes, analysed with a null made by permuting the labels; the outputs take
the road of ``rsvelmo run`` (results.tsv, run.json, plots, report)."""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from typing import Any, Callable, Mapping

from .._clusters import annotate_clusters, representatives
from .._options import EXPRESSION, OPTIONS, OUTPUT, PHENOTYPE, READING, add_arguments, from_arguments, validate
from .._outputs import OutputFolder, file_record, provenance
from .._results import known
from ..analyses.phenotype import FLOATS, OPTION_NAMES, PhenotypeInputs, analyse_phenotype, prepare_phenotype
from .outputs import figure_writer, figures_of, label, report_options, top_sets
from .run import check_extras, write_table

__all__ = ["add_parser", "phenotype", "summary"]

PHENOTYPE_DESCRIPTION = """\
Gene set enrichment of an expression matrix with a null made by permuting
the sample labels (GSEA's original method), which keeps the correlation
between genes. Give it a genes x samples matrix (GCT 1.2/1.3, a TSV/CSV table
with the genes in the first column or R's row names, an .h5ad; optionally
gzipped), the samples' classes (a CLS file, or a sample sheet with
--label-col) and the gene sets. With C(n, nA) <= --nperm distinct label
assignments (3 v 3: 20) every one is enumerated, and p >= 1/C(n, nA).
"""

PHENOTYPE_EPILOG = """\
examples:
  rsvelmo phenotype expression.gct samples.cls pathways.gmt -o results
  rsvelmo phenotype counts_log2cpm.csv sheet.csv go_bp -o results --label-col condition --classes KO WT
  rsvelmo phenotype expression.gct samples.cls pathways.gmt -o results --permutations random --nperm 10000

results.tsv has, per gene set: es, nes, pval (nominal), padj (Benjamini-Hochberg
over pval), fdr (GSEA's q-value), fwer and the leading edge. Read padj to call
gene sets at a false discovery rate; fdr is comparable with the GSEA desktop
tool (which suggests fdr < 0.25 for exploration).
"""

PHENOTYPE_OPTIONS = ("min_size", "max_size", "nperm", "seed", "threads")


def add_parser(commands) -> None:
    """``rsvelmo phenotype``: its arguments and options."""
    command = commands.add_parser(
        "phenotype",
        help="enrichment of an expression matrix with a null made by permuting the sample labels",
        usage="rsvelmo phenotype [options] EXPRESSION LABELS GENE_SETS -o OUTDIR",
        description=PHENOTYPE_DESCRIPTION,
        epilog=PHENOTYPE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument("expression", metavar="EXPRESSION", help="genes x samples: .gct, .tsv, .csv, .txt, "
                         ".h5ad (optionally .gz)")  # fmt: skip
    command.add_argument("labels", metavar="LABELS", help="the samples' classes: a .cls file, or a sample sheet "
                         "(sample names in the first column) with --label-col")  # fmt: skip
    command.add_argument("gene_sets", metavar="GENE_SETS", help="a GMT or MSigDB JSON file, or a shipped "
                         "collection (go_bp, go_mf, go_cc)")  # fmt: skip
    command.add_argument("-o", "--out", required=True, metavar="OUTDIR",
                         help="folder for results.tsv and the plots (created if missing)")  # fmt: skip
    reading = [o for o in READING if o.name in ("gene_col", "map_ids", "na")]
    add_arguments(command.add_argument_group("input"), EXPRESSION + tuple(reading))
    shared = tuple(OPTIONS[n] for n in PHENOTYPE_OPTIONS)
    add_arguments(command.add_argument_group("analysis"), PHENOTYPE + shared)
    add_arguments(command.add_argument_group("output"), OUTPUT)
    command.set_defaults(handler=command_of)


def command_of(args) -> int:
    options = EXPRESSION + PHENOTYPE + OUTPUT + tuple(OPTIONS[n] for n in PHENOTYPE_OPTIONS)
    options += tuple(o for o in READING if o.name in ("gene_col", "map_ids", "na"))
    return phenotype(args.expression, args.labels, args.gene_sets, args.out, from_arguments(args, options))


def summary(inputs: PhenotypeInputs, table, records, settings: Mapping[str, Any]) -> str:
    """The lines printed after the run: what was compared, the calls, the top sets."""
    run = table.attrs["run"]
    a, b = run["classes"]
    if run["permutations"] == "exact":
        null = f"exact: all {run['null_size']:,} assignments"
    else:
        null = f"random: {run['null_size']:,} permutations"
    cut = settings["padj"]
    lines = [
        f"{a} v {b} ({run['metric']}, {null}): {run['genes']:,} genes, {run['gene_sets_read']:,} gene sets read, "
        f"{run['gene_sets_tested']:,} tested (sizes {run['min_size']} to {run['max_size']})"
    ]
    for column, at in (("padj", cut), ("fdr", 0.25)):
        hits = [r for r in records if known(r[column]) and r[column] < at]
        up = sum(1 for r in hits if r["nes"] > 0)
        lines.append(f"  {column} < {at:g}: {len(hits)} gene sets ({up} up in {a}, {len(hits) - up} down)")
    for heading, direction in ((f"top up in {a}", 1), (f"top down in {a}", -1)):
        shown = top_sets(records, direction, settings["top"])
        lines.append(f"  {heading}:" + ("" if shown else " none"))
        for r in shown:
            lines.append(
                f"    NES {r['nes']:+6.2f}  p {r['pval']:.3g}  padj {r['padj']:.2f}  fdr {r['fdr']:.2f}  "
                f"{label(r['pathway'], inputs.gene_sets.descriptions)}"
            )
    return "\n".join(lines)


def _prepare(expression: str, labels: str, gene_sets: str, settings, quiet: bool) -> PhenotypeInputs:
    """Read the inputs; say what was read before the warnings about it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        inputs = prepare_phenotype(expression, labels, gene_sets, settings)
    if not quiet:
        print(inputs.matrix.describe(), file=sys.stderr)
        print(inputs.labels.describe(), file=sys.stderr)
    for w in caught:
        warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    return inputs


def _outputs(inputs: PhenotypeInputs, table, records, settings, given_report: bool) -> dict[str, Callable[[str], None]]:
    descriptions = inputs.gene_sets.descriptions
    outputs: dict[str, Callable[[str], None]] = {
        "results.tsv": lambda path: write_table(path, [(None, records)], descriptions, FLOATS)
    }
    ranking = table.attrs["ranking"]
    figure_settings = {**settings, "gsea_param": settings["weight"]}
    if settings["plots"]:
        from ..plot import expression_heatmap, running_sums_plot
        from ..plot._base import top_sets

        extension = settings["format"]
        figures = figures_of(ranking, inputs.gene_sets.sets, records, figure_settings)
        shown = representatives(records) if settings["collapse"] else records
        if "running_sums" not in figures:
            # A small design can make no set significant; the running sums of the best by
            # p-value still show what the ranking does, as the dot plot and heatmaps do.
            best, _ = top_sets(shown, 4, settings["padj"])
            figures["running_sums"] = lambda: running_sums_plot(
                ranking, inputs.gene_sets.sets, best, settings["weight"]
            )
        for name, draw in figures.items():
            outputs[f"plots/{name}.{extension}"] = figure_writer(draw, extension)
        frame = inputs.matrix.frame()
        outputs[f"plots/expression_heatmap.{extension}"] = figure_writer(
            lambda: expression_heatmap(shown, frame, table.attrs["run"]["labels"], padj_cut=settings["padj"],
                                       ranking=ranking, classes=table.attrs["run"]["classes"]),
            extension,
        )  # fmt: skip
    if given_report:
        outputs["report.html"] = lambda path: _write_report(path, inputs, table, records, settings)
    return outputs


def _write_report(path: str, inputs: PhenotypeInputs, table, records, settings) -> None:
    from ..reporting.report import report

    run = table.attrs["run"]
    report(
        records,
        table.attrs["ranking"],
        inputs.gene_sets.sets,
        path,
        **report_options(settings, settings["weight"]),
        inputs={
            "expression": run["expression"],
            "labels": run["label_source"],
            "gene sets": inputs.gene_sets.source,
        },
        title=f"rsvelmo phenotype: {run['classes'][0]} v {run['classes'][1]}",
    )


def phenotype(expression: str, labels: str, gene_sets: str, out: str, given: Mapping[str, Any]) -> int:
    """Run the phenotype-permutation analysis of the command line and write OUTDIR."""
    started = time.monotonic()
    settings = validate(given, OPTION_NAMES + [o.name for o in OUTPUT])
    check_extras(settings)
    with OutputFolder(out) as folder:
        # What is in the way is said before the analysis, not after it.
        folder.check(["results.tsv", *(["report.html"] if settings["report"] else [])],
                     ["plots"] if settings["plots"] else [])  # fmt: skip
        inputs = _prepare(expression, labels, gene_sets, settings, settings["quiet"])
        table = analyse_phenotype(inputs, settings)
        records = table.to_dict("records")
        annotate_clusters(records, settings["padj"], settings["min_overlap"])
        outputs = _outputs(inputs, table, records, settings, settings["report"])
        engine = {k: settings[k] for k in ("metric", "permutations", "nperm", "weight", "seed")}
        engine["threads"] = settings["threads"] or 0
        files = [file_record(p) for p in (expression, labels) if os.path.isfile(p)]

        def record() -> dict[str, Any]:
            facts = provenance(
                engine=engine,
                settings=settings,
                inputs=[*files, inputs.gene_sets.record],
                rankings={},
                seconds=time.monotonic() - started,
            )
            return {**facts, "phenotype": dict(table.attrs["run"])}

        folder.write(outputs, record)
    if not settings["quiet"]:
        text = summary(inputs, table, records, settings)
        if settings["plots"]:
            figures = sum(1 for o in outputs if o.startswith("plots/"))
            text += f"\n  plots: {folder.file('plots/')} ({figures} files)"
        print(text)
        print(
            f"results: {folder.file('results.tsv')}"
            + (f"\nreport: {folder.file('report.html')}" if settings["report"] else "")
        )
    return 0
