import asyncio
import hashlib
import io
import tracemalloc

import httpx
import pytest

from velmora.exceptions import BadRequest, InvalidOperation, MessageAborted, PayloadTooLarge
from velmora.multipart import get_boundary_from_header, parse_multipart_async
from velmora.settings.limits import limits


@pytest.fixture(autouse=True)
def default_limits():
    limits.reset()
    yield
    limits.reset()


_BLOCK = bytes(range(251)) * 1024


class Pattern(io.RawIOBase):
    """A file of `size` bytes made on the fly, so that the test holds no upload either."""

    def __init__(self, size):
        self.size = size
        self.pos = 0

    def readable(self):
        return True

    def read(self, n=65536):
        n = min(n, self.size - self.pos, len(_BLOCK) - 251)
        offset = self.pos % 251
        self.pos += n
        return _BLOCK[offset : offset + n]


def encode(data=None, files=None, boundary=None):
    """A multipart body made by httpx: (boundary, chunks)."""
    headers = {"content-type": f"multipart/form-data; boundary={boundary}"} if boundary else None
    request = httpx.Request("POST", "http://test/", data=data, files=files, headers=headers)
    return get_boundary_from_header(request.headers["content-type"].encode()), request.stream


class Source:
    """An async body stream (iterable once) that tells whether it was left open."""

    def __init__(self, chunks, size=None, error=None):
        self.chunks = chunks
        self.size = size
        self.error = error
        self.gen = None

    async def _gen(self):
        for chunk in self.chunks:
            if self.size is None:
                yield chunk
            else:
                for i in range(0, len(chunk), self.size):
                    yield chunk[i : i + self.size]
        if self.error is not None:
            raise self.error

    def __aiter__(self):
        assert self.gen is None
        self.gen = self._gen()
        return self.gen

    @property
    def closed(self):
        return self.gen is not None and self.gen.ag_frame is None


async def collect(source, boundary):
    return [
        (p.name, p.file_name, p.content_type, p.charset, b"".join([c async for c in p.stream()]))
        async for p in parse_multipart_async(source, boundary)
    ]


def run(coro):
    return asyncio.run(coro)


FORM = {"name": "Zoë", "empty": "", "many": ["1", "2"]}
FILES = [
    ("doc", ("a.txt", b"hello\r\n--not a boundary\r\n", "text/plain; charset=iso-8859-1")),
    ("doc", ("b.bin", bytes(range(256)) * 40, "application/octet-stream")),
    ("blank", ("", b"", "application/octet-stream")),
]
EXPECTED = [
    ("name", None, None, None, "Zoë".encode()),
    ("empty", None, None, None, b""),
    ("many", None, None, None, b"1"),
    ("many", None, None, None, b"2"),
    ("doc", "a.txt", "text/plain", "iso-8859-1", b"hello\r\n--not a boundary\r\n"),
    ("doc", "b.bin", "application/octet-stream", None, bytes(range(256)) * 40),
    ("blank", None, "application/octet-stream", None, b""),
]


@pytest.mark.parametrize("chunk_size", [1, 3, 64, 4096, None])
@pytest.mark.parametrize("boundary", [None, "x", "b" * 70, "q" * 256])
def test_parts_survive_any_chunking(chunk_size, boundary):
    boundary, chunks = encode(FORM, FILES, boundary)
    assert run(collect(Source(chunks, chunk_size), boundary)) == EXPECTED


@pytest.mark.parametrize("chunks", [[None], [], [b""], [None, b""]])
def test_empty_body_has_no_parts(chunks):
    assert run(collect(Source(chunks), b"abc")) == []


def test_large_file_streams_without_holding_it():
    size = 48 * 1024 * 1024
    boundary, chunks = encode({"x": "1"}, {"f": ("big.bin", Pattern(size), "application/octet-stream")})

    async def main():
        digest, total, biggest = hashlib.sha256(), 0, 0
        async for part in parse_multipart_async(Source(chunks), boundary):
            async for chunk in part.stream():
                if part.file_name:
                    digest.update(chunk)
                    total += len(chunk)
                    biggest = max(biggest, len(chunk))
        return digest.hexdigest(), total, biggest

    tracemalloc.start()
    try:
        digest, total, biggest = run(main())
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert total == size
    expected, pattern = hashlib.sha256(), Pattern(size)
    while chunk := pattern.read():
        expected.update(chunk)
    assert digest == expected.hexdigest()
    assert biggest <= 65536
    assert peak < 4 * 1024 * 1024


@pytest.mark.parametrize("chunk_size", [5, None])
def test_unread_and_half_read_parts_are_skipped(chunk_size):
    boundary, chunks = encode(FORM, FILES)

    async def main():
        seen = []
        async for i, part in _enumerate(parse_multipart_async(Source(chunks, chunk_size), boundary)):
            if i % 3 == 1:
                async for chunk in part.stream():
                    break  # leave the rest unread
            elif i % 3 == 2:
                seen.append((part.name, b"".join([c async for c in part.stream()])))
        return seen

    assert run(main()) == [(e[0], e[4]) for e in EXPECTED[2::3]]


async def _enumerate(aiterable):
    i = 0
    async for item in aiterable:
        yield i, item
        i += 1


def test_a_part_streams_once():
    boundary, chunks = encode({"a": "1"}, {"b": ("b.txt", b"2", "text/plain")})

    async def main():
        parts = parse_multipart_async(Source(chunks), boundary)
        first = await anext(parts)
        assert [c async for c in first.stream()] == [b"1"]
        with pytest.raises(InvalidOperation):
            await anext(first.stream())
        second = await anext(parts)
        await parts.aclose()
        for part in first, second:
            with pytest.raises(InvalidOperation):
                await anext(part.stream())
        return second.name

    assert run(main()) == "b"


def test_a_half_read_part_cannot_resume_after_the_next_part():
    boundary, chunks = encode({"a": "x" * 50}, {"b": ("b.txt", b"y" * 50, "text/plain")})

    async def main():
        parts = parse_multipart_async(Source(chunks, 10), boundary)
        first = await anext(parts)
        content = first.stream()
        await anext(content)
        second = await anext(parts)
        with pytest.raises(InvalidOperation):
            await anext(content)
        return b"".join([c async for c in second.stream()])

    assert run(main()) == b"y" * 50


def _raw(*parts, boundary=b"B", end=True):
    body = b"".join(b"--" + boundary + b"\r\n" + p for p in parts)
    return body + (b"--" + boundary + b"--\r\n" if end else b"")


FIELD = b'Content-Disposition: form-data; name="a"\r\n\r\nvalue\r\n'


@pytest.mark.parametrize(
    "body",
    [
        pytest.param(b"garbage that is not multipart", id="no-boundary"),
        pytest.param(_raw(b"Content-Type: text/plain\r\n\r\nx\r\n"), id="no-disposition"),
        pytest.param(_raw(b"Content-Disposition: form-data\r\n\r\nx\r\n"), id="no-name"),
        pytest.param(_raw(b'Content-Disposition: form-data; name="\xff\xfe"\r\n\r\nx\r\n'), id="name-not-utf8"),
        pytest.param(_raw(b"Content-Disposition form-data\r\n\r\nx\r\n"), id="header-without-colon"),
    ],
)
def test_malformed_bodies_are_bad_requests(body):
    source = Source([body])
    with pytest.raises(BadRequest):
        run(collect(source, b"B"))
    assert source.closed


def test_file_name_that_is_not_utf8_uses_the_fallback_decoder():
    body = _raw(b'Content-Disposition: form-data; name="f"; filename="caf\xe9.txt"\r\n\r\nx\r\n')
    assert run(collect(Source([body]), b"B"))[0][1] == "café.txt"


@pytest.mark.parametrize("boundary", [b"", b"z" * 1024])
def test_unusable_boundary_lengths_are_bad_requests(boundary):
    source = Source([_raw(FIELD, boundary=boundary or b"B")])
    with pytest.raises(BadRequest, match="boundary"):
        run(collect(source, boundary))
    assert source.closed


def test_body_ending_early_is_a_bad_request_at_every_cut():
    boundary, chunks = encode({"a": "1"}, {"f": ("f.txt", b"content" * 10, "text/plain")})
    body = b"".join(chunks)
    for cut in range(1, len(body) - 2):
        source = Source([body[:cut]], 11)
        with pytest.raises(BadRequest, match="ended before"):
            run(collect(source, boundary))
        assert source.closed


def test_client_going_away_propagates_and_closes_the_source():
    boundary, chunks = encode({"a": "1" * 100}, {"f": ("f.txt", b"file", "text/plain")})
    body = b"".join(chunks)
    source = Source([body[:50]], error=MessageAborted())
    with pytest.raises(MessageAborted):
        run(collect(source, boundary))
    assert source.closed


def test_leaving_the_parts_early_closes_the_source():
    boundary, chunks = encode({"a": "1", "b": "2"}, {"f": ("f.txt", b"file", "text/plain")})
    source = Source(chunks, 4)

    async def main():
        parts = parse_multipart_async(source, boundary)
        async for part in parts:
            break
        await parts.aclose()

    run(main())
    assert source.closed


@pytest.mark.parametrize(
    "setting, value, body, error",
    [
        ("multipart_max_parts", 3, {"data": {"a": "1", "b": "2", "c": "3"}, "files": {"f": ("f.txt", b"file", "text/plain")}}, PayloadTooLarge),
        ("multipart_max_field_size", 100, {"data": {"a": "x" * 101}, "files": {"f": ("f.txt", b"file", "text/plain")}}, PayloadTooLarge),
        ("multipart_max_headers_size", 200, {"files": {"f": ("n" * 200, b"x", "text/plain")}}, BadRequest),
    ],
)
def test_limits(setting, value, body, error):
    boundary, chunks = encode(**body)
    chunks = list(chunks)
    assert run(collect(Source(chunks), boundary))  # within the default limits
    setattr(limits, setting, value)
    source = Source(chunks, 16)
    with pytest.raises(error):
        run(collect(source, boundary))
    assert source.closed


def test_limits_at_their_edge_pass_and_files_are_not_fields():
    limits.multipart_max_parts = 3
    limits.multipart_max_field_size = 100
    boundary, chunks = encode({"a": "x" * 100, "b": "1"}, {"f": ("f", b"y" * 1000, "text/plain")})
    assert [p[4] for p in run(collect(Source(chunks), boundary))] == [b"x" * 100, b"1", b"y" * 1000]


@pytest.mark.parametrize(
    "content_type, boundary",
    [
        (b"multipart/form-data; boundary=abc", b"abc"),
        (b'multipart/form-data; boundary="a;b c"', b"a;b c"),
        (b"multipart/form-data; charset=utf-8; BOUNDARY=XyZ", b"XyZ"),
        (b"multipart/form-data;boundary=1", b"1"),
    ],
)
def test_boundary_from_header(content_type, boundary):
    assert get_boundary_from_header(content_type) == boundary


@pytest.mark.parametrize(
    "content_type",
    [b"multipart/form-data", b"multipart/form-data;", b"multipart/form-data; boundary=", b'multipart/form-data; boundary=""'],
)
def test_missing_boundary(content_type):
    with pytest.raises(ValueError):
        get_boundary_from_header(content_type)


def test_boundary_header_must_be_bytes():
    with pytest.raises(TypeError):
        get_boundary_from_header("multipart/form-data; boundary=abc")
