"""Gene sets as the analyses take them: read once, with their descriptions,
from a GMT file (by the engine's own reader), an MSigDB JSON collection, a
collection shipped with the package ('go_bp', ...) or a mapping."""

from __future__ import annotations

import gzip
import json
import os
import zlib
from typing import Any, Mapping

from .._engine import read_gmt
from .._outputs import file_record
from .identifiers import collection_file, sources

__all__ = ["GeneSets", "collection_names"]


def collection_names() -> list[str]:
    return list(sources()["collections"])


def _contents(path: str) -> bytes:
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\x1f\x8b"):
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error):
            raise ValueError(f"{path}: the gzip data is damaged or cut short") from None
    return data


def _from_json(path: str, data: bytes) -> tuple[dict[str, list[str]], dict[str, str | None]]:
    """MSigDB's JSON: an object of set name -> {"geneSymbols": [...], "msigdbURL": ..., ...}."""
    try:
        collection = json.loads(data.decode("utf-8-sig"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ValueError(f"{path}: this looks like JSON but cannot be read as such ({e})") from None
    shape = "an object of gene-set name -> {'geneSymbols': [...]} (MSigDB's JSON)"
    if not isinstance(collection, dict) or not collection:
        raise ValueError(f"{path}: a JSON file, but not a collection of gene sets: expected {shape}")
    sets, descriptions = {}, {}
    for name, entry in collection.items():
        genes = entry.get("geneSymbols") if isinstance(entry, dict) else None
        if not isinstance(genes, list) or not all(isinstance(g, str) for g in genes):
            raise ValueError(f"{path}: gene set {name!r} has no list of 'geneSymbols'; expected {shape}")
        if not genes:
            raise ValueError(f"{path}: gene set {name!r} has no genes")
        sets[name] = list(dict.fromkeys(genes))
        # The same description as MSigDB's GMT files: the set's page, else its source.
        descriptions[name] = entry.get("msigdbURL") or entry.get("exactSource") or None
    return sets, descriptions


def _looks_like(data: bytes) -> str | None:
    """What a file that is not a GMT file looks like, when it can be told."""
    lines = [line for line in data.decode("utf-8", "replace").splitlines() if line.strip()][:5]
    fields = [line.split("\t") for line in lines]
    if fields and all(len(f) == 2 for f in fields):
        try:
            [float(f[1]) for f in fields[1:]]
            return "a ranking (gene, score), not gene sets; give the gene sets last"
        except ValueError:
            pass
    if fields and all(len(f) == 1 for f in fields) and lines[0].count(",") >= 1:
        return "a comma-separated table, not gene sets (GMT: one set a line, tab-separated: name, description, genes)"
    return None


class GeneSets:
    """Gene sets with their descriptions, read once.

    ``sets`` maps name -> genes; ``descriptions`` name -> description (or
    None); ``source`` names where they came from, for messages; ``record``
    is what run.json says of them (file, size, checksum, collection and version).
    """

    def __init__(self, sets, descriptions, source: str, record: Mapping[str, Any] | None = None):
        self.sets, self.descriptions, self.source = sets, descriptions, source
        self.record = dict(record or {"source": source})

    @classmethod
    def load(cls, gene_sets: Any) -> "GeneSets":
        if isinstance(gene_sets, GeneSets):
            return gene_sets
        if isinstance(gene_sets, (str, os.PathLike)):
            return cls._read(os.fspath(gene_sets))
        if isinstance(gene_sets, Mapping):
            sets = {}
            for name, genes in gene_sets.items():
                if isinstance(genes, (str, bytes)):
                    raise ValueError(f"gene_sets: gene set {name!r} is a single string; give a list of gene names")
                sets[name] = list(genes)
                if not sets[name]:
                    raise ValueError(f"gene_sets: gene set {name!r} has no genes")
            return cls(sets, {n: None for n in sets}, "gene_sets")
        raise TypeError(
            "gene_sets: expected a GMT or JSON file path, a shipped collection's name "
            f"({', '.join(collection_names())}) or a mapping name -> genes, not {type(gene_sets).__name__}"
        )

    @classmethod
    def _read(cls, path: str) -> "GeneSets":
        shipped = collection_file(path) if not os.path.exists(path) else None
        name = path
        collection = None
        if shipped is not None:
            collection, path = path, str(shipped)
            name = f"{collection} (shipped with rsvelmo)"
        if path.lower().endswith((".json", ".json.gz")) or (os.path.isfile(path) and _starts_json(path)):
            sets, descriptions = _from_json(path, _contents(path))
        else:
            try:
                entries = read_gmt(path)
            except ValueError:
                if os.path.isfile(path) and (what := _looks_like(_contents(path))):
                    raise ValueError(f"{path}: this looks like {what}") from None
                raise
            sets, descriptions = {n: g for n, _, g in entries}, {n: d for n, d, _ in entries}
        return cls(sets, descriptions, name, _record(path, collection))

    def upper_cased(self) -> "GeneSets":
        sets = {name: list(dict.fromkeys(g.upper() for g in genes)) for name, genes in self.sets.items()}
        return GeneSets(sets, self.descriptions, self.source, self.record)

    def universe(self) -> set[str]:
        return {g for genes in self.sets.values() for g in genes}


def _starts_json(path: str) -> bool:
    with open(path, "rb") as f:
        head = f.read(64)
    if head.startswith(b"\x1f\x8b"):
        with gzip.open(path, "rb") as f:
            head = f.read(64)
    return head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"{")


def _record(path: str, collection: str | None) -> dict[str, Any]:
    record = file_record(path)  # a pipe or a device was read once by the engine and is not hashed
    if collection is not None:
        go = sources()["gene_ontology"]
        record.update(collection=collection, version=f"GO {go['release']}, annotations {go['annotations']}",
                      source=go["source"], licence=go["licence"])  # fmt: skip
    return record
