# make demo   - set up, build and run the analysis on the bundled example
# make test   - set up, build and run every C++ and Python test
# make bench  - benchmarks (never part of the tests)

VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= 2
WERROR ?= ON

FUZZ_SECONDS ?= 30
NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: setup setup-demo install test-install lint cpp-test asan-test tsan-test py-test asan-py-test fuzz test demo \
        bench clean

# What building and running needs; the test toolchain comes with `setup`.
setup-demo:
	@bash scripts/setup.sh demo

setup:
	@bash scripts/setup.sh test

install: setup-demo
	@$(PY) -m pip install -q --no-build-isolation . -Ccmake.define.RSVELMO_WERROR=$(WERROR)

test-install: setup
	@$(PY) -m pip install -q --no-build-isolation . -Ccmake.define.RSVELMO_WERROR=$(WERROR)

# Formatting and lint gates, first and fast.
lint: setup
	@clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp' | grep -v '^src/internal/unicode_lower_table')
	@$(VENV)/bin/ruff format --check --quiet python tests bench scripts
	@$(VENV)/bin/ruff check --quiet python tests bench scripts
	@$(PY) scripts/test_ratio.py

build/cpp/build.ninja: CMakeLists.txt tests/cpp/CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DRSVELMO_BUILD_TESTS=ON -DRSVELMO_BUILD_MODULE=OFF -DRSVELMO_WERROR=$(WERROR) >/dev/null

build/asan/build.ninja: CMakeLists.txt tests/cpp/CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRSVELMO_SANITIZE=address,undefined \
	  -DRSVELMO_BUILD_TESTS=ON -DRSVELMO_BUILD_MODULE=OFF -DRSVELMO_WERROR=$(WERROR) >/dev/null

build/tsan/build.ninja: CMakeLists.txt tests/cpp/CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/tsan $(NINJA) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRSVELMO_SANITIZE=thread \
	  -DRSVELMO_BUILD_TESTS=ON -DRSVELMO_BUILD_MODULE=OFF -DRSVELMO_WERROR=$(WERROR) >/dev/null

build/fuzz/build.ninja: CMakeLists.txt | setup
	@$(CMAKE) -S . -B build/fuzz $(NINJA) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DRSVELMO_SANITIZE=address,undefined -DRSVELMO_BUILD_FUZZ=ON -DRSVELMO_BUILD_MODULE=OFF \
	  -DRSVELMO_WERROR=$(WERROR) >/dev/null

cpp-test: build/cpp/build.ninja
	@$(CMAKE) --build build/cpp -j $(JOBS)
	@$(CTEST) --test-dir build/cpp -j $(JOBS) --output-on-failure

asan-test: build/asan/build.ninja
	@$(CMAKE) --build build/asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) --test-dir build/asan -j $(JOBS) --output-on-failure

# The worker pool, the driver and the parallel batch under ThreadSanitizer
# (the fork test is left out: the sanitizer does not follow threads across fork).
tsan-test: build/tsan/build.ninja
	@$(CMAKE) --build build/tsan -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1 $(CTEST) --test-dir build/tsan -j $(JOBS) --output-on-failure \
	  -R '^(Pool|Batch|Driver|GroupRunner|DebugRecords|EsRuler)' -E 'AForkedChild'

py-test: test-install
	@$(PY) -m pytest -q

# The whole analysis through an ASan/UBSan build of the extension module.
asan-py-test: setup
	@$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target build/asan-py . \
	  -Cbuild-dir=build/asan-wheel -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.RSVELMO_SANITIZE=address,undefined -Ccmake.define.RSVELMO_WERROR=$(WERROR)
	@for n in 1 2; do \
	  LD_PRELOAD=$$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=build/asan-py $(PY) tests/smoke/whole_analysis.py $$n || exit 1; \
	done

# Each libFuzzer target for FUZZ_SECONDS, from the seed corpora in fuzz/corpus.
fuzz: build/fuzz/build.ninja
	@$(CMAKE) --build build/fuzz -j $(JOBS) --target gmt_fuzzer analysis_fuzzer
	@for t in gmt analysis; do \
	  mkdir -p build/fuzz/corpus-$$t; \
	  build/fuzz/$${t}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=20 -print_final_stats=1 \
	    build/fuzz/corpus-$$t fuzz/corpus/$$t 2>build/fuzz/$$t.log || { tail -40 build/fuzz/$$t.log; exit 1; }; \
	  grep -E '^stat::number_of_executed_units' build/fuzz/$$t.log | sed "s/^/$$t fuzzer: /"; \
	done

test: lint cpp-test asan-test tsan-test py-test asan-py-test fuzz

demo: install
	@$(VENV)/bin/rsvelmo run examples/panc1_foxa2ko_vs_wt_t.rnk examples/go_bp_2022_15_500.gmt -o demo-output \
	  --plots --report

bench: test-install
	@$(PY) bench/run_bench.py
	@$(PY) bench/stable_calls.py
	@$(PY) bench/sample_scores.py

clean:
	rm -rf build
