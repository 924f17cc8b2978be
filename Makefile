PY := .venv/bin/python
BUILD_DIR := build/release

.PHONY: setup build test test-asan fuzz example bench clean

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

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build .venv
