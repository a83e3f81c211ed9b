"""The expression and label readers on files as R writes them
(tests/data/expression, scripts/make_expression_fixtures.R): every value
read back bit for bit against R's own hex dump, and the inputs a comparison
of two classes must refuse, each in one line naming what is wrong."""

import gzip
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest
import rsvelmo
from rsvelmo import RankingError, RankingWarning
from rsvelmo.readers.expression import read_expression
from rsvelmo.readers.labels import read_labels

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "expression"
SAMPLES = ["S1_KO", "S2_WT", "S3_KO", "S4_WT", "S5_WT", "S6_KO"]
KO = [True, False, True, False, False, True]
SHEET = {"label_col": "condition"}
SHEET_LABELS = ["KO", "WT", "KO", "WT", "WT", "KO"]


@pytest.fixture(scope="module")
def truth():
    table = pd.read_csv(DATA / "truth.tsv", sep="\t", index_col=0, keep_default_na=False, dtype=str)
    values = np.array([[np.nan if v == "NA" else float.fromhex(v) for v in row] for row in table.to_numpy()])
    return list(table.index), list(table.columns), values


@pytest.mark.parametrize(
    "name, note",
    [
        ("matrix_v13.gct", "GCT 1.3"),  # id, two row annotations, two column-annotation lines
        ("matrix_v12.gct", "GCT 1.2"),
        ("matrix_tab_noquote.txt", "tab"),  # write.table(sep = "\t", quote = FALSE): header one field short
        ("matrix_tab_noquote.txt.gz", "tab"),
        ("matrix_write_csv.csv", "comma"),  # write.csv: "" first, every name quoted
        ("matrix_default.txt", "whitespace"),  # write.table's defaults: blanks and quotes
        ("matrix_csv2.csv", "semicolon"),  # write.csv2: ';' and decimal commas
    ],
)
def test_every_writer_reads_back_r_values_bit_for_bit(truth, name, note):
    genes, samples, values = truth
    matrix = read_expression(DATA / name)
    assert matrix.genes == genes and matrix.samples == samples
    assert np.array_equal(matrix.dense(), values, equal_nan=True)
    assert note in matrix.describe() and "1 missing cells" in matrix.describe()


# anndata reads a pandas option that pandas 3 deprecates.
@pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")
def test_dataframes_and_anndata_give_the_same_matrix(truth):
    genes, samples, values = truth
    frame = pd.DataFrame(values, index=genes, columns=samples)
    by_column = frame.reset_index().rename(columns={"index": "symbol"})  # the genes as a text column
    for given in (frame, by_column):
        assert np.array_equal(read_expression(given).dense(), values, equal_nan=True)
    anndata = pytest.importorskip("anndata")
    sparse = pytest.importorskip("scipy.sparse")
    dense = np.nan_to_num(values)
    adata = anndata.AnnData(dense.T, obs=pd.DataFrame({"group": np.where(KO, "KO", "WT")}, index=samples),
                            var=pd.DataFrame(index=genes), layers={"raw": sparse.csr_matrix(dense.T + 1)})  # fmt: skip
    matrix = read_expression(adata)
    assert np.array_equal(matrix.dense(), dense) and matrix.samples == samples
    layered = read_expression(adata, layer="raw")
    assert layered.sparse and np.array_equal(layered.dense(), dense + 1)
    labels = read_labels("group", matrix.samples, obs=matrix.obs)
    assert labels.classes == ("KO", "WT") and labels.in_a.tolist() == KO
    with pytest.raises(RankingError, match=r"no layer 'counts' \(its layers: 'raw'\)"):
        read_expression(adata, layer="counts")


@pytest.mark.parametrize("rule, combine", [("mean", np.mean), ("max", np.max)])
def test_probes_of_one_gene_are_merged_sample_by_sample_and_counted(truth, rule, combine):
    genes, _, values = truth
    with pytest.warns(RankingWarning, match=r"merged the rows of 2 gene name\(s\).*'FOXA2', 'SOX9'"):
        matrix = read_expression(DATA / "probes_tab_noquote.txt", duplicates=rule)
    assert matrix.genes == genes[:8]
    foxa2 = combine([values[0], values[0] - 1], axis=0)
    sox9 = combine([values[6], values[6] + 0.5], axis=0)
    assert np.array_equal(matrix.dense()[0], foxa2) and np.array_equal(matrix.dense()[6], sox9)
    with pytest.raises(RankingError, match=r"2 gene name\(s\) occur more than once .*duplicates='mean'"):
        read_expression(DATA / "probes_tab_noquote.txt")


@pytest.mark.parametrize(
    "source, options, warned",
    [
        ("labels_names.cls", {}, None),
        ("labels_01.cls", {}, None),  # 0 = the first class of the name line
        ("sample_sheet.csv", {"label_col": "condition"}, None),  # in another order than the matrix
        ("sample_sheet_three.csv", {"label_col": "condition", "classes": ("KO", "WT")}, None),
        (SAMPLES and dict(zip(SAMPLES, ["KO", "WT", "KO", "WT", "WT", "KO"])), {}, None),
        (["KO", "WT", "KO", "WT", "WT", "KO"], {}, None),
        # "1 0 1 0 0 1" under "# KO WT": positions say S1 is WT; GSEA's order of use would say KO.
        ("labels_10.cls", {}, "would swap them"),
    ],
)
def test_labels_in_every_form_give_the_classes_of_the_samples(source, options, warned):
    given = DATA / source if isinstance(source, str) else source
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        labels = read_labels(given, SAMPLES, **options)
    assert labels.classes == ("KO", "WT")
    expected = [not k for k in KO] if warned else KO
    kept = labels.keep if "classes" in options else np.ones(6, bool)
    assert labels.keep.tolist() == kept.tolist()
    assert labels.in_a.tolist() == [e for e, k in zip(expected, kept) if k]
    assert [str(w.message) for w in caught if warned and warned in str(w.message)] or not warned


@pytest.mark.parametrize(
    "labels, options, message",
    [
        ("sample_sheet_missing.csv", SHEET, r"1 sample\(s\) of the matrix have no label \('S6_KO'\)"),
        ("sample_sheet_extra.csv", SHEET, r"1 label\(s\) name no sample of the matrix \('S7_KO'\)"),
        ("sample_sheet_three.csv", SHEET, r"3 class\(es\) \('KO', 'WT', 'HET'\).*classes=\('KO', 'WT'\)"),
        ("sample_sheet.csv", {}, r"needs the column of the classes: name it with label_col="),
        ("sample_sheet.csv", {"label_col": "group"}, r"no column 'group' \(columns: 'sample', 'condition', 'batch'\)"),
        (["KO"] * 6, {}, r"1 class\(es\) \('KO'\); the comparison needs two"),
        (["KO", "WT", "KO"], {}, r"3 labels for 6 samples"),
        (["KO", None, "KO", "WT", "WT", "KO"], {}, r"sample 'S2_WT' has no label"),
        ("labels_names.cls", {"classes": ("KO", "HET")}, r"no sample has the class 'HET'"),
    ],
)  # fmt: skip
def test_labels_that_do_not_fit_the_samples_are_refused_in_one_line(labels, options, message):
    given = DATA / labels if isinstance(labels, str) else labels
    with pytest.raises(RankingError, match=message) as error:
        read_labels(given, SAMPLES, **options)
    assert "\n" not in str(error.value)


def test_a_cls_file_that_disagrees_with_itself_is_refused(tmp_path):
    cases = {
        "6 2 1\n# KO WT\nKO WT KO\n": r"line 3: 3 labels, but line 1 announces 6 samples",
        "6 2 1\n# KO\nKO WT KO WT WT KO\n": r"line 2: 1 class names, but line 1 announces 2",
        "6 2 1\n# KO WT\n0 1 0 2 1 0\n": r"class numbers must lie in 0..1",
        "6 2 1\n# KO WT\nKO WT KO WT WT HET\n": r"label\(s\) 'HET' not among the class names",
    }
    for text, message in cases.items():
        path = tmp_path / "bad.cls"
        path.write_text(text)
        with pytest.raises(RankingError, match=message):
            read_labels(path, SAMPLES)


@pytest.fixture(scope="module")
def design(truth):
    """The fixture matrix without its missing cell, and 20 gene sets of 5 genes."""
    genes, samples, values = truth
    frame = pd.DataFrame(values, index=genes, columns=samples)
    sets = {f"set{i}": list(np.roll(genes[:23], -i)[:5]) for i in range(20)}
    return frame, sets


@pytest.mark.parametrize(
    "labels, options, message",
    [
        (["KO", "WT", "KO", "WT", "KO", "KO"], {}, r"class 'WT' has 2 sample\(s\); signal_to_noise needs at least 3 "
         r"per class .*metric='diff_of_classes'"),
        (["KO", "WT", "KO", "WT", "KO", "KO"], {"metric": "t_test"}, r"class 'WT' has 2 sample\(s\); t_test"),
        (["A", "B", "C", "A", "B", "C"], {}, r"3 class\(es\) \('A', 'B', 'C'\)"),
        (["KO", "WT", "KO", "WT", "WT", "KO"], {}, r"1 gene\(s\) have a missing value \(the first: 'NA_CELL' in sample "
         r"'S4_WT'\); leave them out with na='drop'"),
    ],
)  # fmt: skip
def test_the_analysis_refuses_designs_it_cannot_compare(design, labels, options, message):
    frame, sets = design
    with pytest.raises(RankingError, match=message):
        rsvelmo.gsea_phenotype(frame, labels, sets, min_size=5, **options)


def test_missing_values_are_dropped_and_counted_and_small_designs_warned(design):
    frame, sets = design
    with pytest.warns(RankingWarning) as caught:
        table = rsvelmo.gsea_phenotype(frame, dict(zip(SAMPLES, np.where(KO, "KO", "WT"))), sets, min_size=5, na="drop")
    messages = [str(w.message) for w in caught]
    assert any("1 genes with a missing value dropped (the first: 'NA_CELL')" in m for m in messages)
    assert any("3 v 3 samples: 20 distinct label assignments (swapping" in m and "below 0.1 (1/10)" in m
               and "limma" in m for m in messages)  # fmt: skip
    assert table.attrs["run"]["genes"] == 23 and "NA_CELL" not in table.attrs["ranking"]
    # diff_of_classes needs no standard deviation: 2 samples of a class are enough.
    with pytest.warns(
        RankingWarning,
        match=r"4 v 2 samples: 15 distinct label assignments, so no p-value can be "
        r"below 0.067 \(1/15\)",
    ):
        two = rsvelmo.gsea_phenotype(frame.drop(index="NA_CELL"), ["KO", "WT", "KO", "WT", "KO", "KO"], sets,
                                     metric="diff_of_classes", min_size=5)  # fmt: skip
    assert two.attrs["run"]["class_sizes"] == [4, 2] and two.attrs["run"]["permutations"] == "exact"
    # Ratios compare linear-scale means: a negative value (log-scale data) is refused by name.
    logged = frame.drop(index="NA_CELL") - 6
    with pytest.raises(RankingError, match=r"gene 'HLA-A' has -0.776367 in sample 'S2_WT'; ratio_of_classes"):
        rsvelmo.gsea_phenotype(logged, SHEET_LABELS, sets, metric="ratio_of_classes", min_size=5)


def test_a_gzipped_gct_with_a_bom_and_crlf_reads_like_the_plain_one(tmp_path, truth):
    text = (DATA / "matrix_v13.gct").read_text().replace("\n", "\r\n")
    path = tmp_path / "windows.gct.gz"
    path.write_bytes(gzip.compress(("\ufeff" + text).encode()))
    assert np.array_equal(read_expression(path).dense(), truth[2], equal_nan=True)


def test_the_phenotype_options_are_the_declared_ones_in_python_and_on_the_command_line():
    import inspect

    from rsvelmo._errors import Advice
    from rsvelmo._options import OPTIONS
    from rsvelmo.analyses.phenotype import OPTION_NAMES
    from rsvelmo.cli import build_parser

    parameters = inspect.signature(rsvelmo.gsea_phenotype).parameters
    args = build_parser().parse_args(["phenotype", "x.gct", "y.cls", "s.gmt", "-o", "out"])
    for name in OPTION_NAMES:
        option = OPTIONS[name]
        assert parameters[option.keyword or name].default == option.default, name
        assert getattr(args, name) == option.default, name
    args = build_parser().parse_args(["phenotype", "x", "y", "s", "-o", "o", "--classes", "KO", "WT", "--duplicates",
                                      "max", "--metric", "t_test", "--drop-na"])  # fmt: skip
    assert (args.classes, args.expression_duplicates, args.metric, args.na) == (["KO", "WT"], "max", "t_test", "drop")
    error = RankingError("choose with ", Advice("classes", ("a", "b")), " or ", Advice("expression_duplicates", "max"))
    assert str(error) == "choose with classes=('a', 'b') or duplicates='max'"
    assert error.render("cli") == "choose with --classes a b or --duplicates max"
