"""One parsed document in, one verdict out; the strict audit of what the checksum does not cover."""

from __future__ import annotations

import copy
import io
import json
import re
from collections.abc import Callable
from typing import Any

import pytest

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


STRICT = [  # a stored document the checksum still accepts, and what the strict audit says of it
    (edited(lambda d: d["findings"][3].update(resource_id="i-EVIL")),
     "findings[3].finding_hash does not match its identity fields; findings[3].remediation.explanation is not what its remediation gives"),
    *[(edited(lambda d, k=key: d["findings"][0].update({k: d["findings"][0][k] + "x"})),
       "findings[0].finding_hash does not match its identity fields") for key in ("rule_id", "region", "resource_type", "provider")],
    (edited(lambda d: d["findings"][1].update(region=None)), "findings[1].finding_hash cannot be recomputed from its identity fields"),
    (edited(lambda d: _rename(d["findings"][2], "title", "titlf")), 'findings[2] has unknown key "titlf"'),
    (edited(lambda d: d["findings"][0]["remediation"]["explanation"].update(summary="stop")),
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d["findings"][0]["remediation"]["explanation"].update(monthly_savings_usd=140)),  # 140.16 as written
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d["findings"][0]["remediation"].pop("explanation")), "findings[0].remediation has no explanation"),
    (edited(lambda d: d["findings"][0]["remediation"].update(action="terminate")),
     "findings[0].remediation.explanation is not what its remediation gives"),
    (edited(lambda d: d.update(scanned_at="not a date")), "scanned_at fails the schema: 'not a date' is not a 'date-time'"),
    (edited(lambda d: d.update(scanned_at="2026-12-08T11:33:19")), "scanned_at fails the schema: .+"),  # no UTC offset
    (edited(lambda d: d.update(spend_context_pct=float("inf"))), "spend_context_pct is Infinity, which JSON does not have"),
    (edited(lambda d: d["account_summaries"][0].update(x=float("nan"))), "account_summaries[0].x is NaN, which JSON does not have"),
    (json.dumps(DEMO).replace('"findings": [', '"findings": [], "findings": [', 1), 'duplicate key "findings"'),
    (json.dumps(DEMO).replace('"title"', '"title": "", "title"', 1), 'duplicate key "title" in findings[0]'),
    (edited(lambda d: d["findings"][0]["remediation"].update(risk="high")), None),  # not covered, and said so in the docs
    (edited(lambda d: d["findings"][0].update(title="another")), None),
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
    assert check_document(parse_json(text.encode()))[0] == "OK"  # the checksum cannot see it
    status, detail = check_document(document, strict=True)
    if finding is None:
        assert (status, detail) == ("OK", "")
    else:
        assert status == "INCONSISTENT" and re.fullmatch(".+".join(map(re.escape, finding.split(".+"))), detail), detail


def test_a_host_that_gives_no_hash_of_its_own_skips_the_identity_check_with_one_warning(monkeypatch: Any) -> None:
    from brimwick.output import manifest

    real = manifest.Finding

    class NoHash(real):  # type: ignore[misc,valid-type]
        def __post_init__(self) -> None:
            pass

    monkeypatch.setattr(manifest, "Finding", NoHash)
    monkeypatch.setattr(finding_audit, "_warned", [])
    doc = json.loads(edited(lambda d: d["findings"][3].update(resource_id="i-EVIL")))
    with pytest.warns(RuntimeWarning, match="gives no hash of its own") as warned:
        problems = finding_audit.finding_problems(doc["findings"])
        problems += finding_audit.finding_problems(doc["findings"])
    assert len(warned) == 1 and not any("finding_hash" in p for p in problems)
