import pytest

from tovik._core import DagHandle, ParsedModel, build_dag, dag_edges, topo_sort


def models(*specs):
    """Each spec is a name, or (name, [refs])."""
    out = []
    for spec in specs:
        name, refs = (spec, []) if isinstance(spec, str) else spec
        out.append(ParsedModel(name, refs, []))
    return out


def graph(*specs):
    return build_dag(models(*specs))


@pytest.mark.parametrize(
    "specs, edges",
    [
        ((), []),
        (("a", ("b", ["a"]), ("c", ["a", "b"])), [("a", "b"), ("a", "c"), ("b", "c")]),
        # A ref to a later model counts like any other.
        ((("b", ["a"]), "a"), [("a", "b")]),
        ((("b", ["nowhere"]), "a"), []),
        (("a", ("b", ["a", "a"])), [("a", "b"), ("a", "b")]),
        ((("a", ["a"]),), [("a", "a")]),
        # Edges of a shared name end at the node of the last model bearing it.
        (("a", ("a", ["b"]), "b"), [("b", "a")]),
        ((("a", ["b"]), "a", "b"), [("b", "a")]),
        # Edge order is model by model, then ref by ref.
        ((("c", ["b", "a"]), ("b", ["a"]), "a"), [("b", "c"), ("a", "c"), ("a", "b")]),
    ],
)
def test_edges_in_creation_order(specs, edges):
    assert dag_edges(graph(*specs)) == edges


def test_only_names_and_refs_shape_the_graph():
    plain = build_dag([ParsedModel("a", [], []), ParsedModel("b", ["a"], [])])
    decorated = build_dag(
        [
            ParsedModel("a", [], [("raw", "t")], tags=["x"], materialization="table"),
            ParsedModel("b", ["a"], [("raw", "u")], tags=["y", "z"]),
        ]
    )
    assert isinstance(decorated, DagHandle)
    assert dag_edges(plain) == dag_edges(decorated)
    assert topo_sort(plain) == topo_sort(decorated)


@pytest.mark.parametrize(
    "specs, batches",
    [
        ((), []),
        # Neighbours are walked newest edge first, so c is released before b.
        (("a", ("b", ["a"]), ("c", ["a"])), [["a"], ["c", "b"]]),
        (("a", ("b", ["a"]), ("c", ["b"]), ("d", ["a"])), [["a"], ["d", "b"], ["c"]]),
        (("a", ("b", ["a"]), ("c", ["a", "b"])), [["a"], ["b"], ["c"]]),
        # The releasing node's position in its batch decides, not the index.
        (("p", "q", ("a", ["q"]), ("b", ["p"])), [["p", "q"], ["b", "a"]]),
        ((("b", ["a"]), "a", "c"), [["a", "c"], ["b"]]),
        (("a", ("b", ["a", "a"])), [["a"], ["b"]]),
        ((("c", ["b"]), ("b", ["a"]), "a"), [["a"], ["b"], ["c"]]),
        (("a", ("a", ["b"]), "b"), [["a", "b"], ["a"]]),
        (("x", ("a", ["missing"])), [["x", "a"]]),
        # Cycles and everything downstream of them are left out silently.
        ((("a", ["a"]), ("b", ["a"]), "c"), [["c"]]),
        ((("a", ["b"]), ("b", ["a"]), ("c", ["a"]), "d"), [["d"]]),
        (("up", ("a", ["up", "b"]), ("b", ["a"]), ("down", ["b"])), [["up"]]),
        ((("a", ["b"]), ("b", ["a"]), ("c", ["d"]), ("d", ["c"]), "e"), [["e"]]),
    ],
)
def test_batches(specs, batches):
    assert topo_sort(graph(*specs)) == batches


def test_long_chain():
    n = 200_000
    specs = [("m0", [])] + [(f"m{i}", [f"m{i - 1}"]) for i in range(1, n)]
    dag = build_dag(models(*reversed(specs)))
    batches = topo_sort(dag)
    assert len(batches) == n
    assert batches[0] == ["m0"] and batches[-1] == [f"m{n - 1}"]
    assert len(dag_edges(dag)) == n - 1

