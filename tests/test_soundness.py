"""Paths where the module once crashed, read text wrongly or parted from the
host's semantics: failed loads, cleared functions, legacy text, defaults,
a changed JSON encoder, the order of reads in completion, the handled
exception of the version fallback, and interrupts."""

from __future__ import annotations

import hashlib
import json
import signal
import subprocess
import sys
import textwrap
import warnings
from types import SimpleNamespace
from typing import Any, Callable

import pytest

import brimwick
from conftest import envelope, manifest


def host_checksum(hashes: list[Any]) -> str:
    return hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()


def outcome(function: Callable[[Any], Any], argument: Any) -> tuple[Any, ...]:
    """What a call gives: its result, or its exception's type and text."""
    try:
        return ("result", function(argument))
    except Exception as error:  # noqa: BLE001 - compared, not handled
        return ("raised", type(error), str(error))


def findings_with(hashes: list[Any]) -> list[Any]:
    return [SimpleNamespace(finding_hash=h) for h in hashes]


def run_child(source: str) -> str:
    """Runs source in a fresh interpreter, so that a crash fails the test instead of the run."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"child ended with {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


# ---------------------------------------------------------------- failed loads and cleared functions

FAILED_LOAD = """
    import dataclasses, sys, hashlib, json
    import brimwick.core.schemas
    held = []
    def failing(cls):
        held.append(sys.modules["brimwick.output.manifest"].compute_integrity_checksum)
        {failure}
    saved, dataclasses.dataclass = dataclasses.dataclass, failing
    try:
        import brimwick.output.manifest
    except BaseException as error:
        print("load failed:", type(error).__name__)
    finally:
        dataclasses.dataclass = saved
    print(held[0]([]) == hashlib.sha256(b"[]").hexdigest())
    import brimwick.output.manifest as m
    print(m.compute_integrity_checksum([]) == held[0]([]), m.ScanEnvelope("t", "p", [], "s", []).finding_count)
"""


@pytest.mark.parametrize("failure, error", [
    ("raise KeyboardInterrupt", "KeyboardInterrupt"),
    ("raise RuntimeError('refused')", "RuntimeError"),
    ("(lambda f: f(f))(lambda f: f(f))", "RecursionError"),
])
def test_a_function_surviving_a_failed_load_keeps_working_and_a_later_load_succeeds(failure: str, error: str) -> None:
    out = run_child(FAILED_LOAD.replace("{failure}", failure))
    assert out.splitlines() == [f"load failed: {error}", "True", "True 0"]


def test_a_cleared_function_stays_safe_to_inspect_and_call() -> None:
    # tp_clear is what the garbage collector calls on a cycle; reached here
    # through the type's slot (offset of tp_clear in a 64-bit PyTypeObject).
    out = run_child("""
        import ctypes, inspect, pickle
        from brimwick.output import manifest as m
        f = m.ScanEnvelope.from_dict.__func__
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(ctypes.c_void_p.from_address(id(type(f)) + 24 * 8).value)
        assert clear(f) == 0
        print(repr(f.__name__), repr(f.__qualname__), f.__doc__, f.__annotations__, f.__defaults__, f.__dict__)
        print(inspect.signature(f), repr(f).startswith("<function  at 0x"))
        try:
            f(m.ScanEnvelope, {}, True)
        except SystemError as error:
            print(error)
    """)
    assert out.splitlines() == [
        "'' '' None {} None {}",
        "(cls, data, verify) True",
        "from_dict() was cleared by the garbage collector and cannot be called",
    ]


def test_the_native_writer_is_not_trusted_when_json_was_changed_before_the_load() -> None:
    out = run_child("""
        import hashlib, json, json.encoder
        from types import SimpleNamespace
        json.encoder.encode_basestring_ascii = lambda text: '"<' + text + '>"'
        from brimwick.output import manifest as m
        hashes = ["b", "a"]
        host = hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()
        print(m.compute_integrity_checksum([SimpleNamespace(finding_hash=h) for h in hashes]) == host)
    """)
    assert out.split() == ["True"]


def test_a_load_that_cannot_note_the_encoder_forgets_the_earlier_note() -> None:
    # The first load notes json's encoding path and then fails; the second
    # finds a json.dumps it cannot follow, so no note may survive from the
    # first (it was freed), and the checksum goes the host's way.
    out = run_child("""
        import dataclasses, hashlib, json
        from types import SimpleNamespace
        import brimwick.core.schemas
        saved = dataclasses.dataclass
        dataclasses.dataclass = lambda cls: 1 / 0
        try:
            import brimwick.output.manifest
        except ZeroDivisionError:
            pass
        dataclasses.dataclass = saved
        dumps = json.dumps
        json.dumps = lambda *args, **kwargs: dumps(*args, **kwargs)
        from brimwick.output import manifest as m
        json.dumps = dumps
        hashes = ["b", "a"] * 50
        host = hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()
        print(m.compute_integrity_checksum([SimpleNamespace(finding_hash=h) for h in hashes]) == host)
    """)
    assert out.split() == ["True"]


# ---------------------------------------------------------------- legacy text

def legacy(text: str) -> str:
    testcapi = pytest.importorskip("_testcapi")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return testcapi.unicode_legacy_string(text)


@pytest.mark.parametrize("texts", [
    ["abc\u20ac"],
    ["abc", "ab\u00e9", "a\U0001F600", "\"\\\n\x7f"],
    ["f" * 64, "0" * 64, "a" * 8],
])
def test_text_made_through_the_wide_character_api_is_written_as_its_characters(texts: list[str]) -> None:
    hashes = [legacy(t) for t in texts] + texts[:1]
    assert manifest.compute_integrity_checksum(findings_with(hashes)) == host_checksum(list(hashes))


# ---------------------------------------------------------------- defaults

def test_defaults_longer_than_the_parameters_fill_them_from_the_end(monkeypatch: pytest.MonkeyPatch) -> None:
    def python_twin(findings: Any) -> Any:
        return findings
    python_twin.__defaults__ = ("first", [])
    checksum = manifest.compute_integrity_checksum
    monkeypatch.setattr(checksum, "__defaults__", ("first", []))
    assert python_twin() == [] and checksum() == host_checksum([])

    from_dict = manifest.ScanEnvelope.from_dict.__func__
    document = envelope([]).to_dict()
    monkeypatch.setattr(from_dict, "__defaults__", ("x", manifest.ScanEnvelope, document, False))
    assert from_dict().tenant_id == "tenant-1"


# ---------------------------------------------------------------- a changed JSON encoder

class Spaced(json.JSONEncoder):
    def __init__(self, **kwargs: Any) -> None:
        super().__init__(**{**kwargs, "separators": (", ", ": ")})


def set_attribute(owner: Any, name: str, value: Any) -> Callable[[pytest.MonkeyPatch], None]:
    return lambda monkeypatch: monkeypatch.setattr(owner, name, value, raising=False)


def set_kwdefault(function: Any, name: str, value: Any) -> Callable[[pytest.MonkeyPatch], None]:
    return lambda monkeypatch: monkeypatch.setitem(function.__kwdefaults__, name, value)


def encode_upper(self: Any, o: Any) -> str:
    return "".join(self.iterencode(o, _one_shot=True)).upper()


@pytest.mark.parametrize("change", [
    set_attribute(json, "JSONEncoder", Spaced),
    set_attribute(json.JSONEncoder, "item_separator", ", "),
    set_attribute(json.JSONEncoder, "encode", encode_upper),
    set_attribute(json.encoder, "encode_basestring_ascii", lambda text: '"' + text[::-1] + '"'),
    set_attribute(json.encoder, "c_make_encoder", None),
    set_kwdefault(json.dumps, "ensure_ascii", False),
    set_kwdefault(json.dumps, "indent", 1),
    set_kwdefault(json.JSONEncoder.__init__, "sort_keys", True),
    set_attribute(json.JSONEncoder.iterencode, "__defaults__", (True,)),
    set_attribute(json.encoder, "isinstance", lambda o, t: True),
], ids=["class", "class attribute", "method", "escaper", "no C encoder", "dumps default", "indent",
        "init default", "iterencode default", "shadowed built-in"])
def test_the_checksum_follows_any_change_to_the_hosts_encoder(monkeypatch: pytest.MonkeyPatch,
                                                              change: Callable[[pytest.MonkeyPatch], None]) -> None:
    # In one process a change, undone, leaves the host's path in use for
    # good; that each change alone is caught is shown case by case in fresh
    # interpreters. Here the results are compared, through and after it.
    hashes = ["b\u00e9", "a", "c\U0001F600", "ab"]
    change(monkeypatch)
    assert outcome(manifest.compute_integrity_checksum, findings_with(hashes)) == outcome(host_checksum, hashes)
    monkeypatch.undo()
    assert manifest.compute_integrity_checksum(findings_with(hashes)) == host_checksum(hashes)


# ---------------------------------------------------------------- completion reads as the source does

def test_the_adjusted_monthly_total_is_read_once_for_the_test_and_again_for_the_product() -> None:
    reads = []

    class Drifting(manifest.ScanEnvelope):  # type: ignore[misc]
        @property
        def adjusted_total_monthly_waste_usd(self) -> float:
            reads.append(None)
            return 10.0 * len(reads)

        @adjusted_total_monthly_waste_usd.setter
        def adjusted_total_monthly_waste_usd(self, value: Any) -> None:
            pass

    record = Drifting("t", "p", [], "s", [])
    # step 5 reads it once (discount_factor is None, so not at all), step 6 twice
    assert len(reads) == 2 and record.adjusted_total_annual_waste_usd == 240.0


def test_the_version_fallback_is_stored_while_the_import_error_is_being_handled(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delattr(brimwick, "__version__")
    seen = []

    class Watched(manifest.ScanEnvelope):  # type: ignore[misc]
        def __setattr__(self, name: str, value: Any) -> None:
            if name == "brimwick_version" and value == "unknown":
                seen.append(sys.exc_info()[1])
                raise RuntimeError("store refused")
            object.__setattr__(self, name, value)

    with pytest.raises(RuntimeError) as raised:
        Watched("t", "p", [], "s", [])
    assert isinstance(raised.value.__context__, ImportError)
    assert len(seen) == 1 and seen[0] is raised.value.__context__
    assert sys.exc_info() == (None, None, None)


# ---------------------------------------------------------------- interrupts

def test_a_long_checksum_is_interrupted_between_findings() -> None:
    # The reads run no Python code (list.append as the property's getter),
    # so only the checksum's own signal checks can notice the interrupt.
    reads: list[Any] = []
    counted = type("Counted", (), {"finding_hash": property(reads.append)})()
    findings = [counted] * 3_000_000
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            manifest.compute_integrity_checksum(findings)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(reads) < len(findings)
