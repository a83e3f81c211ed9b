"""Expression matrices, as the analyses of samples take them.

A matrix is genes x samples, whatever it came as: a pandas DataFrame (genes
as rows), an AnnData (cells or samples as rows: transposed; ``X`` or a
layer; sparse kept sparse), or a file: GCT 1.2 and 1.3, ``.h5ad``, or a text
table as R, pandas and spreadsheets write it (gene names in the row names or
the first column; tab, comma, ``;`` with decimal commas or blanks),
optionally gzip-compressed. Every route ends in one :class:`Expression`.
"""

from __future__ import annotations

import io
import os
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from .._errors import Advice, RankingError, warn
from .identifiers import map_pairs
from .tables import _choose_dialect as choose_dialect
from .tables import read_source

__all__ = ["Expression", "read_expression", "DUPLICATES"]

# How genes named twice (probes of one gene, IDs mapped to one symbol) are
# merged, sample by sample: refused, their mean, or their maximum (what array
# tools call "max probe"). A ranking's "largest |score|" is not on offer: a
# gene's score is not known before the samples are compared.
DUPLICATES = ("error", "mean", "max")
# Cells read as missing in text tables (R's NA, pandas' NaN, empty).
_NA_CELLS = ["", "NA", "NaN", "nan", "N/A", "n/a", "#N/A", "NULL", "null"]


@dataclass
class Expression:
    """A genes x samples matrix with its names and what reading it did.

    ``values`` is a float64 numpy array (genes x samples), or a scipy.sparse
    CSR matrix of that shape when the input was sparse. ``obs`` is an
    AnnData's sample table (labels may name one of its columns)."""

    values: Any
    genes: list[str]
    samples: list[str]
    source: str
    obs: Any = None
    notes: list[str] = field(default_factory=list)

    @property
    def shape(self) -> tuple[int, int]:
        return len(self.genes), len(self.samples)

    @property
    def sparse(self) -> bool:
        return hasattr(self.values, "toarray")

    def describe(self) -> str:
        """One line such as ``expr.gct: 20,000 genes x 24 samples``."""
        notes = "".join(f"; {n}" for n in self.notes)
        return f"{self.source}: {len(self.genes):,} genes x {len(self.samples):,} samples{notes}"

    def dense(self) -> np.ndarray:
        """The values as a C-contiguous float64 array (a copy only when needed)."""
        values = self.values.toarray() if self.sparse else self.values
        return np.ascontiguousarray(values, dtype=np.float64)

    def take_genes(self, keep: np.ndarray, note: str | None = None) -> Expression:
        """Only the genes where the boolean `keep` is true."""
        genes = [g for g, k in zip(self.genes, keep) if k]
        notes = self.notes + ([note] if note else [])
        return replace(self, values=self.values[np.flatnonzero(keep)], genes=genes, notes=notes)

    def take_samples(self, keep: np.ndarray) -> Expression:
        """Only the samples where the boolean `keep` is true."""
        index = np.flatnonzero(keep)
        obs = None if self.obs is None else self.obs.iloc[index]
        values = self.values[:, index]
        return replace(self, values=values, samples=[self.samples[i] for i in index], obs=obs)

    def frame(self):
        """A pandas DataFrame of the values, genes x samples."""
        import pandas as pd

        return pd.DataFrame(self.dense(), index=pd.Index(self.genes, name="gene"), columns=self.samples)


def read_expression(expression, *, layer=None, gene_col=None, map_ids=None, duplicates="error") -> Expression:
    """Read an expression matrix of genes x samples.

    Parameters
    ----------
    expression : DataFrame, AnnData, Expression, str or os.PathLike
        A DataFrame with genes as rows and one numeric column per sample
        (leading text columns, such as a description, are set aside); an
        AnnData with samples or cells as rows (``X`` or `layer`; a sparse
        matrix stays sparse); or the path of a GCT file (1.2 or 1.3), an
        ``.h5ad`` file, or a text table with the genes in R's row names or
        in the first column (or `gene_col`), optionally gzip-compressed.
    layer : str, optional
        The AnnData layer to read instead of ``X`` (e.g. 'counts').
    gene_col : str or int, optional
        The column of gene names of a text table (default: R's row names,
        else the first column).
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human gene identifiers to current symbols, as for rankings.
    duplicates : {'error', 'mean', 'max'}
        Genes named more than once (probes of one gene, or IDs that map to
        one symbol) are refused, or merged sample by sample into their mean
        or their maximum; a warning counts them.

    Returns
    -------
    Expression
        The matrix (float64, genes x samples), gene and sample names, and
        notes of what reading did (``describe()`` gives them in one line).
        Missing cells are NaN; the analyses say what they do with them.
    """
    if duplicates not in DUPLICATES:
        raise ValueError(f"duplicates must be one of {', '.join(map(repr, DUPLICATES))}, not {duplicates!r}")
    if isinstance(expression, Expression):
        matrix = expression
    elif _is_anndata(expression):
        matrix = _from_anndata(expression, layer, "the AnnData")
    elif hasattr(expression, "select_dtypes"):
        matrix = _from_frame(expression, "the DataFrame")
    elif isinstance(expression, (str, os.PathLike)):
        matrix = _from_file(expression, layer, gene_col)
    else:
        raise TypeError(f"expression must be a DataFrame, an AnnData or a file path, not {type(expression).__name__}")
    if not matrix.genes or not matrix.samples:
        raise RankingError(
            f"{matrix.source}: the matrix is empty ({matrix.shape[0]} genes x {matrix.shape[1]} samples)"
        )
    _check_names(matrix.samples, "sample", matrix.source)
    if map_ids is not None:
        matrix = _map_genes(matrix, map_ids)
    return _collapse(matrix, duplicates)


# --- the routes in -------------------------------------------------------------


def _is_anndata(obj: Any) -> bool:
    return type(obj).__name__ == "AnnData" and hasattr(obj, "obs") and hasattr(obj, "var_names")


def _from_anndata(adata, layer: str | None, source: str) -> Expression:
    if layer is not None and layer not in adata.layers:
        shown = ", ".join(map(repr, adata.layers)) or "none"
        raise RankingError(f"{source}: no layer {layer!r} (its layers: {shown})")
    values = adata.X if layer is None else adata.layers[layer]
    if values is None:
        raise RankingError(f"{source}: X holds no matrix; name one of its layers with ", Advice("layer", "counts"))
    if hasattr(values, "toarray"):  # scipy.sparse: samples x genes becomes genes x samples, still sparse
        values = values.T.tocsr().astype(np.float64)
    else:
        values = np.ascontiguousarray(np.asarray(values, dtype=np.float64).T)
    where = "X" if layer is None else f"layer {layer!r}"
    sparse = ", sparse" if hasattr(values, "toarray") else ""
    return Expression(
        values, [str(g) for g in adata.var_names], [str(s) for s in adata.obs_names], source, obs=adata.obs,
        notes=[f"values from {where}{sparse}"],
    )  # fmt: skip


def _from_frame(frame, source: str, notes: list[str] | None = None) -> Expression:
    numeric = frame.select_dtypes(include="number")
    text = [c for c in frame.columns if c not in numeric.columns]
    notes = list(notes or [])
    if text:
        leading = list(frame.columns[: len(text)]) == text
        if not leading:
            bad = next(c for c in text if list(frame.columns).index(c) >= len(text))
            column = frame[bad]
            cell = next((v for v in column if not _is_number(v)), column.iloc[0])
            raise RankingError(
                f"{source}: column {str(bad)!r} holds {str(cell)[:40]!r}, not a number; a matrix holds "
                "genes as rows and one sample a column"
            )
        notes.append(f"set aside {', '.join(repr(str(c)) for c in text)} (not numbers)")
    if numeric.shape[1] == 0:
        raise RankingError(f"{source}: no column of numbers (samples) found")
    values = numeric.to_numpy(dtype=np.float64, copy=True)
    genes = [str(g) for g in numeric.index]
    missing = int(np.isnan(values).sum())
    if missing:
        notes.append(f"{missing:,} missing cells")
    return Expression(np.ascontiguousarray(values), genes, [str(s) for s in numeric.columns], source, notes=notes)


def _is_number(value: Any) -> bool:
    try:
        float(value)
    except (TypeError, ValueError):
        return False
    return True


def _from_file(path, layer: str | None, gene_col) -> Expression:
    name = os.fspath(path) if path != "-" else "-"
    if isinstance(name, str) and name.lower().endswith(".h5ad"):
        from .._results import require

        anndata = require("anndata", "singlecell", "reading .h5ad files")
        return _from_anndata(anndata.read_h5ad(name), layer, name)
    source = read_source(name)
    if source.text.lstrip("\ufeff").startswith(("#1.2", "#1.3")):
        return _gct(source.text, source.name)
    return _table(source, gene_col)


def _gct(text: str, source: str) -> Expression:
    """GCT 1.2 (name, description, samples) and 1.3 (an id, row annotations,
    then column annotation lines before the data)."""
    import pandas as pd

    lines = text.split("\n", 3)
    version = lines[0].strip()
    try:
        dims = [int(x) for x in lines[1].split()]
        nrows, ncols = dims[0], dims[1]
        row_meta, col_meta = (dims[2], dims[3]) if version == "#1.3" else (1, 0)
    except (IndexError, ValueError):
        raise RankingError(
            f"{source}, line 2: {lines[1][:80]!r} should give the numbers of rows and columns ({version})"
        ) from None
    header = lines[2].rstrip("\r").split("\t")
    if len(header) != 1 + row_meta + ncols:
        raise RankingError(
            f"{source}, line 3: {len(header)} tab-separated names, but line 2 announces {ncols} samples and "
            f"{row_meta} annotation column(s) after the gene names"
        )
    body = text.split("\n", 3 + col_meta)[-1]
    frame = pd.read_csv(
        io.StringIO(body), sep="\t", header=None, names=header, index_col=0, na_values=_NA_CELLS,
        keep_default_na=False, dtype={h: str for h in header[: 1 + row_meta]},
    )  # fmt: skip
    if len(frame) != nrows:
        warn(f"{source}: line 2 announces {nrows:,} genes, the file holds {len(frame):,}")
    frame = frame.iloc[:, row_meta:]
    return _from_frame(frame, source, notes=[f"GCT {version[1:]}"])


def _table(source, gene_col) -> Expression:
    import pandas as pd

    delimiter, dialect = choose_dialect(source)
    decimal = "," if delimiter == ";" else "."
    sep = r"\s+" if delimiter == " " else delimiter
    frame = pd.read_csv(
        io.StringIO(source.text), sep=sep, decimal=decimal, na_values=_NA_CELLS, keep_default_na=False,
        comment=None, engine="c" if delimiter != " " else "python",
    )  # fmt: skip
    row_names = not isinstance(frame.index, pd.RangeIndex)  # R's header one field short
    first = str(frame.columns[0])
    if not row_names and (first == "" or first.startswith("Unnamed: 0")):
        frame, row_names = frame.set_index(frame.columns[0]), True
    if gene_col is not None:
        column = frame.columns[gene_col] if isinstance(gene_col, int) else gene_col
        if column not in frame.columns:
            raise RankingError(
                f"{source.name}: no column {gene_col!r} (columns: {', '.join(map(str, frame.columns[:8]))})"
            )
        frame = frame.set_index(column)
    elif not row_names:
        frame = frame.set_index(frame.columns[0])
    frame.index = frame.index.map(lambda g: str(g).strip())
    return _from_frame(frame, source.name, notes=[f"{dialect}-separated"])


# --- names ---------------------------------------------------------------------


def _check_names(names: list[str], what: str, source: str) -> None:
    seen: set[str] = set()
    for n in names:
        if n in seen:
            raise RankingError(f"{source}: {what} {n!r} occurs twice; {what} names must be unique")
        seen.add(n)


def _map_genes(matrix: Expression, map_ids: str) -> Expression:
    pairs, report = map_pairs([(g, 0.0, i) for i, g in enumerate(matrix.genes)], map_ids)
    if report.unmapped:
        shown = ", ".join(repr(g) for g in report.unmapped[:5]) + (", ..." if len(report.unmapped) > 5 else "")
        fate = "kept as they are" if report.style == "symbol" else "left out"
        warn(f"{matrix.source}: {len(report.unmapped):,} of {len(matrix.genes):,} gene IDs are not in the table of "
             f"human genes ({shown}); {fate}", stacklevel=4)  # fmt: skip
    rows = np.array([i for _, _, i in pairs], dtype=np.intp)
    return replace(
        matrix, values=matrix.values[rows], genes=[g for g, _, _ in pairs], notes=matrix.notes + [report.describe()]
    )


def _collapse(matrix: Expression, duplicates: str) -> Expression:
    groups: dict[str, list[int]] = {}
    for i, g in enumerate(matrix.genes):
        groups.setdefault(g, []).append(i)
    repeated = [g for g, rows in groups.items() if len(rows) > 1]
    if not repeated:
        return matrix
    shown = ", ".join(repr(g) for g in repeated[:5]) + (", ..." if len(repeated) > 5 else "")
    if duplicates == "error":
        raise RankingError(
            f"{matrix.source}: {len(repeated):,} gene name(s) occur more than once ({shown}); merge their rows "
            "sample by sample with ", Advice("duplicates", "mean"), " or ", Advice("duplicates", "max"),
        )  # fmt: skip
    warn(f"{matrix.source}: merged the rows of {len(repeated):,} gene name(s) that occur more than once ({shown}) "
         "with ", Advice("duplicates", duplicates), stacklevel=4)  # fmt: skip
    first = [rows[0] for rows in groups.values()]
    values = matrix.values[np.array(first, dtype=np.intp)]
    values = values.tolil() if matrix.sparse else values.copy()
    for k, rows in enumerate(groups.values()):
        if len(rows) > 1:
            block = matrix.values[np.array(rows, dtype=np.intp)]
            block = block.toarray() if matrix.sparse else block
            values[k] = block.mean(axis=0) if duplicates == "mean" else block.max(axis=0)
    values = values.tocsr() if matrix.sparse else values
    note = f"{len(repeated):,} duplicated genes merged ({duplicates})"
    return replace(matrix, values=values, genes=list(groups), notes=matrix.notes + [note])
