# make bench: vorn and vorn_columns against plain Python, numpy.fromfile and
# raw reads, on generated files of 100-400 MB, and vorn_columns' figures beside
# their targets, pyarrow.table of a batch and `vorn convert` to Arrow and
# Parquet among them; writes bench/results/bench.{json,md,png}.
# BENCH_QUICK=1 make bench runs a small smoke version.
.PHONY: bench bench-deps

$(VENV)/.bench-deps: $(VENV)/.deps bench/requirements.txt
	$(PIP) install -q -r bench/requirements.txt
	touch $@

bench-deps: $(VENV)/.bench-deps

bench: build $(VENV)/.bench-deps
	$(PY) bench/run.py $(BENCH_ARGS)

# make bench-profile: where vorn's time per event goes (default: 40 MB of WD1
# records of 8 samples, read 5 times): perf samples a software clock with call
# stacks, so no hardware counters are needed, and bench/perf_buckets.py sorts
# the samples into the parts of the record path. The modules come from a
# RelWithDebInfo build of their own, for symbols; the file is made before perf
# starts. PROFILE_READER names another reader of bench/readers.py, such as
# vc.read or vc.iter_batches; the buckets are only for vorn's.
PROFILE_BUILD := build/profile
PROFILE_WORKLOAD ?= wd1_8
PROFILE_MB ?= 40
PROFILE_PASSES ?= 5
PROFILE_READER ?= vorn
PROFILE_FILE := bench/results/profile.bin
PROFILE_PATH := $(abspath $(PROFILE_BUILD)):$(abspath $(PROFILE_BUILD))/site
.PHONY: bench-profile

bench-profile: $(VENV)/.deps
	@command -v perf >/dev/null || { command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ] && \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-perf; } || \
	  { echo "perf not found: install linux-perf"; exit 1; }
	$(CMAKE) -S . -B $(PROFILE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build $(PROFILE_BUILD) --target vorn _native
	mkdir -p bench/results $(PROFILE_BUILD)/site/vorn_columns
	ln -sf $(abspath python/vorn_columns)/*.py $(abspath $(PROFILE_BUILD))/_native.*so \
	  $(PROFILE_BUILD)/site/vorn_columns/
	$(PY) bench/profile_run.py make $(PROFILE_WORKLOAD) $(PROFILE_MB) $(PROFILE_FILE)
	PYTHONPATH=$(PROFILE_PATH) OPENBLAS_NUM_THREADS=1 perf record -q -e cpu-clock -F 2000 \
	  --call-graph dwarf,16384 -o bench/results/perf.data \
	  $(PY) bench/profile_run.py read $(PROFILE_WORKLOAD) $(PROFILE_FILE) $(PROFILE_PASSES) \
	  $(PROFILE_READER)
	perf report -i bench/results/perf.data --stdio --no-children --sort dso,symbol -g none \
	  --percent-limit 1 2>/dev/null | grep -v '^#' | grep -v '^$$' | sed 's/  *- *- *$$//'
	[ "$(PROFILE_READER)" != vorn ] || perf script -i bench/results/perf.data -F period,ip,sym \
	  2>/dev/null | $(PY) bench/perf_buckets.py $(PROFILE_WORKLOAD) $(PROFILE_FILE) $(PROFILE_PASSES)
	rm -f $(PROFILE_FILE)

# make bench-features: the pulse-feature kernel alone (bench/features_kernel.cpp),
# GB/s of WD1 samples on one thread, pinned to the first CPU.
.PHONY: bench-features
bench-features: $(VENV)/.base
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_MODULE=OFF -DVORN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/bench --target features_kernel
	taskset -c 0 build/bench/features_kernel
