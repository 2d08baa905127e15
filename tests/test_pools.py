"""The request and response pools: what acquire stores, what release clears,
which objects are pooled at all, and the request's scratchpad arena."""

from __future__ import annotations

import gc
import io
import random
import weakref

import pytest

from velmora import _messages_consumer as consumer
from velmora import messages
from velmora.contents import Content, FormPart
from velmora.messages import (
    MAX_FREELIST_CAPACITY,
    REQ_FREELIST,
    RESP_FREELIST,
    Request,
    Response,
    acquire_request,
    acquire_response,
    release_request,
    release_response,
)


@pytest.fixture(autouse=True)
def empty_pools():
    REQ_FREELIST.clear()
    RESP_FREELIST.clear()
    yield
    REQ_FREELIST.clear()
    RESP_FREELIST.clear()


class Disposable(Content):
    def __init__(self, log):
        super().__init__(b"text/plain", b"x")
        self.log = log

    def dispose(self):
        self.log.append("dispose")


def file_part(name="f"):
    return FormPart(name=name.encode(), data=io.BytesIO(b"data"), file_name=b"a.txt", content_type=b"text/plain",
                    size=4, charset=None)


def test_capacity_and_release_none():
    assert MAX_FREELIST_CAPACITY == 512
    release_request(None)
    release_response(None)
    requests = [Request.incoming("GET", b"/", b"", None, None) for _ in range(513)]
    for r in requests:
        r.state = "kept"
        release_request(r)
    assert len(REQ_FREELIST) == 512
    assert requests[-1].state == "kept" and requests[0].state is None  # the 513th is not reset
    responses = [acquire_response(201) for _ in range(513)]
    for r in responses:
        release_response(r)
    assert len(RESP_FREELIST) == 512 and responses[-1].status == 201


def test_release_resets_every_request_field():
    log = []
    r = Request.incoming("POST", b"/p", b"a=1", [(b"host", b"h"), (b"cookie", b"c=1")], {"scheme": "https"})
    r.url
    r.host
    r.user
    r.headers
    r.route_values, r.state, r._session, r.services, r.context, r._context = {}, 1, 2, 3, 4, 5
    r._di_scope, r._base_path, r._original_client_ip, r._scheme = 6, "/b", "1.2.3.4", "https"
    r._is_disconnected = True
    r.scope_protocol = object()
    r.content = Disposable(log)
    form_file = file_part()
    r._form_data = {"f": [form_file]}
    release_request(r)
    assert log == ["dispose"] and form_file.file.closed
    f = consumer.layout(r)
    assert (f["method"], f["_path"], f["_raw_query"]) == ("", "", "")
    assert f["_raw_headers"] == []
    cleared = [n for n in f if n not in ("method", "_path", "_raw_query", "_raw_headers")
               and not n.startswith("arena") and n != "_arena_initialized"]
    assert {n: f[n] for n in cleared} == dict.fromkeys(cleared)
    again = Request.incoming("GET", b"/n", b"", None, None)
    assert again is r and again.method == "GET" and again.get_headers(b"host") == []


def test_release_resets_every_response_field():
    log = []
    r = acquire_response(404, [(b"x", b"1")], Disposable(log))
    r.headers
    r.state, r.context, r._context, r.scope_protocol = 1, 2, 3, 4
    form_file = file_part()
    r._form_data = {"f": (form_file,)}
    release_response(r)
    assert log == ["dispose"] and form_file.file.closed
    assert (r.status, r.state, r.context, r._context, r.scope_protocol, r._form_data, r.content) == (
        200, None, None, None, None, None, None)
    assert consumer.layout(r)["_headers"] is None and r.headers.values == []
    headers = [(b"a", b"b")]
    again = acquire_response(201, headers)
    assert again is r and again.status == 201 and again.headers.values is headers
    assert acquire_response().headers.values == []


def test_a_second_release_is_a_no_op():
    r = Request.incoming("GET", b"/", b"", None, None)
    release_request(r)
    release_request(r)
    resp = acquire_response()
    release_response(resp)
    release_response(resp)
    assert len(REQ_FREELIST) == 1 and len(RESP_FREELIST) == 1
    a = Request.incoming("GET", b"/", b"", None, None)
    b = Request.incoming("GET", b"/", b"", None, None)
    assert a is r and b is not a
    release_request(a)
    assert REQ_FREELIST == [a]


def test_subclass_instances_are_not_pooled():
    class Mine(Request):
        def reset(self):
            raise AssertionError("a subclass is never reset by the pool")

    class MyResponse(Response):
        pass

    r = Mine("GET", b"/", None)
    r.state = "mine"
    release_request(r)
    release_response(MyResponse(200))
    assert REQ_FREELIST == [] and RESP_FREELIST == [] and r.state == "mine"
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None


def test_a_failing_reset_propagates_and_the_object_stays_out():
    class Failing(Content):
        def dispose(self):
            raise RuntimeError("dispose failed")

    r = Request.incoming("GET", b"/", b"", None, None)
    r.content = Failing(b"text/plain", b"x")
    with pytest.raises(RuntimeError, match="dispose failed"):
        release_request(r)
    assert REQ_FREELIST == [] and r.content is None
    resp = acquire_response(200, None, Failing(b"text/plain", b"x"))
    with pytest.raises(RuntimeError):
        release_response(resp)
    assert RESP_FREELIST == []


def test_reset_and_dispose_called_directly():
    log = []
    r = Request("GET", b"/x", None)
    form_file = file_part()
    r._form_data = {"f": [form_file], "plain": "value"}
    r.content = Disposable(log)
    assert r.dispose() is None
    assert form_file.file.closed and log == ["dispose"] and r._form_data is not None and r.content is not None
    r.reset()
    assert (r.method, r._form_data, r.content) == ("", None, None)
    resp = Response(500)
    resp.reset()
    assert resp.status == 200


def test_arena_lives_with_the_request():
    r = Request.incoming("GET", b"/", b"", None, None)
    assert r.scratchpad_arena_stats() == (0, 0, False)
    assert consumer.alloc_scratchpad(r, 100, 64) % 64 == 0
    capacity, offset, initialised = r.scratchpad_arena_stats()
    assert (capacity, initialised) == (65536, True) and offset >= 100
    release_request(r)
    again = Request.incoming("GET", b"/", b"", None, None)
    assert again is r and again.scratchpad_arena_stats() == (65536, 0, True)
    assert consumer.alloc_scratchpad(again, 10, 8) is not None
    assert not hasattr(again, "alloc_scratchpad")  # direct-call only


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: acquire_request(b"GET", b"/", b"", None, None), TypeError, "'method'"),
        (lambda: acquire_request("GET", b"/", b"", (), None), TypeError, "'headers'"),
        (lambda: acquire_response(200, ()), TypeError, "'headers'"),
        (lambda: acquire_response(200, None, "body"), TypeError, "'content'"),
        (lambda: acquire_response(2**31), OverflowError, None),
        (lambda: release_request(Response(200)), TypeError, "'request'"),
        (lambda: release_response(Request("GET", None, None)), TypeError, "'response'"),
    ],
)
def test_argument_checks(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_native_consumer_runs_whole_exchanges():
    # acquire, read, write, scratch memory and release, all through the table
    assert consumer.exchange_cycles(1000) == 1000
    assert 0 < len(REQ_FREELIST) <= 1 and 0 < len(RESP_FREELIST) <= 1
    r = REQ_FREELIST[0]
    assert r.scratchpad_arena_stats()[1] == 0 and r.method == "" and r.headers.values == []


def test_no_state_crosses_between_pooled_exchanges():
    rnd = random.Random(7)
    seen_ids = set()
    for i in range(100_000):
        n = rnd.randrange(4)
        headers = [(b"x-%d" % k, b"%d" % i) for k in range(n)]
        r = Request.incoming("GET" if i % 2 else "POST", b"/p/%d" % i, b"i=%d" % i, headers, {"n": i})
        assert r.method in ("GET", "POST") and r.get_query_param("i") == str(i)
        assert r.get_headers(b"x-0") == ([b"%d" % i] if n else [])
        assert (r._host, r._user, r.state, r.content, r._form_data, r.context, r._context) == (None,) * 7
        if i % 3 == 0:
            r.state, r.context, r._context, r._host = i, i, i, "h%d" % i
            r.content = Content(b"text/plain", b"%d" % i)
        resp = acquire_response(200 + i % 300, [(b"x-r", b"%d" % i)] if i % 5 else None)
        assert resp.headers.values == ([(b"x-r", b"%d" % i)] if i % 5 else [])
        assert (resp.state, resp.context, resp._context, resp.content) == (None,) * 4
        if i % 4 == 0:
            resp.state, resp.context, resp._context = i, i, i
        seen_ids.add(id(r))
        release_request(r)
        release_response(resp)
    assert len(seen_ids) == 1
    assert len(REQ_FREELIST) == 1 and len(RESP_FREELIST) == 1


def test_pools_are_the_module_lists():
    assert messages.REQ_FREELIST is REQ_FREELIST and isinstance(REQ_FREELIST, list)


def test_reset_sets_identity_through_a_subclass_property():
    seen = []

    class Tracked(Request):
        @property
        def identity(self):
            return self._user

        @identity.setter
        def identity(self, value):
            seen.append(value)
            self._user = value

    r = Tracked("GET", b"/", None)
    r.identity = "someone"
    r.reset()
    assert seen == ["someone", None] and r._user is None
