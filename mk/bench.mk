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
