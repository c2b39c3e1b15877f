"""Verdicts in input order and their labels, whichever way they are taken."""

from __future__ import annotations

import json
import subprocess
import sys
from typing import Any

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
