"""Benchmarks of tovik._core: prints figures, asserts nothing.

Run with `make bench`; pass names of sections to run only those.
"""

import random
import resource
import sys
import time

import tovik._core as core


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
    big = model_text(1, range(200)) * 2000
    t = timed(lambda: core.parse_sql(big))
    print(f"parse_sql: {len(big) / t / 1e6:.1f} MB/s on {len(big) / 1e6:.1f} MB")
    small = model_text(1, [2, 3])
    print(f"parse_sql: {calls_per_second(lambda: core.parse_sql(small)):,.0f} calls/s "
          f"on {len(small)} bytes")


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
    "parse": bench_parse,
    "macros": bench_macros,
    "compile": bench_compile,
    "graph": bench_graph,
    "pipeline": bench_pipeline,
}


def main(argv):
    for name in argv or SECTIONS:
        fn = SECTIONS[name]
        needed = {"compile": "batch_resolve", "graph": "build_dag", "pipeline": "build_pipeline",
                  "macros": "find_macro_calls"}.get(name)
        if needed and not hasattr(core, needed):
            print(f"{name}: not built yet")
            continue
        fn()


if __name__ == "__main__":
    main(sys.argv[1:])
