import pytest

from tovik._core import build_pipeline, dag_edges, topo_sort

PROJECT = [
    ("stg_orders", "---\ntags: staging, daily\n---\nselect * from source('raw', 'orders')"),
    ("stg_users", "---\ntags: [staging]\nmaterialization: view\n---\nselect * from source('raw', 'users')"),
    ("orders", "select * from {{ ref('stg_orders') }} join {{ ref('stg_users') }}"),
    ("report", "---\ntags: daily\nmaterialization: table\n---\nselect * from ref('orders')"),
    ("lonely", "select 1"),
]


def test_whole_plan():
    dag, batches, parsed, errors = build_pipeline(PROJECT, ["raw"])
    assert batches == [["stg_orders", "stg_users", "lonely"], ["orders"], ["report"]]
    assert dag_edges(dag) == [("stg_orders", "orders"), ("stg_users", "orders"), ("orders", "report")]
    assert topo_sort(dag) == batches
    assert errors == []
    assert [(m.name, m.refs, m.sources, m.tags, m.materialization) for m in parsed] == [
        ("stg_orders", [], [("raw", "orders")], ["staging", "daily"], None),
        ("stg_users", [], [("raw", "users")], ["staging"], "view"),
        ("orders", ["stg_orders", "stg_users"], [], [], None),
        ("report", ["orders"], [], ["daily"], "table"),
        ("lonely", [], [], [], None),
    ]


@pytest.mark.parametrize(
    "pattern, batches",
    [
        (None, [["stg_orders", "stg_users", "lonely"], ["orders"], ["report"]]),
        ("orders", [["orders"]]),
        ("tag:daily", [["stg_orders"], ["report"]]),
        ("missing+", []),
    ],
)
def test_selection_filters_batches_only(pattern, batches):
    _, got, parsed, errors = build_pipeline(PROJECT, [], select=pattern)
    assert got == batches
    assert len(parsed) == len(PROJECT)
    # Findings cover unselected models too.
    assert [e.message for e in errors] == [
        "source('raw') not declared in project.yaml",
        "source('raw') not declared in project.yaml",
    ]


@pytest.mark.parametrize(
    "header, tags",
    [
        ("tags: a, b", ["a", "b"]),
        ("tags: [a, b]", ["a", "b"]),
        ("tags: [a, , b]", ["a", "", "b"]),
        ("tags: a,", ["a", ""]),
        ("tags:", [""]),
        ("tags: \u3000a\u00a0, b\u2003", ["a", "b"]),
        ("Tags: a", []),
        # A repeated key: the later line wins, even when empty.
        ("tags: a\nk: v\ntags:", [""]),
    ],
)
def test_front_matter_tags(header, tags):
    _, _, [model], _ = build_pipeline([("m", f"---\n{header}\n---\nselect 1")], [])
    assert model.tags == tags


@pytest.mark.parametrize(
    "text, materialization",
    [
        ("---\nmaterialization: incremental\n---\nselect 1", "incremental"),
        ("---\nmaterialization:\n---\nselect 1", ""),
        ("---\nMaterialization: table\n---\nselect 1", None),
        ("------\nselect 1", None),
    ],
)
def test_materialization_passes_unchecked(text, materialization):
    _, _, [model], errors = build_pipeline([("m", text)], [])
    assert model.materialization == materialization
    assert errors == []


def test_empty_project():
    for pattern in (None, "a", "+a+", "tag:x"):
        dag, batches, parsed, errors = build_pipeline([], [], pattern)
        assert (dag_edges(dag), batches, parsed, errors) == ([], [], [], [])


def test_findings_and_cycles():
    raw = [
        ("a", "select * from ref('b')"),
        ("b", "select * from ref('a') join source('ext', 't')"),
        ("c", "select * from ref('a')"),
        ("d", "select * from ref('stg_orderz')"),
        ("stg_orders", "select 1"),
    ]
    _, batches, _, errors = build_pipeline(raw, ["ex"], "+c+")
    assert batches == []  # c depends on the cycle, selected or not
    assert [(e.model, e.error_type, e.suggestion) for e in errors] == [
        ("d", "missing_ref", "stg_orders"),
        ("b", "missing_source", "ex"),
        ("a", "cycle", "Remove one of the ref() calls to break the cycle."),
    ]
    assert errors[2].message == "Circular dependency detected: a \u2192 b \u2192 a"


def test_shared_names_keep_all_their_entries():
    raw = [
        ("a", "---\ntags: first\n---\nselect 1"),
        ("b", "select * from ref('a')"),
        ("a", "select * from ref('z')"),
        ("z", "select 1"),
    ]
    _, batches, parsed, _ = build_pipeline(raw, [])
    # b's ref resolves to the later "a", which itself waits for z.
    assert batches == [["a", "z"], ["a"], ["b"]]
    assert [m.name for m in parsed] == ["a", "b", "a", "z"]
    # The later "a" has no tags, so the earlier one's stay in force; tags of a
    # later model would replace them.
    assert build_pipeline(raw, [], "tag:first")[1] == [["a"], ["a"]]
    assert build_pipeline(raw[:1] + [("a", "---\ntags: new\n---\nx")], [], "tag:first")[1] == []

