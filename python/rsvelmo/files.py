"""Writing outputs safely, and the record of how they were made."""

from __future__ import annotations

import contextlib
import hashlib
import os
import platform
import sys
import tempfile
from typing import Any, Mapping, Sequence

__all__ = ["atomic_output", "file_record", "provenance"]


@contextlib.contextmanager
def atomic_output(path, mode: str = "w"):
    """Yield a temporary file next to `path` that replaces `path` only once
    it is complete: a failure (a full disk, Ctrl-C) leaves the previous file
    or none, never half of one."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".rsvelmo-", suffix=".part", dir=folder)
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


def file_record(path) -> dict[str, Any]:
    """Path, size and SHA-256 of an input file."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return {"path": os.path.abspath(path), "bytes": os.path.getsize(path), "sha256": digest.hexdigest()}


def provenance(
    *,
    settings: Mapping[str, Any],
    engine: Mapping[str, Any] | None = None,
    inputs: Sequence[str],
    genes: Mapping[str, Mapping[str, int]],
    seconds: float,
    argv: Sequence[str] | None = None,
) -> dict[str, Any]:
    """What run.json records: the version, the full settings (as given, and as
    passed to ``rsvelmopy.run_gsea``) and seed, the
    command line, each input file, the genes read and matched per ranking,
    the time taken and the platform."""
    from . import __version__

    return {
        "rsvelmo_version": __version__,
        "command": list(sys.argv if argv is None else argv),
        "settings": dict(settings),
        "engine_options": dict(engine or {}),
        "seed": settings.get("seed"),
        "inputs": [file_record(p) for p in inputs],
        "genes": {name: dict(counts) for name, counts in genes.items()},
        "seconds": round(seconds, 3),
        "platform": {
            "python": sys.version.split()[0],
            "implementation": platform.python_implementation(),
            "system": platform.platform(),
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
        },
    }
