#!/usr/bin/env bash
# Tests one abi3 wheel (vorn and vorn_columns) on several CPython versions
# (pyenv interpreters), each in a fresh virtual environment, NumPy 1.26 on 3.9
# and 3.11, the newest NumPy 2 elsewhere, with the suite's tools from
# requirements-dev.txt where they have wheels for that interpreter: the Arrow,
# Polars, DuckDB and Dask tests skip where theirs has none.
# CPython 3.14 and later come from Debian's development distribution instead
# (debian_python.sh), with Debian's NumPy.
# Usage: matrix.sh WHEEL VERSIONS (e.g. 3.9,3.13,3.14,3.15)
set -euo pipefail
wheel=$1
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
IFS=, read -ra versions <<< "$2"
summary=()
status=0
debian=()
for v in "${versions[@]}"; do
  case $v in 3.9|3.1[0-3]) ;; *) debian+=("$v"); continue ;; esac
  py=$(ls "$root"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V | tail -1 || true)
  if [ -z "$py" ]; then
    echo "no CPython $v under $root/versions" >&2
    exit 1
  fi
  case $v in 3.9|3.11) numpy='numpy==1.26.*' ;; *) numpy='numpy>=2' ;; esac
  venv=build/matrix/venv-$v
  rm -rf "$venv"
  "$py" -m venv "$venv"
  pip=("$venv/bin/python" -m pip install -q --only-binary=:all:)
  "$venv/bin/python" -m pip install -q --upgrade pip
  # All in one go; where that fails, pytest, Hypothesis, NumPy and the wheel,
  # then each requirement alone, leaving out those without a wheel here.
  left_out=()
  if ! "${pip[@]}" -r requirements-dev.txt "$numpy" "$wheel" 2> "$venv/pip.log"; then
    "${pip[@]}" pytest hypothesis "$numpy" "$wheel"
    while read -r requirement; do
      "${pip[@]}" "$requirement" "$numpy" 2>> "$venv/pip.log" || left_out+=("$requirement")
    done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' -e '/^-r/d' requirements-build.txt requirements-dev.txt)
  fi
  versions_line=$("$venv/bin/python" -c \
    'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')
  if [ ${#left_out[@]} -gt 0 ]; then
    versions_line+=" without ${left_out[*]}"
  fi
  echo "== $versions_line"
  start=$SECONDS
  if "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python > "$venv/pytest.log" 2>&1; then
    result=passed
  else
    result=FAILED
    status=1
    tail -40 "$venv/pytest.log"
  fi
  summary+=("$versions_line: $result, $(tail -1 "$venv/pytest.log" | tr -d '=') in $((SECONDS - start)) s")
done
if [ ${#debian[@]} -gt 0 ]; then
  log=build/matrix/debian.log
  "$(dirname "$0")/debian_python.sh" "$wheel" "${debian[@]}" | tee "$log" || status=1
  while read -r line; do summary+=("$line"); done < <(grep -E ': (passed|FAILED),' "$log")
fi
printf '%s\n' "${summary[@]}"
exit $status
