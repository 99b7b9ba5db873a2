# Set-up and test entry points; see README.md.
#
# Which Python: PYTHON=... when given; the active virtual environment's
# python3 when there is one; otherwise the project's own environment .venv/,
# created on first use with BASE_PYTHON. Nothing is installed into the
# system Python (Debian and Ubuntu refuse that anyway: PEP 668).
BASE_PYTHON ?= python3
VENV ?= .venv
BUILD_DIR ?= build/cpp
JOBS ?= 2

ifndef PYTHON
  ifneq ($(VIRTUAL_ENV)$(CONDA_PREFIX),)
    PYTHON := python3
  else
    PYTHON := $(VENV)/bin/python
    OWN_VENV := $(VENV)/bin/python
  endif
endif

# Tools installed beside that Python (cmake and ninja for the C++ tests)
# come first on PATH.
ifneq ($(findstring /,$(PYTHON)),)
  export PATH := $(abspath $(dir $(PYTHON))):$(PATH)
endif

# Stamp files record what has been installed into that Python, so an
# unchanged package is not rebuilt (about 30 s) and installed tools are not
# reinstalled. A new environment is newer than its stamps.
STAMPS := build/stamps/$(subst /,_,$(PYTHON))
PACKAGE_SOURCES := CMakeLists.txt pyproject.toml python/tarnel_vm.pyi \
  $(shell find src python/tarnel -type f -not -path '*/__pycache__/*')

.PHONY: demo test deps run-deps cpp-deps py-deps cpp-build cpp-test py-install py-test \
        test-programs lint format clean distclean bench bench-deps bench-quick bench-cpp sanitize clang-deps fuzz-short

# Build and install the package, then run an example program.
demo: py-install
	$(PYTHON) -m tarnel run examples/fib.tnasm --stats

# Everything the tests need, then every test (C++ and Python), and a quick
# benchmark pass that checks every engine agrees on every workload.
test: deps cpp-test py-test bench-quick

# System packages (Debian/Ubuntu), installed only when missing: `run-deps`
# what building needs, `deps` also what the tests need.
SYSTEM_DEPS = HEADERS_PYTHON=$(if $(OWN_VENV),$(BASE_PYTHON),$(PYTHON)) \
  VENV_PYTHON=$(if $(and $(OWN_VENV),$(wildcard $(OWN_VENV))),,$(if $(OWN_VENV),$(BASE_PYTHON))) \
  scripts/system-deps.sh
run-deps:
	@$(SYSTEM_DEPS) run
deps:
	@$(SYSTEM_DEPS) test
cpp-deps: deps

$(VENV)/bin/python: | run-deps
	@echo "Creating the project's Python environment $(VENV)/ with $(BASE_PYTHON)"
	$(BASE_PYTHON) -m venv $(VENV)

# The test tools (pytest, hypothesis, cmake, ninja, ...): only for `make test`.
$(STAMPS)/test-tools: requirements-test.txt $(OWN_VENV) | run-deps
	$(PYTHON) -m pip install -q -r requirements-test.txt
	@mkdir -p $(@D) && touch $@
py-deps: $(STAMPS)/test-tools

# The package itself, rebuilt only when its sources change.
$(STAMPS)/installed: $(PACKAGE_SOURCES) $(OWN_VENV) | run-deps
	$(PYTHON) -m pip install -q .
	@mkdir -p $(@D) && touch $@
py-install: $(STAMPS)/installed

# The test build treats compiler warnings as errors.
cpp-build: deps py-deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_EXTENSION=OFF -DTARNEL_WERROR=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

cpp-test: cpp-build
	$(BUILD_DIR)/tarnel_tests --gtest_brief=1

py-test: py-deps py-install
	$(PYTHON) -m pytest tests/python -q

# Only the program corpus (tests/programs/ and examples/).
test-programs: py-deps py-install
	$(PYTHON) -m pytest tests/python/test_programs.py -q

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
# built with clang like the fuzz targets; then the Python suite against the
# extension built with ASan and UBSan.
sanitize: clang-deps py-deps
	scripts/sanitize.sh
	PYTHON=$(PYTHON) scripts/sanitize_python.sh

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

# Layout and lint: C++ against .clang-format, Python against the ruff
# settings in pyproject.toml. Both tools are pinned in requirements-test.txt,
# so every machine formats alike. `format` rewrites the files in place.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' '*.h' '*.cc')
lint: py-deps
	$(PYTHON) -m ruff check .
	@echo "clang-format --dry-run -Werror (every C++ file)"
	@clang-format --dry-run -Werror $(CXX_SOURCES)

format: py-deps
	$(PYTHON) -m ruff check --fix .
	clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build dist

# Also forgets the project environment.
distclean: clean
	rm -rf $(VENV)
