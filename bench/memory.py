"""Peak resident memory while vorn streams one file, run in its own process.

    python bench/memory.py PATH LAYOUT

Prints JSON: the resident set after importing vorn and NumPy and reading one
event (the baseline), and the peak reached while iterating over every event.
"""
import json
import sys

import numpy  # noqa: F401  (part of the baseline)
import vorn


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


def main(path, layout):
    reader = vorn.EventReader(path, layout)
    next(reader)  # loads NumPy's C API and the owner type
    del reader
    baseline = status_kb("VmRSS")
    resettable = reset_peak()
    events = 0
    for ev in vorn.EventReader(path, layout):
        events += 1
    del ev
    print(json.dumps({"baseline_kb": baseline, "peak_kb": status_kb("VmHWM"),
                      "peak_resettable": resettable, "events": events}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
