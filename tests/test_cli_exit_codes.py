"""The exit status of `brimwick-manifest verify` for each verdict on its own and in mixes."""

from __future__ import annotations

import json
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
