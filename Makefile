# Development entry points. `make demo` and `make test` do all set-up themselves:
# a virtual environment in .venv, dependencies from PyPI, and the build.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CMAKE := $(VENV)/bin/cmake
SOURCES := $(wildcard src/core/* src/python/*) $(wildcard python/vorn_columns/*) CMakeLists.txt pyproject.toml
APT_GET := DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends

# Installs the Debian packages that provide a missing file, as root where
# apt-get is at hand, and fails unless the file is there then:
# $(call need,FILE,PACKAGES)
need = @test -e $(1) || { { test "$$(id -u)" = 0 && command -v apt-get > /dev/null \
  && apt-get update -qq && $(APT_GET) $(2); }; test -e $(1) \
  || { echo "$(1) is missing and could not be installed: install $(2)" >&2; exit 1; }; }

.PHONY: all build demo test test-py test-cpp clean
all: build

# The build and the demo need only requirements-build.txt; the tests add requirements-dev.txt.
$(VENV)/.base: requirements-build.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-build.txt
	touch $@

$(VENV)/.deps: $(VENV)/.base requirements-dev.txt
	$(PIP) install -q -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.base $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps -Cbuild-dir=build/py .
	touch $@

build: $(VENV)/.built

demo: build
	$(PY) examples/make_examples.py examples/data
	$(PY) examples/demo.py examples/data

test: test-cpp test-py

test-py: build $(VENV)/.deps
	$(PY) -m pytest -q

# The decoding core's C++ tests, built without Python.
test-cpp: $(VENV)/.base
	$(call need,/usr/include/gtest/gtest.h,libgtest-dev)
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_MODULE=OFF -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/cpp
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure

clean:
	rm -rf build dist $(VENV)

# Further targets (sanitizers, fuzzing, benchmarks, packaging) live in mk/.
-include mk/*.mk
