import itertools
import os
import re
import subprocess
import sys

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
        # A repeated key: the later line wins.
        ("enabled: false\nenabled: true", "enabled", True),
        ("schema: a\nk: v\nschema: b", "target", "b.daily"),
        ("unique_key: a\nunique_key: b", "unique_key", "b"),
        ("tags: a\ntags: [b, c]", "tags", ["b", "c"]),
        ("description: x\ndescription:", "description", ""),
        # Long headers: keys before, among and after the first few lines.
        ("schema: a\n" + "k: v\n" * 9 + "schema: b", "target", "b.daily"),
        ("unique_key: k\n" + "k: v\n" * 9 + "tags: [x, y]", "unique_key", "k"),
        ("unique_key: k\n" + "k: v\n" * 9 + "tags: [x, y]", "tags", ["x", "y"]),
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


class Distinct(str):
    """Equal text, yet a key of its own in a dict."""
    __hash__ = object.__hash__
    __eq__ = object.__eq__


def test_declared_sources_among_many_and_given_twice():
    # Enough names to outgrow any first table; the last name appears as two
    # keys of equal text, and the later one is the one declared.
    sources = {f"s{k}": SourceInfo(f"d{k}", "p") for k in range(300)}
    sources[Distinct("twice")] = SourceInfo("first", "p")
    sources[Distinct("twice")] = SourceInfo("later", "p")
    body = "source('s0', 't') source('s299', 't') source('twice', 't')"
    assert sql(body, sources=sources) == "d0.p.t d299.p.t later.p.t"
    assert error("source('s300', 't')", sources=sources).startswith("Unknown source")


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


# The size bound follows the memory the process may use; a child process with a
# 1 GiB address space gets a bound of 128 MiB, the same on every path.
SMALL_BOUND = (1 << 30) // 8

SMALL_PROCESS = """
import os, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
from tovik._core import SourceInfo, resolve_model
passes, body, schema, vars, sources = eval(sys.argv[1])
os.environ["TOVIK_MAX_VAR_PASSES"] = str(passes)
try:
    print(len(resolve_model(body, "m", schema, "view", vars, sources).resolved_sql))
except MemoryError as e:
    print("MemoryError:", e)
"""


def in_small_process(args):
    """Resolves (passes, body, schema, vars, sources), given as Python source."""
    out = subprocess.run([sys.executable, "-P", "-c", SMALL_PROCESS, args],
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


@pytest.mark.parametrize(
    "args, message",
    [
        # One-scan ref rewrite with a long schema.
        ("10, \"ref('m') \" * 70_000, 'x' * 2000, {}, {}", "rewriting references"),
        # Each duplicate rewrites the copies of itself that the previous one inserted.
        ("10, \"ref('a') \" * 30, \"ref('a')ref('a')\", {}, {}", "rewriting references"),
        ("10, \"source('s', 't') \" * 30, 's', {}, "
         "{'s': SourceInfo('', \"source('s', 't')\" * 2)}", "rewriting references"),
        # Doubling with no provable outcome (the key is no \\w name).
        (f"{U64_MAX}, '{{{{ a- }}}}', 's', {{'a-': '{{{{ a- }}}}' * 2}}, {{}}",
         "variable substitution in model 'm'"),
        (f"10, '{{{{ a }}}}', 's', {{'a': 'x' * {SMALL_BOUND + 1}}}, {{}}",
         "variable substitution in model 'm'"),
    ],
)
@big_texts
def test_past_the_size_bound_is_memory_error(args, message):
    assert in_small_process(args) == f"MemoryError: {message} would exceed {SMALL_BOUND} bytes"


@big_texts
def test_up_to_the_size_bound_is_produced():
    assert in_small_process(f"10, '{{{{ a }}}}', 's', {{'a': 'x' * {SMALL_BOUND}}}, {{}}") == (
        str(SMALL_BOUND))


@pytest.mark.parametrize(
    "body, schema, sources, expected",
    [
        # Beyond the former fixed bound of 256 MiB.
        ("{{ a }}", "s", {}, None),
        # Duplicates with a schema that keeps the rewrite off the one-scan path.
        ("ref('m') " * 140_000, "x(" * 1024, {}, ("x(" * 1024 + ".m ") * 140_000),
        ("source('r', 't') " * 140_000, "s", {"r": SourceInfo("(", "x" * 2048)},
         ("(." + "x" * 2048 + ".t ") * 140_000),
    ],
)
@big_texts
def test_results_the_machine_can_hold_are_produced(body, schema, sources, expected):
    value = "x" * (300 << 20)
    out = resolve_model(body, "m", schema, "view", {"a": value}, sources).resolved_sql
    assert out == (value if expected is None else expected)


def chain(n):
    vars = {f"p{i}": f"{{{{ p{i + 1} }}}}" for i in range(n - 1)}
    vars[f"p{n - 1}"] = "ok"
    return vars


@pytest.mark.parametrize(
    "passes, body, vars, name",
    [
        # The chain ends long before the doubling could be built out.
        (60, "{{ p0 }} {{ a }}", {**chain(40), "a": "{{ a }}{{ a }}"}, "a"),
        (U64_MAX, "{{ p0 }} {{ a }}", {**chain(40), "a": "{{ a }}{{ a }}"}, "a"),
        # Never substituted, leftmost, and nothing before it changes.
        (10, "{{ zz }} {{a b}}", {"a b": "{{a b}}" * 8}, "zz"),
        (U64_MAX, "x {{ zz }} {{ a }}", {"a": "{{ a }}{{ a }}"}, "zz"),
    ],
)
def test_runaway_outcome_is_that_of_the_passes(monkeypatch, passes, body, vars, name):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(passes))
    assert error(body, vars=vars) == unresolved(name)


@big_texts
def test_placeholders_recreated_for_a_thousand_passes(monkeypatch):
    # A placeholder re-formed by its own value peels one level a pass, beside a
    # value that grows by 10 kB a pass; the peeling ends before the passes do.
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", "1100")
    body = "{{" * 999 + "{{ z }}" + "}}" * 999 + " {{ a }}"
    assert error(body, vars={"z": " z ", "a": "x" * 10_000 + "{{ a }}"}) == unresolved("a")


@big_texts
def test_long_linear_growth_is_not_refused(monkeypatch):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", "150000")
    assert sql("{{ a-b }}", vars={"a-b": "x{{ a-b }}"}) == "x" * 150_000 + "{{ a-b }}"


@pytest.mark.parametrize("limit", [U64_MAX, U64_MAX - 1])
def test_periodic_passes_jump_to_the_last(monkeypatch, limit):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(limit))
    body, vars = "}}{{b-}}{{a-}}{{ c- }}", {"a-": "}{{ a- }}", "b-": "{{b-"}
    assert outcome(body, vars) in seq_outcomes(body, vars, limit)
    if limit % 2:
        assert outcome(body, vars) == "}}{{b-}{{ a- }}{{ c- }}"


SOURCES = {"s": ("", "p"), "e": ("d", "q"), "d": ("{{ b }}", "{")}


def steps(body, schema="an", sources=SOURCES, ephemeral=(), vars=None):
    return pytest.param(body, schema, sources, set(ephemeral), vars or {})


# Rewrites and passes done in one scan or one splice must give what the steps
# give one after another, also where a replacement could create an occurrence
# that was not there before, or meet braces.
@pytest.mark.parametrize(
    "body, schema, sources, ephemeral, vars",
    [
        # Refs.
        steps("ref('r')ef('a') ref('a')", "s"),
        steps("ref('r')ef(\"a\") ref('re')f('a') ref('a')", "s"),
        steps("rref('e')f('a') ref('a')", "s", ephemeral={"e"}),
        steps("ref('xref('b')') ref('xb')", "s", ephemeral={"b", "xb"}),
        steps("ref('ref('b')') ref('b')", "s", ephemeral={"b"}),
        steps("ref('a') ref('a')ref('b')", "q'("),
        steps("ref('a')ref('b') 'ref('a')'", "\"s\"", ephemeral={"a"}),
        steps("ref('a') ref('b')", "ref('b')"),
        # Sources.
        steps("source('s', 'sour')ce('s', 't') source('s', 't')"),
        steps("source('s', 'e')source('s', 't') source('s', 't')", sources={"s": ("sourc", "p")}),
        steps("source('s', 't') source('x', 'y')",
              sources={"s": ("", "source('x', 'y')"), "x": ("", "q")}),
        steps("source(\"s\", \"t\")source('s', 't')", sources={"s": ("d'", "(p")}),
        # Refs, then sources.
        steps("ref('sou')rce('s', 't') source('s', 't')", ephemeral={"sou"}),
        steps("sref('our')ce('e', 't') source('e', 't')", ephemeral={"our"}),
        steps("source('ref('e')', 't') source('e', 't')", ephemeral={"e"}),
        steps("source(\"ref('e')\", \"t\")source(\"e\", \"t\")ref('e')", ephemeral={"e"}),
        steps("ref('e')source('s', 't')ref(\"e\")source(\"s\", \"t\")ref('x')", ephemeral={"e"}),
        steps("ref('s')source('s','t') source( 's', 't') ref( 's' )"),
        steps("source('s' ,'t') source('s',\t't')"),
        # Placeholders.
        steps("{{ {{ a }} }}", vars={"a": "b", "b": "z"}),
        steps("{{{{ a }}}}", vars={"a": ""}),
        steps("{{ a }}}} b }}", vars={"a": "{{ b", "b": "1"}),
        steps("x{{ a }} b }}", vars={"a": "{{", "b": "2"}),
        steps("{{ a }}", vars={" a ": "x", "a": "{{ a }}"}),
        steps("{{ a }}{{a}}", vars={"a": "{{a}}", "b": "{{ a }}"}),
        steps("{{ a }} {{ b }}", vars={"a": "{{ b }}", "b": "{{ a }}"}),
        steps("{{a}}", vars={"a": "{{ b}}", "b ": "3", "b": "4"}),
        steps("{{ x }}", vars={"x": "{{ y }}{{ y }}", "y": "{{z}}z", "z": ""}),
        steps("{{ a }} {{a}}", vars={"a": "{", "{": "5"}),
        steps("{{ {{ a }} }}", vars={"a": "{{ a }}"}),
        steps("{{ a- }}", vars={"a-": "b{{a-}}"}),
        steps("{{ a- }}", vars={"a-": "{{ b- }}", "b-": "{{ a- }}x"}),
        # All three, where a rewritten name meets braces.
        steps("ref('m') {{ a }} source('s', 't') {{b}}", vars={"a": "1", "b": "x y"}),
        steps("{{ ref('m') }}", vars={"an.m": "X"}),
        steps("{{ source('s', 't') }} {{ a }}", vars={"p.t": "Y", "a": "1"}),
        steps("{{{ a }}} {{ a }}", vars={"a": "1"}),
        steps("{ {{a}}{{ a }} }", vars={"a": "{"}),
        steps("{{ a }}{{ b }}", vars={"a": "{", "b": "x"}),
        steps("{{{ a- }}", vars={"a-": "{x}}", "x": "1"}),
        steps("{{ a- }}}", vars={"a-": "{{x}", "x": "1"}),
        steps("ref('m'){{ a }}", "s{", vars={"a": "}"}),
        steps("ref('m') {{ a }}", "{{ b }}", vars={"a": "1", "b": "2"}),
        steps("source('d', 't') {{ a }}", vars={"a": "1", "b": "3"}),
        steps("{{ a }} {{ nope }}", vars={"a": "1"}),
        steps("{{ a }} {{ schema }}", vars={"a": "{{ schema }}"}),
        # Keys with braces: forms that overlap, nest, or appear and vanish within a pass.
        steps("{{{{ a }}}}", vars={"{ a }": "1", "a": "{", "{": "2"}),
        steps("{{ {a }} {{ b }}", vars={"{a": "{{ b }}", "b": "x{{{a}}"}),
        steps("{{ }a }}{{ a }}", vars={"}a": "{{ a }}", "a": "{{ }a }}", "a}": "y"}),
        steps("{{{a}}}}", vars={"{a": "{{ a}", "a}": "{{{a}}", " a": "z"}),
    ],
)
def test_rewrites_and_passes_match_sequential_steps(body, schema, sources, ephemeral, vars):
    eph = {n: EphemeralModel(n, "select 1", []) for n in ephemeral}
    parsed = parse_sql(body)
    text = seq_sources(seq_refs(body, schema, parsed.refs, eph), parsed.sources, sources)
    ctes = ",\n".join(f"{n} AS (\nselect 1\n)" for n in dict.fromkeys(r for r in parsed.refs if r in eph))
    head = f"WITH {ctes}\n" if ctes else ""
    expected = {o if o.startswith("Unresolved") else head + o
                for o in seq_outcomes(text, vars, schema=schema)}
    infos = {k: SourceInfo(*v) for k, v in sources.items()}
    try:
        got = sql(body, vars=vars, schema=schema, sources=infos, ephemerals=eph)
    except ValueError as e:
        got = str(e)
    assert got in expected


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


# Shapes whose cost once grew with the hits or the keys times the text.
@pytest.mark.parametrize(
    "body, schema, database",
    [
        ("source('a', 'b') " * 60_000, "s", "d" * 1_500_000),
        ("".join(f"source('a', 't{i}') " for i in range(60_000)), "s", "d" * 1_500_000),
        ("".join(f"ref('t{i}') " for i in range(60_000)), "s" * 1_500_000, "d"),
    ],
)
def test_rewrites_past_the_size_bound_refuse_at_once(body, schema, database):
    with pytest.raises(MemoryError, match="^rewriting references would exceed"):
        resolve_model(body, "m", schema, "view", {}, {"a": SourceInfo(database, "s")})


def test_many_keys_with_braces_over_a_long_text():
    vars = {"{k%d" % i: "v" for i in range(1500)}
    vars["g"] = "{{ g }}x"
    assert error("{" * 700_000 + "{{ g }}", vars=vars) == unresolved("g")


def test_work_bound_ends_a_brace_dense_runaway(monkeypatch):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(2**62))
    with pytest.raises(MemoryError, match="would process more than") as e:
        resolve("{{ k-j }}", vars={"k-j": "{{{{ k-j }}"})
    assert int(re.search(r"than (\d+) bytes", str(e.value)).group(1)) < 2**38


# A proof made while the passes still run must not settle for a name that a
# later text need not hold.
@pytest.mark.parametrize(
    "passes, body, vars, expected",
    [
        # "}} " closes "{{ c" only after forty passes, while {{ a }} keeps doubling.
        (U64_MAX, "{{ c {{ p-1 }}{{ a }}",
         {**{f"p-{i}": "{{ p-%d }}" % (i + 1) for i in range(1, 40)},
          "p-40": "}} ", "a": "{{ a }}{{ a }}"},
         unresolved("c")),
        # {{ q }} comes out of the chain after forty passes, left of the doubling.
        (U64_MAX, "{{ p-1 }}{{ a }}",
         {**{f"p-{i}": "{{ p-%d }}" % (i + 1) for i in range(1, 40)},
          "p-40": "{{ q }}", "a": "{{ a }}{{ a }}"},
         unresolved("q")),
        # {{ b }} turns back into {{ c- }} within each pass, while a- keeps growing.
        (1000, "{{ c- }}{{ a- }}" + " " * (1 << 20),
         {"c-": "{{ b }}", "b": "{{ c- }}", "a-": "x{{ a- }}"},
         "{{ c- }}" + "x" * 1000 + "{{ a- }}" + " " * (1 << 20)),
    ],
)
def test_proof_of_the_leftover_made_midway(monkeypatch, passes, body, vars, expected):
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", str(passes))
    assert outcome(body, vars) == expected
