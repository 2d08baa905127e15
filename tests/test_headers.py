import gc
import weakref

import pytest

from velmora import headers as mod
from velmora.headers import Header, Headers


def make(*pairs):
    h = Headers()
    for name, value in pairs:
        h.add(name, value)
    return h


# --- construction and storage ------------------------------------------------


def test_constructor_adopts_list_by_reference():
    lst = [(b"a", b"1")]
    h = Headers(lst)
    assert h.values is lst
    lst.append((b"b", b"2"))
    assert h.get(b"b") == (b"2",)
    assert Headers().values == [] and Headers(None).values == []
    assert Headers(values=None).values == []


@pytest.mark.parametrize("bad", [(), {}, "x", b"x", 1, type("L", (list,), {})()])
def test_constructor_wants_exactly_a_list(bad):
    with pytest.raises(TypeError, match=r"Argument 'values' has incorrect type \(expected list, got "):
        Headers(bad)


def test_bare_allocation_holds_none_and_fails_cleanly():
    h = Headers.__new__(Headers)
    assert h.values is None
    for op in (lambda: h.get(b"a"), lambda: h.get_first("a"), lambda: b"a" in h, h.keys, h.clone,
               lambda: list(h), lambda: h.remove(b"a"), lambda: h.get_tuples(b"a")):
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            op()
    for op in (lambda: h.add(b"a", b"1"), lambda: h.merge([(b"a", b"1")])):
        with pytest.raises(AttributeError):
            op()
    assert repr(h) == "<Headers None>"


def test_add_interns_bytes_names_and_keeps_str_names():
    h = make((b"Content-Type", b"x"), ("Content-Type", "y"), (b"X-Custom-THING", b"z"))
    names = [n for n, _ in h.values]
    assert names == [b"content-type", "Content-Type", b"x-custom-thing"]
    assert names[0] is Header(b"CONTENT-TYPE", b"").name
    assert Header(b"X-Custom-THING", 1).name == b"x-custom-thing"


def test_bytes_subclass_names_are_stored_unchanged():
    class B(bytes):
        pass

    name = B(b"Host")
    assert make((name, b"1")).values[0][0] is name
    assert Header(name, b"1").name is name


def test_static_header_lists():
    for const, value in [("STATIC_JSON_HEADERS", b"application/json"),
                         ("STATIC_TEXT_HEADERS", b"text/plain; charset=utf-8"),
                         ("STATIC_HTML_HEADERS", b"text/html; charset=utf-8"),
                         ("STATIC_NOT_FOUND_HEADERS", b"text/plain")]:
        lst = getattr(mod, const)
        assert lst == [(b"content-type", value)]
        assert lst[0][0] is mod.STATIC_JSON_HEADERS[0][0]


# --- look-ups ------------------------------------------------------------------


@pytest.fixture
def mixed():
    return make((b"Content-Type", b"x"), ("Content-Type", "y"), (b"host", b"h"))


@pytest.mark.parametrize("key, expected", [
    (b"CONTENT-TYPE", (b"x", b"y")),
    (b"content-type", (b"x", b"y")),
    ("content-type", ("x", "y")),
    ("CoNtEnT-tYpE", ("x", "y")),
    (b"absent", ()),
    ("absent", ()),
])
def test_get_converts_to_the_kind_of_the_key(mixed, key, expected):
    assert mixed.get(key) == expected
    assert mixed[key] == expected
    assert mixed.get_first(key) == (expected[0] if expected else None)
    assert mixed.contains(key) is bool(expected)
    assert (key in mixed) is bool(expected)


def test_get_tuples_returns_the_stored_entries(mixed):
    found = mixed.get_tuples("CONTENT-TYPE")
    assert found == mixed.values[:2] and found[0] is mixed.values[0]


@pytest.mark.parametrize("value, bytes_result, str_result", [
    (None, None, None),
    (b"", b"", ""),
    (b"caf\xe9", b"caf\xe9", "caf\xe9"),
    ("caf\xe9", b"caf\xe9", "caf\xe9"),
    (12, b"12", "12"),
])
def test_value_conversion(value, bytes_result, str_result):
    h = Headers([(b"a", value)])
    assert h.get_first(b"a") == bytes_result and h.get(b"A") == (bytes_result,)
    assert h.get_first("a") == str_result


def test_str_value_above_latin1_fails_for_a_bytes_key():
    h = Headers([(b"a", "\u20ac")])
    assert h.get_first("a") == "\u20ac"
    with pytest.raises(UnicodeEncodeError):
        h.get_first(b"a")


@pytest.mark.parametrize("key", ["\u20ac", "x-\u0100", "\U0001f600"])
def test_key_above_latin1_raises_and_changes_nothing(key):
    h = make((b"a", b"1"))
    for op in (h.get, h.get_first, h.get_tuples, h.remove, h.contains, h.__contains__):
        with pytest.raises(UnicodeEncodeError):
            op(key)
    with pytest.raises(UnicodeEncodeError):
        h[key] = b"2"
    assert h.values == [(b"a", b"1")]


def test_latin1_names_and_keys_meet_through_latin1():
    h = Headers([(b"x-caf\xe9", b"1"), ("X-CAF\xc9", "2")])
    # str keys lower fully ("\xc9" -> "\xe9"); bytes lower ASCII only.
    assert h.get("X-Caf\xc9") == ("1", "2")
    assert h.get(b"X-CAF\xe9") == (b"1", b"2")
    assert h.get(b"x-caf\xc9") == ()


def test_wide_names_and_keys_take_the_full_lower():
    kelvin = "\u212a"  # KELVIN SIGN, lowers to ASCII "k"
    h = Headers([(kelvin + "ey", "1"), (b"key", b"2")])
    assert h.get("KEY") == ("1", "2")
    assert h.get(kelvin + "EY") == ("1", "2")
    with pytest.raises(UnicodeEncodeError):
        "\u0130" in h  # lowers to "i" and U+0307


@pytest.mark.parametrize("key", [0, 1.5, None, bytearray(b"a")])
def test_other_key_kinds_go_through_str(key):
    h = Headers([(str(key), "v"), (str(key).upper().encode(), b"w")])
    assert h.get(key) == ("v", "w")
    assert h[key] == ("v", "w")


def test_other_name_kinds_go_through_str():
    class Name:
        def __str__(self):
            return "X-Name"

    h = Headers([(Name(), b"1"), (42, b"2")])
    assert h.get("x-name") == ("1",) and h.get(b"42") == (b"2",)
    assert b"X-NAME" in h


def test_long_keys_and_names():
    name = b"X-" + b"Long" * 1000
    h = make((name, b"v"), (b"", b"empty"))
    assert h.get_first(name.upper()) == b"v"
    assert h.get_first(name.decode().lower()) == "v"
    assert h.get_first(b"") == b"empty" and h.get_first("") == "empty"


def test_get_single():
    h = make((b"a", b"1"), (b"b", b"2"), (b"B", b"3"))
    assert h.get_single("A") == "1"
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        h.get_single(b"b")
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        h.get_single(b"c")


# --- malformed entries ----------------------------------------------------------


@pytest.mark.parametrize("entry, error, text", [
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ([b"a", b"1"], TypeError, "Expected tuple, got list"),
    ("ab", TypeError, "Expected tuple, got str"),
    (type("T", (tuple,), {})((b"a", b"1")), TypeError, "Expected tuple, got T"),
    ((), IndexError, "tuple index out of range"),
    ((b"a",), IndexError, "tuple index out of range"),
])
def test_scans_reject_malformed_entries(entry, error, text):
    h = Headers([(b"z", b"0"), entry])
    for op in (h.get, h.get_first, h.get_tuples, h.remove):
        with pytest.raises(error, match=text):
            op(b"a")


def test_contains_subscripts_any_entry():
    h = Headers([[b"a", b"1"], {0: "B"}, "c"])
    assert b"a" in h and "b" in h and "C" in h
    assert b"d" not in h
    for bad in ([None], [()], [5]):
        with pytest.raises((TypeError, IndexError)):
            b"a" in Headers(bad)


# --- changes --------------------------------------------------------------------


def test_set_replaces_every_entry_and_moves_to_the_end():
    h = make((b"a", b"1"), (b"b", b"2"), (b"A", b"3"))
    h.set(b"A", b"9")
    assert h.values == [(b"b", b"2"), (b"a", b"9")]
    h["B"] = "x"
    assert h.values == [(b"a", b"9"), ("B", "x")]


def test_remove_every_case():
    h = make((b"X-A", b"1"), (b"keep", b"k"), (b"x-a", b"2"), ("X-a", "3"))
    h.remove("x-A")
    assert h.values == [(b"keep", b"k")]
    del h[b"KEEP"]
    assert h.values == []
    h.remove(b"absent")


def test_remove_uses_list_removal_by_equality():
    h = Headers([(b"a", b"1"), (b"b", b"2"), (b"a", b"1")])
    h.remove(b"a")
    assert h.values == [(b"b", b"2")]


def test_merge():
    h = make((b"a", b"1"))
    entry = (b"B", b"2")
    h.merge([None, entry])
    assert h.values[1] is entry  # appended as is, not interned
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        h.merge([(b"c", b"3"), [b"d", b"4"]])
    assert h.values[-1] == (b"c", b"3")
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        h.merge(None)
    with pytest.raises(TypeError, match=r"Argument 'values' has incorrect type \(expected list, got tuple\)"):
        h.merge(((b"e", b"5"),))


def test_merge_into_itself_ends():
    h = make((b"a", b"1"), (b"b", b"2"))
    h.merge(h.values)
    assert len(h.values) == 4


def test_keys_distinct_in_order_without_case_folding():
    assert make((b"a", 1), (b"b", 2), (b"a", 3)).keys() == (b"a", b"b")
    assert Headers([(b"a", 1), ("a", 2), ("A", 3)]).keys() == (b"a", "a", "A")
    assert Headers([[b"x", 1], {0: b"y"}]).keys() == (b"x", b"y")


def test_clone():
    h = Headers([(b"a", b"1"), [b"b", None], iter([b"c", b"3"])])
    copy = h.clone()
    assert type(copy) is Headers and copy.values == [(b"a", b"1"), (b"b", None), (b"c", b"3")]
    assert copy.values is not h.values and copy.values[0] is not h.values[0]

    class Sub(Headers):
        pass

    assert type(Sub([(b"a", b"1")]).clone()) is Headers


@pytest.mark.parametrize("entry, error, text", [
    (("a", b"1"), TypeError, "^Expected bytes, got str$"),
    ((b"a", 1), TypeError, "^Expected bytes, got int$"),
    ((b"a",), ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
    ((b"a", b"1", b"2"), ValueError, r"^too many values to unpack \(expected 2"),
    (None, TypeError, "not iterable"),
])
def test_clone_rejects(entry, error, text):
    h = Headers([entry])
    with pytest.raises(error, match=text):
        h.clone()
    with pytest.raises(error, match=text):
        h + [(b"x", b"1")]


def test_update_sets_each_pair():
    h = make((b"a", b"1"), (b"b", b"2"))
    h.update({b"A": b"x", "c": "y"})
    assert h.values == [(b"b", b"2"), (b"a", b"x"), ("c", "y")]
    with pytest.raises(TypeError, match=r"expected dict, got list"):
        h.update([(b"a", b"1")])
    with pytest.raises(AttributeError, match="items"):
        h.update(None)


def test_add_many():
    h = Headers()
    h.add_many([(b"A", b"1"), Header(b"B", b"2")])
    h.add_many({b"C": b"3"})
    assert h.values == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]
    with pytest.raises(ValueError, match=r"^values must be dict\[bytes, bytes\] or list\[Header\]$"):
        h.add_many(((b"d", b"4"),))


# --- operators ------------------------------------------------------------------


def test_plus_returns_a_new_collection():
    h = make((b"a", b"1"))
    for other in ([(b"B", b"2")], (b"B", b"2"), Header(b"B", b"2"), make((b"B", b"2"))):
        result = h + other
        assert result is not h and result.values == [(b"a", b"1"), (b"b", b"2")]
        if not isinstance(other, Headers):  # the Headers operand comes first both ways
            assert (other + h).values == [(b"a", b"1"), (b"b", b"2")]
    assert h.values == [(b"a", b"1")]


def test_inplace_plus_changes_the_collection():
    h = make((b"a", b"1"))
    alias = h
    h += [(b"b", b"2")]
    h += h
    assert h is alias and h.values == [(b"a", b"1"), (b"b", b"2")] * 2


@pytest.mark.parametrize("other, error, text", [
    ([(b"a",)], ValueError, r"^The sequence contains invalid elements: cannot add \(b'a',\) to Headers$"),
    ([Header(b"a", b"1")], ValueError, "^The sequence contains invalid elements: cannot add <Header"),
    ((b"a", b"1", b"2"), ValueError, r"^Cannot add, an invalid tuple \(b'a', b'1', b'2'\)\.$"),
    ({b"a": b"1"}, TypeError, "unsupported operand"),
    (1, TypeError, "unsupported operand"),
])
def test_plus_rejects(other, error, text):
    h = make((b"z", b"0"))
    with pytest.raises(error, match=text):
        h + other
    assert h.values == [(b"z", b"0")]


def test_inplace_plus_keeps_what_was_added_before_a_failure():
    h = Headers()
    with pytest.raises(ValueError):
        h += [(b"a", b"1"), (b"b",)]
    assert h.values == [(b"a", b"1")]


def test_plus_fails_on_str_names():
    with pytest.raises(TypeError, match="Expected bytes, got str"):
        make(("a", b"1")) + [(b"b", b"2")]


# --- iteration and repr -----------------------------------------------------------


def test_iteration_yields_entries_as_stored():
    lst = [(b"a", b"1"), ["b", 2]]
    h = Headers(lst)
    assert list(h) == lst and list(h.items()) == lst and list(h)[1] is lst[1]
    assert repr(h) == "<Headers [(b'a', b'1'), ['b', 2]]>"


# --- Header -----------------------------------------------------------------------


def test_header_basics():
    h = Header(value=b"1", name=b"X-A")
    assert (h.name, h.value) == (b"x-a", b"1")
    name, value = h
    assert tuple(h) == (b"x-a", b"1") and value == b"1"
    assert repr(Header("N", 5)) == "<Header N: 5>" and repr(h) == "<Header b'x-a': b'1'>"
    with pytest.raises(AttributeError):
        h.name = b"b"
    with pytest.raises(TypeError):
        hash(h)
    with pytest.raises(TypeError):
        Header(b"a")
    with pytest.raises(TypeError):
        Header(b"a", b"1", b"2")


@pytest.mark.parametrize("left, right, eq", [
    (Header(b"A", b"1"), Header(b"a", b"1"), True),
    (Header("A", b"1"), Header("a", b"1"), True),
    (Header(b"a", b"1"), Header("a", b"1"), False),
    (Header(b"a", b"1"), Header(b"a", b"2"), False),
    (Header(b"a", b"V"), Header(b"a", b"v"), False),
    (Header(b"a", 1), Header(b"a", 1.0), True),
])
def test_header_equality(left, right, eq):
    assert (left == right) is eq and (left != right) is not eq


def test_header_comparisons_with_other_types():
    h = Header(b"a", b"1")
    assert h != (b"a", b"1") and not h == (b"a", b"1")
    assert h.__eq__((b"a", b"1")) is NotImplemented and h.__lt__(h) is NotImplemented
    with pytest.raises(TypeError):
        h < h


def test_header_value_comparison_result_is_returned_unchanged():
    class V:
        def __eq__(self, other):
            return "same"

    assert (Header(b"a", V()) == Header(b"A", V())) == "same"
    assert (Header(b"a", V()) != Header(b"A", V())) is False
    assert Header(b"a", 1).__ne__(1) is NotImplemented


# --- subclasses and the direct-call table ---------------------------------------------


def test_subclass_overrides_reach_internal_calls():
    calls = []

    class Logged(Headers):
        def add(self, name, value):
            calls.append(("add", name))
            super().add(name, value)

        def contains(self, key):
            calls.append(("contains", key))
            return super().contains(key)

        def remove(self, key):
            calls.append(("remove", key))
            super().remove(key)

        def get(self, name):
            calls.append(("get", name))
            return ("override",)

    h = Logged()
    h.set(b"a", b"1")
    h[b"a"] = b"2"
    assert calls == [("contains", b"a"), ("add", b"a"), ("contains", b"a"), ("remove", b"a"), ("add", b"a")]
    assert h.values == [(b"a", b"2")]
    assert h.get_single(b"a") == "override" and h[b"a"] == ("override",)
    calls.clear()
    assert b"a" in h and calls == [("contains", b"a")]
    h += [(b"b", b"3")]
    assert ("add", b"b") in calls


def test_subclass_add_many_and_update_use_overrides():
    seen = []

    class Sub(Headers):
        def add(self, name, value):
            seen.append(name)

        def __setitem__(self, key, value):
            seen.append(("set", key))

    h = Sub()
    h.add_many([(b"a", b"1")])
    h.update({b"b": b"2"})
    assert seen == [b"a", ("set", b"b")] and h.values == []


def test_capsule_and_weak_references():
    assert type(mod._C_API).__name__ == "PyCapsule"
    for make_obj in (Headers, lambda: Header(b"a", b"1")):
        obj = make_obj()
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        assert ref() is None


def test_cycles_are_collected():
    h = Headers()
    h.add(b"self", h)
    ref = weakref.ref(h)
    del h
    gc.collect()
    assert ref() is None


def test_many_matches_keep_their_order():
    h = Headers([(b"a" if i % 2 else "A", str(i).encode()) for i in range(21)])
    assert h.get(b"a") == tuple(str(i).encode() for i in range(21))
    assert h.get("a")[-3:] == ("18", "19", "20")


def test_repeated_and_fresh_bytes_keys():
    h = make(*[(b"x-%d" % i, b"%d" % i) for i in range(100)])
    for _ in range(2):
        for i in range(100):
            assert h.get_first(b"x-%d" % i) == b"%d" % i  # new key objects each time
            assert h.get_first(b"X-%d" % i) == b"%d" % i


def test_remove_with_names_of_other_kinds():
    class Name:
        def __str__(self):
            return "X-A"

    h = Headers([(Name(), b"1"), (b"x-a", b"2"), (b"keep", b"k"), ("X-A", "3")])
    h.remove(b"x-a")
    assert h.values == [(b"keep", b"k")]
