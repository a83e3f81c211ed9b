"""The Python API: one ranking or many against a collection of gene sets,
answered as pandas tables."""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import os
import signal
import sys
import threading
import warnings
from typing import Any, Callable, Mapping

import rsvelmopy

from .io import (
    DUPLICATE_POLICIES,
    NA_POLICIES,
    RankingError,
    RankingWarning,
    _check_policy,
    check_ranking,
    ranks_from_pairs,
    read_ranks,
)

__all__ = [
    "gsea",
    "gsea_many",
    "run_many",
    "as_ranking",
    "results_frame",
    "sort_records",
    "engine_options",
    "GeneSets",
    "COLUMNS",
]

COLUMNS = [
    "pathway",
    "description",
    "size",
    "es",
    "nes",
    "pval",
    "padj",
    "log2err",
    "leading_edge",
    "leading_edge_size",
]


def require(module: str, extra: str, purpose: str):
    """Import an optional dependency, or say which extra brings it."""
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{purpose} needs {module}; install it with: pip install 'rsvelmopy[{extra}]'") from e


def _is_pandas(obj: Any, kind: str) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, getattr(pd, kind))


def engine_options(
    *,
    min_size=15,
    max_size=500,
    nperm=1000,
    refine=True,
    eps=1e-50,
    score_type="std",
    gsea_param=1.0,
    sample_size=101,
    seed=42,
    threads=None,
) -> dict[str, Any]:
    """Validate the analysis options and translate them into ``rsvelmopy.run_gsea``'s.

    Every out-of-range value is a ``ValueError`` (a wrong type a
    ``TypeError``) naming the parameter.
    """

    def integer(name, value, low):
        if isinstance(value, bool) or not isinstance(value, int):
            if not hasattr(value, "__index__"):
                raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
            value = value.__index__()
        if value < low:
            raise ValueError(f"{name} must be at least {low}, not {value}")
        return value

    min_size = integer("min_size", min_size, 1)
    max_size = integer("max_size", max_size, 1)
    if min_size > max_size:
        raise ValueError(f"min_size ({min_size}) must not exceed max_size ({max_size})")
    nperm = integer("nperm", nperm, 1)
    sample_size = integer("sample_size", sample_size, 3)
    seed = integer("seed", seed, 0)
    if threads is not None:
        threads = integer("threads", threads, 1)
    eps = float(eps)
    if not 0.0 <= eps <= 1.0:
        raise ValueError(f"eps must lie in [0, 1], not {eps!r}")
    gsea_param = float(gsea_param)
    if not (math.isfinite(gsea_param) and gsea_param >= 0.0):
        raise ValueError(f"gsea_param must be a finite number >= 0, not {gsea_param!r}")
    if not isinstance(score_type, str) or score_type.lower() not in ("std", "pos", "neg"):
        raise ValueError(f"score_type must be one of 'std', 'pos', 'neg', not {score_type!r}")
    if refine not in (True, False, "all"):
        raise ValueError(f"refine must be True, False or 'all', not {refine!r}")
    options = {
        "min_size": min_size,
        "max_size": max_size,
        "eps": eps,
        "score_type": score_type.lower(),
        "gsea_param": gsea_param,
        "sample_size": sample_size,
        "seed": seed,
        "threads": threads or 0,
    }
    if refine is False:
        options.update(mode="simple", nperm=nperm)
    else:
        options.update(mode="multilevel", nperm_simple=nperm, refine_all=refine == "all")
    return options


def as_ranking(ranks: Any, duplicates: str = "error", source: str = "ranking", na: str = "error") -> dict[str, float]:
    """Turn any accepted ranking into the dict the engine takes.

    Accepts a dict gene -> score, a pandas Series indexed by gene, a
    DataFrame of two columns (genes, scores) or the path of a ranking file
    (see :func:`rsvelmo.read_ranks`).
    """
    if isinstance(ranks, (str, os.PathLike)):
        return read_ranks(ranks, duplicates=duplicates, na=na)
    if _is_pandas(ranks, "Series"):
        return ranks_from_pairs(zip(ranks.index, ranks.to_numpy()), duplicates, source, na)
    if _is_pandas(ranks, "DataFrame"):
        if ranks.shape[1] != 2:
            raise RankingError(
                f"{source}: a ranking table needs exactly two columns (gene, score), not "
                f"{ranks.shape[1]} ({', '.join(map(str, ranks.columns))}); pass the score column "
                "as a Series indexed by gene"
            )
        return ranks_from_pairs(zip(ranks.iloc[:, 0], ranks.iloc[:, 1]), duplicates, source, na)
    if isinstance(ranks, Mapping):
        return ranks_from_pairs(ranks.items(), duplicates, source, na)
    raise TypeError(
        f"{source}: expected a dict, a pandas Series, a two-column DataFrame or a file path, not {type(ranks).__name__}"
    )


class GeneSets:
    """Gene sets with their descriptions, read once by the engine's reader.

    ``sets`` maps name -> genes; ``descriptions`` name -> description (or
    None); ``source`` names where they came from, for messages.
    """

    def __init__(self, sets: dict[str, list[str]], descriptions: dict[str, str | None], source: str):
        self.sets, self.descriptions, self.source = sets, descriptions, source

    @classmethod
    def load(cls, gene_sets: Any) -> "GeneSets":
        if isinstance(gene_sets, GeneSets):
            return gene_sets
        if isinstance(gene_sets, (str, os.PathLike)):
            entries = rsvelmopy.read_gmt(gene_sets)
            return cls({n: g for n, _, g in entries}, {n: d for n, d, _ in entries}, os.fspath(gene_sets))
        if isinstance(gene_sets, Mapping):
            sets = {}
            for name, genes in gene_sets.items():
                if isinstance(genes, (str, bytes)):
                    raise ValueError(f"gene_sets: gene set {name!r} is a single string; give a list of gene names")
                sets[name] = list(genes)
                if not sets[name]:
                    raise ValueError(f"gene_sets: gene set {name!r} has no genes")
            return cls(sets, {n: None for n in sets}, "gene_sets")
        raise TypeError(
            f"gene_sets: expected a GMT file path or a mapping name -> genes, not {type(gene_sets).__name__}"
        )

    def upper_cased(self) -> "GeneSets":
        sets = {name: list(dict.fromkeys(g.upper() for g in genes)) for name, genes in self.sets.items()}
        return GeneSets(sets, self.descriptions, self.source)


def _upper_ranking(ranks: dict[str, float], duplicates: str, source: str) -> dict[str, float]:
    groups: dict[str, list[str]] = {}
    for gene in ranks:
        groups.setdefault(gene.upper(), []).append(gene)
    merged = [names for names in groups.values() if len(names) > 1]
    if merged:
        shown = "; ".join(" and ".join(repr(n) for n in names) for names in merged[:5])
        if duplicates == "error":
            raise RankingError(
                f"{source}: with ignore_case, {len(merged)} gene name(s) become equal ({shown}); "
                "collapse them with duplicates='first', 'max_abs' or 'mean'"
            )
        warnings.warn(
            f"{source}: with ignore_case, merged {len(merged)} gene name(s) ({shown}) with duplicates={duplicates!r}",
            RankingWarning,
            stacklevel=4,
        )
    pairs = [(gene.upper(), score, i) for i, (gene, score) in enumerate(ranks.items())]
    from .io import _collapse

    return _collapse(pairs, "first" if duplicates == "error" else duplicates, source)


def _example(names) -> str:
    return next(iter(names), "")


def check_overlap(
    ranks: Mapping[str, float],
    gene_sets: GeneSets,
    min_size: int,
    max_size: int,
    source: str = "ranking",
    stacklevel: int = 2,
) -> None:
    """Refuse a ranking whose genes no gene set can be tested with, and warn
    when most of its genes occur in no gene set and the names match in another
    case or nine tenths of the gene-set genes are not ranked: the usual cause
    is a mismatch of identifiers (case, species, Ensembl IDs versus symbols)."""
    universe: dict[str, None] = {}  # ordered, so that the example shown is the first gene
    testable = 0
    for genes in gene_sets.sets.values():
        universe.update(dict.fromkeys(genes))
        if min_size <= sum(1 for g in set(genes) if g in ranks) <= max_size:
            testable += 1
    matched = sum(1 for g in ranks if g in universe)
    figures = (
        f"{matched:,} of {len(ranks):,} ranking genes occur in the gene sets of {gene_sets.source}; "
        f"ranking IDs look like {_example(ranks)!r}, gene-set IDs like {_example(universe)!r}"
    )
    hint = ""
    upper = {g.upper() for g in universe}
    if sum(1 for g in ranks if g.upper() in upper) > 2 * max(matched, 1):
        hint = "; the names differ in case: try ignore_case=True (--ignore-case)"
    if testable == 0:
        raise RankingError(
            f"{source}: no gene set has between {min_size} and {max_size} genes in the ranking. {figures}{hint}"
        )
    # A small collection (Hallmark against a whole transcriptome) covers few
    # ranking genes by design, and a filtered ranking few gene-set genes; a
    # mismatch of identifiers shows as names that match in another case, or
    # as gene-set genes that are almost all missing from the ranking.
    in_ranking = sum(1 for g in universe if g in ranks)
    if matched < len(ranks) / 2 and (hint or in_ranking < len(universe) / 10):
        warnings.warn(
            f"{source}: {figures}; check that both use the same kind of gene identifier{hint}",
            RankingWarning,
            stacklevel=stacklevel + 1,
        )


def check_tied_sets(
    records: list[dict[str, Any]],
    ranks: Mapping[str, float],
    source: str = "ranking",
    padj_cut: float = 0.05,
    stacklevel: int = 2,
) -> None:
    """Warn about significant gene sets whose leading edge lies mostly in one
    block of tied scores: the order of tied genes is their input order, so
    such a result may say more about the file's order than about biology."""
    counts: dict[float, int] = {}
    for score in ranks.values():
        counts[score] = counts.get(score, 0) + 1
    suspect = []
    for r in records:
        padj = r.get("padj")
        if padj is None or padj != padj or padj >= padj_cut or not r["leading_edge"]:
            continue
        scores = [ranks[g] for g in r["leading_edge"] if g in ranks]
        tied = max((scores.count(s) for s in set(scores) if counts.get(s, 0) > 1), default=0)
        if tied * 2 > len(r["leading_edge"]):
            suspect.append(r["pathway"])
    if suspect:
        shown = ", ".join(repr(p) for p in suspect[:5]) + (", ..." if len(suspect) > 5 else "")
        warnings.warn(
            f"{source}: {len(suspect)} significant gene set(s) ({shown}) have most of their leading edge in one "
            "block of tied scores; the order of tied genes is their input order, which then decides these "
            "results. Rank by a statistic without ties, or check these sets by hand",
            RankingWarning,
            stacklevel=stacklevel + 1,
        )


def _row(record: Mapping[str, Any], descriptions: Mapping[str, str | None]) -> dict[str, Any]:
    row = {name: record.get(name) for name in COLUMNS[:-1]}
    row["description"] = descriptions.get(record["pathway"])
    row["leading_edge_size"] = len(record["leading_edge"])
    return row


def _abs_nes(value: Any) -> float:
    return -math.inf if value is None or value != value else abs(value)


def sort_records(records: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Order records by p-value (NaN last), then by |NES| descending, then
    by pathway name."""

    def key(r):
        p = r["pval"]
        return (p != p, p if p == p else 0.0, -_abs_nes(r["nes"]), r["pathway"])

    return sorted(records, key=key)


def results_frame(records: list[dict[str, Any]], sort: bool = True, descriptions: Mapping | None = None):
    """Build the result DataFrame from the engine's records."""
    pd = require("pandas", "pandas", "a results table")
    descriptions = descriptions or {r["pathway"]: r.get("description") for r in records}
    rows = [_row(r, descriptions) for r in (sort_records(records) if sort else records)]
    frame = pd.DataFrame(rows, columns=COLUMNS)
    # None (not computed) becomes NaN so the numeric columns stay float.
    for name in ("es", "nes", "pval", "padj", "log2err"):
        frame[name] = frame[name].astype("float64")
    frame["size"] = frame["size"].astype("int64")
    frame["leading_edge_size"] = frame["leading_edge_size"].astype("int64")
    return frame


def _tqdm_progress(show) -> tuple[Callable | None, Callable[[], None]]:
    """A progress callback for run_gsea and the function that closes it."""
    if callable(show):
        return show, lambda: None
    if show is None:
        show = False
    if not show:
        return None, lambda: None
    tqdm = require("tqdm", "progress", "a progress bar").tqdm
    bars: dict[str, Any] = {}

    def report(stage: str, done: int, total: int) -> None:
        bar = bars.get(stage)
        if bar is None:
            for other in bars.values():
                other.close()
            bar = bars[stage] = tqdm(
                total=total, desc=stage, unit="perm" if stage == "permutations" else "set", file=sys.stderr, leave=False
            )
        bar.update(done - bar.n)

    def close() -> None:
        for bar in bars.values():
            bar.close()

    return report, close


def prepare(
    ranks: Any,
    gene_sets: GeneSets,
    options: dict[str, Any],
    *,
    ignore_case: bool,
    na: str,
    duplicates: str,
    source: str = "ranking",
    stacklevel: int = 3,
) -> tuple[dict[str, float], GeneSets]:
    """Read and check one ranking against the gene sets, as every front door does."""
    _check_policy("duplicates", duplicates, DUPLICATE_POLICIES)
    _check_policy("na", na, NA_POLICIES)
    table = as_ranking(ranks, duplicates, source, na)
    sets = gene_sets
    if ignore_case:
        table = _upper_ranking(table, duplicates, source)
        sets = gene_sets.upper_cased()
    check_ranking(table, options["score_type"], source, stacklevel=stacklevel + 1)
    check_overlap(table, sets, options["min_size"], options["max_size"], source, stacklevel=stacklevel + 1)
    return table, sets


def gsea(
    ranks: Any,
    gene_sets: Any,
    *,
    min_size: int = 15,
    max_size: int = 500,
    nperm: int = 1000,
    refine: bool | str = True,
    eps: float = 1e-50,
    score_type: str = "std",
    gsea_param: float = 1.0,
    sample_size: int = 101,
    seed: int = 42,
    threads: int | None = None,
    ignore_case: bool = False,
    na: str = "error",
    duplicates: str = "error",
    progress: bool | Callable | None = None,
    sort: bool = True,
):
    """Run the preranked gene set enrichment analysis of one ranking.

    Parameters
    ----------
    ranks : dict, pandas.Series, pandas.DataFrame, str or os.PathLike
        Gene -> score (higher = more up-regulated): a dict, a Series indexed
        by gene, a two-column DataFrame (gene, score) or a ranking file (see
        :func:`read_ranks`).
    gene_sets : str, os.PathLike or mapping
        A GMT file (optionally gzipped) or a mapping name -> list of genes.
    min_size, max_size : int
        Gene sets with fewer or more of their genes in the ranking are not
        tested (defaults 15 and 500, as on the command line).
    nperm : int
        Number of permutations.
    refine : bool or 'all'
        True: refine, by the multilevel method, every p-value the
        permutations cannot resolve (down to `eps`); False: permutations
        only; 'all': refine every gene set.
    eps : float
        Smallest p-value computed, in [0, 1]; smaller ones are reported as eps.
    score_type : {'std', 'pos', 'neg'}
        Two-sided enrichment, or one-sided for all-positive (all-negative) rankings.
    gsea_param : float
        Exponent of the score weights.
    sample_size : int
        Sample size of the multilevel method (at least 3).
    seed : int
        Random seed; results are identical for a seed whatever `threads` is.
    threads : int, optional
        Worker threads (the first call of a process fixes them); all cores by default.
    ignore_case : bool
        Match gene names case-insensitively (both sides upper-cased).
    na : {'error', 'drop'}
        Refuse missing scores, or drop those genes with a warning.
    duplicates : {'error', 'first', 'max_abs', 'mean'}
        What to do with a gene named twice.
    progress : bool or callable, optional
        True: a tqdm progress bar on stderr; a callable is called as
        progress(stage, done, total).
    sort : bool
        Sort rows by p-value, then |NES| descending; False keeps the order by name.

    Returns
    -------
    pandas.DataFrame
        One row per tested gene set: pathway, description, size, es, nes,
        pval, padj, log2err, leading_edge (list of genes) and
        leading_edge_size; NaN where a value was not computed.

    Raises
    ------
    RankingError
        A ranking that cannot be analysed (unreadable, all scores equal, no
        gene set testable with its genes, ...).
    ValueError, TypeError
        A bad option, named in the message.
    OSError
        A gene-set file that cannot be read.

    Warns
    -----
    RankingWarning
        Ties holding more than 1% of the genes, an all-positive ranking with
        score_type='std', most ranking genes in no gene set, collapsed
        duplicates, dropped missing scores.
    """
    require("pandas", "pandas", "rsvelmo.gsea")
    options = engine_options(
        min_size=min_size,
        max_size=max_size,
        nperm=nperm,
        refine=refine,
        eps=eps,
        score_type=score_type,
        gsea_param=gsea_param,
        sample_size=sample_size,
        seed=seed,
        threads=threads,
    )
    sets = GeneSets.load(gene_sets)
    table, sets = prepare(ranks, sets, options, ignore_case=ignore_case, na=na, duplicates=duplicates)
    report, close = _tqdm_progress(progress)
    try:
        records = rsvelmopy.run_gsea(table, sets.sets, progress=report, diagnostics=False, **options)
    finally:
        close()
    check_tied_sets(records, table)
    return results_frame(records, sort, sets.descriptions)


def _many_rankings(rankings: Any, score: str, key: str) -> dict[str, Any]:
    if type(rankings).__name__ == "AnnData":
        return _from_anndata(rankings, score, key)
    if _is_pandas(rankings, "DataFrame"):
        columns = set(rankings.columns)
        if {"group", "names"} <= columns:  # scanpy's rank_genes_groups_df, all groups
            if score not in columns:
                raise RankingError(
                    f"rankings: the table has no column {score!r} (columns: {', '.join(map(str, rankings.columns))})"
                )
            return {
                str(g): dict(zip(part["names"].astype(str), part[score]))
                for g, part in rankings.groupby("group", sort=False, observed=True)
            }
        # genes x contrasts: each column is one ranking; an empty (NaN) cell
        # means the gene was not measured in that contrast and is left out.
        return {str(c): rankings[c].dropna() for c in rankings.columns}
    if isinstance(rankings, Mapping):
        return dict(rankings)
    raise TypeError(
        "rankings: expected a mapping name -> ranking, a genes x contrasts DataFrame, a long table "
        f"(group, names, scores) or an AnnData, not {type(rankings).__name__}"
    )


def _from_anndata(adata: Any, score: str, key: str) -> dict[str, dict[str, float]]:
    """One ranking per group of scanpy's rank_genes_groups result."""
    if key not in adata.uns:
        raise RankingError(
            f"rankings: the AnnData has no .uns[{key!r}]; run scanpy.tl.rank_genes_groups first "
            "(or name its key with key=)"
        )
    result = adata.uns[key]
    for field in ("names", score):
        if field not in result:
            raise RankingError(
                f"rankings: .uns[{key!r}] has no field {field!r} (fields: {', '.join(map(str, result.keys()))})"
            )
    names, values = result["names"], result[score]
    return {str(group): {str(g): float(s) for g, s in zip(names[group], values[group])} for group in names.dtype.names}


def _run_in_worker(ranks: dict[str, float], gene_sets: dict[str, list[str]], options: dict[str, Any]):
    return rsvelmopy.run_gsea(ranks, gene_sets, diagnostics=False, **options)


def _default_executor(jobs: int) -> concurrent.futures.Executor:
    # A fresh interpreter per worker: forking a process whose worker pool has
    # already started would leave the child without its threads.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=multiprocessing.get_context(method))


class _TerminateAsInterrupt:
    """While active on the main thread, SIGTERM raises KeyboardInterrupt, so
    that the cleanup that stops the worker processes runs."""

    def __enter__(self):
        self.previous = None
        if threading.current_thread() is threading.main_thread():

            def interrupt(signum, frame):
                raise KeyboardInterrupt("terminated")

            self.previous = signal.signal(signal.SIGTERM, interrupt)
        return self

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGTERM, self.previous)
        return False


def _stop_workers(executor: concurrent.futures.Executor) -> None:
    # ProcessPoolExecutor keeps its processes private; on an interrupted run
    # they are killed here rather than left to finish their analyses.
    processes = getattr(executor, "_processes", None) or {}
    for process in list(processes.values()):
        if process.is_alive():
            process.terminate()
    executor.shutdown(wait=True, cancel_futures=True)


def run_many(
    tables: Mapping[str, dict[str, float]],
    gene_sets: GeneSets,
    options: dict[str, Any],
    executor: concurrent.futures.Executor | None = None,
    progress: bool | None = None,
    max_workers: int | None = None,
) -> dict[str, list[dict[str, Any]]]:
    """Run the engine on checked rankings (name -> gene -> score) in worker
    processes and return name -> the engine's records, in the given order."""
    options = {**options, "threads": options.get("threads") or 1}
    owned = executor is None
    if owned:
        executor = _default_executor(max_workers or os.cpu_count() or 1)
    bar = None
    if progress or (progress is None and sys.stderr.isatty()):
        try:
            from tqdm import tqdm

            bar = tqdm(total=len(tables), unit="ranking", file=sys.stderr)
        except ImportError:
            bar = None
    finished = False
    try:
        with _TerminateAsInterrupt():
            futures = {
                executor.submit(_run_in_worker, table, gene_sets.sets, options): name for name, table in tables.items()
            }
            done: dict[str, list[dict[str, Any]]] = {}
            for future in concurrent.futures.as_completed(futures):
                done[futures[future]] = future.result()
                if bar is not None:
                    bar.update(1)
            finished = True
    finally:
        if bar is not None:
            bar.close()
        if owned:
            if finished:
                executor.shutdown()
            else:
                _stop_workers(executor)
    return {name: done[name] for name in tables}


def gsea_many(
    rankings: Any,
    gene_sets: Any,
    executor: concurrent.futures.Executor | None = None,
    *,
    min_size: int = 15,
    max_size: int = 500,
    nperm: int = 1000,
    refine: bool | str = True,
    eps: float = 1e-50,
    score_type: str = "std",
    gsea_param: float = 1.0,
    sample_size: int = 101,
    seed: int = 42,
    threads: int | None = None,
    ignore_case: bool = False,
    na: str = "error",
    duplicates: str = "error",
    progress: bool | None = None,
    max_workers: int | None = None,
    score: str = "scores",
    key: str = "rank_genes_groups",
    sort: bool = True,
):
    """Run one analysis per ranking, in worker processes.

    Parameters
    ----------
    rankings : mapping, pandas.DataFrame or anndata.AnnData
        A mapping name -> ranking (any form :func:`gsea` accepts); a genes x
        contrasts DataFrame (one ranking per column, NaN cells left out); a
        long table with the columns group, names and `score` (scanpy's
        ``rank_genes_groups_df``); or an AnnData after
        ``scanpy.tl.rank_genes_groups`` (one ranking per group).
    gene_sets : str, os.PathLike or mapping
        As in :func:`gsea`.
    executor : concurrent.futures.Executor, optional
        Any executor, e.g. a Dask client's ``client.get_executor()``; by
        default a local process pool of `max_workers` processes (all cores).
    score, key : str
        For an AnnData: the field of ``.uns[key]`` that ranks the genes.
    progress : bool, optional
        A progress bar over rankings (default: when stderr is a terminal).
    min_size, max_size, nperm, refine, eps, score_type, gsea_param, sample_size, seed, threads, \
ignore_case, na, duplicates, sort
        As in :func:`gsea`; each analysis uses one thread unless `threads` is given.

    Returns
    -------
    pandas.DataFrame
        The column ``ranking`` followed by the columns of :func:`gsea`,
        rankings in the given order, each sorted as :func:`gsea` sorts. The
        results are those of separate :func:`gsea` calls.

    Notes
    -----
    Ctrl-C or SIGTERM stops every worker process before the call returns.
    """
    pd = require("pandas", "pandas", "rsvelmo.gsea_many")
    options = engine_options(
        min_size=min_size,
        max_size=max_size,
        nperm=nperm,
        refine=refine,
        eps=eps,
        score_type=score_type,
        gsea_param=gsea_param,
        sample_size=sample_size,
        seed=seed,
        threads=threads,
    )
    sets = GeneSets.load(gene_sets)
    tables = {}
    checked_sets = sets
    for name, ranking in _many_rankings(rankings, score, key).items():
        tables[name], checked_sets = prepare(
            ranking, sets, options, ignore_case=ignore_case, na=na, duplicates=duplicates, source=f"ranking {name!r}"
        )
    records = run_many(tables, checked_sets, options, executor, progress, max_workers)
    for name, found in records.items():
        check_tied_sets(found, tables[name], f"ranking {name!r}")
    frames = []
    for name, found in records.items():
        frame = results_frame(found, sort, sets.descriptions)
        frame.insert(0, "ranking", name)
        frames.append(frame)
    if not frames:
        return pd.DataFrame(columns=["ranking", *COLUMNS])
    return pd.concat(frames, ignore_index=True)
