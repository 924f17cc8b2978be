import itertools
import os
import re

import pytest

from tovik._core import EphemeralModel, SourceInfo, parse_sql, resolve_model

U64_MAX = 2**64 - 1

# Texts of hundreds of megabytes take minutes under the sanitizers' allocator;
# the same code paths run there on small inputs.
big_texts = pytest.mark.skipif(bool(os.environ.get("TOVIK_SANITIZED")),
                               reason="hundreds of megabytes under the sanitizers")


def resolve(body, vars=None, sources=None, ephemerals=None, schema="analytics"):
    return resolve_model(body, "daily", schema, "view", vars or {}, sources or {},
                         ephemerals or {})


def sql(body, **kw):
    return resolve(body, **kw).resolved_sql


def error(body, **kw):
    with pytest.raises(ValueError) as e:
        resolve(body, **kw)
    assert type(e.value) is ValueError
    return str(e.value)


def unresolved(name):
    return "Unresolved variable: {{ " + name + " }}"


# A literal model of the sequential rewriting steps, to check texts where a
# replacement could create an occurrence that was not there before.

def seq_refs(text, schema, refs, ephemeral):
    for n in [r for r in refs if r not in ephemeral]:
        text = text.replace(f"ref('{n}')", f"{schema}.{n}").replace(f'ref("{n}")', f"{schema}.{n}")
    for n in [r for r in refs if r in ephemeral]:
        text = text.replace(f"ref('{n}')", n).replace(f'ref("{n}")', n)
    return text


def seq_sources(text, pairs, sources):
    for s, t in pairs:
        db, sc = sources[s]
        rep = f"{db}.{sc}.{t}" if db else f"{sc}.{t}"
        text = text.replace(f"source('{s}', '{t}')", rep).replace(f'source("{s}", "{t}")', rep)
    return text


def seq_vars(text, items, limit):
    """The passes for one map order; a repeated text makes the rest periodic."""
    seen, history = {}, []
    for done in itertools.count():
        if done == limit:
            return text
        if text in seen:
            start = seen[text]
            return history[start + (limit - start) % (done - start)]
        seen[text] = done
        history.append(text)
        before = text
        for k, v in items:
            text = text.replace("{{ " + k + " }}", v).replace("{{" + k + "}}", v)
        if text == before:
            return text


def seq_outcomes(body, vars, limit=10, schema="analytics"):
    """Every outcome of the substitution and leftover check, one per map order."""
    vars = dict(vars)
    vars.setdefault("schema", schema)
    out = set()
    for items in itertools.permutations(vars.items()):
        text = seq_vars(body, items, limit)
        m = re.search(r"\{\{\s*(\w+)\s*\}\}", text)
        out.add(unresolved(m.group(1)) if m else text)
    return out


def outcome(body, vars):
    try:
        return sql(body, vars=vars)
    except ValueError as e:
        return str(e)


def test_defaults_and_target():
    r = resolve("select * from ref('orders')")
    assert r.resolved_sql == "select * from analytics.orders"
    assert (r.name, r.target, r.materialization) == ("daily", "analytics.daily", "view")
    assert (r.refs, r.sources, r.tags, r.macros) == (["orders"], [], [], [])
    assert (r.enabled, r.description, r.unique_key) == (True, None, None)


@pytest.mark.parametrize(
    "vars, expected", [({}, "\nanalytics.orders staging"), ({"schema": "x"}, "\nanalytics.orders x")])
def test_front_matter_schema(vars, expected):
    r = resolve("---\nschema: staging\n---\nref('orders') {{ schema }}", vars=vars)
    assert (r.target, r.resolved_sql) == ("staging.daily", expected)


@pytest.mark.parametrize(
    "header, field, value",
    [
        ("enabled: False", "enabled", True),
        ("enabled: false", "enabled", False),
        ("enabled:", "enabled", True),
        ("tags: [a, , b]", "tags", ["a", "b"]),
        ("tags: ' a, ,b,'", "tags", ["a", "b"]),
        ("tags: ,", "tags", []),
        ("macros: m1, m1", "macros", ["m1", "m1"]),
        ("description:", "description", ""),
        ("unique_key: id", "unique_key", "id"),
        ("schema:", "target", ".daily"),
    ],
)
def test_front_matter_settings(header, field, value):
    assert getattr(resolve(f"---\n{header}\n---\nselect 1"), field) == value


@pytest.mark.parametrize(
    "body, expected",
    [
        ("ref('a') ref(\"a\") ref('a')", "s.a s.a s.a"),
        ("ref( 'a' ) ref('a\")", "ref( 'a' ) ref('a\")"),
        ("xref('a') ref('nope') ref('modèle')", "xs.a s.nope s.modèle"),
    ],
)
def test_ref_forms(body, expected):
    assert sql(body, schema="s") == expected


@pytest.mark.parametrize(
    "db, body, expected",
    [
        ("", "source('raw', 'users')", "public.users"),
        ("db", "source(\"raw\", \"users\")", "db.public.users"),
        ("db", "source('raw','users')", "source('raw','users')"),
    ],
)
def test_source_forms(db, body, expected):
    assert sql(body, sources={"raw": SourceInfo(db, "public")}) == expected


@pytest.mark.parametrize("body", ["source('other', 'x')", "source('other','x') {{ nope }}"])
def test_unknown_source_is_checked_before_variables(body):
    assert error(body, sources={"raw": SourceInfo("", "p")}) == (
        "Unknown source: source('other', 'x') in model 'daily'")


@pytest.mark.parametrize(
    "body, vars, expected",
    [
        ("{{ a }}", {"a": "{{ b }}", "b": "1"}, "1"),
        ("{{x}} {{ x }}", {"x": "v"}, "v v"),
        ("{{ x }}", {"x": "{{ y }}", "y": "{{z}}", "z": "end"}, "end"),
        ("{{ }} {{ a b }} {{ a-b }}", {}, "{{ }} {{ a b }} {{ a-b }}"),
    ],
)
def test_variables(body, vars, expected):
    assert sql(body, vars=vars) == expected


@pytest.mark.parametrize(
    "body, vars, name",
    [
        ("{{  x  }}", {"x": "v"}, "x"),
        ("{{ x}}", {"x": "v"}, "x"),
        ("{{\tx }} {{ b }}", {}, "x"),
        ("{{ a }}", {"a": "{{ a }}"}, "a"),
        ("{{ a }}", {"a": "x{{ a }}"}, "a"),
    ],
)
def test_unresolved_variable(body, vars, name):
    assert error(body, vars=vars) == unresolved(name)


def nested(levels):
    return "{{" * levels + " k-1 " + "}}" * levels


@pytest.mark.parametrize(
    "setting, passes",
    [(None, 10), ("+2", 2), ("0003", 3), ("-1", 10), (" 3", 10), ("3 ", 10), ("abc", 10),
     ("", 10), ("+", 10), ("++2", 10), (str(U64_MAX), 12), (str(U64_MAX + 1), 10)],
)
def test_pass_limit(monkeypatch, setting, passes):
    if setting is None:
        monkeypatch.delenv("TOVIK_MAX_VAR_PASSES", raising=False)
    else:
        monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", setting)
    # Each pass peels one level: the value re-forms a placeholder with the braces
    # around it. The key is no \w name, so nothing is left over to report.
    assert sql(nested(12), vars={"k-1": " k-1 "}) == nested(12 - passes)


def test_pass_limit_zero(monkeypatch):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", "0")
    assert error("{{ schema }}") == unresolved("schema")
    assert sql("select 1") == "select 1"


@pytest.mark.parametrize(
    "vars",
    [
        {"a": "{{ a }}{{ a }}"},
        {"a": "x{{ a }}"},
        {"a": "x{{a}}"},
        {"a": "{{ b }}{{ b }}", "b": "{{ a }}"},
    ],
)
def test_runaway_variables_end_in_error(monkeypatch, vars):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(U64_MAX))
    assert error("select {{ a }}", vars=vars) in {unresolved("a"), unresolved("b")}


@big_texts
def test_runaway_without_certain_error_raises_memory_error(monkeypatch):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(U64_MAX))
    with pytest.raises(MemoryError, match="variable substitution in model 'daily'"):
        resolve("{{ { }}", vars={"{": "{{ { }}{{ { }}"})


@pytest.mark.parametrize(
    "body, schema, sources",
    [
        # Each duplicate rewrites the copies of itself that the previous one inserted.
        ("ref('a') " * 30, "ref('a')ref('a')", {}),
        ("source('s', 't') " * 30, "x", {"s": SourceInfo("", "source('s', 't')" * 2)}),
    ],
)
@big_texts
def test_self_inserting_rewrites_stop_at_the_size_bound(body, schema, sources):
    assert len(resolve(body[: len(body) * 8 // 30], schema=schema, sources=sources)
               .resolved_sql) > 2**8
    with pytest.raises(MemoryError, match="rewriting references would exceed 268435456 bytes"):
        resolve(body, schema=schema, sources=sources)


@pytest.mark.parametrize("limit", [U64_MAX, U64_MAX - 1])
def test_periodic_passes_jump_to_the_last(monkeypatch, limit):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(limit))
    body, vars = "}}{{b-}}{{a-}}{{ c- }}", {"a-": "}{{ a- }}", "b-": "{{b-"}
    assert outcome(body, vars) in seq_outcomes(body, vars, limit)
    if limit % 2:
        assert outcome(body, vars) == "}}{{b-}{{ a- }}{{ c- }}"


@pytest.mark.parametrize(
    "body, schema, ephemeral",
    [
        ("ref('r')ef('a') ref('a')", "s", set()),
        ("ref('r')ef(\"a\") ref('re')f('a') ref('a')", "s", set()),
        ("rref('e')f('a') ref('a')", "s", {"e"}),
        ("ref('xref('b')') ref('xb')", "s", {"b", "xb"}),
        ("ref('ref('b')') ref('b')", "s", {"b"}),
        ("ref('a') ref('a')ref('b')", "q'(", set()),
        ("ref('a')ref('b') 'ref('a')'", "\"s\"", {"a"}),
        ("ref('a') ref('b')", "ref('b')", set()),
    ],
)
def test_ref_rewrite_matches_sequential_steps(body, schema, ephemeral):
    eph = {n: EphemeralModel(n, "select 1", []) for n in ephemeral}
    refs = parse_sql(body).refs
    expected = seq_refs(body, schema, refs, eph)
    ctes = ",\n".join(f"{n} AS (\nselect 1\n)" for n in dict.fromkeys(r for r in refs if r in eph))
    assert sql(body, schema=schema, ephemerals=eph) == (f"WITH {ctes}\n" if ctes else "") + expected


@pytest.mark.parametrize(
    "body, sources",
    [
        ("source('s', 'sour')ce('s', 't') source('s', 't')", {"s": ("", "p")}),
        ("source('s', 'e')source('s', 't') source('s', 't')", {"s": ("sourc", "p")}),
        ("source('s', 't') source('x', 'y')", {"s": ("", "source('x', 'y')"), "x": ("", "q")}),
        ("source(\"s\", \"t\")source('s', 't')", {"s": ("d'", "(p")}),
    ],
)
def test_source_rewrite_matches_sequential_steps(body, sources):
    pairs = parse_sql(body).sources
    infos = {k: SourceInfo(*v) for k, v in sources.items()}
    assert sql(body, sources=infos) == seq_sources(body, pairs, sources)


@pytest.mark.parametrize(
    "body, vars",
    [
        ("{{ {{ a }} }}", {"a": "b", "b": "z"}),
        ("{{{{ a }}}}", {"a": ""}),
        ("{{ a }}}} b }}", {"a": "{{ b", "b": "1"}),
        ("x{{ a }} b }}", {"a": "{{", "b": "2"}),
        ("{{ a }}", {"a": "c", " a ": "d"}),
        ("{{ a }}{{a}}", {"a": "{{a}}", "b": "{{ a }}"}),
        ("{{ a }} {{ b }}", {"a": "{{ b }}", "b": "{{ a }}"}),
        ("{{a}}", {"a": "{{ b}}", "b ": "3", "b": "4"}),
        ("{{ x }}", {"x": "{{ y }}{{ y }}", "y": "{{z}}z", "z": ""}),
        ("{{ a }} {{a}}", {"a": "{", "{": "5"}),
        ("{{ {{ a }} }}", {"a": "{{ a }}"}),
    ],
)
def test_substitution_matches_sequential_passes(body, vars):
    assert outcome(body, vars) in seq_outcomes(body, vars)


@pytest.mark.parametrize(
    "body, ephemerals, expected",
    [
        ("select * from ref('e')", {"e": ("select 1", [])}, "WITH e AS (\nselect 1\n)\nselect * from e"),
        ("  with x as (select 2) select * from x join ref('e')", {"e": ("select 1", [])},
         "WITH e AS (\nselect 1\n),\nx as (select 2) select * from x join e"),
        ("WITH\nx as (select 2) select ref('e')", {"e": ("select 1", [])},
         "WITH e AS (\nselect 1\n)\nWITH\nx as (select 2) select e"),
        ("with recursive r as (select 1) select ref('e')", {"e": ("b", [])},
         "WITH e AS (\nb\n),\nrecursive r as (select 1) select e"),
        ("-- 日本 ref('e')", {"e": ("b", [])}, "WITH e AS (\nb\n)\n-- 日本 e"),
        ("ref('e') ref('e')", {"e": ("b", [])}, "WITH e AS (\nb\n)\ne e"),
        ("select 1", {"e": ("b", [])}, "select 1"),
        ("ref('e')", {"e": ("E", ["f"]), "f": ("F", ["e"])}, "WITH f AS (\nF\n),\ne AS (\nE\n)\ne"),
        ("ref('e')", {"e": ("E", ["g"])}, "WITH e AS (\nE\n)\ne"),
        ("ref('a') ref('b')", {"a": ("A", ["c"]), "b": ("B", ["c", "a"]), "c": ("{{ nope }}", [])},
         "WITH c AS (\n{{ nope }}\n),\na AS (\nA\n),\nb AS (\nB\n)\na b"),
    ],
)
def test_ephemeral_injection(body, ephemerals, expected):
    eph = {k: EphemeralModel("ignored", b, deps) for k, (b, deps) in ephemerals.items()}
    assert sql(body, ephemerals=eph) == expected


def test_long_ephemeral_chain():
    n = 100_000
    eph = {f"e{i}": EphemeralModel("", f"s{i}", [f"e{i + 1}"]) for i in range(n)}
    out = sql("ref('e0')", ephemerals=eph)
    assert out.startswith(f"WITH e{n - 1} AS (\ns{n - 1}\n),\ne{n - 2} AS")
    assert out.endswith("e0 AS (\ns0\n)\ne0")
