"""Writing outputs: whole files or none, only where the tool wrote before, and
the record of how they were made.

An output folder's ``run.json`` lists, under ``outputs``, every file a run
wrote there. A later run replaces or removes only those; any other file in
the way of an output (a ``plots/summary.png`` or a ``report.html`` of the
user's) stops the run before anything is written, naming the file.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import platform
import stat
import sys
import tempfile
from typing import Any, Iterable, Mapping, Sequence

from ._version import __version__

__all__ = ["OutputError", "OutputFolder", "atomic_output", "file_record", "provenance"]

MANIFEST = "run.json"
TEMPORARY_PREFIX = ".rsvelmo-"


class OutputError(ValueError):
    """An output folder the run must not write into as it stands."""


@contextlib.contextmanager
def atomic_output(path, mode: str = "w"):
    """Yield a temporary file next to `path` that replaces `path` only once
    it is complete: a failure (a full disk, Ctrl-C) leaves the previous file
    or none, never half of one."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=TEMPORARY_PREFIX, suffix=".part", dir=folder)
    try:
        os.chmod(temporary, 0o666 & ~_umask())  # mkstemp makes it private; outputs are ordinary files
        text = {"encoding": "utf-8", "newline": "\n"} if "b" not in mode else {}
        with os.fdopen(fd, mode, **text) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_json(path: str, record: Mapping[str, Any]) -> None:
    with atomic_output(path) as f:
        json.dump(record, f, indent=2)
        f.write("\n")


class OutputFolder:
    """The folder of one run's outputs, named relative to it (``plots/summary.png``)."""

    def __init__(self, path):
        self.path = os.fspath(path)
        if os.path.exists(self.path) and not os.path.isdir(self.path):
            raise OutputError(f"{self.path} is a file, not a folder; give -o a folder for the outputs")
        self.previous = self._manifest()

    def _manifest(self) -> set[str]:
        path = os.path.join(self.path, MANIFEST)
        if not os.path.lexists(path):
            return set()
        try:
            with open(path, encoding="utf-8") as f:
                record = json.load(f)
            outputs = record["outputs"] if "rsvelmo_version" in record else None
        except (OSError, ValueError, KeyError, TypeError):
            outputs = None
        if not isinstance(outputs, list) or not all(isinstance(o, str) for o in outputs):
            raise OutputError(
                f"{path} was not written by this version of rsvelmo, so the files beside it may not be its "
                "own; choose another folder with -o, or remove that folder's earlier outputs"
            )
        # Names that leave the folder are no outputs of ours, whatever a manifest says.
        return {o for o in outputs if not os.path.isabs(o) and ".." not in o.split("/")}

    def file(self, name: str) -> str:
        return os.path.join(self.path, *name.split("/"))

    def claim(self, outputs: Iterable[str]) -> None:
        """Check that every output can be written without touching a file
        that no earlier run wrote, then record the claim in ``run.json``, so
        that a run stopped halfway still owns what it wrote."""
        outputs = sorted(set(outputs))
        for name in outputs:
            parts = name.split("/")
            for depth in range(1, len(parts)):
                folder = self.file("/".join(parts[:depth]))
                if os.path.lexists(folder) and not os.path.isdir(folder):
                    raise OutputError(f"{folder} is in the way of the output folder {'/'.join(parts[:depth])}/; "
                                      "move it away or choose another folder with -o")  # fmt: skip
            target = self.file(name)
            if os.path.lexists(target) and (name not in self.previous or not stat.S_ISREG(os.lstat(target).st_mode)):
                raise OutputError(
                    f"{target} exists and was not written by an earlier run; rsvelmo leaves it alone: move it "
                    "away or choose another folder with -o"
                )
        os.makedirs(self.path, exist_ok=True)
        for entry in os.listdir(self.path):  # what an interrupted run of ours left half-written
            if entry.startswith(TEMPORARY_PREFIX) and entry.endswith(".part"):
                os.unlink(os.path.join(self.path, entry))
        self._claimed = outputs
        _write_json(self.file(MANIFEST), {"rsvelmo_version": __version__, "complete": False,
                                          "outputs": sorted(self.previous | set(outputs) | {MANIFEST})})  # fmt: skip
        for name in sorted(self.previous - set(outputs) - {MANIFEST}):
            self._remove(name)

    def _remove(self, name: str) -> None:
        """Remove an earlier run's output that this run does not write again,
        and the folders it leaves empty."""
        target = self.file(name)
        if os.path.isfile(target) and not os.path.islink(target):
            os.unlink(target)
        parts = name.split("/")[:-1]
        while parts:
            folder = self.file("/".join(parts))
            with contextlib.suppress(OSError):  # not empty, or not there
                os.rmdir(folder)
            parts.pop()

    def write(self, outputs: Mapping[str, Any]) -> None:
        """Claim every output (see :meth:`claim`), then write each: ``outputs``
        maps a name in the folder to the function that writes that file."""
        self.claim(outputs)
        for name, write in outputs.items():
            target = self.file(name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            write(target)

    def finish(self, record: Mapping[str, Any]) -> None:
        """Write ``run.json``: the record of the run and the list of its outputs."""
        _write_json(self.file(MANIFEST), {**record, "complete": True, "outputs": [*self._claimed, MANIFEST]})


def file_record(path, size: int | None = None, sha256: str | None = None) -> dict[str, Any]:
    """Path, size and SHA-256 of an input file; a file that was read from a
    pipe is described by what was read, never opened again."""
    if sha256 is None:
        if path == "-" or not os.path.isfile(path):
            return {"path": path if path == "-" else os.path.abspath(path), "bytes": None, "sha256": None}
        digest = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        size, sha256 = os.path.getsize(path), digest.hexdigest()
    shown = path if path in ("-", "<stdin>") else os.path.abspath(path)
    return {"path": shown, "bytes": size, "sha256": sha256}


def provenance(
    *,
    settings: Mapping[str, Any],
    engine: Mapping[str, Any] | None = None,
    inputs: Sequence[Mapping[str, Any]],
    rankings: Mapping[str, Mapping[str, Any]],
    seconds: float,
    argv: Sequence[str] | None = None,
    extra: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """What run.json records: the version, the full settings (as given, and as
    passed to ``rsvelmopy.run_gsea``) and seed, the command line, each input
    file, what was read from each ranking and how many of its genes were
    analysed and found in the gene sets, the time taken and the platform;
    `extra` adds what an analysis has to say of its own (ORA: the universe)."""
    return {
        "rsvelmo_version": __version__,
        "command": list(sys.argv if argv is None else argv),
        "settings": dict(settings),
        "engine_options": dict(engine or {}),
        "seed": settings.get("seed"),
        "inputs": list(inputs),
        "rankings": {name: dict(facts) for name, facts in rankings.items()},
        "seconds": round(seconds, 3),
        "platform": {
            "python": sys.version.split()[0],
            "implementation": platform.python_implementation(),
            "system": platform.platform(),
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
        },
        **(extra or {}),
    }
