"""The module among its users: type stubs, the document schema, pickling and processes (the command line: test_cli)."""

from __future__ import annotations

import copy
import importlib.util
import json
import pickle
import re
import runpy
import subprocess
import sys
import types
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


def test_cloudpickle_and_a_dask_bag_ship_the_class_method(rng: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    # dask.bag's default scheduler runs worker processes fed with cloudpickle,
    # which ships a bound method as its function and its class.
    cloudpickle = pytest.importorskip("cloudpickle")
    bag = pytest.importorskip("dask.bag")
    assert cloudpickle.loads(cloudpickle.dumps(manifest.ScanEnvelope.from_dict)) == manifest.ScanEnvelope.from_dict
    # A function its qualified name does not lead to copies as itself, as a lambda does.
    factory = manifest.ScanEnvelope.__dataclass_fields__["scanned_at"].default_factory
    assert copy.deepcopy(factory) is factory
    original = manifest.ScanEnvelope.__dict__["from_dict"].__func__
    monkeypatch.setattr(manifest.ScanEnvelope, "from_dict", classmethod(lambda cls, data: None))
    assert original.__reduce__() == "ScanEnvelope.from_dict"  # its name no longer leads to it
    monkeypatch.undo()
    # A name that leads nowhere pickles by name (and fails there, as for any function); an interrupt passes.
    to_dict = manifest.ScanEnvelope.to_dict
    monkeypatch.setattr(to_dict, "__module__", "no_such_module", raising=False)
    assert to_dict.__reduce__() == "ScanEnvelope.to_dict"
    interrupting = types.ModuleType("interrupting")
    interrupting.__getattr__ = lambda name: (_ for _ in ()).throw(KeyboardInterrupt())  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "interrupting", interrupting)
    monkeypatch.setattr(to_dict, "__module__", "interrupting", raising=False)
    with pytest.raises(KeyboardInterrupt):
        to_dict.__reduce__()
    monkeypatch.undo()
    docs = [stored(envelope([random_finding(rng, i) for i in range(n)])) for n in range(4)]
    read = bag.from_sequence(docs, npartitions=2).map(manifest.ScanEnvelope.from_dict).compute()
    assert read == [manifest.ScanEnvelope.from_dict(d) for d in docs]


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
