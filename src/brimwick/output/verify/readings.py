"""What other readers would read differently: keys given twice and numbers JSON does not have.

``json.loads`` keeps the last of two equal keys and reads ``NaN``,
``Infinity`` and numbers out of the double range as floats; a reader in
another language may keep the first key or refuse the number. The strict
reader parses through ``loads`` and ``raw_decode`` here, which give the same
values as ``json`` and note every key given twice (a document with such keys
comes out as ``Noted``); ``other_readings`` names both kinds, each with its
path. What becomes of them in a verdict is ``audit``'s and ``verdicts``'s job.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Noted:
    """A parsed document and what the strict reader noted while parsing it (keys given twice, with paths)."""

    value: Any
    notes: tuple[str, ...]


def loads(text: str) -> Any:
    """``json.loads(text)``, as ``Noted`` when an object holds a key twice."""
    found: list[tuple[dict[str, Any], list[str]]] = []
    return _noted(json.JSONDecoder(object_pairs_hook=_hook(found)).decode(text), found)


def raw_decode(text: str, begin: int) -> tuple[Any, int]:
    """``json.JSONDecoder().raw_decode(text, begin)``, the value as ``Noted`` when an object holds a key twice."""
    found: list[tuple[dict[str, Any], list[str]]] = []
    value, end = json.JSONDecoder(object_pairs_hook=_hook(found)).raw_decode(text, begin)
    return _noted(value, found), end


def _hook(found: list[tuple[dict[str, Any], list[str]]]) -> Any:
    def pairs_to_dict(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        result = dict(pairs)
        if len(result) != len(pairs):
            seen: set[str] = set()
            twice = [key for key, _ in pairs if key in seen or seen.add(key)]  # type: ignore[func-returns-value]
            found.append((result, list(dict.fromkeys(twice))))
        return result

    return pairs_to_dict


def _noted(value: Any, found: list[tuple[dict[str, Any], list[str]]]) -> Any:
    if not found:
        return value
    twice = {id(obj): keys for obj, keys in found}
    notes = [f"duplicate key {json.dumps(key, ensure_ascii=False)}" + (f" in {where}" if where else "")
             for where, obj in walk(value) if type(obj) is dict and id(obj) in twice for key in twice[id(obj)]]
    return Noted(value, tuple(notes))


def other_readings(value: Any) -> tuple[list[str], int]:
    """Every NaN, Infinity or out-of-range number in ``value``, with its path; and how deeply ``value`` nests."""
    found, deepest = [], 0
    stack: list[tuple[Any, Any, int]] = [(value, None, 0)]  # (item, its path as (parent's path, key), level)
    while stack:
        item, where, level = stack.pop()
        kind = type(item)
        if kind is dict:
            deepest = max(deepest, level + 1)
            stack.extend((child, (where, key), level + 1) for key, child in reversed(item.items()))
        elif kind is list:
            deepest = max(deepest, level + 1)
            stack.extend((item[i], (where, i), level + 1) for i in range(len(item) - 1, -1, -1))
        elif kind is float and not math.isfinite(item):
            found.append(f"{_path(where) or 'document'} is {_literal(item)}, which JSON does not have")
    return found, deepest


def walk(value: Any) -> Iterator[tuple[str, Any]]:
    """(path, value) of ``value`` and everything inside it, parents first, without recursion."""
    stack: list[tuple[str, Any]] = [("", value)]
    while stack:
        where, item = stack.pop()
        yield where, item
        if type(item) is dict:
            stack.extend((f"{where}.{key}" if where else str(key), child) for key, child in reversed(item.items()))
        elif type(item) is list:
            stack.extend((f"{where}[{i}]", item[i]) for i in range(len(item) - 1, -1, -1))


def _path(where: Any) -> str:
    """``findings[3].title`` out of a path kept as (parent's path, key) pairs."""
    parts: list[Any] = []
    while where is not None:
        where, key = where
        parts.append(key)
    text = ""
    for key in reversed(parts):
        text += f"[{key}]" if type(key) is int else f".{key}" if text else str(key)
    return text


def _literal(number: float) -> str:
    if math.isnan(number):
        return "NaN"
    return "Infinity" if number > 0 else "-Infinity"
