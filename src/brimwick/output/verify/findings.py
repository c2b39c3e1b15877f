"""The strict audit of each stored finding, by the host's own rules: what the checksum cannot see in it.

The checksum covers a finding's stored ``finding_hash`` and nothing else of
it. Here each finding is rebuilt with the host's ``Finding.from_dict`` (the
class ``ScanEnvelope.from_dict`` uses) and compared with what the host gives
back for it: the hash its identity fields give (the host fills in a missing
``finding_hash`` from them), the ``explanation`` that
``build_remediation_explanation`` writes into its remediation, and the keys
the host writes a finding with. No rule is copied here: where the host gives
no hash of its own, the identity check is skipped with one warning.
"""

from __future__ import annotations

import json
import warnings
from typing import Any

from brimwick.output import manifest

_MISSING = object()
_warned: list[bool] = []


def finding_problems(findings: list[Any]) -> list[str]:
    """Where the stored findings disagree with what the host makes of them, each with its path."""
    from brimwick.output.explanation import build_remediation_explanation  # by name, as serialisation imports it

    problems = []
    for i, stored in enumerate(findings):
        try:
            finding = manifest.Finding.from_dict(stored)
            written = finding.to_dict()
        except Exception:  # from_dict read these findings a moment ago; a host that fails now says nothing more
            continue
        where = f"findings[{i}]"
        problems += [f"{where} has unknown key {json.dumps(key, ensure_ascii=False)}" for key in stored if key not in written]
        problems += _identity(where, stored)
        problems += _explanation(where, stored, finding, written, build_remediation_explanation)
    return problems


def _identity(where: str, stored: dict[str, Any]) -> list[str]:
    try:
        recomputed = manifest.Finding.from_dict({**stored, "finding_hash": ""}).finding_hash
    except Exception:
        return [f"{where}.finding_hash cannot be recomputed from its identity fields"]
    if not recomputed or not isinstance(recomputed, str):
        if not _warned:
            _warned.append(True)
            warnings.warn("the host's Finding gives no hash of its own: finding identities are not checked",
                          RuntimeWarning, stacklevel=2)
        return []
    if recomputed != stored.get("finding_hash"):
        return [f"{where}.finding_hash does not match its identity fields"]
    return []


def _explanation(where: str, stored: dict[str, Any], finding: Any, written: dict[str, Any], build: Any) -> list[str]:
    # As serialisation decides: an explanation only where the finding's
    # remediation and the remediation it writes are both true.
    expected = build(finding, finding.remediation) if finding.remediation and written.get("remediation") else _MISSING
    remediation = stored.get("remediation")
    found = remediation.get("explanation", _MISSING) if isinstance(remediation, dict) else _MISSING
    if _canonical(found) == _canonical(expected):
        return []
    if found is _MISSING:
        return [f"{where}.remediation has no explanation"]
    if expected is _MISSING:
        return [f"{where}.remediation.explanation is stored where its remediation gives none"]
    return [f"{where}.remediation.explanation is not what its remediation gives"]


def _canonical(value: Any) -> str | None:
    """A form in which JSON values compare as JSON: 1, 1.0 and true apart, key order left out."""
    if value is _MISSING:
        return None
    try:
        return json.dumps(value, sort_keys=True)
    except (TypeError, ValueError):
        return repr(value)
