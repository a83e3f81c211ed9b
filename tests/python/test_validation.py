"""rsvelmo validate: its exact tails against brute force, and its quick run from the command line."""

import itertools
import json
import random
from fractions import Fraction

import pytest
from rsvelmo import cli
from rsvelmo.analyses.validation import _es_plus, exact_tail


@pytest.mark.parametrize("seed", range(4))
def test_exact_tails_count_what_enumerating_every_set_counts(seed):
    rng = random.Random(seed)
    n, k = 11, rng.randint(1, 5)
    weights = sorted((rng.randint(1, 4) for _ in range(n)), reverse=True)
    scores = [_es_plus(weights, list(s)) for s in itertools.combinations(range(n), k)]
    for threshold in sorted(set(scores))[::2] + [Fraction(2)]:
        brute = sum(e >= threshold for e in scores) / len(scores)
        assert exact_tail(weights, k, threshold) == pytest.approx(brute, rel=1e-12, abs=1e-15)


def test_quick_validation_passes_and_writes_its_measurements(tmp_path, capsys):
    out = tmp_path / "validation.json"
    assert cli.main(["validate", "--quick", "--json", str(out)]) == 0
    report = json.loads(out.read_text())
    assert report["passed"] and set(report["checks"]) == {"tails", "calls", "threads"}
    exact = [r["exact"] for r in report["tails"]["rows"]]
    assert exact == sorted(exact, reverse=True) and exact[0] > 1e-3 and exact[-1] < 1e-19
    assert "(c) the same bits with 1, 2, 3 threads: ok" in capsys.readouterr().out
