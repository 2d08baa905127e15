"""Scribe: server-sent events with line breaks and NULs in every field, read
back as an event-stream reader would (no field may be injected, data lines
join back to the data), and the content headers written on random header
lists; on evil runs, write_data overrides and header entries whose hooks
change the event or the list being walked."""

from __future__ import annotations

import re
from typing import Any

from evil import Evil, EvilBytes, EvilStr, fresh
from targets import Run, plain_or_evil

from velmora.contents import Content, ServerSentEvent, TextServerSentEvent
from velmora.messages import Response
from velmora.scribe import set_headers_for_response_content, write_sse

EXPECTED = (TypeError, ValueError, UnicodeError)

PIECES = ["a", "b", " ", ":", "\r", "\n", "\r\n", "\n\r", "\x00", "id: 6", "data: x", "retry: 1", "event: e",
          "\xe9", "\u2028", "\x85", "\u20ac"]
BREAKS = re.compile(r"\r\n|\r|\n")


def piece_text(run: Run) -> str:
    return "".join(run.rng.choice(PIECES) for _ in range(run.rng.randrange(run.rng.choice((3, 10)))))


def read_back(raw: bytes) -> list[tuple[str, str]]:
    """The fields an event-stream reader sees in one event (comments under ":")."""
    text = raw.decode("utf-8")
    lines = BREAKS.split(text)
    # One event: the lines, then the blank line that ends it, nothing after.
    if lines[-2:] != ["", ""] and text != "\n":
        raise ValueError(f"event not ended by a blank line: {raw!r}")
    fields = []
    for line in lines[:-2]:
        if not line:
            raise ValueError(f"blank line inside the event: {raw!r}")
        name, colon, value = line.partition(":")
        value = value[1:] if value.startswith(" ") else value
        fields.append((name or ":", value if colon else ""))
    return fields


def expected_fields(data: str, event: str | None, id: str | None, retry: int,
                    comment: str | None) -> list[tuple[str, str]]:
    out = []
    if id:
        out.append(("id", BREAKS.sub("", id)))
    if comment:
        out += [(":", line) for line in BREAKS.split(comment)]
    if event:
        out.append(("event", BREAKS.sub("", event)))
    if data:
        out += [("data", line) for line in BREAKS.split(data)]
    if retry >= 0:
        out.append(("retry", str(retry)))
    return out


def sse_plain(run: Run) -> None:
    rng = run.rng
    data = piece_text(run)
    kwargs: dict[str, Any] = {}
    for field in ("event", "id", "comment"):
        if rng.random() < 0.5:
            kwargs[field] = piece_text(run)
    kwargs["retry"] = rng.choice([-1, 0, 5, 2**40])
    run.log("write_sse", data, *kwargs.items())
    raw = write_sse(TextServerSentEvent(data, **kwargs))
    try:
        fields = read_back(raw)
    except ValueError as exc:
        run.check(False, str(exc))
        return
    want = expected_fields(data, kwargs.get("event"), kwargs.get("id"), kwargs["retry"], kwargs.get("comment"))
    run.check(fields == want, f"{raw!r} reads back as {fields!r}, expected {want!r}")


HEADER_NAMES = [b"content-type", b"Content-Type", b"content-length", b"CONTENT-LENGTH", b"transfer-encoding",
                b"x-a", "content-type", "Content-Length"]


def a_content(run: Run) -> Any:
    rng = run.rng
    roll = rng.random()
    if roll < 0.2:
        return None
    body = rng.choice([b"", b"abc", b"x" * 70000])
    return Content(rng.choice([b"text/plain", b"application/json", b"", b"a/b; charset=\xff"]), body)


def headers_plain(run: Run) -> None:
    rng = run.rng
    headers = [(rng.choice(HEADER_NAMES), rng.choice([b"1", b"text/html", "3", b""])) for _ in range(rng.randrange(4))]
    content = a_content(run)
    run.log("Response", headers, content)
    response = Response(rng.choice([200, 204, 304, 404]), list(headers), content)
    set_headers_for_response_content(response)
    values = response.headers.values
    run.check(values[:len(headers)] == headers, f"declared headers changed: {values!r}")
    added = values[len(headers):]
    names = [n.lower() if type(n) is bytes else n.lower().encode() for n, _ in values]
    for name in (b"content-type", b"content-length"):
        run.check(names.count(name) <= max(1, [n.lower() if type(n) is bytes else n.lower().encode()
                                                for n, _ in headers].count(name)),
                  f"{name!r} repeated: {values!r}")
    declared = {n.lower() if type(n) is bytes else n.lower().encode() for n, _ in headers}
    if content is not None and not declared & {b"content-length", b"transfer-encoding"}:
        run.check((b"content-length", str(len(content.body)).encode()) in added, f"no content-length: {values!r}")


def plain(run: Run) -> None:
    (sse_plain if run.rng.random() < 0.6 else headers_plain)(run)


def evil(run: Run) -> None:
    rng = run.rng
    events: list[Any] = []
    responses: list[Response] = []

    class Odd(ServerSentEvent):
        def write_data(self) -> Any:
            run_chaos("write_data")
            return rng.choice([piece_text(run), EvilStr(piece_text(run)), None, b"x", 5, "\udc80"])

    def run_chaos(where: str) -> None:
        from evil import fire
        fire(where)

    def an_event() -> Any:
        cls, data = event_class_and_data()
        return cls(data, **event_fields())

    def event_fields() -> dict[str, Any]:
        fields: dict[str, Any] = {f: rng.choice([EvilStr(piece_text(run)), None, piece_text(run)])
                                  for f in ("event", "id", "comment") if rng.random() < 0.5}
        fields["retry"] = rng.choice([-1, 3]) if rng.random() < 0.95 else Evil("abc")
        return fields

    def event_class_and_data() -> tuple[Any, Any]:
        kind = rng.randrange(3)
        cls = (TextServerSentEvent, ServerSentEvent, Odd)[kind]
        data: Any = piece_text(run) if kind == 0 else rng.choice([{"a": piece_text(run)}, [1, 2], None, EvilStr("x")])
        return cls, data

    def an_entry() -> Any:
        name = rng.choice([EvilStr("content-type"), EvilBytes(b"content-length"), Evil("Content-Length"),
                           b"content-type", b"x-a"])
        return (name, rng.choice([EvilBytes(b"1"), Evil("x"), b"2", "3"]))

    def refield(rng):
        # Events are read-only; re-running __init__ is the way to change one.
        if events:
            rng.choice(events).__init__(fresh(rng, "a\r\n"), id=fresh(rng, "a\r\n"), event=fresh(rng, "b\n"),
                                        comment=rng.choice([None, fresh(rng, "c\r")]))

    def clear(rng):
        if responses:
            rng.choice(responses).headers.values.clear()

    def grow(rng):
        if responses:
            rng.choice(responses).headers.values.extend(an_entry() for _ in range(rng.randrange(1, 30)))

    def recontent(rng):
        if responses:
            rng.choice(responses).content = a_content(run)

    for name, fn in (("refield", refield), ("clear", clear), ("grow", grow), ("recontent", recontent)):
        run.on(name, fn)
    for _ in range(rng.randrange(1, 8)):
        try:
            if rng.random() < 0.5:
                try:
                    events.append(an_event())
                except Exception as exc:
                    run.log("event raised", type(exc).__name__)
                    continue
                run.log("write_sse")
                write_sse(rng.choice(events))
            else:
                entries = [an_entry() for _ in range(rng.randrange(5))]
                # The constructor refuses bytes subclasses as names; the raw list takes them.
                response = Response(200, [e for e in entries if not isinstance(e[0], EvilBytes)], a_content(run))
                response.headers.values.extend(e for e in entries if isinstance(e[0], EvilBytes))
                responses.append(response)
                run.log("set_headers_for_response_content")
                set_headers_for_response_content(rng.choice(responses))
        except Exception as exc:
            run.log("raised", type(exc).__name__)


one = plain_or_evil(plain, evil, EXPECTED)
