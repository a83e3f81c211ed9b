"""Sample labels: which class each sample of an expression matrix is in.

Labels come as a sequence in sample order, a Series or mapping by sample
name, the name of a column of an AnnData's ``obs``, a CLS file (the
categorical format: sizes, ``#`` class names, one label per sample) or a
sample sheet (a table with a column of sample names and `label_col`). Every
route ends in one :class:`Labels` aligned with the matrix's samples.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np

from .._errors import Advice, RankingError
from .tables import is_missing, is_missing_name, parse_table, read_source

__all__ = ["Labels", "read_labels", "read_groups"]


@dataclass(frozen=True)
class Labels:
    """Two classes of samples: ``in_a`` is true for class A's samples, in the
    order of the matrix's kept samples ``keep`` (samples of other classes,
    when `classes` chose two of several, are not kept)."""

    classes: tuple[str, str]
    in_a: np.ndarray
    keep: np.ndarray
    source: str

    @property
    def sizes(self) -> tuple[int, int]:
        a = int(self.in_a.sum())
        return a, len(self.in_a) - a

    def describe(self) -> str:
        """One line such as ``labels.cls: 'KO' (3 samples) v 'WT' (3 samples)``."""
        (a, b), (na, nb) = self.classes, self.sizes
        return f"{self.source}: {a!r} ({na} samples) v {b!r} ({nb} samples)"


def read_labels(labels, samples: Sequence[str], *, obs=None, label_col=None, sample_col=None, classes=None) -> Labels:
    """The classes of the samples of a matrix.

    Parameters
    ----------
    labels : sequence, Series, mapping, str or os.PathLike
        One label per sample in sample order (a list, an array, a Series
        without sample names); labels by sample name (a Series indexed by
        sample, a dict); the name of a column of `obs`; or the path of a CLS
        file or a sample sheet (a table with a column of sample names,
        `sample_col` or the first, and `label_col`).
    samples : sequence of str
        The matrix's sample names, in its order.
    obs : DataFrame, optional
        An AnnData's sample table, for labels that name one of its columns.
    label_col, sample_col : str or int, optional
        The columns of a sample sheet.
    classes : (str, str), optional
        Class A and class B. By default the two labels that occur, A being
        the first class of a CLS file's name line or else the label of the
        first sample. With more than two labels, `classes` chooses two and
        the other samples are left out.

    Returns
    -------
    Labels
    """
    samples = list(samples)
    source, per_sample, order = _per_sample(labels, samples, obs, label_col, sample_col)
    found = list(dict.fromkeys(order or per_sample))
    if classes is None:
        if len(found) != 2:
            shown = ", ".join(repr(c) for c in found[:6]) + (", ..." if len(found) > 6 else "")
            raise RankingError(
                f"{source}: {len(found)} class(es) ({shown}); the comparison needs two: choose them with ",
                Advice("classes", tuple(found[:2]) if len(found) >= 2 else ("A", "B")),
            )
        a, b = found
    else:
        a, b = (str(c) for c in classes)
        for c in (a, b):
            if c not in found:
                raise RankingError(f"{source}: no sample has the class {c!r} (classes: {', '.join(map(repr, found))})")
        if a == b:
            raise RankingError(f"{source}: the two classes to compare are both {a!r}")
    values = np.array(per_sample, dtype=object)
    keep = (values == a) | (values == b)
    return Labels((a, b), values[keep] == a, keep, source)


def read_groups(labels, samples: Sequence[str], *, obs=None, label_col=None, sample_col=None) -> tuple[str, list[str]]:
    """Each sample's group, any number of groups, from what `read_labels`
    takes: where they came from and one label per sample, in `samples`' order."""
    source, per_sample, _ = _per_sample(labels, list(samples), obs, label_col, sample_col)
    return source, per_sample


def _per_sample(labels, samples, obs, label_col, sample_col) -> tuple[str, list[str], list[str] | None]:
    """(source, one label per sample, the classes' declared order or None)."""
    if isinstance(labels, (str, os.PathLike)):
        if isinstance(labels, str) and obs is not None and labels in obs.columns:
            return f"obs column {labels!r}", _by_position(obs[labels].tolist(), samples, labels), None
        if isinstance(labels, str) and not os.path.exists(labels) and labels != "-":
            where = f"not a column of obs ({', '.join(map(repr, obs.columns[:8]))}) and " if obs is not None else ""
            raise RankingError(f"labels {labels!r}: {where}no such file")
        return _from_file(labels, samples, label_col, sample_col)
    if isinstance(labels, Mapping):
        return "the labels", _by_name(dict(labels), samples, "the labels"), None
    if hasattr(labels, "iloc") and all(isinstance(i, str) for i in labels.index):  # a Series by sample name
        return "the labels", _by_name(dict(zip(labels.index, labels)), samples, "the labels"), None
    return "the labels", _by_position(list(labels), samples, "the labels"), None


def _text(label: Any, source: str, where: str) -> str:
    if label is None or (isinstance(label, float) and label != label) or is_missing(str(label)):
        raise RankingError(f"{source}: {where} has no label")
    return str(label).strip()


def _by_position(labels: list, samples: list[str], source: str) -> list[str]:
    if len(labels) != len(samples):
        raise RankingError(f"{source}: {len(labels)} labels for {len(samples)} samples; give one label per sample")
    return [_text(v, source, f"sample {s!r}") for v, s in zip(labels, samples)]


def _by_name(labels: dict, samples: list[str], source: str) -> list[str]:
    names = {str(k): v for k, v in labels.items()}
    missing = [s for s in samples if s not in names]
    if missing:
        shown = ", ".join(map(repr, missing[:5])) + (", ..." if len(missing) > 5 else "")
        raise RankingError(f"{source}: {len(missing)} sample(s) of the matrix have no label ({shown})")
    extra = [k for k in names if k not in set(samples)]
    if extra:
        shown = ", ".join(map(repr, extra[:5])) + (", ..." if len(extra) > 5 else "")
        raise RankingError(f"{source}: {len(extra)} label(s) name no sample of the matrix ({shown})")
    return [_text(names[s], source, f"sample {s!r}") for s in samples]


def _from_file(path, samples, label_col, sample_col) -> tuple[str, list[str], list[str] | None]:
    source = read_source(path if path == "-" else os.fspath(path))
    lines = [ln for ln in source.text.splitlines() if ln.strip()]
    if len(lines) >= 3 and lines[1].lstrip().startswith("#") and _is_cls_sizes(lines[0]):
        return _cls(source.name, lines, samples)
    if label_col is None:
        raise RankingError(
            f"{source.name}: a sample sheet needs the column of the classes: name it with ",
            Advice("label_col", "group"),
        )
    table = parse_table(source, header=True)
    sample_i = _column(table.columns, sample_col, source.name) if sample_col is not None else 0
    label_i = _column(table.columns, label_col, source.name)
    pairs = {}
    for line, fields in table.rows:
        name = fields[sample_i].strip()
        if is_missing_name(name):
            raise RankingError(f"{source.name}, line {line}: no sample name in {table.label(sample_i)}")
        if name in pairs:
            raise RankingError(f"{source.name}, line {line}: sample {name!r} is listed twice")
        pairs[name] = fields[label_i]
    return source.name, _by_name(pairs, samples, source.name), None


def _column(columns, choice, source: str) -> int:
    if isinstance(choice, int):
        if not 0 <= choice < len(columns):
            raise RankingError(f"{source}: no column {choice} (the table has {len(columns)})")
        return choice
    if choice not in columns:
        shown = ", ".join(repr(c) for c in columns if c is not None)
        raise RankingError(f"{source}: no column {choice!r} (columns: {shown})")
    return columns.index(choice)


def _is_cls_sizes(line: str) -> bool:
    parts = line.split()
    return len(parts) == 3 and all(p.isdigit() for p in parts)


def _cls(source: str, lines: list[str], samples: list[str]) -> tuple[str, list[str], list[str]]:
    """The categorical CLS format: ``n k 1``; ``# A B``; n labels, names or
    0-based class numbers, separated by blanks or tabs."""
    n, k, _ = (int(p) for p in lines[0].split())
    names = lines[1].lstrip()[1:].split()
    if lines[1].lstrip().lower().startswith("#numeric"):
        raise RankingError(f"{source}: a continuous (#numeric) CLS file; the comparison needs two classes")
    values = lines[2].split()
    if len(names) != k:
        raise RankingError(f"{source}, line 2: {len(names)} class names, but line 1 announces {k}")
    if len(values) != n:
        raise RankingError(f"{source}, line 3: {len(values)} labels, but line 1 announces {n} samples")
    if all(v.isdigit() for v in values) and not set(values) & set(names):
        if any(int(v) >= k for v in values):
            raise RankingError(f"{source}, line 3: class numbers must lie in 0..{k - 1}")
        values = [names[int(v)] for v in values]
    unknown = sorted(set(values) - set(names))
    if unknown:
        raise RankingError(f"{source}, line 3: label(s) {', '.join(map(repr, unknown))} not among the class names")
    return source, _by_position(values, samples, source), [n for n in names if n in set(values)]
