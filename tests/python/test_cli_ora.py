"""``rsvelmo ora``: the command line's road from a results table to OUTDIR."""

from __future__ import annotations

import json
import pathlib

import pandas as pd
import pytest

pytest.importorskip("scipy")

from rsvelmo import ora  # noqa: E402
from rsvelmo.analyses.ora import universe_sha256  # noqa: E402
from rsvelmo.cli import main  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
TABLE = DATA / "tables" / "deseq2_write_csv.csv"
SETS = DATA / "ora" / "table_sets.gmt"
CUTS = ["--padj-col", "pvalue", "--padj-cut", "0.2", "--min-abs-score", "0.5", "--min-size", "5", "--max-size", "60"]


def read_back(path: pathlib.Path) -> pd.DataFrame:
    table = pd.read_csv(path, sep="\t", keep_default_na=False, na_values=["NA"])
    table["genes"] = [text.split(",") if text else [] for text in table["genes"]]
    table["description"] = table["description"].replace("", None)
    return table


def test_a_results_table_gives_the_lists_the_universe_and_the_record(tmp_path, capsys):
    assert main(["ora", str(TABLE), str(SETS), "-o", str(tmp_path), *CUTS]) == 0
    out, err = capsys.readouterr()
    want = ora(TABLE, SETS, padj_col="pvalue", padj_cut=0.2, min_abs_score=0.5, min_size=5, max_size=60)
    got = read_back(tmp_path / "results.tsv")
    pd.testing.assert_frame_equal(got, want.reset_index(drop=True), check_dtype=False)
    record = json.loads((tmp_path / "run.json").read_text())
    universe = pd.read_csv(TABLE, index_col=0).dropna(subset=["pvalue"]).index
    assert record["universe"] == {"size": 299, "source": "the genes the table tested",
                                  "sha256": universe_sha256(universe)}  # fmt: skip
    assert record["lists"]["up"] == {"given": 27, "in_universe": 27, "outside_universe": 0}
    assert [o["path"] for o in record["outputs"]] == ["results.tsv", "run.json"]
    assert err.startswith(f"{TABLE}: 300 genes, 299 tested (with pvalue); up and down: pvalue < 0.2")
    lines = out.splitlines()
    assert lines[0] == f"universe: 299 genes, the genes the table tested (sha256 {universe_sha256(universe)[:12]})"
    assert lines[1] == f"gene sets: {SETS}: 40 read, 37 tested (sizes 5 to 60 in the universe)"
    assert lines[2] == "up: 27 genes in the universe (0 outside it dropped); 37 gene sets tested, 3 at padj < 0.05"
    assert "DESEQ2_UP_ALL exactly the DESeq2 up list" in lines[3]


@pytest.mark.filterwarnings("always::UserWarning")
def test_a_gene_list_without_universe_warns_in_the_command_lines_spelling(tmp_path, capsys):
    genes = tmp_path / "genes.txt"
    genes.write_text("\n".join(["GENE007", "GENE014", "GENE037", "NOT_A_GENE"]) + "\n")
    assert main(["ora", str(genes), str(SETS), "-o", str(tmp_path / "out"), "--min-size", "5", "--plots"]) == 0
    out, err = capsys.readouterr()
    assert err.startswith("rsvelmo: warning: no universe given: the universe is the 305 genes of the gene sets")
    assert "Give the genes that were measured with --universe\n" in err
    assert "genes: 3 genes in the universe (1 outside it dropped)" in out
    written = [o["path"] for o in json.loads((tmp_path / "out" / "run.json").read_text())["outputs"]]
    assert written == [
        "plots/bar_plot.png",
        "plots/dot_plot.png",
        "plots/enrichment_map.png",
        "results.tsv",
        "run.json",
    ]


def test_a_universe_file_is_recorded(tmp_path, capsys):
    genes, universe = tmp_path / "genes.txt", tmp_path / "universe.txt"
    names = pd.read_csv(TABLE, index_col=0).index
    genes.write_text("\n".join(names[:40]) + "\n")
    universe.write_text("gene\n" + "\n".join(names[:200]) + "\n")
    assert main(["ora", str(genes), str(SETS), "-o", str(tmp_path / "out"), "--universe", str(universe),
                 "--min-size", "5"]) == 0  # fmt: skip
    record = json.loads((tmp_path / "out" / "run.json").read_text())
    assert record["universe"]["size"] == 200 and record["universe"]["source"] == f"from {universe}"
    assert record["universe"]["sha256"] == universe_sha256(names[:200])
    assert [i["path"] for i in record["inputs"]][1:] == [str(genes), str(universe)]
    assert capsys.readouterr().out.startswith("universe: 200 genes, from")
