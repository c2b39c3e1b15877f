"""One parsed document in, one verdict out; the strict audit of what the checksum does not cover."""

from __future__ import annotations

import copy
import importlib
import io
import json
import re
import sys
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest

from brimwick.output import manifest
from brimwick.output.verify import findings as finding_audit
from brimwick.output.verify.documents import Damaged, parse_json, stream_values
from brimwick.output.verify.lines import iter_lines
from brimwick.output.verify.verdicts import check_document


@pytest.mark.parametrize("doc, expected", [
    (Damaged("why"), ("INVALID", "why")),
    ("text", ("INVALID", "not a JSON object (got text)")),
    (None, ("INVALID", "not a JSON object (got null)")),
    ({"integrity_checksum": "", "manifest_hash": None}, ("INVALID", "no integrity checksum stored")),
])
def test_check_document_on_what_is_not_an_envelope(doc: Any, expected: tuple[str, str]) -> None:
    assert check_document(doc) == expected


# ---------------------------------------------------------------- the strict audit of what the checksum does not cover

def _demo() -> dict[str, Any]:
    from brimwick.output import cli

    return json.loads(json.dumps(cli.demo_envelope().to_dict()))


DEMO = _demo()


def edited(change: Callable[[dict[str, Any]], Any]) -> str:
    doc = copy.deepcopy(DEMO)
    change(doc)
    return json.dumps(doc)


def _rename(finding: dict[str, Any], old: str, new: str) -> None:
    finding[new] = finding.pop(old)


PAST_DOUBLE = "an integer past the double range, which other readers read as Infinity or refuse"
STRICT = [  # a stored document the checksum still accepts, and what the strict audit says of it
    (edited(lambda d: d["findings"][3].update(resource_id="i-EVIL")),
     "findings[3].finding_hash does not match its identity fields; findings[3].remediation.explanation is not what its remediation gives"),
    *[(edited(lambda d, k=key: d["findings"][0].update({k: d["findings"][0][k] + "x"})),
       "findings[0].finding_hash does not match its identity fields") for key in ("rule_id", "region", "resource_type", "provider")],
    (edited(lambda d: d["findings"][1].update(region=None)), "findings[1].finding_hash cannot be recomputed from its identity fields"),
    (edited(lambda d: _rename(d["findings"][2], "title", "titlf")), 'findings[2] has unknown key "titlf"'),
    # Past the problems listed, how many more: the finding's unknown keys and its own other problems alike.
    (edited(lambda d: (d["findings"][0].update({"k" * 100: 0, **{f"k{i}": 0 for i in range(20)}}),
                       d["findings"][0]["remediation"]["explanation"].update(summary="stop"))),
     'findings[0] has unknown key "' + "k" * 76 + '...; .+; findings[0] has unknown key "k18"; ... and 2 more'),
    (edited(lambda d: d["findings"][0]["remediation"]["explanation"].update(summary="stop")),
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d["findings"][0]["remediation"]["explanation"].update(monthly_savings_usd=140)),  # 140.16 as written
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d["findings"][7]["remediation"]["explanation"].update(monthly_savings_usd=-0.0)),  # written 0.0
     "findings[7].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d["findings"][0]["remediation"].pop("explanation")), "findings[0].remediation has no explanation"),
    (edited(lambda d: d["findings"][0]["remediation"].update(action="terminate")),
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d.update(scanned_at="not a date")), 'scanned_at fails the schema: "not a date" is not a "date-time"'),
    (edited(lambda d: d.update(scanned_at="2026-12-08T11:33:19")), "scanned_at fails the schema: .+"),  # no UTC offset
    (edited(lambda d: d.update(spend_context_pct=float("inf"))), "spend_context_pct is Infinity, which JSON does not have"),
    (edited(lambda d: d["account_summaries"][0].update(x=float("nan"))), "account_summaries[0].x is NaN, which JSON does not have"),
    (edited(lambda d: d.update(total_annual_waste_usd=float("nan"))),  # the schema's word on a NaN is left out
     f"total_annual_waste_usd is NaN, which JSON does not have; total_annual_waste_usd stored NaN, recomputed {DEMO['total_annual_waste_usd']}"),
    (edited(lambda d: d.update(regions=[1], scanned_at="not a date", unexpected=1)),  # the top level's error before the others
     "document fails the schema: Additional properties are not allowed ('unexpected' was unexpected)"),
    (edited(lambda d: (d.pop("narrative"), d.update(scanned_at="not a date"))),
     'document fails the schema: "narrative" is a required property'),
    (edited(lambda d: d.update(a=1, b=1, c=1)),
     "document fails the schema: Additional properties are not allowed ('a', 'b', 'c' were unexpected)"),
    (edited(lambda d: d.update({"x" * 100: 1, "b": 1, "c": 1, "d": 1})),  # past three keys, the message is ours
     "document fails the schema: Additional properties are not allowed ('" + "x" * 76
     + "..., 'b', 'c' and 1 more were unexpected)"),
    (json.dumps(DEMO).replace('"findings": [', '"findings": [], "findings": [', 1), 'duplicate key "findings"'),
    (json.dumps(DEMO).replace('"title"', '"title": "", "title"', 1), 'duplicate key "title" in findings[0]'),
    (edited(lambda d: d["findings"][0]["remediation"].update(risk="high")), None),  # not covered, and said so in the docs
    (edited(lambda d: d["findings"][0].update(title="another")), None),
    # An integer past the double range: other readers read it as Infinity, and float arithmetic cannot take it.
    (edited(lambda d: d.update(adjusted_total_monthly_waste_usd=10**400)),
     f"adjusted_total_monthly_waste_usd is {PAST_DOUBLE}"),
    (edited(lambda d: d.update(adjusted_total_annual_waste_usd=-10**400)),
     f"adjusted_total_annual_waste_usd is {PAST_DOUBLE}; adjusted_total_annual_waste_usd stored -1000.+, recomputed .+"),
    (edited(lambda d: d["account_summaries"][0].update(n=10**308)), None),  # an integer a double still holds
    # Older documents: the checksum is read from manifest_hash, as the default run reads it, and the verdict says so.
    *[(edited(change), f"OK: checked against manifest_hash: integrity_checksum is {state}, as in documents of earlier versions")
      for change, state in [(lambda d: d.update(integrity_checksum=None), "null"),
                            (lambda d: d.update(integrity_checksum=""), "empty"),
                            (lambda d: d.pop("integrity_checksum"), "missing")]],
    (edited(lambda d: d.update(integrity_checksum=None, finding_count=7)), "finding_count stored 7, recomputed 8"),
]


@pytest.mark.parametrize("text, finding", STRICT)
@pytest.mark.parametrize("layout", ["one line", "two lines"])
def test_the_strict_audit_checks_what_the_checksum_does_not(text: str, finding: str | None, layout: str) -> None:
    if layout == "two lines":  # the stream reader's way for a value over several lines, keys given twice kept
        data = text.replace(', "findings"', ',\n "findings"', 1).encode()
        document = next(stream_values(iter_lines(io.BytesIO(data).read, skip_first=False, end=None, limit=1 << 20,
                                                 counter=[0]), 1 << 20, True))[1]
    else:
        document = parse_json(text.encode(), strict=True)
    assert check_document(parse_json(text.encode())) == ("OK", "")  # the checksum cannot see it
    status, detail = check_document(document, strict=True)
    if finding is None or finding.startswith("OK: "):
        assert (status, detail) == ("OK", (finding or "").removeprefix("OK: "))
    else:
        assert status == "INCONSISTENT" and re.fullmatch(".+".join(map(re.escape, finding.split(".+"))), detail), detail


def test_a_host_that_gives_no_hash_of_its_own_skips_the_identity_check_with_one_warning(monkeypatch: Any) -> None:
    real = manifest.Finding

    class NoHash(real):  # type: ignore[misc,valid-type]
        def __post_init__(self) -> None:
            pass

    monkeypatch.setattr(manifest, "Finding", NoHash)
    monkeypatch.setattr(finding_audit, "_warned", [])
    doc = json.loads(edited(lambda d: d["findings"][3].update(resource_id="i-EVIL")))
    findings = manifest.ScanEnvelope.from_dict(doc).findings
    with pytest.warns(RuntimeWarning, match="gives no hash of its own") as warned:
        problems, _ = finding_audit.finding_problems(doc["findings"], findings, 20)
        problems += finding_audit.finding_problems(doc["findings"], findings, 20)[0]
    assert len(warned) == 1 and not any("finding_hash" in p for p in problems)
    assert [f.finding_hash for f in findings] == [f["finding_hash"] for f in doc["findings"]]  # as they were read


def _fail(*_: Any, **__: Any) -> Any:
    raise RuntimeError("the host failed")


class _FailingValidator:
    is_valid = validate = iter_errors = staticmethod(_fail)


@pytest.mark.parametrize("module, name, stand_in", [
    ("brimwick.output.explanation", "build_remediation_explanation", _fail),  # the host's own code fails
    ("brimwick.output.verify.audit", "_schema_validators", lambda: (_FailingValidator(), _FailingValidator())),
])
def test_a_fault_in_the_audit_is_the_documents_verdict(monkeypatch: Any, module: str, name: str, stand_in: Any) -> None:
    monkeypatch.setattr(importlib.import_module(module), name, stand_in)
    document = parse_json(json.dumps(DEMO).encode(), strict=True)
    assert check_document(document, strict=True) == ("INCONSISTENT", "the strict audit cannot judge it (RuntimeError: the host failed)")
    assert check_document(document) == ("OK", "")


def _wide_and_deep(shape: str, width: int) -> bytes:
    if shape.startswith("unknown"):
        doc = copy.deepcopy(DEMO)
        (doc["findings"][0] if "finding" in shape else doc).update({f"k{i}": 0 for i in range(width)})
        return json.dumps(doc).encode()
    inner = "[" * 900 + ",".join(["NaN" if shape == "NaN" else "0"] * width) + "]" * 900
    text = json.dumps(DEMO).replace('"narrative": null', f'"narrative": {{"a": {inner}}}', 1)
    return (text.replace('"tenant_id"', '"tenant_id": "", "tenant_id"', 1) if shape == "key twice" else text).encode()


@pytest.mark.parametrize("shape, verdict, shown", [  # {}: how many more than the verdict shows
    ("NaN", "narrative.a[0][0][0].+ is NaN, which JSON does not have; .+; ... and {} more", 20),
    ("key twice", 'duplicate key "tenant_id"', 20),
    ("unknown finding keys", 'findings[0] has unknown key "k0"; .+; ... and {} more', 20),  # only the keys shown are written out
    ("unknown top-level keys",
     "document fails the schema: Additional properties are not allowed ('k0', 'k1', 'k2' and {} more were unexpected)", 3),
])
def test_the_audit_of_a_wide_deep_document_takes_memory_for_its_depth_not_its_width(shape: str, verdict: str,
                                                                                    shown: int) -> None:
    limit = sys.getrecursionlimit()
    peaks = []
    try:
        for width in (20_000, 40_000):
            document = parse_json(_wide_and_deep(shape, width), strict=True)
            tracemalloc.start()
            try:
                status, detail = check_document(document, strict=True)
                peaks.append(tracemalloc.get_traced_memory()[1])
            finally:
                tracemalloc.stop()
            assert status == "INCONSISTENT" and re.fullmatch(re.escape(verdict).replace(r"\.\+", ".+").replace(
                r"\{\}", str(width - shown)), detail) and len(detail) < 5000, detail[:300]
    finally:
        sys.setrecursionlimit(limit)  # reading 900 levels may have raised it
    assert peaks[1] < 1 << 20 and peaks[1] < peaks[0] + (64 << 10), peaks  # before: hundreds of MB, growing with the width
