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
README_BLOCKS = [(m["code"], m["out"]) for m in README_BLOCK.finditer((ROOT / "README.md").read_text())]

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


def stub_properties():
    """(class name, attribute, annotation) for every property of the stubs."""
    tree = ast.parse((ROOT / "python" / "tovik" / "_core.pyi").read_text())
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            for fn in cls.body:
                if isinstance(fn, ast.FunctionDef) and any(
                        isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
                    yield cls.name, fn.name, eval(ast.unparse(fn.returns))


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


def record_samples():
    """Instances of every record class, with each optional field once set and
    once absent and every list holding items."""
    full = ("---\ndescription: d\nunique_key: id\ntags: [a]\nmacros: f\n---\n"
            "select {{ v }}, f(1) from ref('m') join source('s', 't')")
    args = ("x", "s", "table_incremental", {"v": "1"}, {"s": core.SourceInfo("", "raw")})
    dag, _, parsed, errors = core.build_pipeline(
        [("x", full), ("y", "---\nmaterialization: view\n---\nselect 1 from ref('x')")],
        ["s"])
    near = [core.ParsedModel("orders", [], []), core.ParsedModel("b", ["order"], [])]
    errors += core.validate_dag(core.build_dag(near), near, [])
    resolved = [core.resolve_model(full, *args), core.resolve_model("select 1", *args)]
    return [
        core.parse_sql(full), core.parse_sql("select 1"), *resolved,
        *core.batch_wrap_ddl(resolved), *parsed, *errors,
        *core.find_macro_calls("f(1, 2)", ["f"]), core.SourceInfo("db", "raw"),
        core.EphemeralModel("e", "select 1", ["d"]),
    ]


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


def test_attributes_read_as_the_stubs_say():
    samples = record_samples()
    for cls, attr, annotation in stub_properties():
        values = [getattr(r, attr) for r in samples if type(r).__name__ == cls]
        assert values, f"no sample of {cls}"
        bad = [v for v in values if not conforms(v, annotation)]
        assert not bad, f"{cls}.{attr} -> {annotation}: {bad}"
    # Each optional field was seen both set and absent.
    for cls, attr, annotation in stub_properties():
        if typing.get_origin(annotation) is types.UnionType:
            kinds = {getattr(r, attr) is None for r in samples if type(r).__name__ == cls}
            assert kinds == {True, False}, f"{cls}.{attr}"


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
