"""What every native type of the package shares: weak references, Python
subclasses, and base types that refuse attribute assignment so that the
direct-call tables never bypass a method replaced on the base class."""

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
