"""The whole analysis in every mode, for a sanitizer build of the module.

python tests/smoke/whole_analysis.py NPROC
"""

import math
import pathlib
import sys

import rsvelmopy

ROOT = pathlib.Path(__file__).resolve().parents[2]
nproc = int(sys.argv[1])
lines = (ROOT / "examples" / "panc1_foxa2ko_vs_wt_t.rnk").read_text().splitlines()
ranks = {gene: float(score) for gene, score in (line.split("\t") for line in lines)}
gmt = ROOT / "build" / "smoke-sets.gmt"
gmt.write_text("".join((ROOT / "examples" / "go_bp_2022_15_500.gmt").read_text().splitlines(keepends=True)[:150]))

for kwargs in ({"mode": "simple", "nperm": 300}, {}, {"mode": "multilevel", "scoreType": "pos", "eps": 1e-20}):
    rows = rsvelmopy.run_gsea_py(ranks, str(gmt), nproc=nproc, **kwargs)
    assert len(rows) == 150, len(rows)
    assert all(math.isnan(r["pval"]) or 0 < r["pval"] <= 1 for r in rows)
    print(f"nproc={nproc} {kwargs or 'default'}: {len(rows)} pathways, smallest p {min(r['pval'] for r in rows):.3g}")
