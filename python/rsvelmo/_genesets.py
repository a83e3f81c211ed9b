"""Gene sets as the analyses take them: read once, with their descriptions."""

from __future__ import annotations

import os
from typing import Any, Mapping

import rsvelmopy

__all__ = ["GeneSets"]


class GeneSets:
    """Gene sets with their descriptions, read once by the engine's reader.

    ``sets`` maps name -> genes; ``descriptions`` name -> description (or
    None); ``source`` names where they came from, for messages.
    """

    def __init__(self, sets: dict[str, list[str]], descriptions: dict[str, str | None], source: str):
        self.sets, self.descriptions, self.source = sets, descriptions, source

    @classmethod
    def load(cls, gene_sets: Any) -> "GeneSets":
        if isinstance(gene_sets, GeneSets):
            return gene_sets
        if isinstance(gene_sets, (str, os.PathLike)):
            entries = rsvelmopy.read_gmt(gene_sets)
            return cls({n: g for n, _, g in entries}, {n: d for n, d, _ in entries}, os.fspath(gene_sets))
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
            f"gene_sets: expected a GMT file path or a mapping name -> genes, not {type(gene_sets).__name__}"
        )

    def upper_cased(self) -> "GeneSets":
        sets = {name: list(dict.fromkeys(g.upper() for g in genes)) for name, genes in self.sets.items()}
        return GeneSets(sets, self.descriptions, self.source)

    def universe(self) -> set[str]:
        return {g for genes in self.sets.values() for g in genes}
