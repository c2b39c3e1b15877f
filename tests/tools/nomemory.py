"""Allocation-failure sweep: for each operation and allocation index i, only the i-th allocation after the start
fails (_testcapi.set_nomemory(i, i + 1)). Each run must give the right result or raise MemoryError, and never crash;
under an interpreter with reference tracing, a second sweep must not grow the total reference count. Prints a
summary; exits non-zero on failure."""

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
construct = lambda: m.ScanEnvelope("t", "aws", ["eu-west-1"], "full", FINDINGS, discount_factor=0.5,  # noqa: E731
                                   scanned_at="2026-01-01T00:00:00+00:00")
ENVELOPE = construct()
DOCUMENT = json.loads(json.dumps(ENVELOPE.to_dict()))
OPERATIONS: dict[str, Callable[[], Any]] = {
    "checksum": lambda: m.compute_integrity_checksum(FINDINGS),
    "checksum escaped": lambda: m.compute_integrity_checksum(ESCAPED),
    "construct": construct,
    "to_dict": lambda: ENVELOPE.to_dict(),
    "from_dict": lambda: m.ScanEnvelope.from_dict(DOCUMENT),
}
EXPECTED = {name: operation() for name, operation in OPERATIONS.items()}


def acceptable(result: Any, expected: Any) -> bool:
    # A version import that fails, for want of memory too, stamps "unknown":
    # completion turns every Exception-family failure of that import into it.
    return result == expected or (isinstance(result, m.ScanEnvelope) and result.brimwick_version == "unknown" and
                                  repr(result).replace("'unknown'", repr(expected.brimwick_version)) == repr(expected))


def sweep(name: str, operation: Callable[[], Any]) -> tuple[int, int, list[str]]:
    failures, problems = 0, []
    for index in range(MAX_INDEX):
        _testcapi.set_nomemory(index, index + 1)
        try:
            result = operation()
        except MemoryError:
            failures += 1
            continue
        except Exception as error:  # noqa: BLE001  (anything else is a finding to report)
            result = f"{type(error).__name__}: {error}"
        finally:
            _testcapi.remove_mem_hooks()
        if not acceptable(result, EXPECTED[name]):
            problems.append(f"{name} @{index}: {result if isinstance(result, str) else 'wrong result'}")
    return failures, MAX_INDEX - failures, problems


def main() -> int:
    problems: list[str] = []
    for name, operation in OPERATIONS.items():
        failures, successes, found = sweep(name, operation)
        problems += found
        print(f"{name}: {failures} allocation failures raised MemoryError, {successes} runs succeeded")
    for name, operation in OPERATIONS.items() if hasattr(sys, "gettotalrefcount") else ():
        sweep(name, operation)
        gc.collect()
        before = sys.gettotalrefcount()
        sweep(name, operation)
        gc.collect()
        if (growth := sys.gettotalrefcount() - before) > 50:
            problems.append(f"{name}: {growth} references leaked over a sweep")
    for problem in problems:
        print("PROBLEM", problem)
    print(f"{len(OPERATIONS) * MAX_INDEX} allocation-failure points tried, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
