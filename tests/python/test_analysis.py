"""Whole analyses: two routes to the same counts, and multilevel p-values against brute-force permutation."""

import math
import random

import rsvelmopy


def synthetic(n=300, seed=1):
    rng = random.Random(seed)
    return {f"g{i}": rng.gauss(0, 1) + (1.5 if i < 30 else 0.0) for i in range(n)}


def pathway_line(name, genes):
    return name + "\t\t" + "\t".join(genes) + "\n"


def test_batch_and_single_pathway_paths_agree(write_gmt):
    ranks = synthetic()
    order = sorted(ranks, key=ranks.get, reverse=True)
    rng = random.Random(5)
    target = rng.sample(order[:40], 8) + rng.sample(order[40:], 12)  # mildly enriched
    other = rng.sample(order, 25)
    both = write_gmt(pathway_line("T", target) + pathway_line("U", other), "both.gmt")
    alone = write_gmt(pathway_line("T", target), "alone.gmt")
    nperm = 20000
    batch = [r for r in rsvelmopy.run_gsea_py(ranks, both, nperm=nperm) if r["pathway"] == "T"][0]
    single = rsvelmopy.run_gsea_py(ranks, alone, nperm=nperm)[0]
    assert batch["es"] == single["es"]
    p = (batch["pval"] + single["pval"]) / 2
    assert 1e-3 < p < 0.2
    assert abs(batch["pval"] - single["pval"]) < 5 * math.sqrt(2 * p * (1 - p) / (nperm / 2))
    assert abs(batch["nes"] - single["nes"]) < 0.05 * abs(batch["nes"])


def test_multilevel_agrees_with_many_permutations(write_gmt):
    ranks = synthetic(400, seed=3)
    order = sorted(ranks, key=ranks.get, reverse=True)
    rng = random.Random(8)
    text = ""
    for i, top in enumerate((8, 10, 12)):
        text += pathway_line(f"T{i}", rng.sample(order[:40], top) + rng.sample(order[40:], 20 - top))
    path = write_gmt(text)
    many = {r["pathway"]: r for r in rsvelmopy.run_gsea_py(ranks, path, nperm=400000)}
    refined = {r["pathway"]: r for r in rsvelmopy.run_gsea_py(ranks, path, nPermSimple=1000)}
    checked = 0
    for name, r in refined.items():
        p_perm = many[name]["pval"]
        if not (2e-5 < p_perm < 5e-3) or r["log2err"] is None:
            continue
        checked += 1
        err = math.hypot(r["log2err"], many[name]["log2err"])
        assert abs(math.log2(r["pval"]) - math.log2(p_perm)) < 4 * err, (name, r["pval"], p_perm)
    assert checked >= 2
