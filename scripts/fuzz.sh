#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang (ASan + UBSan, core
# sources compiled straight in) and runs each one for a short, fixed time from
# its seed corpus. A crash, a sanitizer report, a leak, a timeout, running out
# of memory or a broken property fails the run; the input that did it is kept
# in build/fuzz/artifacts/ and can be replayed with
#   build/fuzz/fuzz/<target> build/fuzz/artifacts/<file>
#
# Usage: scripts/fuzz.sh [target...]       (default: every target that built)
#   FUZZ_SECONDS  wall-clock budget of the fuzzing itself (default 60)
#   FUZZ_JOBS     targets fuzzed at the same time (default: number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/fuzz
SECONDS_TOTAL=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-$(nproc)}

tool() {  # prefer the versions pinned in .venv
    if [ -x ".venv/bin/$1" ]; then echo "$PWD/.venv/bin/$1"; else command -v "$1"; fi
}
CMAKE=$(tool cmake)
NINJA=$(tool ninja)
CXX=${FUZZ_CXX:-$(command -v clang++ || true)}
if [ -z "$CXX" ]; then
    echo "fuzz: clang++ not found (TOVIK_FUZZ=1 scripts/setup.sh installs it)" >&2
    exit 1
fi

mkdir -p "$BUILD"
"$CMAKE" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOVIK_PYTHON=OFF -DTOVIK_FUZZ=ON >"$BUILD/configure.log" 2>&1 \
    || { cat "$BUILD/configure.log" >&2; exit 1; }
grep '^-- fuzz:' "$BUILD/configure.log" || true
"$CMAKE" --build "$BUILD" -j "$(nproc)"

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(grep -v '^$' "$BUILD/fuzz/targets.txt")
fi
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz: no targets" >&2
    exit 1
fi

# Targets run in rounds of JOBS at a time; each gets an equal share of the budget.
rounds=$(( (${#targets[@]} + JOBS - 1) / JOBS ))
per=$(( SECONDS_TOTAL / rounds ))
[ "$per" -lt 5 ] && per=5
echo "fuzz: ${#targets[@]} targets, ${per}s each, $JOBS at a time"

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
run_one() {
    local t=$1 dict=() rc=0
    mkdir -p "$BUILD/corpus/$t"
    [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
    # New inputs go to the first directory, so the seeds in fuzz/ stay as they are.
    "$BUILD/fuzz/$t" -max_total_time="$per" -timeout=10 -rss_limit_mb=2048 \
        -use_value_profile=1 -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$BUILD/artifacts/$t-" \
        "$BUILD/corpus/$t" "fuzz/corpus/$t" >"$BUILD/logs/$t.log" 2>&1 || rc=$?
    echo "$rc" >"$BUILD/logs/$t.rc"
}

failed=()
rm -f "$BUILD"/logs/*.rc
for t in "${targets[@]}"; do
    if [ ! -x "$BUILD/fuzz/$t" ]; then
        echo "fuzz: unknown target $t" >&2
        failed+=("$t")
        continue
    fi
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    run_one "$t" &
done
wait

for t in "${targets[@]}"; do
    rc_file="$BUILD/logs/$t.rc"
    [ -f "$rc_file" ] || continue
    [ "$(cat "$rc_file")" = 0 ] || failed+=("$t")
done

for t in "${targets[@]}"; do
    log="$BUILD/logs/$t.log"
    [ -f "$log" ] || continue
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz: $t: ${runs:-?} runs, ${cov:-cov: ?}"
done
if [ ${#failed[@]} -gt 0 ]; then
    for t in "${failed[@]}"; do
        echo "==== fuzz: $t FAILED; end of $BUILD/logs/$t.log:" >&2
        tail -n 60 "$BUILD/logs/$t.log" >&2 || true
    done
    ls -1 "$BUILD"/artifacts/ >&2 || true
    exit 1
fi
echo "fuzz: no findings"
