"""Per-sample gene-set scores of the engine against Bioconductor GSVA 1.46.

The fixtures under tests/data/gsva/ were written by GSVA itself
(scripts/make_gsva_fixtures.R); see tests/data/README.md.
"""

import csv
import gzip
import pathlib

import numpy as np
import pytest
import rsvelmopy

GSVA_DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "gsva"


def read_hex_table(path):
    """Row names, column names and values of a fixture table of hex floats."""
    with gzip.open(path, "rt") as f:
        header = f.readline().rstrip("\n").split("\t")[1:]
        names, rows = [], []
        for line in f:
            fields = line.rstrip("\n").split("\t")
            names.append(fields[0])
            rows.append([float.fromhex(v) if v != "NaN" else np.nan for v in fields[1:]])
    return names, header, np.array(rows, dtype=np.float64).reshape(len(names), len(header))


def read_gmt_gz(path):
    with gzip.open(path, "rt") as f:
        return {fields[0]: fields[2:] for fields in (line.rstrip("\n").split("\t") for line in f)}


def cases():
    with open(GSVA_DATA / "cases.tsv") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def engine_scores(case):
    genes, samples, matrix = read_hex_table(GSVA_DATA / case["matrix"])
    row = {g: i for i, g in enumerate(genes)}
    sets = read_gmt_gz(GSVA_DATA / case["gene_sets"])
    indices = [[row[g] for g in members if g in row] for members in sets.values()]
    result = rsvelmopy.score_samples(
        matrix,
        indices,
        method=case["method"],
        kcdf=case["kcdf"],
        mx_diff=case["mx_diff"] == "TRUE",
        abs_ranking=case["abs_ranking"] == "TRUE",
        ssgsea_norm=case["ssgsea_norm"] == "TRUE",
    )
    scores = np.frombuffer(result["scores"]).reshape(result["shape"])
    return list(sets), samples, scores, result


# Where GSVA's arithmetic is not reproduced to the bit, and by how much the
# scores may differ: the Poisson CDF's last bits (R's pgamma against
# Boost's) reorder genes whose kernel sums are within those bits.
TOLERANCE = {"gsva_poisson": dict(cell=1e-6, share=0.01, most=1e-3)}


@pytest.mark.parametrize("case", cases(), ids=lambda c: f"{c['input']}-{c['variant']}")
def test_scores_equal_gsva(case):
    set_names, samples, ours, result = engine_scores(case)
    ref_names, ref_samples, ref = read_hex_table(GSVA_DATA / case["scores"])
    assert ref_samples == samples
    # GSVA drops the sets without genes in the matrix: exactly those we do not score.
    assert [n for n, s in zip(set_names, result["scored"]) if s] == ref_names
    assert "NOT_IN_MATRIX" not in ref_names and "TWO_GENES" in ref_names
    ours = ours[[set_names.index(n) for n in ref_names]]
    if case["method"] == "plage":
        # The singular vector's sign is the decomposition's choice: per set.
        same = np.abs(ours - ref).max(axis=1)
        flipped = np.abs(ours + ref).max(axis=1)
        diff = np.minimum(same, flipped)
    else:
        diff = np.abs(ours - ref)
    tolerance = TOLERANCE.get(case["variant"])
    if tolerance is None:
        assert diff.max() <= 1e-6
    else:
        assert np.mean(diff > tolerance["cell"]) <= tolerance["share"]
        assert diff.max() <= tolerance["most"]


def test_constant_genes_are_reported_and_dropped_except_for_ssgsea():
    _, _, matrix = read_hex_table(GSVA_DATA / "sim_log.tsv.gz")
    for method, dropped in [("gsva", True), ("zscore", True), ("plage", True), ("ssgsea", False)]:
        result = rsvelmopy.score_samples(matrix, [[6, 7, 8]], method=method)
        assert result["constant_genes"] == [6]
        assert result["constant_dropped"] is dropped
        assert result["sizes"] == [2 if dropped else 3]


def random_matrix(genes=300, samples=9, seed=5):
    rng = np.random.default_rng(seed)
    return np.round(rng.normal(6, 2, size=(genes, samples)), 2)


SETS = [list(range(0, 40)), list(range(100, 112)), [5, 250, 299], list(range(150, 300, 3))]


@pytest.mark.parametrize(
    "options",
    [dict(method="gsva"), dict(method="gsva", kcdf="none"), dict(method="ssgsea", ssgsea_norm=False)],
    ids=["gsva", "gsva-none", "ssgsea-raw"],
)
def test_a_samples_score_does_not_depend_on_which_samples_are_scored_with_it(options):
    # ssGSEA without normalisation sees one sample at a time. GSVA's kernel
    # CDFs use every sample (so scores depend on the cohort), but a sample's
    # score does not depend on the chunk it is scored in.
    matrix = random_matrix()
    whole = rsvelmopy.score_samples(matrix, SETS, **options)
    whole = np.frombuffer(whole["scores"]).reshape(whole["shape"])
    for chunk in (1, 2, 4):
        again = rsvelmopy.score_samples(matrix, SETS, chunk_samples=chunk, **options)
        assert bytes(again["scores"]) == whole.tobytes()
    if options["method"] == "ssgsea":
        for keep in ([0], [3, 7], [8, 1, 2]):
            part = rsvelmopy.score_samples(np.ascontiguousarray(matrix[:, keep]), SETS, **options)
            part = np.frombuffer(part["scores"]).reshape(part["shape"])
            assert part.tobytes() == np.ascontiguousarray(whole[:, keep]).tobytes()


@pytest.mark.parametrize(
    "options",
    [
        dict(method="gsva"),
        dict(method="gsva", mx_diff=False, tau=0.5),
        dict(method="gsva", kcdf="poisson", abs_ranking=True),
        dict(method="gsva", kcdf="none"),
        dict(method="ssgsea", ssgsea_norm=False),
        dict(method="zscore"),
        dict(method="plage"),
    ],
    ids=["gsva", "gsva-max", "gsva-poisson", "gsva-none", "ssgsea-raw", "zscore", "plage"],
)
def test_a_column_range_has_the_bits_of_the_whole_run(options):
    # What depends on every sample still comes from the whole matrix: each
    # scored cell is the whole run's, whichever range (and chunk) holds it.
    matrix = np.abs(random_matrix(samples=13))
    matrix[7] = 2.5  # a constant gene, found from every sample in every range
    whole = rsvelmopy.score_samples(matrix, SETS, **options)
    scores = np.frombuffer(whole["scores"]).reshape(whole["shape"])
    for start, stop in [(0, 13), (0, 1), (2, 6), (5, 13), (12, 13)]:
        for chunk in (0, 3):
            part = rsvelmopy.score_samples(matrix, SETS, columns=(start, stop), chunk_samples=chunk, **options)
            assert part["shape"] == (len(SETS), stop - start)
            assert bytes(part["scores"]) == np.ascontiguousarray(scores[:, start:stop]).tobytes()
            assert {k: v for k, v in part.items() if k not in ("scores", "shape")} == {
                k: v for k, v in whole.items() if k not in ("scores", "shape")
            }


@pytest.mark.parametrize(
    ("columns", "options", "message"),
    [
        ((3, 3), {}, r"the columns \[3, 3\) are not a non-empty range of the 9 samples"),
        ((4, 10), {}, r"the columns \[4, 10\) are not a non-empty range"),
        ((1, 9), dict(method="ssgsea"), "normalised ssgsea divides by the range of every sample's scores"),
        ((1, 2, 3), {}, r"a \(start, stop\) pair"),
    ],
)
def test_column_ranges_that_cannot_be_scored_are_refused(columns, options, message):
    with pytest.raises(ValueError, match=message):
        rsvelmopy.score_samples(random_matrix(), SETS, columns=columns, **options)


@pytest.mark.parametrize("method", ["zscore", "plage", "ssgsea", "gsva"])
def test_methods_that_compare_samples_change_when_samples_are_removed(method):
    # Normalised ssGSEA divides by the range over all samples; z-score and
    # PLAGE standardise each gene over the samples; GSVA's kernels use them all.
    matrix = random_matrix()
    whole = rsvelmopy.score_samples(matrix, SETS, method=method)
    part = rsvelmopy.score_samples(np.ascontiguousarray(matrix[:, :5]), SETS, method=method)
    whole = np.frombuffer(whole["scores"]).reshape(whole["shape"])[:, :5]
    part = np.frombuffer(part["scores"]).reshape(part["shape"])
    assert not np.allclose(np.abs(whole), np.abs(part))


class TestBadInput:
    @pytest.mark.parametrize(
        ("change", "options", "message"),
        [
            (lambda m: m.__setitem__((3, 2), np.nan), {}, "non-finite value at row 4, column 3"),
            (lambda m: m.__setitem__((0, 0), np.inf), dict(method="ssgsea"), "non-finite value at row 1, column 1"),
            (
                lambda m: m.__setitem__((1, 4), -1.0),
                dict(kcdf="poisson"),
                "negative value at row 2, column 5: kcdf='poisson' needs counts",
            ),
        ],
        ids=["nan", "inf", "negative-counts"],
    )
    def test_values_the_methods_cannot_score(self, change, options, message):
        matrix = np.abs(random_matrix(genes=20, samples=6))
        change(matrix)
        with pytest.raises(ValueError) as e:
            rsvelmopy.score_samples(matrix, [[0, 1, 2]], **options)
        assert str(e.value) == message

    @pytest.mark.parametrize("method", ["gsva", "zscore", "plage"])
    def test_a_single_sample_is_refused_where_samples_are_compared(self, method):
        with pytest.raises(ValueError, match="at least two samples are needed"):
            rsvelmopy.score_samples(random_matrix(samples=1), SETS, method=method)
        # ssGSEA scores each sample on its own.
        one = rsvelmopy.score_samples(random_matrix(samples=1), SETS, method="ssgsea")
        assert one["shape"] == (len(SETS), 1)

    @pytest.mark.parametrize(
        ("matrix", "sets", "kind", "message"),
        [
            (np.zeros((4, 3), dtype=np.float32), [[0]], ValueError, "two-dimensional float64"),
            (np.zeros(12), [[0]], ValueError, "two-dimensional float64"),
            (np.zeros((3, 4)).T, [[0]], ValueError, "ndarray is not C-contiguous"),
            (np.arange(12.0).reshape(4, 3), [[0, 9]], ValueError, "refers to row 9 of a matrix of 4 genes"),
            (np.arange(12.0).reshape(4, 3), [[1, 1]], ValueError, "names row 1 twice"),
            (np.arange(12.0).reshape(4, 3), [["a"]], TypeError, "cannot be interpreted as an integer"),
            (np.arange(12.0).reshape(4, 3), [[-1]], OverflowError, "negative"),
            (np.arange(12.0).reshape(4, 3), 5, TypeError, "gene_sets must be a sequence"),
        ],
    )
    def test_malformed_arguments(self, matrix, sets, kind, message):
        with pytest.raises(kind, match=message):
            rsvelmopy.score_samples(matrix, sets)

    def test_unknown_method_and_kernel(self):
        m = random_matrix()
        with pytest.raises(ValueError, match="method must be one of 'gsva', 'ssgsea', 'zscore', 'plage', not 'x'"):
            rsvelmopy.score_samples(m, SETS, method="x")
        with pytest.raises(ValueError, match="kcdf must be one of 'gaussian', 'poisson', 'none', not 'normal'"):
            rsvelmopy.score_samples(m, SETS, kcdf="normal")


@pytest.mark.parametrize(("genes", "samples"), [(300, 40), (300, 8), (60, 200)])
def test_plage_is_the_first_right_singular_vector(genes, samples):
    # numpy's SVD of each set's standardised rows, an independent route for
    # the sizes the fixtures do not reach (the tridiagonal reduction).
    matrix = random_matrix(genes=genes, samples=samples, seed=genes + samples)
    sets = [list(range(0, 30)), list(range(10, 60, 2)), list(range(0, genes, 3))]
    result = rsvelmopy.score_samples(matrix, sets, method="plage")
    scores = np.frombuffer(result["scores"]).reshape(result["shape"])
    z = (matrix - matrix.mean(axis=1, keepdims=True)) / matrix.std(axis=1, ddof=1, keepdims=True)
    for row, members in zip(scores, sets):
        v = np.linalg.svd(z[members], full_matrices=False)[2][0]
        assert min(np.abs(row - v).max(), np.abs(row + v).max()) < 1e-9
        # The sign: the score grows with the set's summed standardised expression.
        assert row @ z[members].sum(axis=0) >= 0
