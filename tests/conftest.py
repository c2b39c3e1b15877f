"""Shared fixtures: the module under test and small finding records."""

from __future__ import annotations

import importlib
import random
import string
from dataclasses import dataclass
from typing import Any

import pytest
from hypothesis import HealthCheck, settings

from brimwick.core.schemas import Finding

manifest = importlib.import_module("brimwick.output.manifest")

# A busy machine slows drawing examples as much as running them: no property test is bounded in time.
settings.register_profile("busy-machine", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("busy-machine")


@dataclass
class StubFinding:
    """A finding with only the attributes the envelope reads, freely set."""

    finding_hash: Any = "0" * 64
    estimated_monthly_waste_usd: Any = None
    adjusted_monthly_waste_usd: Any = None
    remediation: Any = None
    dict_form: Any = None

    def to_dict(self) -> Any:
        if self.dict_form is not None:
            return self.dict_form
        return {"finding_hash": self.finding_hash, "remediation": dict(self.remediation) if isinstance(self.remediation, dict) else self.remediation}


def random_finding(rng: random.Random, index: int = 0) -> Finding:
    """A realistic host finding with random identity and amounts."""
    remediation = rng.choice([None, {"action": "stop", "risk": "low"}, {"action": "rightsize"}])
    return Finding(
        resource_id=f"i-{index:06d}-{''.join(rng.choices(string.hexdigits.lower(), k=8))}",
        resource_type=rng.choice(["vm", "disk", "snapshot", "ip"]),
        rule_id=rng.choice(["idle", "unattached", "oversized"]),
        provider=rng.choice(["aws", "gcp", "azure"]),
        region=rng.choice(["us-east-1", "eu-west-1", "ap-south-1"]),
        title="waste",
        estimated_monthly_waste_usd=rng.choice([None, 0, 0.0, round(rng.uniform(0, 900), 2), rng.uniform(0, 1e6)]),
        adjusted_monthly_waste_usd=rng.choice([None, 0.0, round(rng.uniform(0, 500), 2)]),
        remediation=remediation,
    )


@pytest.fixture
def rng() -> random.Random:
    return random.Random(20261208)


@pytest.fixture
def findings(rng: random.Random) -> list[Finding]:
    return [random_finding(rng, i) for i in range(12)]


def envelope(findings: list[Any] | None = None, **kwargs: Any) -> Any:
    """An envelope with fixed context, for tests that vary one thing."""
    return manifest.ScanEnvelope(
        kwargs.pop("tenant_id", "tenant-1"),
        kwargs.pop("provider", "aws"),
        kwargs.pop("regions", ["us-east-1"]),
        kwargs.pop("scan_profile", "full"),
        [] if findings is None else findings,
        **kwargs,
    )
