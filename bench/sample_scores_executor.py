"""Per-sample scores through an executor against the local run.

    python bench/sample_scores_executor.py [--genes 2000 --samples 400 --sets 300 --method gsva]

The same table three ways, each timed (wall seconds): the engine locally on
2 threads; a local Dask cluster of two single-thread workers scoring chunks
of samples (each task with the whole matrix, its kernel CDFs for its own
samples only: the route ``rsvelmo.score_samples(..., executor=...)`` takes);
and, for comparison, the same cluster scoring chunks of gene sets with every
sample (each task redoing the kernel CDFs of the whole matrix). Each route's
table is checked against the local one, bit for bit.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np
import pandas as pd
import rsvelmo
from rsvelmo.analyses import scores as scoring
from rsvelmo.analyses.many import run_tasks
from rsvelmo.readers.gene_sets import GeneSets


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--genes", type=int, default=2000)
    parser.add_argument("--samples", type=int, default=400)
    parser.add_argument("--sets", type=int, default=300)
    parser.add_argument("--method", default="gsva")
    parser.add_argument("--tasks", type=int, default=8)
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    rng = np.random.default_rng(11)
    genes = [f"G{i:05d}" for i in range(args.genes)]
    matrix = pd.DataFrame(
        rng.normal(7.0, 2.0, (args.genes, 1)) + rng.normal(0.0, 1.0, (args.genes, args.samples)),
        index=genes,
        columns=[f"S{j:04d}" for j in range(args.samples)],
    )
    sets = {
        f"SET{k:04d}": [genes[i] for i in rng.choice(args.genes, rng.integers(10, 200), replace=False)]
        for k in range(args.sets)
    }
    start = time.perf_counter()
    local = rsvelmo.score_samples(matrix, sets, method=args.method, threads=2)
    rows = [("local, 2 threads", time.perf_counter() - start, True)]
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as c:
        executor = c.get_executor()
        # Each worker imports the package once: not part of either route's time.
        small = matrix.iloc[:50, :10]
        rsvelmo.score_samples(small, {"S": genes[:5]}, method=args.method, executor=executor, chunk_size=5)
        chunk = math.ceil(args.samples / args.tasks)
        start = time.perf_counter()
        remote = rsvelmo.score_samples(matrix, sets, method=args.method, executor=executor, chunk_size=chunk)
        rows.append(
            (f"score_samples(executor=), {args.tasks} tasks", time.perf_counter() - start, remote.equals(local))
        )
        # The two routes alone, on the same prepared input (no reading, no table).
        _, indices = scoring._set_indices(GeneSets.load(sets), genes)
        options = scoring._engine_options(scoring.validate_scoring({"method": args.method}, scoring._SCORING), 1)
        values = matrix.to_numpy()
        expected = local.to_numpy().tobytes()
        start = time.perf_counter()
        by_samples = scoring._by_columns(values, indices, options, executor, chunk)[0]
        rows.append((f"  {args.tasks} chunks of samples alone", time.perf_counter() - start,
                     by_samples.tobytes() == expected))  # fmt: skip
        # The route before column ranges: chunks of sets, every task with all samples.
        per = math.ceil(len(indices) / args.tasks)
        tasks = {s: (values, indices[s : s + per], options) for s in range(0, len(indices), per)}
        start = time.perf_counter()
        parts = run_tasks(scoring._score_part, tasks, executor, progress=False)
        by_sets = np.concatenate([p[0] for p in parts.values()], axis=0)
        rows.append((f"  {args.tasks} chunks of sets alone", time.perf_counter() - start,
                     by_sets.tobytes() == expected))  # fmt: skip
    print(f"{args.method}: {args.genes:,} genes x {args.samples:,} samples x {args.sets:,} sets")
    for name, seconds, same in rows:
        print(f"  {name:<38} {seconds:7.2f} s   same bits as local: {same}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
