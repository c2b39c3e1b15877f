"""The strict audit: what the checksum does not cover, checked on a document whose checksum matched.

The checksum covers only which findings are present (their hashes). The
audit compares the stored count and totals with those recomputed from the
findings, the adjusted annual total with 12 x the adjusted monthly one, the
two checksum keys with each other, each finding with what the host makes of
it (``findings``: identity, explanation, keys), and the document with the
shipped JSON Schema, formats included (jsonschema-rs: its ``is_valid``
decides, and only a document that fails is looked at for the error to
name); it names what other readers would read differently (``readings``:
keys given twice, NaN, Infinity, integers past the double range). It gives
the disagreements in plain words, each with its path, ``LISTED`` at most
and then how many more, so that neither the verdict nor the memory it
takes grows with the document; turning them into a verdict is
``verdicts``'s job.
"""

from __future__ import annotations

import itertools
import json
import math
from functools import lru_cache
from typing import Any, TypeGuard

from brimwick.output.verify.findings import finding_problems
from brimwick.output.verify.nesting import MAX_DEPTH, TOO_DEEP, ensure_headroom
from brimwick.output.verify.readings import Noted, readings, shortened

LISTED = 20  # problems named per document; past them, how many more
_MISSING = object()
_SHOWN_CHARACTERS = 80
_SCHEMA_MESSAGE_CHARACTERS = 120
_LISTED_KEYS = 3  # unexpected top-level keys named in a message of our own
# Schema keys that check what is inside a value, not the value itself.
_BELOW = frozenset(("items", "prefixItems", "contains", "properties", "patternProperties", "additionalProperties",
                    "propertyNames", "$ref", "$defs"))


def is_number(value: Any) -> TypeGuard[int | float]:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def kind(value: Any) -> str:
    """What sort of JSON value ``value`` is, in plain words: "a number", "text", "null"..."""
    if isinstance(value, bool):
        return "true/false"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return "null" if value is None else type(value).__name__


def audit(document: Any, envelope: Any, notes: tuple[str, ...] = ()) -> list[str]:
    """The stored values that disagree with what the findings give, for a document whose checksum matched:
    the first ``LISTED`` in words, then how many more. ``document`` is a parsed dict, or the strict reader's
    ``Noted`` (what it noted while parsing spares a walk); ``notes`` are problems noted beforehand."""
    noted = document if type(document) is Noted else None
    value = noted.value if noted is not None else document
    try:
        return _problems(value, noted, envelope, notes)
    except RecursionError:  # a value shown or compared whole nests past the stack left: room for it, then again
        ensure_headroom(MAX_DEPTH)
        try:
            return _problems(value, noted, envelope, notes)
        except RecursionError:
            return [f"document {TOO_DEEP}"]


class _Listing:
    """The problems of one document: the first ``LISTED`` in words, the rest counted."""

    def __init__(self) -> None:
        self.named: list[str] = []
        self.more = 0

    @property
    def room(self) -> int:
        return LISTED - len(self.named)

    def add(self, problems: list[str] | tuple[str, ...], more: int = 0) -> None:
        room = self.room
        self.named += problems[:room]
        self.more += max(0, len(problems) - room) + more

    def words(self) -> list[str]:
        return self.named + [f"... and {self.more} more"] if self.more else self.named


def _problems(document: dict[str, Any], noted: Noted | None, envelope: Any, notes: tuple[str, ...]) -> list[str]:
    listing = _Listing()
    listing.add(notes)
    if noted is None or noted.twice or noted.numbers:
        listing.add(*readings(document, noted.twice if noted is not None else {}, listing.room))
    listing.add(_stored_totals(document, envelope))
    listing.add(_adjusted_annual_total(document))
    listing.add(_checksum_keys(document, envelope))
    findings = document.get("findings")
    if isinstance(findings, list):
        listing.add(*finding_problems(findings, envelope.findings, listing.room))
    error = schema_error(document)
    if error:
        listing.add([error])
    return listing.words()


def _stored_totals(document: dict[str, Any], envelope: Any) -> list[str]:
    recomputed: list[tuple[str, Any]] = [
        ("finding_count", envelope.finding_count),
        ("total_monthly_waste_usd", round(envelope.total_monthly_waste_usd, 2)),
        ("total_annual_waste_usd", round(envelope.total_annual_waste_usd, 2)),
    ]
    problems = []
    for key, value in recomputed:
        stored = document.get(key, _MISSING)
        if not _same_amount(stored, value):
            problems.append(f"{key} stored {_show(stored)}, recomputed {_show(value)}")
    return problems


def _adjusted_annual_total(document: dict[str, Any]) -> list[str]:
    monthly = document.get("adjusted_total_monthly_waste_usd")
    annual = document.get("adjusted_total_annual_waste_usd", _MISSING)
    if not is_number(monthly) or not _fits_a_double(monthly):  # the readings name an integer past the double range
        return []
    expected = round(monthly * 12, 2)
    # The annual figure comes from the unrounded monthly total, so it may
    # sit up to 12 x 0.005 (plus its own rounding) away from 12 x the
    # stored, rounded monthly figure.
    close = (_finite(annual) and _finite(expected)
             and abs(annual - 12 * monthly) <= 12 * 0.005 + 0.005 + 1e-9 * abs(annual))
    if close or _same_amount(annual, expected):
        return []
    return [f"adjusted_total_annual_waste_usd stored {_show(annual)}, recomputed {_show(expected)}"
            " (12 x adjusted_total_monthly_waste_usd)"]


def _finite(value: Any) -> bool:
    """A number that a double holds, not NaN or Infinity: one that float arithmetic can take."""
    return is_number(value) and _fits_a_double(value) and math.isfinite(value)


def _fits_a_double(number: float | int) -> bool:
    if type(number) is float:
        return True
    try:
        float(number)  # an integer past the largest double raises
    except OverflowError:
        return False
    return True


def _checksum_keys(document: dict[str, Any], envelope: Any) -> list[str]:
    current, earlier = document.get("integrity_checksum"), document.get("manifest_hash")
    if current and earlier and current != earlier:
        return [f"manifest_hash stored {_show(earlier)}, recomputed {_show(envelope.integrity_checksum)}"]
    return []


def _same_amount(stored: Any, recomputed: Any) -> bool:
    if not is_number(stored):
        return False
    if isinstance(stored, float) and isinstance(recomputed, float) and math.isnan(stored) and math.isnan(recomputed):
        return True
    return bool(stored == recomputed)


def _show(value: Any) -> str:
    if value is _MISSING:
        return "nothing"
    return shortened(json.dumps(value, ensure_ascii=False), _SHOWN_CHARACTERS)


def schema_error(document: dict[str, Any]) -> str | None:
    """Where the document fails the shipped schema and why, in words, or None.

    The verdict is the fast ``is_valid``; only a document that fails is
    looked at for the error to name: the one nearest the top. The validator
    makes every error of a call at once, so the call that lists them is made
    on the schema's top level alone (its own keys and each value's own type
    and format: a few errors at most, whatever the document); only where
    that passes is the first error below it asked for."""
    whole, top = _schema_validators()
    if whole.is_valid(document):
        return None
    unexpected = _unexpected_keys(document)
    if unexpected is not None:
        return unexpected
    try:
        errors = _told(top.iter_errors(document), document)
        error = min(errors, key=lambda found: len(found.instance_path), default=None)
        if error is None:
            error = next(_told([_first_error(whole, document)], document), None)
    except ValueError:  # the value that fails nests too deep for the validator to write its message
        return "document fails the schema: a value in it nests too deep for the error to be shown"
    if error is None:
        return None
    where = "/".join(str(part) for part in error.instance_path) or "document"
    return f"{where} fails the schema: {shortened(error.message, _SCHEMA_MESSAGE_CHARACTERS)}"


def _unexpected_keys(document: dict[str, Any]) -> str | None:
    """The error for more top-level keys than the schema allows than a message lists, in words of its own:
    the validator's message would name every one of them (a million keys, tens of megabytes)."""
    allowed = _top_level_keys()
    if allowed is None:
        return None
    unexpected = (key for key in document if key not in allowed)
    named = [shortened(repr(key), _SHOWN_CHARACTERS) for key in itertools.islice(unexpected, _LISTED_KEYS + 1)]
    if len(named) <= _LISTED_KEYS:
        return None  # the validator's own message is short
    more = 1 + sum(1 for _ in unexpected)
    return f"document fails the schema: Additional properties are not allowed ({', '.join(named[:-1])} and {more} more were unexpected)"


def _told(errors: Any, document: dict[str, Any]) -> Any:
    # The validator reads NaN and Infinity as null; the readings name them, so what it says of them is left out.
    return (error for error in errors if error is not None and not _not_finite_at(document, error.instance_path))


def _first_error(validator: Any, document: dict[str, Any]) -> Any:
    import jsonschema_rs

    try:
        validator.validate(document)
    except jsonschema_rs.ValidationError as error:
        return error
    return None


def _not_finite_at(document: Any, path: list[str | int]) -> bool:
    value = document
    try:
        for part in path:
            value = value[part]
    except (LookupError, TypeError):  # keys that JSON would have made text
        return False
    return type(value) is float and not math.isfinite(value)


@lru_cache(maxsize=1)
def _schema() -> dict[str, Any]:
    from importlib import resources  # only here: it costs a verify run 25 ms to import

    text = resources.files("brimwick.output").joinpath("envelope.schema.json").read_text(encoding="utf-8")
    return json.loads(text)  # type: ignore[no-any-return]


@lru_cache(maxsize=1)
def _top_level_keys() -> frozenset[str] | None:
    """The keys the schema allows at the top level, where it allows no others; else None."""
    schema = _schema()
    if schema.get("additionalProperties") is not False or "patternProperties" in schema:
        return None
    return frozenset(schema.get("properties", ()))


@lru_cache(maxsize=1)
def _schema_validators() -> tuple[Any, Any]:
    """The shipped schema's validator, formats included, and one for its top level alone."""
    import jsonschema_rs

    schema = _schema()
    properties = {name: {key: rule for key, rule in checks.items() if key not in _BELOW}
                  for name, checks in schema["properties"].items()}
    top = {key: rule for key, rule in schema.items() if key != "$defs"} | {"properties": properties}
    return (jsonschema_rs.validator_for(schema, validate_formats=True),
            jsonschema_rs.validator_for(top, validate_formats=True))
