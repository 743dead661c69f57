"""A short, steady vorn loop for a profiler to watch.

    python bench/profile_run.py [WORKLOAD] [MB] [PASSES]

Generates one workload's file (default wd1_8, 40 MB), reads it once to warm
the cache, then iterates over it PASSES times (default 3) with vorn.
"""
import sys
import tempfile
from pathlib import Path

from vorn import EventReader
from workloads import BY_NAME, MB, file_name, generate, warm


def main(name="wd1_8", mb="40", passes="3"):
    w = BY_NAME[name]
    with tempfile.TemporaryDirectory(prefix="vorn-profile-") as tmp:
        path = str(Path(tmp) / file_name(w))
        generate(w, path, int(mb) * MB)
        warm(path)
        for _ in range(int(passes)):
            for ev in EventReader(path, w.layout):
                pass


if __name__ == "__main__":
    main(*sys.argv[1:])
