import random

import pytest

from tovik._core import ParsedModel, build_dag, dag_edges, topo_sort


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
        # Edge order is model by model, then ref by ref.
        ((("c", ["b", "a"]), ("b", ["a"]), "a"), [("b", "c"), ("a", "c"), ("a", "b")]),
    ],
)
def test_edges_in_creation_order(specs, edges):
    assert dag_edges(graph(*specs)) == edges


@pytest.mark.parametrize(
    "specs, batches",
    [
        ((), []),
        # Neighbours are walked newest edge first, so c is released before b.
        (("a", ("b", ["a"]), ("c", ["a"])), [["a"], ["c", "b"]]),
        # The releasing node's position in its batch decides, not the index.
        (("p", "q", ("a", ["q"]), ("b", ["p"])), [["p", "q"], ["b", "a"]]),
        ((("b", ["a"]), "a", "c"), [["a", "c"], ["b"]]),
        (("a", ("b", ["a", "a"])), [["a"], ["b"]]),
        (("a", ("a", ["b"]), "b"), [["a", "b"], ["a"]]),
        # Cycles and everything downstream of them are left out silently.
        ((("a", ["a"]), ("b", ["a"]), "c"), [["c"]]),
        ((("a", ["b"]), ("b", ["a"]), ("c", ["a"]), "d"), [["d"]]),
        (("up", ("a", ["up", "b"]), ("b", ["a"]), ("down", ["b"])), [["up"]]),
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


def plain_plan(names, refs):
    """Edges and batches of the graph of these models, built the plain way."""
    last = {name: i for i, name in enumerate(names)}
    edges = [(last[r], last[names[i]]) for i in range(len(names)) for r in refs[i] if r in last]
    out = [[] for _ in names]
    in_degree = [0] * len(names)
    for s, t in reversed(edges):  # newest edge first
        out[s].append(t)
        in_degree[t] += 1
    ready = [i for i, d in enumerate(in_degree) if d == 0]
    batches = []
    while ready:
        batches.append([names[i] for i in ready])
        released = []
        for i in ready:
            for t in out[i]:
                in_degree[t] -= 1
                if in_degree[t] == 0:
                    released.append(t)
        ready = released
    return [(names[s], names[t]) for s, t in edges], batches


# The larger size is past the point where the build and the sort fetch memory
# ahead and carry hashes from the fetch to the look-up.
@pytest.mark.parametrize("n", [60, 40_000])
def test_large_graphs_match_the_plain_build(n):
    rng = random.Random(n)
    # Shared names, names no model has, and 0 to 4 refs, mostly to earlier models.
    names = [f"m{rng.randrange(n)}" for _ in range(n)]
    refs = [
        [f"m{rng.randrange(n + n // 8)}" if rng.random() < 0.2 else names[rng.randrange(i + 1)]
         for _ in range(rng.randrange(5))]
        for i in range(n)
    ]
    dag = build_dag([ParsedModel(name, r, []) for name, r in zip(names, refs)])
    edges, batches = plain_plan(names, refs)
    assert dag_edges(dag) == edges
    assert topo_sort(dag) == batches
