"""Allocation-failure sweep: every allocation of an operation fails in turn.

For each operation and each allocation index i, only the i-th allocation
made after the start fails (_testcapi.set_nomemory(i, i + 1)). Each run must
either give the right result or raise MemoryError; the process must never
crash. Under an interpreter with reference tracing, a second sweep must not
grow the total reference count. Prints a summary; exits non-zero on failure.
"""

from __future__ import annotations

import gc
import json
import sys
from typing import Any, Callable

import _testcapi

import brimwick.output.explanation  # noqa: F401  (imported before allocations fail)
import brimwick.output.manifest as m
from brimwick.core.schemas import Finding

MAX_INDEX = 600

FINDINGS = [Finding(f"r{i}", "vm", "idle", "aws", "eu-west-1", "t", 2.5 * i, 1.0 if i % 2 else None,
                    {"action": "stop"} if i % 2 else None) for i in range(6)]
ESCAPED = [type("F", (), {"finding_hash": h})() for h in ("\u00e9\n", "\U0001F600", "plain")]
ENVELOPE = m.ScanEnvelope("t", "aws", ["eu-west-1"], "full", FINDINGS, discount_factor=0.5,
                          scanned_at="2026-01-01T00:00:00+00:00")
DOCUMENT = json.loads(json.dumps(ENVELOPE.to_dict()))

OPERATIONS: dict[str, Callable[[], Any]] = {
    "checksum": lambda: m.compute_integrity_checksum(FINDINGS),
    "checksum escaped": lambda: m.compute_integrity_checksum(ESCAPED),
    "construct": lambda: m.ScanEnvelope("t", "aws", ["eu-west-1"], "full", FINDINGS, discount_factor=0.5,
                                        scanned_at="2026-01-01T00:00:00+00:00"),
    "to_dict": lambda: ENVELOPE.to_dict(),
    "from_dict": lambda: m.ScanEnvelope.from_dict(DOCUMENT),
}

EXPECTED = {name: operation() for name, operation in OPERATIONS.items()}


def acceptable(name: str, result: Any) -> bool:
    if result == EXPECTED[name]:
        return True
    # A version import that fails, for want of memory too, stamps "unknown":
    # completion turns every Exception-family failure of that import into it.
    expected = EXPECTED[name]
    return (isinstance(result, m.ScanEnvelope) and result.brimwick_version == "unknown"
            and m.ScanEnvelope.__repr__(result).replace("'unknown'", repr(expected.brimwick_version))
            == repr(expected))


def sweep(name: str, operation: Callable[[], Any]) -> tuple[int, int, list[str]]:
    failures, successes, problems = 0, 0, []
    for index in range(MAX_INDEX):
        _testcapi.set_nomemory(index, index + 1)
        try:
            result = operation()
        except MemoryError:
            failures += 1
            continue
        except Exception as error:  # noqa: BLE001  (anything else is a finding to report)
            problems.append(f"{name} @{index}: {type(error).__name__}: {error}")
            continue
        finally:
            _testcapi.remove_mem_hooks()
        successes += 1
        if not acceptable(name, result):
            problems.append(f"{name} @{index}: wrong result")
    return failures, successes, problems


def main() -> int:
    problems: list[str] = []
    tried = 0
    for name, operation in OPERATIONS.items():
        failures, successes, found = sweep(name, operation)
        tried += failures + successes
        problems += found
        print(f"{name}: {failures} allocation failures raised MemoryError, {successes} runs succeeded")
    if hasattr(sys, "gettotalrefcount"):
        for name, operation in OPERATIONS.items():
            sweep(name, operation)
            gc.collect()
            before = sys.gettotalrefcount()
            sweep(name, operation)
            gc.collect()
            growth = sys.gettotalrefcount() - before
            if growth > 50:
                problems.append(f"{name}: {growth} references leaked over a sweep")
    for problem in problems:
        print("PROBLEM", problem)
    print(f"{tried} allocation-failure points tried, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
