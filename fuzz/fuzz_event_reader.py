"""atheris harness over EventReader: the input bytes as a file of either layout.

Whatever the bytes, construction and iteration end in event dicts,
StopIteration, or an exception the class documents: an OSError, MemoryError,
or PanicException "capacity overflow" where a record's size cannot exist
(a WD1 event_size of 22 or less, a block beyond any object for WD2). Any
other exception, a malformed dict or an endless iterator fails the run; a
crash or a sanitizer report ends it.

Run by `make fuzz-py`; libFuzzer's options follow the script name.
"""
import os
import struct
import sys
import tempfile

import atheris
import numpy  # loaded before fuzzing, like any user of vorn would

import vorn

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
    try:
        reader = vorn.EventReader(PATH, layout)
    except (OSError, MemoryError):
        return
    pos = 0  # WD1: the offset of the next record, as far as the events tell
    for _ in range(len(data) // 24 + 2):
        try:
            ev = next(reader)
        except StopIteration:
            return
        except (OSError, MemoryError):
            return
        except BaseException as e:
            if not is_capacity_overflow(e):
                raise
            if layout == "WD1":
                assert struct.unpack_from("<i", data, pos)[0] <= 22, "overflow on a valid size"
                pos += 24
            continue
        assert type(ev) is dict and list(ev) == KEYS[layout], ev
        samples = ev["data"]
        assert samples.dtype == DTYPES[layout] and samples.ndim == 1
        if layout == "WD1":
            assert ev["event_size"] == struct.unpack_from("<i", data, pos)[0]
            assert samples.tobytes() == data[pos + 24:pos + 24 + samples.nbytes]
            pos += 24 + samples.nbytes
        else:
            assert samples.nbytes <= len(data)
    raise AssertionError("the reader does not stop")


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
