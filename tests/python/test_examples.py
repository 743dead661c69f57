"""The examples run as a user runs them: demo, following a growing file, many files at once."""
import importlib.util
import json
import os
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np
import pytest

from vorn import EventReader

from wd_files import wd1, wd1_run, wd2, wd2_run

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_example(name, *args, **kwargs):
    env = dict(os.environ)
    if env.get("VORN_SANITIZED"):
        # GCC 12's LeakSanitizer crashed ("Tracer caught signal 11") at the exit of the demo,
        # reading a dynamic TLS block whose recorded range was garbage, after matplotlib wrote
        # its PNG; with a guard page behind every column region the demo and the suite ran
        # clean. Memory errors are still caught here; leaks are the suite's process's to find.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    r = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *map(str, args)],
                       capture_output=True, text=True, timeout=120, env=env, **kwargs)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture(scope="module")
def example_data(tmp_path_factory):
    out = tmp_path_factory.mktemp("data")
    run_example("make_examples", out)
    return out


class TestDemo:
    SUMMARY = ["pulses.wd1 (WD1): 200 events", "pulses_2ch.wd2 (WD2): 100 events",
               "pulses_1ch.wd2 (WD2): 100 events", "channels         2 .. 2"]

    def test_summarizes_and_draws(self, example_data, tmp_path):
        png = tmp_path / "waves.png"
        out = run_example("demo", example_data, "--png", png)
        assert all(line in out for line in self.SUMMARY), out
        try:
            import matplotlib.image
        except ImportError:
            assert not png.exists() and "no picture" in out
            return
        height, width, _ = matplotlib.image.imread(png).shape
        assert height > width  # four panels above one another

    def test_draws_the_features_of_the_pulses_and_times_them(self, example_data, tmp_path):
        png, features = tmp_path / "waves.png", tmp_path / "features.png"
        out = run_example("demo", example_data, "--png", png, "--features-png", features)
        timed = [line for line in out.splitlines() if line.startswith("  features: ")]
        assert len(timed) == 3 and all("the plain read" in line for line in timed), out
        demo = load("demo")
        amplitudes, times = demo.pulse_features(example_data / "pulses.wd1", "WD1")
        # make_examples' WD1 pulses start between samples 200 and 300
        assert np.all((times > 195) & (times < 310)) and np.all(amplitudes > 0)
        pytest.importorskip("matplotlib")
        assert features.exists()

    def test_without_matplotlib_prints_the_summary_only(self, example_data, tmp_path):
        png = tmp_path / "waves.png"
        code = ("import runpy, sys; sys.modules['matplotlib'] = None\n"
                f"sys.argv = ['demo.py', {str(example_data)!r}, '--png', {str(png)!r}]\n"
                f"runpy.run_path({str(EXAMPLES / 'demo.py')!r}, run_name='__main__')")
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        assert all(line in r.stdout for line in self.SUMMARY) and "no picture" in r.stdout
        assert not png.exists()

    @pytest.mark.parametrize("channels, panels", [(None, 1), (2, 2), (3, 3)])
    def test_panels_split_wd2_blocks_per_channel(self, write, channels, panels):
        demo = load("demo")
        path = Path(write(wd2_run(7, samples=4, channels=channels)))
        events = list(EventReader(str(path), "WD2"))
        shown = demo.panels(path, events)
        assert len(shown) == panels
        for c, (title, waves) in enumerate(shown):
            assert (f"channel {c}" in title) == (panels > 1)
            assert len(waves) == demo.SHOWN
            for ev, wave in zip(events, waves):
                assert wave.tolist() == ev["data"][4 * c:4 * c + 4].tolist()


def chunks_of(content, sizes):
    """`content` cut into pieces of the given sizes, repeated in turn."""
    pieces, pos, i = [], 0, 0
    while pos < len(content):
        pieces.append(content[pos:pos + sizes[i % len(sizes)]])
        pos += len(pieces[-1])
        i += 1
    return pieces


class TestFollow:
    # (layout, records, file content, bytes present when the reader opens: a WD2 file's first
    # record, from which the reader learns the channel layout)
    FILES = {
        "WD1 small records": ("WD1", 40, wd1_run(40, samples=37), 0),
        "WD1 blocks over 8 KiB": ("WD1", 6, wd1_run(6, samples=5000), 0),
        "WD2 two channels": ("WD2", 30, wd2_run(30, samples=19, channels=2), 28 + 19 * 2 * 4),
    }

    @pytest.mark.parametrize("name", FILES)
    @pytest.mark.parametrize("sizes", [(1,), (5, 3, 1021), (4099, 7)])
    def test_appended_records_come_back_whole(self, tmp_path, monkeypatch, name, sizes):
        layout, count, content, present = self.FILES[name]
        path = tmp_path / "growing"
        path.write_bytes(content[:present])
        pieces = iter(chunks_of(content[present:], sizes))

        def sleep(seconds):  # each pause of the follower, the writer appends one more piece
            with open(path, "ab") as f:
                f.write(next(pieces, b""))

        follow = load("follow")
        monkeypatch.setattr(follow, "time", types.SimpleNamespace(sleep=sleep))
        # Quiet for one second per piece: longer than any record takes to arrive.
        got = list(follow.follow(str(path), layout, poll=1, idle=len(content) // count + 1))
        expected = list(EventReader(str(path), layout))
        assert len(got) == len(expected) == count
        for a, b in zip(got, expected):
            assert a.keys() == b.keys()
            assert all(np.array_equal(a[k], b[k]) for k in a)

    def test_command_line_follows_a_writer(self, tmp_path):
        content = wd1_run(20, samples=300)
        record = len(content) // 20
        path = tmp_path / "growing.wd1"
        path.write_bytes(content[:2 * record + 100])  # the third record cut short
        cmd = [sys.executable, str(EXAMPLES / "follow.py"), str(path), "WD1",
               "--poll", "0.05", "--idle", "2"]
        with subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) as proc:
            for start, end in [(2 * record + 100, 9 * record + 7), (9 * record + 7, len(content))]:
                time.sleep(0.3)
                with open(path, "ab") as f:
                    f.write(content[start:end])
            out, _ = proc.communicate(timeout=60)
        assert proc.returncode == 0
        counters = [int(line.split()[1].rstrip(":")) for line in out.splitlines()]
        assert counters == list(range(20))
        assert all("300 samples" in line for line in out.splitlines())


class TestManyFiles:
    @staticmethod
    def wave(height, baseline, samples=100):
        w = [baseline] * samples
        w[70] = baseline - height
        return w

    def write_runs(self, directory, edges):
        """Three runs of pulses whose heights lie at bin centres; returns the heights by layout."""
        centres = {k: (e[1:] + e[:-1]) / 2 for k, e in edges.items()}
        rng = np.random.default_rng(7)
        heights = {"WD1": rng.choice(centres["WD1"][:-1], 30),  # all below the baseline
                   "WD2": rng.choice(centres["WD2"], 40)}
        h1 = [wd1(self.wave(int(h), 4000)) for h in heights["WD1"]]
        (directory / "a.wd1").write_bytes(b"".join(h1[:10]))
        (directory / "b.wd1").write_bytes(wd1([]) + b"".join(h1[10:]))  # an empty record too
        h2 = heights["WD2"].reshape(-1, 2)
        (directory / "c.wd2").write_bytes(b"".join(
            wd2(self.wave(x, 0.01) + self.wave(y, 0.02), channels=2, event_counter=i)
            for i, (x, y) in enumerate(h2)))
        (directory / "notes.txt").write_text("not an event file")
        return heights

    @pytest.mark.parametrize("engine", ["pool", "dask"])
    def test_histogram_over_a_directory(self, tmp_path, engine):
        if engine == "dask":
            for module in ("dask.dataframe", "pyarrow"):
                pytest.importorskip(module, reason="the dask extra is not installed (make test "
                                    "installs it)")
        edges = {k: np.asarray(v) for k, v in load("many_files").EDGES.items()}
        heights = self.write_runs(tmp_path, edges)
        report = json.loads(run_example("many_files", tmp_path, "--engine", engine,
                                        "--workers", 2, "--json"))
        assert report["files"] == 3
        (totals,) = report["results"].values()
        for layout, h in heights.items():
            assert totals[layout] == np.histogram(h, edges[layout])[0].tolist()

    def test_without_dask_the_hint_not_a_traceback(self, tmp_path):
        edges = {k: np.asarray(v) for k, v in load("many_files").EDGES.items()}
        self.write_runs(tmp_path, edges)
        hide = ("import runpy, sys; sys.modules['dask'] = None\n"
                f"sys.argv = ['many_files.py', {str(tmp_path)!r}, '--engine', '{{}}', '--json']\n"
                f"runpy.run_path({str(EXAMPLES / 'many_files.py')!r}, run_name='__main__')")
        alone = subprocess.run([sys.executable, "-c", hide.format("dask")], capture_output=True,
                               text=True, timeout=120)
        assert alone.returncode == 1 and "Traceback" not in alone.stderr
        assert "pip install 'vorn[dask]'" in alone.stderr
        both = subprocess.run([sys.executable, "-c", hide.format("both")], capture_output=True,
                              text=True, timeout=120)
        assert both.returncode == 0, both.stderr
        assert "vorn[dask]" in both.stderr and list(json.loads(both.stdout)["results"]) == [
            "process pool"]
