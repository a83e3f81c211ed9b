"""Evidence anyone can rerun: the multilevel p-values against exact tail
probabilities, the default calls against many plain permutations, and the
same bits on any number of threads (``rsvelmo validate``)."""

from __future__ import annotations

import json
import math
import os
import statistics
import subprocess
import sys
from fractions import Fraction
from pathlib import Path
from typing import Any

from .._engine import run_gsea
from .._options import DEFAULT
from ..readers.gene_sets import GeneSets

__all__ = ["validate", "exact_tail"]

ROOT = Path(__file__).resolve().parents[1]  # the package, whose data/ holds the example
DEPTHS = (1e-2, 1e-5, 1e-10, 1e-15, 1e-20)
CUT = DEFAULT.padj  # the calls checked: those of the package's default
SIZES = {"min_size": DEFAULT.min_size, "max_size": DEFAULT.max_size}


def exact_tail(weights: list[int], k: int, threshold: Fraction) -> float:
    """P(ES+ >= threshold) for a uniformly random set of `k` of the positions
    of a ranking with the positive integer `weights` (in rank order).

    ES+ is the largest value of the running sum: the members' weight up to
    a position over their total weight, minus the non-members up to it over
    n - k. For each total weight W, a dynamic programme over the positions
    counts the sets, by members and weight so far, that have or have not yet
    reached the threshold; every comparison is exact in integers.
    """
    import numpy as np  # not at import time: importing rsvelmo needs no numerics library

    n, misses = len(weights), len(weights) - k
    a, b = threshold.numerator, threshold.denominator
    ordered = sorted(weights)
    members = np.arange(k + 1)[:, None]
    total = 0.0
    for w_total in range(sum(ordered[:k]), sum(ordered[-k:]) + 1):
        weight = np.arange(w_total + 1)[None, :]
        waiting = np.zeros((k + 1, w_total + 1))
        waiting[0, 0] = 1.0
        reached = np.zeros_like(waiting)
        for j, w in enumerate(weights, start=1):
            if w > w_total:
                continue
            from_waiting, from_reached = np.zeros_like(waiting), np.zeros_like(waiting)
            from_waiting[1:, w:] = waiting[:-1, : w_total + 1 - w]
            from_reached[1:, w:] = reached[:-1, : w_total + 1 - w]
            # Just after member j the running sum is weight/W - (j - members)/(n - k).
            passes = b * (weight * misses - (j - members) * w_total) >= a * w_total * misses
            waiting = waiting + np.where(passes, 0.0, from_waiting)
            reached = reached + from_reached + np.where(passes, from_waiting, 0.0)
        total += reached[k, w_total]
    return total / math.comb(n, k)


def _es_plus(weights: list[int], positions: list[int]) -> Fraction:
    """ES+ of the set at these 0-based positions, exactly."""
    n, k = len(weights), len(positions)
    ns = sum(weights[p] for p in positions)
    best, cum = Fraction(0), 0
    for i, p in enumerate(sorted(positions)):
        cum += weights[p]
        best = max(best, Fraction(cum, ns) - Fraction(p + 1 - (i + 1), n - k))
    return best


def _tails(seeds: int, sample_size: int) -> list[dict[str, Any]]:
    """Multilevel p-values of gene sets at several depths against their exact tails."""
    n, k = 100, 30
    weights = [10 - (10 * i) // n for i in range(n)]  # 10, ..., 1: small integers, so ties
    genes = [f"g{i}" for i in range(n)]
    ranks = dict(zip(genes, map(float, weights)))
    # Sets of the top t genes and k - t from the bottom: deeper as t grows.
    candidates = {f"top{t}": list(range(t)) + list(range(n - (k - t), n)) for t in range(k + 1)}
    options = {"mode": "multilevel", "refine_all": True, "score_type": "pos", "eps": 0.0, "diagnostics": False}
    first = {r["pathway"]: r["pval"] for r in run_gsea(ranks, _named(candidates, genes), **options)}
    chosen = {}
    for depth in DEPTHS:
        name = min(first, key=lambda s: abs(math.log10(max(first[s], 1e-300)) - math.log10(depth)))
        chosen[name] = candidates[name]
    exact = {name: exact_tail(weights, k, _es_plus(weights, pos)) for name, pos in chosen.items()}
    found = {name: [] for name in chosen}
    errors = {name: [] for name in chosen}
    for seed in range(1, seeds + 1):
        rows = run_gsea(ranks, _named(chosen, genes), seed=seed, sample_size=sample_size, **options)
        for r in rows:
            found[r["pathway"]].append(math.log2(r["pval"] / exact[r["pathway"]]))
            errors[r["pathway"]].append(r["log2err"])
    out = []
    for name in sorted(chosen, key=lambda s: -exact[s]):
        ratios, reported = found[name], statistics.mean(errors[name])
        spread = statistics.stdev(ratios)
        out.append({
            "gene_set": name, "exact": float(exact[name]), "mean_log2_ratio": statistics.mean(ratios),
            "sd_log2_ratio": spread, "mean_log2err": reported, "sd_over_log2err": spread / reported,
        })  # fmt: skip
    return out


def _named(sets: dict[str, list[int]], genes: list[str]) -> dict[str, list[str]]:
    return {name: [genes[p] for p in positions] for name, positions in sets.items()}


def _example_slice() -> tuple[dict[str, float], dict[str, list[str]]]:
    """The shipped example ranking (limma t statistics of 11,093 genes, PANC1
    cells, FOXA2 knock-out against wild type; see examples/README.md) and
    every tenth GO biological-process set of the shipped collection."""
    from ..readers.rankings import read_ranks

    ranks = read_ranks(ROOT / "data" / "example.rnk.gz")
    sets = GeneSets.load("go_bp").sets
    return dict(ranks), {name: sets[name] for name in sorted(sets)[::10]}


THREADS_PROBE = """
import json, sys
from rsvelmo._engine import run_gsea
ranks, sets = json.load(sys.stdin)
rows = run_gsea(ranks, sets, min_size={min_size}, max_size={max_size}, diagnostics=False)
print(json.dumps([{{k: (v.hex() if isinstance(v, float) else v) for k, v in r.items()}} for r in rows]))
""".format(**SIZES)


def _by_threads(ranks: dict, sets: dict, counts: tuple[int, ...]) -> dict[int, str]:
    """The whole default analysis in fresh processes (the pool's size is fixed per process)."""
    text = json.dumps([ranks, sets])
    out = {}
    for threads in counts:
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")} | {"RAYON_NUM_THREADS": str(threads)}
        done = subprocess.run([sys.executable, "-c", THREADS_PROBE], input=text, capture_output=True, text=True,
                              env=env, check=True)  # fmt: skip
        out[threads] = done.stdout
    return out


def validate(quick: bool = False, json_path: str | os.PathLike | None = None, echo: bool = True) -> dict[str, Any]:
    """Run the checks of ``rsvelmo validate`` and say whether each passed.

    (a) tails: on a ranking of 100 genes with integer weights 10..1, gene
    sets of 30 whose exact tail probabilities (a dynamic programme over the
    positions) lie near 1e-2 ... 1e-20; the multilevel p-values of 40 seeds
    (8 with `quick`) against them: the mean of log2(estimate / exact) must
    lie within 0.2 of 0 (plus three standard errors of the mean), and its
    spread within 0.5 to 2 times the reported ``log2err``. (b) calls: every
    tenth GO biological-process set on the shipped example ranking, the
    default analysis's calls at padj < 0.05 against plain permutations
    (200,000; 20,000 with `quick`): at most 30 per 100 true calls may
    differ (a p-value off by a factor of two would move far more). (c)
    threads: that analysis with 1, 2 and 3 threads gives the same bits.

    Returns a dict with the measurements and ``passed``; written as JSON
    to `json_path` when given.
    """
    seeds, truth_permutations = (8, 20_000) if quick else (40, 200_000)
    report: dict[str, Any] = {"quick": quick, "checks": {}}

    tails = _tails(seeds, 101)
    tail_ok = all(
        abs(t["mean_log2_ratio"]) <= 0.2 + 3 * t["sd_log2_ratio"] / math.sqrt(seeds)
        and 0.5 <= t["sd_over_log2err"] <= 2.0
        for t in tails
    )
    report["tails"] = {"seeds": seeds, "rows": tails}
    report["checks"]["tails"] = tail_ok

    ranks, sets = _example_slice()
    # The package's default: the calls settled at the cut.
    default = run_gsea(ranks, sets, **SIZES, stable_calls=CUT, diagnostics=False)
    plain = run_gsea(ranks, sets, mode="simple", nperm=truth_permutations, seed=7, **SIZES, diagnostics=False)
    called = {r["pathway"] for r in default if r["padj"] is not None and r["padj"] < CUT}
    truth = {r["pathway"] for r in plain if r["padj"] is not None and r["padj"] < CUT}
    differ = len(called ^ truth)
    per_100 = 100.0 * differ / max(len(truth), 1)
    report["calls"] = {"gene_sets": len(default), "permutations": truth_permutations, "true_calls": len(truth),
                       "calls": len(called), "differ": differ, "per_100_true_calls": per_100}  # fmt: skip
    report["checks"]["calls"] = per_100 <= 30.0

    runs = _by_threads(ranks, sets, (1, 2, 3))
    report["threads"] = {"counts": sorted(runs), "identical": len(set(runs.values())) == 1}
    report["checks"]["threads"] = report["threads"]["identical"]
    report["passed"] = all(report["checks"].values())

    if echo:
        _print(report)
    if json_path is not None:
        Path(json_path).write_text(json.dumps(report, indent=1) + "\n")
    return report


def _print(report: dict[str, Any]) -> None:
    verdict = {True: "ok", False: "FAILED"}
    print(f"(a) multilevel p-values against exact tails, {report['tails']['seeds']} seeds: "
          f"{verdict[report['checks']['tails']]}")  # fmt: skip
    print(f"    {'exact p':>9}  {'mean log2(est/exact)':>20}  {'sd':>6}  {'log2err':>7}  {'sd/log2err':>10}")
    for t in report["tails"]["rows"]:
        print(f"    {t['exact']:9.2e}  {t['mean_log2_ratio']:20.3f}  {t['sd_log2_ratio']:6.3f}  "
              f"{t['mean_log2err']:7.3f}  {t['sd_over_log2err']:10.2f}")  # fmt: skip
    c = report["calls"]
    print(f"(b) default calls at padj < {CUT} against {c['permutations']:,} permutations, {c['gene_sets']} gene "
          f"sets: {c['differ']} of {c['true_calls']} true calls differ ({c['per_100_true_calls']:.1f} per 100): "
          f"{verdict[report['checks']['calls']]}")  # fmt: skip
    print(f"(c) the same bits with {', '.join(map(str, report['threads']['counts']))} threads: "
          f"{verdict[report['checks']['threads']]}")  # fmt: skip
