"""Running analyses: a progress bar on one, worker processes (or any executor) for many."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import signal
import sys
import threading
from typing import Any, Callable, Hashable, Mapping

from .._engine import run_gsea
from .._results import require
from ..readers.gene_sets import GeneSets

__all__ = ["progress_callback", "run_one", "run_many", "run_tasks"]


def progress_callback(show) -> tuple[Callable | None, Callable[[], None]]:
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


def run_one(ranks: dict[str, float], gene_sets: GeneSets, options: dict[str, Any], progress=None):
    """The engine's records of one checked ranking, with a progress bar when asked."""
    report, close = progress_callback(progress)
    try:
        return run_gsea(ranks, gene_sets.sets, progress=report, diagnostics=False, **options)
    finally:
        close()


def _run_in_worker(ranks: dict[str, float], gene_sets: dict[str, list[str]], options: dict[str, Any]):
    return run_gsea(ranks, gene_sets, diagnostics=False, **options)


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


def run_tasks(
    function: Callable[..., Any],
    tasks: Mapping[Hashable, tuple],
    executor: concurrent.futures.Executor | None = None,
    progress: bool | None = None,
    max_workers: int | None = None,
    unit: str = "task",
) -> dict[Hashable, Any]:
    """``function(*arguments)`` for each task (key -> arguments) on an
    executor (default: fresh worker processes, stopped on an interrupt), with
    a progress bar when asked (None: when standard error is a terminal);
    returns key -> result in the order of `tasks`. `function` and its
    arguments must be picklable for executors of processes or machines."""
    owned = executor is None
    if owned:
        executor = _default_executor(max_workers or os.cpu_count() or 1)
    bar = None
    if progress or (progress is None and sys.stderr.isatty()):
        try:
            from tqdm import tqdm

            bar = tqdm(total=len(tasks), unit=unit, file=sys.stderr)
        except ImportError:
            bar = None
    finished = False
    try:
        with _TerminateAsInterrupt():
            futures = {executor.submit(function, *arguments): key for key, arguments in tasks.items()}
            done: dict[Hashable, Any] = {}
            for future in concurrent.futures.as_completed(futures):
                try:
                    done[futures[future]] = future.result()
                except concurrent.futures.BrokenExecutor:
                    # A worker killed (SIGKILL, out of memory) breaks the whole pool: say
                    # which result was lost, in one line, rather than the pool's traceback.
                    first = next(key for key in tasks if key not in done)
                    raise ChildProcessError(
                        f"a worker process stopped abruptly (killed, or out of memory) before {unit} {first!r} "
                        "was analysed; no results written"
                    ) from None
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
    return {key: done[key] for key in tasks}


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
    tasks = {name: (table, gene_sets.sets, options) for name, table in tables.items()}
    return run_tasks(_run_in_worker, tasks, executor, progress, max_workers, unit="ranking")
