"""A steady vorn loop for a profiler to watch, apart from making its file.

    python bench/profile_run.py make WORKLOAD MB PATH   # generate PATH
    python bench/profile_run.py read WORKLOAD PATH [PASSES]

`read` warms the file into the page cache, then iterates over it PASSES
times (default 3) with vorn, doing nothing else.
"""
import sys

from workloads import BY_NAME, MB, generate, warm


def main(command, name, *args):
    w = BY_NAME[name]
    if command == "make":
        mb, path = args
        generate(w, path, int(mb) * MB)
        return
    from vorn import EventReader

    path, passes = args[0], int(args[1]) if len(args) > 1 else 3
    warm(path)
    for _ in range(passes):
        for ev in EventReader(path, w.layout):
            pass


if __name__ == "__main__":
    main(*sys.argv[1:])
