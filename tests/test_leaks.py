"""Repeated calls, successful and failing, leave the process no larger.

Every string that goes in is long, so that whatever a leak keeps -- an argument
copy, a result, an error message -- weighs kilobytes, and a couple of thousand
calls of a leaking path grow the process well past the threshold.
"""

import gc
import os

import pytest

import tovik._core as core

if os.environ.get("TOVIK_SANITIZED"):
    pytest.skip("memory size means nothing under the sanitizers' allocator",
                allow_module_level=True)

ROUNDS = 2000
WARMUP = 200
THRESHOLD = 10 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")

LONG = "x" * 8192
NAME = "model_" + "n" * 8192
SCHEMA = "schema_" + "s" * 8192
SQL = (
    "---\nmaterialization: table\ntags: [a, b]\ndescription: " + LONG + "\n---\n"
    "select * from ref('" + NAME + "') join source('raw', 'users') "
    "where x = '{{ var_x }}' and f(" + LONG + ", g(1))"
)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def touch(obj):
    """Reads every attribute of a result, down through lists and tuples."""
    if isinstance(obj, (list, tuple)):
        for item in obj:
            touch(item)
    elif type(obj).__module__ == "builtins" and type(obj).__name__ in core.__all__:
        for attr in dir(obj):
            if not attr.startswith("_"):
                touch(getattr(obj, attr))


def resolve_args():
    return dict(
        vars={"var_x": LONG},
        sources={"raw": core.SourceInfo("db_" + LONG, "public")},
        ephemerals={NAME: core.EphemeralModel(NAME, "select " + LONG, [])},
    )


def models():
    # The missing names stay short: suggesting a name costs length times length.
    return [
        core.ParsedModel(NAME, [], [("raw", "t")], ["nightly"]),
        core.ParsedModel(NAME + "b", [NAME, "missing"], [("undeclared", "t")]),
        core.ParsedModel("c", [NAME + "b", "c"], []),
    ]


# Per function: (calls that succeed, calls that fail with the given exception).
def cases_parse_sql():
    return [lambda: core.parse_sql(SQL)], [
        (TypeError, lambda: core.parse_sql(5)),
        (TypeError, lambda: core.parse_sql(SQL, SQL)),
        (TypeError, lambda: core.parse_sql(sql=SQL)),
        (UnicodeEncodeError, lambda: core.parse_sql(LONG + "\ud800")),
    ]


def cases_find_macro_calls():
    known = ["f", "g", LONG]
    return [lambda: core.find_macro_calls(SQL, known)], [
        (ValueError, lambda: core.find_macro_calls(LONG + " f(" + LONG, known)),
        (TypeError, lambda: core.find_macro_calls(SQL, "f")),
        (TypeError, lambda: core.find_macro_calls(SQL, ["f", LONG, 3])),
    ]


def cases_compile(fn):
    def cases():
        call = getattr(core, fn)
        a = resolve_args()
        return [lambda: call(SQL, NAME, SCHEMA, "view", **a)], [
            (ValueError, lambda: call(SQL, NAME, SCHEMA, "view", a["vars"], {})),
            (ValueError, lambda: call(SQL, NAME, SCHEMA, "view", {}, a["sources"])),
            (TypeError, lambda: call(SQL, NAME, SCHEMA, "view", a["vars"], a["sources"], None)),
            (TypeError, lambda: call(SQL, NAME, SCHEMA, "view", {"v": LONG, "w": 1}, {})),
            (TypeError, lambda: call(SQL, NAME, SCHEMA, "view", {}, {"raw": LONG})),
        ]
    return cases


def cases_wrap_ddl():
    a = resolve_args()
    good = core.resolve_model(SQL, NAME, SCHEMA, "view", **a)
    bad = core.resolve_model(SQL.replace("table", "tbl_" + LONG), NAME, SCHEMA, "view", **a)
    return [lambda: core.wrap_ddl(good), lambda: core.wrap_ddl(good, LONG)], [
        (ValueError, lambda: core.wrap_ddl(bad)),
        (ValueError, lambda: core.wrap_ddl(bad, LONG)),
        (TypeError, lambda: core.wrap_ddl(LONG)),
        (TypeError, lambda: core.wrap_ddl(good, 5)),
    ]


def cases_batch_resolve():
    a = resolve_args()
    raw = [(NAME, SQL), (NAME + "2", SQL)]
    return [lambda: core.batch_resolve(raw, SCHEMA, "view", **a)], [
        (ValueError, lambda: core.batch_resolve(raw, SCHEMA, "view", a["vars"], {})),
        (ValueError, lambda: core.batch_resolve([(NAME, SQL, LONG)], SCHEMA, "view", {}, {})),
        (TypeError, lambda: core.batch_resolve([(NAME, SQL), [NAME, SQL]], SCHEMA, "view", {}, {})),
        (TypeError, lambda: core.batch_resolve(LONG, SCHEMA, "view", {}, {})),
    ]


def cases_batch_wrap_ddl():
    a = resolve_args()
    good = core.batch_resolve([(NAME, SQL)] * 3, SCHEMA, "view", **a)
    bad = good + core.batch_resolve([(NAME, "---\nmaterialization: " + LONG + "\n---\n")],
                                    SCHEMA, "view", {}, {})
    compiled = core.batch_wrap_ddl(good)
    return [lambda: core.batch_wrap_ddl(good)], [
        (ValueError, lambda: core.batch_wrap_ddl(bad)),
        (TypeError, lambda: core.batch_wrap_ddl(good + compiled)),
    ]


def cases_build_dag():
    ms = models()
    return [lambda: core.build_dag(ms)], [
        (TypeError, lambda: core.build_dag(ms + [LONG])),
        (TypeError, lambda: core.build_dag(LONG)),
    ]


def cases_on_dag(fn, *extra):
    def cases():
        call = getattr(core, fn)
        ms = models()
        dag = core.build_dag(ms)
        args = [a(ms) if callable(a) else a for a in extra]
        return [lambda: call(dag, *args)], [
            (TypeError, lambda: call(ms, *args)),
            (TypeError, lambda: call(dag, *args, LONG, LONG)),
        ]
    return cases


def cases_select_models():
    dag = core.build_dag(models())
    tags = {NAME: ["nightly", LONG], "zz": ["nightly"]}
    valid = [lambda p=p: core.select_models(dag, p, tags)
             for p in ["+" + NAME + "b+", "tag:nightly", "model_/*", NAME, "+missing_" + LONG]]
    return valid, [
        (TypeError, lambda: core.select_models(dag, NAME, None)),
        (TypeError, lambda: core.select_models(dag, NAME, {NAME: LONG})),
        (TypeError, lambda: core.select_models(LONG, NAME)),
    ]


def cases_build_pipeline():
    raw = [(NAME, SQL), ("b", "select * from ref('" + NAME + "')"), ("c", "select ref('c')")]
    return [lambda: core.build_pipeline(raw, ["raw"], "+b"),
            lambda: core.build_pipeline(raw, [LONG])], [
        (ValueError, lambda: core.build_pipeline(raw + [(NAME, SQL, LONG)], [])),
        (TypeError, lambda: core.build_pipeline(raw, ["raw", 1])),
        (TypeError, lambda: core.build_pipeline(raw, [], 5)),
    ]


def cases_constructors():
    return [
        lambda: core.SourceInfo(LONG, SCHEMA),
        lambda: core.ParsedModel(NAME, [LONG], [(LONG, LONG)], [LONG], LONG),
        lambda: core.EphemeralModel(NAME, LONG, [LONG, LONG]),
    ], [
        (TypeError, lambda: core.SourceInfo(LONG)),
        (TypeError, lambda: core.ParsedModel(NAME, [LONG], [(LONG, 1)])),
        (ValueError, lambda: core.ParsedModel(NAME, [], [(LONG, LONG, LONG)])),
        (TypeError, lambda: core.EphemeralModel(NAME, LONG, LONG)),
    ]


CASES = {
    "parse_sql": cases_parse_sql,
    "compile_model": cases_compile("compile_model"),
    "resolve_model": cases_compile("resolve_model"),
    "wrap_ddl": cases_wrap_ddl,
    "find_macro_calls": cases_find_macro_calls,
    "build_dag": cases_build_dag,
    "validate_dag": cases_on_dag("validate_dag", lambda ms: ms, ["raw", LONG]),
    "topo_sort": cases_on_dag("topo_sort"),
    "dag_edges": cases_on_dag("dag_edges"),
    "build_pipeline": cases_build_pipeline,
    "batch_resolve": cases_batch_resolve,
    "batch_wrap_ddl": cases_batch_wrap_ddl,
    "select_models": cases_select_models,
    "record constructors": cases_constructors,
}


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_keep_memory_steady(name):
    valid, failing = CASES[name]()

    # The failing calls must really fail the way they are meant to, or they
    # would test the successful path twice.
    for exc, call in failing:
        with pytest.raises(exc):
            call()

    def churn(rounds):
        for _ in range(rounds):
            for call in valid:
                touch(call())
            for exc, call in failing:
                try:
                    call()
                except exc:
                    pass

    churn(WARMUP)
    gc.collect()
    before = rss()
    churn(ROUNDS)
    gc.collect()
    grown = rss() - before
    assert grown < THRESHOLD, f"{name}: grew by {grown / 2**20:.1f} MiB over {ROUNDS} rounds"
