"""Verdicts in input order and their labels, whichever way they are taken."""

from __future__ import annotations

import json
import subprocess
import sys
from typing import Any

import pytest
from test_cli import DEMO

from brimwick.output.verify.ordered import Verdict, label, raw_verdicts, verify_sources


def test_an_endless_line_is_reported_at_once_in_bounded_memory() -> None:
    with subprocess.Popen([sys.executable, "-m", "brimwick.output.cli", "verify", "--max-document-bytes", "4M", "/dev/zero"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as proc:
        try:
            assert proc.stdout is not None
            first = proc.stdout.readline()  # the verdict arrives while reading goes on
            assert first == b"/dev/zero:1: INVALID: larger than the 4 MiB limit for one document (--max-document-bytes)\n"
            with open(f"/proc/{proc.pid}/status") as status:
                rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
            assert rss_kib < 200_000
        finally:
            proc.kill()
            proc.wait(timeout=30)


def test_raw_verdicts_label_as_verdicts_do(tmp_path: Any) -> None:
    from test_cli import DEMO, corrupt

    good = json.dumps(DEMO)
    files = {"one.json": good, "two.jsonl": good + "\n\n" + json.dumps(corrupt(DEMO)) + "\n", "empty.json": "",
             "stream.json": good + "\n" + good + "\n"}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    sources = [str(tmp_path / name) for name in files] + [str(tmp_path / "missing.jsonl")]
    raw = list(raw_verdicts(sources))
    assert [Verdict(label(n, line), s, d) for n, line, s, d in raw] == \
        list(verify_sources(sources))
    assert [label(n, line).rsplit("/", 1)[1] for n, line, _, _ in raw] == [
        "one.json", "two.jsonl:1", "two.jsonl:3", "empty.json", "stream.json:1", "stream.json:2", "missing.jsonl"]


PRETTY = json.dumps(DEMO, indent=2)
GOOD_LINE = json.dumps(json.loads(PRETTY))
BROKEN = PRETTY.split("\n")
BROKEN[40] += ","  # a stray comma on the file's line 42, counting the document before it


@pytest.mark.parametrize("name, data, limit, expected", [
    # one document over the limit is labelled as one document that is not: the file's name alone
    ("one.json", PRETTY.encode(), 1, [("", "INVALID", "larger than the 1 byte limit for one document (--max-document-bytes)")]),
    ("one.json", PRETTY.encode(), 100, [("", "INVALID", "larger than the 100 bytes limit for one document (--max-document-bytes)")]),
    ("one.json", PRETTY.encode(), 1500,
     [("", "INVALID", "larger than the 1,500 bytes limit for one document (--max-document-bytes)")]),
    # an unreadable stretch is one verdict, not one per line
    ("utf16.json", PRETTY.encode("utf-16"), None, [("", "INVALID", "not UTF-8 text: invalid start byte at byte 0")]),
    # documents sharing a line get their column; a JSON error gives the file's line
    ("run.json", f"{GOOD_LINE}{GOOD_LINE}  {GOOD_LINE}\n{GOOD_LINE}".encode(), None,
     [("1", "OK", ""), (f"1:{len(GOOD_LINE) + 1}", "OK", ""), (f"1:{2 * len(GOOD_LINE) + 3}", "OK", ""), ("2", "OK", "")]),
    ("jq.json", "\n".join([GOOD_LINE, *BROKEN, GOOD_LINE]).encode(), None,
     [("1", "OK", ""), ("2", "INVALID", "invalid JSON: Expecting property name enclosed in double quotes: line 42 column 29"),
      (str(len(BROKEN) + 2), "OK", "")]),
    ("glued.json", f'{GOOD_LINE}{{"cut\n{GOOD_LINE}'.encode(), None,
     [("1", "OK", ""), (f"1:{len(GOOD_LINE) + 1}", "INVALID",
                        f"invalid JSON: Unterminated string starting at: line 1 column {len(GOOD_LINE) + 2}"), ("2", "OK", "")]),
    ("cut.json", b'{"integrity_checksum": "x"} {"a": 1,\n', None,
     [("1", "CORRUPT", "Integrity checksum mismatch: stored=x... recomputed=4f53cda18c2baa0c... \u2014 data may be corrupt"),
      ("1:29", "INVALID", "invalid JSON: Expecting property name enclosed in double quotes: line 1 column 37")]),
], ids=["tiny limit", "small limit", "uneven limit", "utf-16", "shared line", "file's line", "column in reason",
        "column at the end"])
@pytest.mark.parametrize("jobs", [False, True])
def test_labels_and_counts_add_up(tmp_path: Any, name: str, data: bytes, limit: int | None,
                                  expected: list[tuple[str, str, str]], jobs: bool) -> None:
    from brimwick.output.verify.executors import verify_in_processes
    from brimwick.output.verify.tasks import Options

    path = tmp_path / name
    path.write_bytes(data)
    options = Options(max_document_bytes=limit) if limit else Options()
    verdicts = verify_in_processes([str(path)], options) if jobs else verify_sources([str(path)], options)
    assert [(v.label[len(str(path)) + 1:], v.status, v.detail) for v in verdicts] == expected


def test_a_stream_labels_every_document_with_its_line(tmp_path: Any) -> None:
    # Whether another document follows is unknown when one is shown: even a lone one carries its line.
    (tmp_path / "one.json").write_text(PRETTY)
    proc = subprocess.run(f"cat {tmp_path / 'one.json'} | {sys.executable} -m brimwick.output.cli verify -",
                          shell=True, capture_output=True, timeout=60)
    assert proc.stdout.decode().splitlines()[0] == "<stdin>:1: OK"
