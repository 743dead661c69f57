#!/usr/bin/env bash
# The Python suite on 64-bit Arm under emulation: Debian's arm64 Python, NumPy, pytest and
# Hypothesis unpacked with mmdebstrap into build/aarch64/tree (made once, then reused), the
# extension modules cross-built against that tree's headers, and the suite run in a chroot of the
# tree with the checkout bind-mounted. qemu-aarch64 is registered with binfmt_misc (fix-binary
# flag) for the run, so that the subprocesses the tests start run on Arm too. Needs root.
# Usage: python_suite.sh [PYTEST ARGS...]   (default: the whole suite)
set -euo pipefail
repo=$(pwd)
build=$repo/build/aarch64
tree=$build/tree
packages=python3,python3-numpy,python3-pytest,python3-hypothesis,libpython3.11,libpython3.11-dev
packages+=,libstdc++6,libblas3,liblapack3,libgfortran5,libopenblas0-pthread
stamp=$tree/.made-$(echo "$packages" | md5sum | cut -c1-12)
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}

if [ ! -e "$stamp" ]; then
  command -v mmdebstrap > /dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap; }
  rm -rf "$tree" && mkdir -p "$build"
  mmdebstrap --quiet --variant=extract --architectures=arm64 --include="$packages" bookworm \
    "$tree" "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main"
  # extract runs no maintainer scripts: make the links the BLAS alternative would have made.
  for lib in "$tree"/usr/lib/aarch64-linux-gnu/openblas-pthread/*.so*; do
    ln -sf "openblas-pthread/$(basename "$lib")" "$tree/usr/lib/aarch64-linux-gnu/$(basename "$lib")"
  done
  mkdir -p "$tree/proc" "$tree/vorn/repo"
  touch "$stamp"
fi
extra=$tree/vorn/extra
if [ ! -e "$extra/.made" ]; then
  # The suite's optional consumers Debian lacks, from PyPI's arm64 wheels; those without one are
  # left out and their tests skip. pyarrow 18 and later need NumPy 2; Debian 12 has 1.24.
  rm -rf "$extra"
  for requirement in "pyarrow<18" polars polars-runtime-32 duckdb tqdm zstandard; do
    "$repo/.venv/bin/python" -m pip install -q --no-deps --only-binary=:all: --target "$extra" \
      --python-version 3.11 --implementation cp --abi cp311 --platform manylinux_2_28_aarch64 \
      --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 "$requirement" \
      2>> "$build/pip.log" || echo "no arm64 $requirement wheel for CPython 3.11: its tests skip"
  done
  touch "$extra/.made"
fi

# The modules, cross-built against the tree's headers (pyconfig.h names its own subdirectory).
mkdir -p "$build/pyinc/aarch64-linux-gnu"
ln -sfn "$tree/usr/include/aarch64-linux-gnu/python3.11" "$build/pyinc/aarch64-linux-gnu/python3.11"
rm -rf "$build/wheel" "$tree/vorn/site"
"$repo/.venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$build/wheel" \
  -Cbuild-dir="$build/py" -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$repo/tests/reliability/aarch64/toolchain.cmake" \
  "-Ccmake.define.VORN_PYTHON_INCLUDE_DIRS=$tree/usr/include/python3.11;$build/pyinc" .
"$repo/.venv/bin/python" -m zipfile -e "$build"/wheel/vorn-*.whl "$tree/vorn/site"

undo=()
cleanup() {
  for ((i = ${#undo[@]} - 1; i >= 0; i--)); do eval "${undo[i]}" || true; done
}
trap cleanup EXIT
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" && undo+=("umount $binfmt")
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  # qemu's magic and mask for aarch64 ELF executables; F: the emulator is opened now, so that it
  # runs inside the chroot too.
  printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:F' \
    > "$binfmt/register"
  undo+=("echo -1 > $binfmt/qemu-aarch64")
fi
mount --bind "$repo" "$tree/vorn/repo" && undo+=("umount $tree/vorn/repo")
mount -t proc proc "$tree/proc" && undo+=("umount $tree/proc")

# The tree has Python but no shell: the interpreter itself sets the stage.
chroot "$tree" /usr/bin/python3 -c '
import os, sys
os.chdir("/vorn/repo")
os.environ.update(HOME="/tmp", PYTHONPATH="/vorn/site:/vorn/extra", VORN_EMULATED="1")
sys.path[:0] = ["/vorn/site", "/vorn/extra"]
import platform, numpy, pytest
print("== CPython", platform.python_version(), "NumPy", numpy.__version__, "on", platform.machine(),
      flush=True)
# Tests that start servers are left out: the emulator would run them too.
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "-m", "not servers", *sys.argv[1:]]))
' "${@:-tests/python}"
