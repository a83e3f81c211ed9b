"""The HTML report: one self-contained file (inline CSS, JavaScript and SVG
figures, nothing fetched from the network) with the run's summary, a
sortable, filterable and paginated table of results, a running-sum plot and
the leading-edge genes of any gene set on a click, and the summary figures.
Rendered with Jinja2 (extra ``report``)."""

from __future__ import annotations

import io
import math
import os
import re
from typing import Any, Mapping

from .. import plot
from .._clusters import annotate_clusters, representatives
from .._options import DEFAULT
from .._outputs import atomic_output
from .._results import require, sort_records
from ..plot._base import pyplot, records_of
from ..readers.gene_sets import GeneSets
from ..readers.rankings import as_ranking

__all__ = ["report"]


def _svg(figure) -> str:
    buffer = io.StringIO()
    figure.savefig(buffer, format="svg", bbox_inches="tight", metadata={"Date": None})
    pyplot().close(figure)
    text = buffer.getvalue()
    return text[text.index("<svg") :]  # drop the XML prologue and doctype: the SVG sits inside HTML


def _number(value: Any) -> float | None:
    return None if value is None or (isinstance(value, float) and math.isnan(value)) else float(value)


def _encode_positions(positions: list[int]) -> str:
    """Ascending positions as base-36 gaps: compact for 16,000 gene sets."""
    out, previous = [], -1
    for p in positions:
        out.append(_base36(p - previous))
        previous = p
    return ",".join(out)


def _base36(value: int) -> str:
    digits = "0123456789abcdefghijklmnopqrstuvwxyz"
    text = ""
    while True:
        value, rest = divmod(value, 36)
        text = digits[rest] + text
        if value == 0:
            return text


def _source_link(record: Mapping[str, Any]) -> str | None:
    """Where a gene set comes from: MSigDB's (or any) URL in its description,
    or the page of its Gene Ontology term."""
    description = record.get("description") or ""
    if isinstance(description, str) and re.match(r"^https?://", description):
        return description
    match = re.match(r"^(GO:\d{7})$", str(record["pathway"]))
    return f"https://amigo.geneontology.org/amigo/term/{match.group(1)}" if match else None


def _with_clusters(records: list[dict[str, Any]], padj_cut: float) -> list[dict[str, Any]]:
    if any("cluster" in r for r in records):
        return records
    records = [dict(r) for r in records]
    annotate_clusters(records, padj_cut)
    return records


def _extra_columns(records: list[dict[str, Any]]) -> list[tuple[str, str, Any]]:
    """The table's columns after padj (key, title, format): the estimator's
    log2err, or for a phenotype-permutation table its fdr and fwer."""
    if records and "fdr" in records[0] and "log2err" not in records[0]:
        return [("fdr", "fdr", "p"), ("fwer", "fwer", "p")]
    return [("log2err", "log2err", 2)]


def _set_row(
    r: Mapping[str, Any], position: Mapping[str, int], gene_sets: GeneSets, extra: list[tuple[str, str, Any]]
) -> dict[str, Any]:
    """One gene set as the page's script takes it: short keys, its genes as positions in the ranking."""
    hits = sorted({position[g] for g in gene_sets.sets.get(r["pathway"], []) if g in position})
    label = plot.label_of(r) if plot.label_of(r) != r["pathway"] else ""
    return {
        "p": r["pathway"],
        "d": label,
        "u": _source_link(r),
        "size": int(r["size"]),
        "es": _number(r.get("es")),
        "nes": _number(r["nes"]),
        "pval": _number(r["pval"]),
        "padj": _number(r["padj"]),
        **{key: _number(r.get(key)) for key, _, _ in extra},
        "le": int(r["leading_edge_size"]),
        "cluster": None if _number(r.get("cluster")) is None else int(r["cluster"]),
        # What the downloaded table needs to match results.tsv, column for column.
        "fr": _number(r.get("flip_risk")),
        "rep": r.get("representative") or None,
        "dt": (r.get("description") or "") if (r.get("description") or "") != label else None,
        "h": _encode_positions(hits),
    }


def _ranking_block(
    name: str,
    records: list[dict[str, Any]],
    ranks: Mapping[str, float],
    gene_sets: GeneSets,
    padj_cut: float,
    top: int,
    collapse: bool,
) -> dict[str, Any]:
    order = sorted(ranks.items(), key=lambda kv: -kv[1])  # the engine's order: ties keep input order
    position = {g: i for i, (g, _) in enumerate(order)}
    records = sort_records(_with_clusters(records, padj_cut))
    for r in records:
        r.setdefault("leading_edge_size", len(r["leading_edge"]))
    extra = _extra_columns(records)
    sets = [_set_row(r, position, gene_sets, extra) for r in records]
    significant = [r for r in records if _number(r["padj"]) is not None and r["padj"] < padj_cut]
    shown = representatives(records) if collapse else records
    figures = {
        "Top gene sets": _svg(plot.dot_plot(shown, top=top, padj_cut=padj_cut)),
        "Leading-edge genes": _svg(plot.leading_edge_heatmap(shown, ranks, top=top, padj_cut=padj_cut)),
        "Enrichment map": _svg(plot.enrichment_map(records, padj_cut=padj_cut)),
    }
    return {
        "name": name,
        "genes": [g for g, _ in order],
        "scores": [s for _, s in order],
        "sets": sets,
        "tested": len(records),
        "up": sum(1 for r in significant if r["nes"] > 0),
        "down": sum(1 for r in significant if r["nes"] < 0),
        "figures": figures,
    }


def report(
    table,
    ranks,
    gene_sets,
    path,
    *,
    padj_cut: float = DEFAULT.padj,
    top: int = DEFAULT.top,
    gsea_param: float = DEFAULT.gsea_param,
    settings: Mapping[str, Any] | None = None,
    inputs: Mapping[str, str] | None = None,
    collapse: bool = DEFAULT.collapse,
    title: str = "rsvelmo report",
) -> str:
    """Write the HTML report of an analysis.

    Parameters
    ----------
    table : pandas.DataFrame or list of dict
        A table of :func:`rsvelmo.gsea`, or of :func:`rsvelmo.gsea_many`
        (with a ``ranking`` column: the report then has a ranking selector);
        the engine's records serve as well.
    ranks : ranking or mapping
        The ranking analysed (any form ``gsea`` accepts); for a
        ``gsea_many`` table a mapping ranking name -> ranking.
    gene_sets : str, os.PathLike or mapping
        The gene sets analysed.
    path : str or os.PathLike
        The file to write (conventionally ``report.html``).
    padj_cut : float
        Significance cut of the summary and the figures.
    top : int
        Gene sets per direction in the figures.
    gsea_param : float
        The weight exponent of the analysis (for the running sums).
    settings, inputs : mapping, optional
        Shown in the header: the analysis settings and the input files.
    collapse : bool
        Show one gene set per cluster of overlapping leading edges in the figures.

    Returns
    -------
    str
        The path written.
    """
    jinja2 = require("jinja2", "report", "the HTML report")
    from .._version import __version__

    sets = GeneSets.load(gene_sets)
    records = records_of(table)
    if records and "ranking" in records[0]:
        names = list(dict.fromkeys(r["ranking"] for r in records))
        blocks = [
            _ranking_block(
                str(n), [r for r in records if r["ranking"] == n], as_ranking(ranks[n]), sets, padj_cut, top, collapse
            )
            for n in names
        ]
    else:
        blocks = [_ranking_block("ranking", records, as_ranking(ranks), sets, padj_cut, top, collapse)]
    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("rsvelmo.reporting", "templates"),
        autoescape=jinja2.select_autoescape(["html", "j2"]),
    )
    data = {
        "rankings": [{k: v for k, v in b.items() if k != "figures"} for b in blocks],
        "padj_cut": padj_cut,
        "gsea_param": gsea_param,
        "extra": _extra_columns(records),
    }
    page = environment.get_template("report.html.j2").render(
        title=title,
        version=__version__,
        blocks=blocks,
        data=data,
        padj_cut=padj_cut,
        extra=_extra_columns(records),
        settings=dict(settings or {}),
        inputs=dict(inputs or {}),
    )
    with atomic_output(path) as f:
        f.write(page)
    return os.fspath(path)
