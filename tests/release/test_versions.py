"""The program's number reading, and the shared table of version names against the rule."""
import pytest

from quorlith_release import versions


@pytest.mark.parametrize("text, value, rest", [
    ("", 0, ""), ("15", 15, ""), ("015x", 15, "x"), ("4294967295", 4294967295, ""),
    ("4294967296", 4294967295, ""), ("4294967311", 4294967295, ""), ("99999999999999999999.1", 4294967295, ".1"),
    ("\uff11\uff15", 0, "\uff11\uff15"), ("\u0661", 0, "\u0661"), ("1\u00b9", 1, "\u00b9"), ("-1", 0, "-1"),
], ids=["empty", "plain", "leading-zero", "maxdword", "2^32-saturates", "2^32+15-saturates", "overlong",
        "full-width", "arabic-indic", "superscript", "sign"])
def test_read_decimal(text, value, rest):
    assert versions.read_decimal(text) == (value, rest)


def test_table_agrees_with_the_rule():
    names = versions.load_version_names()
    assert len({entry.name for entry in names}) == len(names)
    assert [entry.name for entry in names if versions.is_release_folder(entry.name) != entry.taken] == []


@pytest.mark.parametrize("name, literal", [
    ("10.0.15", 'L"10.0.15"'),
    ("10.0.\u200b15", 'L"10.0.\\x200B" L"15"'),
    ("10.0.15\U0001F600", 'L"10.0.15\\xD83D" L"\\xDE00" L""'),
    ("10.0.15\ud800", 'L"10.0.15\\xD800" L""'),
    ('a"\\', 'L"a\\x0022" L"\\x005C" L""'),
], ids=["ascii", "escape-ends-before-digits", "surrogate-pair", "lone-surrogate", "quote-and-backslash"])
def test_header_literal(name, literal):
    header = versions.header_text((versions.VersionName(name, False, ""),))
    assert "    {{{}, FALSE}},".format(literal) in header.splitlines()
