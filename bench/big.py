"""build_pipeline on a very large generated project, alone in its own process.

Prints one JSON object: seconds for the call, the project's text size, the
process's resident size before the call and its peak during the call. The
peak is only meaningful in a fresh process, which is why this is a script of
its own (run.py and compare.py start it once per build).

    .venv/bin/python bench/big.py [--models N]
"""

import argparse
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402

import tovik._core as core  # noqa: E402


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    """Restart the kernel's high-water mark, so the peak read afterwards belongs
    to the call rather than to generating the input. False where not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes(after_reset):
    if after_reset:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", type=int, default=1_000_000)
    args = ap.parse_args()

    p = workloads.project(args.models, index=False)
    text = p.text_bytes
    before = rss_bytes()
    reset = reset_peak()
    t0 = time.perf_counter()
    _, batches, parsed, findings = core.build_pipeline(p.raw_models, p.available_sources)
    seconds = time.perf_counter() - t0
    peak = peak_bytes(reset)
    print(json.dumps({
        "models": args.models, "seconds": seconds, "text_bytes": text,
        "rss_before": before, "peak": peak, "peak_is_call_only": reset,
        "batches": len(batches), "findings": len(findings),
        "module": os.path.realpath(core.__file__),
    }))


if __name__ == "__main__":
    main()
