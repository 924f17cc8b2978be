import pytest

from tovik._core import parse_sql


def fm(text):
    return parse_sql(text).front_matter


@pytest.mark.parametrize(
    "text, front_matter, body",
    [
        ("", None, ""),
        ("---", None, "---"),
        ("---\nk: v\nselect", None, "---\nk: v\nselect"),
        ("----", None, "----"),
        ("-----", None, "-----"),
        ("  select 1", None, "  select 1"),
        ("  \n---\nmaterialization: table\ntags: [a, b]\n---\nselect * from ref('x')",
         {"materialization": "table", "tags": "a,b"}, "\nselect * from ref('x')"),
        ("---\ntitle: a---b\n---\nselect 1", {"title": "a"}, "b\n---\nselect 1"),
        ("------\nselect 1", {}, "\nselect 1"),
        ("---\nk: 1\nj: 2\nk: 3\n---", {"k": "3", "j": "2"}, ""),
        ("-----\nk: v\n---\nbody", {"k": "v"}, "\nbody"),
        ("---a: 1---select", {"a": "1"}, "select"),
        ("---\r\nk: v\r\n---\r\nselect", {"k": "v"}, "\r\nselect"),
        ("---\na: 1\rb: 2\n---", {"a": "1\rb: 2"}, ""),
        ("\ufeff---\nk: v\n---\nx", None, "\ufeff---\nk: v\n---\nx"),
        # Unicode white space before the opening marker, and around keys and values.
        ("\u3000\u2028---\n\u00a0k\u2003: v\u205f\n---", {"k": "v"}, ""),
        # U+180E and U+200B are not white space: no header.
        ("\u180e---\nk: v\n---", None, "\u180e---\nk: v\n---"),
    ],
)
def test_header_and_body(text, front_matter, body):
    parsed = parse_sql(text)
    assert parsed.front_matter == front_matter
    assert parsed.body == body


def test_only_the_body_is_scanned():
    assert parse_sql("---\nk: v\nselect ref('a')").refs == ["a"]  # unclosed: all of it is body
    parsed = parse_sql("---\ndescription: uses ref('x')\n---\nselect 1")
    assert (parsed.front_matter, parsed.refs) == ({"description": "uses ref('x')"}, [])


@pytest.mark.parametrize(
    "lines, expected",
    [
        ("none\nk:\n: v\na: b: c\n# c: d", {"k": "", "": "v", "a": "b: c", "# c": "d"}),
        ("k:\nk: w", {"k": "w"}),
        ('"key": v', {'"key"': "v"}),
    ],
)
def test_header_lines(lines, expected):
    assert fm("---\n" + lines + "\n---\n") == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ('"v"', "v"),
        ("'v'", "v"),
        ("\"'v'\"", "v"),
        ('""v""', "v"),
        ('"v', "v"),
        ("'\"v\"'", '"v"'),
        ('" v "', " v "),
        ("[a, b]", "a,b"),
        ("[\"a\", 'b']", "a,b"),
        ("[]", ""),
        ("[ ]", ""),
        ("[a, , b]", "a,,b"),
        ("[a,]", "a,"),
        ('["a,b"]', "a,b"),
        ("['\"a\"']", "a"),
        ('"[a, b]"', "[a, b]"),
        ("[", "["),
        ("]", "]"),
    ],
)
def test_values(value, expected):
    assert fm("---\nk: " + value + "\n---\n") == {"k": expected}


def test_reference_scans():
    parsed = parse_sql(
        "ref('a') ref( 'a' ) ref('a-b') ref('s.a') ref(a) ref('a', 'b') xref('b') "
        "ref('modèle') ref(\"d\") ref('e\") ref(\u3000'f'\u00a0)"
    )
    assert parsed.refs == ["a", "a", "b", "modèle", "d", "e", "f"]
    parsed = parse_sql("source('s', 't') source( 's' , 't' ) source('s') datasource('d','e')")
    assert parsed.sources == [("s", "t"), ("s", "t"), ("d", "e")]
    parsed = parse_sql("{{ x }} {{x}} {{ x.y }} {{{ y }}} {{ x }} {{\tⒶé\n}}")
    assert parsed.variables == ["x", "x", "y", "x", "Ⓐé"]


@pytest.mark.parametrize(
    "body, refs",
    [
        ("ref('a\u180e')", []),  # U+180E is neither a word character nor white space
        ("ref(\ufeff'a')", []),
        ("ref('a\u200d')", ["a\u200d"]),  # join control counts as a word character
        ("ref('x_1')ref('y')", ["x_1", "y"]),
        ("ref('a\u0301')", ["a\u0301"]),  # combining mark
        ("ref('٣')", ["٣"]),
    ],
)
def test_word_and_space_classes(body, refs):
    assert parse_sql(body).refs == refs


# Long texts are searched many bytes at a time; a form must be found the same
# wherever it falls against those blocks, and so must a name that mixes ASCII
# with other characters across them.
@pytest.mark.parametrize("form", ["ref('{}')", "source('{}', '{}')", "{{{{ {} }}}}"])
@pytest.mark.parametrize("name", ["m", "a" * 15 + "é" + "b" * 20 + "\u0301" + "c" * 17])
def test_form_at_every_offset(form, name):
    text = form.format(name, name)
    alone = parse_sql(text)
    found = (alone.refs, alone.sources, alone.variables)
    assert sum(map(len, found)) == 1 and name in repr(found)
    for offset in range(0, 140, 1 if name == "m" else 7):
        for pad in ("x", "é", "{"):
            parsed = parse_sql(pad * offset + text + "x" * (140 - offset))
            assert (parsed.refs, parsed.sources, parsed.variables) == found, (offset, pad)


# Forms packed into one block and ending in the last bytes of texts of every
# length around the block size; cut one byte short, the last form is lost.
@pytest.mark.parametrize("lead", range(0, 150))
def test_forms_side_by_side_at_the_end(lead):
    text = "y" * lead + "ref('a'){{ b }}{{c}}source('c','d')ref('e')"
    parsed = parse_sql(text)
    assert (parsed.refs, parsed.sources, parsed.variables) == (["a", "e"], [("c", "d")], ["b", "c"])
    assert parse_sql(text[:-1]).refs == ["a"]


# Runs far longer than any pattern engine's default limits: an unclosed form
# scans to the end of the text, a closed one yields the whole run as its name.
RUN_FORMS = [
    ("{{", "}}", "a"),
    ("{{", "a}}", " "),
    ("ref('", "')", "a"),
    ("ref(", "'a')", "\u3000"),
    ("source('s', '", "')", "é"),
    ("source('", "', 't')", "a"),
    ("source('s' ,", "'t')", " "),
    # Repeated openings: each failed attempt must not rescan what follows it.
    ("{", "{ a }}", "{"),
    ("ref(", "'a')", "ref("),
    ("source('s',", "'t')", "source('s',"),
]


@pytest.mark.parametrize(
    "opening, closing, fill, n",
    [(*form, 10_000_000) for form in RUN_FORMS]
    + [(*form, 100_000_000) for form in RUN_FORMS if form[2] == "a"],
)
def test_long_runs_after_an_opening(opening, closing, fill, n):
    run = fill * n
    parsed = parse_sql(opening + run)
    assert (parsed.refs, parsed.sources, parsed.variables) == ([], [], [])
    del parsed
    parsed = parse_sql(opening + run + closing)
    found = parsed.refs or parsed.sources or parsed.variables
    assert len(found) == 1
    if fill == "a":
        name = found[0] if isinstance(found[0], str) else max(found[0], key=len)
        assert name == run


def test_many_references_in_one_text():
    body = "select * from ref('m') join source('s', 't') on {{ v }}\n" * 20000
    parsed = parse_sql(body)
    assert len(parsed.refs) == len(parsed.sources) == len(parsed.variables) == 20000
