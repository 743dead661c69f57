"""The installed distribution's version, for the package and the command."""
from __future__ import annotations

import importlib.metadata

try:
    __version__ = importlib.metadata.version("vorn")
except importlib.metadata.PackageNotFoundError:  # imported from a tree, not installed
    __version__ = "unknown"
