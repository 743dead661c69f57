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
# records of 8 samples, read 5 times). perf samples a software clock, so no
# hardware counters are needed; the module comes from a RelWithDebInfo build
# of its own, for symbols. The file is made before perf starts.
PROFILE_BUILD := build/profile
PROFILE_WORKLOAD ?= wd1_8
PROFILE_MB ?= 40
PROFILE_PASSES ?= 5
.PHONY: bench-profile

bench-profile: $(VENV)/.deps
	@command -v perf >/dev/null || { echo "perf not found (Debian: apt-get install linux-perf)"; exit 1; }
	$(CMAKE) -S . -B $(PROFILE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build $(PROFILE_BUILD) --target vorn
	mkdir -p bench/results
	$(PY) bench/profile_run.py make $(PROFILE_WORKLOAD) $(PROFILE_MB) bench/results/profile.bin
	PYTHONPATH=$(abspath $(PROFILE_BUILD)) perf record -q -e cpu-clock -F 4000 -o bench/results/perf.data \
	  $(PY) bench/profile_run.py read $(PROFILE_WORKLOAD) bench/results/profile.bin $(PROFILE_PASSES)
	rm -f bench/results/profile.bin
	perf report -i bench/results/perf.data --stdio --no-children --sort dso,symbol \
	  --percent-limit 0.3 2>/dev/null | grep -v '^#' | grep -v '^$$' | sed 's/  *- *- *$$//'
