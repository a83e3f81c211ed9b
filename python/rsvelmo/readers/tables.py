"""Reading a text table exactly as the tools that wrote it meant it.

A file is read once, whole (so that a pipe, ``/dev/stdin`` or ``-`` loses
nothing) but within bounds (``MAX_BYTES``, ``MAX_LINE``), checked to be
text, and split by the ``csv`` module in the one
dialect that gives every line the same number of fields: tab, ``;`` (with
decimal commas, as R's ``write.csv2`` and Excel in many locales write), comma
or runs of blanks (R's ``write.table`` default). R's row-name convention, a
header one field shorter than the rows (``write.table``) or starting with an
empty name (``write.csv``, ``col.names = NA``, pandas' ``to_csv``), makes the
first field of each row its row name. Whatever cannot be read with certainty
is refused, saying what was found; so is a quote that would join lines
into one cell.
"""

from __future__ import annotations

import csv
import gzip
import hashlib
import io
import re
import sys
import zlib
from collections import Counter
from dataclasses import dataclass

from .._errors import RankingError

__all__ = [
    "Source",
    "Table",
    "read_source",
    "parse_table",
    "is_number",
    "is_missing",
    "is_missing_name",
    "MISSING_CELLS",
    "shown_columns",
]

# Cells that mean "no value" in the tables R, pandas and spreadsheets write
# (of names, only those that could never be a gene's).
MISSING_CELLS = frozenset({"", "na", "nan", "n/a", "null", "none", "#n/a"})
MISSING_NAMES = frozenset({"", "na", "nan", "n/a", "#n/a"})
# Dialects in the order they are preferred when several fit.
DIALECTS = (("\t", "tab"), (";", "semicolon"), (",", "comma"), (" ", "whitespace"))
SAMPLE_ROWS = 200
# Bounds on what is read, so that /dev/zero, a stream without end or a file
# without line breaks is refused in one line instead of filling the memory.
# 1 GiB: a ranking is a few MB, a matrix of 60,000 genes by 1,000 samples a
# few hundred; more is not a table of genes.
MAX_BYTES = 1 << 30
# 16 MiB: the header of a matrix of a million samples fits; longer lines come
# from files without line breaks (binary data, one-line dumps).
MAX_LINE = 1 << 24
# 128 KiB (the csv module's own limit): no gene name or score comes near it.
MAX_FIELD = 131072
BLOCK = 1 << 20  # read in blocks of 1 MiB, checked as they come
SHOWN_COLUMNS = 10  # column names listed in a message before "and N more"
_DECIMAL_COMMA = re.compile(r"^[-+]?\d+,\d+(?:[eE][-+]?\d+)?$")


@dataclass(frozen=True)
class Source:
    """The bytes of an input file as read once: ``name`` as given for
    messages, ``text`` decoded, ``size`` and ``sha256`` of the bytes read."""

    name: str
    text: str
    size: int
    sha256: str
    compressed: bool


@dataclass(frozen=True)
class Table:
    """A parsed table. ``rows`` are (line number, fields); ``columns`` names
    each field of a row (``None`` for the row names of an R table, positions
    as text when there is no header)."""

    source: Source
    dialect: str
    decimal: str
    header: bool
    row_names: bool
    columns: list[str | None]
    rows: list[tuple[int, list[str]]]

    def label(self, i: int) -> str:
        """How column `i` is named to the user: 'the row names', "column 't' (3rd of 6)", 'column 2'."""
        if self.row_names and i == 0:
            return "the row names"
        if not self.header:
            return f"column {i + 1}"
        named = self.columns[1:] if self.row_names else self.columns
        position = i - (1 if self.row_names else 0)
        return f"column {self.columns[i]!r} ({_ordinal(position + 1)} of {len(named)})"


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def shown_columns(names) -> str:
    """Column names for a message, the first few and how many more."""
    names = [repr(c) for c in names if c is not None]
    shown = ", ".join(names[:SHOWN_COLUMNS])
    more = len(names) - SHOWN_COLUMNS
    return shown + (f" and {more:,} more" if more > 0 else "")


def is_number(text: str, decimal: str = ".") -> bool:
    try:
        float(text.replace(",", ".") if decimal == "," else text)
    except ValueError:
        return False
    return True


def is_missing(text: str) -> bool:
    return text.strip().lower() in MISSING_CELLS


def is_missing_name(text: str) -> bool:
    return text.strip().lower() in MISSING_NAMES


class _Bounded:
    """Bytes as they arrive, refused once the whole exceeds MAX_BYTES or a
    line MAX_LINE, and at once if they start like no text table."""

    def __init__(self, name: str, what: str = ""):
        self.name, self.what = name, what
        self.data = bytearray()
        self.line = 0  # bytes since the last line break
        self.lines = 1

    def feed(self, block: bytes) -> None:
        if not self.data:
            _refuse_binary(block, self.name)
        if len(self.data) < 65536 and b"\x00" in block[: 65536 - len(self.data)]:
            raise RankingError(f"{self.name}: this is a binary file, not a text table")
        if len(self.data) + len(block) > MAX_BYTES:
            raise RankingError(f"{self.name}: more than {_amount(MAX_BYTES)}{self.what}; a table of genes is "
                               "far smaller: is this the right file?")  # fmt: skip
        breaks = block.count(b"\n")
        if breaks:
            self._line(self.line + block.index(b"\n"))
            self.line = len(block) - block.rindex(b"\n") - 1
            self.lines += breaks
        else:
            self.line += len(block)
        self._line(self.line)  # the lines between two breaks of one block are at most BLOCK long
        self.data += block

    def _line(self, length: int) -> None:
        if length > MAX_LINE:
            raise RankingError(f"{self.name}, line {self.lines}: longer than {_amount(MAX_LINE)} without a line "
                               "break; this is not a table of genes")  # fmt: skip


def _amount(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift:
            return f"{size / (1 << shift):g} {unit}"
    return f"{size} bytes"


def _refuse_binary(data: bytes, name: str) -> None:
    if data.startswith(b"PK\x03\x04"):
        raise RankingError(
            f"{name}: this is an Excel workbook or a zip archive, not a text table; save the sheet as CSV or TSV"
        )
    if data.startswith(b"\xd0\xcf\x11\xe0"):
        raise RankingError(f"{name}: this is an old Excel (.xls) workbook, not a text table; save the sheet as CSV")
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise RankingError(f"{name}: this file is UTF-16 text; save it as UTF-8 (CSV UTF-8 in Excel)")


def _read_bounded(stream, name: str) -> tuple[bytes | bytearray, int, str, bool]:
    """The bytes of a stream (decompressed if gzip), the size and SHA-256 of
    what was read, and whether it was compressed."""
    digest, raw, compressed = hashlib.sha256(), bytearray(), None
    text = _Bounded(name)
    while block := stream.read(BLOCK):
        digest.update(block)
        if compressed is None:
            compressed = block.startswith(b"\x1f\x8b")
        if compressed:
            if len(raw) + len(block) > MAX_BYTES:
                raise RankingError(f"{name}: more than {_amount(MAX_BYTES)}; a table of genes is far smaller")
            raw += block
        else:
            text.feed(block)
    if not compressed:
        return text.data, len(text.data), digest.hexdigest(), False
    unpacked = _Bounded(name, " uncompressed")
    try:
        with gzip.GzipFile(fileobj=io.BytesIO(raw)) as f:
            while block := f.read(BLOCK):
                unpacked.feed(block)
    except (OSError, EOFError, zlib.error):
        raise RankingError(f"{name}: the gzip data is damaged or cut short") from None
    return unpacked.data, len(raw), digest.hexdigest(), True


def read_source(path) -> Source:
    """Read a file (``-``: standard input) once, decompress gzip by its
    content and refuse what is not UTF-8 text, saying what it is; a file,
    a line or a cell beyond generous bounds (MAX_BYTES, MAX_LINE,
    MAX_FIELD) is refused as soon as it is seen."""
    if path == "-":
        name = "<stdin>"
        data, size, digest, compressed = _read_bounded(sys.stdin.buffer, name)
    else:
        name = str(path)
        with open(path, "rb") as f:
            data, size, digest, compressed = _read_bounded(f, name)
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise RankingError(
            f"{name}: not UTF-8 text ({e.reason} at byte {e.start}); save it as UTF-8 (CSV UTF-8 in Excel)"
        ) from None
    return Source(name, text, size, digest, compressed)


def _stray_quote(message: str) -> RankingError:
    """The refusal of a quote that joins lines or cells no tool would have
    joined: marked, so that no other way of splitting the file hides it."""
    error = RankingError(message)
    error.stray_quote = True
    return error


def _split(text: str, delimiter: str, name: str, limit: int | None = None) -> list[tuple[int, list[str]]]:
    """(line number, fields) of the rows that are not blank or ``#`` comments.

    A quoted cell may hold a separator but never a line break or, in a tab
    table, a tab: no gene name or score does, and a stray quote makes one
    of the lines up to the next quote (which ``csv`` would join silently)."""
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, skipinitialspace=delimiter == " ")
    quoted = '"' in text  # without quotes every row is one line and no cell holds a separator
    rows, start = [], 1
    try:
        for fields in reader:
            if quoted:
                _check_quotes(fields, start, reader.line_num, delimiter, name)
            start = reader.line_num + 1
            if delimiter == " ":
                while fields and fields[-1] == "":  # blanks at the end of a line
                    fields.pop()
            if not fields or all(not f.strip() for f in fields) or fields[0].lstrip().startswith("#"):
                continue
            rows.append((reader.line_num, fields))
            if limit is not None and len(rows) >= limit:
                break
    except csv.Error as e:
        if reader.line_num > start:
            raise _stray_quote(f"{name}, line {start}: a quote (\") opens a cell that has not closed by line "
                               f"{reader.line_num}; remove the stray quote") from None  # fmt: skip
        if "field limit" in str(e):
            raise RankingError(f"{name}, line {reader.line_num}: a cell longer than {_amount(MAX_FIELD)}; no "
                               "gene name or score is that long") from None  # fmt: skip
        raise RankingError(f"{name}, line {reader.line_num}: {e}") from None
    return rows


def _check_quotes(fields: list[str], start: int, end: int, delimiter: str, name: str) -> None:
    if end > start:
        raise _stray_quote(f"{name}, line {start}: a quote (\") opens a cell that runs on to line {end}; "
                           "no gene name or score holds a line break: remove the stray quote")  # fmt: skip
    if delimiter == "\t":
        cell = next((f for f in fields if "\t" in f), None)
        if cell is not None:
            raise _stray_quote(f"{name}, line {start}: the quoted cell {cell[:40]!r} holds a tab; no gene name "
                               "or score does: remove the stray quotes")  # fmt: skip


def _fits(rows: list[tuple[int, list[str]]]) -> int | None:
    """The width of the data rows if every row has it (the first may have
    one field less: R's header beside row names), with at least two fields."""
    if len(rows) < 1:
        return None
    widths = {len(f) for _, f in rows[1:]} or {len(rows[0][1])}
    if len(widths) != 1:
        return None
    width = widths.pop()
    if width < 2 or len(rows[0][1]) not in (width, width - 1):
        return None
    return width


def _choose_dialect(source: Source) -> tuple[str, str]:
    fitting, refused = [], []
    for delimiter, name in DIALECTS:
        try:
            sample = _split(source.text, delimiter, source.name, SAMPLE_ROWS)
        except RankingError as e:
            if getattr(e, "stray_quote", False):
                refused.append(e)
            continue
        width = _fits(sample)
        if width is not None:
            fitting.append((delimiter, name, width, sample))
    if not fitting:
        # A stray quote spoils every dialect: say where it is.
        raise refused[0] if refused else _no_dialect(source)
    if len(fitting) > 1 and fitting[0][0] == ";" and fitting[1][0] == ",":
        # Decimal commas split a ';' table into commas too; a comma table
        # with a ';' outside quotes on every line is not written by any tool.
        semicolon, comma = fitting[0], fitting[1]
        if comma[2] > semicolon[2] and not any(_DECIMAL_COMMA.match(c) for _, f in semicolon[3] for c in f):
            fitting.pop(0)
    delimiter, name, _, _ = fitting[0]
    return delimiter, name


def _no_dialect(source: Source) -> RankingError:
    rows = _split(source.text, "\t", source.name, SAMPLE_ROWS)
    if not rows:
        return RankingError(f"{source.name}: the file holds no table (no data rows)")
    if all(len(f) == 1 for _, f in rows):
        for delimiter, _ in DIALECTS[1:]:
            widths = {len(f) for _, f in _split(source.text, delimiter, source.name, SAMPLE_ROWS)}
            if len(widths) > 1:
                break
        else:
            return RankingError(
                f"{source.name}, line {rows[0][0]}: found one column; a ranking needs two (gene, score), "
                "separated by tabs, commas, semicolons or blanks"
            )
    widths = [(n, len(f)) for n, f in rows]
    if len(rows) > 1 and max(w for _, w in widths) >= 3 and not any(is_number(c) for _, f in rows for c in f[1:]):
        return RankingError(
            f"{source.name}: this looks like a GMT file of gene sets (name, description, genes), not a "
            "ranking; give the ranking first and the gene sets second"
        )
    # A separator that fits most lines: some line lacks a cell or holds a stray separator.
    for delimiter, name in DIALECTS:
        sample = _split(source.text, delimiter, source.name, SAMPLE_ROWS)
        width, count = Counter(len(f) for _, f in sample).most_common(1)[0]
        if width >= 2 and count * 2 >= len(sample):
            line, fields = next(
                (n, f) for i, (n, f) in enumerate(sample) if len(f) != width and (i or len(f) != width - 1)
            )
            return RankingError(
                f"{source.name}, line {line}: {len(fields)} {name}-separated field(s), but {width} on most lines; "
                "is a cell missing, or a separator inside a value?"
            )
    first, *rest = widths
    odd = next(((n, w) for n, w in rest if w != (rest[0][1] if rest else first[1])), None)
    shown = f"line {first[0]} has {first[1]} tab-separated fields"
    if odd is not None:
        shown += f", line {rest[0][0]} has {rest[0][1]}, line {odd[0]} has {odd[1]}"
    return RankingError(
        f"{source.name}: cannot tell the columns apart: no separator (tab, ';', ',', blanks) gives every line "
        f"the same number of fields ({shown}); save it as a tab- or comma-separated table"
    )


def _is_header(first: list[str], second: list[str] | None, decimal: str) -> bool:
    if second is None:
        return not any(is_number(c, decimal) for c in first[1:])
    # The first column holds names (genes may be numbers, Entrez IDs): only the others tell.
    pairs = zip(first[1:], second[1:])
    return any(is_number(b, decimal) and not is_number(a, decimal) and not is_missing(a) for a, b in pairs)


def parse_table(source: Source, *, header: bool | None = None) -> Table:
    """Split a source into rows of equal width, finding the dialect, the
    header (``header=None``: a first row whose cells are words above numbers)
    and R's row names; a row of another width is refused, naming its line."""
    delimiter, dialect = _choose_dialect(source)
    decimal = "," if delimiter == ";" else "."
    rows = _split(source.text, delimiter, source.name)
    if not rows:
        raise RankingError(f"{source.name}: the file holds no table (no data rows)")
    width = len(rows[1][1]) if len(rows) > 1 else len(rows[0][1])
    first = rows[0][1]
    short_header = len(first) == width - 1
    if header is None:
        header = short_header or _is_header(first, rows[1][1] if len(rows) > 1 else None, decimal)
    row_names = False
    columns: list[str | None] = [str(i) for i in range(width)]
    if header:
        names = [c.strip() for c in first]
        if short_header:
            names = [None, *names]
            row_names = True
        elif names[0] == "":
            names[0] = None
            row_names = True
        columns = names
        rows = rows[1:]
    elif short_header:
        raise RankingError(f"{source.name}, line {rows[0][0]}: {len(first)} fields, but {width} on the next lines")
    for line, fields in rows:
        if len(fields) != width:
            raise RankingError(
                f"{source.name}, line {line}: {len(fields)} {dialect}-separated fields, but "
                f"{width} on the other lines; is a cell missing, or a separator inside a value?"
            )
    return Table(source, dialect, decimal, header, row_names, columns, rows)
