"""Gene set enrichment of an expression matrix with a null made by permuting
the sample labels (the original GSEA method): read the matrix, the labels
and the gene sets, check the design, run the engine, and give back the
results table with the observed ranking and the run's facts in its ``attrs``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Mapping

from .._engine import run_phenotype
from .._errors import Advice, RankingError, warn
from .._options import EXPRESSION, PHENOTYPE, READING, validate
from .._results import require, sort_records
from ..readers.gene_sets import GeneSets

if TYPE_CHECKING:  # numpy comes with the readers, imported when an analysis runs, not with the package
    import numpy as np

    from ..readers.expression import Expression
    from ..readers.labels import Labels

__all__ = ["gsea_phenotype", "PhenotypeInputs", "prepare_phenotype", "analyse_phenotype", "OPTION_NAMES", "COLUMNS"]

COLUMNS = ["pathway", "description", "size", "es", "nes", "pval", "padj", "fdr", "fwer", "leading_edge",
           "leading_edge_size"]  # fmt: skip
FLOATS = ("es", "nes", "pval", "padj", "fdr", "fwer")
# The metrics with a standard deviation of each class, which 2 samples barely estimate.
NEEDS_SD = ("signal_to_noise", "t_test")
# Below this many distinct label assignments the null is coarse: the design warning.
FEW_ASSIGNMENTS = 1000
_SHARED = ("min_size", "max_size", "nperm", "seed", "threads")
OPTION_NAMES = (
    [o.name for o in PHENOTYPE + EXPRESSION]
    + list(_SHARED)
    + [o.name for o in READING if o.name in ("gene_col", "map_ids", "na")]
)


@dataclass
class PhenotypeInputs:
    """What the analysis runs on: the matrix (the compared samples, genes
    with a value in each), the labels, the gene sets and the row indices of
    each tested set, and what reading did, for the printed lines and run.json."""

    matrix: Expression
    labels: Labels
    gene_sets: GeneSets
    tested: dict[str, list[int]]
    sizes: dict[str, int]
    notes: list[str] = field(default_factory=list)

    @property
    def assignments(self) -> int:
        a, b = self.labels.sizes
        return math.comb(a + b, a)

    def design(self) -> str:
        """One line such as ``3 v 3 samples: 20 distinct label assignments``."""
        a, b = self.labels.sizes
        return f"{a} v {b} samples: {self.assignments:,} distinct label assignments"


def prepare_phenotype(expression, labels, gene_sets, options: Mapping[str, Any], stacklevel: int = 2):
    """Read and check the inputs of one analysis (`options`: checked options)."""
    from ..readers.expression import read_expression
    from ..readers.labels import read_labels

    matrix = read_expression(
        expression,
        layer=options["layer"],
        gene_col=options["gene_col"],
        map_ids=options["map_ids"],
        duplicates=options["expression_duplicates"],
    )
    classes = read_labels(
        labels, matrix.samples, obs=matrix.obs, label_col=options["label_col"], classes=options["classes"]
    )
    if not classes.keep.all():
        matrix = matrix.take_samples(classes.keep)
    _check_class_sizes(classes, options["metric"])
    matrix, notes = _missing_values(matrix, options["na"], stacklevel + 1)
    if options["metric"] in ("ratio_of_classes", "log2_ratio_of_classes"):
        _check_ratio_values(matrix, options["metric"])
    sets = GeneSets.load(gene_sets)
    tested, sizes = _match_sets(sets, matrix, options["min_size"], options["max_size"])
    inputs = PhenotypeInputs(matrix, classes, sets, tested, sizes, notes)
    if inputs.assignments < FEW_ASSIGNMENTS:
        n, half = inputs.assignments, ""
        a, b = classes.sizes
        if a == b and options["metric"] != "ratio_of_classes":
            # Swapping equal classes negates these metrics, which reverses the ranking and
            # negates every ES: each sign gets exactly half of the null.
            n, half = n // 2, " (swapping the classes mirrors each ES, so each sign gets half of them)"
        warn(
            f"{inputs.design()}{half}, so no p-value can be below {1 / n:.2g} (1/{n:,}); for designs this small "
            "the preranked analysis of a moderated statistic (limma's t, DESeq2's stat) is the better choice",
            stacklevel=stacklevel + 1,
        )
    return inputs


def _check_class_sizes(classes: Labels, metric: str) -> None:
    least = 3 if metric in NEEDS_SD else 1
    for name, size in zip(classes.classes, classes.sizes):
        if size < least:
            raise RankingError(
                f"{classes.source}: class {name!r} has {size} sample(s); {metric} needs at least {least} per class "
                "(a standard deviation of each): add samples or compare means with ",
                Advice("metric", "diff_of_classes"),
            )  # fmt: skip


def _missing_values(matrix: Expression, na: str, stacklevel: int) -> tuple[Expression, list[str]]:
    import numpy as np

    values = matrix.dense()
    infinite = np.isinf(values)
    if infinite.any():
        row, column = map(int, np.argwhere(infinite)[0])
        raise RankingError(
            f"{matrix.source}: gene {matrix.genes[row]!r} has the value {values[row, column]} in sample "
            f"{matrix.samples[column]!r}; every value must be finite"
        )
    bad = np.isnan(values).any(axis=1)
    if not bad.any():
        return matrix, []
    first = int(np.flatnonzero(bad)[0])
    column = int(np.flatnonzero(np.isnan(values[first]))[0])
    if na == "error":
        raise RankingError(
            f"{matrix.source}: {int(bad.sum()):,} gene(s) have a missing value (the first: {matrix.genes[first]!r} "
            f"in sample {matrix.samples[column]!r}); leave them out with ", Advice("na", "drop"),
        )  # fmt: skip
    note = f"{int(bad.sum()):,} genes with a missing value dropped"
    warn(f"{matrix.source}: {note} (the first: {matrix.genes[first]!r})", stacklevel=stacklevel + 1)
    return matrix.take_genes(~bad, note), [note]


def _check_ratio_values(matrix: Expression, metric: str) -> None:
    import numpy as np

    values = matrix.dense()
    negative = values < 0
    if negative.any():
        row, column = map(int, np.argwhere(negative)[0])
        raise RankingError(
            f"{matrix.source}: gene {matrix.genes[row]!r} has {values[row, column]:g} in sample "
            f"{matrix.samples[column]!r}; {metric} compares class means on a linear scale (counts, CPM), which "
            "are never negative: give such values, or rank log-scale values with ",
            Advice("metric", "diff_of_classes"),
        )  # fmt: skip


def _match_sets(sets: GeneSets, matrix: Expression, min_size: int, max_size: int):
    row = {g: i for i, g in enumerate(matrix.genes)}
    tested, sizes = {}, {}
    for name, genes in sets.sets.items():
        rows = list(dict.fromkeys(row[g] for g in genes if g in row))
        # The running sum needs a gene outside the set; a set of every gene is never tested.
        if min_size <= len(rows) <= max_size and len(rows) < len(row):
            tested[name], sizes[name] = rows, len(rows)
    if not tested:
        raise RankingError(
            f"{sets.source}: no gene set has {min_size} to {max_size} genes of the matrix ({len(row):,} genes; "
            f"{len(sets.sets):,} sets read); are the gene names of one kind? (see ",
            Advice("map_ids", "auto"), ")",
        )  # fmt: skip
    return tested, sizes


def _bh(pvals: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg adjusted p-values; NaN stays NaN and is not counted."""
    import numpy as np

    out = np.full(pvals.shape, math.nan)
    known = np.flatnonzero(~np.isnan(pvals))
    if known.size:
        order = known[np.argsort(pvals[known], kind="stable")]
        ranked = pvals[order] * known.size / np.arange(1, known.size + 1)
        out[order] = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], 1.0)
    return out


def analyse_phenotype(inputs: PhenotypeInputs, options: Mapping[str, Any], sort: bool = True):
    """Run the engine on prepared inputs; the results table with its attrs."""
    import numpy as np

    pd = require("pandas", "pandas", "rsvelmo.gsea_phenotype")
    names = list(inputs.tested)
    result = run_phenotype(
        inputs.matrix.dense(),
        inputs.labels.in_a.tolist(),
        [inputs.tested[n] for n in names],
        metric=options["metric"],
        permutations=options["permutations"],
        nperm=options["nperm"],
        weight=options["weight"],
        seed=options["seed"],
        threads=options["threads"] or 0,
    )
    genes = inputs.matrix.genes
    pvals = np.array([s["pval"] for s in result["sets"]], dtype=np.float64)
    padj = _bh(pvals)
    records = []
    for i, (name, s) in enumerate(zip(names, result["sets"])):
        records.append({
            "pathway": name, "description": inputs.gene_sets.descriptions.get(name), "size": inputs.sizes[name],
            "es": s["es"], "nes": s["nes"], "pval": s["pval"], "padj": float(padj[i]), "fdr": s["fdr"],
            "fwer": s["fwer"], "leading_edge": [genes[r] for r in s["leading_edge"]],
            "leading_edge_size": s["leading_edge_size"],
        })  # fmt: skip
    if sort:
        records = sort_records(records)
    table = pd.DataFrame(records, columns=COLUMNS)
    for name in FLOATS:
        table[name] = table[name].astype("float64")
    metric = result["metric"]
    a, b = inputs.labels.classes
    in_a = inputs.labels.in_a
    table.attrs["analysis"] = "phenotype"
    # Gene -> observed metric in ranked order (ties as the engine broke them): the
    # ranking the running sums, the leading-edge heatmap and the report draw.
    table.attrs["ranking"] = {genes[r]: metric[r] for r in result["order"]}
    table.attrs["run"] = {
        "metric": options["metric"],
        "classes": [a, b],
        "class_sizes": list(inputs.labels.sizes),
        "labels": {s: (a if x else b) for s, x in zip(inputs.matrix.samples, in_a)},
        "permutations": "exact" if result["exact"] else "random",
        "assignments": inputs.assignments,
        "null_size": result["permutations"],
        "nperm": options["nperm"],
        "weight": options["weight"],
        "seed": options["seed"],
        "genes": len(genes),
        "samples": len(inputs.matrix.samples),
        "gene_sets_read": len(inputs.gene_sets.sets),
        "gene_sets_tested": len(names),
        "min_size": options["min_size"],
        "max_size": options["max_size"],
        "expression": inputs.matrix.describe(),
        "label_source": inputs.labels.describe(),
    }
    return table


def gsea_phenotype(
    expression: Any,
    labels: Any,
    gene_sets: Any,
    *,
    classes: tuple[str, str] | None = None,
    metric: str = "signal_to_noise",
    permutations: str = "auto",
    nperm: int = 1000,
    weight: float = 1.0,
    min_size: int = 15,
    max_size: int = 500,
    seed: int = 42,
    threads: int | None = None,
    layer: str | None = None,
    label_col: str | int | None = None,
    gene_col: str | int | None = None,
    map_ids: str | None = None,
    duplicates: str = "error",
    na: str = "error",
    sort: bool = True,
):
    """Gene set enrichment of an expression matrix, with a null made by
    permuting the sample labels (GSEA's original method).

    The labels are permuted, not the genes, so the null keeps the
    correlation between the genes of a set, which a gene-set permutation
    ignores. Definitions (σ the sample standard deviation, n - 1):

    - metric (positive: higher in class A): ``signal_to_noise``
      (μA - μB)/(σA + σB); ``t_test`` (μA - μB)/sqrt(σA²/nA + σB²/nB) (for
      both, σ is raised to at least 0.2·|μ|, and a σ still 0 becomes 0.2);
      ``diff_of_classes`` μA - μB; ``ratio_of_classes`` μA/μB;
      ``log2_ratio_of_classes`` log2(μA/μB).
    - ranking: the metric, descending; equal metrics keep the row order.
    - ES: the weighted running sum (a hit steps up by |metric|^weight over
      the set's sum of them, a miss down by 1/(N - size)) farthest from 0,
      the positive one on an exact tie; the leading edge runs up to the
      peak (from the trough on, for a negative ES).
    - permutations: ``'exact'`` every distinct assignment of the labels
      keeping the class sizes, C(n, nA), the observed one among them;
      ``'random'`` `nperm` seeded shuffles; ``'auto'`` exact when C(n, nA)
      <= `nperm`.
    - NES: ES over the mean of the set's null ES of the same sign (the null
      ES normalised alike). pval: the share of same-sign null ES at least as
      extreme: b/m when exact, (b + 1)/(m + 1) when random (never 0).
    - fdr: the share of all same-sign null NES (every set, every
      permutation) reaching NES ((count + 1)/(total + 1) when random) over
      the share of same-sign observed NES reaching it, capped at 1. fwer: the
      share of permutations whose most extreme same-sign null NES over all
      sets reaches NES ((count + 1)/(m + 1) when random). padj:
      Benjamini-Hochberg over pval.

    Read ``padj`` to call gene sets at a false discovery rate (it controls
    it under independence or positive dependence of the tests); ``fdr`` is
    GSEA's own q-value, comparable with the published tool's output (which
    suggests fdr < 0.25 for exploration), and accounts for the correlation
    between gene sets through the shared permutations.

    Parameters
    ----------
    expression : DataFrame, AnnData, str or os.PathLike
        Genes x samples (see :func:`rsvelmo.readers.expression.read_expression`):
        a DataFrame, an AnnData (``X`` or `layer`), a GCT (1.2, 1.3) or a
        text table, optionally gzipped.
    labels : sequence, Series, mapping, str or os.PathLike
        The samples' classes: a sequence in sample order, a Series or dict
        by sample name, an ``obs`` column name, a CLS file, or a sample
        sheet with `label_col`.
    gene_sets : str, os.PathLike or mapping
        A GMT or MSigDB JSON file, a shipped collection's name, or a mapping
        name -> genes.
    classes : (str, str), optional
        Class A and class B (with more than two labels, the two compared).
    metric : {'signal_to_noise', 't_test', 'diff_of_classes', 'ratio_of_classes', 'log2_ratio_of_classes'}
    permutations : {'auto', 'exact', 'random'}
    nperm : int
        Random permutations, and the bound of 'auto'.
    weight : float
        Exponent of |metric| in the running sum.
    min_size, max_size : int
        Gene sets with fewer or more genes in the matrix are not tested.
    seed : int
        Seed of the shuffles; results do not depend on `threads`.
    threads : int, optional
        Worker threads (the first analysis of a process fixes them).
    layer : str, optional
        The AnnData layer to analyse.
    label_col : str or int, optional
        The column of a sample sheet holding the classes.
    gene_col : str or int, optional
        The column of gene names of a text table or DataFrame.
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human gene IDs to current symbols.
    duplicates : {'error', 'mean', 'max'}
        Genes named more than once: refused, or merged sample by sample
        into their mean or maximum expression (a ranking's 'max_abs' of the
        metric is not possible before ranking).
    na : {'error', 'drop'}
        Genes with a missing value: refused (naming the first), or dropped
        with a warning that counts them.
    sort : bool
        Sort rows by p-value, then |NES| descending (as :func:`rsvelmo.gsea`).

    Returns
    -------
    pandas.DataFrame
        One row per tested gene set: pathway, description, size, es, nes,
        pval, padj, fdr, fwer, leading_edge (genes, in ranked order) and
        leading_edge_size. ``attrs['ranking']`` is the observed ranking
        (gene -> metric, in ranked order) and ``attrs['run']`` the run's
        facts (classes and their sizes, permutations exact or random, the
        number of distinct assignments, the null's size, ...).

    Raises
    ------
    RankingError
        Inputs that cannot be analysed: a sample without a label, a label
        for no sample, a class too small for the metric, not two classes
        without `classes`, a missing value with na='error', ...

    Warns
    -----
    RankingWarning
        Fewer than 1,000 distinct label assignments (the smallest p-value
        they allow), merged duplicates, dropped genes.
    """
    given = dict(locals())
    given["expression_duplicates"] = given.pop("duplicates")
    options = validate(given, OPTION_NAMES)
    inputs = prepare_phenotype(expression, labels, gene_sets, options)
    return analyse_phenotype(inputs, options, sort)
