"""Checks an installed vorn: it imports, reads a small file of each layout, its type stubs and
the `vorn` command were installed with it, and it declares its optional extras. Run by `make
check-dist` inside fresh virtual environments."""
import importlib.util
import os
import struct
import subprocess
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
    # The columns package came in the same wheel and reads the same events.
    import vorn_columns
    batch = vorn_columns.read(wd2, "WD2")
    assert batch.waveforms().shape == (2, 2, 2) and batch.event(1)["data"].tolist() == [0.5, -1.0, 2.0, 1.0]
    # The command runs on NumPy alone, and names the extra a conversion needs without pyarrow.
    vorn_command = os.path.join(os.path.dirname(sys.executable), "vorn")
    info = subprocess.run([vorn_command, "info", wd1, wd2], capture_output=True, text=True)
    assert info.returncode == 0 and "channels         2" in info.stdout, info
    if importlib.util.find_spec("pyarrow") is None:
        convert = subprocess.run([vorn_command, "convert", wd1, os.path.join(tmp, "a.parquet")],
                                 capture_output=True, text=True)
        assert convert.returncode == 1 and "'vorn[arrow]'" in convert.stderr, convert

installed = {str(f) for f in metadata.files("vorn") or ()}
assert "vorn-stubs/__init__.pyi" in installed, sorted(installed)
dist = metadata.distribution("vorn")
scripts = [f"{e.name} = {e.value}" for e in dist.entry_points if e.group == "console_scripts"]
assert scripts == ["vorn = vorn_columns.cli:main"], scripts
extras = dist.metadata.get_all("Provides-Extra") or []
assert {"arrow", "progress", "dask", "all"} <= set(extras), extras
import numpy  # noqa: E402  (imported by the reads above)

print(f"vorn {metadata.version('vorn')} works on Python {sys.version.split()[0]}, "
      f"NumPy {numpy.__version__}")
print(f"console script: {scripts[0]}; extras: {', '.join(extras)}")
