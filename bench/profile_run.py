"""A steady read loop for a profiler to watch, apart from making its file.

    python bench/profile_run.py make WORKLOAD MB PATH   # generate PATH
    python bench/profile_run.py read WORKLOAD PATH [PASSES [READER]]

`read` warms the file into the page cache, then reads it PASSES times
(default 3) with READER, a name from readers.READERS (default "vorn", the
bare EventReader loop), doing nothing else.
"""
import sys

from workloads import BY_NAME, MB, generate, warm


def main(command, name, *args):
    w = BY_NAME[name]
    if command == "make":
        mb, path = args
        generate(w, path, int(mb) * MB)
        return
    from readers import READERS

    path = args[0]
    passes = int(args[1]) if len(args) > 1 else 3
    read = READERS[args[2] if len(args) > 2 else "vorn"][0]
    warm(path)
    for _ in range(passes):
        read(path, w)


if __name__ == "__main__":
    main(*sys.argv[1:])
