import concurrent.futures
import math
import os
import pathlib
import sys
import tempfile

import pytest
import rsvelmo
import rsvelmopy
from conftest import run_python, same_value

pd = pytest.importorskip("pandas")

OPTIONS = {"seed": 7}
ENGINE = {"minSize": 15, "maxSize": 500, "seed": 7}


@pytest.fixture(scope="module")
def small_gmt(tmp_path_factory, example_gmt):
    """Forty real gene sets: enough for strong and null pathways, quick to run."""
    path = tmp_path_factory.mktemp("sets") / "forty.gmt"
    path.write_text("".join(pathlib.Path(example_gmt).read_text().splitlines(keepends=True)[::100][:40]))
    return str(path)


@pytest.fixture(scope="module")
def rankings(example_ranks):
    negated = {g: -s for g, s in example_ranks.items()}
    return {"original": example_ranks, "negated": negated, "half": dict(list(example_ranks.items())[::2])}


class TestGsea:
    def test_the_table_holds_the_engine_records_sorted(self, example_ranks, small_gmt):
        for engine, options in [({}, {}), ({"nperm": 500}, {"nperm": 500, "refine": False})]:
            records = rsvelmopy.run_gsea_py(example_ranks, small_gmt, **ENGINE, **engine)
            frame = rsvelmo.gsea(example_ranks, small_gmt, sort=False, **OPTIONS, **options)
            assert list(frame.columns) == rsvelmo._results.COLUMNS and len(frame) == len(records)
            for row, record in zip(frame.to_dict("records"), records):
                assert row["leading_edge_size"] == len(record["leading_edge"])
                for name, value in record.items():
                    assert same_value(row[name], math.nan if value is None else value), (record["pathway"], name)
        keys = list(zip(*[rsvelmo.gsea(example_ranks, small_gmt, **OPTIONS)[c] for c in ("pval", "nes")]))
        assert keys == sorted(keys, key=lambda k: (k[0], -abs(k[1])))
        records = [{"pathway": "b", "pval": math.nan, "nes": None}, {"pathway": "a", "pval": 0.5, "nes": 1.0}]
        records = rsvelmo._results.sort_records([*records, {"pathway": "c", "pval": 0.5, "nes": -2.0}])
        assert [r["pathway"] for r in records] == ["c", "a", "b"]  # NaN last

    def test_the_default_settles_the_calls_at_the_cut(self, example_ranks, example_gmt, tmp_path):
        path = tmp_path / "every_tenth.gmt"
        path.write_text("".join(pathlib.Path(example_gmt).read_text().splitlines(keepends=True)[::10]))
        engine = {"seed": 7, "min_size": 15, "max_size": 500, "diagnostics": False}
        for options, stable_calls in [({}, 0.05), ({"stable_calls": None}, None), ({"stable_calls": 0.2}, 0.2)]:
            frame = rsvelmo.gsea(example_ranks, path, sort=False, **OPTIONS, **options)
            records = rsvelmopy.run_gsea(example_ranks, str(path), stable_calls=stable_calls, **engine)
            assert list(frame["pval"]) == [r["pval"] for r in records], options
        settled = rsvelmo.gsea(example_ranks, path, sort=False, **OPTIONS)
        unsettled = rsvelmo.gsea(example_ranks, path, sort=False, stable_calls=None, **OPTIONS)
        assert (settled["pval"] != unsettled["pval"]).sum() >= 5
        assert (settled["flip_risk"] > 0.05).sum() < (unsettled["flip_risk"] > 0.05).sum()

    def test_every_input_form_gives_the_same_table(self, example_ranks, small_gmt, tmp_path, monkeypatch):
        rnk = tmp_path / "r.rnk"
        rnk.write_text("".join(f"{g}\t{s!r}\n" for g, s in example_ranks.items()))
        series = pd.Series(example_ranks)
        expected = rsvelmo.gsea(example_ranks, small_gmt, refine=False, **OPTIONS)
        table = tmp_path / "deseq2.csv"  # R's write.csv of a results table: row names, then the columns
        table.write_text(
            '"","baseMean","stat","padj"\n' + "".join(f'"{g}",1.5,{s!r},NA\n' for g, s in example_ranks.items())
        )
        frame = pd.DataFrame({"symbol": series.index, "baseMean": 1.0, "stat": series.to_numpy()})
        forms = [(series, {}), (series.reset_index(), {}), (str(rnk), {}), (rnk, {}), (table, {"score_col": "stat"}),
                 (frame, {"gene_col": "symbol", "score_col": "stat"})]  # fmt: skip
        for form, columns in forms:
            got = rsvelmo.gsea(form, small_gmt, refine=False, **OPTIONS, **columns)
            pd.testing.assert_frame_equal(got, expected)
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
        os.mkdir(tmp_path / "tmp")
        in_memory = rsvelmo.gsea(example_ranks, rsvelmo.read_gmt(small_gmt), refine=False, **OPTIONS)
        assert os.listdir(tmp_path / "tmp") == []  # gene sets in memory need no file
        assert in_memory["description"].isna().all() and expected["description"].notna().all()
        pd.testing.assert_frame_equal(in_memory.drop(columns="description"), expected.drop(columns="description"))
        sets = {"tiny": ["FOXA2", "FHL1", "nope"], "big": list(example_ranks)[:20]}
        frame = rsvelmo.gsea(example_ranks, sets, min_size=2, max_size=10)
        assert list(frame.columns) == rsvelmo._results.COLUMNS and list(frame["pathway"]) == ["tiny"]

    @pytest.mark.parametrize(
        "ranks, gene_sets, options, error, message",
        [
            ([1.0, 2.0], None, {}, TypeError, "expected a dict, a pandas Series"),
            (None, ["S1"], {}, TypeError, "gene_sets: expected a GMT or JSON file path"),
            (pd.DataFrame({"a": ["A"], "b": [1.0], "c": [2.0]}), None, {}, rsvelmo.RankingError, r"needs two columns"),
            (pd.Series({"A": math.nan, "B": 1.0}), None, {}, rsvelmo.RankingError, r"gene 'A' has no score \(NaN\)"),
            (None, None, {"minSize": 3}, TypeError, "unexpected keyword argument 'minSize'"),
            (None, {"S": "FOXA2"}, {}, ValueError, "gene set 'S' is a single string; give a list of gene names"),
            (None, {"S": []}, {}, ValueError, "gene set 'S' has no genes"),
            (None, None, {"min_size": 20, "max_size": 10}, ValueError, r"min_size \(20\) must not exceed max_size"),
            (None, None, {"refine": False, "stable_calls": 0.05}, ValueError, "which refine=False turns off"),
            (None, None, {"stable_calls": "none"}, ValueError, r"in \(0, 1\], 'auto' or None, not 'none'"),
            (None, None, {"max_size": 0}, ValueError, "max_size must be at least 1, not 0"),
            (None, None, {"nperm": 0}, ValueError, "nperm must be at least 1, not 0"),
            (None, None, {"eps": 1.5}, ValueError, r"eps must lie in \[0, 1\], not 1.5"),
            (None, None, {"eps": math.nan}, ValueError, r"eps must lie in \[0, 1\], not nan"),
            (None, None, {"sample_size": 1}, ValueError, "sample_size must be at least 3, not 1"),
            (None, None, {"threads": 0}, ValueError, "threads must be at least 1, not 0"),
            (None, None, {"refine": "yes"}, ValueError, "refine must be one of True, False, 'all', not 'yes'"),
            (None, None, {"duplicates": "Mean"}, ValueError, "duplicates must be one of 'error', .*, not 'Mean'"),
            (None, None, {"na": "keep"}, ValueError, "na must be one of 'error', 'drop', not 'keep'"),
            (None, None, {"score_type": "both"}, ValueError, "score_type must be one of 'std', .*, not 'both'"),
        ],
    )  # fmt: skip
    def test_bad_input_is_named(self, example_ranks, small_gmt, ranks, gene_sets, options, error, message):
        with pytest.raises(error, match=message):
            rsvelmo.gsea(example_ranks if ranks is None else ranks, gene_sets or small_gmt, **options)

    def test_identifier_mismatch(self, example_ranks, small_gmt):
        lower = {g.lower(): s for g, s in example_ranks.items()}
        with pytest.raises(rsvelmo.RankingError, match="ranking IDs look like 'fhl1'.*try ignore_case=True"):
            rsvelmo.gsea(lower, small_gmt)
        pd.testing.assert_frame_equal(
            rsvelmo.gsea(lower, small_gmt, ignore_case=True, refine=False),
            rsvelmo.gsea(example_ranks, small_gmt, refine=False),
        )
        mostly_lower = {g.lower() if i % 5 else g: s for i, (g, s) in enumerate(example_ranks.items())}
        with pytest.warns(rsvelmo.RankingWarning, match=r"of 11,093 ranking genes occur.*ignore_case=True"):
            rsvelmo.gsea(mostly_lower, small_gmt, refine=False)

    def test_ignore_case_names_the_merged_genes(self, small_gmt):
        with pytest.raises(rsvelmo.RankingError, match=r"1 gene name\(s\) become equal \('Foxa2' and 'FOXA2'\)"):
            rsvelmo.gsea({"Foxa2": 1.0, "FOXA2": 2.0, "B": -1.0}, small_gmt, ignore_case=True)

    def test_a_set_that_wins_by_tie_order_is_warned_about(self, example_ranks):
        # Twenty genes scored exactly 0 inside a real ranking, listed first: by input order they lead
        # the zero block, which is what makes their set look enriched.
        tied = {f"Z{i}": 0.0 for i in range(20)}
        ranks = tied | {g: s for g, s in example_ranks.items() if s != 0.0}
        sets = {"ZEROS": list(tied), "REAL": list(example_ranks)[:40]}
        with pytest.warns(rsvelmo.RankingWarning, match=r"1 significant gene set\(s\) \('ZEROS'\) have most of"):
            table = rsvelmo.gsea(ranks, sets, min_size=15, refine=False, nperm=2000)
        assert table.set_index("pathway").padj["ZEROS"] < 0.05


def test_optional_dependencies_are_named_when_missing(example_ranks, small_gmt, monkeypatch):
    out = run_python(
        "import sys, rsvelmo, rsvelmopy; print([m for m in ('pandas', 'matplotlib', 'numpy') if m in sys.modules])"
    )
    assert out.strip() == "[]"  # importing needs none of them
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"pip install 'rsvelmopy\[pandas\]'"):
        rsvelmo.gsea(example_ranks, small_gmt)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'rsvelmopy\[plot\]'"):
        rsvelmo.plot.summary_plot([])


class TestGseaMany:
    @pytest.mark.filterwarnings("ignore::DeprecationWarning")
    @pytest.mark.filterwarnings("ignore::ResourceWarning")
    def test_equal_to_separate_calls_from_any_form_and_executor(self, rankings, small_gmt):
        from distributed import Client, LocalCluster

        many = rsvelmo.gsea_many(rankings, small_gmt, max_workers=2, progress=False, **OPTIONS)
        assert list(many.columns) == ["ranking", *rsvelmo._results.COLUMNS]
        assert list(dict.fromkeys(many["ranking"])) == list(rankings)
        for name, ranks in rankings.items():
            part = many[many["ranking"] == name].drop(columns="ranking").reset_index(drop=True)
            pd.testing.assert_frame_equal(part, rsvelmo.gsea(ranks, small_gmt, **OPTIONS))
        matrix = pd.DataFrame(rankings)  # genes x contrasts; "half" has NaN for the other genes
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            pd.testing.assert_frame_equal(rsvelmo.gsea_many(matrix, small_gmt, executor, **OPTIONS), many)
        long = pd.concat(
            [pd.DataFrame({"contrast": n, "gene": list(r), "t": list(r.values())}) for n, r in rankings.items()]
        )
        with tempfile.TemporaryDirectory() as folder:  # a long table written by pandas, index and all
            long.to_csv(os.path.join(folder, "long.csv"))
            from_file = rsvelmo.gsea_many(os.path.join(folder, "long.csv"), small_gmt, group_col="contrast", **OPTIONS)
        pd.testing.assert_frame_equal(from_file, many)
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as c:
            pd.testing.assert_frame_equal(rsvelmo.gsea_many(rankings, small_gmt, c.get_executor(), **OPTIONS), many)

    def test_a_failing_ranking_is_reported_by_name(self, example_ranks, small_gmt):
        with pytest.raises(rsvelmo.RankingError, match="ranking 'bad': score of gene 'A' is inf"):
            rsvelmo.gsea_many({"good": example_ranks, "bad": {"A": math.inf}}, small_gmt, progress=False)

    def test_scanpy_results(self, example_ranks, rankings, small_gmt):
        anndata = pytest.importorskip("anndata")
        np = pytest.importorskip("numpy")
        rankings = {name: rankings[name] for name in ("original", "negated")}
        genes = list(example_ranks)
        order = {name: sorted(genes, key=lambda g: -r[g]) for name, r in rankings.items()}
        names = np.rec.fromarrays([order[n] for n in rankings], names=list(rankings))
        scores = np.rec.fromarrays([[rankings[n][g] for g in order[n]] for n in rankings], names=list(rankings))
        adata = anndata.AnnData(np.zeros((2, len(genes)), dtype=np.float32))
        adata.uns["rank_genes_groups"] = {"names": names, "scores": scores}
        from_adata = rsvelmo.gsea_many(adata, small_gmt, max_workers=1, refine=False, **OPTIONS)
        long = pd.DataFrame([{"group": n, "names": g, "scores": rankings[n][g]} for n in rankings for g in order[n]])
        from_long = rsvelmo.gsea_many(long, small_gmt, max_workers=1, refine=False, **OPTIONS)
        expected = rsvelmo.gsea_many(rankings, small_gmt, max_workers=1, refine=False, **OPTIONS)
        pd.testing.assert_frame_equal(from_adata, expected)
        pd.testing.assert_frame_equal(from_long, expected)
        with pytest.raises(rsvelmo.RankingError, match=r"has no .uns\['wilcoxon'\]; run scanpy.tl.rank_genes_groups"):
            rsvelmo.gsea_many(adata, small_gmt, key="wilcoxon")


def _descendants(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            for child in map(int, f.read().split()):
                found += [child, *_descendants(child)]
    return found


@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGINT"])
def test_a_signalled_gsea_many_leaves_no_worker_behind(example_gmt, signal_name):
    import signal
    import subprocess
    import time

    code = f"""
import rsvelmo
from conftest import EXAMPLES, read_rnk
ranks = read_rnk(EXAMPLES / "panc1_foxa2ko_vs_wt_t.rnk")
if __name__ == "__main__":
    rankings = {{f"r{{i}}": {{g: s * (1 + i) for g, s in ranks.items()}} for i in range(6)}}
    rsvelmo.gsea_many(rankings, {example_gmt!r}, max_workers=2, progress=False, refine="all", eps=0)
"""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(__file__)}
    parent = subprocess.Popen([sys.executable, "-c", code], env=env, stderr=subprocess.DEVNULL)
    workers, deadline = [], time.monotonic() + 60
    while time.monotonic() < deadline and len(workers) < 3:  # the fork server and two workers
        time.sleep(0.2)
        workers = _descendants(parent.pid)
    assert len(workers) >= 3, "the workers never started"
    time.sleep(1.0)
    parent.send_signal(getattr(signal, signal_name))
    parent.wait(timeout=30)
    time.sleep(0.5)
    assert [pid for pid in workers if _running(pid)] == []


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split()[2] != "Z"
    except FileNotFoundError:
        return False
