"""Prints the size of the tests against the size of the code they test:
lines that are neither blank nor comments, in src/, pymodule/ and python/
against tests/. We aim for a quarter to a third."""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SUFFIXES = {".cpp", ".hpp", ".py", ".j2"}
GENERATED = {"bindings_lower_table.inc"}


def lines_of(folder: str) -> int:
    count = 0
    for path in sorted((ROOT / folder).rglob("*")):
        if path.suffix not in SUFFIXES or path.name in GENERATED or not path.is_file():
            continue
        for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
            text = line.strip()
            if text and not text.startswith(("//", "#")):
                count += 1
    return count


def main() -> int:
    code = sum(lines_of(folder) for folder in ("src", "pymodule", "python"))
    tests = lines_of("tests")
    print(f"test-to-code ratio: {tests} test lines / {code} code lines = {tests / code:.2f} (aim: 0.25 to 0.33)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
