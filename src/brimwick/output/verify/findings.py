"""The strict audit of each stored finding, by the host's own rules: what the checksum cannot see in it.

The checksum covers a finding's stored ``finding_hash`` and nothing else of
it. Here each finding, as ``ScanEnvelope.from_dict`` read it with the
host's ``Finding.from_dict``, is compared with what the host gives back for
it: the hash its identity fields give (the host fills in a missing
``finding_hash`` from them), the ``explanation`` that
``build_remediation_explanation`` writes into its remediation, and the keys
the host writes a finding with. No rule is copied here, and nothing is
built twice: the envelope's findings are the ones audited. Where the host
gives no hash of its own, the identity check is skipped with one warning.
"""

from __future__ import annotations

import itertools
import json
import warnings
from typing import Any

from brimwick.output import manifest
from brimwick.output.verify.readings import shortened

_MISSING = object()
_KEY_CHARACTERS = 80
_SCALARS = frozenset((str, int, float, bool, type(None)))
_warned: list[bool] = []


def finding_problems(stored: list[Any], findings: list[Any], most: int) -> tuple[list[str], int]:
    """Where the stored findings disagree with what the host makes of them, each with its path: the first
    ``most`` in words, and how many more. ``findings`` are the host's own, as ScanEnvelope.from_dict read them."""
    from brimwick.output.explanation import build_remediation_explanation  # by name, as serialisation imports it

    if len(findings) != len(stored):  # a host whose envelope keeps findings of its own making
        findings = [_read(item) for item in stored]
    problems: list[str] = []
    more = 0
    for i, (item, finding) in enumerate(zip(stored, findings)):
        if finding is not None:
            found, uncounted = _problems(f"findings[{i}]", item, finding, build_remediation_explanation,
                                         most - len(problems))
            problems += found
            more += uncounted
    return problems, more


def _read(stored: Any) -> Any:
    try:
        return manifest.Finding.from_dict(stored)
    except Exception:  # as for to_dict below
        return None


def _problems(where: str, stored: dict[str, Any], finding: Any, build: Any, room: int) -> tuple[list[str], int]:
    """The first ``room`` problems of one finding in words, and how many more. Only what is shown is
    written out: a finding may have a million unknown keys."""
    try:
        written = finding.to_dict()
    except Exception:  # the host read the finding a moment ago; one that cannot write it now says nothing more
        return [], 0
    unknown = (key for key in stored if key not in written)
    problems = [f"{where} has unknown key {shortened(json.dumps(key, ensure_ascii=False), _KEY_CHARACTERS)}"
                for key in itertools.islice(unknown, max(room, 0))]
    more = sum(1 for _ in unknown)
    problems += _identity(where, stored, finding)
    problems += _explanation(where, stored, finding, written, build)
    shown = problems[:max(room, 0)]
    return shown, more + len(problems) - len(shown)


def _identity(where: str, stored: dict[str, Any], finding: Any) -> list[str]:
    try:
        recomputed = _recomputed_hash(stored, finding)
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


def _recomputed_hash(stored: dict[str, Any], finding: Any) -> Any:
    """The hash the host's own rule gives the finding's identity fields. A dataclass Finding fills in a
    missing hash in ``__post_init__``: that is run again on the finding itself, its stored hash set aside
    for the moment, so nothing is built twice; any other Finding is built anew without the hash."""
    fill_in = getattr(type(finding), "__post_init__", None)
    kept = finding.finding_hash
    try:
        finding.finding_hash = ""
    except AttributeError:  # frozen
        fill_in = None
    if fill_in is None:
        return manifest.Finding.from_dict({**stored, "finding_hash": ""}).finding_hash
    try:
        fill_in(finding)
        return finding.finding_hash
    finally:
        finding.finding_hash = kept


def _explanation(where: str, stored: dict[str, Any], finding: Any, written: dict[str, Any], build: Any) -> list[str]:
    # As serialisation decides: an explanation only where the finding's
    # remediation and the remediation it writes are both true.
    expected = build(finding, finding.remediation) if finding.remediation and written.get("remediation") else _MISSING
    remediation = stored.get("remediation")
    found = remediation.get("explanation", _MISSING) if isinstance(remediation, dict) else _MISSING
    if _same(found, expected) or _canonical(found) == _canonical(expected):
        return []
    if found is _MISSING:
        return [f"{where}.remediation has no explanation"]
    if expected is _MISSING:
        return [f"{where}.remediation.explanation is stored where its remediation gives none"]
    return [f"{where}.remediation.explanation is not what its remediation gives"]


def _same(stored: Any, written: Any) -> bool:
    """True where the two are the same JSON at a glance: equal scalars of one type (1, 1.0 and true apart),
    or objects of such scalars under the same keys. False says nothing: ``_canonical`` decides then."""
    if type(stored) is not dict or type(written) is not dict:
        return _same_scalar(stored, written)
    if stored.keys() != written.keys():
        return False
    for key, value in stored.items():
        other = written[key]
        kind = type(value)  # inline _same_scalar: this runs for every finding
        if kind is not type(other) or kind not in _SCALARS or value != other or (kind is float and value == 0):
            return False
    return True


def _same_scalar(stored: Any, written: Any) -> bool:
    kind = type(stored)
    # A zero's sign and NaN are left to _canonical, which writes them as JSON does.
    return kind is type(written) and kind in _SCALARS and stored == written and (kind is not float or stored != 0)


def _canonical(value: Any) -> str | None:
    """A form in which JSON values compare as JSON: 1, 1.0 and true apart, key order left out."""
    if value is _MISSING:
        return None
    try:
        return json.dumps(value, sort_keys=True)
    except (TypeError, ValueError):
        return repr(value)
