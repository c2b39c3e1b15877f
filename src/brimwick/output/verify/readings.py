"""What other readers would read differently: keys given twice, and numbers that not every reader holds.

``json.loads`` keeps the last of two equal keys, reads ``NaN``, ``Infinity``
and floats out of the double range as floats, and an integer of any length
exactly; a reader in another language may keep the first key, refuse the
number, or read the integer as Infinity. The strict reader (``loads``,
``raw_decode``) gives the values ``json`` gives, each document as ``Noted``:
while it parses it records which objects hold a key twice and whether a
number may be one of those, so a document with neither costs nothing more.
``readings`` then names them with their paths, in one walk made only for a
document that has any, building a path only for what it lists. What becomes
of them in a verdict is ``audit``'s and ``verdicts``'s job.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import msgspec

_FAST_DECODE = msgspec.json.Decoder().decode
_ENCODE = msgspec.json.Encoder().encode
# msgspec refuses what only json reads (NaN, Infinity, floats out of the
# double range, lone surrogates, deep nesting, text that is not JSON): json
# then reads it, and says why it cannot where it cannot.
_FAST_REFUSED = (msgspec.DecodeError, RecursionError)
# An integer past the double range has more than 308 digits.
_DIGITS_AS_NINES = bytes(0x39 if byte in b"0123456789" else 0x20 for byte in range(256))
_LONGEST_HELD_INTEGER = b"9" * 309
_PATH_CHARACTERS = 160
_KEY_CHARACTERS = 80


@dataclass(frozen=True)
class Noted:
    """A document as the strict reader read it: its value, the objects in it that hold a key twice (by
    ``id``, with those keys), and whether it may hold a number that other readers read differently."""

    value: Any
    twice: dict[int, tuple[Any, list[str]]]  # the object itself is kept, so that its id stays its own
    numbers: bool


def loads(text: str) -> Noted:
    """``json.loads(text)``, as ``Noted``."""
    try:
        value = _FAST_DECODE(text)
    except _FAST_REFUSED:
        return _Decoding().decode(text)
    encoded = _ENCODE(value)
    # Each object is written back with one colon a key, and a colon inside a
    # string comes back as it was, unless the text escaped it (\u003a): so
    # fewer colons written than read means an object lost a key given twice.
    if ("\\" in text and "\\u003" in text) or text.count(":") != encoded.count(b":"):
        return _Decoding().decode(text)
    # msgspec refuses a float past the double range; an integer past it only shows in its digits.
    return Noted(value, {}, _LONGEST_HELD_INTEGER in encoded.translate(_DIGITS_AS_NINES))


def raw_decode(text: str, begin: int) -> tuple[Noted, int]:
    """``json.JSONDecoder().raw_decode(text, begin)``, the value as ``Noted``."""
    return _Decoding().raw_decode(text, begin)


class _Decoding:
    """One parse by ``json``, its hooks noting objects with a key given twice and numbers other readers
    read differently: NaN and Infinity, and any number past the double range."""

    def __init__(self) -> None:
        self.twice: dict[int, tuple[Any, list[str]]] = {}
        self.numbers = False
        self._decoder = json.JSONDecoder(object_pairs_hook=self._object, parse_constant=self._constant,
                                         parse_float=self._float, parse_int=self._int)

    def decode(self, text: str) -> Noted:
        return self._noted(self._decoder.decode(text))

    def raw_decode(self, text: str, begin: int) -> tuple[Noted, int]:
        value, end = self._decoder.raw_decode(text, begin)
        return self._noted(value), end

    def _noted(self, value: Any) -> Noted:
        return Noted(value, self.twice, self.numbers)

    def _object(self, pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        result = dict(pairs)
        if len(result) != len(pairs):
            seen: set[str] = set()
            twice = [key for key, _ in pairs if key in seen or seen.add(key)]  # type: ignore[func-returns-value]
            self.twice[id(result)] = result, list(dict.fromkeys(twice))
        return result

    def _constant(self, name: str) -> float:
        self.numbers = True
        return float(name)

    def _float(self, text: str) -> float:
        number = float(text)
        if not math.isfinite(number):
            self.numbers = True
        return number

    def _int(self, text: str) -> int:
        number = int(text)
        if len(text) > 308 and not _held_by_a_double(number):
            self.numbers = True
        return number


def readings(value: Any, twice: dict[int, tuple[Any, list[str]]], most: int) -> tuple[list[str], int]:
    """The keys given twice (in the objects ``twice`` names) and the numbers other readers read differently
    (NaN, Infinity, past the double range) in ``value``, each with its path: the first ``most`` in words, keys
    before numbers, and how many more there are."""
    keys: list[str] = []
    numbers: list[str] = []
    more = 0
    for where, item in _walk(value):
        kind = type(item)
        if kind is dict and twice:
            entry = twice.get(id(item))
            if entry is not None and entry[0] is item:
                for key in entry[1]:
                    if len(keys) < most:
                        keys.append(f"duplicate key {shortened(json.dumps(key, ensure_ascii=False), _KEY_CHARACTERS)}"
                                    + (f" in {_path(where)}" if where else ""))
                    else:
                        more += 1
        elif (kind is float and not math.isfinite(item)) or (kind is int and not _held_by_a_double(item)):
            if len(numbers) < most:
                numbers.append(f"{_path(where) or 'document'} {_reading(item)}")
            else:
                more += 1
    listed = (keys + numbers)[:most]
    return listed, more + len(keys) + len(numbers) - len(listed)


def _walk(value: Any) -> Iterator[tuple[list[Any], Any]]:
    """(keys that lead to it, item) for ``value`` and everything inside it, parents first, without recursion.
    The list of keys is the walk's own and changes as it goes on: read it before taking the next item.
    Memory grows with the depth, never with the width."""
    keys: list[Any] = []
    yield keys, value
    open_items: list[Iterator[tuple[Any, Any]]] = []
    if type(value) is dict or type(value) is list:
        open_items.append(_items(value))
    while open_items:
        for key, child in open_items[-1]:
            keys.append(key)
            yield keys, child
            if type(child) is dict or type(child) is list:
                open_items.append(_items(child))
                break
            keys.pop()
        else:
            open_items.pop()
            if keys:
                keys.pop()


def _items(container: dict[str, Any] | list[Any]) -> Iterator[tuple[Any, Any]]:
    return iter(container.items()) if type(container) is dict else enumerate(container)


def _path(keys: list[Any]) -> str:
    """``findings[3].title`` out of the keys that lead to a value; of a very long one, the first and the last
    steps, each shortened."""
    steps = [shortened(f"[{key}]" if type(key) is int else f".{key}" if i else str(key), _PATH_CHARACTERS // 2)
             for i, key in enumerate(keys)]
    if sum(map(len, steps)) <= _PATH_CHARACTERS:
        return "".join(steps)
    head, tail, size = 1, len(steps), len(steps[0])
    while size + len(steps[head]) <= _PATH_CHARACTERS // 2:
        size += len(steps[head])
        head += 1
    while size + len(steps[tail - 1]) <= _PATH_CHARACTERS:
        tail -= 1
        size += len(steps[tail])
    return "".join(steps[:head]) + "..." + "".join(steps[tail:])


def shortened(text: str, most: int) -> str:
    return text if len(text) <= most else text[:most - 3] + "..."


def _reading(number: float | int) -> str:
    if type(number) is int:
        return "is an integer past the double range, which other readers read as Infinity or refuse"
    if math.isnan(number):
        return "is NaN, which JSON does not have"
    return f"is {'Infinity' if number > 0 else '-Infinity'}, which JSON does not have"


def _held_by_a_double(number: int) -> bool:
    try:
        float(number)  # rounds to the nearest double; past the largest one, OverflowError
    except OverflowError:
        return False
    return True
