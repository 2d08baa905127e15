"""Contents: the url-encoded form reader on random text (escapes cut short,
invalid UTF-8, surrogates, repeated keys) against the standard library's
reader; on evil runs, str subclasses whose hooks run mid-parse."""

from __future__ import annotations

from typing import Any
from urllib.parse import parse_qs

from evil import EvilStr
from targets import Run, plain_or_evil

from velmora.contents import parse_www_form_urlencoded

EXPECTED = (TypeError, ValueError, UnicodeError)

PIECES = ["a", "b", "=", "&", "%", "%4", "%41", "%C3", "%c3%a9", "%ff", "+", " ", ";", "\x00", "%zz", "==",
          "%2", "\xe9", "\u20ac", "\U0001f600", "%F0%9F%98", "&&", "a=1", "a=2", "%25", "%26", "%3D"]
ODD = ["\ud800", "\udfff", "\udc80a"]


def model(text: str) -> dict[str, str | list[str]]:
    return {k: v[0] if len(v) == 1 else v for k, v in parse_qs(text, keep_blank_values=True).items()}


def random_text(run: Run, odd: bool) -> str:
    rng = run.rng
    pieces = PIECES + ODD if odd else PIECES
    return "".join(rng.choice(pieces) for _ in range(rng.randrange(rng.choice((4, 12, 60)))))


def plain(run: Run) -> None:
    odd = run.rng.random() < 0.2
    text = random_text(run, odd)
    run.log("parse_www_form_urlencoded", text)
    try:
        got = parse_www_form_urlencoded(text)
    except UnicodeError:
        run.check(odd, f"{text!r} refused")
        return
    if not odd:
        want = model(text)
        run.check(got == want, f"{text!r} read as {got!r}, expected {want!r}")


def evil(run: Run) -> None:
    rng = run.rng
    arg: Any = rng.choice([EvilStr(random_text(run, False)), random_text(run, True).encode("utf-8", "surrogatepass"),
                           None, 5, bytearray(b"a=1")])
    run.log("parse_www_form_urlencoded", arg)
    try:
        parse_www_form_urlencoded(arg)
    except Exception as exc:
        run.log("raised", type(exc).__name__)


one = plain_or_evil(plain, evil, EXPECTED)
