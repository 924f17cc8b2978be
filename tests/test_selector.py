import pytest

from tovik._core import ParsedModel, build_dag, select_models


def dag_of(*specs):
    """Each spec is a name, or (name, [refs])."""
    return build_dag(
        [ParsedModel(*((s, []) if isinstance(s, str) else s), []) for s in specs]
    )


def selected(dag, pattern, **kwargs):
    result = select_models(dag, pattern, **kwargs)
    assert len(result) == len(set(result)), result
    return sorted(result)


# a <- b <- c, plus names for the prefix and tag forms.
CHAIN = dag_of(
    "a", ("b", ["a"]), ("c", ["b"]),
    "staging", "staging_orders", "staging/orders", "stage", "tag:x_model", "TAG:x",
)


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("b", ["b"]), ("b+", ["b", "c"]), ("+b", ["a", "b"]), ("+b+", ["a", "b", "c"]),
        ("a+", ["a", "b", "c"]), ("+c", ["a", "b", "c"]),
        # Runs of "+" count as one.
        ("a++", ["a", "b", "c"]), ("++c", ["a", "b", "c"]), ("++b++", ["a", "b", "c"]),
        # Unknown names: nothing alone, just the name with a "+".
        ("x", []), ("x+", ["x"]), ("+x", ["x"]), ("+x+", ["x"]),
        # A "+" only inside is part of an exact name; "+" alone is the empty name.
        ("a+b", []), ("+a+b+", ["a+b"]), ("+", [""]), ("", []),
        # One byte is always an exact name.
        ("*", []), ("a", ["a"]),
        # Names are matched byte for byte, without trimming or case folding.
        (" a", []), ("A", []), ("B+", ["B"]),
    ],
)
def test_name_forms(pattern, expected):
    assert selected(CHAIN, pattern) == expected


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("staging/*", ["staging", "staging/orders", "staging_orders"]),
        ("staging/*/*", ["staging", "staging/orders", "staging_orders"]),
        ("staging//*", ["staging/orders"]),
        ("/*", sorted(["a", "b", "c", "staging", "staging_orders", "staging/orders", "stage",
                       "tag:x_model", "TAG:x"])),
        ("nothing/*", []),
        # The prefix test comes before the tag test.
        ("tag:x/*", ["tag:x_model"]),
        ("TAG:x", ["TAG:x"]),
        ("Tag:x", []),
    ],
)
def test_prefix_form(pattern, expected):
    assert selected(CHAIN, pattern) == expected


def test_prefix_form_lists_shared_names_once():
    assert select_models(dag_of("s_a", "s_a", "s_b"), "s_/*") in (["s_a", "s_b"], ["s_b", "s_a"])


TAGS = {
    "a": ["daily", "finance"],
    "b": ["Daily", ""],
    "c": ["daily "],
    "ghost": ["daily"],  # not a model of the graph
}


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("tag:daily", ["a"]), ("tag:Daily", ["b"]), ("tag:daily ", ["c"]), ("tag:", ["b"]),
        ("tag:none", []), ("tag:x+", ["tag:x"]), ("+tag:x", ["tag:x"]), ("tag", []),
    ],
)
def test_tag_form(pattern, expected):
    assert selected(CHAIN, pattern, tags_map=TAGS) == expected


def test_tag_form_without_tags():
    assert select_models(CHAIN, "tag:daily") == []
    assert select_models(dag_of(), "tag:daily", tags_map={"a": ["daily"]}) == []


def test_empty_graph():
    for pattern in ("a", "", "a/*", "/*", "tag:x"):
        assert select_models(dag_of(), pattern) == []
    assert select_models(dag_of(), "a+") == ["a"]


def test_empty_name_model():
    dag = dag_of("", ("a", [""]))
    assert selected(dag, "") == [""]
    assert selected(dag, "+") == ["", "a"]


@pytest.mark.parametrize(
    "pattern, expected",
    [("a+", ["a", "b", "c"]), ("+a", ["a", "b"]), ("+b+", ["a", "b", "c"]), ("c+", ["c"]),
     ("+c", ["a", "b", "c"])],
)
def test_cycles_end_the_walk(pattern, expected):
    dag = dag_of(("a", ["b"]), ("b", ["a"]), ("c", ["c", "a"]))
    assert selected(dag, pattern) == expected


def test_shared_name_starts_from_the_last_model():
    # The second "a" is the indexed one: it needs "up" and feeds "y"; the first
    # has no edges at all.
    dag = build_dag(
        [
            ParsedModel("a", [], []),
            ParsedModel("up", [], []),
            ParsedModel("a", ["up"], []),
            ParsedModel("y", ["a"], []),
        ]
    )
    assert selected(dag, "a+") == ["a", "y"]
    assert selected(dag, "+a") == ["a", "up"]
    assert selected(dag, "+y") == ["a", "up", "y"]


def test_long_chain_downstream():
    n = 200_000
    dag = build_dag(
        [ParsedModel(f"m{i}", [f"m{i - 1}"] if i else [], []) for i in range(n)]
    )
    assert len(select_models(dag, "m0+")) == n
    assert len(select_models(dag, f"+m{n - 1}")) == n
    assert select_models(dag, f"m{n - 1}+") == [f"m{n - 1}"]
