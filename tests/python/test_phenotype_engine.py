"""run_phenotype against the published definitions, recomputed here with numpy on a 4 v 4
design whose 70 label assignments are all enumerated; golden rows of a random run with 1, 2
and 3 worker threads; and the inputs it refuses."""

import itertools
import json

import numpy as np
import pytest
import rsvelmopy
from conftest import run_python

LABELS = np.array([1, 0, 1, 1, 0, 0, 1, 0], dtype=bool)


def design():
    """200 genes x 8 samples; rows 0-14 higher in class A, rows 100-111 lower."""
    rng = np.random.default_rng(20261208)
    x = rng.lognormal(mean=2.0, sigma=0.4, size=(200, 8))
    x[:15, LABELS] *= 2.5
    x[100:112, LABELS] *= 0.45
    sets = [
        list(range(0, 15)) + [40, 41, 42],  # up in A
        list(range(100, 112)),  # down in A
        list(range(0, 6)) + list(range(100, 106)),  # both
        list(range(150, 180)),
        list(range(20, 200, 9)),
        [60, 61, 62, 63, 64, 65, 66, 67],
    ]
    return x, sets


# ---- the definitions, written from scratch --------------------------------------------------


def metric(x, labels, kind):
    a, b = x[:, labels], x[:, ~labels]
    ma, mb = a.mean(axis=1), b.mean(axis=1)
    if kind == "diff_of_classes":
        return ma - mb
    if kind == "ratio_of_classes":
        return ma / mb
    if kind == "log2_ratio_of_classes":
        return np.log2(ma / mb)

    def sd(v, m):
        s = np.maximum(v.std(axis=1, ddof=1), 0.2 * np.abs(m))
        return np.where(s == 0, 0.2, s)

    sa, sb = sd(a, ma), sd(b, mb)
    if kind == "signal_to_noise":
        return (ma - mb) / (sa + sb)
    return (ma - mb) / np.sqrt(sa**2 / a.shape[1] + sb**2 / b.shape[1])


def enrichment(m, rows, weight=1.0):
    """ES and leading edge from the running sum itself."""
    order = np.argsort(-m, kind="stable")
    hit = np.isin(order, rows)
    n, k = len(m), len(rows)
    if weight == 0:
        # Steps 1/k and -1/(n - k): in units of 1/(k (n - k)) the sum is an exact integer, so
        # equal sums of different assignments tie exactly, as the definition has them.
        run = np.cumsum(np.where(hit, n - k, -k))
        top, bottom = run.max() / (k * (n - k)), run.min() / (k * (n - k))
    else:
        w = np.abs(m[order]) ** weight
        run = np.cumsum(np.where(hit, w / w[hit].sum(), -1.0 / (n - k)))
        top, bottom = run.max(), run.min()
    if top >= -bottom:
        edge = order[: np.argmax(run) + 1]
        return top, [int(g) for g in edge if g in rows]
    edge = order[np.argmin(run) + 1 :]
    return bottom, [int(g) for g in edge if g in rows]


def reference(x, sets, kind, weight):
    """Every column of the exact analysis, straight from the definitions."""
    observed = metric(x, LABELS, kind)
    es = np.array([enrichment(observed, s, weight)[0] for s in sets])
    null = []
    for a in itertools.combinations(range(8), 4):
        labels = np.isin(np.arange(8), a)
        m = metric(x, labels, kind)
        null.append([enrichment(m, s, weight)[0] for s in sets])
    null = np.array(null)  # assignments x sets
    assert len(null) == 70
    mean_pos = np.array([c[c >= 0].mean() for c in null.T])
    mean_neg = np.array([-c[c < 0].mean() for c in null.T])
    nes = np.where(es >= 0, es / mean_pos, es / mean_neg)
    pval = np.array([(c[c >= 0] >= e).mean() if e >= 0 else (c[c < 0] <= e).mean() for c, e in zip(null.T, es)])
    null_nes = np.where(null >= 0, null / mean_pos, null / mean_neg)
    pos, neg = null_nes[null_nes >= 0], null_nes[null_nes < 0]
    top = np.where(null_nes >= 0, null_nes, -np.inf).max(axis=1)
    bottom = np.where(null_nes < 0, null_nes, np.inf).min(axis=1)
    fdr, fwer = [], []
    for v in nes:
        if v >= 0:
            fdr.append(min(1.0, (pos >= v).mean() / (nes[nes >= 0] >= v).mean()))
            fwer.append((top >= v).mean())
        else:
            fdr.append(min(1.0, (neg <= v).mean() / (nes[nes < 0] <= v).mean()))
            fwer.append((bottom <= v).mean())
    edges = [enrichment(observed, s, weight)[1] for s in sets]
    return {"metric": observed, "es": es, "nes": nes, "pval": pval, "fdr": fdr, "fwer": fwer, "edges": edges}


@pytest.mark.parametrize(
    ("kind", "weight"),
    [
        ("signal_to_noise", 1.0),
        ("t_test", 1.0),
        ("diff_of_classes", 1.0),
        ("ratio_of_classes", 1.0),
        ("log2_ratio_of_classes", 1.0),
        ("signal_to_noise", 0.0),
        ("diff_of_classes", 2.0),
    ],
)
def test_exact_enumeration_follows_the_definitions(kind, weight):
    x, sets = design()
    got = rsvelmopy.run_phenotype(x, LABELS, sets, metric=kind, permutations="exact", weight=weight)
    want = reference(x, sets, kind, weight)
    assert got["exact"] is True and got["permutations"] == 70
    np.testing.assert_allclose(got["metric"], want["metric"], rtol=1e-13, atol=1e-15)
    assert got["order"] == np.argsort(-np.array(got["metric"]), kind="stable").tolist()
    for key in ("es", "nes"):
        np.testing.assert_allclose([r[key] for r in got["sets"]], want[key], rtol=1e-12)
    # Shares of counts: a count off by one would move them by a whole 70th or more.
    for key in ("pval", "fdr", "fwer"):
        np.testing.assert_allclose([r[key] for r in got["sets"]], want[key], rtol=1e-12)
    assert [r["leading_edge"] for r in got["sets"]] == want["edges"]
    assert [r["leading_edge_size"] for r in got["sets"]] == [len(e) for e in want["edges"]]
    # The design is what it claims: the first two sets stand out, on their own sides.
    assert got["sets"][0]["es"] > 0 > got["sets"][1]["es"]
    assert got["sets"][0]["pval"] < 0.1 and got["sets"][1]["pval"] < 0.1


def test_auto_enumerates_up_to_nperm():
    x, sets = design()
    exact = rsvelmopy.run_phenotype(x, LABELS, sets, nperm=70)
    random = rsvelmopy.run_phenotype(x, LABELS, sets, nperm=69)
    assert (exact["exact"], exact["permutations"]) == (True, 70)
    assert (random["exact"], random["permutations"]) == (False, 69)
    # Random: (b + 1) / (m + 1) over the same-sign null, never 0.
    for r in random["sets"]:
        assert 0 < r["pval"] <= 1 and 0 < r["fdr"] and 0 < r["fwer"]
        assert (r["fwer"] * 70) == pytest.approx(round(r["fwer"] * 70), abs=1e-9)


# ---- a random run, pinned ------------------------------------------------------------------

GOLDEN_CODE = """
    import json, numpy as np, rsvelmopy
    from test_phenotype_engine import LABELS, design
    x, sets = design()
    got = rsvelmopy.run_phenotype(x, LABELS, sets, permutations="random", nperm=300, seed=7)
    print(json.dumps([[r[k].hex() for k in ("es", "nes", "pval", "fdr", "fwer")] + [r["leading_edge_size"]]
                      for r in got["sets"]]))
"""

# es, nes, pval, fdr, fwer, leading_edge_size of each set (nperm=300, seed=7), made once by
# GOLDEN_CODE; the definitions' test above checks the arithmetic, this one that it never moves.
GOLDEN = [
    [
        "0x1.c7af887c25d77p-1",
        "0x1.029f6b2fee9b1p+1",
        "0x1.948b0fcd6e9e0p-6",
        "0x1.b2f9341b2f934p-7",
        "0x1.b37484ad806cep-7",
        12,
    ],
    [
        "-0x1.bbea3677d46cep-1",
        "-0x1.af6351c6e2c4bp+0",
        "0x1.ca4b3055ee191p-6",
        "0x1.ec9d5cef7729bp-6",
        "0x1.e9e31543307a8p-6",
        12,
    ],
    [
        "0x1.1698c9d87945ep-1",
        "0x1.98d474214efc8p+0",
        "0x1.948b0fcd6e9e0p-6",
        "0x1.616a7a5616a7bp-5",
        "0x1.38fbbf5cb44e4p-4",
        5,
    ],
    [
        "-0x1.06f8004eb8cafp-2",
        "-0x1.be6d63d9b687cp-1",
        "0x1.57741314abba1p-1",
        "0x1.434744fd26335p-1",
        "0x1.d5799f0b0e756p-1",
        10,
    ],
    [
        "-0x1.1548f7d8a41c8p-1",
        "-0x1.8e0403df36bc5p+0",
        "0x1.999999999999ap-5",
        "0x1.5617f250f64ecp-5",
        "0x1.ceabccf85873bp-5",
        10,
    ],
    [
        "0x1.e8d07f7c6f2fap-2",
        "0x1.49157616729d9p+0",
        "0x1.101ca4b3055eep-3",
        "0x1.c518eb9c518ecp-3",
        "0x1.16f6a4ff2645cp-1",
        3,
    ],
]


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_random_run_is_pinned_for_any_thread_count(threads):
    assert json.loads(run_python(GOLDEN_CODE, env={"RAYON_NUM_THREADS": threads})) == GOLDEN


# ---- refusals ------------------------------------------------------------------------------


def small():
    x, sets = design()
    return x, LABELS.tolist(), sets


def with_nan():
    x, labels, sets = small()
    x = x.copy()
    x[7, 3] = np.nan
    return x, labels, sets


@pytest.mark.parametrize(
    ("make", "kwargs", "error", "message"),
    [
        (
            lambda: (small()[0].astype(np.float32),) + small()[1:],
            {},
            ValueError,
            "matrix: expected float64 values, got format 'f'",
        ),
        (
            lambda: (small()[0].astype(np.int64),) + small()[1:],
            {},
            ValueError,
            "matrix: expected float64 values, got format 'l'",
        ),
        (
            lambda: (small()[0][:, 0].copy(),) + small()[1:],
            {},
            ValueError,
            "matrix: expected a 2-D array (genes x samples), got 1 dimension(s)",
        ),
        (
            lambda: (np.asfortranarray(small()[0]),) + small()[1:],
            {},
            ValueError,
            "matrix: expected a C-contiguous array (numpy.ascontiguousarray)",
        ),
        (
            lambda: (small()[0].tolist(),) + small()[1:],
            {},
            TypeError,
            "run_phenotype() argument 'matrix' must be a 2-D float64 array, not list",
        ),
        (with_nan, {}, ValueError, "matrix: the value at row 7, column 3 is not finite"),
        (
            lambda: (small()[0], [1, 1, 0, 0, 0, 0, 0, 0], small()[2]),
            {},
            ValueError,
            "labels: the classes have 2 and 6 samples; this metric needs at least 3 in each",
        ),
        (lambda: (small()[0], [1, 0, 1, 0], small()[2]), {}, ValueError, "labels: 4 labels for 8 samples"),
        (
            lambda: (small()[0], [1, 0, 1, 2, 0, 1, 0, 1], small()[2]),
            {},
            ValueError,
            "labels: item 3 is neither 0 nor 1",
        ),
        (
            lambda: (small()[0], ["A"] * 8, small()[2]),
            {},
            TypeError,
            "run_phenotype() argument 'labels': item 0 must be a bool or int, not str",
        ),
        (
            lambda: small()[:2] + ([[0, 1], [5, 200]],),
            {},
            ValueError,
            "gene_sets: gene set 1 names row 200 of a matrix with 200 rows",
        ),
        (lambda: small()[:2] + ([[0, -1]],), {}, ValueError, "gene_sets: gene set 0 names row -1"),
        (lambda: small()[:2] + ([[0, 1], []],), {}, ValueError, "gene_sets: gene set 1 is empty"),
        (lambda: small()[:2] + ([[0, 1, 1]],), {}, ValueError, "gene_sets: gene set 0 names row 1 twice"),
        (
            lambda: small()[:2] + (["G1"],),
            {},
            TypeError,
            "run_phenotype() argument 'gene_sets': gene set 0 must be a sequence of int, not str",
        ),
        (
            small,
            {"metric": "snr"},
            ValueError,
            "metric must be one of 'signal_to_noise', 't_test', 'diff_of_classes', 'ratio_of_classes', "
            "'log2_ratio_of_classes', not 'snr'",
        ),
        (
            small,
            {"permutations": "all"},
            ValueError,
            "permutations must be one of 'auto', 'exact', 'random', not 'all'",
        ),
        (small, {"weight": -1.0}, ValueError, "weight must be finite and >= 0"),
        (small, {"permutations": "random", "nperm": 0}, ValueError, "nperm must be at least 1"),
    ],
)
def test_refusals(make, kwargs, error, message):
    with pytest.raises(error) as e:
        rsvelmopy.run_phenotype(*make(), **kwargs)
    assert str(e.value) == message


def test_ratio_metric_refuses_a_possible_zero_mean():
    x, labels, sets = small()
    x = x.copy()
    x[3, [0, 1, 4, 5]] = 0.0  # four zeros: the four samples of a class can all be 0
    with pytest.raises(ValueError) as e:
        rsvelmopy.run_phenotype(x, labels, sets, metric="ratio_of_classes")
    assert str(e.value) == (
        "matrix: row 3 has 4 zeros, so a class of 4 samples can have mean 0 and a ratio metric is undefined"
    )


def test_no_genes_and_no_sets_give_an_empty_result():
    got = rsvelmopy.run_phenotype(np.zeros((0, 6)), [1, 1, 1, 0, 0, 0], [], permutations="exact")
    assert got == {"sets": [], "metric": [], "order": [], "permutations": 20, "exact": True}
