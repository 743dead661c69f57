"""scan_polars against the full read: any projection, filter and limit of the
lazy frame gives what pl.DataFrame(vc.read(...)) gives for the same query,
over one file, a list and a glob, whatever the frames' size; and a query
reads only the bytes it needs."""
import gzip
import io
import os
import pathlib
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn_columns as vc
import wd_files
from test_columns import EXAMPLES, wd1_files, wd2_files

pl = pytest.importorskip("polars", reason="polars is not installed (make test installs it)")

OPS = ["==", "!=", "<", ">=", "is_in"]
# Files whose header values repeat, so that filters keep some events and drop others;
# and the files of the read tests, corrupt ones among them.
SMALL = st.integers(-2, 3)
FILES = {
    "WD1": st.lists(st.builds(wd_files.wd1, st.lists(st.integers(0, 2**16 - 1), max_size=4),
                              board_channel=SMALL, event_counter=SMALL, timestamp=SMALL),
                    max_size=8).map(b"".join) | wd1_files,
    "WD2": wd2_files(),
}


def reference(paths, layout, labels):
    """The frame of the full read: every file read whole, `file` added for several."""
    frames = [pl.DataFrame(vc.read(p, layout)) for p in paths]
    if labels is not None:
        frames = [f.with_columns(file=pl.lit(label, pl.String)) for f, label in zip(frames, labels)]
    return pl.concat(frames) if frames else None


@st.composite
def predicates(draw, ref, names):
    """A filter on header columns (or on the samples) with values the files hold,
    so that it keeps some events and drops others."""
    terms = []
    for _ in range(draw(st.integers(1, 2))):
        name = draw(st.sampled_from(names))
        if name == "data":
            terms.append(pl.col("data").list.len() >= draw(st.integers(0, 4)))
            continue
        seen = ref[name].to_list()
        value = draw(st.sampled_from(seen)) if seen else 0 if name != "file" else "nowhere"
        op = draw(st.sampled_from(OPS if name != "file" else ["==", "!="]))
        col = pl.col(name)
        terms.append(col.is_in([value]) if op == "is_in" else {
            "==": col == value, "!=": col != value, "<": col < value, ">=": col >= value}[op])
    return terms[0] if len(terms) == 1 or draw(st.booleans()) else terms[0] | terms[1]


@settings(EXAMPLES, max_examples=150)
@given(st.sampled_from(["WD1", "WD2"]), st.data())
def test_queries_give_what_the_full_read_gives(tmp_path_factory, layout, data):
    files = data.draw(st.lists(FILES[layout], max_size=3))
    folder = tmp_path_factory.mktemp("runs")
    paths = []
    for i, content in enumerate(files):
        paths.append(str(folder / f"run{i}.{layout.lower()}"))
        with open(paths[-1], "wb") as f:
            f.write(content)
    how = data.draw(st.sampled_from(["one", "list", "glob"]) if len(paths) == 1 else
                    st.sampled_from(["list", "glob"]))
    source = {"one": paths[0] if paths else None, "list": paths,
              "glob": str(folder / f"run*.{layout.lower()}")}[how]
    if not paths and how != "list":
        return
    labels = None if how == "one" else sorted(paths) if how == "glob" else paths
    try:
        ref = reference(labels or paths, layout, labels)
    except vc.CorruptRecordError:
        with pytest.raises(Exception, match="cannot be read"):
            vc.scan_polars(source, layout).collect()
        return
    lazy = vc.scan_polars(source, layout)
    assert lazy.collect_schema() == (ref.schema if ref is not None else lazy.collect_schema())
    if ref is None:
        assert lazy.collect().height == 0
        return
    names = list(ref.columns)
    predicate = data.draw(st.none() | predicates(ref, [n for n in names if n != "data"]) |
                          predicates(ref, names))
    no_header = [[pl.len()]] + ([["file"]] if "file" in names else [])  # read no header column
    chosen = data.draw(st.none() | st.sampled_from(no_header) |
                       st.lists(st.sampled_from(names), min_size=1, unique=True))
    limit = data.draw(st.none() | st.integers(0, len(ref) + 2) | st.integers(0, len(ref) // 2))
    limit_first = data.draw(st.booleans())  # a limit before the filter goes down with it

    def query(frame):
        if limit is not None and limit_first:
            frame = frame.head(limit)
        if predicate is not None:
            frame = frame.filter(predicate)
        if chosen is not None:
            frame = frame.select(chosen)
        return frame if limit is None or limit_first else frame.head(limit)

    want = query(ref.lazy()).collect()
    chunk = data.draw(st.sampled_from([1, 2, 3, 100_000]))
    engine = data.draw(st.sampled_from(["in-memory", "streaming"]))
    with pl.Config(streaming_chunk_size=chunk):
        got = query(lazy).collect(engine=engine)
    assert got.equals(want), (got, want)


def read_bytes():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io")
def test_a_query_reads_only_the_bytes_it_needs(write):
    """Headers without data skip the blocks; a filter reads the samples of
    the events that pass; a limit stops the reading."""
    record = 24 + 2 * 32768
    path = write(b"".join(wd_files.wd1(np.full(32768, i), board_channel=i % 10,
                                       event_counter=i) for i in range(60)))
    lazy = vc.scan_polars(path, "WD1")
    queries = {
        "headers": (lambda f: f.select("event_counter", "timestamp"), 60, 0),
        "one channel": (lambda f: f.filter(pl.col("board_channel") == 3), 6, 6),
        "first two": (lambda f: f.head(2), 2, 2),
    }
    if int(pl.__version__.split(".")[0]) >= 2:  # Polars 1 keeps a limit before a filter to itself
        queries["limit then channel"] = (
            lambda f: f.head(10).filter(pl.col("board_channel") == 3), 1, 1)
    lazy.select("event_counter").collect()  # the imports a first query makes are not counted
    results = {}
    for name, (query, rows, records) in queries.items():
        before = read_bytes()
        got = results[name] = query(lazy).collect()
        spent = read_bytes() - before
        assert got.height == rows, name
        assert records * record <= spent <= records * record + 60 * 1024, name
    assert results["one channel"]["data"][0].to_list() == [3] * 32768


def test_sources_as_given_and_bad_ones(write, tmp_path):
    a = write(wd_files.wd1_run(2), name="a.wd1")
    b = write(wd_files.wd1_run(3), name="b.wd1")
    got = vc.scan_polars([b, pathlib.Path(a)], "WD1").group_by("file", maintain_order=True).len()
    assert got.collect().rows() == [(b, 3), (a, 2)]
    assert "file" not in vc.scan_polars(a, "WD1").collect_schema()
    with pytest.raises(FileNotFoundError):
        vc.scan_polars(str(tmp_path / "*.wd2"), "WD2")
    with pytest.raises(ValueError, match="layout must be"):
        vc.scan_polars(a, "wd1")


def test_compressed_files_and_file_objects(write):
    """Input that cannot seek back is read whole and filtered: the same rows."""
    contents = [wd_files.wd1_run(7, samples=3), wd_files.wd1_run(4, samples=5)]
    sources = [write(gzip.compress(contents[0]), name="a.wd1.gz"), io.BytesIO(contents[1])]
    lazy = vc.scan_polars(sources, "WD1")
    ref = reference([write(c) for c in contents], "WD1", [sources[0], "<BytesIO>"])
    query = lambda f: f.filter(pl.col("event_counter") % 2 == 1).head(5)  # noqa: E731
    assert query(lazy).collect().equals(query(ref.lazy()).collect())


class Pipe:
    """A file object that cannot seek."""

    def __init__(self, content):
        self._f = io.BytesIO(content)

    def read(self, n=-1):
        return self._f.read(n)


SCANS_OF_ONE_FRAME = {
    "one scan": lambda f: f,
    "self-join": lambda f: f.filter(pl.col("event_counter") % 3 == 0).join(
        f, on="event_counter", suffix="_again").sort("event_counter"),
    "concat": lambda f: pl.concat([f, f.select(pl.all().reverse())]),
}


@pytest.mark.parametrize("engine", ["in-memory", "streaming"])
@pytest.mark.parametrize("query", SCANS_OF_ONE_FRAME)
def test_every_scan_of_a_file_object_reads_all_of_it(write, query, engine):
    """Scans of one frame over a file object that can seek, run one after the other (a
    second collect) or at once (a self-join, a concat), each read it whole from where it
    stood; of one that cannot seek, a later scan is refused rather than given the rest."""
    content = wd_files.wd1_run(300, samples=5)
    f = io.BytesIO(b"before" + content)
    f.seek(6)
    want = SCANS_OF_ONE_FRAME[query](pl.DataFrame(vc.read(write(content), "WD1")).lazy()).collect()
    lazy = SCANS_OF_ONE_FRAME[query](vc.scan_polars(f, "WD1"))
    with pl.Config(streaming_chunk_size=7):
        for _ in range(2):
            assert lazy.collect(engine=engine).equals(want)
        pipe = Pipe(content)
        once = SCANS_OF_ONE_FRAME[query](vc.scan_polars(pipe, "WD1"))
        if query == "one scan":
            assert once.collect(engine=engine).equals(want)
        # Polars before 1.37 hands on what an IO source raised as its own ComputeError.
        with pytest.raises((ValueError, pl.exceptions.ComputeError),
                           match=re.escape(f"reads {pipe!r} once, since it cannot seek")):
            once.collect(engine=engine)
