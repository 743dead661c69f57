#!/usr/bin/env bash
# Runs the Python suite with one abi3 wheel on CPython versions that pyenv does not have, taken
# from Debian's development distribution: python3.X, NumPy, pytest and Hypothesis unpacked with
# mmdebstrap into build/debian/sid (made once, then reused), the wheel and the test tools Debian
# lacks (pyarrow, Polars, DuckDB, tqdm) from PyPI wheels for that version, and the suite run in a
# chroot of the tree with the checkout bind-mounted. Needs root.
# Usage: debian_python.sh WHEEL VERSION...   (e.g. 3.14 3.15); prints one summary line each.
set -euo pipefail
wheel=$1
shift
repo=$(pwd)
tree=$repo/build/debian/sid
stamp=$tree/.made-$(IFS=-; echo "$*")
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
pip=("$repo/.venv/bin/python" -m pip)

if [ ! -e "$stamp" ]; then
  command -v mmdebstrap > /dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap; }
  rm -rf "$tree" && mkdir -p "$(dirname "$tree")"
  packages=python3-numpy,python3-pytest,python3-hypothesis
  for v in "$@"; do packages+=",python$v"; done
  # The mirror may serve a snapshot whose Release file is past its validity date.
  mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$packages" sid "$tree" \
    "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main"
  touch "$stamp"
fi

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || true; done
}
trap cleanup EXIT
mkdir -p "$tree/vorn/repo"
mount --bind "$repo" "$tree/vorn/repo" && mounted+=("$tree/vorn/repo")
mount -t proc proc "$tree/proc" && mounted+=("$tree/proc")

rm -rf "$tree/vorn/site" && mkdir -p "$tree/vorn/site"
"$repo/.venv/bin/python" -m zipfile -e "$wheel" "$tree/vorn/site"
status=0
for v in "$@"; do
  tag=${v/./}
  extra=$tree/vorn/extra-$tag
  if [ ! -e "$extra/.made" ]; then
    rm -rf "$extra"
    # Wheels of the suite's optional consumers for this CPython; those without one are left out
    # and their tests skip.
    for requirement in pyarrow polars polars-runtime-32 duckdb tqdm; do
      "${pip[@]}" install -q --no-deps --only-binary=:all: --target "$extra" --python-version "$tag" \
        --implementation cp --abi "cp$tag" --platform manylinux_2_28_x86_64 \
        --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 "$requirement" \
        2>> "$tree/vorn/pip-$tag.log" || echo "no $requirement wheel for CPython $v: its tests skip"
    done
    touch "$extra/.made"
  fi
  line=$(chroot "$tree" "python$v" -c \
    'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__, "(Debian)")')
  echo "== $line"
  start=$SECONDS
  log=$tree/vorn/pytest-$tag.log
  if chroot "$tree" env -i PATH=/usr/bin:/bin HOME=/tmp PYTHONPATH="/vorn/site:/vorn/extra-$tag" \
      sh -c "cd /vorn/repo && python$v -m pytest -q -p no:cacheprovider tests/python" > "$log" 2>&1; then
    result=passed
  else
    result=FAILED
    status=1
    tail -40 "$log"
  fi
  echo "$line: $result, $(tail -1 "$log" | tr -d '=') in $((SECONDS - start)) s"
done
exit $status
