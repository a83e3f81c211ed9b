"""Deterministic synthetic workloads that look like real data.

W1 "bulk": 20,000 genes with heavy-tailed (Student t, 3 d.f.) scores and
5,000 gene sets of log-uniform sizes 15 to 500, 200 of them strongly
enriched at the top or bottom of the ranking (p-values of 1e-10 to 1e-40).
W2 "hallmark-like": 12,000 genes, 50 gene sets of 30 to 200 genes.
W3 "many rankings": 200 rankings of 15,000 genes (a shared signal plus
noise per ranking) against 50 gene sets. W1/1000: W1's ranking against its
first 1,000 gene sets, in the permutation stage alone and in full.
W1/one: W1's ranking against the one gene set of W1 whose p-value lies
nearest 1e-40 (one estimator, long enough to time its threads). And
"example": the bundled example (11,093 genes x 3,986 GO sets).
"""

from __future__ import annotations

import math
import pathlib
import random


def t3(rng: random.Random) -> float:
    chi2 = sum(rng.gauss(0.0, 1.0) ** 2 for _ in range(3))
    return rng.gauss(0.0, 1.0) / math.sqrt(chi2 / 3.0)


def log_uniform_size(rng: random.Random, lo: int, hi: int) -> int:
    return int(round(math.exp(rng.uniform(math.log(lo), math.log(hi)))))


def gene_sets(rng: random.Random, order: list[str], count: int, sizes, enriched: int) -> list[tuple[str, list[str]]]:
    """Gene sets over genes listed by decreasing score; the first `enriched`
    draw part of their genes from the top or bottom 1,500 of the ranking."""
    n = len(order)
    out = []
    for i in range(count):
        size = sizes(rng)
        if i < enriched:
            share = rng.uniform(0.25, 0.6)
            edge = order[:1500] if i % 2 == 0 else order[-1500:]
            picked = set(rng.sample(edge, int(size * share)))
            while len(picked) < size:
                picked.add(order[rng.randrange(n)])
            genes = sorted(picked)
        else:
            genes = sorted(rng.sample(order, size))
        out.append((f"SET_{i:05d}", genes))
    rng.shuffle(out)
    return out


def write_rnk(path: pathlib.Path, ranks: dict[str, float]) -> None:
    path.write_text("".join(f"{g}\t{s!r}\n" for g, s in ranks.items()))


def write_gmt(path: pathlib.Path, sets) -> None:
    path.write_text("".join(f"{name}\tsynthetic\t" + "\t".join(genes) + "\n" for name, genes in sets))


def ranking(rng: random.Random, genes: list[str], signal: dict[str, float] | None = None) -> dict[str, float]:
    scores = {g: t3(rng) + (signal[g] if signal else 0.0) for g in genes}
    return dict(sorted(scores.items(), key=lambda kv: rng.random()))  # file order is not rank order


def by_score(ranks: dict[str, float]) -> list[str]:
    return sorted(ranks, key=lambda g: -ranks[g])


def build(folder: pathlib.Path) -> dict[str, dict]:
    """Writes the workloads into folder (once) and describes them."""
    folder.mkdir(parents=True, exist_ok=True)
    stamp = folder / "done-v1"
    w3 = [folder / f"w3_{k:03d}.rnk" for k in range(200)]
    if not stamp.exists():
        rng = random.Random(20261206)
        genes = [f"G{i:05d}" for i in range(20000)]
        w1 = ranking(rng, genes)
        write_rnk(folder / "w1.rnk", w1)
        write_gmt(folder / "w1.gmt", gene_sets(rng, by_score(w1), 5000, lambda r: log_uniform_size(r, 15, 500), 200))

        w2 = ranking(rng, genes[:12000])
        write_rnk(folder / "w2.rnk", w2)
        write_gmt(folder / "w2.gmt", gene_sets(rng, by_score(w2), 50, lambda r: r.randint(30, 200), 5))

        base = genes[:15000]
        signal = {g: 0.0 for g in base}
        shared = ranking(rng, base)
        for g in by_score(shared)[:300]:
            signal[g] = 1.5
        for g in by_score(shared)[-300:]:
            signal[g] = -1.5
        for path in w3:
            write_rnk(path, ranking(rng, base, signal))
        write_gmt(folder / "w3.gmt", gene_sets(rng, by_score(shared), 50, lambda r: log_uniform_size(r, 15, 500), 8))
        stamp.write_text("")
    small = folder / "w1_1000.gmt"
    if not small.exists():  # W1's first 1,000 gene sets: about 40 of them enriched
        with open(folder / "w1.gmt") as f:
            small.write_text("".join(f.readlines()[:1000]))
    one = folder / "w1_one.gmt"
    if not one.exists():  # the W1 gene set whose p-value lies nearest 1e-40 (1.05e-40, 333 genes)
        with open(folder / "w1.gmt") as f:
            one.write_text("".join(line for line in f if line.startswith("SET_00079\t")))
    examples = pathlib.Path(__file__).resolve().parents[1] / "examples"
    return {
        "example": {"rnk": [examples / "panc1_foxa2ko_vs_wt_t.rnk"], "gmt": examples / "go_bp_2022_15_500.gmt"},
        "W1/1000": {"rnk": [folder / "w1.rnk"], "gmt": small},
        "W1": {"rnk": [folder / "w1.rnk"], "gmt": folder / "w1.gmt"},
        "W1/one": {"rnk": [folder / "w1.rnk"], "gmt": one},
        "W2": {"rnk": [folder / "w2.rnk"], "gmt": folder / "w2.gmt"},
        "W3": {"rnk": w3, "gmt": folder / "w3.gmt"},
    }
