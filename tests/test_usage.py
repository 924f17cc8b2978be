"""What a user meets first: the README's code, the example, and type stubs that
accept what the module accepts and refuse what it refuses."""

import ast
import os
import re
import subprocess
import sys
import types
import typing
from pathlib import Path

import pytest

import tovik._core as core

ROOT = Path(__file__).resolve().parent.parent

# A python block, then optionally a paragraph starting "prints" and a text
# block holding exactly what the python block writes to stdout.
README_BLOCK = re.compile(
    r"^```python\n(?P<code>.*?)^```\n(?:\nprints[^\n]*\n\n```text\n(?P<out>.*?)^```$)?",
    re.S | re.M)
README_BLOCKS = [(m["code"], m["out"])
                 for m in README_BLOCK.finditer((ROOT / "README.md").read_text())]

# Every call that follows SETUP must fail at run time with the exception given
# and be rejected by mypy with the error code given.
SETUP = """\
import types
import tovik._core as core
dag = core.build_dag([])
resolved = core.resolve_model("select 1", "m", "s", "view", {}, {})
compiled = core.wrap_ddl(resolved)
"""
REFUSED = [
    ("core.ParsedSQL()", TypeError, "call-arg"),
    ("core.ResolvedModel()", TypeError, "call-arg"),
    ("core.CompiledModel()", TypeError, "call-arg"),
    ("core.ValidationError()", TypeError, "call-arg"),
    ("core.MacroCall()", TypeError, "call-arg"),
    ("core.DagHandle()", TypeError, "call-arg"),
    ("core.MacroCall(name='f', args=[], start=0, end=1)", TypeError, "call-arg, arg-type"),
    ("core.SourceInfo('db')", TypeError, "call-arg"),
    ("core.EphemeralModel('e', 'select 1')", TypeError, "call-arg"),
    ("core.ParsedModel('m', [], [], tags=None)", TypeError, "arg-type"),
    ("core.ParsedModel('m', [], [['s', 't']])", TypeError, "list-item"),
    ("core.ParsedModel('m', [], [('s', 't', 'u')])", ValueError, "list-item"),
    ("core.compile_model('x', 'm', 's', 'view', {}, {}, None)", TypeError, "arg-type"),
    ("core.compile_model('x', 'm', 's', 'view', types.MappingProxyType({}), {})",
     TypeError, "arg-type"),
    ("core.resolve_model('x', 'm', 's', 'view', {}, {'shop': ('raw', 'public')})",
     TypeError, "dict-item"),
    ("core.resolve_model(sql='x', model_name='m', schema='s', materialization='v', vars={},"
     " sources={})", TypeError, "call-arg"),
    ("core.batch_resolve([['m', 'select 1']], 's', 'view', {}, {})", TypeError, "list-item"),
    ("core.batch_wrap_ddl([compiled])", TypeError, "list-item"),
    ("core.wrap_ddl(compiled)", TypeError, "arg-type"),
    ("core.parse_sql(b'select 1')", TypeError, "arg-type"),
    ("core.find_macro_calls('f(1)', {'f'})", TypeError, "arg-type"),
    ("core.select_models(dag, 'x', None)", TypeError, "arg-type"),
    ("core.select_models(dag, 'x', ...)", TypeError, "arg-type"),
    ("core.select_models(dag, 'tag:x', {'m': {'x'}})", TypeError, "type-var"),
    ("core.build_pipeline([('m', 'select 1')], [], select=1)", TypeError, "arg-type"),
    ("core.validate_dag(dag, [], (s for s in ['shop']))", TypeError, "arg-type"),
]

# Ways of calling that the module accepts and a type checker might not.
ACCEPTED = """\
from collections import defaultdict
from typing import NamedTuple
import tovik._core as core

class Pair(NamedTuple):
    source: str
    table: str

class Name(str):
    pass

class Vars(dict[str, str]):
    pass

m = core.ParsedModel(Name("m"), ("a",), [Pair("shop", "orders")], ("t",), None)
dag = core.build_dag((m, core.ParsedModel("a", [], [])))
one_tag = {"m": ("t",)}
by_tag: defaultdict[str, list[str]] = defaultdict(list)
by_tag["a"].append("t")
assert core.select_models(dag, "tag:t", one_tag) == ["m"]
assert core.select_models(dag, "tag:t", by_tag) == ["a"]
assert core.select_models(dag, "tag:t", {"m": m.tags}) == ["m"]
assert core.select_models(dag, "tag:t", {}) == []
assert core.select_models(dag=dag, pattern="m") == ["m"]
sources = {"shop": core.SourceInfo(database="", schema="raw")}
eph = {"e": core.EphemeralModel("e", "select 1", deps=())}
r = core.resolve_model(raw_sql="select * from ref('e')", model_name="m", schema="s",
                       materialization="view", vars=Vars(), sources=sources, ephemerals=eph)
rs = core.batch_resolve(raw_models=(Pair("m", "select 1"),), schema="s",
                        materialization="view", vars={}, sources={}, ephemerals={})
assert core.wrap_ddl(resolved=r, resolved_sql=None).compiled_sql == r.resolved_sql
assert [c.ddl for c in core.batch_wrap_ddl(models=tuple(rs))]
calls: list[core.MacroCall] = core.find_macro_calls(sql="f(1)", known_functions=("f",))
start: int = calls[0].start
fm: dict[str, str] | None = core.parse_sql("---\\na: b\\n---\\n").front_matter
_, batches, parsed, errors = core.build_pipeline([("m", "select 1")], ("shop",), None)
suggestions: list[str | None] = [e.suggestion for e in errors]
"""


def stub_results():
    """(owner, name, annotation) for every property and function of the stubs;
    the owner of a function is None."""
    tree = ast.parse((ROOT / "python" / "tovik" / "_core.pyi").read_text())
    names = vars(core)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield None, node.name, eval(ast.unparse(node.returns), names)
        if isinstance(node, ast.ClassDef):
            for fn in node.body:
                if isinstance(fn, ast.FunctionDef) and any(
                        isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
                    yield node.name, fn.name, eval(ast.unparse(fn.returns), names)


def conforms(value, annotation):
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is types.UnionType:
        return any(conforms(value, a) for a in args)
    if annotation is None:
        return value is None
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        return (type(value) is tuple and len(value) == len(args)
                and all(map(conforms, value, args)))
    if origin is dict:
        return type(value) is dict and all(
            conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
    return type(value) is annotation


def samples():
    """The result of every function, by name, and instances of every record
    class, with each optional field once set and once absent and every list
    holding items."""
    full = ("---\ndescription: d\nunique_key: id\ntags: [a]\nmacros: f\n---\n"
            "select {{ v }}, f(1) from ref('m') join source('s', 't')")
    args = ("x", "s", "table_incremental", {"v": "1"}, {"s": core.SourceInfo("", "raw")})
    raw = [("x", full), ("y", "---\nmaterialization: view\n---\nselect 1 from ref('x')")]
    near = [core.ParsedModel("orders", [], []), core.ParsedModel("b", ["order"], [])]
    pipeline = core.build_pipeline(raw, ["s"], "x+")
    dag = pipeline[0]
    resolved = [core.resolve_model(full, *args), core.resolve_model("select 1", *args)]
    results = {
        "parse_sql": [core.parse_sql(full), core.parse_sql("select 1")],
        "compile_model": [core.compile_model(full, *args)],
        "resolve_model": resolved,
        "wrap_ddl": [core.wrap_ddl(r) for r in resolved],
        "find_macro_calls": [core.find_macro_calls("f(1, 2)", ["f"])],
        "build_dag": [dag],
        "validate_dag": [core.validate_dag(core.build_dag(near), near, [])],
        "topo_sort": [core.topo_sort(dag)],
        "dag_edges": [core.dag_edges(dag)],
        "build_pipeline": [pipeline],
        "batch_resolve": [core.batch_resolve(raw, *args[1:])],
        "batch_wrap_ddl": [core.batch_wrap_ddl(resolved)],
        "select_models": [core.select_models(dag, "+y")],
    }
    records = [core.SourceInfo("db", "raw"), core.EphemeralModel("e", "select 1", ["d"])]
    for values in results.values():
        for value in values:
            for item in value if isinstance(value, (list, tuple)) else [value]:
                records += item if isinstance(item, list) else [item]
    return results, records


def run(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True)


@pytest.fixture(scope="session")
def mypy(tmp_path_factory):
    """Runs a mypy module outside the checkout, so that module and stubs come
    from the installed package, with one cache for the session."""
    if os.environ.get("TOVIK_SKIP_TYPING") == "1":
        pytest.skip("TOVIK_SKIP_TYPING=1")
    cwd = tmp_path_factory.mktemp("mypy")

    def check(module, *args):
        result = run(["-m", module, *args], cwd)
        assert result.returncode == 0, result.stdout + result.stderr

    return check, cwd


@pytest.mark.parametrize("code, out", README_BLOCKS,
                         ids=[f"block{i}" for i in range(len(README_BLOCKS))])
def test_readme_block_runs_and_prints_what_the_readme_shows(tmp_path, code, out):
    result = run(["-c", code], tmp_path)
    assert result.returncode == 0, result.stderr
    if out is not None:
        assert result.stdout == out


@pytest.mark.parametrize("code, exc, mypy_code", REFUSED, ids=[c for c, _, _ in REFUSED])
def test_refused_at_run_time(code, exc, mypy_code):
    namespace = {}
    exec(SETUP, namespace)
    with pytest.raises(exc):
        exec(code, namespace)


@pytest.mark.parametrize("args", [["-c", ACCEPTED], [str(ROOT / "examples" / "run.py")]],
                         ids=["accepted", "example"])
def test_runs(tmp_path, args):
    result = run(args, tmp_path)
    assert result.returncode == 0, result.stderr


def test_results_are_what_the_stubs_say():
    results, records = samples()
    optional = {}
    for owner, name, annotation in stub_results():
        if owner is None:
            values = results[name]
        else:
            values = [getattr(r, name) for r in records if type(r).__name__ == owner]
        assert values, f"no sample of {owner}.{name}"
        bad = [v for v in values if not conforms(v, annotation)]
        assert not bad, f"{owner}.{name} -> {annotation}: {bad}"
        if owner and typing.get_origin(annotation) is types.UnionType:
            optional[owner, name] = {v is None for v in values}
    # Each optional attribute was seen both set and absent.
    assert all(kinds == {True, False} for kinds in optional.values()), optional


def test_stubs_match_the_built_module(mypy):
    check, _ = mypy
    check("mypy.stubtest", "tovik._core")


# --strict warns about an unused ignore, so a refused call that the stubs let
# through fails here as surely as an accepted one that they reject.
def test_stubs_accept_and_refuse_as_the_module_does(mypy):
    check, cwd = mypy
    assert len([out for _, out in README_BLOCKS if out is not None]) >= 2
    files = [ROOT / "examples" / "run.py"]
    for i, (code, _) in enumerate(README_BLOCKS):
        files.append(cwd / f"readme_{i}.py")
        files[-1].write_text(code)
    files.append(cwd / "accepted.py")
    files[-1].write_text(ACCEPTED)
    files.append(cwd / "refused.py")
    files[-1].write_text(SETUP + "".join(f"{code}  # type: ignore[{mypy_code}]\n"
                                         for code, _, mypy_code in REFUSED))
    check("mypy", "--strict", *map(str, files))
