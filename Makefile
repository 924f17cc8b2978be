PY := .venv/bin/python
BUILD_DIR := build/release

.PHONY: setup build test example bench clean

setup:
	./scripts/setup.sh

# Incremental: the CMake tree under build/ is kept between runs.
build: setup
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) .

test: build
	$(PY) -P -m pytest -q tests

example: build
	$(PY) -P examples/run.py

bench: build
	$(PY) -P bench/run.py

clean:
	rm -rf build .venv
