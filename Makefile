# Set-up and test entry points; see README.md.
PYTHON ?= python3
BUILD_DIR ?= build/cpp
JOBS ?= 2

.PHONY: demo test deps cpp-deps py-deps cpp-build cpp-test py-install py-test clean

# Build and install the package, then run an example program.
demo: deps py-install
	$(PYTHON) -m tarnel run examples/fib.tnasm --stats

# Everything the tests need, then every test (C++ and Python).
test: deps cpp-test py-install py-test

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

clean:
	rm -rf build dist
