"""The table velmora.headers publishes to its siblings, driven through ctypes:
each slot reaches the native method or, for a subclass that redefines it,
the Python override; failures come back as the pending exception."""

from __future__ import annotations

import ctypes
import importlib
from types import SimpleNamespace

import pytest

from velmora import headers as mod
from velmora.headers import Header, Headers

P = ctypes.py_object
INT = ctypes.c_int
F = ctypes.PYFUNCTYPE

SLOTS = [
    ("keys", F(P, P)),
    ("clone", F(P, P)),
    ("get", F(P, P, P)),
    ("get_tuples", F(P, P, P)),
    ("add", F(INT, P, P, P)),
    ("set", F(INT, P, P, P)),
    ("get_single", F(P, P, P)),
    ("get_first", F(P, P, P)),
    ("remove", F(INT, P, P)),
    ("merge", F(INT, P, P)),
    ("contains", F(ctypes.c_bool, P, P)),
]


class Methods(ctypes.Structure):
    _fields_ = SLOTS


class Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("size", ctypes.c_uint32),
        ("header_type", P),
        ("headers_type", P),
        ("methods", ctypes.POINTER(Methods)),
        ("intern_header_name_bytes", F(P, P)),
        ("simd_lower_bytes", F(P, P)),
    ]


@pytest.fixture(scope="module")
def ctypes_table():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get(mod._C_API, b"velmora.headers._C_API")
    return Table.from_address(address)


@pytest.fixture(scope="module", params=["ctypes", "C++"])
def table(request, ctypes_table):
    """The table through its ctypes mirror, or through a C++ module that
    binds it with bind() and calls each slot as a sibling module does."""
    if request.param == "ctypes":
        return ctypes_table
    consumer = importlib.import_module("velmora._headers_consumer")
    return SimpleNamespace(methods=SimpleNamespace(contents=consumer),
                           intern_header_name_bytes=consumer.intern_header_name_bytes,
                           simd_lower_bytes=consumer.simd_lower_bytes)


def test_header_and_types(ctypes_table):
    assert (ctypes_table.version, ctypes_table.size) == (1, ctypes.sizeof(Table))
    assert ctypes_table.header_type is Header and ctypes_table.headers_type is Headers


def test_consumer_binds_the_types_and_reads_the_layouts():
    consumer = importlib.import_module("velmora._headers_consumer")
    assert consumer.bound_types() == (Header, Headers)
    values = [(b"a", b"1")]
    assert consumer.layout(Headers(values))[0] is values
    assert consumer.layout(Header(b"Content-Type", "x")) == (b"content-type", "x")
    with pytest.raises(TypeError, match="Argument 'self' has incorrect type"):
        consumer.get([], b"a")


def test_slots_call_the_native_methods(table):
    m = table.methods.contents
    h = Headers()
    assert m.add(h, b"Content-Type", b"1") == 0 and m.add(h, "X-A", "2") == 0
    assert m.get(h, b"content-type") == (b"1",) and m.get_first(h, "x-a") == "2"
    assert m.get_tuples(h, b"X-A") == [("X-A", "2")] and m.get_single(h, "CONTENT-TYPE") == "1"
    assert m.contains(h, b"x-a") and not m.contains(h, b"absent")
    assert m.set(h, b"x-a", b"3") == 0 and h.values == [(b"content-type", b"1"), (b"x-a", b"3")]
    assert m.merge(h, [None, (b"m", b"4")]) == 0 and m.keys(h) == (b"content-type", b"x-a", b"m")
    assert m.remove(h, b"M") == 0 and m.clone(h).values == h.values


def test_slot_failures_leave_the_exception(table):
    m = table.methods.contents
    h = Headers([(b"a", b"1")])
    with pytest.raises(UnicodeEncodeError):
        m.contains(h, "\u20ac")
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        m.merge(h, [[b"b", b"2"]])
    with pytest.raises(ValueError, match="does not contain"):
        m.get_single(h, b"b")
    with pytest.raises(AttributeError):
        m.add(Headers.__new__(Headers), b"a", b"1")


def test_slots_run_python_overrides(table):
    m = table.methods.contents
    calls = []

    class Sub(Headers):
        def get(self, name):
            calls.append("get")
            return ("override",)

        def contains(self, key):
            calls.append("contains")
            return key == b"yes"

        def add(self, name, value):
            calls.append("add")
            super().add(name, value)

        def remove(self, key):
            raise RuntimeError("remove failed")

    h = Sub()
    assert m.get(h, b"a") == ("override",) and m.get_single(h, b"a") == "override"
    assert m.contains(h, b"yes") and not m.contains(h, b"no")
    assert m.add(h, b"a", b"1") == 0 and m.set(h, b"b", b"2") == 0
    with pytest.raises(RuntimeError, match="remove failed"):
        m.set(h, b"yes", b"3")
    assert calls == ["get", "get", "contains", "contains", "add", "contains", "add", "contains"]
    assert m.get_first(h, b"a") == b"1"  # not overridden: the native method


def test_name_helpers(table):
    shared = Header(b"content-type", b"").name
    assert table.intern_header_name_bytes(b"Content-Type") is shared
    assert table.intern_header_name_bytes(b"content-type") is shared
    custom = b"x-custom"
    assert table.intern_header_name_bytes(custom) is custom
    assert table.intern_header_name_bytes(b"X-Custom") == b"x-custom"
    assert table.intern_header_name_bytes(None) is None
    assert table.simd_lower_bytes(b"AbC-" * 20) == b"abc-" * 20
    assert table.simd_lower_bytes(custom) is custom
    assert table.simd_lower_bytes(b"") == b"" and table.simd_lower_bytes(None) is None
