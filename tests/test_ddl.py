import pytest

from tovik._core import SourceInfo, batch_wrap_ddl, resolve_model, wrap_ddl

T = "analytics.orders"


def resolved(materialization, header="", body="select 1", name="orders"):
    text = f"---\n{header}\n---{body}" if header else body
    return resolve_model(text, name, "analytics", materialization, {}, {})


@pytest.mark.parametrize(
    "materialization, header, ddl",
    [
        ("view", "", f"CREATE OR REPLACE VIEW {T} AS\nselect 1"),
        ("table", "", f"DROP TABLE IF EXISTS {T};\nCREATE TABLE {T} AS\nselect 1"),
        ("table", "unique_key: id", f"DROP TABLE IF EXISTS {T};\nCREATE TABLE {T} AS\nselect 1"),
        ("ephemeral", "", ""),
        ("materialized_view", "", f"CREATE MATERIALIZED VIEW IF NOT EXISTS {T} AS\nselect 1"),
        ("table_incremental", "", f"INSERT INTO {T}\nselect 1"),
        ("table_incremental", "unique_key: id",
         f"DELETE FROM {T} WHERE id IN (SELECT id FROM (select 1));\nINSERT INTO {T}\nselect 1"),
        ("table_incremental", "unique_key:",
         f"DELETE FROM {T} WHERE  IN (SELECT  FROM (select 1));\nINSERT INTO {T}\nselect 1"),
    ],
)
def test_templates(materialization, header, ddl):
    c = wrap_ddl(resolved(materialization, header))
    assert (c.ddl, c.compiled_sql) == (ddl, "select 1")


@pytest.mark.parametrize("materialization", ["View", "TABLE", " view", "view ", "", "tbl"])
def test_unknown_materialization(materialization):
    with pytest.raises(ValueError) as e:
        wrap_ddl(resolved(materialization))
    assert type(e.value) is ValueError
    assert str(e.value) == f"Invalid materialization: '{materialization}' in model 'orders'"


def test_fields_are_carried_over():
    r = resolve_model("---\ndescription: d\ntags: a, b\nenabled: false\nunique_key: k\n---"
                      "select ref('x') from source('s', 't')", "orders", "analytics", "view", {},
                      {"s": SourceInfo("", "p")})
    c = wrap_ddl(r)
    assert (c.name, c.target, c.materialization) == ("orders", T, "view")
    assert (c.refs, c.sources, c.description, c.tags, c.enabled) == (
        ["x"], [("s", "t")], "d", ["a", "b"], False)


@pytest.mark.parametrize("override", ["select 2", ""])
def test_sql_override_leaves_the_resolved_model_alone(override):
    r = resolved("table_incremental", "unique_key: id")
    c = wrap_ddl(r, override)
    assert c.compiled_sql == override
    assert c.ddl == (f"DELETE FROM {T} WHERE id IN (SELECT id FROM ({override}));\n"
                     f"INSERT INTO {T}\n{override}")
    assert r.resolved_sql == "select 1"
    assert wrap_ddl(r, None).ddl == wrap_ddl(r).ddl == wrap_ddl(r, resolved_sql=None).ddl


def test_batch_keeps_order_and_stops_at_first_error():
    models = (resolved("view", name="a"), resolved("ephemeral", name="b"))
    assert [(c.name, c.ddl) for c in batch_wrap_ddl(models)] == [
        ("a", "CREATE OR REPLACE VIEW analytics.a AS\nselect 1"), ("b", "")]
    assert batch_wrap_ddl([]) == []
    models = [resolved("view", name="a"), resolved("tbl", name="b"), resolved("", name="c")]
    with pytest.raises(ValueError, match=r"^Invalid materialization: 'tbl' in model 'b'$"):
        batch_wrap_ddl(models)
