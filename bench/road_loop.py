"""The road on the 10,000-model project, N times, and nothing else: a target
for perf and callgrind (see README.md here). Generating the project is the
only other work in the process.

    .venv/bin/python bench/road_loop.py [N]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402

import tovik._core as core  # noqa: E402

p = workloads.project(10_000, core)
for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 10):
    workloads.road(core, p)
print(f"road x{sys.argv[1] if len(sys.argv) > 1 else 10} with {core.__file__}")
