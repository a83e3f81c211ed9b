"""The rsvelmo command line: the parser of every command, and the one place
where errors and warnings reach the user."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Sequence

from .._errors import render
from .._outputs import OutputError
from .._version import __version__
from . import collections, ora, phenotype, redraw, run, score, validate
from .outputs import UserError

__all__ = ["build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rsvelmo", description=run.DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"rsvelmo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run.add_parser(commands)
    phenotype.add_parser(commands)
    ora.add_parser(commands)
    score.add_parser(commands)
    redraw.add_parsers(commands)
    validate.add_parser(commands)
    collections.add_parser(commands)
    return parser


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"rsvelmo: warning: {render(message, 'cli')}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    previous = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return args.handler(args)
    except (UserError, OutputError, OSError, ValueError, TypeError, OverflowError, ImportError) as e:
        print(f"rsvelmo: error: {render(e, 'cli')}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("rsvelmo: interrupted; no results written", file=sys.stderr)
        return 130
    finally:
        warnings.showwarning = previous
