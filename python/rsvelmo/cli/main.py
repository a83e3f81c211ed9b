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


class _Intermixed(argparse.ArgumentParser):
    """A command's parser that takes options between its positionals
    (``rsvelmo run FILE --score-col t GMT -o OUT``), as argparse's
    parse_intermixed_args does; the top-level parser, with its commands,
    cannot be parsed that way itself."""

    _inside = False

    def parse_known_args(self, args=None, namespace=None):
        if self._inside:  # parse_known_intermixed_args calls back here
            return super().parse_known_args(args, namespace)
        self._inside = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._inside = False


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rsvelmo", description=run.DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"rsvelmo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Intermixed)
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
    except ChildProcessError as e:  # not the input's fault: exit status 1
        print(f"rsvelmo: error: {e}", file=sys.stderr)
        return 1
    except (UserError, OutputError, OSError, ValueError, TypeError, OverflowError, ImportError) as e:
        print(f"rsvelmo: error: {render(e, 'cli')}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("rsvelmo: interrupted; no results written", file=sys.stderr)
        return 130
    finally:
        warnings.showwarning = previous
