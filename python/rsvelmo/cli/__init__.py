"""The command line: the parser (``main``) and one module per command."""

from .main import build_parser, main

__all__ = ["build_parser", "main"]
