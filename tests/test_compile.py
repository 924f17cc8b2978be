import pytest

from tovik._core import EphemeralModel, SourceInfo, batch_resolve, compile_model, resolve_model

ARGS = ("analytics", "view", {"v": "1"}, {"raw": SourceInfo("db", "public")})


def fields(r):
    return (r.name, r.resolved_sql, r.target, r.materialization, r.refs, r.sources, r.macros,
            r.description, r.tags, r.enabled, r.unique_key)


@pytest.mark.parametrize(
    "text, materialization",
    [
        ("---\nmaterialization: table\n---\nselect 1", "table"),
        ("---\nMaterialization: table\n---\nselect 1", "view"),
        ("---\nmaterialization: 'ephemeral'\n---\nselect 1", "ephemeral"),
        ("select 1", "view"),
        ("---\nmaterialization: table\nselect 1", "view"),
        ("---\nmaterialization: ephemeral\nmaterialization: table\n---\nselect 1", "table"),
        ("------\nselect 1", "view"),
    ],
)
def test_front_matter_materialization(text, materialization):
    assert resolve_model(text, "m", *ARGS).materialization == materialization
    c = compile_model(text, "m", *ARGS)
    assert c.materialization == materialization
    assert c.ddl.startswith({"table": "DROP TABLE", "view": "CREATE OR REPLACE VIEW",
                             "ephemeral": ""}[materialization])


@pytest.mark.parametrize("text", ["---\nmaterialization:\n---\nselect 1", "select 1"])
def test_unknown_materialization_fails_only_when_compiling(text):
    mat = "" if text.startswith("---") else "bogus"
    assert resolve_model(text, "m", "s", "bogus", {}, {}).materialization == mat
    with pytest.raises(ValueError, match=rf"^Invalid materialization: '{mat}' in model 'm'$"):
        compile_model(text, "m", "s", "bogus", {}, {})


def test_compile_runs_both_phases():
    text = "---\nschema: st\n---\nselect {{ v }} from ref('a') join source('raw', 't')"
    c = compile_model(text, "m", *ARGS)
    assert c.compiled_sql == "\nselect 1 from analytics.a join db.public.t"
    assert c.ddl == "CREATE OR REPLACE VIEW st.m AS\n" + c.compiled_sql
    assert (c.target, c.refs, c.sources) == ("st.m", ["a"], [("raw", "t")])


@pytest.mark.parametrize(
    "text, message",
    [
        ("select {{ env }}", "Unresolved variable: {{ env }}"),
        ("select source('raw', 'x') from source('nope', 'orders')",
         "Unknown source: source('nope', 'orders') in model 'm'"),
    ],
)
@pytest.mark.parametrize("fn", [compile_model, resolve_model])
def test_resolver_errors(fn, text, message):
    with pytest.raises(ValueError) as e:
        fn(text, "m", *ARGS)
    assert type(e.value) is ValueError and str(e.value) == message


def test_ephemerals_default_to_empty():
    assert fields(resolve_model("ref('e')", "m", *ARGS)) == fields(
        resolve_model("ref('e')", "m", *ARGS, {}))
    eph = {"e": EphemeralModel("e", "select 1", [])}
    assert resolve_model("ref('e')", "m", *ARGS, eph).resolved_sql == "WITH e AS (\nselect 1\n)\ne"


def outcome(call):
    try:
        return call()
    except ValueError as e:
        return str(e)


def schema_model(i, k):
    return (f"s{i}", f"---\nschema: sch{k}\n---\nselect '{{{{ schema }}}}', {{{{ w }}}} "
                     "from ref('a') join source('raw', 't') join source('raw', 't')")


# A batch shares what it derives from the maps between its models: each model
# must still come out as alone, whatever effective schemas came before it (more
# of them than are kept, and one coming back after others).
@pytest.mark.parametrize("passes", [None, "1", "0"])
@pytest.mark.parametrize("variables", [{"v": "1", "w": "{{ v }}-{{v}}"},
                                       {"v": "1", "w": "{{ schema }}", "schema": "own"},
                                       {"w": "x{{ w }}"}])
def test_batch_matches_single_calls(monkeypatch, variables, passes):
    if passes is not None:
        monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", passes)
    args = ("analytics", "view", variables, ARGS[3])
    models = [("a", "---\nmaterialization: table\n---\nselect {{ v }}, {{ schema }}"),
              ("b", "ref('a')"), ("a", "select 2")]
    models += [schema_model(i, i % 11) for i in range(14)] + [schema_model(99, 0), ("c", "{{ w }}")]
    singles = [outcome(lambda: fields(resolve_model(t, n, *args))) for n, t in models]
    errors = [o for o in singles if isinstance(o, str)]
    batch = outcome(lambda: [fields(r) for r in batch_resolve(models, *args)])
    assert batch == (errors[0] if errors else singles)
    if variables["w"] == "{{ v }}-{{v}}" and passes is None:
        assert [s[3] for s in singles[:3]] == ["table", "view", "view"]
    assert batch_resolve([], *args) == []


def test_batch_stops_at_first_error():
    models = [("a", "select 1"), ("b", "select source('nope', 't')"), ("c", "{{ undefined }}")]
    with pytest.raises(ValueError, match=r"^Unknown source: source\('nope', 't'\) in model 'b'$"):
        batch_resolve(models, *ARGS)


@pytest.mark.parametrize("opening", ["{{", "{{ ", "ref('", "source('raw', '", "source(  "])
def test_long_runs_reach_every_entry_point(opening):
    from tovik._core import build_pipeline

    text = opening + "a" * 10_000_000
    assert compile_model(text, "m", *ARGS).compiled_sql == text
    assert [r.resolved_sql for r in batch_resolve([("m", text)], *ARGS)] == [text]
    _, batches, parsed, errors = build_pipeline([("m", text)], ["raw"])
    assert (batches, errors) == ([["m"]], [])
    # The same run closed is a placeholder left over, named in full.
    with pytest.raises(ValueError) as info:
        resolve_model("{{ " + text[-9_000_000:] + " }}", "m", *ARGS)
    assert str(info.value) == "Unresolved variable: {{ " + "a" * 9_000_000 + " }}"
