"""The results table every analysis answers with: its columns, its order,
reading it back from a file, and optional libraries.

The figures, the report, clustering, :func:`read_results` and ``rsvelmo
plot``/``report`` rely on the columns of ``CONTRACT`` alone (one row per gene
set), so that an analysis whose table has them gets all of them; ``OPTIONAL``
columns are shown where a table has them. The package's README says what
else they need from the run (the ranking, the gene sets, the cut).
"""

from __future__ import annotations

import math
import sys
from typing import Any, Mapping

__all__ = [
    "FLIP_RISK_FLOOR",
    "floor_flip_risk",
    "known",
    "CONTRACT",
    "OPTIONAL",
    "SCORE",
    "COLUMNS",
    "FLOATS",
    "require",
    "is_pandas",
    "sort_records",
    "results_frame",
    "read_results",
]

# Column -> what it holds, for every figure, the report and clustering.
CONTRACT = {
    "pathway": "the gene set's name (for GO, the term's ID)",
    "size": "the set's genes that were tested (those in the ranking)",
    "nes": "the signed score: > 0 up, < 0 down; it orders, colours and splits the figures",
    "pval": "the p-value (NaN where none was computed); rows are sorted by it",
    "padj": "the Benjamini-Hochberg adjusted p-value; the significance cut applies to it",
    "leading_edge": "the genes that drive the result, a list (comma-separated in a file)",
}
SCORE = "nes"  # the contract's score column: NES, the normalized enrichment score
# Shown where a table has them (NaN, None or computed where it has not).
OPTIONAL = {
    "description": "what the set is, or None; figures show it in place of the name (never a URL)",
    "es": "the enrichment score",
    "log2err": "the standard error of log2(pval)",
    "flip_risk": "the chance that more sampling moves the set across the significance cut",
    "leading_edge_size": "the number of leading-edge genes",
    "ranking": "the ranking a row answers, in a table of several",
    "cluster": "the row's cluster of overlapping leading edges (1, 2, ...), significant rows only",
    "representative": "the cluster's best gene set",
}
# The preranked analysis's table, in its order.
COLUMNS = [
    "pathway",
    "description",
    "size",
    "es",
    "nes",
    "pval",
    "padj",
    "log2err",
    "flip_risk",
    "leading_edge",
    "leading_edge_size",
]
FLOATS = ("es", "nes", "pval", "padj", "log2err", "flip_risk")


def known(value: Any) -> bool:
    """A value the analysis computed: neither None nor NaN."""
    return value is not None and value == value


def require(module: str, extra: str, purpose: str):
    """Import an optional dependency, or say which extra brings it."""
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{purpose} needs {module}; install it with: pip install 'rsvelmopy[{extra}]'") from e


def is_pandas(obj: Any, kind: str) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, getattr(pd, kind))


def _abs_nes(value: Any) -> float:
    return -math.inf if value is None or value != value else abs(value)


def sort_records(records: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Order records by p-value (NaN last), then by |NES| descending, then
    by pathway name."""

    def key(r):
        p = r["pval"]
        return (p != p, p if p == p else 0.0, -_abs_nes(r.get("nes")), r["pathway"])

    return sorted(records, key=key)


# Risks below this are noise of the normal model's far tail (1.88e-301 says
# nothing 1e-7 does not): shown as 0.
FLIP_RISK_FLOOR = 1e-6


def floor_flip_risk(records: list[dict[str, Any]]) -> None:
    """The engine's ``flip_risk`` of each record, 0 below ``FLIP_RISK_FLOOR``, in place."""
    for r in records:
        if r.get("flip_risk") is not None and r["flip_risk"] < FLIP_RISK_FLOOR:
            r["flip_risk"] = 0.0


def _row(record: Mapping[str, Any], descriptions: Mapping[str, str | None]) -> dict[str, Any]:
    row = {name: record.get(name) for name in COLUMNS[:-1]}
    row["description"] = descriptions.get(record["pathway"])
    row["leading_edge_size"] = len(record["leading_edge"])
    return row


def results_frame(records: list[dict[str, Any]], sort: bool = True, descriptions: Mapping | None = None):
    """Build the result DataFrame from the engine's records."""
    pd = require("pandas", "pandas", "a results table")
    descriptions = descriptions or {r["pathway"]: r.get("description") for r in records}
    rows = [_row(r, descriptions) for r in (sort_records(records) if sort else records)]
    frame = pd.DataFrame(rows, columns=COLUMNS)
    # None (not computed) becomes NaN so the numeric columns stay float.
    for name in FLOATS:
        frame[name] = frame[name].astype("float64")
    frame["size"] = frame["size"].astype("int64")
    frame["leading_edge_size"] = frame["leading_edge_size"].astype("int64")
    return frame


def read_results(path):
    """Read a results table that ``rsvelmo run`` wrote (``results.tsv`` or a
    ``NAME.results.tsv``) back into the table :func:`rsvelmo.gsea` returns.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    pandas.DataFrame
        The columns of :func:`rsvelmo.gsea` (with ``ranking``, ``cluster``
        and ``representative`` when the file has them); ``leading_edge``
        holds lists of genes again and ``NA`` is NaN, so every figure and the
        report can be drawn without rerunning the analysis.
    """
    pd = require("pandas", "pandas", "reading a results table")
    table = pd.read_csv(path, sep="\t", keep_default_na=False, na_values=["NA"], dtype={"pathway": str})
    missing = [c for c in CONTRACT if c not in table.columns]
    if missing:
        raise ValueError(f"{path}: not a results table of rsvelmo (no column {', '.join(map(repr, missing))})")
    table["leading_edge"] = [text.split(",") if text else [] for text in table["leading_edge"].astype(str)]
    # Columns a table of an earlier version (flip_risk) or of another analysis lacks, in their places.
    for i, name in enumerate(COLUMNS):
        if name not in table.columns:
            after = [c for c in COLUMNS[:i] if c in table.columns]
            at = list(table.columns).index(after[-1]) + 1 if after else 0
            value = table["leading_edge"].map(len) if name == "leading_edge_size" else math.nan
            table.insert(at, name, None if name == "description" else value)
    table["description"] = table["description"].replace("", None)
    for name in FLOATS:
        table[name] = table[name].astype("float64")
    return table
