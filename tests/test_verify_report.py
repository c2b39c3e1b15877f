"""How verdicts are shown: the verdict line and its escaping, the counts, the summary and the exit status."""

from __future__ import annotations

import pytest

from brimwick.output.verify.ordered import Verdict
from brimwick.output.verify.report import EXIT_FAILED, EXIT_OK, Report, checksum_lines, raw_verdict_line


@pytest.mark.parametrize("name, line, status, detail, shown", [
    ("scans.jsonl", 3, "OK", "", "scans.jsonl:3: OK"),
    ("one.json", 0, "CORRUPT", "mismatch", "one.json: CORRUPT: mismatch"),
    # a name with a line break or backslash: one leading backslash before the whole label, as sha256sum writes it
    ("a\nb.json", 2, "OK", "", "\\a\\nb.json:2: OK"),
    ("c:\\scans\\x.json", 0, "OK", "", "\\c:\\\\scans\\\\x.json: OK"),
    ("r\r.json", 0, "OK", "", "\\r\\r.json: OK"),
    # reasons stay on one line and free of control codes; other text is left as it is
    ("x.json", 1, "INVALID", "bad\nkey \x1b[31m\x7f", "x.json:1: INVALID: bad\\nkey \\x1b[31m\\x7f"),
    ("x.json", 1, "INVALID", "caf\u00e9 \\ \u2014", "x.json:1: INVALID: caf\u00e9 \\ \u2014"),
    # bidirectional controls would show the text in another order than it has: in names and in reasons
    ("gpj.\u202ejson", 0, "OK", "", "\\gpj.\\u202ejson: OK"),
    ("x.json", 1, "INCONSISTENT", 'duplicate key "\u2066a\u2069\u200f\u061c"',
     'x.json:1: INCONSISTENT: duplicate key "\\u2066a\\u2069\\u200f\\u061c"'),
], ids=["plain", "whole input", "line break", "backslash", "carriage return", "control codes", "printable",
        "bidi name", "bidi reason"])
def test_a_verdict_is_always_one_line(name: str, line: int, status: str, detail: str, shown: str) -> None:
    assert raw_verdict_line(name, line, status, detail) == shown


@pytest.mark.parametrize("statuses, strict, summary, code", [
    (["OK"], False, "1 document: 1 ok, 0 corrupt, 0 invalid", EXIT_OK),
    (["OK", "OK"], True, "2 documents: 2 ok, 0 corrupt, 0 invalid, 0 inconsistent", EXIT_OK),
    (["OK", "CORRUPT", "INVALID", "INVALID"], False, "4 documents: 1 ok, 1 corrupt, 2 invalid", EXIT_FAILED),
    (["INCONSISTENT", "OK"], True, "2 documents: 1 ok, 0 corrupt, 0 invalid, 1 inconsistent", EXIT_FAILED),
], ids=["one ok", "strict, all ok", "mixed", "inconsistent"])
@pytest.mark.parametrize("quiet", [False, True])
def test_counts_give_the_summary_and_the_exit_status(statuses: list[str], strict: bool, summary: str, code: int,
                                                      quiet: bool) -> None:
    report = Report(strict=strict, quiet=quiet)
    shown = [report.done("f.json", n, status, "why" if status != "OK" else "") for n, status in enumerate(statuses, 1)]
    assert [line is not None for line in shown] == [not quiet or status != "OK" for status in statuses]
    assert report.return_code == code and str(report) == summary
    assert report.summary() == (None if quiet else summary)


@pytest.mark.parametrize("verdict, lines", [
    (Verdict("a\nb.json", "INVALID", "stored     (none)\nrecomputed abc\nINVALID: x\x00"),
     ["\\a\\nb.json: stored     (none)", "\\a\\nb.json: recomputed abc", "\\a\\nb.json: INVALID: x\\x00"]),
    # a verdict on an input as a whole has only its reason: it gets its status as a document's has
    (Verdict("gone.json", "INVALID", "cannot read: No such file or directory"),
     ["gone.json: INVALID: cannot read: No such file or directory"]),
    (Verdict("empty.json", "INVALID", "no document in the input"), ["empty.json: INVALID: no document in the input"]),
    (Verdict("ok.json", "OK", "stored     abc\nrecomputed abc"), ["ok.json: stored     abc", "ok.json: recomputed abc"]),
], ids=["document", "unreadable input", "empty input", "ok"])
def test_checksum_lines_put_every_line_of_the_detail_under_the_label(verdict: Verdict, lines: list[str]) -> None:
    assert list(checksum_lines(verdict)) == lines
