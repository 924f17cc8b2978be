#!/usr/bin/env bash
# Runs the whole test suite against a build of the extension instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any sanitizer report fails
# the run, including one from a child process that a test started.
#
# The instrumented module is built in build/asan/cmake and installed into
# build/asan/site, which is put in front of the package installed in .venv, so
# the ordinary build is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
ROOT=build/asan
SITE=$ROOT/site
LOGS=$ROOT/logs

# Optimised but with frame pointers and line tables, for readable reports; the
# standard library's own bounds checks on top of the sanitizers.
$PY -m pip install -q --no-build-isolation --upgrade --no-deps --target "$SITE" \
    -Cbuild-dir="$ROOT/cmake" \
    -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.TOVIK_SANITIZE=ON \
    -Ccmake.define.CMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
    .

module=$(ls "$SITE"/tovik/_core*.so)
# The interpreter is not instrumented, so the runtimes the module was linked
# against have to be loaded before anything else.
runtimes=$(ldd "$module" | awk '/lib(asan|ubsan)\.so/ {print $3}' | sort -u | tr '\n' ' ')
case "$runtimes" in
    *libasan*) ;;
    *) echo "test-asan: $module is not linked against libasan" >&2; exit 1 ;;
esac

rm -rf "$LOGS"
mkdir -p "$LOGS"
logs_abs=$(cd "$LOGS" && pwd)

# tests/test_leaks.py skips itself when TOVIK_SANITIZED is set: ASan's
# quarantine makes memory figures meaningless, and the ordinary run covers it.
# detect_leaks=0: the interpreter keeps its own allocations alive at exit;
# leaks of the core are the fuzzers' and tests/test_leaks.py's business.
# PYTHONMALLOC=malloc: Python objects come from malloc too, so a reference
# counting mistake in the binding layer shows up as a use after free.
status=0
env LD_PRELOAD="$runtimes" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$SITE${PYTHONPATH:+:$PYTHONPATH}" \
    TOVIK_SANITIZED=1 \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$logs_abs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs_abs/ubsan" \
    $PY -c '
import sys, tovik._core as core
expected = sys.argv[1]
if not core.__file__.startswith(expected):
    sys.exit(f"test-asan: imported {core.__file__}, not the build under {expected}")
import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "tests"]))
' "$(cd "$SITE" && pwd)" || status=$?

if compgen -G "$LOGS/*" >/dev/null; then
    echo "test-asan: sanitizer reports:" >&2
    for f in "$LOGS"/*; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    exit 1
fi
exit "$status"
