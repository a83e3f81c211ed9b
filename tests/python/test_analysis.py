"""Multilevel p-values against brute-force permutation."""

import math
import random

import rsvelmopy


def test_multilevel_agrees_with_many_permutations():
    rng = random.Random(3)
    ranks = {f"g{i}": rng.gauss(0, 1) + (1.5 if i < 30 else 0.0) for i in range(400)}
    order = sorted(ranks, key=ranks.get, reverse=True)
    rng = random.Random(8)
    sets = {
        f"T{i}": rng.sample(order[:40], top) + rng.sample(order[40:], 20 - top) for i, top in enumerate((8, 10, 12))
    }
    many = {r["pathway"]: r for r in rsvelmopy.run_gsea(ranks, sets, nperm=400000, diagnostics=False)}
    checked = 0
    for r in rsvelmopy.run_gsea(ranks, sets, nperm_simple=1000, diagnostics=False):
        p_perm = many[r["pathway"]]["pval"]
        if not (2e-5 < p_perm < 5e-3) or r["log2err"] is None:
            continue
        checked += 1
        err = math.hypot(r["log2err"], many[r["pathway"]]["log2err"])
        assert abs(math.log2(r["pval"]) - math.log2(p_perm)) < 4 * err, (r["pathway"], r["pval"], p_perm)
    assert checked >= 2
