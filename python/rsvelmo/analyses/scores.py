"""Gene-set scores per sample: GSVA, ssGSEA, the combined z-score and PLAGE,
as Bioconductor GSVA 1.46's ``gsva()`` defines them, answered as a pandas
table of gene sets x samples."""

from __future__ import annotations

import concurrent.futures
import math
from typing import Any

import numpy as np

from .._engine import score_samples as engine_score_samples
from .._errors import Advice, RankingError, warn
from .._options import SCORING, validate_scoring
from ..readers.expression import Expression, read_expression
from ..readers.gene_sets import GeneSets
from .many import run_tasks

__all__ = ["score_samples", "compare_score_groups", "benjamini_hochberg", "depends_on_other_samples"]

_SCORING = [o.name for o in SCORING]
# The engine's default chunk: a working set near 64 MB of doubles.
ENGINE_CHUNK_DOUBLES = 8 << 20
# Tasks a matrix is split into for an executor when no chunk size is given.
_DEFAULT_TASKS = 8


def depends_on_other_samples(method: str, ssgsea_norm: bool = True) -> bool:
    """Whether a sample's scores change with the other samples of the matrix:
    GSVA's kernel CDFs, the z-score's and PLAGE's standardisation use every
    sample of a gene, and normalised ssGSEA divides by the range of the whole
    score matrix; only ssGSEA without that normalisation sees one sample at a time."""
    return not (method == "ssgsea" and not ssgsea_norm)


def score_samples(
    expression,
    gene_sets,
    *,
    method: str = "gsva",
    kcdf: str = "gaussian",
    min_size: int = 1,
    max_size: int | None = None,
    tau: float | None = None,
    mx_diff: bool = True,
    abs_ranking: bool = False,
    ssgsea_norm: bool = True,
    threads: int | None = None,
    layer: str | None = None,
    map_ids: str | None = None,
    duplicates: str = "error",
    executor: concurrent.futures.Executor | None = None,
    chunk_size: int | None = None,
):
    """Score every gene set in every sample.

    The definitions, option names and defaults are those of Bioconductor
    GSVA 1.46's ``gsva()`` (``kcdf``, ``tau``, ``mx.diff``, ``abs.ranking``,
    ``ssgsea.norm``, ``min.sz``, ``max.sz``), and the scores agree with its
    scores (see the README for the details it reproduces).

    Parameters
    ----------
    expression : DataFrame, AnnData, Expression, str or os.PathLike
        Genes x samples: a DataFrame with genes as rows, an AnnData (cells or
        samples as rows; ``X`` or `layer`), or a GCT, ``.h5ad`` or text
        table file, optionally gzip-compressed (see ``read_expression``).
        Every value must be a number: a matrix with a missing value is refused.
    gene_sets : str, os.PathLike or mapping
        A GMT or MSigDB JSON file, a shipped collection's name, or a mapping
        name -> genes.
    method : {'gsva', 'ssgsea', 'zscore', 'plage'}
        GSVA's walk over kernel-CDF ranks (Hänzelmann et al. 2013), ssGSEA's
        weighted walk over expression ranks (Barbie et al. 2009), the
        combined z-score (Lee et al. 2008) or PLAGE (Tomfohr et al. 2005;
        the sign of each set's scores is the decomposition's choice).
    kcdf : {'gaussian', 'poisson', 'none'}
        gsva's kernel: Gaussian for log-scale values, Poisson for integer
        counts (negative values are refused), none for the empirical CDF.
        The other methods ignore it.
    min_size, max_size : int
        Bounds on a set's size, counted among the genes scored; sets outside
        them are left out of the table. By default every set with at least
        one gene in the matrix is scored.
    tau : float, optional
        Exponent of the walk's weights: None for the method's default, 1 for
        gsva and 0.25 for ssgsea.
    mx_diff : bool
        gsva: the score is the largest positive plus the largest negative
        deviation of the walk (True), or the deviation of larger magnitude.
    abs_ranking : bool
        gsva with `mx_diff`: the largest positive minus the largest negative
        deviation, which scores sets whose genes move in both directions.
    ssgsea_norm : bool
        ssgsea: divide every score by the range (maximum minus minimum) of
        the whole score matrix, which makes a sample's scores depend on the
        other samples and gene sets.
    threads : int, optional
        Worker threads of the engine (default: all cores). The scores do not
        depend on them.
    layer : str, optional
        The AnnData layer to read instead of ``X``.
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human gene identifiers of the matrix to current symbols.
    duplicates : {'error', 'mean', 'max'}
        Genes named more than once: refused, or merged sample by sample into
        their mean or maximum.
    executor : concurrent.futures.Executor, optional
        Score parts of the work as tasks of any executor, a Dask client's
        ``client.get_executor()`` included. ssgsea is split into chunks of
        samples (a sample's raw score does not depend on the others; the
        normalisation of `ssgsea_norm` is applied once every chunk is back).
        gsva and zscore compare every sample of a gene with the others:
        they are split into chunks of samples, each task with the whole
        matrix, from which it estimates the kernel CDFs (or the
        standardisation) of its own samples only, so the tasks together do
        about the work of one local run. PLAGE's singular vector needs every
        sample at once, so plage is split into chunks of gene sets. The
        table equals the one computed without an executor, bit for bit.
    chunk_size : int, optional
        Samples scored together (without an executor, the engine's working
        set; with a sparse matrix and ssgsea, the samples made dense at a
        time); with an executor, the samples (gsva, ssgsea, zscore) or gene
        sets (plage) of one task. Default: a working set near 64 MB; with
        an executor, the work split into 8 tasks.

    Returns
    -------
    DataFrame
        Gene sets x samples (index ``gene_set``, columns the samples), in the
        order of the gene sets. ``attrs`` holds ``sizes`` (each scored set's
        genes among those scored), ``not_scored`` (set -> why: no gene in the
        matrix, or its size outside the bounds), ``constant_genes`` (genes
        whose standard deviation across samples is below 1e-10),
        ``constant_dropped`` (whether they were left out: by gsva, zscore and
        plage, as GSVA does; ssgsea keeps them), ``depends_on_other_samples``,
        ``settings`` (the options, with the tau used) and ``expression``
        (what was read).

    Notes
    -----
    As GSVA 1.46 does: constant genes are dropped before the sets are
    matched, so the size bounds apply after that drop; sets with no gene in
    the matrix (or none left) and sets outside the bounds are left out of the
    table; one warning counts the constant genes and the sets left out. A
    gene listed twice in a set counts once. A matrix with missing values,
    negative values with ``kcdf='poisson'`` and (but for ssgsea) a single
    sample are refused. A sparse matrix stays sparse for ssgsea, which makes
    a chunk of samples dense at a time; the other methods need each gene's
    values in every sample and make it dense whole.
    """
    given = dict(method=method, kcdf=kcdf, min_size=min_size, max_size=max_size, tau=tau, mx_diff=mx_diff,
                 abs_ranking=abs_ranking, ssgsea_norm=ssgsea_norm, threads=threads, chunk_size=chunk_size)  # fmt: skip
    settings = validate_scoring(given, _SCORING)
    matrix = read_expression(expression, layer=layer, map_ids=map_ids, duplicates=duplicates)
    sets = GeneSets.load(gene_sets)
    check_values(matrix, settings)
    names, indices = _set_indices(sets, matrix.genes)
    scores, info = _score(matrix, indices, settings, executor)
    return _table(scores, info, names, matrix, settings)


def check_values(matrix: Expression, settings: dict[str, Any]) -> None:
    """Refuse, in one line each, what no method can score: missing values,
    negative counts for the Poisson kernel, a single sample where samples
    are compared."""
    values = matrix.values.data if matrix.sparse else matrix.values
    bad = ~np.isfinite(values)
    if bad.any():
        gene, sample = _first_cell(matrix, bad)
        raise RankingError(
            f"{matrix.source}: {int(bad.sum()):,} missing or infinite value(s), the first of gene {gene!r} in "
            f"sample {sample!r}; every value is needed: remove those genes (or fill them in) first"
        )
    if settings["method"] == "gsva" and settings["kcdf"] == "poisson" and (values < 0).any():
        gene, sample = _first_cell(matrix, values < 0)
        raise RankingError(
            f"{matrix.source}: {int((values < 0).sum()):,} negative value(s), the first of gene {gene!r} in "
            "sample ", repr(sample), "; the Poisson kernel is for counts: for log-scale values use ",
            Advice("kcdf", "gaussian"),
        )  # fmt: skip
    if settings["method"] != "ssgsea" and len(matrix.samples) < 2:
        raise RankingError(
            f"{matrix.source}: a single sample; method {settings['method']!r} compares each gene's value with "
            "the other samples' (one sample leaves every gene constant): score it alone with ",
            Advice("method", "ssgsea"),
        )


def _first_cell(matrix: Expression, mask: np.ndarray) -> tuple[str, str]:
    if matrix.sparse:
        csr = matrix.values
        position = int(np.flatnonzero(mask)[0])
        row = int(np.searchsorted(csr.indptr, position, side="right") - 1)
        return matrix.genes[row], matrix.samples[int(csr.indices[position])]
    row, column = np.argwhere(mask)[0]
    return matrix.genes[row], matrix.samples[column]


def _set_indices(sets: GeneSets, genes: list[str]) -> tuple[list[str], list[list[int]]]:
    """Each set's rows of the matrix, each row once, in the set's order."""
    row = {g: i for i, g in enumerate(genes)}
    names, indices = [], []
    for name, members in sets.sets.items():
        names.append(name)
        indices.append(list(dict.fromkeys(row[g] for g in members if g in row)))
    return names, indices


def _engine_options(settings: dict[str, Any], threads: int | None) -> dict[str, Any]:
    options = {n: settings[n] for n in ("method", "kcdf", "tau", "mx_diff", "abs_ranking", "ssgsea_norm")}
    options.update(min_size=settings["min_size"], max_size=settings["max_size"], threads=threads or 0)
    return options


def _score_part(values, indices: list[list[int]], options: dict[str, Any], chunk: int = 0, columns=None):
    """The engine's scores of one part (a task of an executor, or the whole):
    a float64 array of sets x samples (those in `columns`, a (start, stop)
    pair, or all) and the engine's facts."""
    values = values.toarray() if hasattr(values, "toarray") else values
    result = engine_score_samples(
        np.ascontiguousarray(values, dtype=np.float64), indices, chunk_samples=chunk, columns=columns, **options
    )
    scores = np.frombuffer(result.pop("scores"), dtype=np.float64).reshape(result["shape"])
    return scores, result


def _score(matrix: Expression, indices, settings, executor):
    """The scores (sets x samples) and the engine's facts, by the route the
    method and the input allow."""
    options = _engine_options(settings, settings["threads"])
    chunk = settings["chunk_size"]
    samples = len(matrix.samples)
    if settings["method"] == "ssgsea" and (executor is not None or matrix.sparse):
        if chunk is None:
            default = max(1, ENGINE_CHUNK_DOUBLES // max(1, len(matrix.genes)))
            chunk = math.ceil(samples / _DEFAULT_TASKS) if executor is not None else default
        return _ssgsea_by_samples(matrix, indices, options, executor, chunk)
    if executor is None or not indices:
        return _score_part(matrix.values, indices, options, chunk or 0)
    values = matrix.dense()
    options["threads"] = settings["threads"] or 1
    if settings["method"] != "plage":
        chunk = chunk or max(1, math.ceil(samples / _DEFAULT_TASKS))
        return _by_columns(values, indices, options, executor, chunk)
    # PLAGE's singular vector needs every sample at once: a chunk of samples
    # would redo the whole set's decomposition, so its tasks are chunks of sets.
    chunk = chunk or max(1, math.ceil(len(indices) / _DEFAULT_TASKS))
    tasks = {start: (values, indices[start : start + chunk], options) for start in range(0, len(indices), chunk)}
    parts = list(run_tasks(_score_part, tasks, executor, progress=False, unit="part").values())
    # Each set's scores depend on the matrix and the set only: the parts stack up.
    scores = np.concatenate([part[0] for part in parts], axis=0)
    info = parts[0][1]
    for key in ("sizes", "scored"):
        info[key] = [v for part in parts for v in part[1][key]]
    info["shape"] = scores.shape
    return scores, info


def _by_columns(values: np.ndarray, indices, options, executor, chunk: int):
    """gsva and zscore in chunks of samples: each task holds the whole matrix
    (the kernel CDFs and the standardisation use every sample) and scores
    its own columns, so the tasks together do about the kernel work of one
    local run (which shares each pair's kernel step between its two samples
    when it scores them all at once), and every cell has the local run's bits."""
    samples = values.shape[1]
    tasks = {s: (values, indices, options, 0, (s, min(s + chunk, samples))) for s in range(0, samples, chunk)}
    parts = run_tasks(_score_part, tasks, executor, progress=False, unit="chunk")
    scores = np.concatenate([parts[s][0] for s in sorted(parts)], axis=1)
    info = parts[0][1]  # the sizes and the constant genes come from the whole matrix in every task
    info["shape"] = scores.shape
    return scores, info


def _ssgsea_by_samples(matrix: Expression, indices, options, executor, chunk: int):
    """ssGSEA in chunks of samples (raw scores: each sample on its own), then
    the normalisation by the range of the whole score matrix, as the engine
    applies it to a whole matrix."""
    raw = {**options, "ssgsea_norm": False}
    if executor is not None:
        raw["threads"] = options["threads"] or 1
    samples = len(matrix.samples)
    starts = range(0, samples, chunk)
    if matrix.sparse:
        columns = matrix.values.tocsc()
        tasks = {s: (columns[:, s : s + chunk].tocsr(), indices, raw) for s in starts}
    else:
        tasks = {s: (np.ascontiguousarray(matrix.values[:, s : s + chunk]), indices, raw) for s in starts}
    if executor is None:
        parts = {s: _score_part(*arguments) for s, arguments in tasks.items()}
    else:
        parts = run_tasks(_score_part, tasks, executor, progress=False, unit="chunk")
    scores = np.concatenate([part[0] for part in parts.values()], axis=1)
    info = next(iter(parts.values()))[1]
    info["shape"] = scores.shape
    # A gene is constant when it is in every chunk and its chunks agree (ssGSEA keeps it anyway).
    constant = set(info["constant_genes"])
    for part in parts.values():
        constant &= set(part[1]["constant_genes"])
    firsts = np.array([_column(matrix.values, s) for s in starts]).T if constant else None
    info["constant_genes"] = sorted(g for g in constant if np.all(firsts[g] == firsts[g][0]))
    if options["ssgsea_norm"]:
        scored = np.flatnonzero(info["scored"])
        if scored.size:
            block = scores[scored]
            scores[scored] = block / (block.max() - block.min())
    return scores, info


def _column(values, j: int) -> np.ndarray:
    column = values[:, j]
    return np.asarray(column.toarray()).ravel() if hasattr(column, "toarray") else np.asarray(column)


def _table(scores: np.ndarray, info: dict[str, Any], names: list[str], matrix: Expression, settings):
    import pandas as pd

    scored = [bool(s) for s in info["scored"]]
    sizes = dict(zip(names, info["sizes"]))
    low, high = settings["min_size"], settings["max_size"]
    bounds = f"[{low}, {'inf' if high is None else high}]"
    not_scored = {
        n: ("no gene in the matrix" if sizes[n] == 0 else f"{sizes[n]} genes, outside {bounds}")
        for n, s in zip(names, scored)
        if not s
    }
    kept = [n for n, s in zip(names, scored) if s]
    table = pd.DataFrame(
        scores[np.flatnonzero(scored)] if kept else np.empty((0, scores.shape[1])),
        index=pd.Index(kept, name="gene_set"),
        columns=pd.Index(matrix.samples, name="sample"),
    )
    constant = [matrix.genes[i] for i in info["constant_genes"]]
    tau = settings["tau"] if settings["tau"] is not None else (0.25 if settings["method"] == "ssgsea" else 1.0)
    table.attrs = {
        "sizes": {n: sizes[n] for n in kept},
        "not_scored": not_scored,
        "constant_genes": constant,
        "constant_dropped": bool(info["constant_dropped"]),
        "depends_on_other_samples": depends_on_other_samples(settings["method"], settings["ssgsea_norm"]),
        "settings": {**{n: settings[n] for n in _SCORING}, "tau": tau},
        "expression": matrix.describe(),
    }
    _warn_left_out(matrix, constant, info["constant_dropped"], not_scored, len(names))
    if not kept:
        raise RankingError(
            f"{matrix.source}: none of the {len(names):,} gene sets could be scored (",
            "; ".join(sorted(set(not_scored.values()))[:3]), "); do the gene names of the matrix and the sets "
            "match? ", Advice("map_ids", "auto"), " maps IDs to symbols",
        )  # fmt: skip
    return table


def _warn_left_out(matrix: Expression, constant: list[str], dropped: bool, not_scored: dict[str, str], total: int):
    parts = []
    if constant and dropped:  # ssgsea keeps them, and they change nothing there
        shown = ", ".join(repr(g) for g in constant[:3]) + (", ..." if len(constant) > 3 else "")
        parts.append(f"{len(constant):,} constant gene(s) (sd < 1e-10 across samples: {shown}) left out, as GSVA does")
    if not_scored:
        empty = sum(1 for why in not_scored.values() if why == "no gene in the matrix")
        parts.append(
            f"{len(not_scored):,} of {total:,} gene sets not scored ({empty:,} with no gene in the matrix, "
            f"{len(not_scored) - empty:,} outside the size bounds; attrs['not_scored'] lists them)"
        )
    if parts:
        warn(f"{matrix.source}: " + "; ".join(parts), stacklevel=4)


def compare_score_groups(scores, groups, classes: tuple[str, str] | None = None):
    """The gene sets whose scores differ between two groups of samples, by
    Welch's two-sample t-test on the scores with Benjamini-Hochberg
    adjustment: a plain test, one set at a time, that neither knows how the
    scores were made nor corrects for the sets' overlaps.

    Parameters
    ----------
    scores : DataFrame
        Gene sets x samples (``score_samples``' table).
    groups : sequence of str
        Each sample's group, in the columns' order.
    classes : (str, str), optional
        The two groups, A then B (default: the two that occur, in the order
        they first occur; required when more than two occur).

    Returns
    -------
    DataFrame
        One row per set, sorted by p-value: ``gene_set``, ``mean_<A>``,
        ``mean_<B>``, ``difference`` (A minus B), ``t``, ``df`` (Welch's),
        ``pval`` and ``padj``. A set whose scores do not vary within either
        group gets no p-value (NaN).
    """
    import pandas as pd

    from .._results import require

    stats = require("scipy", "plot", "the two-group test of the scores").stats
    labels = np.array([str(g) for g in groups], dtype=object)
    if len(labels) != scores.shape[1]:
        raise ValueError(f"groups: {len(labels)} labels for {scores.shape[1]} samples")
    found = list(dict.fromkeys(labels))
    if classes is None:
        if len(found) != 2:
            raise ValueError(
                f"groups: {len(found)} groups ({', '.join(map(repr, found[:6]))}); choose two with classes"
            )
        classes = (found[0], found[1])
    a, b = (str(c) for c in classes)
    in_a, in_b = labels == a, labels == b
    if in_a.sum() < 2 or in_b.sum() < 2:
        raise ValueError(f"groups: the test needs at least two samples in each group ({a!r}: {int(in_a.sum())}, "
                         f"{b!r}: {int(in_b.sum())})")  # fmt: skip
    values = scores.to_numpy(dtype=float)
    x, y = values[:, in_a], values[:, in_b]
    with np.errstate(divide="ignore", invalid="ignore"):
        test = stats.ttest_ind(x, y, axis=1, equal_var=False)
        va, vb = x.var(axis=1, ddof=1) / x.shape[1], y.var(axis=1, ddof=1) / y.shape[1]
        df = (va + vb) ** 2 / (va**2 / (x.shape[1] - 1) + vb**2 / (y.shape[1] - 1))
    table = pd.DataFrame({
        "gene_set": list(scores.index),
        f"mean_{a}": x.mean(axis=1),
        f"mean_{b}": y.mean(axis=1),
        "difference": x.mean(axis=1) - y.mean(axis=1),
        "t": np.asarray(test.statistic, dtype=float),
        "df": df,
        "pval": np.asarray(test.pvalue, dtype=float),
    })  # fmt: skip
    table["padj"] = benjamini_hochberg(table["pval"].to_numpy())
    return table.sort_values(["pval", "gene_set"], na_position="last", kind="stable").reset_index(drop=True)


def benjamini_hochberg(p: np.ndarray) -> np.ndarray:
    """BH-adjusted p-values (R's ``p.adjust(p, "BH")``); NaN stays NaN and
    does not count among the tests."""
    p = np.asarray(p, dtype=float)
    out = np.full(p.shape, np.nan)
    known = np.flatnonzero(~np.isnan(p))
    n = known.size
    if n == 0:
        return out
    order = known[np.argsort(p[known], kind="stable")]
    ranked = p[order] * n / np.arange(1, n + 1)
    out[order] = np.minimum(1.0, np.minimum.accumulate(ranked[::-1])[::-1])
    return out
