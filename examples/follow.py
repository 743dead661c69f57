"""Follows an event file that is still being written: reads the records that are there,
sleeps, and reads again, printing one line per event.

    python examples/follow.py FILE LAYOUT [--poll SECONDS] [--idle SECONDS]

A record the writer has only partly written is not lost: the reader steps back to its start
and returns it whole on a later pass. Ends after --idle seconds without a new event, or on
Ctrl-C. A "WD2" reader learns the file's channel layout from its first record when it opens,
so open a WD2 file once its first record is complete.
"""
import argparse
import time

from vorn import EventReader


def follow(path, layout, poll=0.5, idle=None):
    """Yields the events of `path` as they arrive; ends after sleeping `idle` seconds in all
    without a new event (never if `idle` is None)."""
    reader = EventReader(path, layout)
    quiet = 0.0
    while True:
        for ev in reader:  # ends at the current end of the file; the next pass goes on from there
            quiet = 0.0
            yield ev
        if idle is not None and quiet >= idle:
            return
        time.sleep(poll)
        quiet += poll


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("layout", choices=["WD1", "WD2"])
    parser.add_argument("--poll", type=float, default=0.5, help="seconds between passes")
    parser.add_argument("--idle", type=float, help="stop after this long without an event")
    args = parser.parse_args(argv)
    try:
        for ev in follow(args.file, args.layout, args.poll, args.idle):
            data = ev["data"]
            low, high = (data.min(), data.max()) if len(data) else ("-", "-")
            print(f"event {ev['event_counter']:>8}: {len(data)} samples, min {low}, max {high}",
                  flush=True)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
