"""Tables as DESeq2, limma, edgeR, Seurat, scanpy and spreadsheets write them
(tests/data/tables/, made by scripts/make_table_fixtures.R and
scripts/make_pandas_fixtures.py), read exactly or refused."""

import csv
import pathlib
import warnings

import pytest
from rsvelmo import RankingError, RankingWarning, Reading, read_rankings, read_ranks
from rsvelmo.analyses.checks import check_overlap, check_ranking
from rsvelmo.readers.gene_sets import GeneSets

TABLES = pathlib.Path(__file__).resolve().parents[1] / "data" / "tables"
SCORES = {"deseq2": "stat", "limma": "t", "edger": "F"}
WRITERS = ["write_csv.csv", "tab_noquote.txt", "default.txt", "colnames_na.tsv", "csv2.csv"]


def truth(name, key="gene", score="score"):
    with open(TABLES / name, newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [(r[key], float(r[score])) for r in rows if r[score] != "NA"]


@pytest.mark.parametrize("tool", SCORES)
@pytest.mark.parametrize("writer", WRITERS)
def test_every_r_writer_reads_the_genes_and_scores_it_wrote(tool, writer):
    # DESeq2 leaves the statistic of a gene without counts NA: it is dropped and counted.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore" if tool == "deseq2" else "error", RankingWarning)
        ranks = read_ranks(TABLES / f"{tool}_{writer}", score_col=SCORES[tool], na="drop")
    assert list(zip(ranks.index, ranks.to_numpy().tolist())) == truth(f"{tool}_truth.tsv")
    reading = Reading(**ranks.attrs["reading"])
    ordinal = {"deseq2": "4th of 6", "limma": "3rd of 6", "edger": "3rd of 5"}[tool]
    assert reading.describe().endswith(f": genes from the row names, scores from column {SCORES[tool]!r} ({ordinal}), "
                                       f"{len(ranks)} genes" + (", 1 dropped" if tool == "deseq2" else ""))  # fmt: skip


def test_gene_names_that_name_no_gene_are_refused_or_dropped_never_merged():
    path = TABLES / "limma_symbols_na.csv"
    with pytest.raises(RankingError, match=r"limma_symbols_na.csv, line 4: the gene name is 'NA', which names no gene"):
        read_ranks(path, gene_col="SYMBOL", score_col="t", duplicates="max_abs")
    with pytest.warns(RankingWarning, match=r"dropped 3 row\(s\) without a gene name"):
        ranks = read_ranks(path, gene_col="SYMBOL", score_col="t", na="drop")
    expected = [g for i, (g, _) in enumerate(truth("limma_truth.tsv")) if i not in (2, 6, 11)]
    assert list(ranks.index) == expected and "NA" not in ranks.index and "" not in ranks.index


def test_a_long_table_of_groups_is_split_not_collapsed():
    path = TABLES / "scanpy_rank_genes_groups_df.csv"
    for duplicates in ("error", "first"):
        with pytest.raises(RankingError, match="once per value of column 'group'.*with group_col='group'"):
            read_ranks(path, score_col="scores", duplicates=duplicates)
    groups = read_rankings(path, "group", score_col="scores")
    expected = truth("scanpy_truth.tsv", "names", "scores")
    assert list(groups) == ["B cells", "T cells", "NK"]
    assert [(g, s) for part in groups.values() for g, s in zip(part.index, part.tolist())] == expected
    assert Reading(**groups["NK"].attrs["reading"]).genes_from == "column 'names' (2nd of 6)"


def test_a_marker_list_is_not_taken_for_a_whole_ranking():
    ranks = read_ranks(TABLES / "seurat_findmarkers.csv", score_col="avg_log2FC").to_dict()
    sets = GeneSets({f"S{i}": [f"MK{j:04d}" for j in range(i, 6000, 40)] for i in range(40)}, {}, "sets")
    with pytest.warns(RankingWarning, match=r"holds 1,836 genes .* none near zero: it looks filtered"):
        check_overlap(ranks, sets, 15, 500)
    whole = dict(truth("limma_truth.tsv"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_overlap(whole, GeneSets({"S": list(whole)[:100]}, {}, "sets"), 15, 500)


def test_symbols_that_a_spreadsheet_made_dates_are_named():
    ranks = read_ranks(TABLES / "excel_dates.csv").to_dict()
    with pytest.warns(
        RankingWarning, match=r"3 gene name\(s\) are dates.*'2-Sep' \(was SEPT2\), '1-Mar' \(was MARCH1\)"
    ):
        check_ranking(ranks)


@pytest.mark.parametrize(
    "content, expected, genes_from",
    [
        ('"logFC" "t"\n"A" 1.5 -2\n"B" 0.5 3e-2\n', {"A": -2.0, "B": 0.03}, "the row names"),
        ("gene;score\r\nA;1,5\r\nB;-0,25\r\n", {"A": 1.5, "B": -0.25}, "column 'gene' (1st of 2)"),
        ("gene  score\nA   1.5\nB  -2\n", {"A": 1.5, "B": -2.0}, "column 'gene' (1st of 2)"),
        ("7157\t2.5\n672\t-1\n", {"7157": 2.5, "672": -1.0}, "column 1"),  # Entrez IDs are names, not a header
        (",names,stat\n0,A,1\n1,B,2\n", {"A": 1.0, "B": 2.0}, "column 'names' (1st of 2)"),  # pandas' own index
    ],
)
def test_shapes_other_tools_write(tmp_path, content, expected, genes_from):
    path = tmp_path / "t.txt"
    path.write_text(content)
    ranks = read_ranks(path, score_col="t" if '"t"' in content else None)
    assert ranks.to_dict() == expected and list(ranks.index) == list(expected)
    assert Reading(**ranks.attrs["reading"]).genes_from == genes_from
