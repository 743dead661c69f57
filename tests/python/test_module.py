"""The module object: its attributes, re-import, and what importing it costs."""
import gc
import glob
import inspect
import os
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import vorn


def run_python(code, executable=sys.executable, **kwargs):
    return subprocess.run([executable, "-c", code], capture_output=True, text=True, **kwargs)


class TestModule:
    def test_surface_is_one_class(self):
        assert vorn.__all__ == ["EventReader"]
        assert vorn.__doc__ == ""
        assert vorn.__name__ == "vorn"
        public = {name for name in dir(vorn) if not name.startswith("__")}
        assert public == {"EventReader"}
        assert not [v for v in vars(vorn).values() if callable(v) and v is not vorn.EventReader]

    def test_reimport_returns_the_same_module_and_type(self):
        code = (
            "import sys, vorn\n"
            "m, t = vorn, vorn.EventReader\n"
            "del sys.modules['vorn']\n"
            "import vorn\n"
            "assert vorn is m and vorn.EventReader is t, 'not the same objects'\n"
            "assert vorn.__all__ == ['EventReader'], vorn.__all__\n"
        )
        r = run_python(code)
        assert r.returncode == 0, r.stderr

    def test_import_does_not_import_numpy(self):
        r = run_python("import sys, vorn; print('numpy' in sys.modules)")
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == "False"


class TestEventReaderType:
    def test_names(self):
        t = vorn.EventReader
        assert (t.__name__, t.__qualname__, t.__module__) == ("EventReader", "EventReader", "builtins")
        assert repr(t) == "<class 'builtins.EventReader'>"
        assert t.__bases__ == (object,)

    @pytest.mark.xfail(sys.version_info < (3, 10), strict=True,
                       reason="CPython 3.9's PyType_FromSpec drops the signature line of a doc string")
    def test_signature_and_doc(self):
        t = vorn.EventReader
        assert t.__text_signature__ == "(path, reader_type)"
        assert str(inspect.signature(t)) == "(path, reader_type)"
        assert not t.__doc__

    def test_no_members_of_its_own(self):
        own = set(vars(vorn.EventReader)) - {"__doc__", "__module__", "__text_signature__"}
        assert own <= {"__new__", "__iter__", "__next__"}
        assert {"__new__", "__iter__", "__next__"} <= own
        for name in ("close", "__enter__", "__len__", "__weakref__"):
            assert not hasattr(vorn.EventReader, name)

    def test_not_subclassable(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (vorn.EventReader,), {})

    def test_instances(self, wd1_path):
        reader = vorn.EventReader(wd1_path, "WD1")
        with pytest.raises(AttributeError):
            reader.path = "elsewhere"
        with pytest.raises(TypeError, match="weak reference"):
            weakref.ref(reader)
        assert not gc.is_tracked(reader)
        assert not hasattr(reader, "__dict__")


def test_second_interpreter_is_refused():
    code = textwrap.dedent(r"""
        import os, sys, vorn
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(77)
        read_end, write_end = os.pipe()
        sub = (
            "import os\n"
            "try:\n"
            "    import vorn\n"
            "    report = 'imported'\n"
            "except ImportError as e:\n"
            "    report = 'ImportError: ' + str(e)\n"
            f"os.write({write_end}, report.encode())\n"
        )
        assert _testcapi.run_in_subinterp(sub) == 0
        os.close(write_end)
        print(os.read(read_end, 1000).decode())
        print(vorn.__all__, vorn.EventReader.__name__)
        """)
    r = run_python(code)
    if r.returncode == 77:
        pytest.skip("this interpreter has no _testcapi")
    assert r.returncode == 0, r.stderr
    report, main = r.stdout.splitlines()
    assert report.startswith("ImportError: ") and "subinterpreters" in report
    assert main == "['EventReader'] EventReader"


def interpreters():
    """Interpreters of the oldest and newest supported versions found here."""
    found = {}
    roots = [os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))]
    for version in ("3.9", "3.13"):
        candidates = sorted(glob.glob(f"{roots[0]}/versions/{version}.*/bin/python{version}"))
        if candidates:
            found[version] = candidates[-1]
    return found


@pytest.mark.parametrize("version", ["3.9", "3.13"])
def test_same_extension_imports_on_oldest_and_newest_python(version):
    exe = interpreters().get(version)
    if exe is None:
        pytest.skip(f"no CPython {version} interpreter on this machine")
    ext_dir = str(Path(vorn.__file__).parent)
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]) if len(sys.argv) > 1 else None\n"
        "import vorn; assert vorn.__all__ == ['EventReader']; print(sys.version_info[:2])"
    )
    r = subprocess.run([exe, "-I", "-c", code, ext_dir], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str(tuple(int(x) for x in version.split(".")))
