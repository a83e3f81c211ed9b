"""The whole analyses pinned in tests/data/golden.json: each mode and score
type, the single-set and batch paths, a ranking with ties, settled calls and
a slice of the bundled real data. Inputs are built here, deterministically, so that the
test and scripts/regen_golden.py see the same ones."""

import pathlib
import random

ROOT = pathlib.Path(__file__).resolve().parents[2]
GOLDEN = ROOT / "tests" / "data" / "golden.json"


def _real_slice():
    """Every fourth gene of the bundled ranking, every hundredth of its gene sets."""
    lines = (ROOT / "examples" / "panc1_foxa2ko_vs_wt_t.rnk").read_text().splitlines()[::4]
    ranks = {gene: float(score) for gene, score in (line.split("\t") for line in lines)}
    rows = (ROOT / "examples" / "go_bp_2022_15_500.gmt").read_text().splitlines()[::100]
    return ranks, {name: genes for name, _, *genes in (row.split("\t") for row in rows)}


def _synthetic(ties: bool):
    rng = random.Random(11)
    genes = [f"G{i}" for i in range(1500)]
    ranks = {g: (round(rng.gauss(0, 1), 1) if ties else rng.gauss(0, 1)) for g in genes}
    ordered = sorted(genes, key=lambda g: -ranks[g])
    sets = {f"TOP{k}": ordered[: 3 * k] + rng.sample(ordered, k) for k in (5, 10, 20)}
    sets |= {f"BOTTOM{k}": ordered[-2 * k :] for k in (8, 30)}
    sets |= {f"RANDOM{i}": rng.sample(genes, rng.randint(10, 60)) for i in range(12)}
    return ranks, sets


def cases():
    """name -> (ranks, gene sets, run_gsea options)."""
    real = _real_slice()
    plain = _synthetic(ties=False)
    tied = _synthetic(ties=True)
    one = (plain[0], {"TOP10": plain[1]["TOP10"]})
    return {
        "real_simple_std": (*real, {"mode": "simple", "nperm": 2000, "min_size": 15, "max_size": 500}),
        "real_multilevel_std": (*real, {"mode": "multilevel", "nperm_simple": 500, "min_size": 15, "max_size": 500}),
        "synthetic_multilevel_pos": (*plain, {"mode": "multilevel", "score_type": "pos", "sample_size": 21}),
        "synthetic_multilevel_neg": (*plain, {"mode": "multilevel", "score_type": "neg", "seed": 3}),
        "synthetic_simple_weight_half": (*plain, {"mode": "simple", "nperm": 1500, "gsea_param": 0.5}),
        "single_set_simple_chunks": (*one, {"mode": "simple", "nperm": 2500}),
        "single_set_multilevel": (*one, {"mode": "velmo", "seed": 9}),
        "ties_velmo": (*tied, {"mode": "velmo", "eps": 1e-20}),
        "synthetic_stable_calls": (*plain, {"mode": "velmo", "seed": 5, "stable_calls": 0.5}),
    }


def hexed(record):
    """A record with every double as its exact hex form."""
    exact = ("es", "nes", "pval", "padj", "log2err")
    return {
        k: (None if v is None else float(v).hex()) if k in exact else v for k, v in record.items() if k != "description"
    }
