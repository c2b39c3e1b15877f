"""The module among its users: type stubs, the document schema, the command line, pickling and processes."""

from __future__ import annotations

import copy
import importlib.util
import io
import json
import pickle
import re
import runpy
import subprocess
import sys
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from importlib import resources
from pathlib import Path
from typing import Any

import jsonschema
import pytest
from conftest import envelope, manifest, random_finding

from brimwick.core.schemas import Finding
from brimwick.output import cli

TESTS = Path(__file__).resolve().parent
Validator = jsonschema.Draft202012Validator
Out = pytest.CaptureFixture[str]
DROP = object()  # a key left out of a document
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_module(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def stored(env: Any) -> dict[str, Any]:
    """The document as a reader gets it back from storage."""
    return json.loads(json.dumps(env.to_dict()))


def mismatch(stored_hash: str, findings: list[dict[str, Any]]) -> str:
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in findings])
    return f"Integrity checksum mismatch: stored={stored_hash[:16]}... recomputed={recomputed[:16]}... — data may be corrupt"


@pytest.fixture
def demo() -> dict[str, Any]:
    return stored(cli.demo_envelope())


# ---------------------------------------------------------------- type stubs


@needs_mypy
def test_stub_matches_the_runtime_module(tmp_path: Path) -> None:
    allowlist = str(TESTS / "stubtest-allowlist.txt")
    proc = run_module(["mypy.stubtest", "brimwick.output.manifest", "--allowlist", allowlist], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_typed_callers_pass_strict_mypy(tmp_path: Path) -> None:
    args = ["mypy", "--strict", "--cache-dir", str(tmp_path), "-m", "example_usage", "-m", "brimwick.output.cli"]
    proc = run_module(args, TESTS / "typing")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    runpy.run_path(str(TESTS / "typing" / "example_usage.py"), run_name="__main__")


# ---------------------------------------------------------------- document schema


@pytest.fixture(scope="module")
def validator() -> Validator:
    text = resources.files("brimwick.output").joinpath("envelope.schema.json").read_text(encoding="utf-8")
    Validator.check_schema(json.loads(text))
    return Validator(json.loads(text))


def test_schema_lists_every_key_in_written_order(validator: Validator, demo: dict[str, Any]) -> None:
    assert list(validator.schema["properties"]) == validator.schema["required"] == list(demo)


@pytest.mark.parametrize(
    "make",
    [
        lambda rng: envelope(),  # integer totals, no findings
        lambda rng: envelope([random_finding(rng, i) for i in range(12)], discount_factor=0.8, spend_context_pct=3.14159),
        lambda rng: envelope([random_finding(rng)], narrative={"summary": "idle hosts"}, adjusted_total_monthly_waste_usd=0.0),
        lambda rng: cli.demo_envelope(),
    ],
    ids=["empty", "discounted", "narrative", "demo"],
)
def test_written_documents_validate(validator: Validator, rng: Any, make: Callable[[Any], Any]) -> None:
    validator.validate(stored(make(rng)))


@pytest.mark.parametrize(
    "key, value",
    [
        ("integrity_checksum", "A" * 64), ("manifest_hash", "0" * 63), ("finding_count", "8"), ("finding_count", -1),
        ("total_monthly_waste_usd", None), ("discount_factor", "0.72"), ("regions", ["us-east-1", 1]),
        ("failed_rules", [{"rule_id": 7}]), ("narrative", []), ("findings", ["vol-1"]), ("findings", {}),
        ("scanned_at", 1733600000), ("unexpected", 1),
        ("tenant_id", DROP), ("manifest_hash", DROP), ("narrative", DROP), ("findings", DROP),
    ],
)
def test_malformed_documents_are_rejected(validator: Validator, demo: dict[str, Any], key: str, value: Any) -> None:
    doc = {k: v for k, v in {**demo, key: value}.items() if v is not DROP}
    assert not validator.is_valid(doc)


# ---------------------------------------------------------------- command line


def corrupt(doc: dict[str, Any]) -> dict[str, Any]:
    return {**doc, "findings": doc["findings"][1:]}


@pytest.mark.parametrize(
    "content, expected, code",
    [
        (lambda d: json.dumps(d), "OK", 0),
        (lambda d: json.dumps({**d, "integrity_checksum": ""}), "OK", 0),  # older key only
        (lambda d: json.dumps(corrupt(d)), lambda d: "CORRUPT: " + mismatch(d["manifest_hash"], d["findings"][1:]), 1),
        (lambda d: json.dumps(d)[:120], re.escape("INVALID: invalid JSON: ") + ".*", 1),
        (lambda d: "[1, 2]", re.escape("INVALID: not a JSON object (got array)"), 1),
        (lambda d: json.dumps({k: v for k, v in d.items() if k != "tenant_id"}), "INVALID: missing key 'tenant_id'", 1),
        (lambda d: json.dumps({**d, "findings": [{}]}), "INVALID: missing key 'resource_id'", 1),
        (lambda d: json.dumps({**d, "integrity_checksum": "", "manifest_hash": ""}), "INVALID: no integrity checksum stored", 1),
        (lambda d: b'{"tenant_id": "\xff"}', re.escape("INVALID: not UTF-8 text: ") + ".*", 1),
        (lambda d: "", re.escape("INVALID: invalid JSON: Expecting value: line 1 column 1 (char 0)"), 1),
    ],
    ids=["ok", "old-key", "corrupt", "truncated", "array", "no-tenant", "bad-finding", "no-checksum", "not-utf8", "empty"],
)
def test_verify_one_document(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: Out, demo: dict[str, Any],
                             content: Any, expected: Any, code: int) -> None:
    monkeypatch.chdir(tmp_path)
    data = content(demo)
    data = data if isinstance(data, bytes) else data.encode()
    Path("scan.json").write_bytes(data)
    assert cli.main(["verify", "scan.json"]) == code
    line, summary = capsys.readouterr().out.splitlines()
    assert re.fullmatch("scan.json: " + (re.escape(expected(demo)) if callable(expected) else expected), line)
    assert summary == f"1 document: {1 - code} ok, {int('CORRUPT' in line)} corrupt, {int('INVALID' in line)} invalid"
    assert Path("scan.json").read_bytes() == data


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("quiet", [False, True])
def test_verify_json_lines_files_and_stdin(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: Out,
                                           demo: dict[str, Any], jobs: int, quiet: bool) -> None:
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cli, "CHUNK_SIZE", 2)  # several tasks even for a few documents
    pools: list[int] = []

    class CountingPool(ProcessPoolExecutor):
        def __init__(self, max_workers: int) -> None:
            pools.append(max_workers)
            super().__init__(max_workers)

    monkeypatch.setattr(cli, "ProcessPoolExecutor", CountingPool)
    lines = [json.dumps(demo), json.dumps(corrupt(demo)), "", json.dumps(demo), '{"tenant_id": "cut']
    Path("scans.jsonl").write_text("\n".join(lines) + "\n")
    Path("one.json").write_text(json.dumps(demo, indent=2))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO((lines[1] + "\n" + lines[0] + "\n").encode())))
    args = ["verify", *(["--quiet"] if quiet else []), "--jobs", str(jobs), "scans.jsonl", "absent.json", "-", "one.json"]
    assert cli.main(args) == 1
    out = capsys.readouterr()
    bad = "CORRUPT: " + mismatch(demo["integrity_checksum"], demo["findings"][1:])
    expected = [
        "scans.jsonl:1: OK", f"scans.jsonl:2: {bad}", "scans.jsonl:4: OK",
        "scans.jsonl:5: INVALID: invalid JSON: Unterminated string starting at: line 1 column 15 (char 14)",
        "absent.json: INVALID: cannot read: No such file or directory",
        f"<stdin>:1: {bad}", "<stdin>:2: OK", "one.json: OK",
        "8 documents: 4 ok, 2 corrupt, 2 invalid",
    ]
    assert out.out.splitlines() == [line for line in expected if not (quiet and re.search(r": OK$|^8 doc", line))]
    assert out.err == ""  # no progress bar when standard error is not a terminal
    assert pools == ([2] if jobs == 2 else [])


def test_progress_bar_on_a_terminal(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: Out, demo: dict[str, Any]) -> None:
    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    monkeypatch.setattr(cli, "PROGRESS_MIN_DOCUMENTS", 3)
    monkeypatch.setattr(cli, "CHUNK_SIZE", 2)
    (tmp_path / "s.jsonl").write_text((json.dumps(demo) + "\n") * 3)
    assert cli.main(["verify", "-q", str(tmp_path / "s.jsonl")]) == 0
    bar = terminal.getvalue()
    assert "] 2/3\r" in bar and "] 3/3\r" in bar and bar.endswith("\r")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("argv", [[], ["scan"], ["verify"], ["verify", "-j", "0", "a.json"], ["verify", "-j", "x", "a"], ["checksum"]])
def test_usage_errors_exit_2_without_traceback(capsys: Out, argv: list[str]) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: brimwick-manifest") and "Traceback" not in err


@pytest.mark.parametrize("broken", [False, True])
def test_checksum_prints_stored_and_recomputed(tmp_path: Path, capsys: Out, demo: dict[str, Any], broken: bool) -> None:
    doc = corrupt(demo) if broken else demo
    (tmp_path / "s.json").write_text(json.dumps(doc))
    assert cli.main(["checksum", str(tmp_path / "s.json")]) == int(broken)
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in doc["findings"]])
    name = tmp_path / "s.json"
    assert capsys.readouterr().out == f"{name}: stored     {demo['integrity_checksum']}\n{name}: recomputed {recomputed}\n"


def test_checksum_of_an_unreadable_document(tmp_path: Path, capsys: Out) -> None:
    (tmp_path / "s.json").write_text('{"findings": null}')
    assert cli.main(["checksum", str(tmp_path / "s.json")]) == 1
    assert capsys.readouterr().out.startswith(f"{tmp_path / 's.json'}: INVALID: TypeError: ")


def test_demo_prints_a_verifiable_document_of_the_bundled_samples(capsys: Out, validator: Validator) -> None:
    assert cli.main(["demo"]) == 0
    out = capsys.readouterr().out
    assert out.startswith('{\n  "tenant_id": ')
    doc = json.loads(out)
    validator.validate(doc)
    samples = json.loads(resources.files("brimwick.samples").joinpath("findings.json").read_text(encoding="utf-8"))
    env = manifest.ScanEnvelope.from_dict(doc)
    assert env.finding_count == len(samples) == len({f.finding_hash for f in env.findings}) >= 8
    assert [Finding.from_dict(f) for f in samples] == env.findings
    assert env.adjusted_total_monthly_waste_usd is not None and doc["discount_factor"] is not None


# ---------------------------------------------------------------- pickling and processes


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_envelopes_pickle_and_deepcopy_equal(findings: list[Finding], protocol: int) -> None:
    env = envelope(findings, discount_factor=0.9, narrative={"text": "x"}, failed_rules=[{"rule_id": "idle"}])
    for twin in (pickle.loads(pickle.dumps(env, protocol)), copy.deepcopy(env)):
        assert twin == env and twin is not env and twin.findings is not env.findings
        assert twin.to_dict() == env.to_dict()


@pytest.mark.parametrize(
    "get",
    [
        lambda: manifest.compute_integrity_checksum,
        lambda: manifest.compute_manifest_hash,
        lambda: manifest.ScanEnvelope.to_dict,
        lambda: manifest.ScanEnvelope._findings_with_explanations,
        lambda: manifest.ScanEnvelope.__post_init__,
    ],
)
def test_functions_pickle_by_reference(get: Callable[[], Any]) -> None:
    assert pickle.loads(pickle.dumps(get())) is get()


def test_bound_methods_pickle(findings: list[Finding]) -> None:
    from_dict = pickle.loads(pickle.dumps(manifest.ScanEnvelope.from_dict))
    assert from_dict == manifest.ScanEnvelope.from_dict and from_dict.__self__ is manifest.ScanEnvelope
    env = envelope(findings, scanned_at="2026-01-01T00:00:00+00:00")
    assert pickle.loads(pickle.dumps(env.to_dict))() == env.to_dict()


def test_from_dict_in_worker_processes(rng: Any) -> None:
    docs = [stored(envelope([random_finding(rng, i) for i in range(n)], discount_factor=0.5)) for n in range(6)]
    bad = corrupt(docs[3])
    with ProcessPoolExecutor(2) as pool:
        got = list(pool.map(manifest.ScanEnvelope.from_dict, docs))
        sums = list(pool.map(manifest.compute_integrity_checksum, [env.findings for env in got]))
        message = mismatch(bad["integrity_checksum"], bad["findings"])
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            pool.submit(manifest.ScanEnvelope.from_dict, bad).result()
    assert got == [manifest.ScanEnvelope.from_dict(d) for d in docs]
    assert sums == [d["integrity_checksum"] for d in docs]
