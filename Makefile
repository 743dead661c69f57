# Development entry points. `make demo` and `make test` do all set-up themselves:
# a virtual environment in .venv, dependencies from PyPI, and the build.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CMAKE := $(VENV)/bin/cmake
SOURCES := $(wildcard src/*) CMakeLists.txt pyproject.toml
HAVE_GTEST := $(wildcard /usr/include/gtest/gtest.h)

.PHONY: all build demo test test-py test-cpp clean
all: build

$(VENV)/.deps: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps -Cbuild-dir=build/py .
	touch $@

build: $(VENV)/.built

demo: build
	$(PY) examples/make_examples.py examples/data
	$(PY) examples/demo.py examples/data

test: test-cpp test-py

test-py: build
	$(PY) -m pytest -q

# The decoding core's C++ tests, built without Python.
test-cpp: $(VENV)/.deps
ifneq ($(HAVE_GTEST),)
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_MODULE=OFF -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/cpp
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure
else
	@echo "GoogleTest not found (/usr/include/gtest): C++ tests NOT run; install libgtest-dev"
endif

clean:
	rm -rf build dist $(VENV)

# Further targets (sanitizers, fuzzing, benchmarks, packaging) live in mk/.
-include mk/*.mk
