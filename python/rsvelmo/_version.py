"""The package version, read from the installed distribution's metadata (it is
written once, in pyproject.toml)."""

from importlib import metadata

try:
    __version__ = metadata.version("rsvelmopy")
except metadata.PackageNotFoundError:  # pragma: no cover - a source tree that was never installed
    __version__ = "0+unknown"
