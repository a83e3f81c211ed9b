"""The HTML report of a results table."""

from .report import report

__all__ = ["report"]
