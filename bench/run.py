"""Benchmarks of tovik._core: prints figures, asserts nothing.

Run with `make bench`; pass names of sections to run only those
(`make bench SECTIONS="road parse"`). The section "big" (build_pipeline on
1,000,000 models, in a process of its own for its peak memory) runs only when
named. For a ratio against another version use `make bench-compare`, which
runs suite.py under pyperf against both builds; see README.md here.
"""

import json
import os
import random
import resource
import subprocess
import sys
import time
import timeit

import tovik._core as core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402


def timed(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def calls_per_second(fn, seconds=0.5):
    n, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        for _ in range(100):
            fn()
        n += 100
    return n / (time.perf_counter() - t0)


def per_call(stmt, env, repeat=7):
    timer = timeit.Timer(stmt, globals=env)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def model_text(i, refs, with_header=True):
    header = f"---\nmaterialization: table\ntags: [t{i % 7}, all]\nschema: s{i % 3}\n---\n"
    joins = "\n".join(f"join ref('m{r}') r{k} on r{k}.id = a.id" for k, r in enumerate(refs))
    body = (f"select a.*, '{{{{ run_date }}}}' as run_date\nfrom source('raw', 'table_{i}') a\n"
            f"{joins}\nwhere a.x > {{{{ threshold }}}}\n")
    return (header if with_header else "") + body


def random_project(n, max_refs=3, seed=1):
    rnd = random.Random(seed)
    return [(f"m{i}", model_text(i, rnd.sample(range(i), min(i, rnd.randint(0, max_refs)))))
            for i in range(n)]


def bench_parse():
    big = workloads.big_model()
    t = timed(lambda: core.parse_sql(big), 20)
    print(f"parse_sql: {len(big.encode()) / t / 1e9:.2f} GB/s on a {len(big) / 1e6:.1f} MB model")
    small = model_text(1, [2, 3])
    print(f"parse_sql: {calls_per_second(lambda: core.parse_sql(small)):,.0f} calls/s "
          f"on {len(small)} bytes")
    # timeit inlines the call into its loop: no lambda between, so the ratio
    # is call against call.
    env = {"s": "select 1", "parse_sql": core.parse_sql}
    t_parse = per_call("parse_sql(s)", env)
    t_len = per_call("len(s)", env)
    print(f"parse_sql('select 1'): {t_parse * 1e9:,.0f} ns a call, {t_parse / t_len:.1f}x "
          f"a len() call on the same string ({t_len * 1e9:.0f} ns)")


_road_per_model = None


def bench_road():
    global _road_per_model
    p = workloads.project(10_000, core)
    workloads.check_project(core, p)
    n = len(p.raw_models)
    t = timed(lambda: workloads.road(core, p), 5)
    tp = timed(lambda: core.build_pipeline(p.raw_models, p.available_sources), 5)
    print(f"road (build_pipeline, then batch_resolve + batch_wrap_ddl per batch): "
          f"{t / n * 1e6:.2f} us/model on {n:,} models, {p.text_bytes / n:.0f} bytes each")
    print(f"build_pipeline alone: {tp / n * 1e6:.2f} us/model on {n:,} models")
    _road_per_model = tp / n


def bench_big():
    if _road_per_model is None:
        bench_road()
    per_model_10k = _road_per_model
    out = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "big.py")],
                         check=True, capture_output=True, text=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    per = r["seconds"] / r["models"]
    print(f"build_pipeline {r['models']:,} models: {r['seconds']:.2f} s, {per * 1e6:.2f} us/model "
          f"({per / per_model_10k:.2f}x the 10k figure), {r['batches']} batches, "
          f"{r['findings']} findings")
    print(f"  text {r['text_bytes'] / 2**20:,.0f} MiB; peak RSS {r['peak'] / 2**20:,.0f} MiB = "
          f"{r['peak'] / r['text_bytes']:.2f}x the text, of which the call added "
          f"{(r['peak'] - r['rss_before']) / 2**20:,.0f} MiB = "
          f"{(r['peak'] - r['rss_before']) / r['text_bytes']:.2f}x the text")


def bench_macros():
    names = [f"macro_{i}" for i in range(50)]
    chunk = ("select macro_7(a, 'x, y', nested(b, c)), other(d) from t where "
             "macro_49(e) > 0 -- it''s fine\n")
    big = chunk * 300000
    t = timed(lambda: core.find_macro_calls(big, names))
    calls = len(core.find_macro_calls(big, names))
    print(f"find_macro_calls: {len(big) / t / 1e6:.1f} MB/s on {len(big) / 1e6:.1f} MB "
          f"({calls:,} calls, {len(names)} names)")


def bench_compile():
    project = random_project(10000)
    sources = {"raw": core.SourceInfo("db", "raw")}
    vars_ = {"run_date": "2024-01-01", "threshold": "10"}
    t = timed(lambda: core.batch_resolve(project, "analytics", "view", vars_, sources), 1)
    print(f"batch_resolve: {len(project) / t:,.0f} models/s on {len(project):,} models")
    name, text = project[500]
    rate = calls_per_second(
        lambda: core.compile_model(text, name, "analytics", "view", vars_, sources))
    print(f"compile_model: {rate:,.0f} calls/s")


def bench_graph():
    for n in (100_000, 1_000_000):
        rnd = random.Random(n)
        models = [core.ParsedModel(f"m{i}", [f"m{r}" for r in
                                             rnd.sample(range(i), min(i, rnd.randint(0, 3)))],
                                   [("raw", "t")]) for i in range(n)]
        chain = [core.ParsedModel(f"c{i}", [f"c{i - 1}"] if i else [], []) for i in range(n)]
        for label, ms in (("random", models), ("chain", chain)):
            t0 = time.perf_counter()
            dag = core.build_dag(ms)
            t1 = time.perf_counter()
            batches = core.topo_sort(dag)
            t2 = time.perf_counter()
            errors = core.validate_dag(dag, ms, ["raw"])
            t3 = time.perf_counter()
            print(f"graph {label} {n:,}: build {n / (t1 - t0):,.0f}/s, topo {n / (t2 - t1):,.0f}/s, "
                  f"validate {n / (t3 - t2):,.0f}/s ({len(batches)} batches, {len(errors)} "
                  f"findings), peak {peak_mib():,.0f} MiB")
        del models, chain


def bench_pipeline():
    project = random_project(100_000)
    for select in (None, "+m50000+", "tag:t3"):
        t = timed(lambda: core.build_pipeline(project, ["raw"], select), 1)
        print(f"build_pipeline select={select!r}: {len(project) / t:,.0f} models/s "
              f"on {len(project):,}, peak {peak_mib():,.0f} MiB")


SECTIONS = {
    "road": bench_road,
    "parse": bench_parse,
    "macros": bench_macros,
    "compile": bench_compile,
    "graph": bench_graph,
    "pipeline": bench_pipeline,
}
# Slow or memory-hungry: only when named.
OPT_IN = {"big": bench_big}


def main(argv):
    for name in argv or SECTIONS:
        fn = SECTIONS.get(name) or OPT_IN.get(name)
        if fn is None:
            raise SystemExit(f"unknown section {name!r}; known: {', '.join([*SECTIONS, *OPT_IN])}")
        needed = {"compile": "batch_resolve", "graph": "build_dag", "pipeline": "build_pipeline",
                  "macros": "find_macro_calls", "road": "batch_wrap_ddl",
                  "big": "build_pipeline"}.get(name)
        if needed and not hasattr(core, needed):
            print(f"{name}: not built yet")
            continue
        fn()


if __name__ == "__main__":
    main(sys.argv[1:])
