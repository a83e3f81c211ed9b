"""Reading rankings and gene-set files, and checking rankings before an analysis."""
from __future__ import annotations

import csv
import gzip
import io
import math
import os
import struct
import warnings
from collections import Counter
from typing import Iterable, Mapping

__all__ = ["RankingError", "read_ranks", "read_matrix", "read_gmt", "read_gmt_entries", "write_gmt", "ranking_warnings"]

DUPLICATE_POLICIES = ("error", "first", "max_abs", "mean")


class RankingError(ValueError):
    """A ranking file or object that cannot be analysed as it stands."""


def _open_text(path):
    with open(path, "rb") as probe:
        magic = probe.read(2)
    if magic == b"\x1f\x8b":
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="utf-8", newline="")
    return open(path, encoding="utf-8", newline="")


def _delimiter(path: str) -> str:
    name = path[:-3] if path.endswith(".gz") else path
    return "," if name.lower().endswith(".csv") else "\t"


def _column(header: list[str] | None, choice, default: int, what: str, path: str) -> int:
    if choice is None:
        return default
    if isinstance(choice, int) or (isinstance(choice, str) and choice.isdigit() and (header is None or choice not in header)):
        return int(choice)
    if header is None or choice not in header:
        raise RankingError(f"{path}: no column named {choice!r} for the {what}" +
                           (f" (columns: {', '.join(header)})" if header else " (the file has no header)"))
    return header.index(choice)


def _parse_score(text: str, path: str, line: int, gene: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise RankingError(f"{path}, line {line}: score {text!r} of gene {gene!r} is not a number") from None
    if not math.isfinite(value):
        raise RankingError(f"{path}, line {line}: score of gene {gene!r} is {text.strip()}; scores must be finite")
    return value


def read_ranks(path, gene_col=None, score_col=None, duplicates: str = "error") -> dict[str, float]:
    """Reads a ranking: gene name -> score.

    Accepts .rnk files (two tab-separated columns, an optional header,
    ``#`` comments and blank lines), TSV and CSV tables (choose the columns
    by name or 0-based index with ``gene_col`` and ``score_col``; the first
    two columns by default), each optionally gzip-compressed.

    Duplicate gene names are an error by default; ``duplicates`` may be
    "first" (keep the first score), "max_abs" (keep the score of largest
    magnitude) or "mean". Missing, non-numeric, NaN or infinite scores are
    errors naming the file, the line and the gene.
    """
    if duplicates not in DUPLICATE_POLICIES:
        raise ValueError(f"duplicates must be one of {', '.join(DUPLICATE_POLICIES)}, not {duplicates!r}")
    path = os.fspath(path)
    pairs: list[tuple[str, float, int]] = []
    with _open_text(path) as f:
        reader = csv.reader(f, delimiter=_delimiter(path))
        header = None
        gene_i = score_i = None
        for line_no, row in enumerate(reader, start=1):
            if not row or all(not c.strip() for c in row) or row[0].lstrip().startswith("#"):
                continue
            if gene_i is None:
                # The first data row is a header when its score cell is not a number.
                probe_score = _column(None, score_col if isinstance(score_col, int) else None, 1, "scores", path)
                try:
                    float(row[probe_score]) if probe_score < len(row) else float("x")
                    is_header = isinstance(score_col, str) and not score_col.isdigit()
                except ValueError:
                    is_header = True
                if is_header:
                    header = [c.strip() for c in row]
                gene_i = _column(header, gene_col, 0, "gene names", path)
                score_i = _column(header, score_col, 1, "scores", path)
                if is_header:
                    continue
            if max(gene_i, score_i) >= len(row):
                raise RankingError(f"{path}, line {line_no}: expected at least {max(gene_i, score_i) + 1} columns")
            gene = row[gene_i].strip()
            if not gene:
                raise RankingError(f"{path}, line {line_no}: empty gene name")
            pairs.append((gene, _parse_score(row[score_i], path, line_no, gene), line_no))
    return _collapse(pairs, duplicates, path)


MISSING_CELLS = {"", "na", "nan"}


def read_matrix(path, gene_col=None, duplicates: str = "error") -> dict[str, dict[str, float]]:
    """Reads a genes x contrasts table (TSV or CSV, optionally gzipped) into
    contrast name -> ranking. The header row names the columns; the gene
    column is the first unless ``gene_col`` names another, and every other
    column is one ranking. Empty and NA cells mean "not measured" and leave
    the gene out of that ranking; other non-numeric or infinite cells are
    errors naming file, line and gene."""
    if duplicates not in DUPLICATE_POLICIES:
        raise ValueError(f"duplicates must be one of {', '.join(DUPLICATE_POLICIES)}, not {duplicates!r}")
    path = os.fspath(path)
    with _open_text(path) as f:
        rows = ((n, r) for n, r in enumerate(csv.reader(f, delimiter=_delimiter(path)), start=1)
                if r and any(c.strip() for c in r) and not r[0].lstrip().startswith("#"))
        try:
            _, header = next(rows)
        except StopIteration:
            raise RankingError(f"{path}: the table is empty") from None
        header = [c.strip() for c in header]
        gene_i = _column(header, gene_col, 0, "gene names", path)
        contrasts = [i for i in range(len(header)) if i != gene_i]
        if not contrasts:
            raise RankingError(f"{path}: the table has no score columns besides the gene names")
        pairs: dict[int, list[tuple[str, float, int]]] = {i: [] for i in contrasts}
        for line_no, row in rows:
            if len(row) != len(header):
                raise RankingError(f"{path}, line {line_no}: expected {len(header)} columns, found {len(row)}")
            gene = row[gene_i].strip()
            if not gene:
                raise RankingError(f"{path}, line {line_no}: empty gene name")
            for i in contrasts:
                if row[i].strip().lower() not in MISSING_CELLS:
                    pairs[i].append((gene, _parse_score(row[i], path, line_no, gene), line_no))
    return {header[i]: _collapse(pairs[i], duplicates, f"{path}, column {header[i]!r}") for i in contrasts}


def _collapse(pairs: Iterable[tuple[str, float, int]], duplicates: str, source: str) -> dict[str, float]:
    ranks: dict[str, float] = {}
    seen: dict[str, list[float]] = {}
    for gene, score, _ in pairs:
        seen.setdefault(gene, []).append(score)
    repeated = [g for g, s in seen.items() if len(s) > 1]
    if repeated and duplicates == "error":
        shown = ", ".join(repr(g) for g in repeated[:5]) + (", ..." if len(repeated) > 5 else "")
        raise RankingError(f"{source}: {len(repeated)} gene name(s) occur more than once ({shown}); "
                           "choose duplicates='first', 'max_abs' or 'mean' to collapse them")
    for gene, scores in seen.items():
        if duplicates == "max_abs":
            ranks[gene] = max(scores, key=abs)
        elif duplicates == "mean":
            ranks[gene] = math.fsum(scores) / len(scores)
        else:
            ranks[gene] = scores[0]
    return ranks


def ranks_from_pairs(pairs: Iterable[tuple[object, object]], duplicates: str, source: str) -> dict[str, float]:
    """Checks and collapses (gene, score) pairs from an in-memory ranking."""
    checked = []
    for i, (gene, score) in enumerate(pairs, start=1):
        if not isinstance(gene, str):
            gene = str(gene)
        try:
            value = float(score)
        except (TypeError, ValueError):
            raise RankingError(f"{source}: score {score!r} of gene {gene!r} is not a number") from None
        if not math.isfinite(value):
            raise RankingError(f"{source}: score of gene {gene!r} is {value}; scores must be finite")
        checked.append((gene, value, i))
    return _collapse(checked, duplicates, source)


def ranking_warnings(ranks: Mapping[str, float], score_type: str = "std", source: str = "",
                     stacklevel: int = 2) -> None:
    """Warns about ties among non-zero scores (their order is decided by input
    order) and about an all-positive ranking analysed two-sided, with the
    facts the engine's own diagnostics report. ``source`` prefixes the
    messages (e.g. the ranking's name)."""
    prefix = f"{source}: " if source else ""
    scores = list(ranks.values())
    patterns = Counter(struct.pack("<d", s) for s in scores if s != 0.0)
    ties = sum(c - 1 for c in patterns.values())
    if scores and ties:
        warnings.warn(f"{prefix}detected {ties} tied non-zero ranking scores "
                      f"({ties * 100.0 / len(scores):.2f}% of genes); ties are resolved by input order "
                      "and can slightly affect enrichment outcomes", stacklevel=stacklevel + 1)
    if score_type.lower() == "std" and scores and all(s > 0.0 for s in scores):
        warnings.warn(f"{prefix}all ranking scores are positive while scoreType='std'; for one-tailed "
                      "enrichment, consider scoreType='pos'", stacklevel=stacklevel + 1)


def read_gmt_entries(path) -> list[tuple[str, str, list[str]]]:
    """Reads a GMT file as (name, description, genes) per non-blank line."""
    entries = []
    with open(path, encoding="utf-8", newline="\n") as f:
        for line_no, line in enumerate(f, start=1):
            line = line.removesuffix("\n").removesuffix("\r")
            if not line.strip():
                continue
            fields = line.split("\t")
            if len(fields) < 3:
                raise ValueError(f"{path}, line {line_no}: expected at least 3 tab-separated columns")
            entries.append((fields[0], fields[1], [g.strip() for g in fields[2:] if g.strip()]))
    return entries


def read_gmt(path) -> dict[str, list[str]]:
    """Reads a GMT file into name -> genes (for plotting and inspection).
    A name that occurs twice keeps its first gene list."""
    sets: dict[str, list[str]] = {}
    for name, _, genes in read_gmt_entries(path):
        sets.setdefault(name, genes)
    return sets


def write_gmt(gene_sets: Mapping[str, Iterable[str]], path) -> None:
    """Writes name -> genes as a GMT file with empty descriptions."""
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for name, genes in gene_sets.items():
            genes = [str(g) for g in genes]
            for text in [name, *genes]:
                if not isinstance(text, str) or any(c in text for c in "\t\n\r"):
                    raise ValueError(f"gene set {name!r}: names and genes must be strings without tabs or line breaks")
            f.write("\t".join([name, "", *genes]) + "\n")
