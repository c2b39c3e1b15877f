"""The native fast paths against the host's own formula: attribute reads
taken from an instance's inline values, hashes copied into an arena, and the
canonical text streamed into the hasher. Each path has a guard; every case
here is one where the guard must send the work back to the generic path, or
one that sits at an edge of the fast path, and each must give exactly what
the host gives."""

from __future__ import annotations

import ctypes
import hashlib
import json
import random
import sys
import threading
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any, Callable

import pytest

from conftest import envelope, manifest

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[1] / "benchmarks"))
import reference  # noqa: E402

checksum = manifest.compute_integrity_checksum


def host_formula(hashes: list[Any]) -> str:
    return hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()


def digests(count: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    return [hashlib.sha256(rng.randbytes(8)).hexdigest() for _ in range(count)]


# ---------------------------------------------------------------- attribute reads

def scenario(kind: str) -> list[Any]:
    """Fresh classes and findings, built the same way each time, in which
    something defeats the inline-values read partway through the list."""

    @dataclass
    class Plain:
        finding_hash: str = ""
        estimated_monthly_waste_usd: Any = 1.5
        adjusted_monthly_waste_usd: Any = 0.25
        remediation: Any = None

        def to_dict(self) -> dict[str, Any]:
            return {"finding_hash": self.finding_hash, "remediation": dict(self.remediation or {})}

    items: list[Any] = [Plain(h, remediation={"action": "stop"} if i % 3 else None) for i, h in enumerate(digests(40))]

    def sabotage() -> None:
        if kind == "data descriptor added":
            Plain.finding_hash = property(lambda self: "via-property")  # type: ignore[assignment]
            Plain.remediation = property(lambda self: {"action": "via-property"})  # type: ignore[assignment]
        elif kind == "getattribute added":
            Plain.__getattribute__ = lambda self, name: (  # type: ignore[method-assign]
                "seen" if name == "finding_hash" else {"seen": 1} if name == "remediation" else object.__getattribute__(self, name))
        elif kind == "getattr added":
            Plain.__getattr__ = lambda self, name: "fallback"  # type: ignore[attr-defined]  # only for missing names
            for item in items[25:30]:
                del item.finding_hash  # the class default "" wins: Plain has one
        elif kind == "dicts materialised":
            for item in items[25:35]:
                item.__dict__["finding_hash"] = "from-dict"
                item.__dict__["remediation"] = {"from": "dict"}
        elif kind == "values missing":
            for item in items[25:35]:
                del item.finding_hash, item.remediation
        elif kind == "class default changed":
            Plain.finding_hash = "new-default"  # type: ignore[assignment]
            Plain.remediation = {"new": "default"}  # type: ignore[assignment]
            for item in items[25:35]:
                del item.finding_hash, item.remediation

    class Saboteur:
        """Read in the middle of the list; changes Plain as it is read."""
        estimated_monthly_waste_usd = 2.0
        adjusted_monthly_waste_usd = None
        remediation = None

        @property
        def finding_hash(self) -> str:
            sabotage()
            return "saboteur"

        def to_dict(self) -> dict[str, Any]:
            sabotage()
            return {"finding_hash": "saboteur", "remediation": None}

    items.insert(20, Saboteur())
    if kind == "changed by an amount's own code":
        class Trigger(float):
            """An amount whose truth test gives Plain a property in its place."""
            def __bool__(self) -> bool:
                Plain.estimated_monthly_waste_usd = property(lambda self: 100.0)  # type: ignore[assignment]
                Plain.adjusted_monthly_waste_usd = property(lambda self: 7.0)  # type: ignore[assignment]
                return True
        items[21].estimated_monthly_waste_usd = Trigger(3.0)
    if kind == "mixed types":
        items[5:5] = [SimpleNamespace(finding_hash="ns", estimated_monthly_waste_usd=1, adjusted_monthly_waste_usd=None,
                                      remediation={"a": 1}, to_dict=lambda: {"finding_hash": "ns", "remediation": {"a": 1}})]
        Sub = type("Sub", (Plain,), {})
        items[10:10] = [Sub("sub"), Sub("sub2")]
    return items


KINDS = ["data descriptor added", "getattribute added", "getattr added", "dicts materialised", "values missing",
         "class default changed", "mixed types", "changed by an amount's own code"]


@pytest.mark.parametrize("kind", KINDS)
def test_the_checksum_reads_as_getattr_does_whatever_changes_midway(kind: str) -> None:
    assert checksum(scenario(kind)) == reference.compute_integrity_checksum(scenario(kind))


@pytest.mark.parametrize("kind", KINDS)
def test_completion_totals_read_as_getattr_does_whatever_changes_midway(kind: str) -> None:
    def totals(findings: list[Any]) -> tuple[Any, ...]:
        record = envelope(findings, integrity_checksum="given", discount_factor=0.5)
        return record.total_monthly_waste_usd, record.adjusted_total_monthly_waste_usd

    mine = totals(scenario(kind))
    theirs = reference.ScanEnvelope("t", "p", [], "s", scenario(kind), integrity_checksum="given", discount_factor=0.5)
    assert mine == (theirs.total_monthly_waste_usd, theirs.adjusted_total_monthly_waste_usd)


@pytest.mark.parametrize("kind", KINDS)
def test_the_stored_findings_read_as_getattr_does_whatever_changes_midway(kind: str) -> None:
    mine = envelope(scenario(kind), integrity_checksum="given").to_dict()["findings"]
    theirs = reference.ScanEnvelope("t", "p", [], "s", scenario(kind), integrity_checksum="given").to_dict()["findings"]
    assert mine == theirs


def test_a_class_changed_between_calls_is_read_anew() -> None:
    @dataclass
    class Kept:
        finding_hash: str = ""

    items = [Kept(h) for h in digests(10)]
    assert checksum(items) == host_formula([i.finding_hash for i in items])
    Kept.finding_hash = property(lambda self: "p")  # type: ignore[assignment]
    assert checksum(items) == host_formula(["p"] * 10)


# ---------------------------------------------------------------- arena and streamed hashing

def findings_with(hashes: list[Any]) -> list[Any]:
    return [SimpleNamespace(finding_hash=h) for h in hashes]


@pytest.mark.parametrize("hashes", [
    digests(3000),                                                  # crosses many streamed chunks
    digests(500) + ['"quoted"', "back\\slash", "tab\there", "\x00\x1f\x7f", "", "a", "ab", "abcdefgh", "abcdefg"],
    ["same-key-" + s for s in ("b", "a", "", "ab", "a\x00")] * 3,   # ties on the leading key, prefixes
    ["same-key-" + s for s in ("b", "a", "", "ab", "a\x00")] * 300 + digests(600),  # the same, radix-sorted
    ["x" * 40_000, "y" * 5] + digests(10),                          # too long to stream: written whole
    ["\x01" * 9_000, "z"],                                          # escapes alone make it too long to stream
    ["z" * (1 << 23) + "!", "a"],                                   # too long for an arena entry
    digests(50) + ["\u00e9"],                                       # one non-ASCII text: the general path
    # Digests sort by their first eight hex digits packed into 32 bits; each
    # of these defeats part of that path and must still sort as text does.
    digests(1500) + ["ABCDEF01" + "5" * 56, "abcdef01" + "5" * 56, "9" * 64],  # one uppercase digest: the general path
    # Just outside the digits (one each, so that nothing else sends the list
    # to the general path), beside the digits they would pass for; too short.
    *(digests(1500) + ["0123abc" + c + "5" * 56 for c in odd + "09af"] for odd in "/:`g"),
    digests(1500) + ["0123abc"],
    [d[: 8 + i % 57] for i, d in enumerate(digests(1500))],         # hex prefixes of many lengths
    digests(1500) + ['0123abcd"quoted', "0123abcd\\x", "0123abcd\x01"],  # hex prefix, then escapes
    ["deadbeef" + d[:i % 9] for i, d in enumerate(digests(1500))],  # one shared prefix: a single run of ties
    digests(700) + [digests(1, 5)[0] + "0"] + digests(800, 6),     # one longer digest midway
    ["g" * 64] + digests(1500),                                     # the first text is no digest
    # The limits themselves: the radix sort's threshold, an escape that ends
    # the compact layout midway, digests tied on their packed digits, the
    # one-piece hashing limit met exactly and passed by one byte, and the
    # longest text an arena entry holds.
    digests(1023), digests(1024),
    digests(512) + ['0123abcd' + '"' + "5" * 55] + digests(511, 8),
    [d[:8] + e[8:] for d, e in zip(digests(1024, 3)[::2] * 2, digests(1024, 4))],
    digests(977) + ["a" * 72], digests(977) + ["a" * 73],
    ["z" * ((1 << 23) - 1), "a"], ["z" * (1 << 23), "a"],
], ids=["many", "escapes", "ties", "many ties", "long", "escaped long", "huge", "non-ASCII",
        "uppercase", "slash", "colon", "backquote", "g", "short", "hex lengths", "hex then escapes", "shared prefix",
        "longer midway", "first not hex", "below radix", "radix threshold", "escape midway", "tied digits",
        "one piece exactly", "one piece and a byte", "longest entry", "beyond an entry"])
def test_the_canonical_text_is_the_hosts_at_every_edge(hashes: list[str]) -> None:
    rng = random.Random(3)
    shuffled = rng.sample(hashes, len(hashes))
    assert checksum(findings_with(shuffled)) == host_formula(shuffled)


@pytest.mark.parametrize("replace", [
    lambda mp: mp.setattr(manifest, "hashlib", SimpleNamespace(sha256=lambda data: hashlib.sha256(b"salt" + data))),
    lambda mp: mp.setattr(hashlib, "sha256", lambda data: hashlib.new("sha256", b"salt" + data)),
], ids=["namespace hashlib", "hashlib.sha256"])
def test_a_replaced_hashlib_receives_the_whole_text(monkeypatch: pytest.MonkeyPatch,
                                                   replace: Callable[[pytest.MonkeyPatch], None]) -> None:
    hashes = digests(2000)
    expected = hashlib.sha256(b"salt" + json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()
    replace(monkeypatch)
    assert checksum(findings_with(hashes)) == expected
    monkeypatch.undo()
    assert checksum(findings_with(hashes)) == host_formula(hashes)


def test_checksums_in_several_threads_at_once() -> None:
    # The hasher releases the interpreter lock while it works, so calls in
    # other threads run meanwhile and must not share the arena.
    lists = [digests(20_000, seed) for seed in range(4)]
    expected = [host_formula(hashes) for hashes in lists]
    results: dict[int, list[str]] = {}

    def work(index: int) -> None:
        results[index] = [checksum(findings_with(lists[index])) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert all(results[i] == [expected[i]] * 3 for i in range(4))


@pytest.mark.parametrize("hashes", [digests(20), digests(5) + ["\u00e9", "\U0001F600", "\"\\\n"]], ids=["ASCII", "any text"])
def test_the_native_writer_is_in_use_when_nothing_was_changed(hashes: list[str]) -> None:
    # The results would stay right on the host's path, only slower; the
    # module counts the calls its writer took (a profiler would itself send
    # them to the host's path).
    library = ctypes.CDLL(manifest.__file__)
    taken = lambda: ctypes.c_uint64.in_dll(library, "brimwick_manifest_native_texts").value  # noqa: E731
    before = taken()
    assert checksum(findings_with(hashes)) == host_formula(hashes) and taken() == before + 1


def test_streamed_pieces_end_anywhere_in_the_buffer() -> None:
    # Lengths and counts that put the end of the text, and of each piece, at
    # every offset of the hasher's buffer. Only text beyond one piece (64 KiB)
    # is streamed at all.
    rng = random.Random(11)
    for count in range(1, 400, 7):
        hashes = ["x" * rng.randrange(0, 90) for _ in range(count)] + digests(1000 + count, count)
        assert checksum(findings_with(hashes)) == host_formula(hashes), count


# ---------------------------------------------------------------- the scanned_at default

def scanned_at(via: str) -> str:
    if via == "constructor":
        return manifest.ScanEnvelope("t", "aws", [], "p", []).scanned_at
    return manifest.ScanEnvelope.from_dict({"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "p"}).scanned_at


@pytest.mark.parametrize("via", ["constructor", "from_dict"])
def test_the_clock_reads_as_datetime_now_does(via: str) -> None:
    import datetime as dt

    for _ in range(300):
        before = dt.datetime.now(dt.timezone.utc)
        text = scanned_at(via)
        after = dt.datetime.now(dt.timezone.utc)
        moment = dt.datetime.fromisoformat(text)
        assert before <= moment <= after and moment.isoformat() == text and text.endswith("+00:00"), text


@pytest.mark.parametrize("via", ["constructor", "from_dict"])
def test_another_timezone_takes_the_hosts_path(monkeypatch: pytest.MonkeyPatch, via: str) -> None:
    import datetime as dt

    class Clock(dt.datetime):
        pass

    monkeypatch.setattr(manifest, "timezone", SimpleNamespace(utc=dt.timezone(dt.timedelta(hours=1))))
    assert scanned_at(via).endswith("+01:00")
    monkeypatch.undo()
    monkeypatch.setattr(manifest, "datetime", SimpleNamespace(now=lambda tz: Clock(2024, 1, 2, 3, 4, 5, tzinfo=tz)))
    assert scanned_at(via) == "2024-01-02T03:04:05+00:00"
