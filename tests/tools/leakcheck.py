"""Reference-leak check of every operation and error path of the manifest, for an interpreter with reference
tracing (sys.gettotalrefcount) and an extension built for it (see tests/test_reliability.py). Each operation runs
many times; the total reference count and the allocated block count must stay flat. Prints one line per operation
and exits non-zero when any operation leaks."""

from __future__ import annotations

import contextlib
import gc
import inspect
import json
import pickle
import sys
from collections import OrderedDict
from types import SimpleNamespace
from typing import Any, Callable

import dataclasses
import warnings

import brimwick
from brimwick.core.schemas import Finding

ROUNDS = 200
REFERENCE_TOLERANCE = 10  # references a cache may take once, never per round
# A leaking path loses at least one block on every call, so a leak grows by
# ROUNDS blocks or more; caches inside the interpreter (pickle's, the import
# system's, dict and free-list resizes) move the count by up to a couple of
# hundred blocks once, and never in every trial.
BLOCK_TOLERANCE = ROUNDS * 3 // 4


def growth(operation: Callable[[], Any]) -> tuple[int, int]:
    for _ in range(20):
        operation()
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def failing_load() -> None:
    """An import whose body fails part-way; everything it made must go again."""
    def refuse(cls: Any) -> Any:
        raise RuntimeError("refused")
    dataclasses.dataclass, saved = refuse, dataclasses.dataclass
    try:
        with contextlib.suppress(RuntimeError):
            import brimwick.output.manifest  # noqa: F401
            raise AssertionError("the load did not fail")
    finally:
        dataclasses.dataclass = saved
        sys.modules.pop("brimwick.output.manifest", None)


# Measured before the module first loads: once a load succeeds, later
# imports reuse it and never run the body again.
FAILED_LOAD_TRIALS = [growth(failing_load) for _ in range(3)]

import brimwick.output.manifest as m  # noqa: E402

ABSENT = object()
EXPLANATION = "brimwick.output.explanation"
HOST_JSON = SimpleNamespace(dumps=lambda value, **kwargs: json.dumps(value, **kwargs))  # a json the checksum must call into


def stub(finding_hash: Any = "a" * 64, amount: Any = 1.5, remediation: Any = None, as_dict: Any = None) -> Any:
    written = {"finding_hash": finding_hash, "remediation": {"action": "stop"}}
    return SimpleNamespace(finding_hash=finding_hash, estimated_monthly_waste_usd=amount, adjusted_monthly_waste_usd=0.5,
                           remediation=remediation, to_dict=lambda: dict(as_dict or written))


MyList = type("MyList", (list,), {})
Broken = type("Broken", (), {"finding_hash": property(lambda self: 1 / 0)})
FINDINGS = [Finding(f"r{i}", "vm", "idle", "aws", "us-east-1", "t", 1.25 * i, 0.5 if i % 2 else None,
                    {"action": "stop"} if i % 3 else None) for i in range(20)]
ENVELOPE = m.ScanEnvelope("t", "aws", ["us-east-1"], "full", FINDINGS, discount_factor=0.8, spend_context_pct=3.14159)
DOCUMENT = json.loads(json.dumps(ENVELOPE.to_dict()))
checksum, from_dict = m.compute_integrity_checksum, m.ScanEnvelope.from_dict


def legacy_text(text: str) -> str:
    """Text made through the deprecated wide-character API, where the interpreter still has it."""
    try:
        import _testcapi
    except ImportError:
        return text
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return _testcapi.unicode_legacy_string(text)


def envelope(findings: Any = None, **kwargs: Any) -> Any:
    return m.ScanEnvelope("t", "aws", ["us-east-1"], "full", FINDINGS if findings is None else findings, **kwargs)


def expect(error: type[BaseException], call: Callable[[], Any]) -> Callable[[], None]:
    def run() -> None:
        with contextlib.suppress(error):
            call()
            raise AssertionError(f"{error.__name__} not raised")
    return run


def patched(space: dict[str, Any], key: str, value: Any, call: Callable[[], Any]) -> Callable[[], None]:
    """call() with space[key] (a module's name, or a sys.modules entry) set to value, or removed for ABSENT."""
    def run() -> None:
        saved = space[key]
        space.pop(key) if value is ABSENT else space.update({key: value})
        try:
            call()
        finally:
            space[key] = saved
    return run


def unknown_version() -> None:
    assert envelope().brimwick_version == "unknown"


OPERATIONS: dict[str, Callable[[], Any]] = {
    # function objects
    "signature": lambda: inspect.signature(from_dict),
    "pickle function": lambda: pickle.loads(pickle.dumps(checksum)),
    "repr and attributes": lambda: (repr(checksum), checksum.__annotations__, checksum.__defaults__, checksum.__dict__),
    "bind method": lambda: ENVELOPE.to_dict.__func__,
    "missing argument": expect(TypeError, lambda: checksum()),
    "surplus argument": expect(TypeError, lambda: checksum([], [])),
    "unexpected keyword": expect(TypeError, lambda: checksum([], bogus=1)),
    "duplicate keyword": expect(TypeError, lambda: checksum([], findings=[])),
    # checksum
    "checksum native": lambda: checksum(FINDINGS),
    "checksum escapes": lambda: checksum([stub(h) for h in ("a\"\\\n\x01\x7f", "\u00e9", "\U0001F600", "\ud800", "")]),
    "checksum host path": lambda: checksum([stub(None)]),
    "checksum legacy text": lambda: checksum([stub(legacy_text("ab\u20ac")), stub(legacy_text("a"))]),
    "checksum rebound json": patched(vars(m), "json", HOST_JSON, lambda: checksum(FINDINGS)),
    "checksum unorderable": expect(TypeError, lambda: checksum([stub(None), stub("a")])),
    "checksum unencodable": expect(TypeError, lambda: checksum([stub(object())])),
    "checksum tuple": expect(TypeError, lambda: checksum(tuple(FINDINGS))),
    "checksum list subclass": expect(TypeError, lambda: checksum(MyList(FINDINGS))),
    "checksum missing attribute": expect(AttributeError, lambda: checksum([object()])),
    "checksum raising attribute": expect(ZeroDivisionError, lambda: checksum([Broken()])),
    # construction and completion
    "construct": lambda: envelope(),
    "construct discounted": lambda: envelope(discount_factor=0.9),
    "construct mixed amounts": lambda: envelope([stub(amount=a) for a in (1, 2**70, 0.5, None, True)]),
    "construct version unknown": patched(vars(brimwick), "__version__", ABSENT, unknown_version),
    "construct tuple with checksum": lambda: envelope(tuple(FINDINGS), integrity_checksum="x"),
    "construct tuple without checksum": expect(TypeError, lambda: envelope(tuple(FINDINGS))),
    "construct unsized": expect(TypeError, lambda: envelope(iter(FINDINGS))),
    "construct missing amount": expect(AttributeError, lambda: envelope([object()])),
    "construct bad amount": expect(TypeError, lambda: envelope([stub(amount="x")])),
    "construct missing argument": expect(TypeError, lambda: m.ScanEnvelope("t")),
    # serialisation
    "to_dict": lambda: ENVELOPE.to_dict(),
    "to_dict unrounded text": expect(TypeError, lambda: envelope(spend_context_pct="x").to_dict()),
    "to_dict remediation text": expect(TypeError, lambda: envelope([stub(remediation=1, as_dict={"remediation": "t"})]).to_dict()),
    "to_dict findings None": expect(TypeError, lambda: m.ScanEnvelope._findings_with_explanations(SimpleNamespace(findings=None))),
    "to_dict no explanation module": patched(sys.modules, EXPLANATION, None, expect(ImportError, lambda: envelope([]).to_dict())),
    "to_dict surplus argument": expect(TypeError, lambda: ENVELOPE.to_dict(1)),
    # deserialisation
    "from_dict": lambda: from_dict(DOCUMENT),
    "from_dict unverified": lambda: from_dict(DOCUMENT, False),
    "from_dict legacy key": lambda: from_dict({k: v for k, v in DOCUMENT.items() if k != "integrity_checksum"}),
    "from_dict minimal": lambda: from_dict({"tenant_id": "t", "provider": "p", "regions": [], "scan_profile": "s"}),
    "from_dict mismatch": expect(ValueError, lambda: from_dict(dict(DOCUMENT, integrity_checksum="0" * 64))),
    "from_dict list checksum": expect(ValueError, lambda: from_dict(dict(DOCUMENT, integrity_checksum=[1, 2]))),
    "from_dict unsliceable": expect(TypeError, lambda: from_dict(dict(DOCUMENT, integrity_checksum=5))),
    "from_dict missing key": expect(KeyError, lambda: from_dict({"findings": []})),
    "from_dict not a dict": expect(TypeError, lambda: from_dict([])),
    "from_dict dict subclass": expect(TypeError, lambda: from_dict(OrderedDict(DOCUMENT))),
    "from_dict findings None": expect(TypeError, lambda: from_dict(dict(DOCUMENT, findings=None))),
    "from_dict bad finding": expect(KeyError, lambda: from_dict(dict(DOCUMENT, findings=[{}]))),
    "from_dict surplus argument": expect(TypeError, lambda: from_dict(DOCUMENT, True, 1)),
    "from_dict unexpected keyword": expect(TypeError, lambda: from_dict(DOCUMENT, bogus=1)),
    "from_dict duplicate keyword": expect(TypeError, lambda: from_dict(DOCUMENT, data=DOCUMENT)),
}


def main() -> int:
    leaking = []
    for name, operation in {"failed load": None, **OPERATIONS}.items():
        # A leak grows with every round, so it shows in every trial; a cache
        # filled once (by pickle, the type cache, a dict resize) shows in one
        # trial at most. Each measure's smallest of three is therefore the
        # growth that no one-off fill explains.
        trials = FAILED_LOAD_TRIALS if operation is None else [growth(operation) for _ in range(3)]
        refs, blocks = min(t[0] for t in trials), min(t[1] for t in trials)
        status = "ok" if refs <= REFERENCE_TOLERANCE and blocks <= BLOCK_TOLERANCE else "LEAK"
        leaking += [name] if status != "ok" else []
        print(f"{status:4} {name}: references {refs:+d}, blocks {blocks:+d} over {ROUNDS} rounds")
    print(f"{len(OPERATIONS) + 1} operations checked, {len(leaking)} leaking")
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main())
