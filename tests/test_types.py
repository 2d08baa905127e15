"""What every native type of the package shares: weak references, Python
subclasses, and base types that refuse attribute assignment so that the
direct-call tables never bypass a method replaced on the base class."""

import re
import weakref

import pytest

from velmora import cookies, headers, routing, url


class Route:
    pattern = "/x"
    handler = None


INSTANCES = {
    headers.Header: lambda cls: cls(b"a", b"1"),
    headers.Headers: lambda cls: cls(),
    url.URL: lambda cls: cls(b"/a"),
    cookies.Cookie: lambda cls: cls("a", "1"),
    routing.RadixNode: lambda cls: cls(),
    routing.RadixTree: lambda cls: cls(),
    routing.RouteMatch: lambda cls: cls(Route()),
    routing.RadixRouter: lambda cls: cls(),
}

TYPES = pytest.mark.parametrize("cls", list(INSTANCES), ids=lambda c: c.__name__)


@TYPES
def test_instances_support_weak_references(cls):
    obj = INSTANCES[cls](cls)
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj
    assert ref() is None


@TYPES
def test_python_subclasses_work_and_may_override(cls):
    sub = type("Sub", (cls,), {"extra": lambda self: 42, "__repr__": lambda self: "sub"})
    obj = INSTANCES[cls](sub)
    assert isinstance(obj, cls) and obj.extra() == 42 and repr(obj) == "sub"
    obj.anything = 1  # subclasses get a __dict__
    assert obj.anything == 1


IMMUTABLE = [headers.Header, headers.Headers, url.URL, cookies.Cookie]


@pytest.mark.parametrize("cls", IMMUTABLE, ids=lambda c: c.__name__)
def test_base_types_are_immutable(cls):
    with pytest.raises(TypeError):
        cls.injected = lambda self: None
    name = next(n for n in vars(cls) if not n.startswith("__"))
    with pytest.raises(TypeError):
        setattr(cls, name, lambda self, *a: None)


H = headers.Headers([(b"a", b"1")])
CALLS = [
    (lambda: H.get(), "get() missing required argument 'name' (pos 1)"),
    (lambda: H.get(b"a", b"b"), "get() takes exactly 1 positional argument (2 given)"),
    (lambda: H.add(b"a", nme=b"1"), "add() got an unexpected keyword argument 'nme'"),
    (lambda: H.add(b"a", name=b"b"), "add() got multiple values for argument 'name'"),
    (lambda: H.keys(1), "keys() takes no arguments (1 given)"),
    (lambda: headers.Headers._add_to_instance(H), "_add_to_instance() missing required argument 'other' (pos 2)"),
    (lambda: url.URL(b"/a").join(), "join() missing required argument 'other' (pos 1)"),
    (lambda: url.join_prefix("a"), "join_prefix() missing required argument 'path' (pos 2)"),
    (lambda: cookies.parse_cookie(raw=b"a=1"), "parse_cookie() got an unexpected keyword argument 'raw'"),
]


@pytest.mark.parametrize("call, message", CALLS, ids=[m[:30] for _, m in CALLS])
def test_methods_and_functions_check_their_arguments(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_keywords_reach_the_same_implementation():
    assert H.get(name=b"A") == H.get(b"A") == (b"1",)
    assert H.contains(key="a") is True
    assert url.join_prefix(path="x", prefix="api") == "/api/x"
    assert cookies.parse_cookie(raw_value=b"a=1").value == "1"
