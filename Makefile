# Set-up and test entry points; see README.md.
PYTHON ?= python3
BUILD_DIR ?= build/cpp
JOBS ?= 2

.PHONY: demo test deps cpp-deps py-deps cpp-build cpp-test py-install py-test clean \
        bench bench-deps bench-quick bench-cpp sanitize clang-deps fuzz-short

# Build and install the package, then run an example program.
demo: deps py-install
	$(PYTHON) -m tarnel run examples/fib.tnasm --stats

# Everything the tests need, then every test (C++ and Python), and a quick
# benchmark pass that checks every engine agrees on every workload.
test: deps cpp-test py-install py-test bench-quick

deps: cpp-deps py-deps

# Debian packages: GoogleTest for the C++ tests. Installed only when missing.
cpp-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  (apt-get update -q && apt-get install -y -q libgtest-dev) || \
	  { echo "libgtest-dev is needed: run as root or install it"; exit 1; }; \
	fi

py-deps:
	$(PYTHON) -m pip install -q -r requirements-test.txt

cpp-build:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_EXTENSION=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS)

cpp-test: cpp-build
	$(BUILD_DIR)/tarnel_tests --gtest_brief=1

py-install:
	$(PYTHON) -m pip install -q .

py-test:
	$(PYTHON) -m pytest tests/python -q

# Benchmarks against CPython, Lua 5.4, LuaJIT's interpreter and C.
bench-deps:
	bench/setup.sh

bench-quick: py-install
	$(PYTHON) bench/run.py --quick --runs 1

bench: bench-deps py-install
	$(PYTHON) bench/run.py
	$(PYTHON) bench/plot.py

bench-cpp:
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON -DTARNEL_BUILD_EXTENSION=OFF
	cmake --build build/bench -j $(JOBS)
	build/bench/tarnel_bench

# C++ tests under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer,
# built with clang like the fuzz targets.
sanitize: clang-deps
	scripts/sanitize.sh

# Every fuzz target for a short fixed time on the checked-in corpus. The
# targets need clang's libFuzzer (Debian's clang), installed when missing.
# libclang-rt-dev holds the sanitizer and libFuzzer runtimes (only recommended by clang).
clang-deps:
	@if ! command -v clang++ >/dev/null 2>&1 || \
	    ! echo 'int main(){}' | clang++ -x c++ -fsanitize=address,fuzzer-no-link - -o /dev/null 2>/dev/null; then \
	  (apt-get update -q && apt-get install -y -q clang libclang-rt-dev) || \
	  { echo "clang is needed for the sanitizer build and the fuzz targets: run as root or install it"; exit 1; }; \
	fi

fuzz-short: clang-deps
	fuzz/run_short.sh

clean:
	rm -rf build dist
