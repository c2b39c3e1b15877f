"""One parsed document in, one verdict out: OK, CORRUPT, INVALID or INCONSISTENT, with the reason in plain words.

- ``OK``: the document reads back as an envelope and its checksum matches:
  the findings present are the ones it was written with (their hashes); their
  other fields and the scan context are not covered (the strict audit covers
  more of them);
- ``CORRUPT``: the stored checksum differs from the one recomputed from the findings;
- ``INVALID``: the input is not a readable envelope document (the reason says why);
- ``INCONSISTENT`` (strict audit only): the checksum matches, but the audit
  found something else wrong (``audit`` lists what it checks), or could not
  finish on it: a fault of the audit's is that document's verdict.

A strict OK on an older document, whose checksum is read from
``manifest_hash``, says so in its detail.

A verdict here is a bare (status, detail) pair: where the document came from,
its label and how the verdict is printed belong to ``ordered`` and ``report``.
"""

from __future__ import annotations

from typing import Any

from brimwick.output import manifest
from brimwick.output.verify.audit import audit, is_number, kind
from brimwick.output.verify.documents import Damaged
from brimwick.output.verify.escaping import escape_text
from brimwick.output.verify.nesting import TOO_DEEP
from brimwick.output.verify.readings import Noted, shortened

OK, CORRUPT, INVALID, INCONSISTENT = "OK", "CORRUPT", "INVALID", "INCONSISTENT"
STATUSES = (OK, CORRUPT, INVALID, INCONSISTENT)
NO_CHECKSUM = "no integrity checksum stored"
_MISMATCH = "Integrity checksum mismatch"
_FINDING_IDENTITY = ("resource_id", "resource_type", "rule_id", "provider", "region")
_REQUIRED = ("tenant_id", "provider", "regions", "scan_profile")
_MISSING = object()


def check_document(document: Any, strict: bool = False) -> tuple[str, str]:
    """The verdict on one parsed document (or a Damaged stand-in, or what the strict reader Noted): (status, detail)."""
    read = document
    if type(document) is Noted:
        document = document.value
    if type(document) is not dict:
        if isinstance(document, Damaged):
            return INVALID, document.reason
        return INVALID, f"not a JSON object (got {kind(document).removeprefix('a ').removeprefix('an ')})"
    if not (document.get("integrity_checksum") or document.get("manifest_hash")):
        return INVALID, NO_CHECKSUM
    try:
        envelope = manifest.ScanEnvelope.from_dict(document)
    except ValueError as exc:
        if str(exc).startswith(_MISMATCH) and isinstance(_stored_checksum(document)[1], str):
            return CORRUPT, str(exc)
        return INVALID, diagnose(document) or _unreadable(exc)
    except RecursionError:
        return INVALID, TOO_DEEP
    except Exception as exc:  # any other fault of the document; name it, never the exception
        return INVALID, diagnose(document) or _unreadable(exc)
    if strict:
        return _audited(read, document, envelope)
    return OK, ""


def _audited(read: Any, document: dict[str, Any], envelope: Any) -> tuple[str, str]:
    try:
        problems = audit(read, envelope)
    except Exception as exc:  # a fault of the audit's on this document is its verdict, never the run's end
        return INCONSISTENT, f"the strict audit cannot judge it ({shortened(f'{type(exc).__name__}: {exc}', 120)})"
    if problems:
        return INCONSISTENT, "; ".join(problems)
    return OK, _older_checksum(document)


def _older_checksum(document: dict[str, Any]) -> str:
    """What an OK verdict says of a document whose checksum is read from manifest_hash (older ones)."""
    current = document.get("integrity_checksum", _MISSING)
    if current is not _MISSING and current:
        return ""
    state = "missing" if current is _MISSING else "null" if current is None else "empty"
    return f"checked against manifest_hash: integrity_checksum is {state}, as in documents of earlier versions"


def diagnose(document: dict[str, Any]) -> str | None:
    """What keeps ScanEnvelope.from_dict from reading the document, in the order it reads, in plain words."""
    findings = document.get("findings", [])
    if not isinstance(findings, list):
        return f"findings is not a list (got {kind(findings)})"
    return (_unreadable_finding(findings) or _unreadable_checksum(document) or _missing_key(document)
            or _unreadable_amount(document, findings))


def checksum_report(document: Any, strict: bool = False) -> tuple[str, str]:
    """The verdict on a document and what the checksum command shows for it, one line each: the stored and
    the recomputed checksum where the findings can be read (``MISMATCH`` after a CORRUPT one's), then the
    reason when the document is INVALID."""
    status, detail = check_document(document)
    if type(document) is Noted:
        document = document.value
    lines = _checksums(document) if type(document) is dict else []
    if status == CORRUPT and lines:
        lines[-1] += "  MISMATCH"
    if status == INVALID or not lines:
        lines.append(f"{status}: {detail}" if detail else status)
    return status, "\n".join(map(escape_text, lines))  # a stored value's own line breaks stay escaped


def _checksums(document: dict[str, Any]) -> list[str]:
    key, stored = _stored_checksum(document)
    try:
        findings = [manifest.Finding.from_dict(f) for f in document.get("findings", [])]
        recomputed = manifest.compute_integrity_checksum(findings)
    except Exception:  # the verdict says what is wrong
        return []
    if stored and not isinstance(stored, str):
        return []
    return [f"stored     {stored or '(none)'}", f"recomputed {recomputed}"]


def _stored_checksum(document: dict[str, Any]) -> tuple[str, Any]:
    """The key the checksum is read from, and its value, as ScanEnvelope.from_dict chooses them."""
    value = document.get("integrity_checksum")
    return ("integrity_checksum", value) if value else ("manifest_hash", document.get("manifest_hash", ""))


def _unreadable_finding(findings: list[Any]) -> str | None:
    for i, finding in enumerate(findings):
        if not isinstance(finding, dict):
            return f"findings[{i}] is not an object (got {kind(finding)})"
        for key in _FINDING_IDENTITY:
            if key not in finding:
                return f"findings[{i}] has no {key}"
        finding_hash = finding.get("finding_hash", "")
        if finding_hash and not isinstance(finding_hash, str):
            return f"findings[{i}].finding_hash is not text (got {kind(finding_hash)})"
        if not finding_hash:
            for key in _FINDING_IDENTITY:
                if not isinstance(finding[key], str):
                    return f"findings[{i}].{key} is not text (got {kind(finding[key])})"
    return None


def _unreadable_checksum(document: dict[str, Any]) -> str | None:
    key, stored = _stored_checksum(document)
    if stored and not isinstance(stored, str):
        return f"{key} is not text (got {kind(stored)})"
    return None


def _missing_key(document: dict[str, Any]) -> str | None:
    for key in _REQUIRED:
        if key not in document:
            return f"missing key {key!r}"
    return None


def _unreadable_amount(document: dict[str, Any], findings: list[Any]) -> str | None:
    adjusted_summed = document.get("discount_factor") is not None and document.get("adjusted_total_monthly_waste_usd") is None
    summed = ("estimated_monthly_waste_usd", *(("adjusted_monthly_waste_usd",) if adjusted_summed else ()))
    for i, finding in enumerate(findings):
        for key in summed:
            value = finding.get(key)
            if value and not is_number(value) and not isinstance(value, bool):
                return f"findings[{i}].{key} is not a number (got {kind(value)})"
    for key in ("adjusted_total_monthly_waste_usd", "adjusted_total_annual_waste_usd"):
        value = document.get(key)
        if value is not None and not isinstance(value, (int, float)):
            return f"{key} is not a number (got {kind(value)})"
    return None


def _unreadable(exc: BaseException) -> str:
    if isinstance(exc, KeyError):
        return f"missing key {exc.args[0]!r}" if exc.args else "a key is missing"
    return f"not a readable scan envelope ({exc})"
