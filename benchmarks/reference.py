"""Pure-Python rendering of ``brimwick.output.manifest``.

The baseline a user would write without the native module: the same checksum,
envelope record, completion, serialisation and deserialisation, in plain
Python on the host's ``dataclasses``, ``json`` and ``hashlib``. The benchmarks
time the native module against it, and the tests use it as an oracle.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

from brimwick.core.schemas import Finding

_HEAPTYPE = 1 << 9
_SUBCLASS_NOTE = ". Subclasses of built-in types are not accepted; pass the built-in type itself."


def _type_name(tp: type) -> str:
    # The type's C-level name: a static extension type carries its module in it.
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def _require_exact(name: str, value: Any, expected: type) -> None:
    if type(value) is not expected:
        note = _SUBCLASS_NOTE if isinstance(value, expected) else ""
        raise TypeError(
            f"Argument '{name}' has incorrect type "
            f"(expected {expected.__name__}, got {_type_name(type(value))}){note}"
        )


def _head(value: Any) -> Any:
    # The first 16 elements, as a sequence slice: a value without item access is unsliceable.
    if not hasattr(type(value), "__getitem__"):
        raise TypeError(f"'{_type_name(type(value))}' object is unsliceable")
    return value[:16]


def compute_integrity_checksum(findings: list[Finding]) -> str:
    """Compute a SHA-256 integrity checksum over sorted finding hashes.

    This detects accidental corruption (truncated files, encoding errors)
    but is **not** a tamper-proof seal — the checksum is embedded alongside
    the data, so anyone modifying findings can recompute it.
    """
    _require_exact("findings", findings, list)
    sorted_hashes = [f.finding_hash for f in findings]
    sorted_hashes.sort()
    canonical = json.dumps(sorted_hashes, separators=(",", ":"))
    return hashlib.sha256(canonical.encode()).hexdigest()


compute_manifest_hash = compute_integrity_checksum


@dataclass
class ScanEnvelope:
    """Top-level scan result container with integrity checksum.

    The ``integrity_checksum`` field detects accidental data corruption; it is
    **not** cryptographic tamper verification (see module docstring).
    """

    tenant_id: str
    provider: str
    regions: list[str]
    scan_profile: str
    findings: list[Finding]
    scanned_at: str = field(default_factory=lambda: datetime.now(timezone.utc).isoformat())
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

    def __post_init__(self) -> None:
        if not self.brimwick_version:
            try:
                from brimwick import __version__

                self.brimwick_version = __version__
            except Exception:
                self.brimwick_version = "unknown"
        self.finding_count = len(self.findings)
        self.total_monthly_waste_usd = sum(f.estimated_monthly_waste_usd or 0.0 for f in self.findings)
        self.total_annual_waste_usd = round(self.total_monthly_waste_usd * 12, 2)
        if self.discount_factor is not None and self.adjusted_total_monthly_waste_usd is None:
            adjusted_values = [
                f.adjusted_monthly_waste_usd for f in self.findings if f.adjusted_monthly_waste_usd is not None
            ]
            if adjusted_values:
                self.adjusted_total_monthly_waste_usd = sum(adjusted_values)
        if self.adjusted_total_monthly_waste_usd is not None:
            self.adjusted_total_annual_waste_usd = round(self.adjusted_total_monthly_waste_usd * 12, 2)
        if not self.integrity_checksum:
            self.integrity_checksum = compute_integrity_checksum(self.findings)

    def to_dict(self) -> dict[str, Any]:
        return {
            "tenant_id": self.tenant_id,
            "provider": self.provider,
            "regions": self.regions,
            "scan_profile": self.scan_profile,
            "scanned_at": self.scanned_at,
            "integrity_checksum": self.integrity_checksum,
            "manifest_hash": self.integrity_checksum,
            "finding_count": self.finding_count,
            "total_monthly_waste_usd": round(self.total_monthly_waste_usd, 2),
            "pricing_basis": self.pricing_basis,
            "discount_factor": self.discount_factor,
            "adjusted_total_monthly_waste_usd": (
                None if self.adjusted_total_monthly_waste_usd is None else round(self.adjusted_total_monthly_waste_usd, 2)
            ),
            "total_annual_waste_usd": round(self.total_annual_waste_usd, 2),
            "adjusted_total_annual_waste_usd": (
                None if self.adjusted_total_annual_waste_usd is None else round(self.adjusted_total_annual_waste_usd, 2)
            ),
            "spend_context_pct": None if self.spend_context_pct is None else round(self.spend_context_pct, 2),
            "failed_rules": self.failed_rules,
            "narrative": self.narrative,
            "brimwick_version": self.brimwick_version,
            "account_summaries": self.account_summaries,
            "findings": self._findings_with_explanations(),
        }

    def _findings_with_explanations(self) -> list[dict[str, Any]]:
        """Serialize findings with computed ``explanation`` injected."""
        from brimwick.output.explanation import build_remediation_explanation

        result = []
        for f in self.findings:
            d = f.to_dict()
            if f.remediation and d.get("remediation"):
                d["remediation"]["explanation"] = build_remediation_explanation(f, f.remediation)
            result.append(d)
        return result

    @classmethod
    def from_dict(cls, data: dict[str, Any], verify: bool = True) -> ScanEnvelope:
        """Deserialize a scan envelope from a dict.

        Args:
            data: Serialized envelope dict.
            verify: If True, verify integrity checksum. Raises ValueError if
                the stored checksum doesn't match the recomputed value,
                indicating possible data corruption.
        """
        verify = bool(verify)
        _require_exact("data", data, dict)
        findings = [Finding.from_dict(f) for f in data.get("findings", [])]
        stored_hash = data.get("integrity_checksum") or data.get("manifest_hash", "")
        if verify and stored_hash:
            recomputed = compute_integrity_checksum(findings)
            if recomputed != stored_hash:
                raise ValueError(
                    f"Integrity checksum mismatch: stored={_head(stored_hash)}... "
                    f"recomputed={recomputed[:16]}... \u2014 data may be corrupt"
                )
        return cls(
            tenant_id=data["tenant_id"],
            provider=data["provider"],
            regions=data["regions"],
            scan_profile=data["scan_profile"],
            scanned_at=data.get("scanned_at", datetime.now(timezone.utc).isoformat()),
            integrity_checksum=stored_hash,
            pricing_basis=data.get("pricing_basis", "on-demand"),
            discount_factor=data.get("discount_factor"),
            adjusted_total_monthly_waste_usd=data.get("adjusted_total_monthly_waste_usd"),
            total_annual_waste_usd=data.get("total_annual_waste_usd", 0.0),
            adjusted_total_annual_waste_usd=data.get("adjusted_total_annual_waste_usd"),
            spend_context_pct=data.get("spend_context_pct"),
            failed_rules=data.get("failed_rules", []),
            narrative=data.get("narrative"),
            account_summaries=data.get("account_summaries", []),
            brimwick_version=data.get("brimwick_version", ""),
            findings=findings,
        )
