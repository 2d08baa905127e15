"""The native table that messages, keystone and scribe bind, driven through
ctypes with the layout of url_api.h."""

import ctypes
import importlib
from types import SimpleNamespace

import pytest

import velmora.url as url_module
from velmora.url import URL, InvalidURL

PyFn1 = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)
PyFn2 = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object)
PyFn4 = ctypes.PYFUNCTYPE(ctypes.py_object, *[ctypes.py_object] * 4)


class UrlMethods(ctypes.Structure):
    _fields_ = [("join", PyFn2), ("base_url", PyFn1), ("with_host", PyFn2),
                ("with_scheme", PyFn2), ("with_query", PyFn2)]


class UrlCapi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32),
                ("url_type", ctypes.c_void_p), ("invalid_url", ctypes.c_void_p),
                ("methods", ctypes.POINTER(UrlMethods)),
                ("join_prefix", PyFn2), ("build_absolute_url", PyFn4), ("url_from_bytes", PyFn1)]


@pytest.fixture(scope="module")
def ctypes_capi():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get(url_module._C_API, b"velmora.url._C_API")
    return UrlCapi.from_address(address)


@pytest.fixture(scope="module", params=["ctypes", "C++"])
def capi(request, ctypes_capi):
    """The table through its ctypes mirror, or through a C++ module that
    binds it with bind() and calls each entry as a sibling module does."""
    if request.param == "ctypes":
        return ctypes_capi
    consumer = importlib.import_module("velmora._url_consumer")
    return SimpleNamespace(methods=SimpleNamespace(contents=consumer), join_prefix=consumer.join_prefix,
                           build_absolute_url=consumer.build_absolute_url, url_from_bytes=consumer.url_from_bytes)


def test_header_and_objects(ctypes_capi):
    assert ctypes_capi.version == 1 and ctypes_capi.size == ctypes.sizeof(UrlCapi)
    assert ctypes_capi.url_type == id(URL) and ctypes_capi.invalid_url == id(InvalidURL)


def test_consumer_binds_the_objects_and_reads_the_layout():
    consumer = importlib.import_module("velmora._url_consumer")
    assert consumer.bound_objects() == (URL, InvalidURL)
    assert consumer.layout(URL(b"https://[::1]:8443/p?q#f")) == (
        b"https://[::1]:8443/p?q#f", b"https", b"::1", 8443, b"/p", b"q", b"f", True)
    assert consumer.layout(URL(b"./a")) == (b"/./a", None, None, 0, b"/./a", None, None, False)


def test_entry_points(capi):
    assert capi.join_prefix("api", "x") == "/api/x"
    assert capi.build_absolute_url(b"http", b"h", b"app/", b"x") == URL(b"http://h/app/x")
    u = capi.url_from_bytes(b"/a?b=1")
    assert type(u) is URL and u.query == b"b=1"
    with pytest.raises(InvalidURL, match="Input empty or null."):
        capi.url_from_bytes(None)
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        capi.url_from_bytes("/a")
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        capi.join_prefix("a", b"x")


def test_method_slots(capi):
    m = capi.methods.contents
    u = URL(b"http://h.com:8080/a?x#f")
    assert m.join(URL(b"/a/"), URL(b"/b")).value == b"/a/b"
    assert m.base_url(u).value == b"http://h.com:8080"
    assert m.with_host(u, b"o").value == b"http://o:8080/a?x#f"
    assert m.with_scheme(u, b"https").value == b"https://h.com:8080/a?x#f"
    assert m.with_query(u, b"").value == b"http://h.com:8080/a#f"
    with pytest.raises(ValueError, match="This URL is not absolute."):
        m.with_host(URL(b"/a"), b"o")


def test_method_slots_reach_overrides(capi):
    m = capi.methods.contents

    class Sub(URL):
        def base_url(self):
            return "sub base"

        def with_query(self, query):
            return ("sub query", query)

    s = Sub(b"http://h/a")
    assert m.base_url(s) == "sub base"
    assert m.with_query(s, b"q") == ("sub query", b"q")
    # Methods the subclass leaves alone run natively.
    assert m.with_host(s, b"o").value == b"http://o/a"
    # A method added to the class later is seen too.
    Sub.with_host = lambda self, host: "late"
    assert m.with_host(s, b"o") == "late"
