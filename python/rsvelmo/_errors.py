"""The errors and warnings about users' input.

Their messages may advise an option (``duplicates='first'``); a message is
kept as its parts, text and :class:`Advice`, so that the Python API and the
command line each show their own spelling (``--duplicates first``) of it.
"""

from __future__ import annotations

import warnings
from typing import Any

from ._engine import RankingWarning
from ._options import spell

__all__ = ["RankingError", "RankingWarning", "Advice", "render", "warn"]


class Advice:
    """An option to mention in a message, with the value to give it (or none)."""

    def __init__(self, option: str, *value: Any):
        self.option, self.value = option, value

    def text(self, style: str) -> str:
        return spell(self.option, *self.value, style=style)


def _join(parts: tuple, style: str) -> str:
    return "".join(p.text(style) if isinstance(p, Advice) else str(p) for p in parts)


class RankingError(ValueError):
    """A ranking file or object that cannot be analysed as it stands.

    The message names the file (and line) and says what to do; ``render('cli')``
    gives it in the command line's spelling of the options it advises.
    """

    def __init__(self, *parts: Any):
        super().__init__(_join(parts, "python"))
        self.parts = parts

    def render(self, style: str = "python") -> str:
        return _join(self.parts, style)


def warn(*parts: Any, stacklevel: int = 2) -> None:
    """Warn with a :class:`RankingWarning` whose options are spelled like :class:`RankingError`'s."""
    warning = RankingWarning(_join(parts, "python"))
    warning.parts = parts
    warnings.warn(warning, stacklevel=stacklevel + 1)


def render(error: BaseException | Warning, style: str) -> str:
    """The message of an error or warning in the given spelling of options."""
    if isinstance(error, RankingError):
        return error.render(style)
    if getattr(error, "parts", None) is not None:
        return _join(error.parts, style)
    if hasattr(error, "option") and hasattr(error, "render"):
        return error.render(style)
    return str(error)
