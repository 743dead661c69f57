"""Reads the bundled example files and prints a summary of each.

    python examples/demo.py DATADIR
"""
import sys
from pathlib import Path

from vorn import EventReader

FILES = [("pulses.wd1", "WD1"), ("pulses_2ch.wd2", "WD2"), ("pulses_1ch.wd2", "WD2")]


def summarize(path, layout):
    events = list(EventReader(str(path), layout))
    print(f"{path.name} ({layout}): {len(events)} events")
    if not events:
        return events
    sizes = sorted({len(ev["data"]) for ev in events})
    print(f"  samples per event: {', '.join(map(str, sizes))}")
    for key in events[0]:
        if key == "data":
            continue
        values = [ev[key] for ev in events]
        print(f"  {key:16} {min(values)} .. {max(values)}")
    first = dict(events[0])
    data = first.pop("data")
    print(f"  first event: {first}")
    print(f"  first samples: {data[:6]} ... dtype {data.dtype}, min {data.min()}, max {data.max()}")
    return events


def main(datadir):
    for name, layout in FILES:
        summarize(Path(datadir) / name, layout)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/data")
