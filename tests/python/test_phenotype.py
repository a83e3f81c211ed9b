"""rsvelmo.gsea_phenotype and ``rsvelmo phenotype`` on the bundled 3 v 3
example (PANC1 FOXA2 knock-out v wild type, all 20 label assignments), and
the expression heatmap against z-scores computed here."""

import gzip
import json
import math

import numpy as np
import pandas as pd
import pytest
import rsvelmo
from conftest import EXAMPLES
from rsvelmo import RankingWarning
from rsvelmo.cli import main

GCT = str(EXAMPLES / "panc1_foxa2_log2cpm.gct.gz")
CLS = str(EXAMPLES / "panc1_foxa2.cls")
GMT = str(EXAMPLES / "go_bp_2022_15_500.gmt")
COLUMNS = ["pathway", "description", "size", "es", "nes", "pval", "padj", "fdr", "fwer", "leading_edge",
           "leading_edge_size"]  # fmt: skip

# (pathway, size, leading-edge size, es, nes, pval, padj, fdr, fwer) of the exact run.
PINNED = [
    ("GO:0042273", 71, 39, "0x1.d6f86121f6a00p-2", "0x1.bc78ac66a59f5p+0", "0x1.999999999999ap-4",
     "0x1.9cd1e52de478cp-1", "0x1.ec11535989975p-2", "0x1.999999999999ap-3"),
    ("GO:0030574", 16, 3, "0x1.3721ab4cee27fp-1", "0x1.accd817a5d0e7p+0", "0x1.999999999999ap-4",
     "0x1.9cd1e52de478cp-1", "0x1.ae8f28ee58647p-1", "0x1.ccccccccccccdp-2"),
    ("GO:0007035", 29, 19, "-0x1.e5b7bd3a84a67p-2", "-0x1.9a9cfcc4607c6p+0", "0x1.999999999999ap-4",
     "0x1.9cd1e52de478cp-1", "0x1.0000000000000p+0", "0x1.999999999999ap-1"),
]  # fmt: skip


def gct_frame():
    with gzip.open(GCT, "rt") as f:
        return pd.read_csv(f, sep="\t", skiprows=2, index_col=0).drop(columns="Description")


@pytest.fixture(scope="module")
def example():
    with pytest.warns(RankingWarning) as caught:
        table = rsvelmo.gsea_phenotype(GCT, CLS, GMT, permutations="exact")
    return table, [str(w.message) for w in caught]


def test_the_example_enumerates_all_20_assignments_and_warns_of_it(example):
    table, warned = example
    assert list(table.columns) == COLUMNS and len(table) == 3889
    run = table.attrs["run"]
    assert (run["classes"], run["class_sizes"], run["permutations"], run["null_size"]) == (
        ["FOXA2KO", "WT"], [3, 3], "exact", 20)  # fmt: skip
    assert warned == [
        "3 v 3 samples: 20 distinct label assignments (swapping the classes mirrors each ES, so each sign gets "
        "half of them), so no p-value can be below 0.1 (1/10); for designs this small the preranked analysis of "
        "a moderated statistic (limma's t, DESeq2's stat) is the better choice"
    ]
    assert (table["pval"] >= 1 / 20).all() and (table["fdr"] > 0).all() and (table["fwer"] > 0).all()
    # The mirror image: exactly 10 null ES of each sign, so the smallest p is 1/10, which the best sets reach.
    assert table["pval"].min() == 0.1 and (table["pval"] * 10).round(9).eq((table["pval"] * 10).round()).all()
    # Sorted as the preranked table: p-value, then |NES| descending.
    keys = list(zip(table["pval"], -table["nes"].abs()))
    assert keys == sorted(keys)


@pytest.mark.parametrize("row", PINNED, ids=[r[0] for r in PINNED])
def test_pinned_rows_of_the_example(example, row):
    table, _ = example
    r = table.set_index("pathway").loc[row[0]]
    assert (r["size"], r["leading_edge_size"], len(r["leading_edge"])) == (row[1], row[2], row[2])
    assert [float(r[c]).hex() for c in ("es", "nes", "pval", "padj", "fdr", "fwer")] == [
        float.fromhex(h).hex() for h in row[3:]
    ]


def test_padj_is_benjamini_hochberg_of_the_nominal_p_values(example):
    table, _ = example
    p = table["pval"].to_numpy()
    n = len(p)
    order = np.argsort(p, kind="stable")
    # The largest k whose p(k) <= q k / n decides; recomputed as min over j >= k of p(j) n / j.
    stepped = [min(1.0, min(p[order[j]] * n / (j + 1) for j in range(k, n))) for k in range(0, n, 97)]
    assert np.allclose(table["padj"].to_numpy()[order][::97], stepped, rtol=0, atol=1e-15)


def test_the_ranking_is_the_signal_to_noise_of_the_gct_computed_here(example):
    table, _ = example
    x = gct_frame()
    ko = x.filter(like="FOXA2KO").to_numpy()
    wt = x.filter(like=".WT.").to_numpy()

    def sd(v, m):
        s = np.maximum(v.std(axis=1, ddof=1), 0.2 * np.abs(m))
        return np.where(s == 0, 0.2, s)

    ma, mb = ko.mean(axis=1), wt.mean(axis=1)
    snr = pd.Series((ma - mb) / (sd(ko, ma) + sd(wt, mb)), index=x.index)
    ranking = pd.Series(table.attrs["ranking"])
    assert np.allclose(ranking[x.index].to_numpy(), snr.to_numpy(), rtol=1e-12, atol=0)
    assert list(ranking.index) == list(snr.sort_values(ascending=False, kind="stable").index)
    # The ES of a set is the running sum's extreme along that ranking.
    row = table.set_index("pathway").loc["GO:0030574"]
    genes = rsvelmo.gene_sets(GMT)["GO:0030574"]
    _, _, curve = rsvelmo.plot.running_sum(table.attrs["ranking"], genes)
    assert math.isclose(max(curve, key=abs), row["es"], rel_tol=1e-12)


def test_files_and_in_memory_inputs_give_the_same_table(example):
    table, _ = example
    x = gct_frame()
    labels = ["WT" if ".WT." in s else "FOXA2KO" for s in x.columns]
    with pytest.warns(RankingWarning):
        again = rsvelmo.gsea_phenotype(x, labels, rsvelmo.gene_sets(GMT), classes=("FOXA2KO", "WT"))
    pd.testing.assert_frame_equal(again.drop(columns="description"), table.drop(columns="description"))


def test_the_command_prints_what_it_read_the_warning_and_the_summary(tmp_path, capsys):
    out = tmp_path / "out"
    assert main(["phenotype", GCT, CLS, GMT, "-o", str(out), "--top", "3"]) == 0
    printed = capsys.readouterr()
    err = printed.err.splitlines()
    assert err[0].endswith("panc1_foxa2_log2cpm.gct.gz: 10,633 genes x 6 samples; GCT 1.2")
    assert err[1].endswith("panc1_foxa2.cls: 'FOXA2KO' (3 samples) v 'WT' (3 samples)")
    assert err[2].startswith("rsvelmo: warning: 3 v 3 samples: 20 distinct label assignments")
    lines = printed.out.splitlines()
    assert lines[0] == ("FOXA2KO v WT (signal_to_noise, exact: all 20 assignments): 10,633 genes, 3,986 gene sets "
                        "read, 3,889 tested (sizes 15 to 500)")  # fmt: skip
    assert lines[4].endswith("GO:0042273 ribosomal large subunit biogenesis")
    written = pd.read_csv(out / "results.tsv", sep="\t")
    assert list(written.columns) == COLUMNS + ["cluster", "representative"] and len(written) == 3889
    record = json.loads((out / "run.json").read_text())
    assert record["complete"] and record["phenotype"]["null_size"] == 20
    assert record["engine_options"]["permutations"] == "auto" and record["settings"]["classes"] is None
    assert main(["phenotype", GCT, CLS, GMT, "-o", str(out), "--classes", "WT", "HET"]) == 2
    assert "no sample has the class 'HET'" in capsys.readouterr().err


def test_the_expression_heatmap_shows_z_scores_grouped_by_class():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    samples = ["a1", "b1", "a2", "b2", "a3", "b3"]
    x = pd.DataFrame(np.arange(36.0).reshape(6, 6) ** 1.5, index=list("UVWXYZ"), columns=samples)
    results = [
        {"pathway": "up", "description": None, "nes": 2.0, "padj": 0.01, "pval": 0.001, "leading_edge": ["U", "V"]},
        {"pathway": "down", "description": None, "nes": -2.0, "padj": 0.02, "pval": 0.002, "leading_edge": ["Z"]},
    ]
    labels = {s: ("A" if s.startswith("a") else "B") for s in reversed(samples)}  # B's sample first
    ranking = dict(zip("UVWXYZ", [3.0, 2.0, 1.0, 0.0, -1.0, -2.0]))
    figure = rsvelmo.plot.expression_heatmap(results, x, labels, ranking=ranking, classes=["A", "B"])
    heat = figure.axes[1]
    shown = heat.images[0].get_array()
    order = ["a1", "a2", "a3", "b1", "b2", "b3"]  # class A first, each class in the matrix's order
    values = x.loc[["U", "V", "Z"], order].to_numpy()
    z = (values - values.mean(axis=1, keepdims=True)) / values.std(axis=1, ddof=1, keepdims=True)
    assert np.allclose(shown, np.clip(z, -2.5, 2.5))
    assert [t.get_text() for t in heat.get_xticklabels()] == order
    assert [t.get_text() for t in heat.get_yticklabels()] == ["U", "V", "Z"]


def test_plots_and_report_of_a_small_design(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    data = EXAMPLES.parent / "tests" / "data" / "expression"
    genes = pd.read_csv(data / "truth.tsv", sep="\t", usecols=[0]).iloc[:, 0].tolist()
    gmt = tmp_path / "sets.gmt"
    gmt.write_text("".join(f"set{i}\tna\t" + "\t".join(genes[i : i + 6]) + "\n" for i in range(0, 18, 3)))
    out = tmp_path / "out"
    args = ["phenotype", str(data / "matrix_v13.gct"), str(data / "sample_sheet.csv"), str(gmt), "-o", str(out),
            "--label-col", "condition", "--drop-na", "--min-size", "5", "--plots", "--report"]  # fmt: skip
    assert main(args) == 0
    err = capsys.readouterr().err
    assert "'KO' (3 samples) v 'WT' (3 samples)" in err and "1 genes with a missing value dropped" in err
    plots = sorted(p.name for p in (out / "plots").iterdir())
    assert plots == ["enrichment_map.png", "expression_heatmap.png", "gene_set_table.png", "leading_edge.png",
                     "running_sums.png", "summary.png"]  # fmt: skip
    page = (out / "report.html").read_text()
    assert "rsvelmo phenotype: KO v WT" in page and "set0" in page
    # The report's table shows the method's fdr and fwer where the preranked one shows log2err.
    assert '<th data-key="fdr">fdr</th><th data-key="fwer">fwer</th>' in page and "log2err</th>" not in page
