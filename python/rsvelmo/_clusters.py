"""Redundancy of overlapping gene sets: significant gene sets whose leading
edges share most of their genes tell the same biology, and are grouped.

Method: two significant gene sets are linked when the overlap coefficient of
their leading edges, |A and B| / min(|A|, |B|), is at least ``min_overlap``
(0.5 by default); a cluster is a connected group of linked sets (single
linkage), and its representative is its set with the smallest padj (then the
larger |NES|, then the name). Sets that are not significant get no cluster.
"""

from __future__ import annotations

from typing import Any, Sequence

from ._options import DEFAULT
from ._results import known, require, sort_records

__all__ = ["cluster_gene_sets", "cluster_records", "annotate_clusters", "representatives", "overlap_coefficient"]


def annotate_clusters(
    records: list[dict[str, Any]], padj_cut: float = DEFAULT.padj, min_overlap: float = DEFAULT.min_overlap
) -> None:
    """Add "cluster" (1, 2, ... in order of the clusters' best sets) and
    "representative" to the significant records, in place; the others get
    neither key."""
    chosen = [r for r in records if known(r.get("padj")) and r["padj"] < padj_cut and known(r.get("nes"))]
    if not chosen:
        return
    _, clusters = cluster_records(chosen, min_overlap)
    by_name = {r["pathway"]: r for r in chosen}
    for number, members in enumerate(clusters, start=1):
        for name in members:
            by_name[name]["cluster"] = number
            by_name[name]["representative"] = members[0]


def representatives(records: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """One gene set per cluster, its representative; sets in no cluster stay."""
    return [r for r in records if r.get("representative") in (None, r["pathway"])]


def overlap_coefficient(a: Sequence[str], b: Sequence[str]) -> float:
    """|A and B| / min(|A|, |B|); 0 when either is empty."""
    a, b = set(a), set(b)
    return len(a & b) / min(len(a), len(b)) if a and b else 0.0


def cluster_records(records: Sequence[dict[str, Any]], min_overlap: float = DEFAULT.min_overlap):
    """The graph of linked gene sets (networkx) and the clusters, each a list
    of pathway names best first, clusters ordered by their best set."""
    nx = require("networkx", "report", "clustering gene sets")
    if not 0.0 < min_overlap <= 1.0:
        raise ValueError(f"min_overlap must lie in (0, 1], not {min_overlap!r}")
    ordered = sort_records(list(records))
    graph = nx.Graph()
    for r in ordered:
        graph.add_node(r["pathway"], size=r["size"], nes=r.get("nes"), record=r)
    edges = [set(r["leading_edge"]) for r in ordered]
    for i in range(len(ordered)):
        for j in range(i + 1, len(ordered)):
            overlap = overlap_coefficient(edges[i], edges[j])
            if overlap >= min_overlap:
                graph.add_edge(ordered[i]["pathway"], ordered[j]["pathway"], overlap=overlap)
    rank = {r["pathway"]: i for i, r in enumerate(ordered)}
    clusters = [sorted(c, key=rank.__getitem__) for c in nx.connected_components(graph)]
    clusters.sort(key=lambda c: rank[c[0]])
    return graph, clusters


def cluster_gene_sets(table, min_overlap: float = DEFAULT.min_overlap, padj_cut: float = DEFAULT.padj):
    """Group the significant gene sets whose leading edges overlap.

    Parameters
    ----------
    table : pandas.DataFrame
        A table of :func:`rsvelmo.gsea` (or :func:`rsvelmo.gsea_many`: each
        ranking is clustered on its own).
    min_overlap : float
        Smallest overlap coefficient of two leading edges that links two sets.
    padj_cut : float
        Only sets with padj below it are clustered.

    Returns
    -------
    pandas.DataFrame
        A copy of `table` with the columns ``cluster`` (1, 2, ... in order of
        the clusters' best sets; <NA> for sets not clustered) and
        ``representative`` (the cluster's set with the smallest padj).
    """
    pd = require("pandas", "pandas", "clustering gene sets")
    out = table.copy()
    out["cluster"] = pd.array([pd.NA] * len(out), dtype="Int64")
    out["representative"] = pd.array([None] * len(out), dtype="object")
    groups = out.groupby("ranking", sort=False).groups if "ranking" in out.columns else {None: out.index}
    for _, index in groups.items():
        records = table.loc[index].to_dict("records")
        annotate_clusters(records, padj_cut, min_overlap)
        for position, record in zip(index, records):
            if "cluster" in record:
                out.at[position, "cluster"] = record["cluster"]
                out.at[position, "representative"] = record["representative"]
    return out
