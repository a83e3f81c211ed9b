"""The report of an over-representation analysis: one self-contained HTML
file (inline CSS and SVG figures, nothing fetched from the network) with the
inputs, the universe, each list's figures and its table of gene sets."""

from __future__ import annotations

import html
from typing import Any, Mapping

from .._outputs import atomic_output
from ..plot import ora as figures
from ..plot._base import records_of
from .report import _svg

__all__ = ["ora_report"]

STYLE = """body{font:14px/1.4 system-ui,sans-serif;margin:2em auto;max-width:1100px;color:#222}
table{border-collapse:collapse;font-size:12px;margin:1em 0}th,td{padding:3px 8px;border-bottom:1px solid #ddd;
text-align:left;vertical-align:top}td.n{text-align:right;font-variant-numeric:tabular-nums}
.genes{max-width:380px;word-break:break-word;color:#555}code{background:#f4f4f4;padding:1px 4px}
figure{margin:1em 0}"""
NUMBERS = ("size", "overlap", "expected", "fold_enrichment", "odds_ratio", "pval", "padj")


def _number(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.3g}"
    return str(value)


def _table(records: list[dict[str, Any]]) -> str:
    head = "".join(f"<th>{c}</th>" for c in ("gene set", *NUMBERS, "genes"))
    rows = []
    for r in records:
        name = html.escape(str(r["pathway"])) + (f"<br><small>{html.escape(r['description'])}</small>"
                                                 if r.get("description") else "")  # fmt: skip
        cells = "".join(f'<td class="n">{_number(r[c])}</td>' for c in NUMBERS)
        genes = html.escape(", ".join(r["genes"]))
        rows.append(f"<tr><td>{name}</td>{cells}<td class=genes>{genes}</td></tr>")
    return f"<table><tr>{head}</tr>{''.join(rows)}</table>"


def ora_report(table, path, padj_cut: float = 0.05, top: int = 10, inputs: Mapping[str, str] | None = None,
               min_overlap: float = 0.5) -> None:  # fmt: skip
    """Write the report of :func:`rsvelmo.ora`'s table to `path`.

    Parameters
    ----------
    table : pandas.DataFrame
        :func:`rsvelmo.ora`'s result (its ``attrs`` name the universe).
    path : str or os.PathLike
    padj_cut : float
        The cut of the figures and of the tables (at least `top` rows each).
    top : int
    inputs : mapping of str to str, optional
        What was analysed, shown at the top.
    min_overlap : float
        The enrichment map's edges.
    """
    records = records_of(table)
    attrs = table.attrs
    names = list(dict.fromkeys(r["list"] for r in records)) if "list" in table.columns else [None]
    parts = [f"<!doctype html><html><head><meta charset=utf-8><title>Over-representation analysis</title>"
             f"<style>{STYLE}</style></head><body><h1>Over-representation analysis</h1><ul>"]  # fmt: skip
    for key, value in (inputs or {}).items():
        parts.append(f"<li>{html.escape(key)}: <code>{html.escape(str(value))}</code></li>")
    if "reading" in attrs:
        parts.append(f"<li>read: {html.escape(attrs['reading'])}</li>")
    source = html.escape(attrs.get("universe_source", ""))
    parts.append(f"<li>universe: {attrs.get('universe_size', 0):,} genes, {source} "
                 f"(SHA-256 <code>{attrs.get('universe_sha256', '')}</code>)</li></ul>")  # fmt: skip
    if len(names) > 1:
        parts.append(_svg(figures.ora_dot_plot_lists(records, max(1, top // 2 + 1), padj_cut)))
    for name in names:
        rows = [r for r in records if name is None or r["list"] == name]
        counts = attrs.get("lists", {}).get(name or "genes", {})
        hits = [r for r in rows if r["padj"] < padj_cut]
        parts.append(f"<h2>{html.escape(name or 'genes')}</h2><p>{counts.get('in_universe', 0):,} genes in the "
                     f"universe ({counts.get('outside_universe', 0):,} outside it dropped); {len(rows):,} gene sets "
                     f"tested, {len(hits):,} at padj &lt; {padj_cut:g}.</p>")  # fmt: skip
        for draw in (figures.ora_dot_plot, figures.ora_bar_plot):
            parts.append(f"<figure>{_svg(draw(rows, top, padj_cut, title=name))}</figure>")
        if hits:
            parts.append(f"<figure>{_svg(figures.ora_enrichment_map(rows, padj_cut, min_overlap))}</figure>")
        parts.append(_table(rows[: max(len(hits), top)]))
    parts.append("</body></html>\n")
    with atomic_output(path) as f:
        f.write("".join(parts))
