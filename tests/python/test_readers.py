import gzip
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from rsvelmo import RankingError, RankingWarning, read_gmt, read_matrix, read_ranks, write_gmt
from rsvelmo.analyses.checks import check_ranking
from rsvelmo.readers.gene_sets import read_gmt_descriptions


def write(tmp_path, name, content):
    path = tmp_path / name
    data = content.encode() if isinstance(content, str) else content
    path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    return str(path)


CUT_GZIP = gzip.compress("".join(f"G{i}\t{i * 0.37}\n" for i in range(5000)).encode())[:2000]
DESEQ2 = '"","baseMean","log2FoldChange","lfcSE","stat","pvalue","padj"\n"A",10,1.5,0.2,7.5,0.001,0.01\n'


@pytest.mark.parametrize(
    "name, content, options, expected",
    [
        ("a.rnk", "# limma\r\nid\tt\r\n\r\nZ\t2.5\r\nB\t-1e-3\r\n \nC\t0\n", {}, {"Z": 2.5, "B": -0.001, "C": 0.0}),
        ("t.csv.gz", "id,symbol,logFC,t\n1,A,0.5,3.0\n", {"gene_col": "symbol", "score_col": "t"}, {"A": 3.0}),
        ("t.csv", "id,symbol,logFC,t\n1,A,0.5,3.0\n", {"gene_col": 1, "score_col": 2}, {"A": 0.5}),
        ("res.csv", DESEQ2, {"score_col": "stat"}, {"A": 7.5}),
        ("bom.rnk", "\ufeffG0\t1.5\nG1\t-2\n", {}, {"G0": 1.5, "G1": -2.0}),  # the mark is not part of a gene
        ("zipped.rnk", gzip.compress(b"A\t1\nB\t-1\n"), {}, {"A": 1.0, "B": -1.0}),  # gzip without its suffix
    ],
)  # fmt: skip
def test_read_ranks_keeps_the_order(tmp_path, name, content, options, expected):
    ranks = read_ranks(write(tmp_path, name, content), **options)
    assert ranks.to_dict() == expected and list(ranks.index) == list(expected)


NAMES = st.text(st.characters(categories=("L", "N"), include_characters="-._:"), min_size=1, max_size=8).filter(
    lambda g: g.lower() not in ("na", "nan", "n/a")  # these name no gene
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    ranks=st.dictionaries(NAMES, st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=30),
    header=st.booleans(),
    end=st.sampled_from(["\n", "\r\n"]),
    suffix=st.sampled_from([".rnk", ".csv", ".tsv.gz"]),
)
def test_any_ranking_reads_back_exactly(tmp_path, ranks, header, end, suffix):
    sep = "," if suffix == ".csv" else "\t"
    rows = ([f"gene{sep}score"] if header else []) + [f"{g}{sep}{s!r}" for g, s in ranks.items()]
    got = read_ranks(write(tmp_path, "ranks" + suffix, "".join(row + end for row in rows)))
    assert got.to_dict() == ranks and list(got.index) == list(ranks)


@pytest.mark.parametrize(
    "content, options, message",
    [
        ("gene\tscore\nA\t1\nB\tabc\n", {}, r"bad.rnk, line 3: score 'abc' of gene 'B' is not a number"),
        ("gene\tscore\nA\t1\nB\tinf\n", {}, r"line 3: score of gene 'B' is inf; scores must be finite"),
        ("gene\tscore\nA\t1\nB\t-inf\n", {}, r"line 3: score of gene 'B' is -inf"),
        ("gene\tscore\nA\t1\n", {"score_col": "stat"}, "no column named 'stat'.*columns: 'gene', 'score'"),
        ("A\t1\nB\t2\nC\nD\t3\n", {}, "line 3: 1 tab-separated field.s., but 2 on most lines; is a cell missing"),
        ("A\nB\n", {}, "line 1: found one column; a ranking needs two"),
        (" \t1\nB\t2\n", {}, "line 1: the gene name is ' ', which names no gene; drop such rows with na='drop'"),
        ("A\tNA\nB\t2\n", {}, r"line 1: gene 'A' has no score \('NA'\); drop such genes with na='drop' or fill"),
        ("".join(f"G{i}\t1\nG{i}\t2\n" for i in range(8)), {}, r"8 gene name\(s\) occur more than once.*'G4', \.\.\."),
        ("ID\tlogFC\tAveExpr\tt\tP.Value\nA\t1\t1\t1\t1\n", {}, "ranking score is usually 't'"),
        ("names\tscores\tlogfoldchanges\nA\t1\t1\n", {}, "ranking score is usually 'scores'"),
        ("gene\tp_val\tavg_log2FC\tpct.1\nA\t1\t1\t1\n", {}, "ranking score is usually 'avg_log2FC'"),
        (b"PK\x03\x04" + bytes(40), {}, "this is an Excel workbook or a zip archive, not a text table; save the sheet"),
        ("G0\t1\n".encode("utf-16"), {}, "this file is UTF-16 text; save it as UTF-8"),
        (b"\x00\x01\x02binary", {}, "this is a binary file, not a text table"),
        (CUT_GZIP, {}, "the gzip data is damaged or cut short"),
        ("S1\td\tA\tB\nS2\td\tC\n", {}, "this looks like a GMT file of gene sets"),
        ("S1\tA\tB\tC\nS2\tD\tE\tF\n", {"score_col": 1}, "looks like a GMT file of gene sets"),
        ("S1\thttp://x/S1\tA\tB\tC\nS2\t\tD\tE\n", {}, r"this looks like a GMT file of gene sets \(name, desc"),
    ],
)  # fmt: skip
def test_read_ranks_refuses_naming_file_line_and_gene(tmp_path, content, options, message):
    with pytest.raises(RankingError, match=message):
        read_ranks(write(tmp_path, "bad.rnk", content), **options)


def test_a_results_table_needs_its_score_column_named(tmp_path):
    path = write(tmp_path, "res.csv", DESEQ2)
    with pytest.raises(RankingError) as e:
        read_ranks(path)
    assert str(e.value) == (
        f"{path} has 6 columns that could be the ranking score ('baseMean', 'log2FoldChange', 'lfcSE', 'stat', "
        "'pvalue', 'padj'); say which with score_col=; this looks like a DESeq2 results table, whose ranking score "
        "is usually 'stat'"
    )
    assert e.value.render("cli").count("say which with --score-col;") == 1
    with pytest.raises(FileNotFoundError):
        read_ranks(tmp_path / "none.rnk")


def test_duplicates_and_missing_scores(tmp_path):
    path = write(tmp_path, "d.rnk", "A\t1\nB\t-3\nA\t-2\nB\t1\nC\t0\n")
    with pytest.raises(RankingError, match=r"2 gene name\(s\) occur more than once \('A', 'B'\)"):
        read_ranks(path)
    for policy, expected in [("first", [1.0, -3.0]), ("max_abs", [-2.0, -3.0]), ("mean", [-0.5, -1.0])]:
        with pytest.warns(RankingWarning, match=rf"collapsed 2 gene name\(s\).*duplicates='{policy}'"):
            assert read_ranks(path, duplicates=policy).to_dict() == {"A": expected[0], "B": expected[1], "C": 0.0}
    with pytest.raises(ValueError, match="duplicates must be one of 'error', 'first', 'max_abs', 'mean', not 'last'"):
        read_ranks(path, duplicates="last")
    with pytest.warns(RankingWarning, match=r"dropped 3 row\(s\) without a gene name or a score"):
        dropped = read_ranks(write(tmp_path, "na.rnk", "A\tNA\nB\t2\nC\t\nD\t-1\nNA\t3\n"), na="drop")
    assert dropped.to_dict() == {"B": 2.0, "D": -1.0}


def test_read_matrix(tmp_path):
    path = write(tmp_path, "m.tsv", "gene\tc1\tc2\nA\t1\tNA\nB\t-2\t3\nC\t\t0.5\n")
    with pytest.warns(RankingWarning, match=r"2 empty or NA cells, .* \('c1' 1, 'c2' 1\)"):  # left out, and said
        assert read_matrix(path) == {"c1": {"A": 1.0, "B": -2.0}, "c2": {"B": 3.0, "C": 0.5}}
    for content, message in [
        ("gene\tc1\tc2\nA\t1\t2\nB\t1\n", "line 3: 2 tab-separated field.s., but 3 on most lines"),
        ("gene\tc1\nA\tx\n", "line 2: score 'x' of gene 'A'"),
        ("gene\nA\n", "found one column"),
        ("# nothing\n", "the file holds no table"),
    ]:
        with pytest.raises(RankingError, match=message):
            read_matrix(write(tmp_path, "m.tsv", content))


def test_check_ranking():
    with pytest.raises(RankingError, match=r"all 3 scores are equal \(0.0\)"):
        check_ranking({"A": 0.0, "B": 0.0, "C": 0.0})
    spread = {f"G{i}": float(i) for i in range(200)}
    with pytest.warns(RankingWarning, match=r"4 genes \(2.0%\) share the score 0.0; tied genes are ordered by their"):
        check_ranking(spread | {f"Z{i}": 0.0 for i in range(3)})
    with pytest.warns(RankingWarning, match="consider score_type='pos'"):
        check_ranking({"A": 1.0, "B": 2.0}, "std")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_ranking(spread | {"Z": 0.0})  # a tie of two genes in 201 is no reason to warn
        check_ranking({"A": 1.0, "B": 2.0}, "pos")


def test_gmt_round_trip_descriptions_and_errors(tmp_path):
    path = str(tmp_path / "s.gmt")
    write_gmt({"S1": ["A", "B"], "S2": ("C",)}, path)
    assert read_gmt(path) == {"S1": ["A", "B"], "S2": ["C"]}
    zipped = write(tmp_path, "d.gmt.gz", "S1\tfirst set\tA\t \tB\r\n\nS2\t\tC\n")
    assert read_gmt(zipped) == {"S1": ["A", "B"], "S2": ["C"]}
    assert read_gmt_descriptions(zipped) == {"S1": "first set", "S2": None}
    twice = write(tmp_path, "d.gmt", "S1\td\tA\n\nS1\tagain\tC\n")
    with pytest.raises(ValueError) as e:
        read_gmt(twice)
    assert str(
        e.value
    ) == f"{twice}, line 3: gene set 'S1' is named a second time (first on line 1); give each gene " + (
        "set a unique name"
    )
    with pytest.raises(ValueError, match=r"bad.gmt, line 2: Malformed GMT line 2"):
        read_gmt(write(tmp_path, "bad.gmt", "S1\td\tA\nS2 A B\n"))
    with pytest.raises(FileNotFoundError) as e:
        read_gmt(tmp_path / "none.gmt")
    assert e.value.filename == str(tmp_path / "none.gmt") and e.value.errno == 2
    for bad in ({"S\t1": ["A"]}, {"S1": ["A\nB"]}):
        with pytest.raises(ValueError, match="without tabs or line breaks"):
            write_gmt(bad, tmp_path / "x.gmt")
