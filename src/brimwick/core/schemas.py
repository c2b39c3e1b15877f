"""The scanner's finding record."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from typing import Any

_IDENTITY_FIELDS = ("provider", "region", "resource_type", "resource_id", "rule_id")


def _identity_hash(provider: str, region: str, resource_type: str, resource_id: str, rule_id: str) -> str:
    # Unit separators keep ("ab", "c") and ("a", "bc") apart.
    text = "\x1f".join((provider, region, resource_type, resource_id, rule_id))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


@dataclass
class Finding:
    """One resource whose spending a rule judged to be waste."""

    resource_id: str
    resource_type: str
    rule_id: str
    provider: str
    region: str
    title: str = ""
    estimated_monthly_waste_usd: float | None = None
    adjusted_monthly_waste_usd: float | None = None
    remediation: dict[str, Any] | None = None
    finding_hash: str = field(default="")

    def __post_init__(self) -> None:
        if not self.finding_hash:
            self.finding_hash = _identity_hash(
                self.provider, self.region, self.resource_type, self.resource_id, self.rule_id
            )

    def to_dict(self) -> dict[str, Any]:
        return {
            "finding_hash": self.finding_hash,
            "resource_id": self.resource_id,
            "resource_type": self.resource_type,
            "rule_id": self.rule_id,
            "provider": self.provider,
            "region": self.region,
            "title": self.title,
            "estimated_monthly_waste_usd": self.estimated_monthly_waste_usd,
            "adjusted_monthly_waste_usd": self.adjusted_monthly_waste_usd,
            "remediation": None if self.remediation is None else dict(self.remediation),
        }

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> Finding:
        remediation = d.get("remediation")
        if isinstance(remediation, dict):
            # The stored document carries a generated explanation; it is not
            # part of the finding itself.
            remediation = {k: v for k, v in remediation.items() if k != "explanation"}
        return cls(
            resource_id=d["resource_id"],
            resource_type=d["resource_type"],
            rule_id=d["rule_id"],
            provider=d["provider"],
            region=d["region"],
            title=d.get("title", ""),
            estimated_monthly_waste_usd=d.get("estimated_monthly_waste_usd"),
            adjusted_monthly_waste_usd=d.get("adjusted_monthly_waste_usd"),
            remediation=remediation,
            finding_hash=d.get("finding_hash", ""),
        )
