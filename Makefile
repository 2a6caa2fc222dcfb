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
# the SGP4 kernels), from Debian's libxsimd-dev where it is missing; simdjson
# (the OMM reader's JSON parser, header and library), from libsimdjson-dev.
XSIMD := /usr/include/xsimd/xsimd.hpp
SIMDJSON := /usr/include/simdjson.h

.PHONY: demo test dev stubs stubcheck bench sanitize fuzz fuzz-atheris clean

demo: $(VENV)/.installed
	$(VPY) examples/demo.py
	$(VPY) examples/tour.py

test: $(VENV)/.installed
	$(VPY) -m pytest $(PYTEST_ARGS)

# Developer loop: extensions built into the source tree, run with PYTHONPATH=src.
dev: $(VENV)/.devdeps $(XSIMD) $(SIMDJSON)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(DEV_BUILD) -G Ninja -DASTROKITE_INPLACE=ON \
		-DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(DEV_BUILD) $(if $(TARGETS),--target $(TARGETS))

# Type stubs: the in-place build writes each extension's .pyi beside it (nanobind's
# stub generator, see CMakeLists.txt); `make stubs` writes them all anew.
stubs:
	find src -name '*.so' | sed 's/\.cpython-.*//; s/$$/.pyi/' | xargs rm -f
	$(MAKE) dev

# The stubs checked against the modules. Each stub written anew from its module
# (as CMakeLists.txt has the build write it) must equal the committed one (after
# an upgrade of nanobind, whose generator may write them differently: `make
# stubs`). Then mypy's stubtest compares them with the modules, leaving aside
# what no stub can change (tests/stubtest_allowlist.txt) and PEP 800's disjoint
# bases, which nanobind's generator does not mark. The modules are the in-place
# build's where there is one, else the installed package's (CI: the one `make
# test` installed, so that the wheel's stubs are the ones checked), listed by
# the astrokite_module(<name> <folder>) lines of CMakeLists.txt.
STUB_PATH    := $(if $(wildcard src/astrokite/time/time*.so),src)
STUB_MODULES := $(shell sed -n 's|^astrokite_module(\([^ ]*\) *\([^ )]*\).*|astrokite/\2/\1|p' CMakeLists.txt | tr / .)

stubcheck: $(if $(STUB_PATH),$(VENV)/.devdeps,$(VENV)/.installed)
	@mkdir -p build/stubcheck
	@status=0; for module in $(STUB_MODULES); do \
		stub=src/$$(echo $$module | tr . /); \
		PYTHONPATH=$(STUB_PATH) $(VPY) -m nanobind.stubgen -q -P -m $$module -o build/stubcheck/$$module.pyi \
			$$(test -f $$stub.stubpatterns && echo -p $$stub.stubpatterns) || status=1; \
		diff -u $$stub.pyi build/stubcheck/$$module.pyi || { echo "$$stub.pyi is out of date: make stubs"; status=1; }; \
	done; exit $$status
	PYTHONPATH=$(STUB_PATH) MYPYPATH=$(STUB_PATH) $(VPY) -m mypy.stubtest --mypy-config-file pyproject.toml \
		--ignore-disjoint-bases --allowlist tests/stubtest_allowlist.txt $(STUB_MODULES)

# The whole test suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in place. Capture at the sys level keeps a
# sanitizer's report visible when it aborts the run. The sanitizer builds are
# removed afterwards, so that the next `make dev` builds normal ones again.
sanitize: $(VENV)/.devdeps $(XSIMD) $(SIMDJSON)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/sanitize -G Ninja -DASTROKITE_INPLACE=ON \
		-DASTROKITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	find src -name '*.so' -delete
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/sanitize
	status=0; LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:suppressions=$(abspath tests/sanitizers.supp) \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONPATH=src $(VPY) -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS) || status=$$?; \
	find src -name '*.so' -delete; exit $$status

# Native fuzzing: every tests/fuzz/fuzz_<name>.cpp is a libFuzzer target written
# straight on the plain C++ headers, built with AddressSanitizer and UBSan.
# `make fuzz` runs each for FUZZ_SECONDS; `make fuzz FUZZ_RUNS=10000000` runs
# each for that many inputs instead. Seeds: tests/fuzz/seeds/<name>/ where it
# exists, else the bundled element sets cut into line pairs. What a run learns
# stays in build/fuzz/corpus/fuzz_<name>/ for the next; a finding (crash,
# sanitizer report, broken property) fails the run and leaves its input in
# build/fuzz/artifacts/. libFuzzer options of one target (-max_len=N, ...) sit
# in tests/fuzz/fuzz_<name>.options; FUZZ_ARGS go to every target.
FUZZ_DIR     := build/fuzz
FUZZ_SECONDS ?= 5
FUZZ_RUNS    ?=
FUZZ_ARGS    ?=
FUZZ_CXX     ?= clang++-14
FUZZ_FLAGS   := -std=c++20 -O1 -g -Isrc -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
FUZZ_TARGETS := $(sort $(patsubst tests/fuzz/%.cpp,%,$(wildcard tests/fuzz/fuzz_*.cpp)))
FUZZ_DATA    := $(wildcard data/*.tle)
FUZZ_LIMIT    = $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS),-max_total_time=$(FUZZ_SECONDS))
# Libraries a target links besides its headers.
FUZZ_LIBS_fuzz_omm := -lsimdjson

# The catalogue readers are fuzzed through Python too: the atheris targets of
# tests/fuzz/fuzz_readers.py (READER_TARGETS, seeds in tests/fuzz/seeds/readers_<target>/)
# run after the native ones, the same way, with their own limits of time per input
# and memory. They import the extensions built in place by `make dev` where those
# exist, else the installed package (CI: the one `make test` installed).
READER_TARGETS := omm_xml omm_kvn omm_json omm_csv tle tle_blocks iers
READER_PATH    := $(if $(wildcard src/astrokite/catalogue/reader*.so),src)

fuzz: $(FUZZ_TARGETS:%=$(FUZZ_DIR)/bin/%) $(FUZZ_DIR)/seeds/data/.made $(VENV)/.fuzzdeps \
		$(if $(READER_PATH),,$(VENV)/.installed)
	@mkdir -p $(FUZZ_DIR)/artifacts $(FUZZ_DIR)/logs
	@status=0; for target in $(FUZZ_TARGETS) $(READER_TARGETS:%=readers_%); do \
		case $$target in \
			readers_*) seeds=tests/fuzz/seeds/$$target; \
				run="env PYTHONPATH=$(READER_PATH) $(VPY) tests/fuzz/fuzz_readers.py $${target#readers_}";; \
			*) seeds=tests/fuzz/seeds/$${target#fuzz_}; test -d $$seeds || seeds=$(FUZZ_DIR)/seeds/data; \
				run="$(FUZZ_DIR)/bin/$$target -timeout=10 $$(cat tests/fuzz/$$target.options 2>/dev/null)";; \
		esac; \
		mkdir -p $(FUZZ_DIR)/corpus/$$target; log=$(FUZZ_DIR)/logs/$$target.log; \
		if $$run $(FUZZ_LIMIT) -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$$target- $(FUZZ_ARGS) \
			$(FUZZ_DIR)/corpus/$$target $$seeds >$$log 2>&1; then \
			echo "$$target: $$(grep -h '^Done' $$log), no findings"; \
		else \
			status=1; tail -n 40 $$log; echo "$$target: FINDING (log $$log)"; \
		fi; \
	done; exit $$status

# libFuzzer with the sanitizers, installed on a clean Debian machine (CI runs as root).
$(FUZZ_DIR)/.compiler:
	@mkdir -p $(@D)
	@echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' > $(@D)/probe.cpp
	@$(FUZZ_CXX) $(FUZZ_FLAGS) $(@D)/probe.cpp -o $(@D)/probe 2>/dev/null || { \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null \
		&& $(FUZZ_CXX) $(FUZZ_FLAGS) $(@D)/probe.cpp -o $(@D)/probe; }
	touch $@

$(FUZZ_DIR)/bin/%: tests/fuzz/%.cpp $(FUZZ_DIR)/.compiler $(XSIMD) $(SIMDJSON)
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -MMD -MP -MF $@.d $< -o $@ $(FUZZ_LIBS_$*)

-include $(wildcard $(FUZZ_DIR)/bin/*.d)

# The atheris harness tests/fuzz/fuzz_tle_time.py with coverage of the native
# code: the extensions built by clang with -fsanitize=fuzzer-no-link (and ASan,
# UBSan) into a copy of the package in build/atheris/site. Runs the harness's
# two targets for FUZZ_RUNS inputs each (default 100000); the sanitizer
# runtimes with libFuzzer come from atheris.
ATHERIS_SITE := build/atheris/site
ATHERIS_RUNS := $(or $(FUZZ_RUNS),100000)

fuzz-atheris: $(VENV)/.fuzzdeps $(FUZZ_DIR)/.compiler $(XSIMD) $(SIMDJSON)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/atheris -G Ninja -DASTROKITE_FUZZ_COVERAGE=ON \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/atheris
	rm -rf $(ATHERIS_SITE) && mkdir -p $(ATHERIS_SITE) && cp -r src/astrokite $(ATHERIS_SITE)/
	find $(ATHERIS_SITE) -name '*.so' -delete
	cmake --install build/atheris --prefix $(ATHERIS_SITE) >/dev/null
	mkdir -p $(FUZZ_DIR)/artifacts
	for target in tle time; do \
		LD_PRELOAD="$$($(VPY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
		ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONPATH=$(ATHERIS_SITE) $(VPY) tests/fuzz/fuzz_tle_time.py $$target -runs=$(ATHERIS_RUNS) \
			-artifact_prefix=$(FUZZ_DIR)/artifacts/atheris-$$target- $(FUZZ_ARGS) || exit 1; \
	done

$(VENV)/.fuzzdeps: $(VENV)/.devdeps pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['fuzz'])
	touch $@

# The bundled element sets, one pair of lines a seed.
$(FUZZ_DIR)/seeds/data/.made: $(FUZZ_DATA)
	rm -rf $(@D) && mkdir -p $(@D)
	for file in $(FUZZ_DATA); do split -l 2 -a 4 -d $$file $(@D)/$$(basename $$file .tle)-; done
	touch $@

bench: $(VENV)/.installed $(VENV)/.bench
	$(VPY) bench/run.py

$(XSIMD):
	apt-get install -y libxsimd-dev || { apt-get update && apt-get install -y libxsimd-dev; }

$(SIMDJSON):
	apt-get install -y libsimdjson-dev || { apt-get update && apt-get install -y libsimdjson-dev; }

# The build requirements of pyproject.toml (the package is installed without
# build isolation), with the cmake and ninja that build it.
$(VENV)/.tools: pyproject.toml
	@test -n "$(PYTHON313)" || { echo "error: Python 3.13 not found (tried python3.13 on PATH and pyenv's 3.13)" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) install $$($(VPY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))") \
		cmake ninja
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

$(VENV)/.installed: $(VENV)/.tools $(XSIMD) $(SIMDJSON) $(SOURCES)
	$(PIP) install --no-build-isolation ".[test]"
	touch $@

clean:
	rm -rf $(VENV) build
	find src -name '*.so' -delete

.PHONY: docs wheel wheel-check

# The documentation site (Sphinx, warnings as errors); its examples run as doctests, so
# the output the guides show is what the code prints. It documents the package already
# built: the in-place build of `make dev` where there is one, else the package `make demo`
# or `make test` installed (installed first only when missing or out of date).
DOCS_PATH := $(if $(wildcard src/astrokite/time/time*.so),src)

docs: $(VENV)/.docs $(if $(DOCS_PATH),,$(VENV)/.installed)
	rm -rf docs/_build
	PYTHONPATH=$(DOCS_PATH) MPLBACKEND=Agg $(VPY) -m sphinx -q -W --keep-going -b doctest docs docs/_build/doctest
	PYTHONPATH=$(DOCS_PATH) MPLBACKEND=Agg $(VPY) -m sphinx -q -W --keep-going -b html docs docs/_build/html
	@echo "site: docs/_build/html/index.html"

# An sdist, a wheel built from it in an isolated environment (as pip builds for a
# user), and that wheel repaired by auditwheel to a manylinux tag in wheelhouse/.
# Not part of `make test`: it builds everything from scratch.
wheel: $(VENV)/.wheeltools $(XSIMD) $(SIMDJSON)
	rm -rf dist wheelhouse
	$(VPY) -m build --outdir dist .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel repair --wheel-dir wheelhouse dist/*.whl
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel show wheelhouse/*.whl

# The repaired wheel installed into a fresh virtual environment, its console script run.
wheel-check: wheel
	ASTROKITE_WHEEL="$$(ls wheelhouse/*.whl)" PYTHONPATH=src $(VPY) -m pytest -q -rs tests/interface/test_cli.py -k fresh_venv

$(VENV)/.docs: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['docs'])
	touch $@

$(VENV)/.wheeltools: $(VENV)/.tools pyproject.toml
	$(PIP) install $(call REQUIREMENTS,p['optional-dependencies']['wheel'])
	touch $@
