"""The Python API: one ranking or many against a collection of gene sets,
answered as pandas tables."""
from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import os
import pathlib
import sys
import tempfile
from contextlib import contextmanager
from typing import Any, Iterator, Mapping

import rsvelmopy

from .io import RankingError, ranking_warnings, ranks_from_pairs, read_ranks, write_gmt

__all__ = ["gsea", "gsea_many", "run_many", "as_ranking", "results_frame", "sort_records", "COLUMNS"]

COLUMNS = ["pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge", "leading_edge_size"]


def require(module: str, extra: str, purpose: str):
    """Imports an optional dependency or says which extra brings it."""
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{purpose} needs {module}; install it with: pip install 'rsvelmopy[{extra}]'") from e


def _is_pandas(obj: Any, kind: str) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, getattr(pd, kind))


def as_ranking(ranks: Any, duplicates: str = "error", source: str = "ranking") -> dict[str, float]:
    """Turns any accepted ranking into the dict the engine takes.

    Accepts a dict gene -> score, a pandas Series indexed by gene, a
    DataFrame of two columns (genes, scores) or the path of a ranking file
    (see ``read_ranks``). Scores must be finite numbers.
    """
    if isinstance(ranks, (str, os.PathLike)):
        return read_ranks(ranks, duplicates=duplicates)
    if _is_pandas(ranks, "Series"):
        return ranks_from_pairs(zip(ranks.index, ranks.to_numpy()), duplicates, source)
    if _is_pandas(ranks, "DataFrame"):
        if ranks.shape[1] != 2:
            raise RankingError(f"{source}: a ranking table needs exactly two columns (gene, score), "
                               f"not {ranks.shape[1]}")
        return ranks_from_pairs(zip(ranks.iloc[:, 0], ranks.iloc[:, 1]), duplicates, source)
    if isinstance(ranks, Mapping):
        return ranks_from_pairs(ranks.items(), duplicates, source)
    raise TypeError(f"{source}: expected a dict, a pandas Series, a two-column DataFrame or a file path, "
                    f"not {type(ranks).__name__}")


@contextmanager
def _gmt_file(gene_sets: Any) -> Iterator[str]:
    """Yields a GMT path for the engine: the given path, or a temporary file
    holding a dict of gene sets, removed afterwards."""
    if isinstance(gene_sets, (str, os.PathLike)):
        yield os.fspath(gene_sets)
        return
    if not isinstance(gene_sets, Mapping):
        raise TypeError(f"gene_sets: expected a GMT file path or a dict name -> genes, "
                        f"not {type(gene_sets).__name__}")
    with _temporary_gmt(lambda path: write_gmt(gene_sets, path)) as path:
        yield path


@contextmanager
def _temporary_gmt(write) -> Iterator[str]:
    """Yields the path of a GMT file written by write(path), removed afterwards."""
    with tempfile.TemporaryDirectory(prefix="rsvelmo-") as folder:
        path = os.path.join(folder, "gene_sets.gmt")
        write(path)
        yield path


def _gmt_bytes(gene_sets: Any) -> bytes:
    with _gmt_file(gene_sets) as path, open(path, "rb") as f:
        return f.read()


def _row(record: Mapping[str, Any]) -> dict[str, Any]:
    row = {name: record[name] for name in COLUMNS[:-1]}
    row["leading_edge_size"] = len(record["leading_edge"])
    return row


def _abs_nes(value: Any) -> float:
    return -math.inf if value is None or value != value else abs(value)


def sort_records(records: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Orders records by p-value (NaN last), then by |NES| descending, then
    by pathway name."""
    def key(r):
        p = r["pval"]
        return (p != p, p if p == p else 0.0, -_abs_nes(r["nes"]), r["pathway"])
    return sorted(records, key=key)


def results_frame(records: list[dict[str, Any]], sort: bool = True):
    """Builds the result DataFrame from the engine's records."""
    pd = require("pandas", "pandas", "a results table")
    rows = [_row(r) for r in (sort_records(records) if sort else records)]
    frame = pd.DataFrame(rows, columns=COLUMNS)
    # None (not computed) becomes NaN so the numeric columns stay float.
    for name in ("es", "nes", "pval", "padj", "log2err"):
        frame[name] = frame[name].astype("float64")
    frame["size"] = frame["size"].astype("int64")
    frame["leading_edge_size"] = frame["leading_edge_size"].astype("int64")
    return frame


def gsea(ranks: Any, gene_sets: Any, *, sort: bool = True, duplicates: str = "error", **options):
    """Runs the enrichment analysis of one ranking.

    ``ranks``: a dict gene -> score, a pandas Series, a two-column DataFrame
    or the path of a ranking file. ``gene_sets``: a GMT path or a dict
    name -> genes. ``options`` are those of ``rsvelmopy.run_gsea_py``, with
    its names and defaults (``nPermSimple``, ``seed``, ``nproc``, ``minSize``,
    ``maxSize``, ``eps``, ``scoreType``, ``gseaParam``, ``mode``, ``nperm``,
    ``sampleSize``).

    Returns a DataFrame with one row per tested pathway and the columns
    pathway, size, es, nes, pval, padj, log2err, leading_edge (a list of
    genes) and leading_edge_size. Rows are sorted by p-value, then by |NES|
    descending; ``sort=False`` keeps the engine's order (by pathway name).
    Values the analysis did not compute are NaN.
    """
    require("pandas", "pandas", "rsvelmo.gsea")
    table = as_ranking(ranks, duplicates)
    ranking_warnings(table, str(options.get("scoreType", "std")), stacklevel=2)
    with _gmt_file(gene_sets) as path:
        records = rsvelmopy.run_gsea_py(table, path, **options)
    return results_frame(records, sort)


def _many_rankings(rankings: Any, duplicates: str) -> dict[str, dict[str, float]]:
    if _is_pandas(rankings, "DataFrame"):
        # genes x contrasts: each column is one ranking; an empty (NaN) cell
        # means the gene was not measured in that contrast and is left out.
        out = {}
        for column in rankings.columns:
            scores = rankings[column].dropna()
            out[str(column)] = ranks_from_pairs(zip(scores.index, scores.to_numpy()), duplicates,
                                                f"ranking {column!r}")
        return out
    if isinstance(rankings, Mapping):
        return {str(name): as_ranking(r, duplicates, f"ranking {name!r}") for name, r in rankings.items()}
    raise TypeError("rankings: expected a mapping name -> ranking or a genes x contrasts DataFrame, "
                    f"not {type(rankings).__name__}")


def _run_in_worker(ranks: dict[str, float], gmt: bytes, options: dict[str, Any]) -> list[dict[str, Any]]:
    """One ranking in a worker process: the gene sets travel as bytes, so the
    worker need not see the caller's file system."""
    with _temporary_gmt(lambda path: pathlib.Path(path).write_bytes(gmt)) as path:
        return rsvelmopy.run_gsea_py(ranks, path, **options)


def _default_executor(jobs: int) -> concurrent.futures.Executor:
    # A fresh interpreter per worker: forking a process whose worker pool has
    # already started would leave the child without its threads.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return concurrent.futures.ProcessPoolExecutor(max_workers=jobs,
                                                  mp_context=multiprocessing.get_context(method))


def _progress(total: int, show: bool | None):
    if show is None:
        show = sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="ranking", file=sys.stderr)


def run_many(tables: Mapping[str, dict[str, float]], gene_sets: Any,
             executor: concurrent.futures.Executor | None = None, progress: bool | None = None,
             max_workers: int | None = None, **options) -> dict[str, list[dict[str, Any]]]:
    """Runs the engine on checked rankings (name -> gene -> score) in worker
    processes and returns name -> the engine's records, in the given order."""
    for name, table in tables.items():
        ranking_warnings(table, str(options.get("scoreType", "std")), f"ranking {name!r}", stacklevel=3)
    gmt = _gmt_bytes(gene_sets)
    options = {"nproc": 1, **options}

    owned = executor is None
    if owned:
        executor = _default_executor(max_workers or os.cpu_count() or 1)
    bar = _progress(len(tables), progress)
    try:
        futures = {executor.submit(_run_in_worker, table, gmt, options): name for name, table in tables.items()}
        done: dict[str, list[dict[str, Any]]] = {}
        for future in concurrent.futures.as_completed(futures):
            done[futures[future]] = future.result()
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
        if owned:
            executor.shutdown(cancel_futures=True)
    return {name: done[name] for name in tables}


def gsea_many(rankings: Any, gene_sets: Any, executor: concurrent.futures.Executor | None = None, *,
              sort: bool = True, duplicates: str = "error", progress: bool | None = None,
              max_workers: int | None = None, **options):
    """Runs one analysis per ranking, in worker processes.

    ``rankings``: a mapping name -> ranking (any form ``gsea`` accepts) or a
    genes x contrasts DataFrame (one ranking per column; NaN cells are left
    out). ``executor``: any ``concurrent.futures.Executor``, e.g. the one of a
    Dask client (``client.get_executor()``); by default a local process pool
    with ``max_workers`` processes (all cores). Each analysis uses one thread
    unless ``nproc`` is given. A progress bar appears on stderr when it is a
    terminal (``progress`` forces it on or off).

    Returns one DataFrame: the column ``ranking`` followed by the columns of
    ``gsea``, rankings in the given order, each sorted as ``gsea`` sorts.
    The results are those of separate ``gsea`` calls.
    """
    pd = require("pandas", "pandas", "rsvelmo.gsea_many")
    tables = _many_rankings(rankings, duplicates)
    records = run_many(tables, gene_sets, executor, progress, max_workers, **options)
    frames = []
    for name, found in records.items():
        frame = results_frame(found, sort)
        frame.insert(0, "ranking", name)
        frames.append(frame)
    if not frames:
        return pd.DataFrame(columns=["ranking", *COLUMNS])
    return pd.concat(frames, ignore_index=True)
