"""Gene identifiers mapped offline, MSigDB's JSON, and the shipped collections."""

import gzip
import json
import os
import pathlib
import warnings

import pytest
import rsvelmo
import rsvelmo.cli
from rsvelmo import RankingError, RankingWarning
from rsvelmo.readers.gene_sets import GeneSets
from rsvelmo.readers.identifiers import map_pairs

pd = pytest.importorskip("pandas")
DATA = pathlib.Path(rsvelmo.__file__).parent / "data"


@pytest.mark.parametrize(
    "style, given, expected",
    [
        ("ensembl", "ENSG00000141510", "TP53"),
        ("ensembl", "ENSG00000141510.17", "TP53"),  # with its version
        ("entrez", "7157", "TP53"),
        ("symbol", "TP53", "TP53"),  # a current symbol stays, whatever aliases say
        ("symbol", "MARCH1", "MARCHF1"),  # a previous symbol
        ("symbol", "KIAA0101", "PCLAF"),
        ("symbol", "HER2", "ERBB2"),  # an alias
        ("symbol", "SEPT2", "SEPT2"),  # names SEPTIN2 and SEPTIN6: ambiguous, left alone
        ("symbol", "C10orf2", "C10orf2"),  # TWNK's previous symbol, CHMP1B's alias
        ("auto", "ENSG00000141510.3", "TP53"),
    ],
)
def test_identifiers_map_to_current_symbols(style, given, expected):
    pairs, report = map_pairs([(given, 1.0, 1)], style)
    assert [g for g, _, _ in pairs] == [expected]
    assert (report.unmapped == [given]) == (given == expected and given != "TP53")


def test_unknown_ids_are_counted_and_one_gene_twice_goes_through_the_policy():
    ranks = {"ENSG00000141510.1": 2.0, "ENSG00000012048": -1.0, "ENSG99999999999": 3.0, "ENSG00000141510.2": -4.0}
    with pytest.warns(
        RankingWarning, match=r"1 of 4 gene IDs are not in the table of human genes \('ENSG99999999999'\)"
    ):
        with pytest.raises(RankingError, match=r"1 gene name\(s\) occur more than once \('TP53'\)"):
            rsvelmo.readers.rankings.as_ranking(ranks, map_ids="ensembl")
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        mapped = rsvelmo.readers.rankings.as_ranking(ranks, map_ids="auto", duplicates="max_abs")
    assert mapped == {"TP53": -4.0, "BRCA1": -1.0}
    assert any("collapsed 1 gene name(s)" in str(w.message) for w in seen)


def test_a_ranking_of_ensembl_ids_is_refused_with_the_mapping_it_would_get(example_gmt):
    ensembl = {"ENSG00000141510": 1.0, "ENSG00000012048": -1.0, "ENSG00000146648": 0.5}
    sets = GeneSets({"S": ["TP53", "BRCA1", "EGFR"]}, {}, "sets")
    with pytest.raises(RankingError) as e:
        rsvelmo.analyses.preranked.prepare(ensembl, sets, {**OPTIONS_DEFAULTS, "min_size": 2})
    assert "3 of 3 Ensembl gene IDs map to current symbols: try map_ids='auto'" in str(e.value)
    assert e.value.render("cli").endswith("try --map-ids auto")


OPTIONS_DEFAULTS = rsvelmo._options.validate({})


def test_msigdb_json_is_read_as_its_gmt(tmp_path):
    sets = {
        "HALLMARK_A": {"collection": "H", "systematicName": "M1", "msigdbURL": "https://msigdb/A",
                       "exactSource": "", "geneSymbols": ["TP53", "EGFR", "TP53"]},
        "GOBP_B": {"collection": "C5", "exactSource": "GO:0000002", "geneSymbols": ["BRCA1"]},
    }  # fmt: skip
    gmt = tmp_path / "c.gmt"
    gmt.write_text("HALLMARK_A\thttps://msigdb/A\tTP53\tEGFR\nGOBP_B\tGO:0000002\tBRCA1\n")
    plain = tmp_path / "c.v2023.1.Hs.json"
    plain.write_text(json.dumps(sets))
    zipped = tmp_path / "collection.dat"  # gzipped JSON, known by its content
    zipped.write_bytes(gzip.compress(json.dumps(sets).encode()))
    expected = GeneSets.load(gmt)
    for path in (plain, zipped):
        got = GeneSets.load(path)
        assert (got.sets, got.descriptions) == (expected.sets, expected.descriptions)
    for content, message in [
        ("{not json", "this looks like JSON but cannot be read as such"),
        ('{"S": {"genes": ["A"]}}', "gene set 'S' has no list of 'geneSymbols'"),
        ("[1, 2]", "a JSON file, but not a collection of gene sets"),
        ("A\t1.5\nB\t-2\n", r"this looks like a ranking \(gene, score\), not gene sets; give the gene sets last"),
    ]:
        bad = tmp_path / ("bad.json" if content.startswith(("{", "[")) else "bad.gmt")
        bad.write_text(content)
        with pytest.raises(ValueError, match=message):
            GeneSets.load(bad)


def test_the_shipped_collections_load_by_name_and_match_their_record():
    listed = rsvelmo.collections()
    assert list(listed["name"]) == ["go_bp", "go_mf", "go_cc"]
    sources = json.loads((DATA / "sources.json").read_text())
    for name in listed["name"]:
        sets = GeneSets.load(name)
        entry = sources["collections"][name]
        assert len(sets.sets) == entry["gene_sets"] and sets.record["collection"] == name
        assert sets.record["sha256"] == sources["sha256"][entry["file"]]
    bp = GeneSets.load("go_bp")
    assert bp.descriptions["GO:0000002"] == "mitochondrial genome maintenance" and "POLG" in bp.sets["GO:0000002"]
    # Annotations propagated: a parent term holds its children's genes.
    assert set(bp.sets["GO:0006260"]) <= set(bp.sets["GO:0006259"])  # DNA replication within DNA metabolic process


def test_the_example_as_ensembl_ids_gives_the_table_of_its_symbols(example_ranks, example_gmt, tmp_path):
    ensembl = {}
    with gzip.open(DATA / "human_gene_ids.tsv.gz", "rt") as f:
        for line in f:
            kind, identifier, symbol = line.rstrip("\n").split("\t")
            if kind == "ensembl":
                ensembl.setdefault(symbol, identifier)
    mapped = {g: s for g, s in example_ranks.items() if g in ensembl}
    table = tmp_path / "deseq2.csv"
    table.write_text('"","stat","padj"\n' + "".join(f'"{ensembl[g]}.5",{s!r},NA\n' for g, s in mapped.items()))
    options = {"refine": False, "nperm": 300, "seed": 3}
    got = rsvelmo.gsea(table, example_gmt, score_col="stat", map_ids="auto", **options)
    pd.testing.assert_frame_equal(got, rsvelmo.gsea(mapped, example_gmt, **options))
    assert len(mapped) > 0.95 * len(example_ranks)


def test_the_command_line_maps_ids_and_records_the_collection(tmp_path, example_ranks, capsys):
    table = tmp_path / "r.csv"
    table.write_text("gene,stat\n" + "".join(f"{g},{s!r}\n" for g, s in list(example_ranks.items())[:4000]))
    out = tmp_path / "out"
    argv = ["run", str(table), "go_mf", "-o", str(out), "--no-refine", "--quiet", "--map-ids", "symbol"]
    with warnings.catch_warnings():
        warnings.simplefilter("default")  # the command line prints its warnings
        assert rsvelmo.cli.main([*argv, "--duplicates", "max_abs"]) == 0
    assert "3 of 4,000 gene IDs are not in the table of human genes" in capsys.readouterr().err
    run = json.loads((out / "run.json").read_text())
    assert run["inputs"][-1]["collection"] == "go_mf" and run["inputs"][-1]["version"].startswith("GO 2022-07-01")
    assert "gene symbols mapped to current symbols" in run["rankings"]["r"]["ids"]
    assert os.path.getsize(out / "results.tsv") > 1000
