# make demo   - set up, build and run the analysis on the bundled example
# make test   - set up, build and run every C++ and Python test
# make bench  - benchmarks (never part of the tests)

VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= 2
WERROR ?= ON

.PHONY: setup install cpp-test asan-test py-test test demo bench clean

setup:
	@bash scripts/setup.sh

install: setup
	@$(PY) -m pip install -q --no-build-isolation . -Ccmake.define.RSVELMO_WERROR=$(WERROR)

build/cpp/build.ninja: CMakeLists.txt tests/cpp/CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DRSVELMO_BUILD_TESTS=ON -DRSVELMO_BUILD_MODULE=OFF -DRSVELMO_WERROR=$(WERROR) >/dev/null

build/asan/build.ninja: CMakeLists.txt tests/cpp/CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRSVELMO_SANITIZE=address,undefined \
	  -DRSVELMO_BUILD_TESTS=ON -DRSVELMO_BUILD_MODULE=OFF -DRSVELMO_WERROR=$(WERROR) >/dev/null

cpp-test: build/cpp/build.ninja
	@$(CMAKE) --build build/cpp -j $(JOBS)
	@$(CTEST) --test-dir build/cpp -j $(JOBS) --output-on-failure

asan-test: build/asan/build.ninja
	@$(CMAKE) --build build/asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) --test-dir build/asan -j $(JOBS) --output-on-failure

py-test: install
	@$(PY) -m pytest -q

test: cpp-test asan-test py-test

demo: install
	@$(VENV)/bin/rsvelmo run examples/panc1_foxa2ko_vs_wt_t.rnk examples/go_bp_2022_15_500.gmt -o demo-output --plots

bench: install
	@$(PY) bench/run_bench.py

clean:
	rm -rf build
