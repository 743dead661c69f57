"""Splits a perf profile of profile_run.py's read loop into where the time
per event goes.

    perf script -F period,ip,sym -i perf.data | python bench/perf_buckets.py WORKLOAD PATH PASSES

Needs call stacks (perf record --call-graph dwarf). Each sample goes to the
first bucket, in the order below, that names a frame of its stack; the
figures are ns per event: the sample periods of a bucket over the events
read (PASSES times the records in PATH).
"""
import os
import re
import sys

from workloads import BY_NAME

# (bucket, pattern matched against each frame's symbol), highest priority first.
BUCKETS = [
    ("outside the loop (start-up, imports, cache warming, exit)",
     r"PyImport_|import_find_and_load|builtin___import__|_io_FileIO_readinto|Py_FinalizeEx|_dl_start|pymain_init"),
    ("free previous event: array, owner, sample block", r"^array_dealloc"),
    ("free previous event: dict, ints", r"^dict_dealloc"),
    ("array: PyArray_NewFromDescr", r"^PyArray_NewFromDescr"),
    ("array: PyArray_DescrFromType", r"^PyArray_DescrFromType"),
    ("array: PyArray_SetBaseObject", r"^PyArray_SetBaseObject"),
    ("array: owner object and glue", r"from_raw_parts|make_array"),
    ("dict: PyDict_Copy of the key prototype", r"^PyDict_Copy"),
    ("ints: PyLong_From*", r"^PyLong_From"),
    ("dict: PyDict_SetItem", r"^PyDict_SetItem|^insertdict"),
    ("file: kernel copy from the page cache", r"copy_to_iter|copy_user|copy_page_to_iter"),
    ("file: rest of the read system calls", r"ksys_read|entry_SYSCALL|syscall_exit|__libc_read"),
    ("decoding: sample block malloc", r"libc_malloc|libc_realloc|_int_malloc|_int_realloc|tcache_get"),
    ("decoding: copies out of the 8 KiB buffer", r"__memmove|__memcpy"),
    ("decoding: header, sample count, copies", r"WD[12]Reader::next|read_samples|BufReader"),
    ("__next__ glue: borrow, type check, dispatch", r"event_reader_iternext|next_event|class_state"),
    ("interpreter: for loop", r"_PyEval_EvalFrameDefault"),
]
COMPILED = [(name, re.compile(p)) for name, p in BUCKETS]


def samples(stream):
    period, frames = None, []
    for line in stream:
        line = line.rstrip("\n")
        if not line.strip():
            if period is not None:
                yield period, frames
            period, frames = None, []
        elif period is None:
            period = int(line.split()[0])
        else:
            parts = line.split(None, 1)
            frames.append(parts[1].replace(" (inlined)", "") if len(parts) > 1 else "")
    if period is not None:
        yield period, frames


def main(events):
    totals = {name: 0 for name, _ in BUCKETS}
    totals["other"] = 0
    for period, frames in samples(sys.stdin):
        for name, rx in COMPILED:
            if any(rx.search(f) for f in frames):
                totals[name] += period
                break
        else:
            totals["other"] += period
    outside = totals.pop(BUCKETS[0][0])
    per_event = {k: v / events for k, v in totals.items()}
    whole = sum(per_event.values())
    print(f"{events:,} events; {whole:.0f} ns per event in the loop "
          f"({outside / 1e9:.2f} s outside it)")
    for name, ns in sorted(per_event.items(), key=lambda kv: -kv[1]):
        print(f"{ns:7.1f} ns  {ns / whole:5.1%}  {name}")


if __name__ == "__main__":
    name, path, passes = sys.argv[1:]
    main(os.path.getsize(path) // BY_NAME[name].record_bytes * int(passes))
