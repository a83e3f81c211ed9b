"""Gene sets as the analyses take them: read once, with their descriptions,
from a GMT file (by the engine's own reader), an MSigDB JSON collection, a
collection shipped with the package ('go_bp', ...) or a mapping; and the
public readers and writer of gene sets and collections."""

from __future__ import annotations

import json
import os
from typing import Any, Iterable, Mapping

from .. import _engine
from .._errors import RankingError
from .._outputs import file_record
from .._results import require
from .identifiers import collection_file, sources
from .tables import read_source

__all__ = ["GeneSets", "collection_names", "read_gmt", "read_gmt_descriptions", "write_gmt", "gene_sets", "collections"]


def collection_names() -> list[str]:
    return list(sources()["collections"])


def _text(path: str) -> str | None:
    """A file's text, read as the tables are (gzip known by its content), or None when it is no text."""
    try:
        return read_source(path).text
    except RankingError:
        return None


def _from_json(path: str, text: str) -> tuple[dict[str, list[str]], dict[str, str | None]]:
    """MSigDB's JSON: an object of set name -> {"geneSymbols": [...], "msigdbURL": ..., ...}."""
    try:
        collection = json.loads(text)
    except ValueError as e:
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


def _looks_like(text: str) -> str | None:
    """What a file that is not a GMT file looks like, when it can be told."""
    lines = [line for line in text.splitlines() if line.strip()][:5]
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
        if path.lower().endswith((".json", ".json.gz")):
            sets, descriptions = _from_json(path, read_source(path).text)
        else:
            try:
                entries = _engine.read_gmt(path)
            except ValueError:
                # Not GMT: MSigDB's JSON under another name, or a file to say something of.
                text = _text(path) if os.path.isfile(path) else None
                if text is None:
                    raise
                if text.lstrip(" \t\r\n").startswith("{"):
                    sets, descriptions = _from_json(path, text)
                    return cls(sets, descriptions, name, _record(path, collection))
                if what := _looks_like(text):
                    raise ValueError(f"{path}: this looks like {what}") from None
                raise
            sets, descriptions = {n: g for n, _, g in entries}, {n: d for n, d, _ in entries}
        if not sets:  # an empty file (/dev/null): said as such, not as IDs that match nothing
            raise ValueError(f"{name}: no gene sets (the file is empty; a GMT file has one gene set per line)")
        return cls(sets, descriptions, name, _record(path, collection))

    def upper_cased(self) -> "GeneSets":
        sets = {name: list(dict.fromkeys(g.upper() for g in genes)) for name, genes in self.sets.items()}
        return GeneSets(sets, self.descriptions, self.source, self.record)

    def universe(self) -> set[str]:
        return {g for genes in self.sets.values() for g in genes}


def _record(path: str, collection: str | None) -> dict[str, Any]:
    record = file_record(path)  # a pipe or a device was read once by the engine and is not hashed
    if collection is not None:
        go = sources()["gene_ontology"]
        record.update(collection=collection, version=f"GO {go['release']}, annotations {go['annotations']}",
                      source=go["source"], licence=go["licence"])  # fmt: skip
    return record


def read_gmt(path) -> dict[str, list[str]]:
    """Read a GMT file with the engine's own reader.

    Parameters
    ----------
    path : str or os.PathLike
        One gene set per line: name, description, genes, tab-separated;
        optionally gzipped.

    Returns
    -------
    dict
        Gene-set name -> genes, in file order.

    Raises
    ------
    OSError
        The file cannot be read (``FileNotFoundError``, ``PermissionError``, ...).
    ValueError
        A malformed line or a name given twice, naming file and line.
    """
    return {name: genes for name, _, genes in _engine.read_gmt(path)}


def read_gmt_descriptions(path) -> dict[str, str | None]:
    """Read the descriptions of a GMT file.

    Returns
    -------
    dict
        Gene-set name -> the second field of its line, or None when empty.
    """
    return {name: description for name, description, _ in _engine.read_gmt(path)}


def write_gmt(gene_sets: Mapping[str, Iterable[str]], path) -> None:
    """Write gene sets as a GMT file.

    Parameters
    ----------
    gene_sets : mapping
        Name -> iterable of gene names; written with empty descriptions.
    path : str or os.PathLike
        The file to write.

    Raises
    ------
    ValueError
        A name or gene holding a tab or a line break.
    """
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for name, genes in gene_sets.items():
            genes = [str(g) for g in genes]
            for text in [name, *genes]:
                if not isinstance(text, str) or any(c in text for c in "\t\n\r"):
                    raise ValueError(f"gene set {name!r}: names and genes must be strings without tabs or line breaks")
            f.write("\t".join([name, "", *genes]) + "\n")


def gene_sets(name) -> dict[str, list[str]]:
    """The gene sets of a shipped collection or of a file.

    Parameters
    ----------
    name : str or os.PathLike
        'go_bp', 'go_mf' or 'go_cc' (the Gene Ontology's human collections
        shipped with the package, see :func:`collections`), or a GMT or
        MSigDB JSON file, optionally gzipped.

    Returns
    -------
    dict
        Gene-set name -> genes, in file order (for GO, the term's ID; its name
        is the description that tables and figures show).
    """
    return dict(GeneSets.load(name).sets)


def collections():
    """The gene-set collections shipped with the package.

    Returns
    -------
    pandas.DataFrame
        One row per collection: its name (what :func:`gsea` and the command
        line take where a file is expected), what it holds, the number of
        gene sets and genes, the sizes kept, the release and the licence.
    """
    pd = require("pandas", "pandas", "rsvelmo.collections")
    shipped = sources()
    go = shipped["gene_ontology"]
    rows = [
        {
            "name": name,
            "title": f"Gene Ontology {entry['title']} (human, annotations propagated to parent terms)",
            "gene_sets": entry["gene_sets"],
            "genes": entry["genes"],
            "sizes": f"{entry['sizes'][0]} to {entry['sizes'][1]}",
            "release": f"GO {go['release']}, annotations {go['annotations']}",
            "source": go["source"],
            "licence": go["licence"],
        }
        for name, entry in shipped["collections"].items()
    ]
    return pd.DataFrame(rows)
