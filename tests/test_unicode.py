import sys
import unicodedata

import pytest

from tovik._core import parse_sql, resolve_model

# The version the checked-in tables follow; Python's own database must match
# for the comparisons below to mean anything.
TABLE_VERSION = "15.0.0"
same_version = pytest.mark.skipif(unicodedata.unidata_version != TABLE_VERSION,
                                  reason="this Python's Unicode database is another version")

WORD_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl", "Mn", "Mc", "Me", "Nd", "Pc"}
# Characters that str.isspace() takes which lack the White_Space property.
NOT_WHITE_SPACE = {0x1C, 0x1D, 0x1E, 0x1F}

SCALARS = [cp for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF]


@same_version
def test_word_class_against_unicodedata():
    # One placeholder per code point: a word character is the one name found there.
    text = "".join(f"{{{{{chr(cp)}}}}}" for cp in SCALARS)
    found = {ord(name) for name in parse_sql(text).variables}
    category = {cp: unicodedata.category(chr(cp)) for cp in SCALARS}
    missing = [hex(cp) for cp in SCALARS if category[cp] in WORD_CATEGORIES and cp not in found]
    unassigned = [hex(cp) for cp in sorted(found) if category[cp] == "Cn"]
    assert (missing, unassigned) == ([], [])


def test_white_space_class():
    # Every code point stands between a name and the closing braces, where only
    # white space lets the name stand alone (a word character would join it),
    # and around a header key, which is trimmed of it.
    expected = [cp for cp in SCALARS if chr(cp).isspace() and cp not in NOT_WHITE_SPACE]
    text = "".join(f"{{{{ v{cp:x}x{chr(cp)} }}}}" for cp in SCALARS)
    names = set(parse_sql(text).variables)
    assert [cp for cp in SCALARS if f"v{cp:x}x" in names] == expected

    # White space lies in the Basic Multilingual Plane, which is enough to cover.
    high = [cp for cp in SCALARS if 0x80 <= cp < 0x10000]
    header = "".join(f"{chr(cp)}k{cp:x}{chr(cp)}: v\n" for cp in high)
    keys = set(parse_sql("---\n" + header + "---\n").front_matter)
    trimmed = sorted(cp for cp in high if f"k{cp:x}" in keys)
    assert trimmed == [cp for cp in expected if cp >= 0x80]


# Assigned in Unicode 15.0: a Kawi letter, mark and digit, a small kana, an
# Arabic mark, and both ends of the CJK Extension H block.
@pytest.mark.parametrize("ch", ["\U00011F04", "\U00011F03", "\U00011F50", "\U0001B132",
                                "\U00010EFD", "\U00031350", "\U000323AF"])
def test_new_letters_are_word_characters(ch):
    name = "a" + ch + "z"
    parsed = parse_sql(f"select {{{{ {name} }}}} from ref('{name}')")
    assert (parsed.variables, parsed.refs) == ([name], [name])
    with pytest.raises(ValueError) as e:
        resolve_model(f"{{{{ {name} }}}}", "m", "s", "view", {}, {}, {})
    assert str(e.value) == f"Unresolved variable: {{{{ {name} }}}}"
