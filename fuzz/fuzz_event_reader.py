"""atheris harness over EventReader: the input bytes as a file of either layout.

The file is a plain regular file, so neither construction nor iteration has
a reason to fail: every step must match the model of the two layouts in
tests/python/wd_model.py (each event's header values and sample bytes,
PanicException "capacity overflow" where the model panics, StopIteration
where it ends, and again after that). Any OSError or MemoryError, any other
exception, a malformed dict or an endless iterator fails the run; a crash or
a sanitizer report ends it.

Run by `make fuzz-py`; libFuzzer's options follow the script name.
"""
import os
import sys
import tempfile

import atheris
import numpy  # loaded before fuzzing, like any user of vorn would

import vorn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from wd_model import MODELS, PANIC  # noqa: E402

PATH = os.path.join(tempfile.mkdtemp(prefix="vorn-fuzz-"), "input")
KEYS = {
    "WD1": ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp",
            "data"],
    "WD2": ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"],
}
DTYPES = {"WD1": numpy.dtype("uint16"), "WD2": numpy.dtype("float32")}


def is_capacity_overflow(e):
    return type(e).__name__ == "PanicException" and str(e) == "capacity overflow"


def check(data, layout):
    expected = MODELS[layout](data)
    reader = vorn.EventReader(PATH, layout)
    got = []
    while True:
        try:
            ev = next(reader)
        except StopIteration:
            break
        except BaseException as e:
            if not is_capacity_overflow(e):
                raise
            got.append(PANIC)
        else:
            assert type(ev) is dict and list(ev) == KEYS[layout], ev
            samples = ev.pop("data")
            assert samples.dtype == DTYPES[layout] and samples.ndim == 1
            got.append(tuple(ev.values()) + (samples.tobytes(),))
        k = len(got) - 1
        assert k < len(expected), f"{layout} goes on past the model's {len(expected)} steps"
        assert got[k] == expected[k], f"{layout} step {k}: {got[k]!r:.200} for {expected[k]!r:.200}"
    assert len(got) == len(expected), f"{layout} ends after {len(got)} of {len(expected)} steps"
    assert next(reader, None) is None, f"{layout} goes on after its end"


def test_one_input(data):
    with open(PATH, "wb") as f:
        f.write(data)
    check(data, "WD1")
    check(data, "WD2")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
