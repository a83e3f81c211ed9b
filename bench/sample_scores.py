"""make bench: per-sample gene-set scores against Bioconductor GSVA 1.46.

    python bench/sample_scores.py            # everything (GSVA's runs cached)
    python bench/sample_scores.py --no-gsva  # the engine alone

1. 20,000 genes x 200 samples x W1's 5,000 gene sets, `ssgsea` and `gsva`
   (Gaussian kernel): the engine on 1 and 2 threads, GSVA 1.46 with
   parallel.sz = 2 in the same run, the ratio of their times and the largest
   difference of their scores. GSVA takes minutes: its times and scores are
   cached under build/bench/sample_scores/ (delete the folder to rerun it).
2. 20,000 genes x 2,500 / 5,000 / 10,000 samples x 50 sets, `ssgsea`,
   streamed in chunks of 500 samples (the input is never whole in memory):
   peak memory stays flat, beyond the sets x samples output.
3. Scaling of the engine (2 threads) in samples, genes and sets.

Every run is its own process, so peak memory (getrusage's ru_maxrss) is
that run's alone; for GSVA it is the largest of R and its forked workers.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import subprocess
import sys
import textwrap

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import workloads  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
FOLDER = BUILD / "sample_scores"
GENES = 20_000
SAMPLES = 200


def expression(genes: int, samples: int, seed: int) -> np.ndarray:
    """Log-scale expression: a level per gene (N(7, 2)) plus N(0, 1) noise per sample."""
    rng = np.random.default_rng(seed)
    return rng.normal(7.0, 2.0, size=(genes, 1)) + rng.normal(0.0, 1.0, size=(genes, samples))


def gene_sets(gmt: pathlib.Path, genes: int) -> tuple[list[str], list[list[int]]]:
    names, sets = [], []
    with open(gmt) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            rows = [int(g[1:]) for g in fields[2:]]
            names.append(fields[0])
            sets.append([r for r in rows if r < genes])
    return names, sets


def prepare() -> tuple[pathlib.Path, pathlib.Path]:
    FOLDER.mkdir(parents=True, exist_ok=True)
    gmt = workloads.build(BUILD / "data")["W1"]["gmt"]
    matrix = FOLDER / "w1_expression.f64"
    if not matrix.exists():
        expression(GENES, SAMPLES, 39).tofile(matrix)
    return matrix, gmt


ENGINE = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    import sample_scores as bench
    import rsvelmopy
    task = json.loads(sys.argv[2])
    names, sets = bench.gene_sets(bench.pathlib.Path(task["gmt"]), task["genes"])
    sets = sets[: task["sets"]]
    if task.get("stream"):
        out = np.empty((len(sets), task["samples"]))
        start, cpu = time.perf_counter(), time.process_time()
        for first in range(0, task["samples"], task["chunk"]):
            width = min(task["chunk"], task["samples"] - first)
            chunk = bench.expression(task["genes"], width, 1000 + first)
            r = rsvelmopy.score_samples(chunk, sets, method="ssgsea", ssgsea_norm=False)
            out[:, first : first + width] = np.frombuffer(r["scores"]).reshape(r["shape"])
        out /= out.max() - out.min()  # ssGSEA's normalisation, over the whole output
    else:
        x = np.fromfile(task["matrix"]).reshape(bench.GENES, bench.SAMPLES)
        x = np.ascontiguousarray(x[: task["genes"], : task["samples"]])
        start, cpu = time.perf_counter(), time.process_time()
        r = rsvelmopy.score_samples(x, sets, method=task["method"])
        out = np.frombuffer(r["scores"]).reshape(r["shape"])
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
    if task.get("save"):
        out.tofile(task["save"])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": elapsed, "cpu": cpu, "peak_mb": peak}))
""")

GSVA = textwrap.dedent("""
    suppressPackageStartupMessages(library(GSVA))
    args <- commandArgs(trailingOnly = TRUE)
    genes <- 20000L; samples <- 200L
    x <- matrix(readBin(args[1], "double", genes * samples), nrow = samples)
    x <- t(x)  # the file is genes x samples in row order
    dimnames(x) <- list(sprintf("G%05d", 0:(genes - 1)), sprintf("S%03d", seq_len(samples)))
    lines <- strsplit(readLines(args[2]), "\\t")
    sets <- lapply(lines, function(f) f[-(1:2)])
    names(sets) <- vapply(lines, `[`, "", 1)
    elapsed <- system.time(es <- gsva(x, sets, method = args[3], kcdf = "Gaussian", parallel.sz = 2L,
                                      verbose = FALSE))[["elapsed"]]
    stopifnot(identical(rownames(es), names(sets)))
    writeBin(as.vector(t(es)), args[4])
    cat(elapsed, "\\n")
""")


def run_engine(task: dict, threads: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run(
        [sys.executable, "-c", ENGINE, str(pathlib.Path(__file__).parent), json.dumps(task)],
        capture_output=True,
        text=True,
        env=env,
    )
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return json.loads(done.stdout)


def run_gsva(matrix: pathlib.Path, gmt: pathlib.Path, method: str) -> dict:
    cache = FOLDER / f"gsva_{method}.json"
    if cache.exists():
        return json.loads(cache.read_text())
    scores = FOLDER / f"gsva_{method}.f64"
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    done = subprocess.run(
        ["Rscript", "-e", GSVA, str(matrix), str(gmt), method, str(scores)], capture_output=True, text=True
    )
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    result = {
        "seconds": float(done.stdout.split()[-1]),
        "peak_mb": peak / 1024 if peak > before else None,  # None: an earlier child peaked higher
        "scores": str(scores),
    }
    cache.write_text(json.dumps(result))
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-gsva", action="store_true", help="time the engine alone")
    args = parser.parse_args()
    matrix, gmt = prepare()
    base = {"matrix": str(matrix), "gmt": str(gmt), "genes": GENES, "samples": SAMPLES, "sets": 5000}

    print(f"1. {GENES:,} genes x {SAMPLES} samples x 5,000 gene sets (W1)\n")
    print(f"{'method':<8} {'run':<12} {'seconds':>8} {'cpu s':>7} {'peak MB':>8} {'GSVA / run':>11} {'max |diff|':>11}")
    for method in ("ssgsea", "gsva"):
        reference = None if args.no_gsva else run_gsva(matrix, gmt, method)
        if reference:
            peak = f"{reference['peak_mb']:8.0f}" if reference["peak_mb"] else f"{'-':>8}"
            print(f"{method:<8} {'GSVA 1.46':<12} {reference['seconds']:8.1f} {'':>7} {peak}")
            ref = np.fromfile(reference["scores"]).reshape(5000, SAMPLES)
        for threads in (1, 2):
            save = FOLDER / f"engine_{method}_{threads}.f64"
            r = run_engine(dict(base, method=method, save=str(save)), threads)
            line = f"{method:<8} {f'{threads} thread' + ('s' if threads > 1 else ''):<12} {r['seconds']:8.2f}"
            line += f" {r['cpu']:7.2f} {r['peak_mb']:8.0f}"
            if reference:
                diff = np.abs(np.fromfile(save).reshape(5000, SAMPLES) - ref).max()
                line += f" {reference['seconds'] / r['seconds']:10.0f}x {diff:11.2e}"
            print(line)

    print("\n2. ssgsea, 20,000 genes x 50 sets, streamed in chunks of 500 samples\n")
    print(f"{'samples':>8} {'seconds':>8} {'peak MB':>8} {'output MB':>10}")
    for samples in (2_500, 5_000, 10_000):
        task = dict(base, samples=samples, sets=50, stream=True, chunk=500)
        r = run_engine(task, 2)
        print(f"{samples:8,} {r['seconds']:8.2f} {r['peak_mb']:8.0f} {50 * samples * 8 / 2**20:10.1f}")

    print("\n3. Scaling, 2 threads (seconds)\n")
    print(f"{'genes':>7} {'samples':>8} {'sets':>6} {'ssgsea':>8} {'gsva':>8}")
    for genes, samples, sets in [
        (20_000, 50, 5000),
        (20_000, 100, 5000),
        (20_000, 200, 5000),
        (5_000, 200, 5000),
        (10_000, 200, 5000),
        (20_000, 200, 1250),
        (20_000, 200, 2500),
    ]:
        task = dict(base, genes=genes, samples=samples, sets=sets)
        times = [run_engine(dict(task, method=m), 2)["seconds"] for m in ("ssgsea", "gsva")]
        print(f"{genes:7,} {samples:8} {sets:6,} {times[0]:8.2f} {times[1]:8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
