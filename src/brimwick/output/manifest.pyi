"""Scan envelope with integrity checksum for corruption detection."""

import hashlib as hashlib
import json as json
from dataclasses import dataclass as dataclass, field as field
from datetime import datetime as datetime, timezone as timezone
from typing import Any as Any, Self

from brimwick.core.schemas import Finding as Finding

def compute_integrity_checksum(findings: list[Finding]) -> str:
    """Compute a SHA-256 integrity checksum over sorted finding hashes."""

compute_manifest_hash = compute_integrity_checksum

@dataclass
class ScanEnvelope:
    """Top-level scan result container with integrity checksum."""

    tenant_id: str
    provider: str
    regions: list[str]
    scan_profile: str
    findings: list[Finding]
    # Made at each construction: the current UTC time as ISO 8601 text.
    scanned_at: str = ...
    integrity_checksum: str = ""
    finding_count: int = 0
    total_monthly_waste_usd: float = 0.0
    pricing_basis: str = "on-demand"
    discount_factor: float | None = None
    adjusted_total_monthly_waste_usd: float | None = None
    total_annual_waste_usd: float = 0.0
    adjusted_total_annual_waste_usd: float | None = None
    spend_context_pct: float | None = None
    failed_rules: list[dict[str, str]] = field(default_factory=list)
    narrative: dict[str, Any] | None = None
    account_summaries: list[dict[str, Any]] = field(default_factory=list)
    brimwick_version: str = ""

    def __post_init__(self) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...
    def _findings_with_explanations(self) -> list[dict[str, Any]]:
        """Serialize findings with computed ``explanation`` injected."""

    @classmethod
    def from_dict(cls, data: dict[str, Any], verify: bool = True) -> Self:
        """Deserialize a scan envelope from a dict."""
