"""Calling code as a typed user of the package writes it; checked with mypy --strict."""

from __future__ import annotations

import json
from typing import Any, assert_type

from brimwick.core.schemas import Finding
from brimwick.output import manifest
from brimwick.output.manifest import ScanEnvelope, compute_integrity_checksum


class TaggedEnvelope(ScanEnvelope):
    """A caller's own envelope type: from_dict builds instances of it."""


def store(envelope: ScanEnvelope) -> str:
    document: dict[str, Any] = envelope.to_dict()
    return json.dumps(document)


def load(text: str, *, verify: bool = True) -> ScanEnvelope:
    return ScanEnvelope.from_dict(json.loads(text), verify=verify)


def example() -> None:
    finding = Finding("vol-1", "ebs_volume", "unattached-volume", "aws", "us-east-1", estimated_monthly_waste_usd=50.0)
    envelope = ScanEnvelope("tenant-1", "aws", ["us-east-1"], "standard", [finding], discount_factor=0.8)
    assert_type(envelope.integrity_checksum, str)
    assert_type(envelope.adjusted_total_monthly_waste_usd, float | None)
    assert_type(envelope.failed_rules, list[dict[str, str]])
    assert_type(compute_integrity_checksum(envelope.findings), str)
    assert_type(manifest.compute_manifest_hash([finding]), str)
    assert_type(envelope._findings_with_explanations(), list[dict[str, Any]])
    assert_type(TaggedEnvelope.from_dict(envelope.to_dict()), TaggedEnvelope)
    assert_type(load(store(envelope), verify=False).finding_count, int)
    assert_type(manifest.Finding, type[Finding])


if __name__ == "__main__":
    example()
