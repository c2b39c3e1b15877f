"""An input cut into lines: byte ranges that own every line once, bounded lines, reading ahead."""

from __future__ import annotations

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brimwick.output.verify.lines import ReadAhead, iter_lines


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["", "a", "bb", "{}", "x" * 40, "y" * 9, "z" * 20, "w" * 21]), max_size=20), st.booleans(),
       st.lists(st.integers(1, 400), max_size=8), st.integers(1, 8) | st.just(4096))  # lines split across reads, or whole
def test_byte_ranges_own_every_line_exactly_once(lines: list[str], final_break: bool, cuts: list[int], read_bytes: int) -> None:
    data = ("\n".join(lines) + ("\n" if final_break and lines else "")).encode()
    limit = 20  # longer lines come back as None; a line of exactly the limit is kept
    bounds = sorted({0, *(c for c in cuts if c < len(data))}) + [len(data)]
    owned: list[bytes | None] = []
    total = 0
    for start, stop in zip(bounds, bounds[1:]):
        stream = io.BytesIO(data)
        stream.seek(max(0, start - 1))
        counter = [0]
        read = lambda n, s=stream: s.read(min(n, read_bytes))  # noqa: E731 - reads of every size
        owned += list(iter_lines(read, skip_first=start > 0, end=None if stop == len(data) else stop - start,
                                 limit=limit, counter=counter))
        total += counter[0]
    expected = data.split(b"\n")
    if expected and expected[-1] == b"":
        expected.pop()
    assert owned == [line if len(line) <= limit else None for line in expected] and total == len(expected)


class FailingAfter(io.BytesIO):
    """A file whose reads fail once `good` bytes have been read."""

    def __init__(self, data: bytes, good: int) -> None:
        super().__init__(data)
        self.good = good

    def read(self, size: int | None = -1) -> bytes:
        if self.tell() >= self.good:
            raise OSError(5, "Input/output error")
        return super().read(size)


@pytest.mark.parametrize("size", [0, 1, 999, 1000, 4321])
def test_read_ahead_gives_the_blocks_in_order_then_the_end(size: int) -> None:
    data = (bytes(range(256)) * 20)[:size]
    ahead = ReadAhead(io.BytesIO(data), size=1000)
    try:
        assert b"".join(iter(ahead.read, b"")) == data
        assert ahead.read() == b"" == ahead.read()
    finally:
        ahead.close()


def test_read_ahead_raises_a_read_error_in_its_turn_and_closes_at_once() -> None:
    ahead = ReadAhead(FailingAfter(b"x" * 10_000, 3072), size=1024)
    got = []
    with pytest.raises(OSError, match="Input/output"):
        while True:
            got.append(ahead.read())
    assert b"".join(got) == b"x" * 3072 and ahead.read() == b""
    ahead.close()
    # Closed while its thread waits for room to hand a block over.
    ahead = ReadAhead(io.BytesIO(b"y" * 100_000), size=10, depth=1)
    ahead.close()
    assert not ahead._thread.is_alive()
