# Set-up and entry points. `make demo` and `make test` do everything on a fresh
# machine: find Python 3.13, create .venv, build and install the package, run.

VENV    := .venv
VPY     := $(VENV)/bin/python
PIP     := $(VPY) -m pip --disable-pip-version-check --quiet
# A working python3.13 on PATH, else pyenv's 3.13 (a pyenv shim that cannot run
# 3.13 is skipped).
PYTHON313 := $(shell for p in python3.13 \
	$$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 \
	$$HOME/.pyenv/versions/3.13*/bin/python3.13; do \
	"$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1 \
	&& { echo "$$p"; break; }; done)

SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f \
	\( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.json' \) 2>/dev/null)

DEV_BUILD ?= build/dev

# System headers the build needs: xsimd (header-only SIMD and vector maths of
# the SGP4 kernels), from Debian's libxsimd-dev where it is missing.
XSIMD := /usr/include/xsimd/xsimd.hpp

.PHONY: demo test dev bench sanitize fuzz clean

demo: $(VENV)/.installed
	$(VPY) examples/demo.py
	$(VPY) examples/tour.py

test: $(VENV)/.installed
	$(VPY) -m pytest $(PYTEST_ARGS)

# Developer loop: extensions built into the source tree, run with PYTHONPATH=src.
dev: $(VENV)/.devdeps $(XSIMD)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(DEV_BUILD) -G Ninja -DASTROKITE_INPLACE=ON \
		-DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(DEV_BUILD) $(if $(TARGETS),--target $(TARGETS))

# The whole test suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in place. Capture at the sys level keeps a
# sanitizer's report visible when it aborts the run. The sanitizer builds are
# removed afterwards, so that the next `make dev` builds normal ones again.
sanitize: $(VENV)/.devdeps $(XSIMD)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/sanitize -G Ninja -DASTROKITE_INPLACE=ON \
		-DASTROKITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	find src -name '*.so' -delete
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/sanitize
	status=0; LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:suppressions=$(abspath tests/sanitizers.supp) \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONPATH=src $(VPY) -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS) || status=$$?; \
	find src -name '*.so' -delete; exit $$status

bench: $(VENV)/.installed $(VENV)/.bench
	$(VPY) bench/run.py

# libFuzzer targets on the plain C++ readers and the propagator, with ASan and
# UBSan, each run for FUZZ_SECONDS from seeds made of the bundled element sets
# (line 1 and line 2 of each, blank-filled to 69 bytes).
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := $(patsubst tests/fuzz/%.cpp,build/fuzz/%,$(wildcard tests/fuzz/fuzz_*.cpp))

build/fuzz/%: tests/fuzz/%.cpp $(SOURCES) $(XSIMD)
	@mkdir -p build/fuzz
	@command -v clang++ >/dev/null || command -v clang++-14 >/dev/null || apt-get install -y clang
	$$(command -v clang++ || command -v clang++-14) -std=c++20 -O1 -g -Isrc -fsanitize=fuzzer,address,undefined $< -o $@

build/fuzz/seeds/.made: $(wildcard tests/data/*.tle)
	@mkdir -p build/fuzz/seeds
	python3 -c "import glob; pairs = [l for f in sorted(glob.glob('tests/data/*.tle')) for l in open(f).read().splitlines()]; \
		[open(f'build/fuzz/seeds/{i // 2}', 'w').write(pairs[i][:69].ljust(69) + pairs[i + 1][:69].ljust(69)) for i in range(0, len(pairs), 40)]"
	touch $@

fuzz: $(FUZZ_TARGETS) build/fuzz/seeds/.made
	for target in $(FUZZ_TARGETS); do mkdir -p $$target.corpus; \
		$$target $$target.corpus build/fuzz/seeds -max_total_time=$(FUZZ_SECONDS) -timeout=10 -artifact_prefix=build/fuzz/ || exit 1; done

$(XSIMD):
	apt-get install -y libxsimd-dev || { apt-get update && apt-get install -y libxsimd-dev; }

$(VENV)/.tools:
	@test -n "$(PYTHON313)" || { echo "error: Python 3.13 not found (tried python3.13 on PATH and pyenv's 3.13)" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.10" "nanobind>=3.1" cmake ninja
	touch $@

# Requirement lists read from pyproject.toml, so that they are written once.
REQUIREMENTS = $$($(VPY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb'))['project']; \
	print(' '.join($(1)))")

# The run-time and test dependencies alone, for the in-place developer loop.
$(VENV)/.devdeps: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['dependencies'] + p['optional-dependencies']['test'])
	touch $@

# The peers the benchmarks measure against.
$(VENV)/.bench: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['bench'])
	touch $@

$(VENV)/.installed: $(VENV)/.tools $(XSIMD) $(SOURCES)
	$(PIP) install --no-build-isolation ".[test]"
	touch $@

clean:
	rm -rf $(VENV) build
	find src -name '*.so' -delete

.PHONY: docs wheel wheel-check

# The documentation site (Sphinx, warnings as errors) from the in-place build; its
# examples run as doctests, so the output the guides show is what the code prints.
docs: dev $(VENV)/.docs
	rm -rf docs/_build
	PYTHONPATH=src MPLBACKEND=Agg $(VPY) -m sphinx -q -W --keep-going -b doctest docs docs/_build/doctest
	PYTHONPATH=src MPLBACKEND=Agg $(VPY) -m sphinx -q -W --keep-going -b html docs docs/_build/html
	@echo "site: docs/_build/html/index.html"

# An sdist, a wheel built from it in an isolated environment (as pip builds for a
# user), and that wheel repaired by auditwheel to a manylinux tag in wheelhouse/.
# Not part of `make test`: it builds everything from scratch.
wheel: $(VENV)/.wheeltools $(XSIMD)
	rm -rf dist wheelhouse
	$(VPY) -m build --outdir dist .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel repair --wheel-dir wheelhouse dist/*.whl
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel show wheelhouse/*.whl

# The repaired wheel installed into a fresh virtual environment, its console script run.
wheel-check: wheel
	ASTROKITE_WHEEL="$$(ls wheelhouse/*.whl)" PYTHONPATH=src $(VPY) -m pytest -q -rs tests/test_cli.py -k fresh_venv

$(VENV)/.docs: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['docs'])
	touch $@

$(VENV)/.wheeltools: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['wheel'])
	touch $@
