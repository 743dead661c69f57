"""The event dicts of both layouts: keys and their order, value types, widths and signedness."""
import math
import struct

import numpy as np
import pytest

from vorn import EventReader

from wd_files import wd1, wd2, wd2_run

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter",
            "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]
WD1_FIELDS = WD1_KEYS[1:6]
I32 = [-2**31, -1, 0, 1, 2**31 - 1]


def only_event(path, reader_type):
    events = list(EventReader(path, reader_type))
    assert len(events) == 1
    return events[0]


class TestWD1:
    def test_keys_in_order_and_types(self, write):
        event = only_event(write(wd1([1, 2, 3], board_id=4, pattern=5, board_channel=6,
                                     event_counter=7, timestamp=8)), "WD1")
        assert type(event) is dict
        assert list(event) == WD1_KEYS
        assert all(type(event[k]) is int for k in WD1_KEYS[:-1])
        assert [event[k] for k in WD1_KEYS[:-1]] == [30, 4, 5, 6, 7, 8]
        assert event["data"].tolist() == [1, 2, 3]

    @pytest.mark.parametrize("field", WD1_FIELDS)
    @pytest.mark.parametrize("value", I32)
    def test_header_words_are_signed(self, write, field, value):
        event = only_event(write(wd1([9], **{field: value})), "WD1")
        assert event[field] == value
        assert all(event[f] == 0 for f in WD1_FIELDS if f != field)

    def test_all_ones_word_is_minus_one(self, write):
        content = struct.pack("<i", 24) + b"\xff" * 20
        event = only_event(write(content), "WD1")
        assert [event[f] for f in WD1_FIELDS] == [-1] * 5

    @pytest.mark.parametrize("event_size, samples, consumed", [
        (23, 0, 24), (24, 0, 24), (25, 0, 24), (26, 1, 26), (27, 1, 26), (1048, 512, 1048),
    ])
    def test_event_size_sets_samples_and_record_length(self, write, event_size, samples, consumed):
        body = struct.pack(f"<{samples}H", *range(0x1234, 0x1234 + samples))
        follower = wd1([7, 8], event_counter=99)
        first, second = EventReader(write(wd1(event_size=event_size)[:24] + body + follower), "WD1")
        assert first["event_size"] == event_size
        assert first["data"].tolist() == list(range(0x1234, 0x1234 + samples))
        assert second["event_counter"] == 99 and second["data"].tolist() == [7, 8]

    def test_samples_are_unsigned_little_endian(self, write):
        event = only_event(write(wd1([0, 1, 0x1234, 0x8000, 0xFFFF])), "WD1")
        assert event["data"].tolist() == [0, 1, 0x1234, 0x8000, 0xFFFF]
        assert bytes(event["data"].data) == struct.pack("<5H", 0, 1, 0x1234, 0x8000, 0xFFFF)


class TestWD2:
    def test_keys_in_order_and_types(self, write):
        path = write(wd2_run(2, samples=3, channels=2, timestamp=11, sampling_period=200))
        event = next(EventReader(path, "WD2"))
        assert type(event) is dict
        assert list(event) == WD2_KEYS
        assert all(type(event[k]) is int for k in WD2_KEYS[:-1])
        assert [event[k] for k in WD2_KEYS[:-1]] == [0, 11, 3, 200, 2]
        assert event["data"].tolist() == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]

    @pytest.mark.parametrize("field, value", [
        ("event_counter", 2**32 - 2),
        ("event_counter", 2**31),
        ("timestamp", 2**64 - 1),
        ("timestamp", 2**63),
        ("sampling_period", 2**64 - 1),
        ("sampling_period", 2**63 + 1),
    ])
    def test_header_values_are_unsigned(self, write, field, value):
        events = list(EventReader(write(wd2_run(2, channels=2, **{field: value})), "WD2"))
        assert events[0][field] == value

    def test_counter_wraps_through_all_ones(self, write):
        content = (wd2([1.0, 2.0], channels=2, event_counter=2**32 - 1)
                   + wd2([3.0, 4.0], channels=2, event_counter=0))
        events = list(EventReader(write(content), "WD2"))
        assert [e["event_counter"] for e in events] == [4294967295, 0]
        assert [e["channels"] for e in events] == [2, 2]

    def test_samples_unsigned_at_the_top(self, write):
        # Never a real block: a record claiming 2^32 - 1 samples in a short file ends quietly.
        content = wd2([0.5], event_counter=1) + wd2([], samples=2**32 - 1, event_counter=2)
        assert [e["samples"] for e in EventReader(write(content), "WD2")] == [1]

    @pytest.mark.parametrize("channels", [2, 3, 8])
    def test_multichannel_blocks_with_channel_word(self, write, channels):
        events = list(EventReader(write(wd2_run(3, samples=4, channels=channels)), "WD2"))
        assert [e["channels"] for e in events] == [channels] * 3
        assert [e["samples"] for e in events] == [4] * 3
        assert [len(e["data"]) for e in events] == [4 * channels] * 3
        assert events[2]["data"].tolist() == [float(2 + k) for k in range(4 * channels)]

    def test_single_channel_without_channel_word(self, write):
        events = list(EventReader(write(wd2_run(3, samples=5)), "WD2"))
        assert [(e["channels"], e["samples"], len(e["data"])) for e in events] == [(1, 5, 5)] * 3

    def test_later_channel_word_is_reported_as_written(self, write):
        # The probe settles the block size; a later record's word is only reported.
        content = wd2_run(2, samples=2, channels=2) + wd2([1.0, 2.0, 3.0, 4.0], channels=-5,
                                                          samples=2, event_counter=2)
        events = list(EventReader(write(content), "WD2"))
        assert [e["channels"] for e in events] == [2, 2, -5]
        assert events[2]["data"].tolist() == [1.0, 2.0, 3.0, 4.0]

    def test_samples_arrive_bit_for_bit(self, write):
        patterns = [0x7FC00001, 0xFFA00000, 0x80000000, 0x00000001, 0x7F800000, 0x3F800000]
        content = wd2(patterns, channels=2, event_counter=0) + wd2(patterns, channels=2,
                                                                   event_counter=1)
        event = next(EventReader(write(content), "WD2"))
        assert event["data"].view(np.uint32).tolist() == patterns
        assert math.copysign(1.0, event["data"][2]) == -1.0


@pytest.mark.parametrize("reader_type, content", [
    ("WD1", wd1([]) + wd1([], event_counter=1)),
    ("WD2", wd2([], channels=2) + wd2([], channels=2, event_counter=1)),
    ("WD2", wd2([]) + wd2([], event_counter=1)),
])
def test_records_without_samples(write, reader_type, content):
    events = list(EventReader(write(content), reader_type))
    assert [e["event_counter"] for e in events] == [0, 1]
    assert all(list(e)[-1] == "data" and len(e["data"]) == 0 for e in events)
