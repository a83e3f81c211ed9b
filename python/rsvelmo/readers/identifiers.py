"""The gene data shipped with the package: human gene identifiers mapped to
current symbols, and the Gene Ontology collections (``data/``, built by
``scripts/make_gene_data.py``; ``data/sources.json`` records their sources,
versions, licences and checksums)."""

from __future__ import annotations

import functools
import gzip
import json
import re
from dataclasses import dataclass, field
from importlib import resources
from typing import Iterable

__all__ = ["ID_STYLES", "IdMapping", "detect_style", "map_pairs", "mappable", "sources", "collection_file"]

ID_STYLES = ("auto", "ensembl", "entrez", "symbol")
_ENSEMBL = re.compile(r"^ENSG\d{11}(\.\d+)?$")
_STYLE_NAMES = {"ensembl": "Ensembl gene IDs", "entrez": "Entrez IDs", "symbol": "gene symbols"}


def _data(name: str):
    return resources.files("rsvelmo").joinpath("data", name)


@functools.cache
def sources() -> dict:
    """What data/sources.json says of the shipped files."""
    return json.loads(_data("sources.json").read_text(encoding="utf-8"))


@functools.cache
def _table() -> dict[str, dict[str, str]]:
    """kind -> identifier -> current symbol, read once per process."""
    table: dict[str, dict[str, str]] = {"ensembl": {}, "entrez": {}, "alias": {}}
    with _data("human_gene_ids.tsv.gz").open("rb") as raw, gzip.open(raw, "rt", encoding="utf-8") as f:
        for line in f:
            kind, identifier, symbol = line.rstrip("\n").split("\t")
            table[kind][identifier] = symbol
    table["symbol"] = {s: s for s in table["entrez"].values()}
    return table


def collection_file(name: str):
    """The shipped file of a collection ('go_bp', ...), or None."""
    entry = sources()["collections"].get(name)
    return None if entry is None else _data(entry["file"])


def detect_style(genes: Iterable[str]) -> str:
    """'ensembl', 'entrez' or 'symbol': the style of most of the identifiers."""
    genes = list(genes)[:2000]
    ensembl = sum(1 for g in genes if _ENSEMBL.match(g))
    entrez = sum(1 for g in genes if g.isdigit())
    if ensembl * 2 > len(genes):
        return "ensembl"
    if entrez * 2 > len(genes):
        return "entrez"
    return "symbol"


def _lookup(style: str, gene: str) -> str | None:
    table = _table()
    if style == "ensembl":
        return table["ensembl"].get(gene.split(".", 1)[0] if _ENSEMBL.match(gene) else gene)
    if style == "entrez":
        return table["entrez"].get(gene)
    # A current symbol always wins over an alias; an alias of several genes is in no table.
    return table["symbol"].get(gene) or table["alias"].get(gene)


@dataclass
class IdMapping:
    """What mapping identifiers did: the style, how many were mapped
    (changed or confirmed), and those that could not be mapped."""

    style: str
    mapped: int = 0
    renamed: int = 0
    unmapped: list[str] = field(default_factory=list)

    def describe(self) -> str:
        kept = " (kept as they are)" if self.style == "symbol" else " (left out)"
        text = f"{_STYLE_NAMES[self.style]} mapped to current symbols: {self.mapped:,} mapped"
        if self.style == "symbol":
            text += f", {self.renamed:,} renamed from an alias or previous symbol"
        if self.unmapped:
            text += f", {len(self.unmapped):,} unknown{kept}"
        return text


def map_pairs(pairs: list[tuple[str, float, int]], style: str) -> tuple[list[tuple[str, float, int]], IdMapping]:
    """(gene, score, position) triples with their genes mapped to current
    symbols. Ensembl and Entrez IDs that map to no symbol are left out;
    symbols that are neither current nor an unambiguous alias stay as they are."""
    if style == "auto":
        style = detect_style(g for g, _, _ in pairs)
    report = IdMapping(style)
    mapped = []
    for gene, score, position in pairs:
        symbol = _lookup(style, gene)
        if symbol is None:
            report.unmapped.append(gene)
            if style == "symbol":
                mapped.append((gene, score, position))
            continue
        report.mapped += 1
        report.renamed += symbol != gene
        mapped.append((symbol, score, position))
    return mapped, report


def mappable(genes: Iterable[str]) -> tuple[str, int, int]:
    """The style of the identifiers, how many of them map to a current symbol
    other than themselves (Ensembl, Entrez IDs, aliases), and how many there are."""
    genes = list(genes)
    style = detect_style(genes)
    found = sum(1 for g in genes if (s := _lookup(style, g)) is not None and s != g)
    return style, found, len(genes)


def style_name(style: str) -> str:
    return _STYLE_NAMES[style]
