"""The command line's exit status for each outcome: every verdict of `verify` on its own and in mixes, odd file
names, a reader that goes away, and the demo."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brimwick.output import cli, distributed, manifest

DOCUMENT = json.loads(json.dumps(cli.demo_envelope().to_dict()))
TEXTS = {
    "OK": json.dumps(DOCUMENT),
    "CORRUPT": json.dumps({**DOCUMENT, "findings": DOCUMENT["findings"][1:]}),
    "INVALID": '{"tenant_id": "cut',
    "UNCHECKED": json.dumps({**DOCUMENT, "integrity_checksum": "", "manifest_hash": ""}),  # INVALID: no checksum stored
    "NOT_OBJECT": "[1, 2]",  # INVALID: not an envelope document
}


def recomputed() -> str:
    """The checksum the module gives an envelope of the findings the corrupt document holds."""
    demo = cli.demo_envelope()
    return str(manifest.ScanEnvelope("t", "aws", [], "standard", demo.findings[1:]).to_dict()["integrity_checksum"])


DETAILS = {  # each kind's verdict as printed, the label left out; {line} is where a file of one document says its line
    "OK": "OK",
    "CORRUPT": f"CORRUPT: Integrity checksum mismatch: stored={DOCUMENT['integrity_checksum'][:16]}... "
               f"recomputed={recomputed()[:16]}... — data may be corrupt",
    "INVALID": "INVALID: invalid JSON: Unterminated string starting at: {line}column 15",
    "UNCHECKED": "INVALID: no integrity checksum stored",
    "NOT_OBJECT": "INVALID: not a JSON object (got array)",
}


@pytest.mark.parametrize("jobs", [1, 2])  # with --quiet, the workers' OK verdicts are counted, not sent one by one
@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("kinds, code", [
    (["OK"], 0), (["OK", "OK"], 0),
    (["CORRUPT"], 1), (["INVALID"], 1), (["UNCHECKED"], 1), (["NOT_OBJECT"], 1),
    (["OK", "INVALID"], 1), (["INVALID", "OK"], 1), (["OK", "CORRUPT"], 1), (["CORRUPT", "INVALID"], 1),
], ids=lambda value: "+".join(value) if isinstance(value, list) else f"exit{value}")
def test_verify_exits_1_for_any_document_that_does_not_verify(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                               capsys: pytest.CaptureFixture[str], kinds: list[str],
                                                               code: int, quiet: bool, jobs: int) -> None:
    monkeypatch.chdir(tmp_path)
    names = [f"{i}.json" for i in range(len(kinds))]  # a file each, and all of them as the lines of one
    for name, kind in zip(names, kinds):
        Path(name).write_text(TEXTS[kind])
    Path("all.jsonl").write_text("".join(TEXTS[kind] + "\n" for kind in kinds))
    assert cli.main(["verify", *(["--quiet"] if quiet else []), "--jobs", str(jobs), *names, "all.jsonl"]) == code
    shown = [(f"{name}: ", kind, "line 1 ") for name, kind in zip(names, kinds)]
    shown += [(f"all.jsonl:{n}: ", kind, "") for n, kind in enumerate(kinds, 1)]
    expected = [label + DETAILS[kind].format(line=line) for label, kind, line in shown if not (quiet and kind == "OK")]
    if not quiet:
        counts = [sum(DETAILS[kind].startswith(status) for kind in kinds) * 2 for status in ("OK", "CORRUPT", "INVALID")]
        expected.append(f"{2 * len(kinds)} documents: {counts[0]} ok, {counts[1]} corrupt, {counts[2]} invalid")
    assert capsys.readouterr().out.splitlines() == expected


def test_verify_exits_1_for_an_unreadable_file_alone(tmp_path: Path) -> None:
    assert cli.main(["verify", "--quiet", str(tmp_path / "absent.json")]) == 1


def test_verify_exits_1_for_an_invalid_line_among_valid_json_lines(tmp_path: Path) -> None:
    name = tmp_path / "scans.jsonl"
    name.write_text("\n".join([TEXTS["OK"], TEXTS["INVALID"], TEXTS["OK"]]) + "\n")
    assert cli.main(["verify", "--quiet", str(name)]) == 1


@pytest.mark.parametrize("name", ["+scan.json", "#1.json", "(copy).json", " lead.json"])
def test_verify_reads_files_whose_names_sort_before_the_stdin_dash(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                                    capsys: pytest.CaptureFixture[str], name: str) -> None:
    monkeypatch.chdir(tmp_path)
    Path(name).write_text(TEXTS["OK"])
    assert cli.main(["verify", name]) == 0
    assert capsys.readouterr().out.startswith(f"{name}: OK\n")


@pytest.mark.parametrize("timeout, waited", [([], 30.0), (["--timeout", "2.5"], 2.5)], ids=["default", "given"])
def test_verify_exits_2_for_a_scheduler_that_does_not_answer_in_time(monkeypatch: pytest.MonkeyPatch,
                                                                      capsys: pytest.CaptureFixture[str],
                                                                      timeout: list[str], waited: float) -> None:
    def unanswered(address: str, timeout: float) -> None:
        raise distributed.SchedulerUnavailable(f"no answer from {address} in {timeout!r} s")

    monkeypatch.setattr(distributed, "connect", unanswered)
    assert cli.main(["verify", "--scheduler", "tcp://h:1", *timeout, "a.json"]) == 2
    assert capsys.readouterr() == ("incomplete, the run stopped after 0 documents: 0 ok, 0 corrupt, 0 invalid\n",
                                   f"brimwick-manifest: no answer from tcp://h:1 in {waited!r} s\n")


def test_a_reader_that_goes_away_ends_the_run_quietly_with_status_141(tmp_path: Path) -> None:
    name = tmp_path / "many.jsonl"
    name.write_text(TEXTS["OK"] + "\n" * 2 + "\n".join(["[1]"] * 3000) + "\n")  # far more output than a pipe holds
    with subprocess.Popen([sys.executable, "-m", "brimwick.output.cli", "verify", str(name)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout is not None and proc.stderr is not None
        proc.stdout.close()  # as `| head -0` would
        errors = proc.stderr.read()
    assert (proc.returncode, errors) == (141, b"")  # 128 + SIGPIPE, as the shell reports it


def test_demo_exits_0_with_its_fixed_scan_context(capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(["demo"]) == 0
    document = json.loads(capsys.readouterr().out)
    context = {key: document[key] for key in ("tenant_id", "provider", "regions", "scan_profile", "discount_factor",
                                              "spend_context_pct", "failed_rules", "account_summaries")}
    assert context == {"tenant_id": "demo-tenant-123456789012", "provider": "aws", "regions": ["us-east-1", "eu-west-1"],
                       "scan_profile": "standard", "discount_factor": 0.72, "spend_context_pct": 6.4,
                       "failed_rules": [{"rule_id": "idle-lambda", "error": "AccessDenied: lambda:ListFunctions"}],
                       "account_summaries": [{"account_id": "123456789012", "finding_count": document["finding_count"]}]}
