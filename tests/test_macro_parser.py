import pytest

from tovik._core import find_macro_calls

FG = ["f", "g"]


def scan(sql, known=FG):
    return [(c.name, c.args, c.start, c.end) for c in find_macro_calls(sql, known)]


@pytest.mark.parametrize("sql, expected", [
    ("f(a, b)", [("f", ["a", "b"], 0, 7)]),
    ("f (x)", [("f", ["x"], 0, 5)]),
    ("f\t\r\n\f (x)", [("f", ["x"], 0, 9)]),
    ("é f(x)", [("f", ["x"], 3, 7)]),
    ("éf(x)", [("f", ["x"], 2, 6)]),
    ("$f(x) (g(y))", [("f", ["x"], 1, 5), ("g", ["y"], 7, 11)]),
    ("f(a)g(b)", [("f", ["a"], 0, 4), ("g", ["b"], 4, 8)]),
    ("-- f(x)\n", [("f", ["x"], 3, 7)]),
    ("\x00f(\x00a\x00)", [("f", ["\x00a\x00"], 1, 7)]),
    ("f(g(1, 2), 3)", [("f", ["g(1, 2)", "3"], 0, 13)]),
    ("g(f(1)) f(2)", [("g", ["f(1)"], 0, 7), ("f", ["2"], 8, 12)]),
    ("'a'f(x)", [("f", ["x"], 3, 7)]),
    ("`f(x)`", [("f", ["x"], 1, 5)]),
    # An unterminated literal outside a call ends the scan, not the calls found.
    ("f(a) 'oops f(b)", [("f", ["a"], 0, 4)]),
])
def test_calls_and_byte_offsets(sql, expected):
    assert scan(sql) == expected


@pytest.mark.parametrize("inner, args", [
    (" ", []),
    ("a,", ["a"]),
    (",a", ["", "a"]),
    ("a,,b", ["a", "", "b"]),
    (",", [""]),
    (" , \t,", ["", ""]),
    ("\u00a0a\u3000, \u2003b c\u2028", ["a", "b c"]),
    ("\va\v\x85", ["a"]),
    ("\ufeffa", ["\ufeffa"]),
    ("'a, b)', \"c(\"", ["'a, b)'", '"c("']),
    ("'it''s'", ["'it''s'"]),
    ("\"a'b\", ''''", ["\"a'b\"", "''''"]),
    ("(a, b), h(c, (d, e))", ["(a, b)", "h(c, (d, e))"]),
])
def test_arguments(inner, args):
    assert scan(f"f({inner})") == [("f", args, 0, len(f"f({inner})".encode()))]


@pytest.mark.parametrize("sql, known", [
    ("F(x) ff(x) f2(x) x.f(x) x_f(x) 2f(x) f.(x)", FG),
    ("f\v(x)", FG),
    ("f x", FG),
    ("f  ", FG),
    ("'f(x)' \"g(y)\"", FG),
    ("'x''f(x)'", FG),
    ("f(x)", ["f ", "", "F"]),
    ("a.b(x) 2f(x) a-b(x)", ["a.b", "2f", "a-b"]),
    ("it's f(x)", FG),
    ("f(", []),
    ("", FG),
])
def test_no_calls(sql, known):
    assert scan(sql, known) == []


@pytest.mark.parametrize("sql, name, position", [
    ("f(", "f", 2),
    ("f(a", "f", 2),
    ("f('a)", "f", 2),
    ("f(')'", "f", 2),
    ("f(g(a)", "f", 2),
    ("f (a,", "f", 3),
    ("f(x) g(", "g", 7),
    ("é f(x", "f", 5),
    ("select   f(", "f", 11),
])
def test_unclosed_call(sql, name, position):
    with pytest.raises(ValueError) as info:
        find_macro_calls(sql, FG)
    assert type(info.value) is ValueError
    message = f"Unclosed parenthesis in macro call '{name}' at position {position}"
    assert info.value.args == (message,)


def test_deep_nesting_and_long_text():
    depth = 200_000
    sql = "é " * 1000 + "f" + "(" * depth + "'x'" + ")" * depth
    arg = "(" * (depth - 1) + "'x'" + ")" * (depth - 1)
    assert scan(sql) == [("f", [arg], 3000, len(sql.encode()))]

