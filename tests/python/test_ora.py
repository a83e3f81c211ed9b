"""Over-representation analysis against R 4.2 (tests/data/ora/, written by
scripts/make_ora_fixtures.R) and against the hypergeometric tail summed in
exact rational arithmetic."""

from __future__ import annotations

import math
import pathlib
import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("scipy")

from rsvelmo import RankingError, RankingWarning, ora  # noqa: E402
from rsvelmo.analyses.ora import COLUMNS, lists_from_table, universe_sha256  # noqa: E402
from rsvelmo.analyses.ora_stats import bh_adjust, conditional_mle_odds_ratio  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
ORA = DATA / "ora"
TINY = 2.2250738585072014e-308  # the smallest normal double

# case: (sets file, min_size, max_size, how the lists and the universe are made)
CASES = {
    "deseq2": ("table_sets.gmt", 5, 60, ("deseq2_write_csv.csv", "log2FoldChange", "pvalue")),
    "limma": ("table_sets.gmt", 5, 60, ("limma_write_csv.csv", "logFC", "P.Value")),
    "go": ("go_sets.gmt", 15, 500, "default"),
    "tail": ("tail_sets.gmt", 1, 1000, [f"TG{i:05d}" for i in range(1, 20001)]),
}


def r_lists(case: str) -> dict[str, list[str]]:
    rows = pd.read_csv(ORA / "lists.tsv", sep="\t", dtype=str, keep_default_na=False)
    rows = rows[rows["case"] == case]
    return {name: group["gene"].tolist() for name, group in rows.groupby("list", sort=False)}


def expected() -> pd.DataFrame:
    e = pd.read_csv(ORA / "expected.tsv", sep="\t", dtype={"genes": str}, keep_default_na=False)
    for col in ("pval", "padj", "odds_ratio"):
        e[col] = [math.inf if v == "inf" else float.fromhex(v) for v in e[col]]
    e["fisher_estimate"] = e["fisher_estimate"].astype(float)
    return e


EXPECTED = expected()
_RESULTS: dict[str, pd.DataFrame] = {}


def run_case(case: str) -> pd.DataFrame:
    if case not in _RESULTS:
        sets_file, lo, hi, source = CASES[case]
        sets = ORA / sets_file
        if isinstance(source, tuple):
            file, score, p = source
            table = pd.read_csv(DATA / "tables" / file, index_col=0)
            lists, universe = lists_from_table(
                table, score_col=score, padj_col=p, padj_cut=0.2, min_abs_score=0.5, both=True
            )
            assert {k: v for k, v in lists.items() if v} == r_lists(case)
        elif source == "default":
            lists, universe = r_lists(case), None
        else:
            lists, universe = r_lists(case), source
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            _RESULTS[case] = ora(lists, sets, universe=universe, min_size=lo, max_size=hi)
        assert [w.category for w in caught] == ([RankingWarning] if universe is None else [])
    return _RESULTS[case]


def relative(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    same = (a == b) | (np.isnan(a) & np.isnan(b))
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(same, 0.0, np.abs(a - b) / np.abs(b))


PAIRS = sorted(set(zip(EXPECTED["case"], EXPECTED["list"])))


@pytest.mark.parametrize(("case", "name"), PAIRS, ids=[f"{c}-{n}" for c, n in PAIRS])
def test_against_r(case, name):
    got = run_case(case)
    got = got[got["list"] == name].set_index("pathway")
    want = EXPECTED[(EXPECTED["case"] == case) & (EXPECTED["list"] == name)].set_index("pathway")
    assert sorted(got.index) == sorted(want.index)  # every set in the size range, overlap 0 included
    got = got.loc[want.index]
    for col in ("size", "overlap", "list_size", "universe_size"):
        assert got[col].tolist() == want[col].tolist(), col
    assert ["/".join(g) for g in got["genes"]] == want["genes"].tolist()
    # p-values: relative to R's where R's are normal doubles. Below that R's
    # phyper rounds the density to a subnormal before multiplying by the
    # tail's sum and strays by tens of the smallest steps (the exact route
    # below is the reference there): within 1e-321 of it.
    p, rp = got["pval"].to_numpy(), want["pval"].to_numpy()
    normal = rp >= TINY
    assert relative(p[normal], rp[normal]).max(initial=0) <= 1e-10
    assert np.abs(p[~normal] - rp[~normal]).max(initial=0) <= 1e-321
    padj, rpadj = got["padj"].to_numpy(), want["padj"].to_numpy()
    assert relative(padj[rpadj >= TINY], rpadj[rpadj >= TINY]).max(initial=0) <= 1e-10
    # odds ratios: 0 and infinity exactly where R has them, else a precise solve's value
    o, ro = got["odds_ratio"].to_numpy(), want["odds_ratio"].to_numpy()
    assert np.array_equal(o == 0, ro == 0) and np.array_equal(np.isinf(o), np.isinf(ro))
    assert relative(o, ro).max(initial=0) <= 1e-6
    # fisher.test's own estimate stops its root search at 1.2e-4 in psi, or
    # in 1 / psi above 1
    finite = np.isfinite(ro) & (ro > 0)
    small, r_small = o[finite], want["fisher_estimate"].to_numpy()[finite]
    small = np.minimum(small, 1 / small)
    assert np.abs(small - np.minimum(r_small, 1 / r_small)).max(initial=0) <= 2e-4
    # the table's layout: sorted by p-value, the definitions' derived columns
    ordered = run_case(case)
    ordered = ordered[ordered["list"] == name]
    assert (np.diff(ordered["pval"].to_numpy()) >= 0).all()
    assert list(ordered.columns) == ["list"] + COLUMNS


def test_bh_matches_r_bit_for_bit():
    for _, want in EXPECTED.groupby(["case", "list"]):
        assert [x.hex() for x in bh_adjust(want["pval"].to_numpy())] == [x.hex() for x in want["padj"]]


def exact_upper_tail(k: int, N: int, K: int, n: int) -> float:
    """P(X >= k) summed over the rationals: correctly rounded, subnormals included."""
    top = sum(math.comb(K, x) * math.comb(N - K, n - x) for x in range(k, min(K, n) + 1))
    return float(Fraction(top, math.comb(N, n)))


def test_tail_against_exact_rationals():
    got = run_case("tail")
    for row in got.itertuples():
        exact = exact_upper_tail(row.overlap, row.universe_size, row.size, row.list_size)
        if exact >= TINY:
            assert abs(row.pval - exact) <= 1e-12 * exact, row.pathway
        else:  # fewer bits below the normal range: within one of the smallest steps
            assert abs(row.pval - exact) <= 5e-324, row.pathway


def test_sample_odds_ratio_and_expected_follow_the_definitions():
    got = run_case("deseq2")
    k, K, n, N = (got[c].to_numpy() for c in ("overlap", "size", "list_size", "universe_size"))
    with np.errstate(divide="ignore", invalid="ignore"):
        sample = (k * (N - K - n + k)) / ((K - k) * (n - k))
    assert np.array_equal(got["sample_odds_ratio"].to_numpy(), sample, equal_nan=True)
    assert np.array_equal(got["expected"].to_numpy(), n * K / N)
    assert np.allclose(got["fold_enrichment"] * got["expected"], k, rtol=1e-15, atol=0)


# ---------------------------------------------------------------- the universe and the lists


SETS = {"A": ["g1", "g2", "g3", "x9"], "B": ["g4", "g5", "g6"], "C": ["g1", "g6", "g7", "g8", "g9"]}
UNIVERSE = [f"g{i}" for i in range(1, 21)]


def test_genes_outside_the_universe_are_dropped_and_counted():
    got = ora(["g3", "zz", "g1", "g1", "x9", "g6"], SETS, universe=UNIVERSE, min_size=1)
    assert got.attrs["universe_size"] == 20
    assert got.attrs["lists"] == {"genes": {"given": 5, "in_universe": 3, "outside_universe": 2}}
    rows = got.set_index("pathway")
    assert rows.loc["A", ["size", "overlap", "list_size"]].tolist() == [3, 2, 3]  # x9 is not in the universe
    assert rows.loc["A", "genes"] == ["g3", "g1"]  # the list's order
    assert "list" not in got.columns


def test_default_universe_is_the_sets_genes_and_warns_in_each_spelling():
    with pytest.warns(RankingWarning, match="the universe is the 10 genes of the gene sets") as caught:
        got = ora(["g1", "g2", "g20"], SETS, min_size=1)
    assert got.attrs["universe_size"] == 10
    assert got.attrs["universe_source"] == "the gene sets' genes"
    assert got.attrs["lists"]["genes"]["outside_universe"] == 1
    from rsvelmo._errors import render

    message = caught[0].message
    assert str(message).endswith("with universe=") and render(message, "cli").endswith("with --universe")


def test_the_universe_hash_is_of_the_sorted_distinct_genes():
    got = ora(["g1"], SETS, universe=list(reversed(UNIVERSE)) + ["g1"], min_size=1)
    text = "".join(f"{g}\n" for g in sorted(UNIVERSE))
    assert got.attrs["universe_sha256"] == universe_sha256(UNIVERSE)
    assert got.attrs["universe_sha256"] == __import__("hashlib").sha256(text.encode()).hexdigest()


@pytest.mark.parametrize(
    ("min_size", "max_size", "tested"),
    [(1, 500, ["A", "B", "C"]), (4, 500, ["C"]), (1, 3, ["A", "B"]), (6, 9, [])],
)
def test_size_range_counts_genes_in_the_universe(min_size, max_size, tested):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = ora({"l": ["g1"]}, SETS, universe=UNIVERSE, min_size=min_size, max_size=max_size)
    assert sorted(got["pathway"]) == tested
    # none tested: a warning asks whether the names and the size range are right
    assert [str(w.message)[:40] for w in caught] == (["no gene set has 6 to 9 genes in the univ"] if not tested else [])


def test_a_list_without_genes_in_the_universe_warns_and_has_no_rows():
    with pytest.warns(RankingWarning, match="'down' has no gene in the universe"):
        got = ora({"up": ["g1", "g6"], "down": ["q"]}, SETS, universe=UNIVERSE, min_size=1)
    assert set(got["list"]) == {"up"}


@pytest.mark.parametrize(
    ("k", "K", "n", "want"),
    [(0, 5, 5, 0.0), (5, 5, 7, math.inf), (7, 9, 7, math.inf), (3, 15, 12, 0.0), (5, 20, 5, 0.0), (2, 2, 19, math.inf)],
)
def test_odds_ratio_at_the_support_ends(k, K, n, want):
    # N = 20: with K + n > N the support starts above 0 (K=15, n=12: at 7;
    # K=2, n=19: 1 to 2); a set of all 20 genes has one point, 0 as in R
    lo = max(0, n + K - 20)
    k = lo if want == 0.0 and K + n > 20 else k
    got = conditional_mle_odds_ratio([k], 20, [K], [n])[0]
    assert got == want


TABLE = pd.DataFrame(
    {
        "log2FoldChange": [2.0, 1.0, -1.0, -0.99, 3.0, np.nan, -4.0, 0.5],
        "pvalue": [0.001, 0.01, 0.0001, 0.0001, 0.01, 0.001, np.nan, 0.1],
        "padj": [0.01, 0.049, 0.001, 0.001, 0.05, 0.01, np.nan, np.nan],
    },
    index=["a", "b", "c", "d", "e", "f", "g", "h"],
)


def test_lists_from_a_table():
    lists, universe = lists_from_table(TABLE, padj_cut=0.05, min_abs_score=1.0, both=True)
    # a, b up (1.0 counts); c down, d too small; e at the cut is out; f has no score; g was not tested;
    # h has a p-value but no padj (DESeq2's independent filtering): tested
    assert lists == {"up": ["a", "b"], "down": ["c"], "both": ["a", "b", "c"]}
    assert universe == ["a", "b", "c", "d", "e", "f", "h"]


def test_lists_from_a_table_by_gene_column_and_without_raw_p_values():
    table = TABLE.drop(columns="pvalue").reset_index(names="symbol")
    lists, universe = lists_from_table(table, gene_col="symbol", min_abs_score=0.0)
    assert lists == {"up": ["a", "b"], "down": ["c", "d"]}
    assert universe == ["a", "b", "c", "d", "e", "f"]  # the padj column says what was tested


def test_a_table_file_and_its_dataframe_give_one_result():
    path = DATA / "tables" / "deseq2_write_csv.csv"
    options = dict(padj_col="pvalue", padj_cut=0.2, min_abs_score=0.5, both=True, min_size=5, max_size=60)
    from_file = ora(path, ORA / "table_sets.gmt", **options)
    from_frame = ora(pd.read_csv(path, index_col=0), ORA / "table_sets.gmt", **options)
    pd.testing.assert_frame_equal(from_file, from_frame)
    assert from_file.equals(run_case("deseq2"))
    assert from_file.attrs["universe_source"] == "the genes the table tested"
    assert from_file.attrs["reading"].startswith(f"{path}: 300 genes, 299 tested (with pvalue); up and down")


def test_a_gene_file_and_a_universe_file(tmp_path):
    (tmp_path / "genes.txt").write_text("gene\ng3\ng1\n\n# a comment\ng6\n")
    (tmp_path / "universe.csv").write_text("symbol,mean\n" + "".join(f"{g},1.5\n" for g in UNIVERSE))
    got = ora(tmp_path / "genes.txt", SETS, universe=tmp_path / "universe.csv", min_size=1)
    assert got.equals(ora(["g3", "g1", "g6"], SETS, universe=UNIVERSE, min_size=1))
    assert got.attrs["reading"] == f"{tmp_path / 'genes.txt'}: 3 genes, one a line"
    assert got.attrs["universe_source"] == f"from {tmp_path / 'universe.csv'}"


def test_ids_are_mapped_in_the_list_and_the_universe_alike():
    sets = {"S": ["TP53", "EGFR", "MYC"], "T": ["GAPDH", "ACTB"]}
    ids = {"TP53": "ENSG00000141510", "EGFR": "ENSG00000146648", "MYC": "ENSG00000136997",
           "GAPDH": "ENSG00000111640", "ACTB": "ENSG00000075624"}  # fmt: skip
    universe = [ids[g] + ".7" for g in ids] + ["ENSG00000000001"]
    with pytest.warns(RankingWarning, match="1 of 6 gene IDs are not in the table"):
        got = ora([ids["TP53"], ids["MYC"]], sets, universe=universe, map_ids="ensembl", min_size=1)
    assert got.attrs["universe_size"] == 5
    assert got.set_index("pathway").loc["S", "genes"] == ["TP53", "MYC"]


class TestBadInput:
    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            ({"score_col": "logFC"}, "the table: no column named 'logFC' for effects (fold changes) (columns: "
                                     "log2FoldChange, pvalue, padj)"),
            ({"padj_col": 7}, "the table: no column 7 for adjusted p-values; the table has 3"),
        ],
    )  # fmt: skip
    def test_table_columns(self, kwargs, message):
        with pytest.raises(RankingError) as e:
            lists_from_table(TABLE, **kwargs)
        assert str(e.value) == message

    def test_a_table_without_known_columns_names_the_option_in_each_spelling(self):
        with pytest.raises(RankingError) as e:
            ora(TABLE.rename(columns={"padj": "q"}), SETS)
        assert str(e.value).endswith("name it with padj_col=")
        assert e.value.render("cli").endswith("name it with --padj-col")

    def test_repeated_genes_in_a_table(self):
        table = TABLE.rename(index={"b": "a"})
        with pytest.raises(RankingError, match=r"gene names repeat \(2 rows, e.g. a\)"):
            lists_from_table(table)

    @pytest.mark.parametrize(
        ("genes", "sets", "kwargs", "error", "message"),
        [
            (7, SETS, {}, TypeError, "genes must be a list of genes, a mapping of named lists, a file or"),
            ({"up": "g1"}, SETS, {}, TypeError, "list 'up' must be a sequence of gene names, not str"),
            (["g1"], {"A": "g1"}, {}, ValueError, "gene set 'A' is a single string"),
            (["g1"], SETS, {"min_size": 10, "max_size": 5}, ValueError, r"min_size \(10\) must not exceed max_size"),
            (["g1"], SETS, {"universe": []}, ValueError, "the universe is empty"),
            (["g1"], SETS, {"universe": 5}, TypeError, "universe must be a file of genes or a collection"),
        ],
    )
    def test_ora_arguments(self, genes, sets, kwargs, error, message):
        kwargs.setdefault("universe", UNIVERSE)
        with pytest.raises(error, match=message):
            ora(genes, sets, **kwargs)


def test_the_tails_are_the_same_doubles_in_one_thread_and_in_many(monkeypatch):
    from rsvelmo.analyses import ora_stats

    rng = np.random.default_rng(3)
    K, n = rng.integers(15, 500, 5000), rng.integers(50, 1000, 5000)
    k = np.minimum(rng.integers(0, 40, 5000), np.minimum(K, n))
    whole = ora_stats.hypergeometric_upper_tail(k, 18000, K, n)
    monkeypatch.setattr(ora_stats, "_PART", 7)
    monkeypatch.setattr(ora_stats.os, "cpu_count", lambda: 7)
    assert [x.hex() for x in ora_stats.hypergeometric_upper_tail(k, 18000, K, n)] == [x.hex() for x in whole]


class TestEngineEntry:
    @pytest.mark.parametrize(
        ("args", "error", "message"),
        [
            ((20, np.array([5]), np.array([5]), np.array([6])), ValueError,
             "table 0 (K=5, n=5, k=6): an overlap outside the table's support"),
            ((20, np.array([30]), np.array([5]), np.array([1])), ValueError,
             "table 0 (K=30, n=5, k=1): a set or list larger than the universe"),
            ((20, np.array([5.0]), np.array([5]), np.array([1])), ValueError, "K must hold 64-bit integers"),
            ((20, np.array([5, 6]), np.array([5]), np.array([1])), ValueError, "K, n and k must have one length"),
            ((20, [5], np.array([5]), np.array([1])), TypeError, "a bytes-like object is required, not 'list'"),
        ],
    )  # fmt: skip
    def test_bad_tables(self, args, error, message):
        from rsvelmo._engine import ora_odds_ratios

        with pytest.raises(error) as e:
            ora_odds_ratios(*args)
        assert str(e.value) == message


def test_a_table_whose_cut_lists_no_gene_says_how_close_it_came():
    path = DATA / "tables" / "deseq2_write_csv.csv"
    with pytest.raises(RankingError) as e:
        ora(path, ORA / "table_sets.gmt")
    assert e.value.render("cli") == (
        f"{path}: no gene passes padj < 0.05 and |log2FoldChange| >= 1 (the smallest adjusted p-value is 0.353), "
        "so there is no list to analyse; loosen --padj-cut or --min-abs-score"
    )
