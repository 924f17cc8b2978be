import random

import pytest

from tovik._core import ParsedModel, build_dag, validate_dag

ARROW = " \u2192 "
CYCLE_HINT = "Remove one of the ref() calls to break the cycle."
LONG = "pqrstu" + "x" * 56
LONG_SWAP = "pqrsut" + "x" * 56


def M(name, refs=(), sources=()):
    return ParsedModel(name, list(refs), list(sources))


def findings(ms, sources=(), graph_models=None):
    dag = build_dag(ms if graph_models is None else graph_models)
    return [
        (e.model, e.error_type, e.message, e.suggestion)
        for e in validate_dag(dag, ms, list(sources))
    ]


def suggest(missing, names):
    """The suggestion for a ref to `missing` among models named `names`."""
    ms = [M(n) for n in names] + [M("\x00holder", [missing])]
    [(_, _, _, suggestion)] = findings(ms)
    return suggestion


def test_missing_sources_name_only_the_source():
    ms = [M("m", sources=[("raw", "a"), ("raw", "b"), ("Raw", "c"), ("ok", "d")])]
    raw = ("m", "missing_source", "source('raw') not declared in project.yaml", "raws")
    assert findings(ms, ["ok", "raws"]) == [
        raw, raw, ("m", "missing_source", "source('Raw') not declared in project.yaml", None)
    ]
    assert [f[3] for f in findings(ms, [])] == [None] * 4


def test_many_declared_sources():
    declared = [f"src{i}" for i in range(100)]
    ms = [M("m", sources=[("src42", "t"), ("src420", "t")])]
    assert findings(ms, declared) == [
        ("m", "missing_source", "source('src420') not declared in project.yaml", "src42")
    ]


def test_ref_check_reads_the_graph_not_the_model_list():
    # b is in the list but not in the graph: reported, and its own suggestion.
    assert findings([M("a", ["b"]), M("b")], graph_models=[M("a")]) == [
        ("a", "missing_ref", "ref('b') not found", "b")
    ]
    assert findings([M("a", ["c"])], graph_models=[M("a"), M("c")]) == []


@pytest.mark.parametrize(
    "ms, path",
    [
        ([M("a", ["a"])], ["a", "a", "a"]),
        ([M("a", ["b"]), M("b", ["a"])], ["a", "b", "a"]),
        ([M("b", ["a"]), M("a", ["b"])], ["b", "a", "b"]),
        ([M("a", ["c"]), M("b", ["a"]), M("c", ["b"])], ["a", "c", "a"]),
        # The edge a -> c is newer than a -> b, so it is walked first.
        ([M("a", ["b", "c"]), M("b", ["a"]), M("c", ["a"])], ["a", "c", "a"]),
        # Two cycles: only the first one met is reported.
        ([M("a", ["b"]), M("b", ["a"]), M("c", ["d"]), M("d", ["c"])], ["a", "b", "a"]),
        ([M("x"), M("c", ["d"]), M("d", ["c"]), M("a", ["b"]), M("b", ["a"])], ["c", "d", "c"]),
        # The second of two parallel edges finds its target finished: no cycle there.
        ([M("a"), M("b", ["a", "a"]), M("c", ["c"])], ["c", "c", "c"]),
        ([M("p\u00e9", ["q"]), M("q", ["p\u00e9"])], ["p\u00e9", "q", "p\u00e9"]),
    ],
)
def test_cycle(ms, path):
    cycles = [f for f in findings(ms) if f[1] == "cycle"]
    assert cycles == [(path[0], "cycle", "Circular dependency detected: " + ARROW.join(path), CYCLE_HINT)]


def test_cycle_deep_in_a_long_chain():
    n = 200_000
    ms = [M(f"m{i}", [f"m{i - 1}"] if i else [f"m{n - 1}"]) for i in range(n)]
    [cycle] = findings(ms)
    assert cycle[0] == "m0"
    assert cycle[2].endswith(ARROW.join(["m0", f"m{n - 1}", "m0"]))


@pytest.mark.parametrize(
    "missing, names, expected",
    [
        ("DIXON", ["DICKSONX"], "DICKSONX"),  # 0.813, reached only through the prefix bonus
        # Similarity counts characters, not bytes (over bytes this would be 0.88).
        ("\u0430\u0431", ["\u0430\u0432"], None),
        ("caf\u00e9s", ["cafe", "caf\u00e9"], "caf\u00e9"),
        # Exactly 0.8 qualifies.
        ("acbcde", ["acda"], "acda"),
        # Half of three mismatched matches is one transposition: 0.8, not 0.775.
        ("fbfbdabb", ["fdecfbbb"], "fdecfbbb"),
        # Jaro 0.69: the prefix bonus needs more than 0.7, so no suggestion.
        ("abcdxyz", ["abcdpqrs"], None),
        # The bonus stops at four characters: 0.958 beats 0.95.
        ("abcdefgh", ["abcdefgx", "bacdefgh"], "bacdefgh"),
        # Equal scores: the later candidate wins.
        ("abcd", ["abcx", "abcy"], "abcy"),
        ("abcd", ["abcy", "abcx"], "abcx"),
        # Nothing in common, or nothing to choose from.
        ("xyz", ["orders"], None),
        ("", ["a"], None),
        # Past 64 characters and past Latin-1: the same rules. Each pair ties
        # (the later wins) unless a transposition or a character past the
        # first 64, or one that the name lacks, is miscounted.
        (LONG + "abcdef", [LONG + "abcdfe", LONG_SWAP + "abcdef"], LONG_SWAP + "abcdef"),
        (LONG + "abcdef", [LONG_SWAP + "abcdef", LONG + "abcdfe"], LONG + "abcdfe"),
        ("\u672c" * 70 + "a", ["\u672c" * 70 + "\u65e5", "\u672c" * 69 + "ab"], "\u672c" * 69 + "ab"),
        ("\u672c" * 70 + "a", ["\u672c" * 69 + "ab", "\u672c" * 70 + "\u65e5"], "\u672c" * 70 + "\u65e5"),
        ("\u0434\u0430\u043d\u043d\u044b\u0435_\u0437\u0430\u043a\u0430\u0437\u044b",
         ["\u0434\u0430\u043d\u043d\u044b\u0435_\u0437\u0430\u043a\u0430\u0437",
          "\u0434\u0430\u043d\u043d\u044b\u0435_\u0437\u0430\u043a\u0437\u044b"],
         "\u0434\u0430\u043d\u043d\u044b\u0435_\u0437\u0430\u043a\u0437\u044b"),
        ("xyz\u672c", ["xyz\u672cx", "xyz\u65e5"], "xyz\u672cx"),
        ("stg_\u00fcbersicht", ["stg_\u00fcbersicht_\u65e5", "stg_ubersicht"], "stg_\u00fcbersicht_\u65e5"),
        # Matches far apart in a long name: only the window decides.
        ("q" + "ab" * 40, ["q" + "ab" * 39 + "b", "q" + "ba" * 40], "q" + "ab" * 39 + "b"),
    ],
)
def test_suggestion(missing, names, expected):
    assert suggest(missing, names) == expected


def test_suggestion_candidates_include_the_referring_model():
    assert findings([M("stg_orders", ["stg_order"])])[0][3] == "stg_orders"


def test_suggestions_among_many_models():
    names = [f"{p}_{w}_{i}" for p in ("stg", "fct", "dim") for w in ("orders", "users") for i in range(2000)]
    ms = [M(n) for n in names]
    ms[0] = M(names[0], ["stg_orderz_1500", "fct_users_19999", "qqqqqq", "stg_orderz_1500"])
    got = [f[3] for f in findings(ms)]
    assert got == ["stg_orders_1500", "fct_users_1999", None, "stg_orders_1500"]


def plain_jaro_winkler(a, b):
    if not a or not b:
        return float(a == b)
    window = max(0, max(len(a), len(b)) // 2 - 1)
    a_hit, b_hit = [False] * len(a), [False] * len(b)
    for i, ch in enumerate(a):
        for j in range(max(0, i - window), min(len(b), i + window + 1)):
            if not b_hit[j] and b[j] == ch:
                a_hit[i] = b_hit[j] = True
                break
    a_seq = [ch for ch, hit in zip(a, a_hit) if hit]
    b_seq = [ch for ch, hit in zip(b, b_hit) if hit]
    m = len(a_seq)
    if m == 0:
        return 0.0
    t = sum(x != y for x, y in zip(a_seq, b_seq)) // 2
    sim = (m / len(a) + m / len(b) + (m - t) / m) / 3.0
    if not sim > 0.7:
        return sim
    prefix = 0
    while prefix < min(4, len(a), len(b)) and a[prefix] == b[prefix]:
        prefix += 1
    return sim + 0.1 * prefix * (1.0 - sim)


@pytest.mark.parametrize(
    "alphabet, length, count, rounds",
    [("abcd", 12, 100, 30), ("abc", 8, 100, 30), ("abcdef", 6, 100, 30), ("abc", 10, 600, 3),
     ("ab\u00e9\u65e5", 9, 200, 4), ("abcd", 70, 60, 4), ("a\u00e9\u65e5", 66, 60, 4)],
)
def test_suggestions_among_many_similar_names(alphabet, length, count, rounds):
    # Names of one length and first character, which no cheap bound tells
    # apart: the choice is the plain measure's, the last of equals winning.
    rnd = random.Random(f"{alphabet}{length}")
    for _ in range(rounds):
        names = ["a" + "".join(rnd.choices(alphabet, k=length - 1)) for _ in range(count)]
        missing = "a" + "".join(rnd.choices(alphabet, k=length - 1))
        if missing in names:
            continue
        best, best_score = None, 0.8
        for name in names:
            score = plain_jaro_winkler(missing, name)
            if score >= best_score:
                best, best_score = name, score
        assert suggest(missing, names) == best
