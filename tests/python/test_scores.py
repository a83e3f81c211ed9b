"""rsvelmo.score_samples and ``rsvelmo score``: GSVA 1.46's scores through the
package's readers, the samples a score depends on, the executor road, bad input."""

import concurrent.futures
import contextlib
import json
import math
import os

import numpy as np
import pandas as pd
import pytest
import rsvelmo
from rsvelmo.analyses.scores import benjamini_hochberg
from rsvelmo.cli import main
from test_sample_scores_engine import GSVA_DATA, TOLERANCE, cases, read_gmt_gz, read_hex_table


def fixture_frame(name):
    genes, samples, values = read_hex_table(GSVA_DATA / name)
    return pd.DataFrame(values, index=genes, columns=samples)


@pytest.mark.parametrize("case", cases(), ids=lambda c: f"{c['input']}-{c['variant']}")
def test_scores_equal_gsva_through_the_readers(case, tmp_path):
    matrix = fixture_frame(case["matrix"])
    sets = read_gmt_gz(GSVA_DATA / case["gene_sets"])
    if case["input"] == "sim":  # a file as users write them: R's row names, every double in full
        path = tmp_path / "matrix.tsv"
        matrix.to_csv(path, sep="\t", float_format="%.17g")
        matrix = str(path)
    options = dict(method=case["method"], kcdf=case["kcdf"], mx_diff=case["mx_diff"] == "TRUE",
                   abs_ranking=case["abs_ranking"] == "TRUE", ssgsea_norm=case["ssgsea_norm"] == "TRUE")  # fmt: skip
    # GSVA drops the set with no gene in the matrix; one warning counts it (and sim's constant gene
    # G007, dropped but by ssgsea).
    constant = case["input"] == "sim"
    warned = constant and case["method"] != "ssgsea"
    expected = "1 of [0-9]+ gene sets not scored \\(1 with no gene in the matrix, 0 outside the size bounds"
    with pytest.warns(rsvelmo.RankingWarning, match=("1 constant gene.*G007.*; " if warned else "") + expected):
        table = rsvelmo.score_samples(matrix, sets, **options)
    names, samples, reference = read_hex_table(GSVA_DATA / case["scores"])
    assert list(table.index) == names and list(table.columns) == samples
    assert table.attrs["not_scored"] == {"NOT_IN_MATRIX": "no gene in the matrix"}
    assert table.attrs["constant_genes"] == (["G007"] if constant else [])
    assert table.attrs["constant_dropped"] == (case["method"] != "ssgsea")
    ours = table.to_numpy()
    diff = np.abs(ours - reference)
    if case["method"] == "plage":  # the sign of each set's singular vector is the decomposition's choice
        diff = np.minimum(diff.max(axis=1), np.abs(ours + reference).max(axis=1))
    tolerance = TOLERANCE.get(case["variant"], dict(cell=1e-6, share=0.0, most=1e-6))
    assert np.mean(diff > tolerance["cell"]) <= tolerance["share"] and diff.max() <= tolerance["most"]


def random_frame(genes=300, samples=12, seed=7, counts=False):
    rng = np.random.default_rng(seed)
    values = (
        rng.poisson(20, size=(genes, samples)).astype(float)
        if counts
        else np.round(rng.normal(6, 2, (genes, samples)), 2)
    )
    return pd.DataFrame(
        values, index=[f"G{i:04d}" for i in range(genes)], columns=[f"S{j:02d}" for j in range(samples)]
    )


def random_sets(genes=300, count=40, seed=3):
    rng = np.random.default_rng(seed)
    return {f"SET{k:02d}": [f"G{i:04d}" for i in rng.choice(genes, rng.integers(3, min(60, genes)), replace=False)]
            for k in range(count)}  # fmt: skip


METHODS = [
    dict(method="gsva"),
    dict(method="gsva", kcdf="poisson"),
    dict(method="gsva", mx_diff=False),
    dict(method="ssgsea"),
    dict(method="ssgsea", ssgsea_norm=False),
    dict(method="zscore"),
    dict(method="plage"),
]
IDS = ["gsva", "gsva-poisson", "gsva-max", "ssgsea", "ssgsea-raw", "zscore", "plage"]


@pytest.mark.parametrize("options", METHODS, ids=IDS)
def test_a_samples_scores_depend_on_the_others_unless_raw_ssgsea(options):
    matrix, sets = random_frame(counts=True), random_sets()
    whole = rsvelmo.score_samples(matrix, sets, **options)
    keep = ["S03", "S07", "S08", "S11", "S00"]
    part = rsvelmo.score_samples(matrix[keep], sets, **options)
    independent = options == dict(method="ssgsea", ssgsea_norm=False)
    assert whole.attrs["depends_on_other_samples"] is (not independent)
    if independent:
        pd.testing.assert_frame_equal(part, whole[keep], check_exact=True)
    else:
        assert not np.allclose(np.abs(part.to_numpy()), np.abs(whole[keep].to_numpy()))


@pytest.mark.parametrize("options", METHODS, ids=IDS)
def test_an_executor_and_chunks_give_the_local_table_bit_for_bit(options):
    matrix, sets = random_frame(counts=True), random_sets()
    matrix.iloc[5] = 3.0  # a constant gene: dropped (with a warning), or kept by ssgsea, in every route
    dropped = options["method"] != "ssgsea"

    def warned():
        return pytest.warns(rsvelmo.RankingWarning, match="1 constant gene") if dropped else contextlib.nullcontext()

    with warned():
        local = rsvelmo.score_samples(matrix, sets, **options)
    assert local.attrs["constant_genes"] == ["G0005"]
    with concurrent.futures.ThreadPoolExecutor(3) as executor:
        for chunk in (None, 1, 5):
            with warned():
                again = rsvelmo.score_samples(matrix, sets, executor=executor, chunk_size=chunk, **options)
            pd.testing.assert_frame_equal(again, local, check_exact=True)
            assert {**again.attrs, "settings": {**again.attrs["settings"], "chunk_size": None}} == local.attrs


@pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")
def test_a_sparse_matrix_stays_sparse_for_ssgsea_and_scores_as_the_dense_one():
    anndata = pytest.importorskip("anndata")
    sparse = pytest.importorskip("scipy.sparse")
    matrix = random_frame(genes=200, samples=30, counts=True)
    matrix[matrix < 18] = 0.0
    adata = anndata.AnnData(sparse.csr_matrix(matrix.T.to_numpy()), obs=pd.DataFrame(index=matrix.columns),
                            var=pd.DataFrame(index=matrix.index))  # fmt: skip
    sets = random_sets(genes=200)
    for options in (dict(method="ssgsea"), dict(method="ssgsea", ssgsea_norm=False), dict(method="gsva")):
        dense = rsvelmo.score_samples(matrix, sets, **options)
        for chunk in (None, 7):
            pd.testing.assert_frame_equal(rsvelmo.score_samples(adata, sets, chunk_size=chunk, **options), dense,
                                          check_exact=True)  # fmt: skip


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_a_dask_cluster_of_two_workers_gives_the_local_table():
    from distributed import Client, LocalCluster

    # The largest runs that stay quick: 2,000 genes x 400 samples x 300 sets in 8 chunks of samples, the gsva
    # and zscore tasks each with the whole matrix and their own columns; plage in chunks of sets.
    matrix, sets = random_frame(genes=2000, samples=400, seed=11), random_sets(genes=2000, count=300, seed=12)
    runs = [("ssgsea", matrix, 50), ("gsva", matrix, 50), ("zscore", matrix, 50), ("plage", matrix.iloc[:, :60], 40)]
    local = [rsvelmo.score_samples(m, sets, method=method) for method, m, _ in runs]
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as c:
        for (method, m, chunk), table in zip(runs, local):
            remote = rsvelmo.score_samples(m, sets, method=method, executor=c.get_executor(), chunk_size=chunk)
            pd.testing.assert_frame_equal(remote, table, check_exact=True)


def cell(frame, gene, sample):
    return (frame.index == gene)[:, None] & (frame.columns == sample)


class TestBadInput:
    @pytest.mark.parametrize(
        "change, options, message",
        [
            (lambda m: m.mask(cell(m, "G0004", "S02")), {}, r"1 missing or infinite value\(s\), the first of gene "
             "'G0004' in sample 'S02'; every value is needed"),
            (lambda m: m.mask(cell(m, "G0009", "S01"), -2.0), dict(kcdf="poisson"), r"1 negative value\(s\), the "
             "first of gene 'G0009' in sample 'S01'; the Poisson kernel is for counts: for log-scale values use "
             "kcdf='gaussian'"),
            (lambda m: m[["S00"]], {}, "a single sample; method 'gsva' compares each "
             "gene's value with the other samples'.*score it alone with method='ssgsea'"),
        ],
        ids=["nan", "negative-counts", "single-sample"],
    )  # fmt: skip
    def test_one_line_says_what_is_wrong(self, change, options, message):
        matrix = change(random_frame(genes=30, samples=6, counts=True))
        with pytest.raises(rsvelmo.RankingError, match=message) as e:
            rsvelmo.score_samples(matrix, random_sets(genes=30, count=3), **options)
        assert "\n" not in str(e.value)

    def test_a_single_sample_is_scored_by_ssgsea(self):
        matrix = random_frame(samples=1)
        table = rsvelmo.score_samples(matrix, random_sets(), method="ssgsea", ssgsea_norm=False)
        assert table.shape == (40, 1) and table.attrs["depends_on_other_samples"] is False

    def test_sets_outside_the_bounds_or_without_genes_are_counted_and_none_left_is_refused(self):
        sets = {"small": ["G0001", "G0002"], "none": ["X", "Y"], "fits": [f"G{i:04d}" for i in range(10)]}
        with pytest.warns(rsvelmo.RankingWarning, match=r"2 of 3 gene sets not scored \(1 with no gene in the "
                          r"matrix, 1 outside the size bounds"):  # fmt: skip
            table = rsvelmo.score_samples(random_frame(), sets, min_size=3)
        assert list(table.index) == ["fits"]
        assert table.attrs["not_scored"] == {"small": "2 genes, outside [3, inf]", "none": "no gene in the matrix"}
        with pytest.warns(rsvelmo.RankingWarning), pytest.raises(rsvelmo.RankingError, match="none of the 2 gene sets"):
            rsvelmo.score_samples(random_frame(), {"a": ["X"], "b": ["Y"]})

    @pytest.mark.parametrize(
        "options, message",
        [
            (dict(method="gsea"), "method must be one of 'gsva', 'ssgsea', 'zscore', 'plage', not 'gsea'"),
            (dict(kcdf="normal"), "kcdf must be one of"),
            (dict(tau=-1), "tau must be a finite number >= 0"),
            (dict(min_size=5, max_size=2), r"min_size \(5\) must not exceed max_size"),
            (dict(mx_diff=False, abs_ranking=True), "abs_ranking applies to the sum .* which mx_diff=False replaces"),
        ],
    )
    def test_options_are_checked_by_name(self, options, message):
        with pytest.raises(ValueError, match=message):
            rsvelmo.score_samples(random_frame(), random_sets(), **options)


def test_welch_and_bh_match_r():
    # R 4.2: t.test(c(1.5, 2.25, 3, 4.75, 0.5), c(2, 4, 6.5, 8, 10, 3)) and p.adjust(p, "BH").
    scores = pd.DataFrame([[1.5, 2.25, 3, 4.75, 0.5, 2, 4, 6.5, 8, 10, 3]], index=["S"],
                          columns=[f"x{i}" for i in range(11)])  # fmt: skip
    row = rsvelmo.compare_score_groups(scores, ["a"] * 5 + ["b"] * 6).iloc[0]
    assert row["t"] == pytest.approx(-2.184676978792993829, rel=1e-14)
    assert row["df"] == pytest.approx(7.731245297406228012, rel=1e-14)
    assert row["pval"] == pytest.approx(0.061577152452303635, rel=1e-12)
    adjusted = benjamini_hochberg(np.array([0.01, 0.04, np.nan, 0.03, 0.005]))
    np.testing.assert_allclose(adjusted, [0.02, 0.04, np.nan, 0.04, 0.02], rtol=1e-15)


def test_the_command_writes_the_api_table_and_the_two_group_test(tmp_path, capsys):
    matrix = fixture_frame("sim_log.tsv.gz")
    path = tmp_path / "sim.tsv"
    matrix.to_csv(path, sep="\t", float_format="%.17g")
    sheet = tmp_path / "groups.csv"
    labels = ["tumour" if j % 2 else "normal" for j in range(matrix.shape[1])]
    pd.DataFrame({"sample": matrix.columns, "state": labels}).to_csv(sheet, index=False)
    gmt = str(GSVA_DATA / "sim.gmt.gz")
    args = ["score", str(path), gmt, "-o", str(tmp_path / "out"), "--method", "ssgsea", "--no-ssgsea-norm",
            "--groups", str(sheet), "--group-col", "state", "--plots"]  # fmt: skip
    with pytest.warns(rsvelmo.RankingWarning):
        assert main(args) == 0
        expected = rsvelmo.score_samples(str(path), gmt, method="ssgsea", ssgsea_norm=False)
    out = capsys.readouterr()
    assert "400 genes x 10 samples" in out.err and "'normal' (5), 'tumour' (5)" in out.err
    assert "ssgsea (tau 0.25, raw): 41 of 42 gene sets scored in 10 samples" in out.out
    assert "depend on that sample only" in out.out and "Welch's two-sample t-test" in out.out
    written = pd.read_csv(tmp_path / "out" / "scores.tsv", sep="\t", index_col=0)
    pd.testing.assert_frame_equal(written, expected, check_exact=True, check_names=False)
    differential = pd.read_csv(tmp_path / "out" / "differential.tsv", sep="\t")
    pd.testing.assert_frame_equal(differential, rsvelmo.compare_score_groups(expected, labels), check_exact=True)
    record = json.loads((tmp_path / "out" / "run.json").read_text())
    names = ["differential.tsv", "plots/differential.png", "plots/heatmap.png", "scores.tsv", "run.json"]
    assert [o["path"] for o in record["outputs"]] == names
    assert record["scores"]["not_scored"] == {"NOT_IN_MATRIX": "no gene in the matrix"}
    assert record["engine_options"]["tau"] == 0.25 and record["complete"] is True
    assert not math.isnan(differential["pval"].iloc[0]) and os.path.isfile(record["inputs"][2]["path"])


def test_the_heatmap_puts_like_sets_and_samples_together_and_marks_the_groups():
    pytest.importorskip("matplotlib")
    pytest.importorskip("scipy")
    from rsvelmo.plot.scores import scores_heatmap

    scores = pd.DataFrame(
        [[1.0, -1.0, 0.9, -0.8], [-1.0, 1.0, -0.9, 0.8], [0.95, -1.0, 0.85, -0.9]],
        index=["up", "down", "up_again"], columns=["a1", "b1", "a2", "b2"],
    )  # fmt: skip
    figure = scores_heatmap(scores, groups=["a", "b", "a", "b"], labels={"up": "UP set"})
    strip, heatmap = figure.axes[:2]
    rows = [t.get_text() for t in heatmap.get_yticklabels()]
    columns = [t.get_text() for t in heatmap.get_xticklabels()]
    assert abs(rows.index("UP set") - rows.index("up_again")) == 1
    assert abs(columns.index("a1") - columns.index("a2")) == 1
    assert [t.get_text() for t in strip.get_legend().get_texts()] == ["a", "b"]
