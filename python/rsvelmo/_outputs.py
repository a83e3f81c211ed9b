"""Writing outputs: all of a run's files or none, only where the tool wrote
before, one run at a time, and the record of how they were made.

An output folder's ``run.json`` lists, under ``outputs``, the path (relative
to the folder), size and SHA-256 of every file a run wrote there. A later run
replaces or removes a file only if it is a regular file inside the folder
(no absolute name, no ``..``, no symbolic link on the way) whose bytes are
still those recorded. Any other file in the way of an output (a
``plots/summary.png`` or a ``report.html`` of the user's, a table the user
edited after a run wrote it) stops the run before anything is written,
naming the file: writing beside it would leave a folder whose tables and
figures disagree, under names no script expects.

A run first writes every output into a temporary ``.rsvelmo-*.part`` file
beside its target, then commits them: ``run.json`` listing the old and the
new files, each renamed into place, the earlier outputs this run does not
write removed, and the final ``run.json``. An interrupt or a full disk
before the commit leaves the folder as it was; one during the commit is
reported naming the files written, and ``run.json`` still owns them all.

A lock on ``.rsvelmo.lock`` inside the folder (``flock``, which the kernel
drops when its process ends, ``kill -9`` included) keeps a second run out
while one is writing; the second is refused at once, saying so.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import platform
import re
import stat
import sys
import tempfile
import warnings
import weakref
from typing import Any, Callable, Iterable, Mapping, Sequence

try:
    import fcntl
except ImportError:  # Windows: no flock; the folder is not locked there
    fcntl = None  # type: ignore[assignment]

from ._version import __version__

__all__ = ["OutputError", "OutputWarning", "OutputFolder", "atomic_output", "file_record", "provenance"]

MANIFEST = "run.json"
LOCK = ".rsvelmo.lock"
TEMPORARY_PREFIX = ".rsvelmo-"
# What tempfile names with TEMPORARY_PREFIX and ".part" (and earlier versions
# wrote): only these are taken for temporary files of ours.
TEMPORARY = re.compile(r"\.rsvelmo-[A-Za-z0-9_]{1,64}\.part")
SHOWN = 8  # names listed in one message line before "and N more"


class OutputError(ValueError):
    """An output folder the run must not write into as it stands, or writing that stopped halfway."""


class OutputWarning(UserWarning):
    """Files of an earlier run that this run leaves alone."""


def _names(names: Sequence[str]) -> str:
    shown = ", ".join(names[:SHOWN])
    return shown + (f" and {len(names) - SHOWN} more" if len(names) > SHOWN else "") if names else "none"


def _hold(fd: int) -> bool:
    """Take the exclusive lock of an open file without waiting; False if another process holds it."""
    if fcntl is None:
        return True
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


@contextlib.contextmanager
def atomic_output(path, mode: str = "w"):
    """Yield a temporary file next to `path` that replaces `path` only once
    it is complete: a failure (a full disk, Ctrl-C) leaves the previous file
    or none, never half of one. The temporary file is locked while it is
    written, so that a run cleaning up what killed runs left passes it by."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=TEMPORARY_PREFIX, suffix=".part", dir=folder)
    try:
        _hold(fd)
        os.chmod(temporary, 0o666 & ~_umask())  # mkstemp makes it private; outputs are ordinary files
        text = {"encoding": "utf-8", "newline": "\n"} if "b" not in mode else {}
        with os.fdopen(fd, mode, **text) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
            os.replace(temporary, path)  # still open, so still locked, until it has its name
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _digest(path: str) -> tuple[int, str]:
    digest, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def _valid_name(name: Any) -> bool:
    """A name relative to the folder, in '/'-separated parts, none empty or '..'."""
    if not isinstance(name, str) or not name or "\\" in name or "\x00" in name or os.path.isabs(name):
        return False
    return all(part not in ("", ".", "..") for part in name.split("/"))


def _read_manifest(path: str) -> dict[str, list[dict[str, Any]]]:
    """Name -> the records of it (more than one while a commit was under
    way) in an existing ``run.json``; a record without size and hash (an
    earlier version's manifest) can never be verified."""
    if not os.path.lexists(path):
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        outputs = record["outputs"] if "rsvelmo_version" in record else None
    except (OSError, ValueError, KeyError, TypeError):
        outputs = None
    if not isinstance(outputs, list):
        raise OutputError(
            f"{path} was not written by this version of rsvelmo, so the files beside it may not be its "
            "own; choose another folder with -o, or remove that folder's earlier outputs"
        )
    previous: dict[str, list[dict[str, Any]]] = {}
    for entry in outputs:
        entry = {"path": entry} if isinstance(entry, str) else entry
        if isinstance(entry, dict) and _valid_name(entry.get("path")):
            known = isinstance(entry.get("bytes"), int) and isinstance(entry.get("sha256"), str)
            facts = {"bytes": entry["bytes"], "sha256": entry["sha256"]} if known else {}
            previous.setdefault(entry["path"], []).append(facts)
    return previous


class _State:
    """What an output folder holds on behalf of its run: the lock, the
    temporary files not yet committed, the folders it made."""

    def __init__(self, root: str):
        self.root = root
        self.lock: int | None = None
        self.made_root = False
        self.made: list[str] = []  # folders made for outputs, outermost first
        self.staged: dict[str, str] = {}  # output name -> its temporary file

    def discard(self) -> None:
        for temporary in self.staged.values():
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        self.staged.clear()
        for folder in reversed(self.made):
            with contextlib.suppress(OSError):  # not empty: it holds outputs now
                os.rmdir(folder)
        self.made.clear()

    def abandon(self) -> None:
        """Remove what was not committed and let the next run in; the
        folder goes too if this run made it and left nothing in it."""
        self.discard()
        if self.lock is not None:
            # Removed while still held: a run that opened the old file sees it gone and locks a new one.
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(self.root, LOCK))
            os.close(self.lock)
            self.lock = None
        if self.made_root:
            with contextlib.suppress(OSError):
                os.rmdir(self.root)
            self.made_root = False


class OutputFolder:
    """The folder of one run's outputs, named relative to it (``plots/summary.png``).

    ``check`` (before the analysis) takes the folder's lock and refuses a
    folder that cannot be written or a file in the way; ``write`` writes
    every output and commits them all; ``release`` (also on leaving a
    ``with`` block, after ``finish``, or when the object is collected)
    lets the next run in.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        if os.path.exists(self.path) and not os.path.isdir(self.path):
            raise OutputError(f"{self.path} is a file, not a folder; give -o a folder for the outputs")
        self.previous = _read_manifest(os.path.join(self.path, MANIFEST))
        self._state = _State(self.path)
        self._release = weakref.finalize(self, _State.abandon, self._state)
        self._claimed: list[str] = []

    def __enter__(self) -> OutputFolder:
        return self

    def __exit__(self, *exc) -> None:
        self.release()

    def release(self) -> None:
        """Remove the temporary files not committed and unlock the folder."""
        self._state.abandon()

    def _target(self, name: str) -> str:
        return os.path.join(self.path, *name.split("/"))

    def file(self, name: str) -> str:
        """Where output `name` is written: between ``claim`` and ``finish``
        its temporary file, which ``finish`` puts in place."""
        return self._state.staged.get(name) or self._target(name)

    def lock(self) -> None:
        """Make the folder if needed and take its lock, or refuse in one line
        if another run holds it."""
        state = self._state
        if state.lock is not None or fcntl is None:
            return
        if os.path.islink(self.path) and not os.path.exists(self.path):
            raise OutputError(f"{self.path} is a symbolic link to nothing; give -o a folder for the outputs")
        path = os.path.join(self.path, LOCK)
        for _ in range(100):  # each turn follows another run's exit: a few at most
            try:
                if not os.path.isdir(self.path):
                    with contextlib.suppress(FileExistsError):  # another run made it meanwhile
                        os.makedirs(self.path)
                        state.made_root = True
                fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
            except FileNotFoundError:
                if os.path.isdir(self.path):
                    raise OutputError(f"cannot write into {self.path}; choose another folder with -o") from None
                continue  # the run that made the folder removed it as it gave up
            except NotADirectoryError:
                raise OutputError(f"{self.path} is a file, not a folder; give -o a folder for the outputs") from None
            except OSError as e:
                raise OutputError(
                    f"cannot write into {self.path} ({e.strerror}); choose another folder with -o"
                ) from None
            if not _hold(fd):
                holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
                os.close(fd)
                who = f" (process {holder})" if holder.isdigit() else ""
                raise OutputError(f"another rsvelmo run{who} is writing into {self.path}; wait until it has "
                                  "finished, or choose another folder with -o")  # fmt: skip
            with contextlib.suppress(FileNotFoundError):
                if os.path.samestat(os.stat(path, follow_symlinks=False), os.fstat(fd)):
                    break
            os.close(fd)  # the file was removed as its holder let go: lock the one there now
        else:
            raise OutputError(f"cannot lock {self.path} for this run; choose another folder with -o")
        state.lock = fd
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
        if not os.access(self.path, os.W_OK | os.X_OK):
            self.release()
            raise OutputError(f"cannot write into {self.path} (permission denied); choose another folder with -o")

    def check(self, outputs: Iterable[str], folders: Iterable[str] = ()) -> None:
        """Before the analysis: take the lock, then refuse, in one line, a
        folder that cannot be written or a file in the way of an output or
        of a folder of outputs (``folders``, e.g. ``plots``)."""
        self.lock()
        for name in sorted(set(outputs) | {MANIFEST}):
            self._check_folder(name.split("/")[:-1])
            reason = self._verdict(name) if os.path.lexists(self._target(name)) else None
            if reason is not None:
                raise OutputError(f"{self._target(name)} {reason}; rsvelmo leaves it alone: move it away or "
                                  "choose another folder with -o")  # fmt: skip
        for folder in folders:
            self._check_folder(folder.split("/"))

    def _check_folder(self, parts: list[str]) -> None:
        for depth in range(1, len(parts) + 1):
            folder = self._target("/".join(parts[:depth]))
            if not os.path.lexists(folder):
                return
            if os.path.islink(folder) or not os.path.isdir(folder):
                what = "a symbolic link" if os.path.islink(folder) else "in the way of the output folder"
                raise OutputError(f"{folder} is {what} {'/'.join(parts[:depth])}/; rsvelmo writes only inside "
                                  f"{self.path}: move it away or choose another folder with -o")  # fmt: skip
            if not os.access(folder, os.W_OK | os.X_OK):
                raise OutputError(f"cannot write into {folder} (permission denied); choose another folder with -o")

    def _inside(self, name: str) -> bool:
        """Whether every folder on the way to `name` is a real folder inside this one (no link out)."""
        parts = name.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folder = self._target("/".join(parts[:depth]))
            if os.path.islink(folder) or not os.path.isdir(folder):
                return False
        return True

    def _verdict(self, name: str) -> str | None:
        """None if the existing file `name` is this tool's to replace or
        remove, else why it is not."""
        target = self._target(name)
        if not self._inside(name):
            return "is not inside the output folder"
        try:
            facts = os.lstat(target)
        except FileNotFoundError:
            return "is not there"
        if not stat.S_ISREG(facts.st_mode):
            return "exists and is not a file rsvelmo wrote"
        if name == MANIFEST:
            return None  # read as this tool's manifest when the folder was opened
        records = self.previous.get(name)
        if not records:
            return "exists and was not written by an earlier run"
        known = [r for r in records if r]
        if not known:
            return ("was written by an earlier version of rsvelmo that did not record its contents, so it "
                    "cannot tell whether it was changed since")  # fmt: skip
        same_size = {r["sha256"] for r in known if r["bytes"] == facts.st_size}
        if not same_size or _digest(target)[1] not in same_size:
            return "was changed after rsvelmo wrote it"
        return None

    def _remove_leftovers(self, names: Iterable[str]) -> None:
        """Remove the temporary files of runs that were killed; a file some
        live process still holds locked (one it is writing) stays."""
        folders = {"/".join(n.split("/")[:-1]) for n in names} | {""}
        for folder in sorted(folders):
            if folder and not self._inside(folder + "/_"):
                continue
            path = self._target(folder) if folder else self.path
            with contextlib.suppress(OSError):
                for entry in os.listdir(path):
                    if TEMPORARY.fullmatch(entry):
                        _remove_unheld(os.path.join(path, entry))

    def _temporary(self, name: str) -> str:
        parts = name.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folder = self._target("/".join(parts[:depth]))
            if not os.path.isdir(folder):
                os.mkdir(folder)
                self._state.made.append(folder)
        fd, temporary = tempfile.mkstemp(
            prefix=TEMPORARY_PREFIX, suffix=".part", dir=os.path.dirname(self._target(name))
        )
        os.close(fd)
        self._state.staged[name] = temporary
        os.chmod(temporary, 0o666 & ~_umask())  # mkstemp makes it private; outputs are ordinary files
        return temporary

    def claim(self, outputs: Iterable[str]) -> None:
        """Check every output (now that all are named), remove what killed
        runs left, and make a temporary file for each: until ``finish``,
        ``file(name)`` names it."""
        names = sorted(set(outputs) - {MANIFEST})
        self.check(names)
        self._remove_leftovers([*names, *self.previous])
        try:
            for name in names:
                self._temporary(name)
        except OSError as e:
            self._state.discard()
            raise OutputError(f"{e.strerror or e} while preparing the outputs in {self.path}; nothing was "
                              "written") from None  # fmt: skip
        self._claimed = names

    def write(self, outputs: Mapping[str, Callable[[str], None]], record: Callable[[], Mapping[str, Any]]) -> None:
        """Write every output (name -> a function writing the file it is
        given) into its temporary file, then commit them all with a
        ``run.json`` of ``record()``; a failure or an interrupt before the
        commit leaves the folder as it was."""
        self.claim(outputs)
        name = MANIFEST
        try:
            for name, writer in outputs.items():
                writer(self.file(name))
            name = MANIFEST
            final = record()
        except OSError as e:
            self._state.discard()
            raise OutputError(f"{e.strerror or e} while writing {name} into {self.path}: no output was written, "
                              "the earlier ones are as they were") from None  # fmt: skip
        except BaseException:
            self._state.discard()
            raise
        self.finish(final)

    def finish(self, record: Mapping[str, Any]) -> None:
        """Commit the claimed outputs: ``run.json`` (the record of the run and
        the path, size and SHA-256 of each output) and the files in place,
        the earlier outputs this run did not write removed; then unlock."""
        state = self._state
        try:
            records = []
            for name in self._claimed:
                size, sha256 = _digest(state.staged[name])
                records.append({"path": name, "bytes": size, "sha256": sha256})
            manifest = self._temporary(MANIFEST)
            _dump(manifest, {"rsvelmo_version": __version__, **record, "complete": True,
                             "outputs": [*records, {"path": MANIFEST}]})  # fmt: skip
            for name in self._claimed:  # nothing of the user's appeared while the outputs were made
                if os.path.lexists(self._target(name)) and (reason := self._verdict(name)) is not None:
                    raise OutputError(f"{self._target(name)} {reason} while the outputs were made; rsvelmo "
                                      "leaves it alone and wrote nothing")  # fmt: skip
        except OSError as e:
            state.discard()
            raise OutputError(f"{e.strerror or e} while writing {MANIFEST} into {self.path}: no output was "
                              "written, the earlier ones are as they were") from None  # fmt: skip
        except BaseException:
            state.discard()
            raise
        self._commit(records)
        self.release()

    def _commit(self, records: list[dict[str, Any]]) -> None:
        state, kept = self._state, []
        earlier = [{"path": n, **r} for n, rs in self.previous.items() if n != MANIFEST for r in rs]
        try:
            # First a run.json that owns both the earlier and the new files, so that
            # whatever stops the commit, the next run may replace all of them.
            with atomic_output(self._target(MANIFEST)) as f:
                json.dump({"rsvelmo_version": __version__, "complete": False,
                           "outputs": [*earlier, *records, {"path": MANIFEST}]}, f, indent=2)  # fmt: skip
            for name in self._claimed:
                os.replace(state.staged[name], self._target(name))
            for name in sorted(set(self.previous) - set(self._claimed) - {MANIFEST}):
                if not os.path.lexists(self._target(name)):
                    continue
                if self._verdict(name) is None:
                    os.unlink(self._target(name))
                    self._prune(name)
                else:
                    kept.append(name)
            os.replace(state.staged[MANIFEST], self._target(MANIFEST))
        except BaseException as e:
            written = [n for n in self._claimed if not os.path.lexists(state.staged[n])]
            missing = [n for n in self._claimed if os.path.lexists(state.staged[n])]
            state.discard()
            cause = "interrupted" if isinstance(e, KeyboardInterrupt) else getattr(e, "strerror", None) or str(e)
            raise OutputError(
                f"{cause} while the outputs were put in place in {self.path}: written {_names(written)}; not "
                f"written {_names(missing)}; {MANIFEST} owns the earlier and the new files, so a new run replaces them"
            ) from None
        state.staged.clear()
        if kept:
            warnings.warn(OutputWarning(
                f"kept {len(kept)} file(s) that the earlier {MANIFEST} named but that are not as rsvelmo wrote "
                f"them (changed, unrecorded, or not inside {self.path}): {_names(kept)}"
            ), stacklevel=3)  # fmt: skip

    def _prune(self, name: str) -> None:
        """Remove the folders an output leaves empty, up to this folder."""
        parts = name.split("/")[:-1]
        while parts:
            with contextlib.suppress(OSError):  # not empty
                os.rmdir(self._target("/".join(parts)))
            parts.pop()


def _remove_unheld(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:  # a link, gone, or not ours to read
        return
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode) and _hold(fd):
            os.unlink(path)
    finally:
        os.close(fd)


def _dump(path: str, record: Mapping[str, Any]) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        json.dump(record, f, indent=2)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())


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
) -> dict[str, Any]:
    """What run.json records: the version, the full settings (as given, and as
    passed to ``rsvelmopy.run_gsea``) and seed, the command line, each input
    file, what was read from each ranking and how many of its genes were
    analysed and found in the gene sets, the time taken and the platform."""
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
    }
