"""The rsvelmopy boundary: signature, argument checks, exceptions and result dicts."""

import inspect
import math
import sys

import pytest
import rsvelmopy
from conftest import run_python

RANKS = {f"g{i}": float(50 - 2 * i) + 0.5 for i in range(50)}
GMT = "P1\tdesc\t" + "\t".join(f"g{i}" for i in range(8)) + "\nP2\t\tg3\tg30\tg40\tg41\nEMPTY\t\tnope\n"


@pytest.fixture
def gmt(write_gmt):
    return write_gmt(GMT)


class TestSignature:
    def test_text_signature_and_no_docstring(self):
        sig = inspect.signature(rsvelmopy.run_gsea_py)
        assert str(sig) == (
            "(ranks, gmt_path, nPermSimple=1000, seed=42, nproc=0, minSize=1, maxSize=None, eps=1e-50, "
            "scoreType='std', gseaParam=1.0, mode='velmo', nperm=None, sampleSize=101, gpu=False)"
        )
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        assert rsvelmopy.run_gsea_py.__doc__ is None
        assert rsvelmopy.__doc__ is None

    def test_result_shape(self, gmt):
        rows = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=200)
        assert [r["pathway"] for r in rows] == ["P1", "P2"]
        for r in rows:
            assert set(r) == {"pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge"}
            assert isinstance(r["size"], int) and isinstance(r["es"], float) and isinstance(r["pval"], float)
            assert all(isinstance(g, str) for g in r["leading_edge"])
        assert rows[0]["size"] == 8 and rows[0]["leading_edge"] == [f"g{i}" for i in range(8)]

    def test_none_versus_nan(self, gmt):
        for r in rsvelmopy.run_gsea_py(RANKS, gmt, nperm=0):
            assert r["nes"] is None and r["padj"] is None and r["log2err"] is None
            assert isinstance(r["pval"], float) and math.isnan(r["pval"])

    def test_positional_keyword_and_defaults_agree(self, gmt):
        a = rsvelmopy.run_gsea_py(RANKS, gmt, 1000, 42, 0, 1, None, 1e-50, "std", 1.0, "simple", None, 101, False)
        b = rsvelmopy.run_gsea_py(ranks=RANKS, gmt_path=gmt, mode="simple", maxSize=None, nperm=None)
        assert a == b


def message(excinfo):
    return str(excinfo.value)


class TestBinding:
    def test_missing_required(self, gmt):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS)
        assert message(e) == "run_gsea_py() missing required argument 'gmt_path' (pos 2)"
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(gmt_path=gmt)
        assert message(e) == "run_gsea_py() missing required argument 'ranks' (pos 1)"

    def test_too_many_unexpected_and_twice(self, gmt):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, *range(13))
        assert message(e) == "run_gsea_py() takes at most 14 positional arguments (15 given)"
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, nPerm=3)
        assert message(e) == "run_gsea_py() got an unexpected keyword argument 'nPerm'"
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, ranks=RANKS)
        assert message(e) == "argument for run_gsea_py() given by name ('ranks') and position (1)"


class TestConversion:
    @pytest.mark.parametrize(
        "ranks, msg",
        [
            ([("a", 1.0)], "run_gsea_py() argument 'ranks' must be dict, not list"),
            ({1: 1.0}, "run_gsea_py() argument 'ranks' keys must be str, not int"),
            ({"a": "x"}, "run_gsea_py() argument 'ranks' values must be real numbers, not str (gene 'a')"),
        ],
    )
    def test_ranks(self, gmt, ranks, msg):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(ranks, gmt)
        assert message(e) == msg

    def test_ranks_accepts_subclasses_and_float_like_values(self, gmt):
        class Ranks(dict):
            pass

        class Score:
            def __float__(self):
                return 2.5

        rows = rsvelmopy.run_gsea_py(Ranks({"g0": 3, "g1": Score(), "g3": True, "zz": 0.1}), gmt, nperm=0)
        assert rows[0]["size"] == 3

    def test_other_mappings_are_refused(self, gmt):
        import types

        with pytest.raises(TypeError, match="must be dict, not mappingproxy"):
            rsvelmopy.run_gsea_py(types.MappingProxyType(RANKS), gmt)

    def test_gmt_path_must_be_str(self, gmt):
        import pathlib

        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, pathlib.Path(gmt))
        assert message(e) == "run_gsea_py() argument 'gmt_path' must be str, not PosixPath"

    @pytest.mark.parametrize("name", ["nPermSimple", "seed", "nproc", "minSize", "maxSize", "nperm", "sampleSize"])
    def test_integers(self, gmt, name):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, **{name: 1.5})
        assert message(e) == f"run_gsea_py() argument '{name}' must be int, not float"
        with pytest.raises(OverflowError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, **{name: -1})
        assert message(e) == "can't convert negative int to unsigned"
        with pytest.raises(OverflowError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, **{name: 2**64})
        assert message(e) == "int too big to convert"

    def test_bool_counts_as_integer_and_index_objects(self, gmt):
        import numpy as np

        a = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=True, seed=np.uint64(2**64 - 1))
        b = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=1, seed=2**64 - 1)
        assert str(a) == str(b)

    @pytest.mark.parametrize("name", ["eps", "gseaParam"])
    def test_reals(self, gmt, name):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, **{name: "1"})
        assert message(e) == f"run_gsea_py() argument '{name}' must be a real number, not str"

    @pytest.mark.parametrize("name", ["scoreType", "mode"])
    def test_choices_must_be_str(self, gmt, name):
        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, **{name: b"std"})
        assert message(e) == f"run_gsea_py() argument '{name}' must be str, not bytes"

    def test_gpu(self, gmt):
        import numpy as np

        with pytest.raises(TypeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, gpu=0)
        assert message(e) == "run_gsea_py() argument 'gpu' must be bool, not int"
        assert rsvelmopy.run_gsea_py(RANKS, gmt, gpu=np.bool_(False), nperm=0)
        with pytest.raises(RuntimeError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, gpu=np.bool_(True))
        assert message(e) == "gpu=True requires building rsvelmopy with the 'gpu' feature."

    def test_first_failing_conversion_wins(self, gmt):
        with pytest.raises(TypeError, match="'seed'"):
            rsvelmopy.run_gsea_py(RANKS, gmt, seed="x", nproc=-1, gpu=1)


class TestChecks:
    def test_sample_size_zero_comes_first(self):
        with pytest.raises(ValueError) as e:
            rsvelmopy.run_gsea_py({"a": float("nan")}, "/missing.gmt", sampleSize=0, scoreType="x", mode="y")
        assert message(e) == "sampleSize must be greater than 0."

    def test_missing_file_before_score_type(self):
        with pytest.raises(OSError) as e:
            rsvelmopy.run_gsea_py(RANKS, "/no/such.gmt", scoreType="bad")
        assert message(e) == "No such file or directory (os error 2)"
        assert e.type is FileNotFoundError and e.value.args == ("No such file or directory (os error 2)",)

    @pytest.mark.parametrize(
        "content, msg",
        [
            ("A\tB\n", "Malformed GMT line 1: expected at least 3 tab-separated columns."),
            (b"P\td\t\xff\n", "stream did not contain valid UTF-8"),
        ],
    )
    def test_reader_errors(self, write_gmt, content, msg):
        with pytest.raises(OSError) as e:
            rsvelmopy.run_gsea_py(RANKS, write_gmt(content))
        assert message(e) == msg

    def test_nul_in_path(self):
        with pytest.raises(OSError) as e:
            rsvelmopy.run_gsea_py(RANKS, "a\0b")
        assert message(e) == "file name contained an unexpected NUL byte"

    def test_score_type_and_mode(self, gmt):
        with pytest.raises(ValueError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, scoreType="Std ", mode="bad")
        assert message(e) == "Invalid scoreType 'std '. Expected one of: std, pos, neg."
        with pytest.raises(ValueError) as e:
            rsvelmopy.run_gsea_py(RANKS, gmt, mode="Simple ")
        assert message(e) == "Invalid mode 'simple '. Expected one of: velmo, multilevel, simple."
        assert rsvelmopy.run_gsea_py(RANKS, gmt, scoreType="POS", mode="Multilevel", nPermSimple=50)

    def test_gpu_after_reading_the_file(self, gmt):
        with pytest.raises(OSError):
            rsvelmopy.run_gsea_py(RANKS, "/missing.gmt", gpu=True)
        with pytest.raises(ValueError, match="scoreType"):
            rsvelmopy.run_gsea_py(RANKS, gmt, gpu=True, scoreType="x")
        with pytest.raises(RuntimeError):
            rsvelmopy.run_gsea_py(RANKS, gmt, gpu=True)

    @pytest.mark.parametrize("value, shown", [(float("nan"), "nan"), (float("inf"), "inf"), (-float("inf"), "-inf")])
    def test_non_finite_scores_are_refused(self, value, shown):
        with pytest.raises(ValueError) as e:
            rsvelmopy.run_gsea_py({"a": 1.0, "bad": value}, "/missing.gmt")
        assert message(e) == f"ranking score of gene 'bad' is {shown}; every score must be a finite number"

    @pytest.mark.parametrize(
        "ranks, param, reason",
        [
            (
                {"a": 1e300, "b": 1.0},
                2.0,
                "the weight |score|^gseaParam of gene 'a' (score 1.0000000000000001e+300) is not finite",
            ),
            ({"a": 0.0, "b": 1.0}, -1.0, "the weight |score|^gseaParam of gene 'a' (score 0) is not finite"),
            ({"a": 1.0}, float("nan"), "gseaParam is NaN"),
            ({"a": 5e-324}, 1.0, "the sum of the weights (4.9406564584124654e-324) is too small to be scaled"),
        ],
    )
    def test_unweightable_scores_are_refused(self, gmt, ranks, param, reason):
        with pytest.raises(ValueError) as e:
            rsvelmopy.run_gsea_py(ranks, gmt, gseaParam=param)
        shown = "nan" if param != param else f"{param:g}"
        assert message(e) == f"the ranking scores cannot be weighted with gseaParam={shown}: {reason}"

    def test_all_zero_ranking_is_valid(self, gmt):
        rows = rsvelmopy.run_gsea_py({f"g{i}": 0.0 for i in range(50)}, gmt, nperm=100)
        assert len(rows) == 2


class TestModes:
    def test_empty_ranking(self, gmt):
        assert rsvelmopy.run_gsea_py({}, gmt) == []

    def test_none_is_omitted(self, gmt):
        assert str(rsvelmopy.run_gsea_py(RANKS, gmt, maxSize=None, nperm=None)) == str(
            rsvelmopy.run_gsea_py(RANKS, gmt)
        )

    def test_mode_dispatch(self, gmt):
        simple_default = rsvelmopy.run_gsea_py(RANKS, gmt, mode="simple", nPermSimple=300)
        assert str(simple_default) == str(rsvelmopy.run_gsea_py(RANKS, gmt, mode="simple", nperm=300, nPermSimple=7))
        assert str(simple_default) == str(rsvelmopy.run_gsea_py(RANKS, gmt, nperm=300))
        multilevel = rsvelmopy.run_gsea_py(RANKS, gmt, mode="multilevel", nPermSimple=300, nperm=5)
        assert str(multilevel) == str(rsvelmopy.run_gsea_py(RANKS, gmt, nPermSimple=300))

    def test_eps_and_sample_size_do_nothing_without_multilevel(self, gmt):
        a = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=300, eps=0.5, sampleSize=3)
        assert str(a) == str(rsvelmopy.run_gsea_py(RANKS, gmt, nperm=300))

    def test_results_repeat_between_calls_with_ties(self, write_gmt):
        ranks = {f"t{i}": float(i % 3) for i in range(60)}
        path = write_gmt("T\t\t" + "\t".join(f"t{i}" for i in range(0, 60, 4)) + "\n")
        first = rsvelmopy.run_gsea_py(ranks, path, nperm=500)
        for _ in range(3):
            assert str(rsvelmopy.run_gsea_py(ranks, path, nperm=500)) == str(first)


POOL_PROBE = """
import os, rsvelmopy, tempfile
path = os.path.join(tempfile.mkdtemp(), "p.gmt")
open(path, "w").write("P\\t\\ta\\tb\\n")
ranks = {"a": 3.0, "b": 2.0, "c": 1.0}
for nproc in NPROCS:
    rsvelmopy.run_gsea_py(ranks, path, nproc=nproc, nperm=0)
import threading
print(len([t for t in threading.enumerate()]), end="")
"""


def pool_size(nprocs, env=None):
    # Counts the worker threads of the process through /proc.
    code = POOL_PROBE.replace("NPROCS", repr(nprocs)).replace(
        'import threading\nprint(len([t for t in threading.enumerate()]), end="")',
        "print(len(os.listdir('/proc/self/task')) - 1, end='')",
    )
    return int(run_python(code, env))


class TestPool:
    def test_first_request_wins(self):
        assert pool_size([2, 8]) == 2

    def test_default_made_by_the_first_loop(self):
        assert pool_size([0, 4], {"RAYON_NUM_THREADS": "3"}) == 3
        assert pool_size([0], {"RAYON_NUM_THREADS": "bad", "RAYON_RS_NUM_CPUS": "5"}) == 5
        import os

        assert pool_size([0], {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}) == len(os.sched_getaffinity(0))

    def test_configuration_stays_when_the_call_fails(self):
        code = """
        import os, rsvelmopy
        try:
            rsvelmopy.run_gsea_py({}, "/missing.gmt", nproc=3)
        except OSError:
            pass
        print(len(os.listdir('/proc/self/task')) - 1, end='')
        """
        assert run_python(code) == "3"


class TestModuleObject:
    def test_reinitialisation_returns_the_same_module(self):
        import importlib
        import sys

        del sys.modules["rsvelmopy"]
        try:
            assert importlib.import_module("rsvelmopy") is rsvelmopy
        finally:
            sys.modules["rsvelmopy"] = rsvelmopy

    @pytest.mark.skipif(sys.version_info < (3, 13), reason="the _interpreters module is CPython 3.13's")
    def test_second_interpreter_is_refused(self):
        code = """
        import _interpreters, rsvelmopy
        for config in ("isolated", "legacy"):
            interp = _interpreters.create(config)
            err = _interpreters.run_string(interp, "import rsvelmopy")
            print(config, type(err).__name__, getattr(err, "type", None) and err.type.__name__)
            _interpreters.destroy(interp)
        """
        out = run_python(code)
        assert out.count("ImportError") == 2, out
