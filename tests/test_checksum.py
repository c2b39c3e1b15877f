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
EMPTY = "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"


def plain(hashes: list[Any]) -> str:
    """The checksum computed by hand from the hash values."""
    return hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()


def of(*hashes: Any) -> str:
    return checksum([StubFinding(h) for h in hashes])


def sha(canonical: str) -> str:
    return hashlib.sha256(canonical.encode()).hexdigest()


def outcome(compute: Any, argument: Any) -> Any:
    try:
        return compute(argument)
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)


@pytest.mark.parametrize(
    "hashes, digest",
    [
        (["b", "a"], "0473ef2dc0d324ab659d3580c1134e9d812035905c4781fdd6d529b0c6860e13"),
        (["a", "b"], "0473ef2dc0d324ab659d3580c1134e9d812035905c4781fdd6d529b0c6860e13"),
        ([], EMPTY),
    ],
)
def test_worked_examples(hashes: list[str], digest: str) -> None:
    assert of(*hashes) == digest


@pytest.mark.parametrize(
    "hashes, canonical",
    [
        (["a", "a"], '["a","a"]'),
        (["a"], '["a"]'),
        (["b", "ab", "a", "B", "0", ""], '["","0","B","a","ab","b"]'),
        (["abcdefgh1", "abcdefgh", "abcdefgh\x00", "abcdefgh0"], '["abcdefgh","abcdefgh\\u0000","abcdefgh0","abcdefgh1"]'),
        (['q"u\\o'], '["q\\"u\\\\o"]'),
        (["\b\f\n\r\t"], '["\\b\\f\\n\\r\\t"]'),
        (["\x00\x01\x0b\x1f", "\x7f"], '["\\u0000\\u0001\\u000b\\u001f","\\u007f"]'),
        (["plain text, long enough/to fill words ~", " "], '[" ","plain text, long enough/to fill words ~"]'),
        (["0123456789abcdef\x7f0123456789\"abcdef"], '["0123456789abcdef\\u007f0123456789\\"abcdef"]'),
        (["caf\xe9", "\xff\xe9abcdefgh", "\xff\xe9abcdefgg"], '["caf\\u00e9","\\u00ff\\u00e9abcdefgg","\\u00ff\\u00e9abcdefgh"]'),
        (["\U0001f600"], '["\\ud83d\\ude00"]'),
        (["\udfff", "\ud800", "x\udc00y"], '["x\\udc00y","\\ud800","\\udfff"]'),
        # Code point order: an astral character after U+FFFF, not among the surrogates.
        (["\U0001f600", "\uffff", "\ue000", "\xe9", "z"], '["z","\\u00e9","\\ue000","\\uffff","\\ud83d\\ude00"]'),
        (["\u20ac\U00010000\xe9\n", "\u20ac"], '["\\u20ac","\\u20ac\\ud800\\udc00\\u00e9\\n"]'),
    ],
)
def test_canonical_text(hashes: list[str], canonical: str) -> None:
    assert of(*hashes) == sha(canonical)
    assert of(*reversed(hashes)) == sha(canonical)


def test_duplicates_and_case_matter() -> None:
    assert len({of("a"), of("a", "a"), of("A"), of("a", "A"), of()}) == 5


ALPHABETS = [
    st.sampled_from('aAb0/ "\\'),
    st.characters(max_codepoint=0x7F),
    st.characters(max_codepoint=0xFF),
    st.characters(min_codepoint=0x80, max_codepoint=0xFFFF, exclude_categories=()),
    st.characters(exclude_categories=()),
]


@st.composite
def hash_lists(draw: st.DrawFn) -> list[str]:
    alphabet = draw(st.sampled_from(ALPHABETS))
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


class Text(str):
    pass


class Backwards(str):
    def __lt__(self, other: object) -> bool:
        return str.__gt__(self, other)  # type: ignore[operator]


@pytest.mark.parametrize(
    "hashes",
    [
        [None],  # never compared: written as null
        [None, "a"],
        ["a", None],
        [None, None],
        [3, 1.5, True, -2],
        [1, "a"],
        [float("nan"), 2.0],
        [{"k": [1, None]}],
        [object()],
        ["a", b"b"],
        [Text("b"), "a", Text("c")],
        [Backwards("a"), Backwards("c"), Backwards("b")],
    ],
)
def test_other_hash_values_behave_as_the_plain_computation(hashes: list[Any]) -> None:
    assert outcome(checksum, [StubFinding(h) for h in hashes]) == outcome(plain, hashes)


class MyList(list):  # type: ignore[type-arg]
    pass


def type_error_text(got: str) -> str:
    return re.escape(f"Argument 'findings' has incorrect type (expected list, got {got})")


@pytest.mark.parametrize("findings, got", [((StubFinding("a"),), "tuple"), (None, "NoneType"), ("ab", "str")])
def test_refuses_anything_but_a_list(findings: Any, got: str) -> None:
    with pytest.raises(TypeError, match=rf"^{type_error_text(got)}$"):
        checksum(findings)


def test_refuses_list_subclass() -> None:
    with pytest.raises(TypeError, match=rf"^{type_error_text('MyList')}\. \S.*$"):
        checksum(MyList([StubFinding("a")]))


def test_finding_without_hash() -> None:
    with pytest.raises(AttributeError, match=r"^'object' object has no attribute 'finding_hash'$"):
        checksum([StubFinding("a"), object()])


class Counted:
    def __init__(self, log: list[str], value: str) -> None:
        self.log, self.value = log, value

    @property
    def finding_hash(self) -> str:
        self.log.append(self.value)
        return self.value


def test_reads_each_hash_once_in_list_order_and_leaves_list_alone() -> None:
    log: list[str] = []
    findings = [Counted(log, h) for h in "cab"]
    before = list(findings)
    assert checksum(findings) == sha('["a","b","c"]')
    assert log == ["c", "a", "b"]
    assert findings == before


class RecordingJson:
    def __init__(self) -> None:
        self.calls: list[Any] = []

    def dumps(self, *args: Any, **kwargs: Any) -> str:
        self.calls.append((args, kwargs))
        return json.dumps(*args, **kwargs)


@pytest.mark.parametrize("hashes", [["b", "a"], [None], [Text("b"), "a"]], ids=repr)
def test_rebound_json_is_used(monkeypatch: pytest.MonkeyPatch, hashes: list[Any]) -> None:
    recorder = RecordingJson()
    monkeypatch.setattr(manifest, "json", recorder)
    findings = [StubFinding(h) for h in hashes]
    assert checksum(findings) == plain(hashes)
    [(args, kwargs)] = recorder.calls
    assert args == (sorted(hashes, key=str),) and kwargs == {"separators": (",", ":")}
    assert type(args[0]) is list


def test_rebound_hashlib_is_used(monkeypatch: pytest.MonkeyPatch) -> None:
    fake = SimpleNamespace(sha256=lambda data: SimpleNamespace(hexdigest=lambda: ("digest of", data)))
    monkeypatch.setattr(manifest, "hashlib", fake)
    assert of("b", "\xe9", "a") == ("digest of", b'["a","b","\\u00e9"]')
