"""Pulse features: the parameters (checked, normalised, compared, pickled), the native
features against a float64 model of the definitions (features_model) over random
parameters and files, and the physics of synthetic pulses."""
import math
import pickle

import numpy as np
import pytest

import features_model
import vorn_columns as vc
import wd_files

F32_ROUNDING = 2.0**-23  # the float32 rounding of a value, twice over (model and native)
DTYPES = {"integral": np.float64, "peak_index": np.int32, "saturated": np.bool_}


def features_read(path, layout, spec, how):
    """The feature columns of a file, read as `how` says: in one read, in parts
    through iter_batches, or computed from a batch read with its samples."""
    if how == "compute":
        return spec.compute(vc.read(path, layout)).columns
    if how == "read":
        return vc.read(path, layout, features=spec).columns
    parts = [b.columns for b in vc.iter_batches(path, layout, features=spec, max_events=7)]
    return {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}


def model_columns(batch, spec):
    """The model's feature columns of a batch read with its samples: (events,) arrays,
    or (events, C) for C > 1 channels; each with its scale."""
    channels = max(batch.channels, 1)
    rows = [features_model.event(batch.samples[a:b], channels, spec._params())
            for a, b in zip(batch.offsets[:-1], batch.offsets[1:])]
    out = {}
    for name in spec.names(batch.layout):
        values = np.array([[c[0][name] for c in r] for r in rows]).reshape(-1, channels)
        scales = np.array([[c[1][name] for c in r] for r in rows]).reshape(-1, channels)
        out[name] = (values[:, 0], scales[:, 0]) if channels == 1 else (values, scales)
    return out


def random_spec(rng):
    pick = lambda lo, hi: int(rng.integers(lo, hi + 1))  # noqa: E731
    b0 = pick(0, 4)
    kw = {"baseline": (b0, b0 + pick(1, 9)), "cfd_fraction": float(rng.uniform(0.05, 0.95)),
          "saturation": (pick(0, 300), pick(65000, 65535))}
    form = pick(0, 2)
    if form == 1:
        start = pick(0, 12)
        kw["integral"] = (start, start + pick(1, 30))
    elif form == 2:
        pre = pick(0, 5)
        kw["integral_around_peak"] = (pre, pick(0, 5) + (pre == 0))
    if pick(0, 3):
        kw["trapezoid"] = (pick(1, 7), pick(1, 7)) if pick(0, 5) else (pick(60, 90), pick(1, 30))
        if pick(0, 1):
            kw["decay"] = float(rng.uniform(0.5, 200))
    if pick(0, 2) == 0:
        names = [n for n in features_model.NAMES
                 if pick(0, 1) and (n != "trapezoid_max" or "trapezoid" in kw)]
        kw["select"] = names or ["amplitude"]
    return vc.Features(["positive", "negative"][pick(0, 1)], **kw)


def random_record(rng, n, wd1):
    """A pulse on a baseline with noise, or noise alone, near any level; WD2 samples
    sometimes hold NaN or infinities."""
    u = rng.uniform
    level = 65535 * u() if wd1 else 1e3 * (u() - 0.5)
    noise, height, t0, tau = 40 * u() * u(), (u() - 0.5) * 8000, n * u(), 1 + 100 * u()
    i = np.arange(n)
    x = level + noise * (rng.uniform(size=n) - 0.5) + np.where(
        i >= t0, height * np.exp(-np.maximum(i - t0, 0) / tau), 0)
    if wd1:
        return np.clip(np.round(x), 0, 65535).astype(np.uint16)
    x = x.astype(np.float32)
    if n and u() < 0.15:
        x[rng.integers(0, n, size=int(rng.integers(1, 4)))] = rng.choice([np.nan, np.inf, -np.inf])
    return x


def at_the_edge(rng, x, spec):
    """WD1 samples, one of which may sit on a saturation level or just inside it."""
    if len(x) and rng.uniform() < 0.5:
        lo, hi = spec.saturation
        x[rng.integers(0, len(x))] = rng.choice([lo, lo + 1, hi - 1, hi])
    return x


def random_file(rng, spec, layout, channels, mixed, big=False):
    """Records of one length, or of lengths around every edge the parameters set; `big`:
    over a megabyte of records of one length, which a read splits among threads."""
    b1 = spec.baseline[1]
    span = 2 * spec.trapezoid[0] + spec.trapezoid[1] if spec.trapezoid else 0
    edges = [0, b1 - 1, b1, b1 + 1, span - 1, span, span + 9,
             spec.integral[1] if spec.integral else 1, int(rng.integers(0, 300))]
    count = int(rng.integers(1, 30))
    length = max(b1 + 1, span + int(rng.integers(0, 200)))
    if big:
        length = max(length, 1024)
        count = (1 << 20) // (length * (2 if layout == "WD1" else 4 * channels)) + 40
    lengths = [max(0, int(rng.choice(edges))) for _ in range(count)] if mixed else (
        [length] * count)
    if layout == "WD1":
        return b"".join(wd_files.wd1(at_the_edge(rng, random_record(rng, n, True), spec),
                                     event_counter=k) for k, n in enumerate(lengths))
    lengths[1:2] = lengths[:1]  # the channel probe compares the first two records
    return b"".join(
        wd_files.wd2(np.concatenate([random_record(rng, n, False) for _ in range(channels)]),
                     channels=channels if channels > 1 else None, event_counter=k, samples=n)
        for k, n in enumerate(lengths))


class TestParameters:
    @pytest.mark.parametrize("kw, error, words", [
        ({"polarity": "up"}, ValueError, "polarity"),
        ({"polarity": 1}, TypeError, "polarity"),
        ({"baseline": (5, 5)}, ValueError, "baseline"),
        ({"baseline": (10, 2)}, ValueError, "baseline"),
        ({"baseline": (True, 8)}, TypeError, "baseline must be an integer"),
        ({"baseline": (0, 8, 9)}, TypeError, "baseline must be a pair"),
        ({"baseline": "0:8"}, TypeError, "baseline must be a pair"),
        ({"integral": (40, 30)}, ValueError, "integral"),
        ({"integral": (0, 9), "integral_around_peak": (2, 3)}, ValueError, "integral"),
        ({"integral_around_peak": (0, 0)}, ValueError, "integral_around_peak"),
        ({"cfd_fraction": 1.0}, ValueError, "cfd_fraction"),
        ({"cfd_fraction": math.nan}, ValueError, "cfd_fraction"),
        ({"cfd_fraction": "half"}, TypeError, "cfd_fraction must be a number"),
        ({"trapezoid": (0, 4)}, ValueError, "trapezoid"),
        ({"trapezoid": (4, 0)}, ValueError, "trapezoid"),
        ({"decay": 50.0}, ValueError, "decay"),
        ({"trapezoid": (4, 2), "decay": 0}, ValueError, "decay"),
        ({"trapezoid": (4, 2), "decay": True}, TypeError, "decay must be a number"),
        ({"select": ["amplitude", "charge"]}, ValueError, "select"),
        ({"select": ["trapezoid_max"]}, ValueError, "select"),
        ({"select": []}, ValueError, "select"),
        ({"select": [3]}, TypeError, "select"),
    ])
    def test_refusals_name_the_parameter(self, kw, error, words):
        polarity = kw.pop("polarity", "negative")
        with pytest.raises(error, match=f"^{words}"):
            vc.Features(polarity, **kw)

    def test_normalised_compared_and_pickled_by_parameters(self):
        spec = vc.Features("negative", baseline=np.array([2, 18]), trapezoid=[8, 4],
                           decay=np.float32(250), select=("cfd_time", "amplitude", "cfd_time"))
        same = vc.Features("negative", baseline=(2, 18), trapezoid=(8, 4), decay=250,
                           select=["amplitude", "cfd_time"])
        assert spec == same and hash(spec) == hash(same)
        assert spec != vc.Features("positive", baseline=(2, 18), trapezoid=(8, 4), decay=250,
                                   select=["amplitude", "cfd_time"])
        assert spec.baseline == (2, 18) and type(spec.baseline[0]) is int
        assert spec.select == ("amplitude", "cfd_time") and type(spec.decay) is float
        assert eval(repr(spec), {"Features": vc.Features}) == spec
        for word in ("saturation=(0, 65535)", "integral=None", "cfd_fraction=0.5"):
            assert word in repr(spec)
        assert pickle.loads(pickle.dumps(spec)) == spec
        assert spec._params() == (-1, (2, 18), None, None, 0.5, (8, 4), 250.0, (0, 65535),
                                  ("amplitude", "cfd_time"))
        with pytest.raises(AttributeError):
            spec.decay = 10.0

    @pytest.mark.parametrize("kw, wd1, wd2", [
        ({}, [n for n in features_model.NAMES if n != "trapezoid_max"],
         [n for n in features_model.NAMES if n not in ("trapezoid_max", "saturated")]),
        ({"trapezoid": (4, 2)}, list(features_model.NAMES), list(features_model.NAMES[:-1])),
        ({"select": ["saturated", "integral"]}, ["integral", "saturated"], ["integral"]),
    ])
    def test_names_are_the_columns_each_layout_yields(self, kw, wd1, wd2):
        spec = vc.Features("positive", **kw)
        assert (list(spec.names("WD1")), list(spec.names("WD2"))) == (wd1, wd2)


@pytest.mark.parametrize("seed", range(8))
def test_native_features_agree_with_the_model(write, seed):
    """Random parameters over WD1 and WD2 files of 1-4 channels, of one record length
    (some read on several threads) or mixed: each feature within float32 rounding of the float64 model (the absolute floor
    scaled by the magnitudes summed), indices and NaN exactly, in every way of reading."""
    rng = np.random.default_rng(seed)
    for trial in range(12):
        spec = random_spec(rng)
        layout = "WD1" if trial % 2 == 0 else "WD2"
        channels = 1 if layout == "WD1" else 1 + trial // 2 % 4
        path = write(random_file(rng, spec, layout, channels, mixed=trial % 3 != 0,
                                 big=trial in (0, 3)))
        want = model_columns(vc.read(path, layout), spec)
        for how in ("read", "parts", "compute"):
            got = features_read(path, layout, spec, how)
            context = f"{spec} {layout} x{channels} {how}"
            assert list(got)[-len(want):] == list(want), context
            for name, (value, scale) in want.items():
                g = got[name]
                assert g.dtype == DTYPES.get(name, np.float32), (context, name)
                assert g.shape == value.shape, (context, name)
                if name in ("peak_index", "saturated"):
                    np.testing.assert_array_equal(g, value, err_msg=f"{context} {name}")
                    continue
                rounding = 1e-12 if name == "integral" else F32_ROUNDING
                tolerance = np.abs(value) * rounding + 1e-12 * scale
                g = g.astype(np.float64)
                special = ~np.isfinite(value)
                np.testing.assert_array_equal(g[special], value[special],
                                              err_msg=f"{context} {name}")
                with np.errstate(invalid="ignore"):
                    off = np.flatnonzero(~special & ~(np.abs(g - value) <= tolerance))
                assert not len(off), (context, name, g[off], value[off])


def pulse(n, amplitude, t0, tau, base, noise, rng):
    i = np.arange(n)
    return base + np.where(i >= t0, amplitude * np.exp(-(i - t0) / tau), 0.0) + (
        noise * rng.standard_normal(n) if noise else 0.0)


@pytest.mark.parametrize("source", ["native", "model"])
@pytest.mark.parametrize("layout", ["WD1", "WD2"])
@pytest.mark.parametrize("noise", [0.0, 2.0])
@pytest.mark.parametrize("polarity", ["positive", "negative"])
def test_synthetic_pulses_give_their_physics(write, source, layout, noise, polarity):
    """Exponential pulses of known amplitude, onset and tau: amplitude and trapezoid
    energy recover the amplitude, an instant rise crosses at t0 - 1 + f, and a decay
    20% off misestimates the energy by more than 1%."""
    rng = np.random.default_rng(7)
    n, t0, tau, f, base = 1024, 300, 120.0, 0.3, 2000.0
    heights = np.array([100.0, 800.0, 1500.0])
    s = 1 if polarity == "positive" else -1
    rows = [pulse(n, s * a, t0, tau, base, noise, rng) for a in heights]
    if layout == "WD1":
        path = write(b"".join(wd_files.wd1(np.round(x)) for x in rows))
    else:
        path = write(b"".join(wd_files.wd2(x.astype(np.float32)) for x in rows))
    kw = dict(baseline=(0, 256), cfd_fraction=f, trapezoid=(64, 16))

    def measure(**more):
        spec = vc.Features(polarity, **kw, **more)
        if source == "native":
            cols = vc.read(path, layout, features=spec).columns
            return {k: np.asarray(v, np.float64) for k, v in cols.items()}
        cols = model_columns(vc.read(path, layout), spec)
        return {k: v for k, (v, _) in cols.items()}

    right, wrong = measure(decay=tau), measure(decay=0.8 * tau)
    # Rounding to integers (WD1) and the noise in the baseline and peak
    # bound how close each comes.
    slack = 0.5 + 4 * noise
    np.testing.assert_allclose(right["amplitude"], heights, atol=slack + 3 * noise)
    np.testing.assert_allclose(right["trapezoid_max"], heights, atol=slack / 4 + 0.01)
    assert np.all(np.abs(wrong["trapezoid_max"] - heights) > 0.01 * heights)
    if noise == 0:
        np.testing.assert_array_equal(right["peak_index"], t0)
        np.testing.assert_allclose(right["cfd_time"], t0 - 1 + f, atol=1e-4)
