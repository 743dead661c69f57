# musl: the decoding core's C++ tests and the fuzz harnesses' seeds, built statically with the
# clang, libc++ and musl of PyPI's ziglang for each of MUSL_TARGETS (64-bit Arm runs under
# qemu-user, x86-64 here), then the extension modules compiled and linked for 64-bit Arm musl
# against Debian's arm64 CPython headers. Installs what it lacks.
.PHONY: test-musl test-musl-cpp test-musl-modules

MUSL_TARGETS ?= aarch64-linux-musl x86_64-linux-musl
MUSL_DIR := build/musl
ZIGLANG := ziglang==0.17.1
# Where Debian's arm64 Python headers are unpacked, and the mirror they come from.
MUSL_PYTHON := $(MUSL_DIR)/arm64-python
DEBIAN_MIRROR = $(or $(shell sed -n 's/^URIs: *\([^ ]*debian\)$$/\1/p' \
  /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1),http://deb.debian.org/debian)
# Configures build/musl/DIR from SOURCE for musl target TARGET: $(call musl_cmake,SOURCE,DIR,TARGET,ARGS)
musl_cmake = $(CMAKE) -S $(1) -B $(MUSL_DIR)/$(2) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DCMAKE_TOOLCHAIN_FILE=$(abspath tests/reliability/musl/toolchain.cmake) -DVORN_MUSL_TARGET=$(3) $(4)

# mk/zig/ wraps this venv's zig for CMake.
$(MUSL_DIR)/venv/.made:
	$(PYTHON) -m venv $(MUSL_DIR)/venv
	$(MUSL_DIR)/venv/bin/python -m pip install -q $(ZIGLANG)
	touch $@

test-musl: test-musl-cpp test-musl-modules

test-musl-cpp: $(addprefix musl-cpp-,$(MUSL_TARGETS))

musl-cpp-%: $(MUSL_DIR)/venv/.made $(VENV)/.base fuzz-seeds
	$(call need,/usr/bin/qemu-aarch64,qemu-user)
	$(call need,/usr/src/googletest/CMakeLists.txt,libgtest-dev)
	$(call musl_cmake,tests/reliability/cross,$*,$*,-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORN_FUZZ_DIR=$(abspath $(FUZZ_DIR)))
	$(CMAKE) --build $(MUSL_DIR)/$*
	$(VENV)/bin/ctest --test-dir $(MUSL_DIR)/$* --output-on-failure -j2

# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>: pyconfig/ holds that
# one directory, to be put on the include path without the glibc headers beside it.
$(MUSL_PYTHON)/.made:
	$(call need,/usr/bin/mmdebstrap,mmdebstrap)
	rm -rf $(MUSL_PYTHON)
	mmdebstrap --quiet --variant=extract --architectures=arm64 --include=libpython3-dev bookworm \
	  $(MUSL_PYTHON) "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(DEBIAN_MIRROR) bookworm main"
	cd $(MUSL_PYTHON)/usr/include && py=$$(ls -d python3.*) && mkdir -p pyconfig/aarch64-linux-gnu \
	  && ln -s ../../aarch64-linux-gnu/$$py pyconfig/aarch64-linux-gnu/$$py
	touch $@

# Each module must come out an arm64 shared object that exports its PyInit_ function alone.
test-musl-modules: $(MUSL_DIR)/venv/.made $(VENV)/.base $(MUSL_PYTHON)/.made
	$(call musl_cmake,$(CURDIR),modules,aarch64-linux-musl,-DCMAKE_BUILD_TYPE=Release \
	  "-DVORN_PYTHON_INCLUDE_DIRS=$(abspath $(wildcard $(MUSL_PYTHON)/usr/include/python3.*));$(abspath $(MUSL_PYTHON))/usr/include/pyconfig")
	$(CMAKE) --build $(MUSL_DIR)/modules
	@for m in vorn _native; do so=$(MUSL_DIR)/modules/$$m.abi3.so; \
	  exports=$$(readelf --dyn-syms -W $$so | awk '$$5 == "GLOBAL" && $$7 != "UND" {print $$8}'); \
	  readelf -hW $$so | grep -q 'Machine:.*AArch64' && test "$$exports" = PyInit_$$m \
	  || { echo "$$so: expected an AArch64 module exporting PyInit_$$m alone, got: $$exports"; exit 1; }; \
	  echo "$$so: AArch64, needs $$(readelf -dW $$so | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'), exports $$exports"; \
	done
