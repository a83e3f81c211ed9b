"""The rsvelmopy boundary: signature, argument checks, exceptions and result dicts."""

import inspect
import math
import os
import pathlib
import sys
import types

import numpy as np
import pytest
import rsvelmopy
from conftest import run_python

RANKS = {f"g{i}": float(50 - 2 * i) + 0.5 for i in range(50)}
GMT = "P1\tdesc\t" + "\t".join(f"g{i}" for i in range(8)) + "\nP2\t\tg3\tg30\tg40\tg41\nEMPTY\t\tnope\n"


@pytest.fixture
def gmt(write_gmt):
    return write_gmt(GMT)


def test_signature_and_result_records(gmt):
    sig = inspect.signature(rsvelmopy.run_gsea_py)
    assert str(sig) == (
        "(ranks, gmt_path, nPermSimple=1000, seed=42, nproc=0, minSize=1, maxSize=None, eps=1e-50, "
        "scoreType='std', gseaParam=1.0, mode='velmo', nperm=None, sampleSize=101, gpu=False)"
    )
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    rows = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=200)
    assert [r["pathway"] for r in rows] == ["P1", "P2"]
    for r in rows:
        assert set(r) == {"pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge"}
        assert isinstance(r["size"], int) and isinstance(r["es"], float) and isinstance(r["pval"], float)
    assert rows[0]["size"] == 8 and rows[0]["leading_edge"] == [f"g{i}" for i in range(8)]
    for r in rsvelmopy.run_gsea_py(RANKS, gmt, nperm=0):  # nothing estimated: None, and a NaN p-value
        assert r["nes"] is None and r["padj"] is None and r["log2err"] is None and math.isnan(r["pval"])


def test_positional_keyword_defaults_and_modes_agree(gmt):
    positional = rsvelmopy.run_gsea_py(RANKS, gmt, 1000, 42, 0, 1, None, 1e-50, "std", 1.0, "simple", None, 101, False)
    assert positional == rsvelmopy.run_gsea_py(ranks=RANKS, gmt_path=gmt, mode="simple", maxSize=None, nperm=None)
    simple = str(rsvelmopy.run_gsea_py(RANKS, gmt, mode="simple", nPermSimple=300))
    assert simple == str(rsvelmopy.run_gsea_py(RANKS, gmt, mode="simple", nperm=300, nPermSimple=7))
    assert simple == str(rsvelmopy.run_gsea_py(RANKS, gmt, nperm=300))  # nperm alone means plain permutations
    assert simple == str(rsvelmopy.run_gsea_py(RANKS, gmt, nperm=300, eps=0.5, sampleSize=3))
    multilevel = str(rsvelmopy.run_gsea_py(RANKS, gmt, mode="multilevel", nPermSimple=300, nperm=5))
    assert multilevel == str(rsvelmopy.run_gsea_py(RANKS, gmt, nPermSimple=300))
    assert str(rsvelmopy.run_gsea_py(RANKS, gmt, nperm=True, seed=np.uint64(2**64 - 1))) == str(
        rsvelmopy.run_gsea_py(RANKS, gmt, nperm=1, seed=2**64 - 1)
    )


class Score:
    def __float__(self):
        return 2.5


def test_accepted_argument_forms(gmt):
    rows = rsvelmopy.run_gsea_py(
        type("Ranks", (dict,), {})({"g0": 3, "g1": Score(), "g3": True, "zz": 0.1}), gmt, nperm=0
    )
    assert rows[0]["size"] == 3
    assert str(rsvelmopy.run_gsea_py(RANKS, gmt, gpu=np.bool_(False), nperm=50)) == str(
        rsvelmopy.run_gsea_py(RANKS, gmt, gpu=False, nperm=50)
    )
    assert str(rsvelmopy.run_gsea_py(RANKS, gmt, scoreType="POS", mode="Multilevel", nPermSimple=50)) == str(
        rsvelmopy.run_gsea_py(RANKS, gmt, scoreType="pos", mode="multilevel", nPermSimple=50)
    )
    assert len(rsvelmopy.run_gsea_py({f"g{i}": 0.0 for i in range(50)}, gmt, nperm=100)) == 2  # all zero is valid
    assert rsvelmopy.run_gsea_py({}, gmt) == []


A, E = "run_gsea_py() argument ", "Expected one of: "
W, WEIGHT = "the ranking scores cannot be weighted with gseaParam=", "the weight |score|^gseaParam of gene "
FINITE = "every score must be a finite number"
INTEGERS = ["nPermSimple", "seed", "nproc", "minSize", "maxSize", "nperm", "sampleSize"]
# Each call as a user writes it (of run_gsea_py unless it names run_gsea), with R a ranking, G a
# GMT file and S gene sets in memory, and the exception it must raise. run_gsea_py checks, after
# converting its arguments, sampleSize, then the file, then scoreType and mode, then gpu.
BAD_CALLS = [
    ("R", TypeError, "run_gsea_py() missing required argument 'gmt_path' (pos 2)"),
    ("gmt_path=G", TypeError, "run_gsea_py() missing required argument 'ranks' (pos 1)"),
    ("R, G, *range(13)", TypeError, "run_gsea_py() takes at most 14 positional arguments (15 given)"),
    ("R, G, nPerm=3", TypeError, "run_gsea_py() got an unexpected keyword argument 'nPerm'"),
    ("R, G, ranks=R", TypeError, "argument for run_gsea_py() given by name ('ranks') and position (1)"),
    ("[('a', 1.0)], G", TypeError, A + "'ranks' must be dict, not list"),
    ("types.MappingProxyType(R), G", TypeError, A + "'ranks' must be dict, not mappingproxy"),
    ("{1: 1.0}, G", TypeError, A + "'ranks' keys must be str, not int"),
    ("{'a': 'x'}, G", TypeError, A + "'ranks' values must be real numbers, not str (gene 'a')"),
    ("R, pathlib.Path(G)", TypeError, A + "'gmt_path' must be str, not PosixPath"),
    *[(f"R, G, {n}=1.5", TypeError, A + f"'{n}' must be int, not float") for n in INTEGERS],
    *[(f"R, G, {n}=-1", OverflowError, "can't convert negative int to unsigned") for n in INTEGERS],
    *[(f"R, G, {n}=2**64", OverflowError, "int too big to convert") for n in INTEGERS],
    *[(f"R, G, {n}='1'", TypeError, A + f"'{n}' must be a real number, not str") for n in ("eps", "gseaParam")],
    *[(f"R, G, {n}=b'std'", TypeError, A + f"'{n}' must be str, not bytes") for n in ("scoreType", "mode")],
    ("R, G, gpu=0", TypeError, A + "'gpu' must be bool, not int"),
    ("R, G, seed='x', nproc=-1, gpu=1", TypeError, A + "'seed' must be int, not str"),
    ("{'a': math.nan}, '/none', sampleSize=0, scoreType='x'", ValueError, "sampleSize must be greater than 0."),
    ("R, '/no/such.gmt', scoreType='x', gpu=True", FileNotFoundError, "No such file or directory (os error 2)"),
    ("R, 'a\\0b'", OSError, "file name contained an unexpected NUL byte"),
    ("R, MALFORMED", OSError, "Malformed GMT line 1: expected at least 3 tab-separated columns."),
    ("R, LATIN1", OSError, "stream did not contain valid UTF-8"),
    ("R, G, scoreType='Std ', mode='x', gpu=True", ValueError, "Invalid scoreType 'std '. " + E + "std, pos, neg."),
    ("R, G, mode='Simple '", ValueError, "Invalid mode 'simple '. " + E + "velmo, multilevel, simple."),
    ("R, G, gpu=np.bool_(True)", RuntimeError, "gpu=True requires building rsvelmopy with the 'gpu' feature."),
    ("{'a': 1.0, 'bad': math.nan}, G", ValueError, "ranking score of gene 'bad' is nan; " + FINITE),
    ("{'a': 1.0, 'bad': -math.inf}, G", ValueError, "ranking score of gene 'bad' is -inf; " + FINITE),
    ("{'a': 10.0, 'b': 1.0}, G, gseaParam=400", ValueError, W + "400: " + WEIGHT + "'a' (score 10) is not finite"),
    ("{'a': 0.0, 'b': 1.0}, G, gseaParam=-1", ValueError, W + "-1: " + WEIGHT + "'a' (score 0) is not finite"),
    ("{'a': 1.0}, G, gseaParam=math.nan", ValueError, W + "nan: gseaParam is NaN"),
    ("{'a': 5e-324}, G", ValueError,
     W + "1: the sum of the weights (4.9406564584124654e-324) is too small to be scaled"),
    ("run_gsea: R, S, nperm=0", ValueError, "nperm must be at least 1 (or None)"),
    ("run_gsea: R, S, seed=-1", ValueError, "seed must not be negative"),
    ("run_gsea: R, S, min_size=5, max_size=4", ValueError, "min_size (5) must not exceed max_size (4)"),
    ("run_gsea: R, S, eps=math.nan", ValueError, "eps must lie in [0, 1], not nan"),
    ("run_gsea: R, S, sample_size=2", ValueError, "sample_size must be at least 3"),
    ("run_gsea: R, S, stable_calls=0", ValueError, "stable_calls must be a padj cut in (0, 1] or None, not 0"),
    ("run_gsea: R, S, nperm=10, stable_calls=0.05", ValueError, "stable_calls settles calls with the multilevel "
     "estimator: use mode 'multilevel', or 'velmo' without nperm"),
    ("run_gsea: R, S, mode='fast'", ValueError, "mode must be one of 'velmo', 'multilevel', 'simple', not 'fast'"),
    ("run_gsea: R, S, nperm=1.5", TypeError, "run_gsea() argument 'nperm' must be int, not float"),
    ("run_gsea: R, S, progress=3", TypeError, "run_gsea() argument 'progress' must be callable or None, not int"),
    ("run_gsea: R, G, 'simple'", TypeError, "run_gsea() takes at most 2 positional arguments (3 given)"),
    ("run_gsea: (['A', 'B'], [1.0]), G", ValueError, "ranks: 2 genes but 1 scores"),
    ("run_gsea: (['A'] * 2, [1, 2]), G", ValueError, "ranks: gene 'A' occurs more than once; give each gene one score"),
    ("run_gsea: R, S, nperm_simple=0", ValueError, "nperm_simple must be at least 1"),
    ("run_gsea: R, S, min_size=0", ValueError, "min_size must be at least 1"),
    ("run_gsea: R, S, max_size=0", ValueError, "max_size must be at least 1 (or None)"),
    ("run_gsea: R, S, sample_size=2**20 + 1", ValueError, "sample_size must be at most 1048576"),
    ("run_gsea: R, S, sample_size=2**31", ValueError, "sample_size must be at most 1048576"),
    ("run_gsea: R, S, gsea_param=math.inf", ValueError, "gsea_param must be a finite number >= 0, not inf"),
    ("run_gsea: R, S, eps=-0.5", ValueError, "eps must lie in [0, 1], not -0.5"),
    ("run_gsea: R, S, flip_risk_cut=1.5", ValueError, "flip_risk_cut must be a padj cut in (0, 1] or None, not 1.5"),
    ("run_gsea: R, S, flip_risk_cut='1'", TypeError,
     "run_gsea() argument 'flip_risk_cut' must be a real number, not str"),
]  # fmt: skip


def call_names(folder, ranks):
    """What the calls above refer to."""
    files = {"G": GMT, "MALFORMED": "A\tB\n", "LATIN1": "P\td\t\xff\n"}
    for name, text in files.items():
        (folder / f"{name}.gmt").write_bytes(text.encode("latin-1"))
    names = {name: str(folder / f"{name}.gmt") for name in files}
    return names | {
        "R": ranks,
        "S": {"S": list(ranks)[:20]},
        "np": np,
        "math": math,
        "pathlib": pathlib,
        "types": types,
    }


def run_call(call, names):
    entry, args = ("run_gsea", call[10:]) if call.startswith("run_gsea: ") else ("run_gsea_py", call)
    return eval(f"rsvelmopy.{entry}({args})", {"rsvelmopy": rsvelmopy, **names})


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_calls(tmp_path, call, error, message):
    with pytest.raises(error) as e:
        run_call(call, call_names(tmp_path, RANKS))
    assert e.type is error and e.value.args == (message,)


# Counts the worker threads of a fresh process after these calls.
POOL_PROBE = """
import os, rsvelmopy, tempfile
gmt = os.path.join(tempfile.mkdtemp(), "p.gmt")
open(gmt, "w").write("P\\t\\ta\\tb\\n")
R = {{"a": 3.0, "b": -2.0}}
for call in {calls!r}:
    try:
        eval("rsvelmopy." + call)
    except OSError:
        pass
print(len(os.listdir("/proc/self/task")) - 1, end="")
"""
HARDWARE = len(os.sched_getaffinity(0))
BOUND = max(64, 8 * HARDWARE)


@pytest.mark.parametrize(
    "calls, env, threads",
    [
        (["run_gsea_py(R, gmt, nproc=2, nperm=0)", "run_gsea_py(R, gmt, nproc=8, nperm=0)"], {}, 2),
        (["run_gsea_py(R, '/none', nproc=3)", "run_gsea_py(R, gmt, nproc=8, nperm=0)"], {}, 3),  # a failed call too
        (["run_gsea_py(R, gmt, nperm=0)", "run_gsea_py(R, gmt, nproc=4)"], {"RAYON_NUM_THREADS": "3"}, 3),
        (["run_gsea_py(R, gmt, nperm=0)"], {"RAYON_NUM_THREADS": "bad", "RAYON_RS_NUM_CPUS": "5"}, 5),
        (["run_gsea_py(R, gmt, nperm=0)"], {"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "0"}, HARDWARE),
        (["run_gsea_py(R, gmt, nperm=0)"], {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, HARDWARE),
        (["run_gsea_py(R, gmt, nproc=10**6, nperm=10)"], {}, BOUND),  # a huge request is bounded
        (["run_gsea(R, gmt, threads=10**6, nperm=10)"], {}, BOUND),
        (["run_gsea_py(R, gmt, nproc=4)"], {"RAYON_NUM_THREADS": "3"}, 4),  # nproc wins over the default
        (["run_gsea_py(R, gmt, nperm=0)"], {"RAYON_NUM_THREADS": "1000000"}, BOUND),
    ],
)
def test_the_first_call_fixes_the_pool_size(calls, env, threads):
    assert run_python(POOL_PROBE.format(calls=calls), env) == str(threads)


def test_reinitialisation_returns_the_same_module():
    import importlib

    del sys.modules["rsvelmopy"]
    try:
        assert importlib.import_module("rsvelmopy") is rsvelmopy
    finally:
        sys.modules["rsvelmopy"] = rsvelmopy


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the _interpreters module is CPython 3.13's")
def test_second_interpreter_is_refused():
    code = """
    import _interpreters, rsvelmopy
    for config in ("isolated", "legacy"):
        interp = _interpreters.create(config)
        err = _interpreters.run_string(interp, "import rsvelmopy")
        print(config, type(err).__name__, getattr(err, "type", None) and err.type.__name__)
        _interpreters.destroy(interp)
    """
    assert run_python(code).count("ImportError") == 2


class TestParameterTable:
    """rsvelmopy.PARAMETERS, the one declaration of every setting, against what the entries do."""

    STUB = pathlib.Path(__file__).parents[2] / "pymodule" / "rsvelmopy.pyi"

    def stub_parameters(self, function):
        import ast

        tree = ast.parse(self.STUB.read_text())
        (node,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == function]
        args = node.args.args[2:] + node.args.kwonlyargs  # after the two inputs
        defaults = node.args.defaults[-len(node.args.args[2:]) :] if node.args.args[2:] else []
        defaults += node.args.kw_defaults
        return {a.arg: (ast.unparse(a.annotation), ast.literal_eval(d)) for a, d in zip(args, defaults, strict=True)}

    def test_is_read_only(self):
        with pytest.raises(TypeError):
            rsvelmopy.PARAMETERS["seed"] = {}
        with pytest.raises(TypeError):
            rsvelmopy.PARAMETERS["seed"]["default"] = 7

    @pytest.mark.parametrize("function", ["run_gsea", "run_gsea_py"])
    def test_stub_and_signatures_follow_the_table(self, function):
        table = rsvelmopy.PARAMETERS
        key = "reference" if function == "run_gsea_py" else "name"
        rows = {(name if key == "name" else row["reference"]): row for name, row in table.items()}
        rows = {k: v for k, v in rows.items() if k and (key == "reference" or v["run_gsea"])}
        stub = self.stub_parameters(function)
        assert {k: (v["type"], v["default"]) for k, v in rows.items()} == stub
        signature = inspect.signature(getattr(rsvelmopy, function))
        assert list(signature.parameters)[2:] == list(stub)  # the stub keeps the entry's order
        assert {n: p.default for n, p in list(signature.parameters.items())[2:]} == {k: v[1] for k, v in stub.items()}

    def test_doc_string_holds_each_row(self):
        for name, row in rsvelmopy.PARAMETERS.items():
            assert (row["doc"] in rsvelmopy.run_gsea.__doc__) == row["run_gsea"], name
        assert "within 2.576 standard errors" in rsvelmopy.PARAMETERS["stable_calls"]["doc"]

    # Every bound of the table refused just outside and taken at the bound itself.
    @pytest.mark.parametrize(
        "name", [n for n, r in rsvelmopy.PARAMETERS.items() if r["run_gsea"] and r["type"] not in ("str", "bool")]
    )
    def test_each_bound_is_checked_where_the_table_says(self, name):
        row = rsvelmopy.PARAMETERS[name]
        integral = row["type"].startswith("int")
        ranks, sets = {f"g{i}": float(i) for i in range(30)}, {"S": [f"g{i}" for i in range(10)]}
        fast = {"nperm": 5} if name not in ("stable_calls", "sample_size") else {"nperm_simple": 5}
        outside, inside = [], []
        if row["lower"] is not None:
            step = 1 if integral else 1e-9
            inside.append(row["lower"] + (0 if row["lower_inclusive"] else step))
            outside.append(row["lower"] - (step if row["lower_inclusive"] else 0))
        if row["upper"] is not None:
            inside.append(row["upper"])
            outside.append(row["upper"] + (1 if integral else 1e-9))
        for value in outside:
            if integral and value < 0:
                continue  # a negative count is refused by the conversion
            with pytest.raises(ValueError, match=f"^{name} must "):
                rsvelmopy.run_gsea(ranks, sets, **(fast | {name: value}))
        for value in inside:
            if name == "sample_size" and value > 1000:
                continue  # taken, but the estimators would take long
            if name == "max_size" or name == "nperm" and "nperm" not in fast:
                continue
            rsvelmopy.run_gsea(ranks, sets, **(fast | {name: value}), diagnostics=False)
