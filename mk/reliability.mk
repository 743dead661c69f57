# Reliability: sanitizers, fuzzing, leak hunting, the interpreter matrix and
# the aarch64 cross build. Each target installs what it needs.
.PHONY: test-asan test-asan-cpp test-asan-py fuzz fuzz-seeds fuzz-core fuzz-batch fuzz-py leaks matrix test-aarch64 \
        reliability-tools

FUZZ_SECONDS ?= 60
MATRIX ?= 3.9,3.10,3.11,3.12,3.13,3.14,3.15
# What is missing is installed by $(call need,FILE,PACKAGES), from the Makefile.

# ---- Sanitized builds -------------------------------------------------------
ASAN_VENV := build/asan/venv
ASAN_PY := $(ASAN_VENV)/bin/python
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# CPython under ASan: every allocation through malloc so that ASan sees it;
# huge requests return NULL (the code answers ENOMEM) instead of aborting;
# leaks checked at exit with the interpreter's own suppressed. Suppressions
# match on whole stacks, and the interpreter keeps no frame pointers, hence
# the slow unwinder (12 frames reach every suppressed function).
SAN_ASAN_OPTIONS := detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=12
SAN_ENV = PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=$(SAN_ASAN_OPTIONS) \
  LSAN_OPTIONS=suppressions=$(abspath tests/asan/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  VORN_SANITIZED=1

$(ASAN_VENV)/.deps: requirements-build.txt requirements-dev.txt
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q -r requirements-dev.txt
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps $(SOURCES)
	$(ASAN_PY) -m pip install -q --no-build-isolation --no-deps \
	  -Ccmake.define.VORN_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir=build/asan/py .
	touch $@

test-asan: test-asan-cpp test-asan-py

test-asan-cpp: $(VENV)/.deps
	$(call need,/usr/include/gtest/gtest.h,libgtest-dev)
	$(CMAKE) -S . -B build/asan/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_MODULE=OFF -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/asan/cpp
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/asan/cpp --output-on-failure

# Tests marked `servers` are left out: the sanitizer would be preloaded into the S3 server and
# into Dask's worker processes too. CI's fast form, ASAN_QUICK=1: the files that drive the
# native code (readers, columns, batches, features, Arrow, memory); the tools above them (the
# command, frames, sidecars, detection, stubs) are left to the native runs.
ASAN_QUICK_TESTS := construction iteration records sample_arrays hostile columns \
  columns_hardening take sources arrow leaks features feature_reads stale_index
ifdef ASAN_QUICK
ASAN_PYTEST := $(patsubst %,tests/python/test_%.py,$(ASAN_QUICK_TESTS))
endif
test-asan-py: $(ASAN_VENV)/.built
	$(SAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider -m "not servers" $(ASAN_PYTEST)

# ---- Fuzzing ----------------------------------------------------------------
# The harnesses start from the seeds that fuzz/make_seeds.py writes (fuzz_batch's
# behind the prefix that picks its layout, limits and read size); what they
# find on the way is kept in build/fuzz/ (never committed).
FUZZ_DIR := build/fuzz
CLANGXX := clang++
CORE_SRC := $(wildcard src/core/*.cpp)
FUZZ_CORE_SRC := $(CORE_SRC) fuzz/fuzz_core.cpp
FUZZ_BATCH_SRC := $(CORE_SRC) fuzz/fuzz_batch.cpp
CORE_HEADERS := $(wildcard src/core/*.hpp)
# clang 14 lacks __builtin_source_location; the compat header fills in.
CLANG_FLAGS := -std=c++20 -g -O1 -Isrc/core -include fuzz/source_location_compat.hpp
FUZZ_SANITIZE := -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
# The same harness with source coverage instead of sanitizers, for the report.
FUZZ_COVERAGE := -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping

# The runtime's path is asked of clang when the line runs: clang may be new.
reliability-tools:
	$(call need,/usr/bin/$(CLANGXX),clang)
	$(call need,$$($(CLANGXX) -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a,libclang-rt-14-dev)
	$(call need,/usr/bin/llvm-cov,llvm)

$(FUZZ_DIR)/fuzz_core: $(FUZZ_CORE_SRC) $(CORE_HEADERS) fuzz/source_location_compat.hpp | reliability-tools
	@mkdir -p $(FUZZ_DIR)
	$(CLANGXX) $(CLANG_FLAGS) $(FUZZ_SANITIZE) $(FUZZ_CORE_SRC) -o $@

$(FUZZ_DIR)/fuzz_core_cov: $(FUZZ_CORE_SRC) $(CORE_HEADERS) fuzz/source_location_compat.hpp | reliability-tools
	@mkdir -p $(FUZZ_DIR)
	$(CLANGXX) $(CLANG_FLAGS) $(FUZZ_COVERAGE) $(FUZZ_CORE_SRC) -o $@

$(FUZZ_DIR)/fuzz_batch: $(FUZZ_BATCH_SRC) $(CORE_HEADERS) fuzz/source_location_compat.hpp | reliability-tools
	@mkdir -p $(FUZZ_DIR)
	$(CLANGXX) $(CLANG_FLAGS) $(FUZZ_SANITIZE) $(FUZZ_BATCH_SRC) -o $@

$(FUZZ_DIR)/fuzz_batch_cov: $(FUZZ_BATCH_SRC) $(CORE_HEADERS) fuzz/source_location_compat.hpp | reliability-tools
	@mkdir -p $(FUZZ_DIR)
	$(CLANGXX) $(CLANG_FLAGS) $(FUZZ_COVERAGE) $(FUZZ_BATCH_SRC) -o $@

$(FUZZ_DIR)/seeds/.made: fuzz/make_seeds.py
	$(PYTHON) fuzz/make_seeds.py $(FUZZ_DIR)/seeds
	touch $@

$(FUZZ_DIR)/seeds_batch/.made: fuzz/make_seeds.py
	$(PYTHON) fuzz/make_seeds.py --batch $(FUZZ_DIR)/seeds_batch
	touch $@

# Both harnesses' seeds, which the cross builds replay (tests/reliability/cross).
fuzz-seeds: $(FUZZ_DIR)/seeds/.made $(FUZZ_DIR)/seeds_batch/.made

fuzz: fuzz-core fuzz-batch fuzz-py

# Runs harness NAME from its corpus and SEEDS for FUZZ_SECONDS, failing on the
# first crash, leak, invariant or allocation above 64 MB (the input is left in
# build/fuzz/artifacts/, named after the harness), then reports the coverage
# of the corpus over SOURCES: $(call libfuzzer,NAME,SEEDS,SOURCES)
define libfuzzer
@mkdir -p $(FUZZ_DIR)/corpus/$(1) $(FUZZ_DIR)/artifacts
$(FUZZ_DIR)/fuzz_$(1) -max_total_time=$(FUZZ_SECONDS) -malloc_limit_mb=64 -timeout=10 \
  -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$(1)- \
  $(FUZZ_DIR)/corpus/$(1) $(2) 2> $(FUZZ_DIR)/fuzz_$(1).log \
  || { tail -60 $(FUZZ_DIR)/fuzz_$(1).log; exit 1; }
@grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec" \
  $(FUZZ_DIR)/fuzz_$(1).log
LLVM_PROFILE_FILE=$(FUZZ_DIR)/$(1).profraw $(FUZZ_DIR)/fuzz_$(1)_cov -runs=0 \
  $(FUZZ_DIR)/corpus/$(1) $(2) 2> /dev/null
llvm-profdata merge -sparse $(FUZZ_DIR)/$(1).profraw -o $(FUZZ_DIR)/$(1).profdata
llvm-cov report $(FUZZ_DIR)/fuzz_$(1)_cov -instr-profile=$(FUZZ_DIR)/$(1).profdata $(3)
endef

FUZZ_CORE_COVERED := src/core/buf_reader.cpp src/core/wd1_reader.cpp src/core/wd2_reader.cpp src/core/buf_reader.hpp \
  src/core/sample_buffer.hpp src/core/record.hpp
fuzz-core: $(FUZZ_DIR)/fuzz_core $(FUZZ_DIR)/fuzz_core_cov $(FUZZ_DIR)/seeds/.made
	$(call libfuzzer,core,$(FUZZ_DIR)/seeds,$(FUZZ_CORE_COVERED))

# BatchDecoder against the record readers, byte for byte (fuzz/fuzz_batch.cpp).
fuzz-batch: $(FUZZ_DIR)/fuzz_batch $(FUZZ_DIR)/fuzz_batch_cov $(FUZZ_DIR)/seeds_batch/.made
	$(call libfuzzer,batch,$(FUZZ_DIR)/seeds_batch,src/core/batch_decoder.cpp src/core/walk.cpp src/core/picker.cpp src/core/batch_memory.cpp \
	  src/core/region.cpp src/core/columns.hpp src/core/equal_run.hpp src/core/header_check.hpp)

# atheris over EventReader: the extension built by clang with ASan, UBSan and
# libFuzzer's coverage counters; one preloaded library carries the ASan
# runtime and libFuzzer, so that both see the extension (atheris's prebuilt
# wheel has its own libFuzzer, which an instrumented extension cannot reach).
FUZZ_VENV := $(FUZZ_DIR)/venv
CLANG_RT = $(shell $(CLANGXX) -print-resource-dir)/lib/linux

$(FUZZ_VENV)/.deps: fuzz/requirements.txt
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q --upgrade pip
	$(FUZZ_VENV)/bin/python -m pip install -q -r fuzz/requirements.txt
	touch $@

$(FUZZ_DIR)/asan_with_fuzzer.so: | reliability-tools
	rm -rf $(FUZZ_DIR)/rt && mkdir -p $(FUZZ_DIR)/rt
	cd $(FUZZ_DIR)/rt && ar x $(CLANG_RT)/libclang_rt.asan-x86_64.a && rm -f asan_preinit.cpp.o \
	  && ar rcs ../asan_no_preinit.a *.o
	$(CLANGXX) -shared -o $@ -Wl,--whole-archive $(FUZZ_DIR)/asan_no_preinit.a \
	  $(CLANG_RT)/libclang_rt.asan_cxx-x86_64.a $(CLANG_RT)/libclang_rt.fuzzer_no_main-x86_64.a \
	  -Wl,--no-whole-archive -lpthread -ldl -lrt -lm

$(FUZZ_VENV)/.built: $(FUZZ_VENV)/.deps $(SOURCES) fuzz/source_location_compat.hpp | reliability-tools
	$(FUZZ_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=$(FUZZ_DIR)/py -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_COMPILER=$(CLANGXX) \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize=address,undefined,fuzzer-no-link \
	  -include $(abspath fuzz/source_location_compat.hpp)" .
	touch $@

fuzz-py: $(FUZZ_VENV)/.built $(FUZZ_DIR)/asan_with_fuzzer.so $(FUZZ_DIR)/seeds/.made
	@mkdir -p $(FUZZ_DIR)/corpus/py $(FUZZ_DIR)/artifacts
	LD_PRELOAD=$(abspath $(FUZZ_DIR)/asan_with_fuzzer.so) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(FUZZ_VENV)/bin/python fuzz/fuzz_event_reader.py -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/py- \
	  $(FUZZ_DIR)/corpus/py $(FUZZ_DIR)/seeds 2> $(FUZZ_DIR)/fuzz_py.log \
	  || { grep -v "internal failure" $(FUZZ_DIR)/fuzz_py.log | tail -60; exit 1; }
	@grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::average_exec_per_sec" \
	  $(FUZZ_DIR)/fuzz_py.log

# ---- Leaks --------------------------------------------------------------------
# valgrind names vorn's functions from the symbol table that the normal build
# strips, so the check runs a build that keeps it, found first on PYTHONPATH.
LEAK_EVENTS ?= 1000000
LEAKS_SITE := build/leaks/site

build/leaks/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps --upgrade --target $(LEAKS_SITE) \
	  -Cinstall.strip=false -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/leaks/py .
	touch $@

leaks: build/leaks/.built
	$(call need,/usr/bin/valgrind,valgrind)
	PYTHONPATH=$(abspath $(LEAKS_SITE)) VORN_LEAK_EVENTS=$(LEAK_EVENTS) VORN_VALGRIND=1 \
	  $(PY) -m pytest -q -s -p no:cacheprovider tests/python/test_leaks.py

# ---- aarch64 ------------------------------------------------------------------
AARCH64_PYTEST ?= # pytest arguments for the Arm run; empty: the whole suite
# CI's fast form, AARCH64_QUICK=1: the files where the architecture shows (the readers, the
# columns, the sources); the tools around them are left to the native runs.
AARCH64_QUICK_TESTS := construction iteration records sample_arrays hostile columns take sources
ifdef AARCH64_QUICK
AARCH64_PYTEST := $(patsubst %,tests/python/test_%.py,$(AARCH64_QUICK_TESTS))
endif
# The core's C++ tests and the fuzz seeds cross-built and run under qemu-user, then the Python
# suites of both packages on Debian's arm64 Python (tests/reliability/aarch64/python_suite.sh; root).
test-aarch64: $(VENV)/.deps fuzz-seeds
	$(call need,/usr/bin/aarch64-linux-gnu-g++,g++-aarch64-linux-gnu)
	$(call need,/usr/bin/qemu-aarch64,qemu-user)
	$(call need,/usr/bin/qemu-aarch64-static,qemu-user-static)
	$(call need,/usr/bin/mmdebstrap,mmdebstrap)
	$(call need,/usr/src/googletest/CMakeLists.txt,libgtest-dev)
	$(CMAKE) -S tests/reliability/cross -B build/aarch64/cpp -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath tests/reliability/aarch64/toolchain.cmake) \
	  -DVORN_FUZZ_DIR=$(abspath $(FUZZ_DIR))
	$(CMAKE) --build build/aarch64/cpp
	$(VENV)/bin/ctest --test-dir build/aarch64/cpp --output-on-failure
	PATH=$(abspath $(VENV)/bin):$$PATH tests/reliability/aarch64/python_suite.sh $(AARCH64_PYTEST)

# ---- Interpreter and NumPy matrix -------------------------------------------
matrix: $(VENV)/.deps
	rm -rf build/matrix/wheel
	$(PIP) wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/matrix/build \
	  -w build/matrix/wheel .
	tests/reliability/matrix.sh "$$(ls $(CURDIR)/build/matrix/wheel/vorn-*.whl)" $(MATRIX)
