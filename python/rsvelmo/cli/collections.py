"""``rsvelmo collections``: the gene-set collections shipped with rsvelmo."""

from __future__ import annotations

__all__ = ["add_parser"]


def add_parser(commands) -> None:
    command = commands.add_parser(
        "collections",
        help="list the gene-set collections shipped with rsvelmo (give a name where GENE_SETS is expected)",
        description="The gene-set collections shipped with rsvelmo: name, size, release and licence.",
    )
    command.set_defaults(handler=command_of)


def command_of(args) -> int:
    from ..readers.gene_sets import collections

    for row in collections().to_dict("records"):
        print(f"{row['name']}\t{row['gene_sets']:,} gene sets, {row['genes']:,} genes (sizes {row['sizes']})\t"
              f"{row['title']}; {row['release']}; {row['licence']}")  # fmt: skip
    return 0
