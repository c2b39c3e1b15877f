"""`brimwick-manifest` as operators use it: reading damaged inputs, plain-words verdicts, the strict audit, failing cleanly."""

from __future__ import annotations

import io
import json
import math
import os
import re
import subprocess
import sys
from importlib import resources
from pathlib import Path
from typing import Any

import jsonschema
import pytest
from conftest import manifest

import brimwick
from brimwick.core.schemas import Finding
from brimwick.output import cli, verification
from brimwick.output.verify import tasks

Out = pytest.CaptureFixture[str]
DEMO = json.loads(json.dumps(cli.demo_envelope().to_dict()))
GOOD = json.dumps(DEMO)


def corrupt(doc: dict[str, Any]) -> dict[str, Any]:
    return {**doc, "findings": doc["findings"][1:]}


BAD = json.dumps(corrupt(DEMO))
CUT = '{"tenant_id": "cut'
MISMATCH = re.escape("CORRUPT: Integrity checksum mismatch: stored=" + DEMO["integrity_checksum"][:16] + "... recomputed=") + ".+"


def run(*args: str, stdin: bytes = b"", env: dict[str, str] | None = None, timeout: float = 60) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "brimwick.output.cli", *args], input=stdin, capture_output=True,
                          timeout=timeout, env={**os.environ, **(env or {})})


def check(out: list[str], expected: list[str]) -> None:
    wrong = [(want, got) for want, got in zip(expected, out) if not re.fullmatch(want, got)]
    assert len(out) == len(expected) and not wrong, (len(out), len(expected), wrong[:2], out)


SINGLE = {  # a file of one document each: its content, and the verdict printed for it
    "old-key.json": (json.dumps({**DEMO, "integrity_checksum": ""}), "OK"),
    "array.json": ("[1, 2]", re.escape("INVALID: not a JSON object (got array)")),
    "no-tenant.json": (json.dumps({k: v for k, v in DEMO.items() if k != "tenant_id"}), "INVALID: missing key 'tenant_id'"),
    "bad-finding.json": (json.dumps({**DEMO, "findings": [{}]}), re.escape("INVALID: findings[0] has no resource_id")),
    "no-checksum.json": (json.dumps({**DEMO, "integrity_checksum": "", "manifest_hash": ""}), "INVALID: no integrity checksum stored"),
    "not-utf8.json": (b'{"tenant_id": "\xff"}', re.escape("INVALID: not UTF-8 text: ") + ".+"),
    "truncated.json": (GOOD[:120], re.escape("INVALID: invalid JSON: ") + ".+"),
    "empty.json": ("", "INVALID: no document in the input"),
    "pretty.json": (json.dumps(DEMO, indent=2), "OK"),
}
LINES = [GOOD, BAD, "", GOOD, CUT]


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("quiet", [False, True])  # quiet runs also draw a progress bar, on a terminal
def test_verify_files_json_lines_and_stdin(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: Out,
                                          jobs: int, quiet: bool) -> None:
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tasks, "MIN_RANGE_BYTES", 4096)  # JSON Lines files in several byte ranges
    monkeypatch.setattr(cli, "PROGRESS_MIN_BYTES", 1)
    monkeypatch.setattr(sys, "stderr", type("Terminal", (io.StringIO,), {"isatty": lambda self: quiet})())
    files = {"scans.jsonl": "\n".join(LINES * 3) + "\n", **{n: c for n, (c, _) in SINGLE.items()}}
    files = {name: data if isinstance(data, bytes) else data.encode() for name, data in files.items()}
    for name, data in files.items():
        Path(name).write_bytes(data)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(f"{BAD}\n{GOOD}\n".encode())))
    args = ["verify", *(["--quiet"] if quiet else []), "--jobs", str(jobs), "scans.jsonl", "absent.json", "-", *SINGLE]
    assert cli.main(args) == 1
    cut = re.escape("INVALID: invalid JSON: Unterminated string starting at: column 15")  # the label names the line
    expected = [
        *[f"scans.jsonl:{5 * k + n}: {verdict}" for k in range(3) for n, verdict in [(1, "OK"), (2, MISMATCH), (4, "OK"), (5, cut)]],
        "absent.json: INVALID: cannot read: No such file or directory", f"<stdin>:1: {MISMATCH}", "<stdin>:2: OK",
        *(re.escape(name) + ": " + verdict for name, (_, verdict) in SINGLE.items()), "24 documents: 9 ok, 4 corrupt, 11 invalid",
    ]
    check(capsys.readouterr().out.splitlines(), [line for line in expected if not (quiet and re.search(r": OK$|^\d+ doc", line))])
    bar = sys.stderr.getvalue()
    drawn = re.fullmatch(r"(?:\r(\[[#.]{30}\] \d+/\d+ MiB)(?:\r +\r)?)+", bar)  # the bar, cleared when a line is written
    assert (drawn is not None and bar.endswith("\r" + " " * len(drawn.group(1)) + "\r")) if quiet else bar == ""
    assert all(Path(name).read_bytes() == data for name, data in files.items())  # inputs are only read
    assert cli.main(["verify", "pretty.json", "old-key.json"]) == 0
    assert capsys.readouterr().out.endswith("\n2 documents: 2 ok, 0 corrupt, 0 invalid\n")


PRETTY, PRETTY_BAD = json.dumps(DEMO, indent=2), json.dumps(corrupt(DEMO), indent=2)
N_PRETTY, N_BAD, N_CUT = (text.count("\n") + 1 for text in (PRETTY, PRETTY_BAD, PRETTY[:400]))


@pytest.mark.parametrize("name, text, expected", [
    # JSON Lines not named so: a cut first line hides nothing
    ("scans.json", "\n".join([CUT, *[GOOD] * 40, BAD, GOOD]),
     [f"scans.json:1: {re.escape('INVALID: invalid JSON: Unterminated string')}.+", *[f"scans.json:{n}: OK" for n in range(2, 42)],
      f"scans.json:42: {MISMATCH}", "scans.json:43: OK"]),
    # a first line cut outside a string, its brackets left open
    ("scans.log", "\n".join([GOOD[:300], GOOD, BAD]),
     [f"scans.log:1: {re.escape('INVALID: invalid JSON: ')}.+", "scans.log:2: OK", f"scans.log:3: {MISMATCH}"]),
    # pretty documents one after another, as jq writes them, the last one cut
    ("jq.json", "\n".join([PRETTY, PRETTY_BAD, PRETTY[:400], PRETTY]),
     ["jq.json:1: OK", f"jq.json:{N_PRETTY + 1}: {MISMATCH}", f"jq.json:{N_PRETTY + N_BAD + 1}: INVALID: invalid JSON: .+",
      f"jq.json:{N_PRETTY + N_BAD + N_CUT + 1}: OK"]),
    # compact documents one after another on one line (the second labelled with its column), and whitespace between
    ("run.json", f"{GOOD}{BAD} \n\n  {GOOD}", ["run.json:1: OK", f"run.json:1:{len(GOOD) + 1}: {MISMATCH}", "run.json:3: OK"]),
    # a damaged record in the middle of JSON Lines, and a byte-order mark
    ("scans.ndjson", "\ufeff" + "\n".join([GOOD, "garbage", GOOD, "\t", "[]"]),
     ["scans.ndjson:1: OK", "scans.ndjson:2: INVALID: invalid JSON: Expecting value: .+", "scans.ndjson:3: OK",
      re.escape("scans.ndjson:5: INVALID: not a JSON object (got array)")]),
    # a line of JSON's own whitespace is blank; form feed and vertical tab are not JSON's
    ("scans.jsonl", "\n".join([GOOD, " \t\r", "\f", GOOD, "\v", GOOD]),
     ["scans.jsonl:1: OK", "scans.jsonl:3: INVALID: invalid JSON: Expecting value: (line 3 )?column 1", "scans.jsonl:4: OK",
      "scans.jsonl:5: INVALID: invalid JSON: Expecting value: (line 5 )?column 1", "scans.jsonl:6: OK"]),
])
@pytest.mark.parametrize("how", ["file", "stdin", "jobs"])
def test_one_damaged_record_never_hides_the_others(tmp_path: Path, capsys: Out, monkeypatch: pytest.MonkeyPatch,
                                                   name: str, text: str, expected: list[str], how: str) -> None:
    monkeypatch.setattr(tasks, "MIN_RANGE_BYTES", 8192)
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    if how == "stdin":
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(text.encode())))
        expected = [line.replace(re.escape(name), "<stdin>", 1).replace(name, "<stdin>", 1) for line in expected]
    monkeypatch.chdir(tmp_path)
    assert cli.main(["verify", "--quiet", *(["-j", "2"] if how == "jobs" else []), "-" if how == "stdin" else name]) == 1
    check(capsys.readouterr().out.splitlines(), [line for line in expected if not line.endswith(": OK")])


def _deep(doc: dict[str, Any]) -> str:
    return GOOD[:-1] + ', "narrative": ' + "[" * 5000 + "]" * 5000 + "}"


PLAIN = [  # documents that from_dict cannot read, and the reason given for each
    ({**DEMO, "integrity_checksum": 7}, "integrity_checksum is not text (got a number)"),
    ({**DEMO, "integrity_checksum": "", "manifest_hash": ["a"]}, "manifest_hash is not text (got an array)"),
    ({**DEMO, "findings": "nope"}, "findings is not a list (got text)"),
    ({**DEMO, "findings": None}, "findings is not a list (got null)"),
    ({**DEMO, "findings": [*DEMO["findings"], 3]}, f"findings[{len(DEMO['findings'])}] is not an object (got a number)"),
    ({**DEMO, "findings": [{**DEMO["findings"][0], "finding_hash": "", "region": None}]}, "findings[0].region is not text (got null)"),
    ({**DEMO, "findings": [{**DEMO["findings"][0], "estimated_monthly_waste_usd": "12"}, *DEMO["findings"][1:]]},
     "findings[0].estimated_monthly_waste_usd is not a number (got text)"),
    ({k: v for k, v in DEMO.items() if k != "scan_profile"}, "missing key 'scan_profile'"),
    (_deep(DEMO), "nested deeper than the reader's limit (1,000 levels)"),
]


@pytest.mark.parametrize("doc, reason", PLAIN)
def test_reasons_in_plain_words_and_the_same_verdict_from_checksum(tmp_path: Path, capsys: Out, doc: Any, reason: str) -> None:
    path = tmp_path / "doc.json"
    path.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    assert cli.main(["verify", str(path)]) == 1
    assert capsys.readouterr().out.splitlines()[0] == f"{path}: INVALID: {reason}"
    assert cli.main(["checksum", str(path)]) == 1
    assert capsys.readouterr().out.splitlines()[-1] == f"{path}: INVALID: {reason}"
    if not isinstance(doc, str):  # the library itself still raises its own exceptions
        with pytest.raises(Exception):
            manifest.ScanEnvelope.from_dict(doc)


def test_checksum_prints_stored_and_recomputed(tmp_path: Path, capsys: Out) -> None:
    docs = [DEMO, corrupt(DEMO), {**DEMO, "integrity_checksum": "", "manifest_hash": ""}]
    name = tmp_path / "s.jsonl"
    name.write_text("\n".join(map(json.dumps, docs)) + "\n")
    assert cli.main(["checksum", str(name)]) == 1
    sums = [manifest.compute_integrity_checksum([Finding.from_dict(f) for f in d["findings"]]) for d in docs]
    assert capsys.readouterr().out.splitlines() == [
        f"{name}:1: stored     {DEMO['integrity_checksum']}", f"{name}:1: recomputed {sums[0]}",
        f"{name}:2: stored     {DEMO['integrity_checksum']}", f"{name}:2: recomputed {sums[1]}  MISMATCH",
        f"{name}:3: stored     (none)", f"{name}:3: recomputed {sums[2]}", f"{name}:3: INVALID: no integrity checksum stored"]
    assert sums[0] == DEMO["integrity_checksum"] != sums[1]
    (tmp_path / "one.json").write_text(GOOD)
    assert cli.main(["checksum", str(tmp_path / "one.json")]) == 0


def _edit(**changes: Any) -> dict[str, Any]:
    return {**DEMO, **changes}


ADJ_MONTHLY = DEMO["adjusted_total_monthly_waste_usd"]
STRICT = [  # an edited document and the audit's finding, None where it passes
    (DEMO, None),
    (_edit(finding_count=DEMO["finding_count"] + 1),
     f"finding_count stored {DEMO['finding_count'] + 1}, recomputed {DEMO['finding_count']}"),
    (_edit(total_monthly_waste_usd=1.5), f"total_monthly_waste_usd stored 1.5, recomputed {DEMO['total_monthly_waste_usd']}"),
    (_edit(total_annual_waste_usd=0), f"total_annual_waste_usd stored 0, recomputed {DEMO['total_annual_waste_usd']}"),
    (_edit(adjusted_total_annual_waste_usd=round(ADJ_MONTHLY * 12 + 0.06, 2)), None),  # the monthly figure's rounding explains it
    (_edit(adjusted_total_annual_waste_usd=round(ADJ_MONTHLY * 12 + 0.063, 3)), None),  # and the annual one's own
    (_edit(adjusted_total_annual_waste_usd=round(ADJ_MONTHLY * 12 + 0.07, 2)),
     f"adjusted_total_annual_waste_usd stored {round(ADJ_MONTHLY * 12 + 0.07, 2)}, recomputed {round(ADJ_MONTHLY * 12, 2)}"
     " (12 x adjusted_total_monthly_waste_usd)"),
    (_edit(adjusted_total_annual_waste_usd=round(ADJ_MONTHLY * 12 + 0.2, 2)),
     f"adjusted_total_annual_waste_usd stored {round(ADJ_MONTHLY * 12 + 0.2, 2)}, recomputed {round(ADJ_MONTHLY * 12, 2)}"
     " (12 x adjusted_total_monthly_waste_usd)"),
    (_edit(adjusted_total_monthly_waste_usd=ADJ_MONTHLY + 1), "adjusted_total_annual_waste_usd stored .+"),
    (_edit(manifest_hash="0" * 64), f"manifest_hash stored \"{'0' * 64}\", recomputed \"{DEMO['integrity_checksum']}\""),
    (_edit(finding_count="8"), 'finding_count stored "8", recomputed 8; finding_count fails the schema: .+'),
    (_edit(unexpected=1), "document fails the schema: Additional properties are not allowed .+"),
    (_edit(regions=["us-east-1", 2]), 'regions/1 fails the schema: 2 is not of type "string"'),
    (_edit(integrity_checksum=None), "OK: checked against manifest_hash: integrity_checksum is null, as in documents of earlier versions"),
    ({k: v for k, v in DEMO.items() if k != "manifest_hash"}, 'document fails the schema: "manifest_hash" is a required property'),
    ({k: v for k, v in DEMO.items() if k != "total_annual_waste_usd"},
     f"total_annual_waste_usd stored nothing, recomputed {DEMO['total_annual_waste_usd']}; document fails the schema: .+"),
]


@pytest.mark.parametrize("doc, finding", STRICT)
def test_strict_audits_the_stored_figures_and_the_schema(tmp_path: Path, capsys: Out, doc: dict[str, Any], finding: str | None) -> None:
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(doc))
    assert cli.main(["verify", str(path)]) == 0  # what the checksum covers is untouched
    capsys.readouterr()
    ok = finding is None or finding.startswith("OK: ")  # an older document's OK says where its checksum was read
    assert cli.main(["verify", "--strict", str(path)]) == (0 if ok else 1)
    out = capsys.readouterr().out.splitlines()
    pattern = "OK" if finding is None else re.escape(finding) if ok else "INCONSISTENT: " + ".+".join(map(re.escape, finding.split(".+")))
    check(out, [f"{re.escape(str(path))}: {pattern}", f"1 document: {int(ok)} ok, 0 corrupt, 0 invalid, {int(not ok)} inconsistent"])


def test_strict_nan_totals_equal_and_failures_keep_their_verdict(tmp_path: Path, capsys: Out) -> None:
    nan = float("nan")
    finding = {**DEMO["findings"][0], "estimated_monthly_waste_usd": nan}
    env = manifest.ScanEnvelope.from_dict({**DEMO, "findings": [finding], "integrity_checksum": "", "manifest_hash": ""})
    doc = env.to_dict()
    assert math.isnan(doc["total_monthly_waste_usd"])
    lines = [json.dumps({**DEMO, "adjusted_total_monthly_waste_usd": 9 * 10**400}), json.dumps(doc), BAD, json.dumps({**DEMO, "integrity_checksum": "", "manifest_hash": ""})]
    path = tmp_path / "s.jsonl"
    path.write_text("\n".join(lines) + "\n")
    assert cli.main(["verify", "--strict", "--quiet", str(path)]) == 1
    # A 401-digit total is that document's verdict, not the run's end (float arithmetic cannot take it).
    # NaN totals equal the recomputed NaN: the only findings are the NaNs themselves, which JSON does not have.
    check(capsys.readouterr().out.splitlines(), [
        ".*:1: INCONSISTENT: adjusted_total_monthly_waste_usd is an integer past the double range, which other readers "
        "read as Infinity or refuse",
        ".*:2: INCONSISTENT: (?:[^;]+ is NaN, which JSON does not have(?:; |$))+",
        f".*:3: {MISMATCH}", ".*:4: INVALID: no integrity checksum stored"])


def test_write_failures_encoding_and_names(tmp_path: Path) -> None:
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([sys.executable, "-m", "brimwick.output.cli", "demo"], stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 2 and proc.stderr == b"brimwick-manifest: cannot write output: No space left on device\n"
    big = tmp_path / "big.jsonl"
    big.write_text(f"{GOOD}\n" * 3000)
    pipe = subprocess.run(f"{sys.executable} -m brimwick.output.cli verify {big} | head -1", shell=True,
                          capture_output=True, timeout=120)
    assert pipe.stdout == f"{big}:1: OK\n".encode() and pipe.stderr == b""
    odd = tmp_path / "a\nb\\c.json"
    odd.write_text(BAD)
    proc = run("verify", str(odd), env={"PYTHONIOENCODING": "ascii"})
    assert proc.returncode == 1 and proc.stderr == b""
    first, summary = proc.stdout.decode("ascii").splitlines()
    name = str(odd).replace("\\", "\\\\").replace("\n", "\\n")
    assert first.startswith(f"\\{name}: CORRUPT: Integrity") and first.endswith("... \\u2014 data may be corrupt")


def test_version_help_and_usage_errors(capsys: Out) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["--version"])
    assert exit_info.value.code == 0 and capsys.readouterr().out == f"brimwick-manifest {brimwick.__version__}\n"
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    text = capsys.readouterr().out
    assert not re.search(r"^\s+show\b", text, re.M) and all(word in text for word in ("verify", "checksum", "demo", "INCONSISTENT", "Exit status"))
    assert "a --jobs worker process that dies" in " ".join(text.split())  # each cause of exit 2
    for argv in [[], ["scan"], ["verify"], ["verify", "-j", "0", "a.json"], ["verify", "-j", "x", "a"], ["checksum"],
                 ["verify", "--max-document-bytes", "lots", "a"], ["verify", "-j", "2", "--scheduler", "x:1", "a"]]:
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)
        err = capsys.readouterr().err
        assert exit_info.value.code == 2 and err.startswith("usage: brimwick-manifest") and "Traceback" not in err


def test_demo_prints_a_verifiable_document_of_the_bundled_samples(capsys: Out) -> None:
    assert cli.main(["demo"]) == 0
    out = capsys.readouterr().out
    doc = json.loads(out)
    schema = json.loads(resources.files("brimwick.output").joinpath("envelope.schema.json").read_text(encoding="utf-8"))
    assert out.startswith('{\n  "tenant_id": ') and jsonschema.Draft202012Validator(schema).is_valid(doc)
    assert list(schema["properties"]) == list(doc) and schema["required"] == [key for key in doc if key != "integrity_checksum"]
    samples = json.loads(resources.files("brimwick.samples").joinpath("findings.json").read_text(encoding="utf-8"))
    env = manifest.ScanEnvelope.from_dict(doc)
    assert env.finding_count == len(samples) == len({f.finding_hash for f in env.findings}) >= 8
    assert [Finding.from_dict(f) for f in samples] == env.findings
    assert env.adjusted_total_monthly_waste_usd is not None and doc["discount_factor"] is not None
    assert verification.check_document(doc, strict=True) == (verification.OK, "")
