"""Native validators against re, and percent-decoding against unquote."""

from __future__ import annotations

import random
import re
from urllib.parse import unquote

import pytest

from velmora import routing
from velmora.routing import RadixTree, RouteMatch

PATTERNS = {
    "INT": r"^\d+$",
    "FLOAT": r"^\d+(?:\.\d+)?$",
    "UUID": r"^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$",
}
# Unicode decimal digits (Arabic-Indic, Devanagari, fullwidth, Mathematical
# bold), a digit that is not decimal (superscript two), newlines, hex letters
# on both sides of f, and some non-ASCII letters.
ALPHABET = "0123456789.-\naAfFgG\u0663\u0967\uff15\U0001d7ce\u00b2\u00e9 %x"
UUID = "123e4567-e89b-12d3-a456-426614174000"


def test_module_patterns_are_compiled_re():
    for kind, text in PATTERNS.items():
        assert getattr(routing, f"_{kind}_RX_STR").pattern == text
        assert getattr(routing, f"_{kind}_RX_BYTES").pattern == text.encode()
    assert routing.unquote is unquote and routing.re is re


def generated_segments(seed, count=3000):
    rng = random.Random(seed)
    out = ["1", "12\n", "\n", "1\n\n", "1.5", "1.", ".5", "1.5\n", UUID, UUID.upper(), UUID + "\n",
           UUID[:-1] + "g", "\u0663\u0967", "1\u00b2", "\uff15.\U0001d7ce"]
    for _ in range(count):
        if rng.random() < 0.15:
            chars = list(UUID)
            for _ in range(rng.randint(0, 2)):
                chars[rng.randrange(len(chars))] = rng.choice(ALPHABET)
            out.append("".join(chars))
        else:
            out.append("".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 8))))
    return out


@pytest.mark.parametrize("kind", list(PATTERNS))
def test_native_validators_equal_re_match(kind):
    tree = RadixTree()
    tree.insert("/" + "{x:" + kind.lower() + "}", object())
    rx_str = getattr(routing, f"_{kind}_RX_STR")
    rx_bytes = getattr(routing, f"_{kind}_RX_BYTES")
    for seg in generated_segments(kind):
        expected = rx_str.match(seg) is not None
        assert (tree.match("/" + seg) is not None) == expected, repr(seg)
        raw = seg.encode()
        expected_b = rx_bytes.match(raw) is not None
        assert (tree.match(b"/" + raw) is not None) == expected_b, repr(raw)


def generated_escapes(seed, count=3000):
    rng = random.Random(seed)
    pieces = ["%", "%C3", "%A9", "%c3%a9", "%E2%82", "%AC", "%F0%9F%98", "%80", "%FF", "%41", "%4", "%G1",
              "%%", "a", "+", "é", "\udc80", "€", "%ED%A0%80", "%2F", "%20", "\x7f", "\n"]
    return ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 6))) for _ in range(count)]


def test_percent_decoding_of_str_values_equals_unquote():
    tree = RadixTree()
    route = object()
    tree.insert("/v/{x}", route)
    for seg in generated_escapes(1):
        assert tree.match("/v/" + seg) == (route, {"_p_1": unquote(seg)}), repr(seg)
        assert RouteMatch(type("R", (), {"pattern": ""})(), {"k": seg}).values == {"k": unquote(seg)}


def test_percent_decoding_of_bytes_values_decodes_then_unquotes():
    tree = RadixTree()
    route = object()
    tree.insert("/v/*", route)
    rng = random.Random(2)
    for seg in generated_escapes(3):
        raw = seg.encode("utf8", "surrogatepass")
        if rng.random() < 0.3:
            raw += bytes([rng.randrange(0x80, 0x100)])
        expected = unquote(raw.decode("utf8", "replace"))
        assert tree.match(b"/v/" + raw) == (route, {"tail": expected}), repr(raw)


def test_value_without_percent_is_the_segment_object():
    tree = RadixTree()
    tree.insert("/{x}", object())
    path = "/abc"
    assert tree.match(path)[1]["_p_0"] == "abc"
    text = "no escapes"
    route = type("R", (), {"pattern": ""})()
    assert RouteMatch(route, {"k": text}).values["k"] is text
