# Everything a fresh machine needs: `make demo` and `make test` each set up the
# virtual environment, build and install the module, then run their job.

PYTHON_BOOT ?= python3
VENV        ?= .venv
PY          := $(VENV)/bin/python
BUILD       := build
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)

# Tools installed into the virtual environment (cmake, ninja) come first.
export PATH := $(abspath $(VENV))/bin:$(PATH)

CMAKE_GEN := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVID_BUILD_TESTS=ON

.PHONY: demo test venv system-deps install cpp-test cpp-test-asan cpp-test-tsan py-test bench clean

demo: install
	$(PY) examples/quickstart.py

test: install cpp-test cpp-test-asan cpp-test-tsan py-test

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
	$(PY) -m pip install --quiet --no-build-isolation \
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

bench: install
	$(PY) -m pip install --quiet -r requirements-bench.txt
	$(PY) bench/run_all.py

clean:
	rm -rf $(BUILD)
