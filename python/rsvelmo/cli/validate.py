"""``rsvelmo validate``: the evidence that the p-values are right, rerun."""

from __future__ import annotations

__all__ = ["add_parser"]


def add_parser(commands) -> None:
    command = commands.add_parser(
        "validate",
        help="check the p-values against exact tails, the calls against many permutations and the threads "
        "against each other (about half a minute on an idle machine, --quick: ten seconds; exit status 1 when a "
        "check fails)",
        description="Runs the checks of rsvelmo.validate (see help(rsvelmo.validate)) and prints a table: about "
        "half a minute on an idle machine (--quick: ten seconds), longer on a busy one.",
    )
    command.add_argument("--quick", action="store_true", help="fewer seeds and permutations (seconds)")
    command.add_argument("--json", metavar="FILE", help="also write the measurements as JSON")
    command.set_defaults(handler=command_of)


def command_of(args) -> int:
    from ..analyses.validation import validate

    return 0 if validate(quick=args.quick, json_path=args.json)["passed"] else 1
