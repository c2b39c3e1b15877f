"""The command line's exit status for each outcome: every verdict of `verify` on its own and in mixes, odd file
names, a reader that goes away, and the demo."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brimwick.output import cli

DOCUMENT = json.loads(json.dumps(cli.demo_envelope().to_dict()))
TEXTS = {
    "OK": json.dumps(DOCUMENT),
    "CORRUPT": json.dumps({**DOCUMENT, "findings": DOCUMENT["findings"][1:]}),
    "INVALID": '{"tenant_id": "cut',
    "UNCHECKED": json.dumps({**DOCUMENT, "integrity_checksum": "", "manifest_hash": ""}),  # INVALID: no checksum stored
    "NOT_OBJECT": "[1, 2]",  # INVALID: not an envelope document
}


@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("kinds, code", [
    (["OK"], 0), (["OK", "OK"], 0),
    (["CORRUPT"], 1), (["INVALID"], 1), (["UNCHECKED"], 1), (["NOT_OBJECT"], 1),
    (["OK", "INVALID"], 1), (["INVALID", "OK"], 1), (["OK", "CORRUPT"], 1), (["CORRUPT", "INVALID"], 1),
], ids=lambda value: "+".join(value) if isinstance(value, list) else f"exit{value}")
def test_verify_exits_1_for_any_document_that_does_not_verify(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                                               kinds: list[str], code: int, quiet: bool) -> None:
    names = []
    for i, kind in enumerate(kinds):
        names.append(str(tmp_path / f"{i}.json"))
        Path(names[-1]).write_text(TEXTS[kind])
    assert cli.main(["verify", *(["--quiet"] if quiet else []), *names]) == code
    statuses = [line.split(": ")[1] for line in capsys.readouterr().out.splitlines() if line.startswith(str(tmp_path))]
    assert statuses == [{"UNCHECKED": "INVALID", "NOT_OBJECT": "INVALID"}.get(k, k) for k in kinds if not (quiet and k == "OK")]


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
