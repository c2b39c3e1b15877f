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
Out = pytest.CaptureFixture[str]
DROP = object()  # a key left out of a document


def stored(env: Any) -> dict[str, Any]:
    """The document as a reader gets it back from storage."""
    return json.loads(json.dumps(env.to_dict()))


def corrupt(doc: dict[str, Any]) -> dict[str, Any]:
    return {**doc, "findings": doc["findings"][1:]}


DEMO = stored(cli.demo_envelope())
LINES = [json.dumps(DEMO), json.dumps(corrupt(DEMO)), "", json.dumps(DEMO), '{"tenant_id": "cut']


def mismatch(stored_hash: str, findings: list[dict[str, Any]]) -> str:
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in findings])
    return f"Integrity checksum mismatch: stored={stored_hash[:16]}... recomputed={recomputed[:16]}... — data may be corrupt"


@pytest.fixture(scope="module")
def validator() -> jsonschema.Draft202012Validator:
    schema = json.loads(resources.files("brimwick.output").joinpath("envelope.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_matches_the_runtime_and_typed_callers_pass_strict_mypy(tmp_path: Path) -> None:
    for args, cwd in [(["mypy.stubtest", "brimwick.output.manifest", "--allowlist", str(TESTS / "stubtest-allowlist.txt")], tmp_path),
                      (["mypy", "--strict", "--cache-dir", str(tmp_path), "-m", "example_usage", "-m", "brimwick.output.cli"],
                       TESTS / "typing")]:
        proc = subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    runpy.run_path(str(TESTS / "typing" / "example_usage.py"), run_name="__main__")


@pytest.mark.parametrize("make, changes", [
    (lambda rng: envelope(), {}),  # integer totals, no findings
    (lambda rng: envelope([random_finding(rng, i) for i in range(12)], discount_factor=0.8, spend_context_pct=3.14159), {}),
    (lambda rng: envelope([random_finding(rng)], narrative={"summary": "idle hosts"}, adjusted_total_monthly_waste_usd=0.0), {}),
    *[(lambda rng: cli.demo_envelope(), {key: value}) for key, value in [
        ("integrity_checksum", "A" * 64), ("manifest_hash", "0" * 63), ("finding_count", "8"), ("finding_count", -1),
        ("total_monthly_waste_usd", None), ("discount_factor", "0.72"), ("regions", ["us-east-1", 1]),
        ("failed_rules", [{"rule_id": 7}]), ("narrative", []), ("findings", ["vol-1"]), ("findings", {}),
        ("scanned_at", 1733600000), ("unexpected", 1),
        ("tenant_id", DROP), ("manifest_hash", DROP), ("narrative", DROP), ("findings", DROP)]],
])
def test_schema_accepts_written_documents_and_rejects_malformed_ones(validator: Any, rng: Any, make: Any, changes: Any) -> None:
    doc = {k: v for k, v in {**stored(make(rng)), **changes}.items() if v is not DROP}
    assert validator.is_valid(doc) == (not changes), list(validator.iter_errors(doc))


SINGLE = {  # a file of one document each: its content, and the verdict printed for it
    "old-key.json": (json.dumps({**DEMO, "integrity_checksum": ""}), "OK"),
    "array.json": ("[1, 2]", re.escape("INVALID: not a JSON object (got array)")),
    "no-tenant.json": (json.dumps({k: v for k, v in DEMO.items() if k != "tenant_id"}), "INVALID: missing key 'tenant_id'"),
    "bad-finding.json": (json.dumps({**DEMO, "findings": [{}]}), "INVALID: missing key 'resource_id'"),
    "no-checksum.json": (json.dumps({**DEMO, "integrity_checksum": "", "manifest_hash": ""}), "INVALID: no integrity checksum stored"),
    "not-utf8.json": (b'{"tenant_id": "\xff"}', re.escape("INVALID: not UTF-8 text: ") + ".+"),
    "truncated.json": (json.dumps(DEMO)[:120], re.escape("INVALID: invalid JSON: ") + ".+"),
    "empty.json": ("", re.escape("INVALID: invalid JSON: Expecting value: line 1 column 1 (char 0)")),
}


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("quiet", [False, True])  # quiet runs also draw a progress bar, on a terminal
def test_verify_files_json_lines_and_stdin(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: Out,
                                          jobs: int, quiet: bool) -> None:
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cli, "CHUNK_SIZE", 2)  # several tasks even for a few documents
    monkeypatch.setattr(cli, "PROGRESS_MIN_DOCUMENTS", 16)
    monkeypatch.setattr(sys, "stderr", type("Terminal", (io.StringIO,), {"isatty": lambda self: quiet})())
    pools: list[int] = []
    monkeypatch.setattr(cli, "ProcessPoolExecutor", lambda max_workers: pools.append(max_workers) or ProcessPoolExecutor(max_workers))
    files = {"scans.jsonl": "\n".join(LINES) + "\n", "one.json": json.dumps(DEMO, indent=2), **{n: c for n, (c, _) in SINGLE.items()}}
    files = {name: data if isinstance(data, bytes) else data.encode() for name, data in files.items()}
    for name, data in files.items():
        Path(name).write_bytes(data)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO((LINES[1] + "\n" + LINES[0] + "\n").encode())))
    args = ["verify", *(["--quiet"] if quiet else []), "--jobs", str(jobs), "scans.jsonl", "absent.json", "-", "one.json", *SINGLE]
    assert cli.main(args) == 1
    bad = "CORRUPT: " + re.escape(mismatch(DEMO["integrity_checksum"], DEMO["findings"][1:]))
    expected = [
        "scans.jsonl:1: OK", f"scans.jsonl:2: {bad}", "scans.jsonl:4: OK",
        re.escape("scans.jsonl:5: INVALID: invalid JSON: Unterminated string starting at: line 1 column 15 (char 14)"),
        "absent.json: INVALID: cannot read: No such file or directory", f"<stdin>:1: {bad}", "<stdin>:2: OK", "one.json: OK",
        *(re.escape(name) + ": " + verdict for name, (_, verdict) in SINGLE.items()), "16 documents: 5 ok, 2 corrupt, 9 invalid",
    ]
    out = capsys.readouterr().out.splitlines()
    expected = [line for line in expected if not (quiet and re.search(r": OK$|^16 doc", line))]
    assert len(out) == len(expected) and all(re.fullmatch(want, got) for want, got in zip(expected, out)), out
    bar = sys.stderr.getvalue()
    assert (bar.count("/16\r") == 13 and bar.endswith("] 16/16\r" + " " * 72 + "\r")) if quiet else bar == ""
    assert pools == ([2] if jobs == 2 else [])
    assert all(Path(name).read_bytes() == data for name, data in files.items())  # inputs are only read
    assert cli.main(["verify", "one.json", "old-key.json"]) == 0
    assert capsys.readouterr().out.endswith("\n2 documents: 2 ok, 0 corrupt, 0 invalid\n")


@pytest.mark.parametrize("argv", [[], ["scan"], ["verify"], ["verify", "-j", "0", "a.json"], ["verify", "-j", "x", "a"], ["checksum"]])
def test_usage_errors_exit_2_without_traceback(capsys: Out, argv: list[str]) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: brimwick-manifest") and "Traceback" not in err


@pytest.mark.parametrize("edit, code", [(lambda d: d, 0), (corrupt, 1), (lambda d: {"findings": None}, 1)])
def test_checksum_prints_stored_and_recomputed(tmp_path: Path, capsys: Out, edit: Any, code: int) -> None:
    name, doc = tmp_path / "s.json", edit(DEMO)
    name.write_text(json.dumps(doc))
    assert cli.main(["checksum", str(name)]) == code
    if doc["findings"] is None:
        assert capsys.readouterr().out.startswith(f"{name}: INVALID: TypeError: ")
        return
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in doc["findings"]])
    assert capsys.readouterr().out == f"{name}: stored     {DEMO['integrity_checksum']}\n{name}: recomputed {recomputed}\n"


def test_demo_prints_a_verifiable_document_of_the_bundled_samples(capsys: Out, validator: Any) -> None:
    assert cli.main(["demo"]) == 0
    out = capsys.readouterr().out
    doc = json.loads(out)
    assert out.startswith('{\n  "tenant_id": ') and validator.is_valid(doc)
    assert list(validator.schema["properties"]) == validator.schema["required"] == list(doc)
    samples = json.loads(resources.files("brimwick.samples").joinpath("findings.json").read_text(encoding="utf-8"))
    env = manifest.ScanEnvelope.from_dict(doc)
    assert env.finding_count == len(samples) == len({f.finding_hash for f in env.findings}) >= 8
    assert [Finding.from_dict(f) for f in samples] == env.findings
    assert env.adjusted_total_monthly_waste_usd is not None and doc["discount_factor"] is not None


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_envelopes_pickle_and_deepcopy_equal_and_functions_pickle_by_reference(findings: list[Finding], protocol: int) -> None:
    env = envelope(findings, discount_factor=0.9, narrative={"text": "x"}, failed_rules=[{"rule_id": "idle"}])
    for twin in (pickle.loads(pickle.dumps(env, protocol)), copy.deepcopy(env)):
        assert twin == env and twin is not env and twin.findings is not env.findings
        assert twin.to_dict() == env.to_dict()
    assert pickle.loads(pickle.dumps(env.to_dict, protocol))() == env.to_dict()
    for function in (manifest.compute_integrity_checksum, manifest.compute_manifest_hash, manifest.ScanEnvelope.to_dict,
                     manifest.ScanEnvelope._findings_with_explanations, manifest.ScanEnvelope.__post_init__,
                     manifest.ScanEnvelope.from_dict):  # a bound method is equal when its function and class are the same
        assert pickle.loads(pickle.dumps(function, protocol)) == function


def test_from_dict_in_worker_processes(rng: Any) -> None:
    docs = [stored(envelope([random_finding(rng, i) for i in range(n)], discount_factor=0.5)) for n in range(6)]
    bad = corrupt(docs[3])
    with ProcessPoolExecutor(2) as pool:
        got = list(pool.map(manifest.ScanEnvelope.from_dict, docs))
        sums = list(pool.map(manifest.compute_integrity_checksum, [env.findings for env in got]))
        with pytest.raises(ValueError, match=f"^{re.escape(mismatch(bad['integrity_checksum'], bad['findings']))}$"):
            pool.submit(manifest.ScanEnvelope.from_dict, bad).result()
    assert got == [manifest.ScanEnvelope.from_dict(d) for d in docs]
    assert sums == [d["integrity_checksum"] for d in docs]
