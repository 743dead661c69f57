# make bench: vorn against plain Python, numpy.fromfile and raw reads, on
# generated files of 100-400 MB; writes bench/results/bench.{json,md,png}.
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
# the samples into the parts of the record path. The module comes from a
# RelWithDebInfo build of its own, for symbols; the file is made before perf
# starts.
PROFILE_BUILD := build/profile
PROFILE_WORKLOAD ?= wd1_8
PROFILE_MB ?= 40
PROFILE_PASSES ?= 5
PROFILE_FILE := bench/results/profile.bin
.PHONY: bench-profile

bench-profile: $(VENV)/.deps
	@command -v perf >/dev/null || { command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ] && \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-perf; } || \
	  { echo "perf not found: install linux-perf"; exit 1; }
	$(CMAKE) -S . -B $(PROFILE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build $(PROFILE_BUILD) --target vorn
	mkdir -p bench/results
	$(PY) bench/profile_run.py make $(PROFILE_WORKLOAD) $(PROFILE_MB) $(PROFILE_FILE)
	PYTHONPATH=$(abspath $(PROFILE_BUILD)) OPENBLAS_NUM_THREADS=1 perf record -q -e cpu-clock -F 2000 \
	  --call-graph dwarf,16384 -o bench/results/perf.data \
	  $(PY) bench/profile_run.py read $(PROFILE_WORKLOAD) $(PROFILE_FILE) $(PROFILE_PASSES)
	perf report -i bench/results/perf.data --stdio --no-children --sort dso,symbol -g none \
	  --percent-limit 1 2>/dev/null | grep -v '^#' | grep -v '^$$' | sed 's/  *- *- *$$//'
	perf script -i bench/results/perf.data -F period,ip,sym 2>/dev/null | \
	  $(PY) bench/perf_buckets.py $(PROFILE_WORKLOAD) $(PROFILE_FILE) $(PROFILE_PASSES)
	rm -f $(PROFILE_FILE)
