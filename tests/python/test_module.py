"""The module object: its attributes, re-import, and what importing it costs."""
import glob
import os
import subprocess
import sys
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
