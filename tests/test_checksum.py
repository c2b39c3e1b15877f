"""The integrity checksum: SHA-256 over the sorted finding hashes as compact JSON."""

from __future__ import annotations

import hashlib
import json
import re
from types import SimpleNamespace
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import StubFinding, manifest

checksum = manifest.compute_integrity_checksum


def sha(canonical: str) -> str:
    return hashlib.sha256(canonical.encode()).hexdigest()


def plain(hashes: list[Any]) -> str:
    return sha(json.dumps(sorted(hashes), separators=(",", ":")))


def of(*hashes: Any) -> str:
    return checksum([StubFinding(h) for h in hashes])


def test_worked_examples_duplicates_and_case() -> None:
    assert of("b", "a") == of("a", "b") == "0473ef2dc0d324ab659d3580c1134e9d812035905c4781fdd6d529b0c6860e13"
    assert of() == "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"
    assert of("a", "a") == sha('["a","a"]')
    assert len({of("a"), of("a", "a"), of("A"), of("a", "A"), of()}) == 5


@pytest.mark.parametrize("hashes, canonical", [
    (["b", "ab", "a", "B", "0", ""], '["","0","B","a","ab","b"]'),
    (["abcdefgh1", "abcdefgh", "abcdefgh\x00", "abcdefgh0"], '["abcdefgh","abcdefgh\\u0000","abcdefgh0","abcdefgh1"]'),
    (['q"u\\o', "plain text, long enough/to fill words ~", " "], '[" ","plain text, long enough/to fill words ~","q\\"u\\\\o"]'),
    (["\b\f\n\r\t", "\x00\x01\x0b\x1f", "\x7f"], '["\\u0000\\u0001\\u000b\\u001f","\\b\\f\\n\\r\\t","\\u007f"]'),
    (["0123456789abcdef\x7f0123456789\"abcdef"], '["0123456789abcdef\\u007f0123456789\\"abcdef"]'),
    (["caf\xe9", "\xff\xe9abcdefgh", "\xff\xe9abcdefgg"], '["caf\\u00e9","\\u00ff\\u00e9abcdefgg","\\u00ff\\u00e9abcdefgh"]'),
    (["\udfff", "\ud800", "x\udc00y"], '["x\\udc00y","\\ud800","\\udfff"]'),
    # Code point order: an astral character after U+FFFF, written as a surrogate pair.
    (["\U0001f600", "\uffff", "\ue000", "\xe9", "z"], '["z","\\u00e9","\\ue000","\\uffff","\\ud83d\\ude00"]'),
])
def test_canonical_text(hashes: list[str], canonical: str) -> None:
    assert of(*hashes) == of(*reversed(hashes)) == sha(canonical)


@st.composite
def hash_lists(draw: st.DrawFn) -> list[str]:
    """Lists of hashes that often share long prefixes, to exercise tie-breaking in the sort."""
    alphabet = draw(st.sampled_from([
        st.sampled_from('aAb0/ "\\'), st.characters(max_codepoint=0x7F), st.characters(max_codepoint=0xFF),
        st.characters(min_codepoint=0x80, max_codepoint=0xFFFF, exclude_categories=()),
        st.characters(exclude_categories=()),
    ]))
    texts = st.text(alphabet, max_size=24)
    prefix = draw(st.text(alphabet, max_size=10))
    pool = draw(st.lists(texts.map(lambda suffix: prefix + suffix), min_size=1, max_size=5))
    return draw(st.lists(st.sampled_from(pool) | texts, max_size=12))


@settings(max_examples=200, deadline=None)
@given(hash_lists(), st.randoms(use_true_random=False))
def test_matches_plain_computation(hashes: list[str], rnd: Any) -> None:
    expected = plain(hashes)
    assert of(*hashes) == expected
    rnd.shuffle(hashes)
    assert of(*hashes) == expected


Text = type("Text", (str,), {})
Backwards = type("Backwards", (str,), {"__lt__": lambda self, other: str.__gt__(self, other)})  # a reversed order


def outcome(compute: Any, argument: Any) -> Any:
    try:
        return compute(argument)
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)


@pytest.mark.parametrize("hashes", [
    [None], [None, "a"], ["a", None], [None, None], [3, 1.5, True, -2], [1, "a"], [float("nan"), 2.0],
    [{"k": [1, None]}], [object()], ["a", b"b"], [Text("b"), "a", Text("c")], [Backwards(c) for c in "acb"],
])
def test_other_hash_values_behave_as_the_plain_computation(hashes: list[Any]) -> None:
    assert outcome(checksum, [StubFinding(h) for h in hashes]) == outcome(plain, hashes)


MyList = type("MyList", (list,), {})
WRONG_TYPE = "Argument 'findings' has incorrect type (expected list, got {})"


@pytest.mark.parametrize("findings, error, pattern", [
    ((StubFinding("a"),), TypeError, re.escape(WRONG_TYPE.format("tuple")) + "$"),
    (None, TypeError, re.escape(WRONG_TYPE.format("NoneType")) + "$"),
    ("ab", TypeError, re.escape(WRONG_TYPE.format("str")) + "$"),
    (MyList([StubFinding("a")]), TypeError, re.escape(WRONG_TYPE.format("MyList")) + r"\. \S.*$"),
    ([StubFinding("a"), object()], AttributeError, r"'object' object has no attribute 'finding_hash'$"),
])
def test_bad_findings_fail(findings: Any, error: type, pattern: str) -> None:
    with pytest.raises(error, match="^" + pattern):
        checksum(findings)


def test_reads_each_hash_once_in_list_order_and_leaves_list_alone() -> None:
    log: list[str] = []
    counted = type("Counted", (str,), {"finding_hash": property(lambda self: log.append(str(self)) or str(self))})
    findings = [counted(h) for h in "cab"]
    before = list(findings)
    assert checksum(findings) == sha('["a","b","c"]')
    assert log == ["c", "a", "b"] and findings == before


@pytest.mark.parametrize("hashes", [["b", "\xe9", "a"], [None], [Text("b"), "a"]], ids=repr)
def test_rebound_json_and_hashlib_are_used(monkeypatch: pytest.MonkeyPatch, hashes: list[Any]) -> None:
    calls: list[Any] = []
    monkeypatch.setattr(manifest, "json", SimpleNamespace(
        dumps=lambda *args, **kwargs: calls.append((args, kwargs)) or json.dumps(*args, **kwargs)))
    monkeypatch.setattr(manifest, "hashlib", SimpleNamespace(sha256=lambda data: SimpleNamespace(hexdigest=lambda: data)))
    canonical = json.dumps(sorted(hashes, key=str), separators=(",", ":"))
    assert checksum([StubFinding(h) for h in hashes]) == canonical.encode()  # the digest function gets the bytes
    [(args, kwargs)] = calls
    assert args == (sorted(hashes, key=str),) and type(args[0]) is list and kwargs == {"separators": (",", ":")}
