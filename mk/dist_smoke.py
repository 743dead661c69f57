"""Checks an installed vorn: it imports, reads a small file of each layout, and its type
stubs were installed with it. Run by `make check-dist` inside fresh virtual environments."""
import os
import struct
import sys
import tempfile
from importlib import metadata

import vorn

with tempfile.TemporaryDirectory() as tmp:
    wd1 = os.path.join(tmp, "a.wd1")
    with open(wd1, "wb") as f:
        f.write(struct.pack("<6i3H", 30, 1, 0, 2, 7, -1, 1, 2, 65535))
    (ev,) = vorn.EventReader(wd1, "WD1")
    assert ev["timestamp"] == -1 and ev["data"].tolist() == [1, 2, 65535], ev
    wd2 = os.path.join(tmp, "a.wd2")
    with open(wd2, "wb") as f:
        for i in range(2):
            f.write(struct.pack("<IQIQi4f", i, 10 * i, 2, 200, 2, 0.5, -1.0, 2.0, i))
    first, second = vorn.EventReader(wd2, "WD2")
    assert second["channels"] == 2 and second["data"].tolist() == [0.5, -1.0, 2.0, 1.0], second

installed = {str(f) for f in metadata.files("vorn") or ()}
assert "vorn-stubs/__init__.pyi" in installed, sorted(installed)
import numpy  # noqa: E402  (imported by the reads above)

print(f"vorn {metadata.version('vorn')} works on Python {sys.version.split()[0]}, "
      f"NumPy {numpy.__version__}")
