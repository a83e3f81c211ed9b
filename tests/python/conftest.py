import math
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def read_rnk(path):
    ranks = {}
    with open(path) as f:
        for line in f:
            gene, score = line.rstrip("\n").split("\t")
            ranks[gene] = float(score)
    return ranks


@pytest.fixture(scope="session")
def example_ranks():
    return read_rnk(EXAMPLES / "panc1_foxa2ko_vs_wt_t.rnk")


@pytest.fixture(scope="session")
def example_gmt():
    return str(EXAMPLES / "go_bp_2022_15_500.gmt")


@pytest.fixture
def write_gmt(tmp_path):
    def write(text, name="sets.gmt"):
        path = tmp_path / name
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return write


def run_python(code, env=None):
    """Runs code in a fresh interpreter (the worker pool is fixed per process)
    and returns its stdout."""
    import os

    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env["PYTHONPATH"] = str(pathlib.Path(__file__).parent)  # for "from conftest import ..."
    full_env.update(env or {})
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=full_env, timeout=600
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a.hex() == b.hex() or (math.isnan(a) and math.isnan(b))
    return a == b
