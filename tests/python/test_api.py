import concurrent.futures
import math
import os
import sys
import tempfile

import pytest

pd = pytest.importorskip("pandas")

import rsvelmo
import rsvelmopy
from conftest import run_python, same_value

OPTIONS = {"minSize": 15, "maxSize": 500, "seed": 7}


@pytest.fixture(scope="module")
def small_gmt(tmp_path_factory, example_gmt):
    """Forty real gene sets: enough for strong and null pathways, quick to run."""
    with open(example_gmt) as f:
        lines = f.readlines()
    path = tmp_path_factory.mktemp("sets") / "forty.gmt"
    path.write_text("".join(lines[::100][:40]))
    return str(path)


def assert_frame_matches(frame, records):
    assert list(frame.columns) == rsvelmo.api.COLUMNS
    assert len(frame) == len(records)
    for row, record in zip(frame.to_dict("records"), records):
        for name in ("pathway", "size", "leading_edge"):
            assert row[name] == record[name]
        for name in ("es", "nes", "pval", "padj", "log2err"):
            expected = math.nan if record[name] is None else record[name]
            assert same_value(row[name], expected), (record["pathway"], name)
        assert row["leading_edge_size"] == len(record["leading_edge"])


class TestGsea:
    def test_frame_holds_the_engine_records(self, example_ranks, small_gmt):
        records = rsvelmopy.run_gsea_py(example_ranks, small_gmt, **OPTIONS)
        assert_frame_matches(rsvelmo.gsea(example_ranks, small_gmt, sort=False, **OPTIONS), records)

    def test_sorted_by_pvalue_then_abs_nes(self, example_ranks, small_gmt):
        frame = rsvelmo.gsea(example_ranks, small_gmt, **OPTIONS)
        keys = list(zip(frame["pval"], -frame["nes"].abs()))
        assert keys == sorted(keys)
        records = rsvelmopy.run_gsea_py(example_ranks, small_gmt, **OPTIONS)
        assert sorted(frame["pathway"]) == sorted(r["pathway"] for r in records)

    def test_nan_pvalues_sort_last(self):
        records = [{"pathway": "b", "pval": math.nan, "nes": None}, {"pathway": "a", "pval": 0.5, "nes": 1.0},
                   {"pathway": "c", "pval": 0.5, "nes": -2.0}]
        assert [r["pathway"] for r in rsvelmo.api.sort_records(records)] == ["c", "a", "b"]

    def test_every_ranking_form_gives_the_same_table(self, example_ranks, small_gmt, tmp_path):
        rnk = tmp_path / "r.rnk"
        rnk.write_text("".join(f"{g}\t{s!r}\n" for g, s in example_ranks.items()))
        series = pd.Series(example_ranks)
        forms = [series, series.reset_index(), str(rnk), rnk]
        expected = rsvelmo.gsea(example_ranks, small_gmt, mode="simple", **OPTIONS)
        for form in forms:
            pd.testing.assert_frame_equal(rsvelmo.gsea(form, small_gmt, mode="simple", **OPTIONS), expected)

    def test_dict_gene_sets_use_a_temporary_file_that_is_removed(self, example_ranks, small_gmt, tmp_path,
                                                                 monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        sets = rsvelmo.read_gmt(small_gmt)
        frame = rsvelmo.gsea(example_ranks, sets, mode="simple", **OPTIONS)
        pd.testing.assert_frame_equal(frame, rsvelmo.gsea(example_ranks, small_gmt, mode="simple", **OPTIONS))
        assert os.listdir(tmp_path) == []

    def test_empty_result_keeps_the_columns(self, example_ranks):
        frame = rsvelmo.gsea(example_ranks, {"tiny": ["FOXA2"]}, minSize=5)
        assert list(frame.columns) == rsvelmo.api.COLUMNS and len(frame) == 0

    def test_bad_input(self, example_ranks, small_gmt):
        with pytest.raises(TypeError, match="expected a dict, a pandas Series"):
            rsvelmo.gsea([1.0, 2.0], small_gmt)
        with pytest.raises(TypeError, match="gene_sets: expected a GMT file path"):
            rsvelmo.gsea(example_ranks, ["S1"])
        with pytest.raises(rsvelmo.RankingError, match="exactly two columns"):
            rsvelmo.gsea(pd.DataFrame({"a": ["A"], "b": [1.0], "c": [2.0]}), small_gmt)
        with pytest.raises(rsvelmo.RankingError, match="score of gene 'A' is nan"):
            rsvelmo.gsea(pd.Series({"A": math.nan, "B": 1.0}), small_gmt)
        with pytest.raises(TypeError, match="unexpected keyword argument 'min_size'"):
            rsvelmo.gsea(example_ranks, small_gmt, min_size=3)

    def test_ties_warn_before_the_analysis(self, small_gmt):
        with pytest.warns(UserWarning, match="detected 1 tied non-zero ranking scores"):
            rsvelmo.gsea({"A": 1.0, "B": 1.0, "C": -1.0}, small_gmt, mode="simple")


class TestOptionalDependencies:
    def test_missing_pandas_names_the_extra(self, example_ranks, small_gmt, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match=r"pip install 'rsvelmopy\[pandas\]'"):
            rsvelmo.gsea(example_ranks, small_gmt)

    def test_missing_matplotlib_names_the_extra(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ImportError, match=r"pip install 'rsvelmopy\[plot\]'"):
            rsvelmo.plot.summary_plot([])

    def test_importing_needs_neither(self):
        out = run_python("""
            import sys
            import rsvelmo, rsvelmopy
            print(sorted(m for m in ("pandas", "matplotlib", "numpy") if m in sys.modules))
        """)
        assert out.strip() == "[]"


def rankings_for_many(example_ranks):
    genes = list(example_ranks)
    return {
        "original": example_ranks,
        "negated": {g: -s for g, s in example_ranks.items()},
        "half": {g: example_ranks[g] for g in genes[::2]},
    }


class TestGseaMany:
    def test_equal_to_separate_calls(self, example_ranks, small_gmt):
        rankings = rankings_for_many(example_ranks)
        many = rsvelmo.gsea_many(rankings, small_gmt, max_workers=2, progress=False, **OPTIONS)
        assert list(many.columns) == ["ranking", *rsvelmo.api.COLUMNS]
        assert list(dict.fromkeys(many["ranking"])) == list(rankings)
        for name, ranks in rankings.items():
            part = many[many["ranking"] == name].drop(columns="ranking").reset_index(drop=True)
            pd.testing.assert_frame_equal(part, rsvelmo.gsea(ranks, small_gmt, **OPTIONS))

    def test_matrix_and_any_executor(self, example_ranks, small_gmt):
        rankings = rankings_for_many(example_ranks)
        matrix = pd.DataFrame(rankings)  # genes x contrasts; "half" has NaN for the other genes
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            from_matrix = rsvelmo.gsea_many(matrix, small_gmt, executor, mode="simple", **OPTIONS)
        from_dict = rsvelmo.gsea_many(rankings, small_gmt, max_workers=1, mode="simple", **OPTIONS)
        pd.testing.assert_frame_equal(from_matrix, from_dict)

    def test_a_failing_ranking_is_reported_by_name(self, small_gmt):
        with pytest.raises(rsvelmo.RankingError, match="ranking 'bad': score of gene 'A' is inf"):
            rsvelmo.gsea_many({"good": {"A": 1.0}, "bad": {"A": math.inf}}, small_gmt, progress=False)

    @pytest.mark.filterwarnings("ignore::DeprecationWarning")
    @pytest.mark.filterwarnings("ignore::ResourceWarning")
    def test_dask_cluster(self, example_ranks, small_gmt):
        distributed = pytest.importorskip("distributed")
        rankings = rankings_for_many(example_ranks)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            on_dask = rsvelmo.gsea_many(rankings, small_gmt, client.get_executor(), mode="simple", **OPTIONS)
        local = rsvelmo.gsea_many(rankings, small_gmt, max_workers=2, mode="simple", **OPTIONS)
        pd.testing.assert_frame_equal(on_dask, local)
