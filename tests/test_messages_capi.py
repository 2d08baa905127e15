"""The table velmora.messages publishes, used from a module compiled
against messages_api.h: the layouts read back what Python sees, every slot
reaches the native code or a subclass's override, and the entry points
behave like the Python functions."""

from __future__ import annotations

import pytest

from velmora import _messages_consumer as consumer
from velmora.contents import Content
from velmora.messages import REQ_FREELIST, RESP_FREELIST, Message, Request, Response



def call(name, obj, *args):
    """The slot `name` of the table for the object's class."""
    prefix = "request_" if isinstance(obj, Request) else "response_" if isinstance(obj, Response) else "message_"
    if name == "alloc_scratchpad":
        return consumer.alloc_scratchpad(obj, *args)
    return getattr(consumer, prefix + name)(obj, *args)


def entry(name, *args):
    return getattr(consumer, name)(*args)


def test_layouts_match_the_python_view():
    r = Request("GET", b"/p?q=1", [(b"host", b"h")])
    r.route_values = {"id": 1}
    r.state, r._context, r.context = "s", "private", "public"
    f = consumer.layout(r)
    python_names = [n for n in f if not n.startswith("arena") and n not in ("_raw_headers", "_arena_initialized")]
    for name in python_names:
        assert f[name] is getattr(r, name), name
    assert f["_raw_headers"] is r.headers.values
    assert (f["arena_capacity"], f["_arena_initialized"]) == (0, 0)
    resp = Response(418, None, Content(b"text/plain", b"x"))
    resp.state, resp._context = 1, 2
    g = consumer.layout(resp)
    assert (g["status"], g["state"], g["_context"], g["content"]) == (418, 1, 2, resp.content)


def test_tables_share_the_message_slots():
    assert consumer.tables_share_message_slots()


@pytest.mark.parametrize("kind", [Message, Request, Response])
def test_message_slots(kind):
    m = kind.__new__(kind)
    assert call("_ensure_raw_headers", m) == 0
    assert call("add_header", m, b"X-A", b"1") == 0
    assert call("_add_header", m, "x-a", "2") == 0
    assert call("_add_header_if_missing", m, b"x-a", b"3") == 0
    assert call("_add_header_if_missing", m, b"x-b", b"4") == 0
    assert call("get_headers", m, b"x-a") == [b"1", b"2"]
    assert call("get_first_header", m, "x-b") == "4"
    assert call("get_single_header", m, b"x-b") == b"4"
    assert call("has_header", m, b"x-b") == 1 and call("_has_header", m, b"nope") == 0
    tuples = call("get_headers_tuples", m, b"X-A")
    assert tuples == [(b"X-A", b"1"), ("x-a", "2")]
    assert call("remove_headers", m, tuples[:1]) == 0
    assert m.get_headers(b"x-a") == [b"2"]
    assert call("set_header", m, b"x-a", b"9") == 0 and call("remove_header", m, b"x-b") == 0
    assert m.headers.values == [(b"x-a", b"9")]
    assert call("content_type", m) is None and call("has_body", m) == 0
    content = Content(b"application/problem+json", b"{}")
    assert call("with_content", m, content) is m
    assert (call("declares_json", m), call("declares_xml", m), call("has_body", m)) == (1, 0, 1)
    assert call("declares_content_type", m, "PROBLEM") == 1


def test_remove_headers_of_a_missing_tuple_fails():
    m = Message([(b"a", b"1")])
    with pytest.raises(ValueError):
        call("remove_headers", m, [(b"a", b"2")])
    with pytest.raises(TypeError):
        call("remove_headers", m, ((b"a", b"1"),))
    assert m.headers.values == [(b"a", b"1")]


def test_init_prop_sets_only_missing_attributes():
    class WithProps(Message):
        present = "class value"

        @property
        def broken(self):
            raise KeyError("not an attribute error")

    m = WithProps(None)
    assert call("init_prop", m, "fresh", 1) == 0 and m.fresh == 1
    assert call("init_prop", m, "present", 2) == 0 and m.present == "class value"
    with pytest.raises(KeyError):
        call("init_prop", m, "broken", 3)
    with pytest.raises(AttributeError):
        call("init_prop", Message(None), "fresh", 1)  # no instance dict to set it in


def test_request_and_response_slots():
    r = Request.incoming("GET", b"/", b"a=1&a=2", [(b"expect", b"100-continue")], None)
    assert call("get_query_param", r, "a", None) == "1"
    assert call("get_query_params", r, "a") == ["1", "2"]
    assert call("expect_100_continue", r) == 1
    assert call("alloc_scratchpad", r, 100, 64) % 64 == 0
    assert r.scratchpad_arena_stats()[0] == 65536 and r.scratchpad_arena_stats()[2] is True
    assert call("alloc_scratchpad", r, 1 << 20, 64) is None
    assert call("is_redirect", Response(308)) == 1 and call("is_redirect", Response(304)) == 0


def test_overrides_are_reached_through_the_table():
    seen = []

    class Custom(Request):
        def get_first_header(self, key):
            seen.append(key)
            return b"from override"

        def has_body(self):
            return "truthy"

        def get_query_params(self, name):
            return ["over"]

        def add_header(self, key, value):
            seen.append((key, value))

    r = Custom("GET", None, None)
    assert call("get_first_header", r, b"x") == b"from override"
    assert call("has_body", r) == 1
    assert call("get_query_params", r, "a") == ["over"]
    assert call("add_header", r, b"k", b"v") == 0
    # direct-call-only slots are never overridden
    assert call("_add_header", r, b"k", b"v") == 0
    assert r.headers.values == [(b"k", b"v")]
    assert seen == [b"x", (b"k", b"v")]


def test_failing_override_reports_the_error():
    class Failing(Message):
        def has_header(self, key):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        call("has_header", Failing(None), b"x")


def test_entry_points():
    r = Request.incoming("OPTIONS", b"/p", b"", [(b"host", b"h"), (b"origin", b"o"),
                                                  (b"access-control-request-method", b"PUT")],
                         {"scheme": "https", "root_path": ""})
    assert entry("ensure_bytes", "é") == "é".encode()
    assert entry("method_without_body", "HEAD") == 1 and entry("method_without_body", 5) == 0
    assert entry("is_cors_request", r) == 1 and entry("is_cors_preflight_request", r) == 1
    assert entry("get_request_absolute_url", r).value == b"https://h/p"
    assert entry("get_absolute_url_to_path", r, b"x").value == b"https://h/x"
    method = entry("intern_method_str", "".join(["P", "UT"]))
    assert method is entry("intern_method_str", "PUT")
    name = entry("intern_header_name_bytes", b"".join([b"ho", b"st"]))
    assert name is entry("intern_header_name_bytes", b"host")
    assert entry("intern_header_name_bytes", b"Host") == b"Host"


def test_pooled_constructors():
    r = entry("acquire_request", "GET", b"/a", b"x=1", [(b"host", b"h")], None)
    assert isinstance(r, Request) and (r.path, r.get_query_param("x")) == ("/a", "1")
    with pytest.raises(TypeError, match="Argument 'method'"):
        entry("acquire_request", b"GET", b"/", b"", None, None)
    assert entry("acquire_response").status == 200
    headers = [(b"a", b"1")]
    resp = entry("acquire_response", 201, headers)
    assert resp.status == 201 and resp.headers.values is headers


def test_slots_alternating_between_classes():
    class Custom(Response):
        def get_first_header(self, key):
            return b"custom"

    objects = [Request("GET", None, [(b"a", b"r")]), Response(200, [(b"a", b"s")]), Custom(200), Message([])]
    for _ in range(3):
        assert [call("get_first_header", o, b"a") for o in objects] == [b"r", b"s", b"custom", None]


def test_table_type_checks_and_unfinished_slots():
    with pytest.raises(TypeError):
        consumer.request_get_query_params(Response(200), "a")
    assert consumer.message_get_first_header(Request("GET", None, [(b"a", b"1")]), b"a") == b"1"
    consumer.release_request(None)
    consumer.release_response(None)
    r, resp = Request("GET", None, None), Response(500)
    assert consumer.request_reset(r) == 0 and consumer.response_reset(resp) == 0
    assert (r.method, resp.status) == ("", 200)
    consumer.release_request(r)
    consumer.release_response(resp)
    assert REQ_FREELIST[-1] is r and RESP_FREELIST[-1] is resp
    assert consumer.acquire_request("GET", b"/", b"", None, None) is r and consumer.acquire_response() is resp
