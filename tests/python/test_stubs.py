"""The installed type information: mypy accepts typed use of vorn and vorn_columns
and reports misuse."""
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (make test installs it)")

USAGE = """\
    from typing import TYPE_CHECKING, Iterator, List, Literal

    import numpy as np
    import numpy.typing as npt
    from typing_extensions import assert_type

    from vorn import EventReader

    if TYPE_CHECKING:
        from vorn import WD1Event, WD2Event


    def heights(path: str) -> List[int]:
        out = []
        for ev in EventReader(path, "WD1"):
            assert_type(ev, WD1Event)
            assert_type(ev["data"], npt.NDArray[np.uint16])
            out.append(int(ev["data"].max()) - ev["board_channel"])
        return out


    def channels(path: str) -> Iterator["npt.NDArray[np.float32]"]:
        reader = EventReader(path=path, reader_type="WD2")
        assert iter(reader) is reader
        for ev in reader:
            assert_type(ev, WD2Event)
            assert_type(ev["channels"], int)
            yield from ev["data"].reshape(-1, ev["samples"])


    def any_layout(path: str, layout: Literal["WD1", "WD2"]) -> int:
        return sum(ev["event_counter"] + ev["timestamp"] for ev in EventReader(path, layout))
"""

COLUMNS_USAGE = """\
    import pathlib
    import warnings
    from typing import TYPE_CHECKING, Iterator, List, Tuple

    from typing_extensions import assert_type

    import numpy as np
    import numpy.typing as npt

    import vorn_columns as vc


    def pulse_heights(path: pathlib.Path) -> Iterator["npt.NDArray[np.int64]"]:
        for batch in vc.iter_batches(path, "WD1", max_events=1000, start=2):
            yield batch.waveforms().max(axis=1) - batch["board_channel"]


    def middle_counters(path: str) -> List[int]:
        index = vc.scan(path, "WD2")
        try:
            batch = vc.read(path, "WD2", start=len(index) // 2, index=index)
        except vc.CorruptRecordError as e:
            return [e.index, e.offset]
        return [int(batch.event(i)["event_counter"]) for i in range(len(batch))]


    def one_channel(path: str) -> "npt.NDArray[np.int64]":
        index = vc.scan(path, "WD1")
        batch = vc.take(path, "WD1", index["board_channel"] == 3, index=index)
        late: vc.Batch = batch[batch["timestamp"] > 1000][:10]
        return late.events + sum(len(column) for name, column in late.items() if name in late)


    def with_sidecar(path: str) -> int:
        where: str = vc.scan(path, "WD1", index=None).save()
        index = vc.Index.load(where)
        with warnings.catch_warnings():
            warnings.simplefilter("error", vc.StaleIndexWarning)
            batch = vc.read(path, "WD1", index="auto")
        frame = vc.scan_polars(path, "WD1", index=where).select("timestamp").collect()
        dask_frame = vc.to_dask([path], "WD1", index=None)
        first = next(iter(vc.iter_batches(path, "WD1", start=1, index=index)))
        return len(batch) + frame.height + len(first) + int(dask_frame.npartitions)


    def rates(paths: List[str]) -> int:
        frame = vc.scan_polars(paths, "WD2").select("file", "timestamp").collect()
        return frame.height


    def heights(path: str) -> "npt.NDArray[np.float32]":
        spec = vc.Features("negative", trapezoid=(32, 16), decay=500.0, select=["amplitude"])
        assert_type(spec.names("WD1"), Tuple[str, ...])
        assert_type(vc.read(path, "WD2", features=spec, samples=True), vc.Batch)
        for part in vc.iter_batches(path, features=spec):
            assert_type(part, vc.Batch)
        assert_type(vc.take(path, "WD1", [3], features=spec), vc.Batch)
        return spec.compute(vc.read(path, "WD1"))["amplitude"]


    def typed_by_layout(path: str, layout: vc.Layout) -> None:
        if TYPE_CHECKING:
            from vorn_columns import WD1Batch, WD2Batch
        wd1 = vc.read(path, "WD1")
        assert_type(wd1, "WD1Batch")
        assert_type(wd1.samples, npt.NDArray[np.uint16])
        assert_type(wd1.columns["board_channel"], npt.NDArray[np.int32])
        assert_type(wd1.offsets, npt.NDArray[np.int64])
        assert_type(wd1.waveforms(), npt.NDArray[np.uint16])
        with vc.iter_batches(path, "WD2") as batches:
            for wd2 in batches:
                assert_type(wd2, "WD2Batch")
                assert_type(wd2.samples, npt.NDArray[np.float32])
                assert_type(wd2.columns["timestamp"], npt.NDArray[np.uint64])
        assert_type(next(vc.follow(path, "WD2")).columns["samples"], npt.NDArray[np.uint32])
        assert_type(vc.take(path, "WD1", [0]).samples, npt.NDArray[np.uint16])
        assert_type(vc.read(path, layout), vc.Batch)
        assert_type(vc.read(path), vc.Batch)
"""

# Each line after the first holds one mistake and the error code mypy must give for it.
MISTAKES = """\
    import pathlib; import vorn_columns as vc; from vorn import EventReader
    EventReader("run.wd3", "WD3")  # call-overload
    EventReader(pathlib.Path("run.wd1"), "WD1")  # call-overload
    EventReader("run.wd1", reader_type="wd1")  # call-overload
    next(EventReader("run.wd1", "WD1"))["channels"]  # typeddict-item
    label: str = next(EventReader("run.wd2", "WD2"))["samples"]  # assignment
    EventReader("run.wd1", "WD1").close()  # attr-defined
    with EventReader("run.wd1", "WD1") as r: pass  # attr-defined
    vc.read("run.wd1", "WD1", stop="10")  # call-overload
    vc.read("run.wd1", "WD1").waveform()  # attr-defined
    vc.take("run.wd1", "WD1", [1, 2], index=3)  # call-overload
    vc.scan_polars("run.wd1", "WD1").collect().nrows  # attr-defined
    vc.read("run.wd1", "WD1").columns["channels"]  # typeddict-item
    vc.Features("down", cfd_fraction=0.5)  # arg-type
    vc.Features("negative", cfd=0.5)  # call-arg
"""


def run_mypy(tmp_path, source):
    """mypy on `source`, resolving vorn as this interpreter's installed packages do."""
    (tmp_path / "check.py").write_text(textwrap.dedent(source))
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
           "--python-executable", sys.executable, "--show-error-codes", "check.py"]
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True)


@pytest.mark.parametrize("usage", [USAGE, COLUMNS_USAGE], ids=["vorn", "vorn_columns"])
def test_typed_usage_passes_strict_mypy(tmp_path, usage):
    r = run_mypy(tmp_path, usage)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.fixture(scope="module")
def mistake_report(tmp_path_factory):
    r = run_mypy(tmp_path_factory.mktemp("mistakes"), MISTAKES)
    assert r.returncode == 1, r.stdout + r.stderr
    return r.stdout


@pytest.mark.parametrize("line", range(2, len(MISTAKES.splitlines()) + 1))
def test_each_mistake_is_reported(mistake_report, line):
    source = textwrap.dedent(MISTAKES).splitlines()[line - 1]
    code = source.rsplit("# ", 1)[1]
    errors = re.findall(rf"^check\.py:{line}: error: .*\[([a-z-]+)\]$", mistake_report, re.M)
    assert code in errors, f"{source!r} not reported as [{code}]:\n{mistake_report}"


def test_typed_columns_are_the_dtypes_read():
    """The column types type checkers are told are those the decoder makes."""
    import ast
    import pathlib

    import vorn_columns._batch as vc  # the module that declares the typed columns
    from vorn_columns._layouts import FIELD_DTYPES

    tree = ast.parse(pathlib.Path(vc.__file__).read_text())
    declared = {node.name[:3]: {f.target.id: f.annotation.slice.attr for f in node.body}
                for node in ast.walk(tree)
                if isinstance(node, ast.ClassDef) and node.name in ("WD1Columns", "WD2Columns")}
    assert declared == {layout: {name: dtype.name for name, dtype in fields.items()}
                        for layout, fields in FIELD_DTYPES.items()}
