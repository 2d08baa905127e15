"""The companion library's C interface, driven through the test-only extension."""

import random
import sys

import pytest

from velmora import _vel_core, _vel_core_test as core

VEL_OK, VEL_ERR_BAD_ARG, VEL_ERR_ARENA_EXHAUSTED = 0, 2, 5
BLOCK = 65536


def scalar_lower(data: bytes) -> bytes:
    return bytes(c + 32 if 65 <= c <= 90 else c for c in data)


def scalar_is_lower(data: bytes) -> bool:
    return not any(65 <= c <= 90 for c in data)


# --- ASCII case helpers -----------------------------------------------------

EDGE_BYTES = b"@AZ[`az{\x00\x7f\x80\xc1\xda\xff"


@pytest.mark.parametrize("offset", range(16))
def test_lowercase_matches_scalar_for_every_length_and_offset(offset):
    rng = random.Random(offset)
    for length in range(131):
        body = bytes(rng.choice(EDGE_BYTES) for _ in range(length))
        buf = b"\xee" * offset + body + b"\xee" * 8
        assert core.lowercase_ascii(buf, offset, length) == scalar_lower(body)
        assert core.is_ascii_lowercase(buf, offset, length) == scalar_is_lower(body)


@pytest.mark.parametrize("offset", range(16))
def test_single_upper_letter_is_found_at_every_position(offset):
    for length in range(1, 131):
        for pos in {0, length // 2, length - 1}:
            for letter in b"AZ":
                body = bytearray(b"a" * length)
                body[pos] = letter
                buf = b"Q" * offset + bytes(body) + b"Q" * 4  # capitals outside the window
                assert core.is_ascii_lowercase(buf, offset, length) is False
        assert core.is_ascii_lowercase(b"Q" * offset + b"a" * length + b"Q", offset, length)


def test_random_bytes_against_scalar():
    rng = random.Random(1234)
    for _ in range(2000):
        length = rng.randrange(0, 300)
        offset = rng.randrange(0, 32)
        body = rng.randbytes(length)
        buf = rng.randbytes(offset) + body
        assert core.lowercase_ascii(buf, offset, length) == scalar_lower(body)
        assert core.is_ascii_lowercase(buf, offset, length) == scalar_is_lower(body)


def test_high_bytes_that_look_like_letters_are_kept():
    # 0xC1..0xDA share their low 7 bits with 'A'..'Z' and must not change.
    data = bytes(range(0xC1, 0xDB)) * 3
    assert core.lowercase_ascii(data, 0, len(data)) == data
    assert core.is_ascii_lowercase(data, 0, len(data))


# --- scratchpad arena -------------------------------------------------------

@pytest.fixture
def arena():
    a = core.Arena()
    assert a.init(BLOCK) == VEL_OK
    yield a
    a.destroy()


@pytest.mark.parametrize("alignment", [1 << k for k in range(13)])
def test_alloc_is_aligned_and_inside_the_block(arena, alignment):
    base, capacity, _, _ = arena.state
    previous_end = base
    for size in (1, 3, 17, 100):
        code, addr = arena.alloc(size, alignment)
        assert code == VEL_OK
        assert addr % alignment == 0
        assert addr >= previous_end  # never overlaps what was handed out
        assert base <= addr and addr + size <= base + capacity
        previous_end = addr + size
    assert arena.state[2] == previous_end - base


@pytest.mark.parametrize("alignment", [0, 3, 12, 8192])
def test_bad_alignment_is_refused(arena, alignment):
    assert arena.alloc(8, alignment) == (VEL_ERR_BAD_ARG, None)
    assert arena.state[2] == 0


def test_exhaustion_fails_cleanly_and_keeps_earlier_memory(arena):
    code, first = arena.alloc(BLOCK - 64, 64)
    assert code == VEL_OK
    assert arena.alloc(128, 64) == (VEL_ERR_ARENA_EXHAUSTED, None)
    offset = arena.state[2]
    assert arena.alloc(64, 64)[0] == VEL_OK  # the exact rest still fits
    assert arena.alloc(1, 1) == (VEL_ERR_ARENA_EXHAUSTED, None)
    assert arena.state[2] == offset + 64


@pytest.mark.parametrize("size", [BLOCK + 1, 1 << 40, (1 << 64) - 1])
def test_oversized_alloc_fails_without_wrapping(arena, size):
    assert arena.alloc(size, 4096) == (VEL_ERR_ARENA_EXHAUSTED, None)
    assert arena.alloc(BLOCK, 1)[0] == VEL_OK  # the block is still whole


def test_reset_rewinds_and_keeps_the_block(arena):
    base = arena.state[0]
    _, addr = arena.alloc(1000, 16)
    arena.reset()
    assert arena.state == (base, BLOCK, 0, 1)
    assert arena.alloc(1000, 16) == (VEL_OK, addr)


def test_destroy_and_reinit():
    a = core.Arena()
    assert a.state == (None, 0, 0, 0)
    assert a.alloc(8, 8)[0] != VEL_OK  # no block yet
    a.reset()  # harmless on an empty arena
    assert a.init(BLOCK) == VEL_OK
    a.alloc(10, 8)
    a.destroy()
    assert a.state == (None, 0, 0, 0)
    a.destroy()  # twice is harmless
    assert a.init(4096) == VEL_OK and a.state[1:] == (4096, 0, 1)
    assert a.init(BLOCK) == VEL_OK  # re-init releases the old block
    assert a.init(0) == VEL_ERR_BAD_ARG


# --- interning tables -------------------------------------------------------

TABLES = [
    (core.header_name, _vel_core.HEADER_NAMES, lambda o: o),
    (core.method, _vel_core.METHODS, lambda o: o.encode()),
    (core.content_type, _vel_core.CONTENT_TYPES, lambda o: o),
]


@pytest.mark.parametrize("find, entries, key_of", TABLES)
def test_every_entry_is_found_as_the_shared_object(find, entries, key_of):
    assert entries
    for obj in entries:
        key = bytes(key_of(obj))  # a fresh object with the same contents
        assert find(key) is obj


@pytest.mark.parametrize("find, entries, key_of", TABLES)
def test_misses_return_none_without_an_error(find, entries, key_of):
    for obj in entries:
        key = key_of(obj)
        for miss in (key + b"x", key[:-1], b"x" + key, key.swapcase()):
            if miss not in {key_of(e) for e in entries}:
                assert find(miss) is None
    assert find(b"") is None
    assert find(b"\x00" * 200) is None


def test_header_names_are_lower_case_and_methods_interned():
    assert all(name == name.lower() for name in _vel_core.HEADER_NAMES)
    assert core.header_name(b"Content-Type") is None
    assert core.header_name(b"content-type") == b"content-type"
    assert core.method(b"get") is None
    assert core.method(b"GET") is sys.intern("GET")
    assert core.content_type(b"application/json") == b"application/json"


def test_abi_version():
    assert _vel_core.ABI_VERSION == 1
