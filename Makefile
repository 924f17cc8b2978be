PY := .venv/bin/python
BUILD_DIR := build/release

.PHONY: setup build test test-asan fuzz example bench bench-compare bench-prof-build clean

setup:
	./scripts/setup.sh

# Incremental: the CMake tree under build/ is kept between runs.
build: setup
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) .

test: build
	$(PY) -m pytest -q tests

# The suite against a build with AddressSanitizer and UBSan (build/asan).
test-asan: setup
	./scripts/test-asan.sh

# libFuzzer targets under fuzz/, about a minute in all (FUZZ_SECONDS to change).
fuzz:
	TOVIK_FUZZ=1 ./scripts/setup.sh
	./scripts/fuzz.sh

example: build
	$(PY) examples/run.py

# Figures for this tree; SECTIONS="road parse" runs only those, SECTIONS=big
# adds build_pipeline on 1,000,000 models (a minute, several GB).
bench: build
	$(PY) bench/run.py $(SECTIONS)

# This tree against REF, both built here and run interleaved under pyperf;
# prints ratios current/REF. BIG=1 adds the 1,000,000-model pipeline.
REF ?= main
ROUNDS ?= 10
bench-compare: setup
	$(PY) bench/compare.py --ref $(REF) --rounds $(ROUNDS) $(if $(filter 1,$(BIG)),--big)

# The release build with symbols and frame pointers, for perf and callgrind
# (bench/README.md); use it with PYTHONPATH=build/bench/prof/site.
bench-prof-build: setup
	rm -rf build/bench/prof/site
	$(PY) -m pip install -q --no-build-isolation --no-deps --target build/bench/prof/site \
	  -Cbuild-dir=build/bench/prof/cmake -Cinstall.strip=false \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=-g -fno-omit-frame-pointer" .

clean:
	rm -rf build .venv
