# Packaging: `make check-dist` builds the wheel and the sdist as a release would, gives the wheel
# its manylinux tag with auditwheel, and installs them into fresh virtual environments of the
# oldest and newest supported CPython.
DIST := build/dist
DIST_PYTHONS := 3.9 3.13

# The type stubs are installed with the module.
$(VENV)/.built: $(wildcard stubs/vorn-stubs/*)

# Makes a fresh venv $(1) with interpreter $(2), installs $(3) into it and runs the smoke test.
define dist_try
	rm -rf $(1) && $(2) -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade pip
	$(1)/bin/python -m pip install -q $(3)
	cd $(DIST) && $(abspath $(1))/bin/python -I $(abspath mk/dist_smoke.py)
endef

.PHONY: check-dist
check-dist: $(VENV)/.deps
	rm -rf $(DIST) && mkdir -p $(DIST)
	@echo "== pip wheel: one cp39-abi3 wheel"
	$(PIP) wheel -q --no-deps -w $(DIST)/wheel .
	@ls $(DIST)/wheel
	@test "$$(ls $(DIST)/wheel | wc -l)" = 1 && ls $(DIST)/wheel/vorn-*-cp39-abi3-*.whl >/dev/null \
	  || { echo "expected exactly one cp39-abi3 wheel"; exit 1; }
	@echo "== auditwheel: the wheel retagged with the manylinux tag its symbols allow"
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w $(DIST)/repaired \
	  $(DIST)/wheel/vorn-*.whl
	@ls $(DIST)/repaired
	@ls $(DIST)/repaired/vorn-*-cp39-abi3-manylinux_*.whl >/dev/null \
	  || { echo "expected a cp39-abi3 manylinux wheel"; exit 1; }
	@echo "== sdist, built into a wheel from scratch in a clean venv"
	$(PY) -m build -q --sdist -o $(DIST)/sdist .
	@ls $(DIST)/sdist
	$(call dist_try,$(DIST)/venv-sdist,$(PYTHON),$(CURDIR)/$(DIST)/sdist/vorn-*.tar.gz)
	@for v in $(DIST_PYTHONS); do \
	  exe=$$(ls -d "$$(pyenv root)"/versions/$$v.*/bin/python$$v 2>/dev/null | sort -V | tail -n1); \
	  test -n "$$exe" || { echo "no CPython $$v under pyenv root"; exit 1; }; \
	  echo "== the wheel on $$exe"; \
	  $(MAKE) -s --no-print-directory dist-try-wheel DIST_VENV=$(DIST)/venv-$$v DIST_EXE=$$exe || exit 1; \
	done
	@echo "check-dist: wheel, sdist and installs on $(DIST_PYTHONS) all good"

.PHONY: dist-try-wheel
dist-try-wheel:
	$(call dist_try,$(DIST_VENV),$(DIST_EXE),$(CURDIR)/$(DIST)/repaired/vorn-*.whl)
