"""The strict audit: what the checksum does not cover, checked on a document whose checksum matched.

The checksum covers only which findings are present (their hashes). The
audit compares the stored count and totals with those recomputed from the
findings, the adjusted annual total with 12 x the adjusted monthly one, the
two checksum keys with each other, each finding with what the host makes of
it (``findings``: identity, explanation, keys), and the document with the
shipped JSON Schema, formats included; it names what other readers would
read differently (``readings``: keys given twice, NaN and Infinity). It
gives the disagreements in plain words, each with its path; turning them
into a verdict is ``verdicts``'s job.
"""

from __future__ import annotations

import json
import math
from functools import lru_cache
from typing import Any

from brimwick.output.verify.findings import finding_problems
from brimwick.output.verify.nesting import SHALLOW, TOO_DEEP, ensure_headroom
from brimwick.output.verify.readings import other_readings

_MISSING = object()
_SHOWN_CHARACTERS = 80
_SCHEMA_MESSAGE_CHARACTERS = 120


def is_number(value: Any) -> bool:
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


def audit(document: dict[str, Any], envelope: Any, notes: tuple[str, ...] = ()) -> list[str]:
    """The stored values that disagree with what the findings give, for a document whose checksum matched;
    ``notes`` are what the strict reader noted while parsing it (keys given twice)."""
    numbers, levels = other_readings(document)
    if levels > SHALLOW:  # the checks below may show a value whole: room for it, whatever the stack
        ensure_headroom(levels)
    problems = [*notes, *numbers]
    problems += _stored_totals(document, envelope)
    problems += _adjusted_annual_total(document)
    problems += _checksum_keys(document, envelope)
    findings = document.get("findings")
    if isinstance(findings, list):
        problems += finding_problems(findings)
    try:
        error = _best_schema_error(document)
    except RecursionError:
        error = f"document {TOO_DEEP}"
    if error:
        problems.append(error)
    return problems


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
    if not is_number(monthly):
        return []
    expected = round(monthly * 12, 2)
    # The annual figure comes from the unrounded monthly total, so it may
    # sit up to 12 x 0.005 (plus its own rounding) away from 12 x the
    # stored, rounded monthly figure.
    close = (is_number(annual) and math.isfinite(annual) and math.isfinite(expected)
             and abs(annual - 12 * monthly) <= 12 * 0.005 + 0.005 + 1e-9 * abs(annual))
    if close or _same_amount(annual, expected):
        return []
    return [f"adjusted_total_annual_waste_usd stored {_show(annual)}, recomputed {_show(expected)}"
            " (12 x adjusted_total_monthly_waste_usd)"]


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
    return _shortened(json.dumps(value, ensure_ascii=False), _SHOWN_CHARACTERS)


def _shortened(text: str, most: int) -> str:
    return text if len(text) <= most else text[:most - 3] + "..."


def _best_schema_error(document: dict[str, Any]) -> str | None:
    import jsonschema

    error = jsonschema.exceptions.best_match(_schema_validator().iter_errors(document))
    if error is None:
        return None
    where = "/".join(str(part) for part in error.absolute_path) or "document"
    return f"{where} fails the schema: {_shortened(error.message, _SCHEMA_MESSAGE_CHARACTERS)}"


@lru_cache(maxsize=1)
def _schema_validator() -> Any:
    import jsonschema

    from importlib import resources  # only here: it costs a verify run 25 ms to import

    text = resources.files("brimwick.output").joinpath("envelope.schema.json").read_text(encoding="utf-8")
    validator = jsonschema.Draft202012Validator
    return validator(json.loads(text), format_checker=validator.FORMAT_CHECKER)
