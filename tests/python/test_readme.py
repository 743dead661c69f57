"""The README's Python snippets run as written, on files of the names they use, and mypy --strict
accepts them: what the README shows works."""
import bz2
import gzip
import lzma
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from wd_files import wd1_run, wd2_run

README = Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)
NAMES = sorted(set(re.findall(r"""["']([\w./*-]+\.wd[12](?:\.gz|\.bz2|\.xz|\.zst)?)["']""",
                              "\n".join(SNIPPETS))))
EXAMPLE_DATA = "examples/data/"
# Objects of the S3 URLs the snippets name: they run against the test S3 server on 127.0.0.1.
OBJECTS = re.compile(r"s3://([\w.-]+)/([\w./*-]+\.wd[12])")

PACK = {"": bytes, "gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress,
        "zst": lambda data: _zstd().compress(data)}


def _zstd():
    try:
        from compression import zstd  # CPython 3.14 on
        return zstd
    except ImportError:
        zstandard = pytest.importorskip("zstandard", reason="a snippet reads a zstd file")
        return zstandard.ZstdCompressor()


# A snippet that follows a growing file loops for ever: its first pause ends it.
PRELUDE = """\
import time
def _one_pass(seconds):
    raise SystemExit(0)
time.sleep = _one_pass
"""


def needs(snippet):
    """The optional modules a snippet imports; it is skipped where one is missing."""
    modules = re.findall(r"^\s*(?:import|from)\s+([\w.]+)", snippet, re.M)
    modules += [m for line in re.findall(r"^\s*import\s+(.+)$", snippet, re.M)
                for m in re.findall(r"(\w+)(?:\s+as\s+\w+)?", line)]
    # vorn_columns' functions that need an extra
    modules += [extra for call, extra in (("to_dask", "dask"), ("scan_polars", "polars"))
                if call in snippet]
    return sorted({m.split(".")[0] for m in modules} - {"vorn", "vorn_columns", "numpy", "typing",
                                                         "time", "glob", "as"})


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A directory holding a file for every name the snippets use; a glob gets three. Names
    under examples/data are the example files `make demo` writes, of realistic pulses."""
    root = tmp_path_factory.mktemp("readme")
    if any(name.startswith(EXAMPLE_DATA) for name in NAMES):
        subprocess.run([sys.executable, str(README.parent / "examples" / "make_examples.py"),
                        str(root / EXAMPLE_DATA)], check=True, capture_output=True)
    for name in NAMES:
        if name.startswith(EXAMPLE_DATA):
            continue
        paths = [name.replace("*", f"part{i}") for i in range(3)] if "*" in name else [name]
        for i, path in enumerate(paths):
            target = root / path
            target.parent.mkdir(parents=True, exist_ok=True)
            stem, packed = (name.rsplit(".", 1) if name.count(".wd") and not name.endswith(
                (".wd1", ".wd2")) else (name, ""))
            data = (wd2_run(40 + i, samples=16, channels=2) if stem.endswith(".wd2")
                    else wd1_run(60 + i, samples=32))
            target.write_bytes(PACK[packed](data))
    return root


def test_the_readme_has_snippets_and_names_files():
    assert len(SNIPPETS) >= 4 and "run042.wd1" in NAMES


def s3_environment(request, snippet):
    """The environment of a snippet that reads S3 URLs: the test S3 server as the endpoint,
    holding an object for each URL (three for a glob). None for other snippets."""
    if not OBJECTS.search(snippet):
        return None
    server = request.getfixturevalue("s3_server")  # skips where the server's tools are missing
    import s3fs

    fs = s3fs.S3FileSystem(**server.options)
    for bucket, key in OBJECTS.findall(snippet):
        if not fs.exists(bucket):
            fs.mkdir(bucket)
        keys = [key.replace("*", f"part{i}") for i in range(3)] if "*" in key else [key]
        for i, name in enumerate(keys):
            fs.pipe(f"{bucket}/{name}", wd1_run(60 + i, samples=32))
    return {**os.environ, "AWS_ENDPOINT_URL": server.url}


@pytest.mark.parametrize("snippet", [
    pytest.param(s, marks=[pytest.mark.servers] if OBJECTS.search(s) else []) for s in SNIPPETS],
    ids=[f"snippet{i}" for i in range(len(SNIPPETS))])
def test_snippet_runs(snippet, workdir, request):
    for module in needs(snippet):
        pytest.importorskip(module, reason=f"the snippet needs {module}")
    env = s3_environment(request, snippet)
    code = (PRELUDE if "while True" in snippet else "") + snippet
    stdin = wd1_run(10) if "sys.stdin" in snippet else b""  # a pipe of WD1 records
    r = subprocess.run([sys.executable, "-c", code], cwd=workdir, input=stdin, env=env,
                       capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr.decode()


def test_mypy_strict_accepts_the_snippets(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (make test installs it)")
    for i, snippet in enumerate(SNIPPETS):
        (tmp_path / f"snippet{i}.py").write_text(snippet)
    # Third-party libraries the snippets use are untyped in part (Dask's map_partitions): calls
    # into them are allowed, everything of vorn's is checked strictly.
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--ignore-missing-imports",
                        "--allow-untyped-calls",
                        "--no-error-summary", *sorted(map(str, tmp_path.glob("snippet*.py")))],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
