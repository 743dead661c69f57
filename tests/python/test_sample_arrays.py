"""The "data" arrays: zero-copy NumPy arrays whose samples a PySliceContainer owns."""
import ctypes
import gc
import sys

import numpy as np
import pytest

from vorn import EventReader

from wd_files import wd1, wd1_run, wd2, wd2_run

KINDS = {
    "WD1": (np.uint16, wd1_run),
    "WD2": (np.float32, lambda count, samples=4: wd2_run(count, samples=samples, channels=2)),
}


def events(write, reader_type, count=3, samples=4):
    return list(EventReader(write(KINDS[reader_type][1](count, samples=samples)), reader_type))


def address(array):
    return array.__array_interface__["data"][0]


@pytest.mark.parametrize("reader_type", KINDS)
class TestArrayProperties:
    def test_shape_dtype_and_strides(self, write, reader_type):
        dtype = np.dtype(KINDS[reader_type][0])
        for event in events(write, reader_type):
            a = event["data"]
            n = ((event["event_size"] - 24) // 2 if reader_type == "WD1"
                 else event["samples"] * event["channels"])
            assert type(a) is np.ndarray
            assert a.ndim == 1 and a.shape == (n,) and a.strides == (dtype.itemsize,)
            assert a.dtype == dtype and a.dtype.isnative

    def test_flags(self, write, reader_type):
        a = events(write, reader_type)[0]["data"]
        assert a.flags.writeable
        assert not a.flags.owndata
        assert a.flags.c_contiguous and a.flags.f_contiguous and a.flags.aligned
        assert address(a) % a.itemsize == 0

    def test_base_is_a_slice_container(self, write, reader_type):
        a = events(write, reader_type)[0]["data"]
        owner = type(a.base)
        assert (owner.__name__, owner.__module__) == ("PySliceContainer", "builtins")
        assert not isinstance(a.base, np.ndarray)

    def test_empty_data(self, write, reader_type):
        dtype = np.dtype(KINDS[reader_type][0])
        content = (wd1([]) if reader_type == "WD1"
                   else wd2([], channels=2) + wd2([], channels=2, event_counter=1))
        a = next(EventReader(write(content), reader_type))["data"]
        assert type(a) is np.ndarray
        assert a.shape == (0,) and a.strides == (dtype.itemsize,) and a.dtype == dtype
        assert a.flags.writeable and not a.flags.owndata and a.flags.aligned
        assert address(a) != 0 and address(a) % dtype.itemsize == 0
        assert a.sum() == 0 and a.tolist() == []

    def test_writes_stay_in_the_array(self, write, reader_type):
        a = events(write, reader_type)[1]["data"]
        a[0] = 42
        a[-1] += 1
        assert a[0] == 42 and a[-1] == {"WD1": 5, "WD2": 9}[reader_type]


@pytest.mark.parametrize("reader_type", KINDS)
class TestOwnership:
    def test_each_event_has_a_buffer_of_its_own(self, write, reader_type):
        arrays = [e["data"] for e in events(write, reader_type, count=4)]
        arrays[0][:] = 0
        assert [a[1] for a in arrays[1:]] == [2, 3, 4]
        for i, a in enumerate(arrays):
            assert not any(np.shares_memory(a, b) for b in arrays[i + 1:])

    def test_arrays_outlive_the_reader_and_the_dict(self, write, reader_type):
        reader = EventReader(write(KINDS[reader_type][1](50, samples=1000)), reader_type)
        arrays = [event["data"] for event in reader]
        expected = [a.copy() for a in arrays]
        del reader
        gc.collect()
        churn = [np.full(1000, 7, dtype=a.dtype) for a in arrays]  # reuse any freed memory
        assert all(np.array_equal(a, b) for a, b in zip(arrays, expected))
        del churn

    def test_a_view_outlives_its_array(self, write, reader_type):
        a = events(write, reader_type)[2]["data"]
        view = a[1:3]
        del a
        gc.collect()
        churn = [bytes(64) for _ in range(1000)]
        assert view.tolist() == [3, 4]
        del churn


def test_one_container_type_for_both_layouts(write):
    wd1_base = events(write, "WD1")[0]["data"].base
    wd2_base = events(write, "WD2")[0]["data"].base
    assert type(wd1_base) is type(wd2_base)


@pytest.mark.parametrize("make", [
    lambda t: t(),
    lambda t: t(1, 2),
    lambda t: t(data=b""),
    lambda t: t.__new__(t),
])
def test_slice_container_cannot_be_created_from_python(write, make):
    container = type(events(write, "WD1")[0]["data"].base)
    with pytest.raises(TypeError) as info:
        make(container)
    assert str(info.value) == "cannot create 'builtins.PySliceContainer' instances"


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def heap_in_use():
    """Bytes that the C library's allocator has handed out and not had back."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        pytest.skip("needs glibc's mallinfo2")
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    if info.uordblks + info.hblkhd == 0:
        pytest.skip("the allocator is replaced (a sanitizer) and mallinfo2 reports nothing")
    return info.uordblks + info.hblkhd


class TestRelease:
    """Sample memory goes back to the allocator once the last array or view is gone."""

    MIB = 1 << 20

    @pytest.mark.parametrize("reader_type", KINDS)
    @pytest.mark.parametrize("keep", ["arrays", "views", "bases"])
    def test_released_when_the_last_user_goes(self, write, reader_type, keep):
        samples = {"WD1": self.MIB // 2, "WD2": self.MIB // 8}[reader_type]  # 1 MiB per event
        path = write(KINDS[reader_type][1](8, samples=samples))
        gc.collect()
        before = heap_in_use()
        reader = EventReader(path, reader_type)
        held = [e["data"] for e in reader]
        if keep == "views":
            held = [a[::2] for a in held]
        elif keep == "bases":
            held = [a.base for a in held]
        del reader
        gc.collect()
        # Half a MiB of slack either way: other tests' threads (servers, clients) allocate
        # and free on their own meanwhile.
        assert heap_in_use() - before >= 8 * self.MIB - self.MIB // 2
        del held
        gc.collect()
        assert heap_in_use() - before < self.MIB // 2


def assert_no_block_growth(run):
    """A second run of `run` leaves no more Python memory blocks than the first."""
    run()
    gc.collect()
    before = sys.getallocatedblocks()
    run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def test_no_reference_leak_over_many_events(write):
    paths = {"WD1": write(wd1_run(500, samples=3)), "WD2": write(wd2_run(500, channels=2))}

    def run():
        for reader_type, path in paths.items():
            for _ in range(10):
                held = []
                for i, event in enumerate(EventReader(path, reader_type)):
                    if i % 3 == 0:
                        held.append(event["data"])
                    elif i % 3 == 1:
                        held.append(event)
                del held

    assert_no_block_growth(run)


def test_no_reference_leak_on_the_error_paths(write, tmp_path):
    missing = str(tmp_path / "missing")
    overflow = write(wd1(event_size=0) * 50)

    def run():
        for _ in range(200):
            for args in [(missing, "WD1"), (b"x", "WD1"), (overflow, "WD3"), ("x",)]:
                try:
                    EventReader(*args)
                except (OSError, TypeError, ValueError):
                    pass
            try:
                next(EventReader(str(tmp_path), "WD1"))
            except IsADirectoryError:
                pass
        reader = EventReader(overflow, "WD1")
        for _ in range(50):
            try:
                next(reader)
            except BaseException as e:  # noqa: BLE001 - PanicException
                assert str(e) == "capacity overflow"

    assert_no_block_growth(run)
