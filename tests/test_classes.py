import pytest

import tovik._core as core
from tovik._core import EphemeralModel, ParsedModel, SourceInfo, parse_sql

NO_CONSTRUCTOR = ["ParsedSQL", "ResolvedModel", "CompiledModel", "ValidationError",
                  "MacroCall", "DagHandle"]
ALL = NO_CONSTRUCTOR + ["SourceInfo", "ParsedModel", "EphemeralModel"]


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
@pytest.mark.parametrize("call", [lambda t: t(), lambda t: t(1, x=2), lambda t: t.__new__(t)])
def test_no_constructor(name, call):
    with pytest.raises(TypeError) as info:
        call(getattr(core, name))
    assert str(info.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("name", ALL)
def test_class_properties(name):
    cls = getattr(core, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "name, doc",
    [
        ("SourceInfo", "Source info, passed by Python after config resolution"),
        ("EphemeralModel",
         "Info about an ephemeral model, passed to compile_model for CTE injection"),
        ("ParsedSQL", "Result of parsing a raw SQL file"),
        ("ResolvedModel",
         "Resolved model \u2014 after ref/var/source resolution, before DDL wrapping"),
        ("CompiledModel", "Compiled model, ready to be executed by a Python engine"),
        ("MacroCall", "A macro call found in SQL text"),
    ],
)
def test_docstrings(name, doc):
    # Front ends show these texts; a change to one is a change of the interface.
    assert getattr(core, name).__doc__ == doc


def test_documentation_is_split_from_the_signature():
    # The host derives both from one text; a slip in joining them shows up as a
    # signature on the wrong classes, a "--" left in a docstring, or a mangled
    # multi-byte dash. stubtest compares the signatures themselves with the stubs.
    for name in ALL:
        cls = getattr(core, name)
        assert (cls.__text_signature__ is None) == (name in NO_CONSTRUCTOR), name
        assert cls.__doc__ is None or "--" not in cls.__doc__, name
    assert ParsedModel.__text_signature__ == "(name, refs, sources, tags=..., materialization=None)"
    assert ParsedModel.__doc__ == "Input for building the DAG \u2014 a minimal parsed model"
    assert core.ValidationError.__doc__ is None
    assert "opaque handle" in core.DagHandle.__doc__.lower()


def test_constructors_keep_their_fields():
    m = ParsedModel("a", [], [])
    assert (m.name, m.refs, m.sources, m.tags, m.materialization) == ("a", [], [], [], None)
    m = ParsedModel(name="b", refs=("x", "y"), sources=[("s", "t")], tags=("t1", "t2"),
                    materialization="view")
    assert (m.refs, m.tags, m.materialization) == (["x", "y"], ["t1", "t2"], "view")
    assert m.sources == [("s", "t")] and type(m.sources[0]) is tuple
    e = EphemeralModel(deps=["d"], compiled_body="select 1", name="e")
    assert (e.name, e.compiled_body, e.deps) == ("e", "select 1", ["d"])
    s = SourceInfo("db", schema="public")
    assert (s.database, s.schema) == ("db", "public")


def test_reads_are_fresh_copies():
    refs = ["x"]
    m = ParsedModel("a", refs, [])
    refs.append("y")
    first = m.refs
    first.append("z")
    assert m.refs == ["x"] and m.refs is not first
    p = parse_sql("---\nk: v\n---\n")
    d = p.front_matter
    d["k"] = "changed"
    assert p.front_matter == {"k": "v"}


@pytest.mark.parametrize(
    "obj, attr",
    [
        (ParsedModel("a", [], []), "name"),
        (ParsedModel("a", [], []), "other"),
        (SourceInfo("", "s"), "schema"),
        (EphemeralModel("e", "select 1", []), "deps"),
        (parse_sql(""), "body"),
    ],
)
def test_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, "x")
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert not hasattr(obj, "__dict__")


def test_identity_semantics_and_no_weakref():
    import weakref

    a, b = SourceInfo("", "s"), SourceInfo("", "s")
    assert a != b and a == a
    assert len({a: 1, b: 2}) == 2
    with pytest.raises(TypeError):
        weakref.ref(a)

