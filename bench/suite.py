"""The pyperf benchmarks of tovik._core that compare.py runs against two builds.

Each benchmark times whichever tovik is first on sys.path (PYTHONPATH); the
path of the module it loaded is stored in the results' metadata, so a
comparison can prove which build each figure came from.

Run by hand for one build:  .venv/bin/python bench/suite.py [--only NAME] [pyperf options]
"""

import os
import sys
import time

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402

import tovik._core as core  # noqa: E402

ROAD_MODELS = 10_000
# parse_sql('select 1') and len() are timed UNROLL calls per loop iteration, so
# the interpreter's loop costs the same small share of both.
UNROLL = 20

BENCHMARKS = workloads.BENCHMARKS
NEEDS = {"road-10k": ("build_pipeline", "batch_resolve", "batch_wrap_ddl"),
         "pipeline-10k": ("build_pipeline",), "parse-1mb": ("parse_sql",),
         "parse-select1": ("parse_sql",)}


def available(name):
    return all(hasattr(core, f) for f in NEEDS.get(name, ()))


def time_road(loops, p):
    t0 = time.perf_counter()
    for _ in range(loops):
        workloads.road(core, p)
    return time.perf_counter() - t0


def time_pipeline(loops, p):
    build, raw, avail = core.build_pipeline, p.raw_models, p.available_sources
    t0 = time.perf_counter()
    for _ in range(loops):
        build(raw, avail)
    return time.perf_counter() - t0


def time_unrolled(loops, f, s):
    t0 = time.perf_counter()
    for _ in range(loops):
        f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s)  # noqa: E702
        f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s); f(s)  # noqa: E702
    return time.perf_counter() - t0


def time_parse_big(loops, s):
    parse = core.parse_sql
    t0 = time.perf_counter()
    for _ in range(loops):
        parse(s)
    return time.perf_counter() - t0


def add_cmdline_args(cmd, args):
    for name in args.only or ():
        cmd.extend(("--only", name))


def main():
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--only", action="append", choices=BENCHMARKS,
                                  help="run only this benchmark (repeatable)")
    args = runner.parse_args()
    runner.metadata["tovik_core"] = os.path.realpath(core.__file__)
    wanted = [b for b in BENCHMARKS if not args.only or b in args.only]

    if {"road-10k", "pipeline-10k"} & set(wanted):
        p = workloads.project(ROAD_MODELS, core)
        if "road-10k" in wanted and available("road-10k") and not args.worker:
            workloads.check_project(core, p)
    # Values are per model (road, pipeline) or per call (select1, len).
    for name in wanted:
        if not available(name):
            print(f"{name}: this build lacks {', '.join(NEEDS[name])}", file=sys.stderr)
            continue
        if name == "road-10k":
            runner.bench_time_func(name, time_road, p, inner_loops=ROAD_MODELS)
        elif name == "pipeline-10k":
            runner.bench_time_func(name, time_pipeline, p, inner_loops=ROAD_MODELS)
        elif name == "parse-1mb":
            big = workloads.big_model()
            runner.bench_time_func(name, time_parse_big, big)
        elif name == "parse-select1":
            runner.bench_time_func(name, time_unrolled, core.parse_sql, "select 1",
                                   inner_loops=UNROLL)
        elif name == "len-select1":
            runner.bench_time_func(name, time_unrolled, len, "select 1", inner_loops=UNROLL)


if __name__ == "__main__":
    main()
