"""Plain-language explanations of remediations."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


def build_remediation_explanation(finding: Any, remediation: Any) -> dict[str, Any]:
    """Explain what a remediation does for a finding, as a JSON-compatible dict."""
    action = remediation.get("action") if isinstance(remediation, Mapping) else None
    action_text = str(action) if action else "review the resource"
    waste = getattr(finding, "estimated_monthly_waste_usd", None) or 0.0
    resource = getattr(finding, "resource_id", "the resource")
    return {
        "summary": f"{action_text} for {resource}",
        "monthly_savings_usd": round(float(waste), 2),
        "annual_savings_usd": round(float(waste) * 12, 2),
    }
