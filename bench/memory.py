"""Peak resident memory while one file is streamed, run in its own process.

    python bench/memory.py PATH LAYOUT [EventReader | vc.iter_batches [STORAGE_OPTIONS] | features]

Prints JSON: the resident set after the imports and one small read (the
baseline), the peak reached while reading every event, and for
vc.iter_batches the bytes of its largest batch (with features: of its
header and feature columns, the samples being reduced and not kept). PATH may be a URL, with its storage
options as JSON.
"""
import functools
import json
import sys

import numpy  # noqa: F401  (part of the baseline)
import vorn
import vorn_columns


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak():
    """Sets the peak resident set back to the current one, where Linux allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def events(path, layout):
    n = 0
    for ev in vorn.EventReader(path, layout):
        n += 1
    return n, 0


def batches(path, layout, options=None):
    """The loop users write: each batch touched lightly and dropped when the
    next arrives."""
    n = largest = 0
    for b in vorn_columns.iter_batches(path, layout, **options_of(options)):
        n += len(b)
        b.offsets[-1]
        largest = max(largest, b.samples.nbytes + b.offsets.nbytes
                      + sum(c.nbytes for c in b.columns.values()))
    return n, largest


# The whole chain: what a read with features holds at most besides its columns.
FEATURES = vorn_columns.Features("negative", trapezoid=(32, 16), decay=500.0)


def feature_batches(path, layout):
    n = largest = 0
    for b in vorn_columns.iter_batches(path, layout, features=FEATURES):
        n += len(b)
        largest = max(largest, sum(c.nbytes for c in b.columns.values()))
    return n, largest


def options_of(options):
    return {"storage_options": json.loads(options)} if options else {}


def main(path, layout, reader="EventReader", options=None):
    # Loads NumPy's C API and the types a read makes (and for a URL, its client).
    if reader == "EventReader":
        next(vorn.EventReader(path, layout))
        run = events
    elif reader == "features":
        next(vorn_columns.iter_batches(path, layout, max_events=1, features=FEATURES))
        run = feature_batches
    else:
        next(vorn_columns.iter_batches(path, layout, max_events=1, **options_of(options)))
        run = functools.partial(batches, options=options)
    baseline = status_kb("VmRSS")
    resettable = reset_peak()
    n, largest = run(path, layout)
    print(json.dumps({"baseline_kb": baseline, "peak_kb": status_kb("VmHWM"),
                      "peak_resettable": resettable, "events": n, "batch_bytes": largest}))


if __name__ == "__main__":
    main(*sys.argv[1:])
