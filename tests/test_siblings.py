from datetime import timedelta, timezone

import pytest

from keyhold import Identity
from velmora.sessions import Session
from velmora.utils import get_class_instance_hierarchy
from velmora.utils.time import utcnow


def test_class_instance_hierarchy_follows_the_mro():
    class A(Exception): ...
    class B(Exception): ...
    class C(A, B): ...

    assert list(get_class_instance_hierarchy(C())) == [C, A, B, Exception, BaseException, object]
    assert list(get_class_instance_hierarchy(1)) == [int, object]


def test_utcnow_is_aware_utc():
    now = utcnow()
    assert now.tzinfo is timezone.utc and now.utcoffset() == timedelta(0)


@pytest.mark.parametrize(
    "change, modified",
    [
        (lambda s: s.get("a"), False),
        (lambda s: "a" in s, False),
        (lambda s: s.update({}), False),
        (lambda s: s.pop("missing", None), False),
        (lambda s: s.__setitem__("b", 2), True),
        (lambda s: s.__delitem__("a"), True),
        (lambda s: s.pop("a"), True),
        (lambda s: s.update({"c": 3}), True),
        (lambda s: s.clear(), True),
    ],
)
def test_session_modified_flag(change, modified):
    session = Session({"a": 1})
    assert not session.modified
    change(session)
    assert session.modified is modified


def test_session_mapping():
    session = Session({"a": 1})
    session["b"] = [2]
    assert session == {"a": 1, "b": [2]} and session == Session({"b": [2], "a": 1})
    assert list(session) == ["a", "b"] and len(session) == 2 and session.to_dict() == {"a": 1, "b": [2]}
    with pytest.raises(KeyError):
        session.pop("z")


def test_identity():
    anonymous = Identity()
    assert anonymous.claims == {} and not anonymous.is_authenticated()
    user = Identity({"sub": "42"}, "Bearer")
    assert user.is_authenticated() and user["sub"] == "42" and user.get("x") is None
    assert not Identity({"sub": "42"}).is_authenticated()
