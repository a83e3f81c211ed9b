"""Writes the tables of tests/data/tables/ that pandas writes: scanpy's
``rank_genes_groups_df`` of all groups as ``DataFrame.to_csv`` saves it (the
default index included), and a ranking whose symbols went through a
spreadsheet. Run by hand: .venv/bin/python scripts/make_pandas_fixtures.py
"""

import numpy as np
import pandas as pd

OUT = "tests/data/tables"
rng = np.random.default_rng(20261207)
genes = [f"GENE{i:03d}" for i in range(120)]
parts = []
for group in ["B cells", "T cells", "NK"]:
    scores = np.sort(rng.normal(0, 4, len(genes)))[::-1]
    order = rng.permutation(len(genes))
    parts.append(
        pd.DataFrame(
            {
                "group": group,
                "names": [genes[i] for i in order],
                "scores": scores.astype("float32"),  # scanpy keeps its scores in single precision
                "logfoldchanges": rng.normal(0, 1, len(genes)),
                "pvals": rng.uniform(0, 1, len(genes)),
                "pvals_adj": rng.uniform(0, 1, len(genes)),
            }
        )
    )
long = pd.concat(parts, ignore_index=True)
long.to_csv(f"{OUT}/scanpy_rank_genes_groups_df.csv")
long[["group", "names", "scores"]].to_csv(f"{OUT}/scanpy_truth.tsv", sep="\t", index=False)

# Symbols that a spreadsheet turned into dates on the way: SEPTIN2 (formerly SEPT2), MARCHF1 (MARCH1), DELEC1 (DEC1).
excel = pd.DataFrame({"gene": genes, "stat": rng.normal(0, 2, len(genes))})
excel.loc[[5, 17, 40], "gene"] = ["2-Sep", "1-Mar", "1-Dec"]
excel.to_csv(f"{OUT}/excel_dates.csv", index=False)
