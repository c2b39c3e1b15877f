"""What the command writes: one line per verdict whatever the names and stored values, JSON Lines that say what the
text says, and a progress bar that never runs into a verdict."""

from __future__ import annotations

import base64
import io
import json
import os
import pty
import re
import select
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brimwick.output import cli
from brimwick.output.verify import writing
from brimwick.output.verify.ordered import raw_verdicts
from brimwick.output.verify.report import Report, checksum_lines
from brimwick.output.verify.verdicts import checksum_report
from brimwick.output.verify.ordered import Verdict

DOC = json.loads(json.dumps(cli.demo_envelope().to_dict()))
GOOD = json.dumps(DOC)
BAD = json.dumps({**DOC, "findings": DOC["findings"][1:]})
# Characters that break lines, drive terminals or reorder what they show, beside ordinary and non-ASCII ones.
NASTY = st.sampled_from(["\n", "\r", "\x1b[2J", "\x85", "\u2028", "\u2029", "\x7f", "\x0b", "\x1c", "\\", "\udc80", "\ud800",
                         "\u202e", "\u2066", "\u200f", "\u061c", "\u00fc", "\u2014", "\U0001f600", "a", " "])
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
TEXTS = st.lists(NASTY | st.text(max_size=3), max_size=8).map("".join)


def written(lines: list[str], encoding: str) -> list[str]:
    """The lines as the command's output gives them to a reader, in ``encoding``."""
    out = io.TextIOWrapper(io.BytesIO(), encoding=encoding, errors="backslashreplace", newline="\n")
    for line in lines:
        out.write(line + "\n")
    out.flush()
    return out.buffer.getvalue().decode(encoding).splitlines()  # type: ignore[attr-defined]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(TEXTS, TEXTS), min_size=1, max_size=4), st.sampled_from(["utf-8", "ascii"]),
       st.sampled_from(["text", "json"]))
def test_n_verdicts_are_n_lines_whatever_the_names_and_stored_values(tmp_path: Path, pairs: list[tuple[str, str]],
                                                                     encoding: str, fmt: str) -> None:
    path = tmp_path / "scans.jsonl"
    docs = [{**DOC, "integrity_checksum": stored or "x"} for _, stored in pairs]  # CORRUPT, quoting the stored value
    path.write_text("".join(json.dumps(d) + "\n" for d in docs))
    report = Report(format=fmt, ascii=encoding == "ascii")
    lines = [report.done(name, line, status, detail) or ""
             for (name, _), (_, line, status, detail) in zip(pairs, raw_verdicts([str(path)]))]
    shown = written(lines, encoding)
    assert len(shown) == len(pairs) and not any(UNSAFE.search(line) for line in shown)
    if fmt == "json":  # a reader gets the name back whole: as text, or as its bytes where they are not UTF-8
        objects = [json.loads(line) for line in shown]
        assert not any(re.search("[\ud800-\udfff]", o["source"]) for o in objects)
        assert [base64.b64decode(o["source_bytes"]) if "source_bytes" in o else o["source"].encode() for o in objects] == \
            [name.encode("utf-8", "surrogateescape" if "\ud800" not in name else "surrogatepass") for name, _ in pairs]
    elif encoding == "ascii":
        assert all(line.isascii() for line in shown)
    checksums = [(name, verdict) for (name, _), verdict in zip(pairs, raw_verdicts([str(path)], judge=checksum_report))]
    printed = written([line for name, (_, n, status, detail) in checksums
                       for line in checksum_lines(Verdict(f"{name}:{n}", status, detail), encoding == "ascii")], encoding)
    assert len(printed) == 2 * len(pairs) and all(line.endswith("  MISMATCH") for line in printed[1::2])


@pytest.mark.parametrize("name, ascii, shown", [
    ("plain.json", False, "plain.json"),
    ("für.json", False, "für.json"),
    ("für.json", True, "\\f\\xfcr.json"),  # as sha256sum marks an escaped name: one leading backslash
    ("a\u2028b\x1b.json", False, "\\a\\u2028b\\x1b.json"),
    ("bad-\udcff.json", False, "\\bad-\\xff.json"),  # a byte that was not UTF-8 comes back as that byte
    ("bad-\udc80.json", False, "\\bad-\\x80.json"),  # the lowest such byte
    ("c:\\x.json", True, "\\c:\\\\x.json"),
    ("\xff\uffff\U0001f600\t.json", True, "\\\\xff\\uffff\\U0001f600\\t.json"),  # each escape's widest
], ids=["plain", "utf-8", "ascii", "separators", "not utf-8", "byte 0x80", "backslash", "escape widths"])
def test_names_are_escaped_the_sha256sum_way(name: str, ascii: bool, shown: str) -> None:
    assert Report(ascii=ascii).done(name, 0, "OK", "") == f"{shown}: OK"


@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("strict", [False, True])
def test_json_lines_say_what_the_text_says(tmp_path: Path, capsys: pytest.CaptureFixture[str], quiet: bool, strict: bool) -> None:
    (tmp_path / "scans.jsonl").write_text("\n".join([GOOD, BAD, "", '{"cut']) + "\n")
    (tmp_path / "one.json").write_text(GOOD)
    (tmp_path / "run.json").write_text(GOOD + BAD + "\n")
    files = [str(tmp_path / n) for n in ("scans.jsonl", "one.json", "run.json", "absent.json")]
    flags = [*(["-q"] if quiet else []), *(["--strict"] if strict else [])]
    codes, outputs = [], []
    for fmt in ("text", "json"):
        codes.append(cli.main(["verify", "--format", fmt, *flags, *files]))
        outputs.append(capsys.readouterr().out.splitlines())
    text, objects = outputs[0], [json.loads(line) for line in outputs[1]]
    assert codes == [1, 1] and len(text) == len(objects)
    if not quiet:
        summary = objects.pop()
        assert text.pop().startswith(f"{summary['documents']} documents: {summary['ok']} ok, {summary['corrupt']} corrupt")
        assert summary == {"documents": 7, "ok": 3, "corrupt": 2, "invalid": 2, "inconsistent": 0}
    as_text = []
    for o in objects:
        where = "" if o["line"] is None else f":{o['line']}" + (f":{o['column']}" if "column" in o else "")
        as_text.append(f"{o['source']}{where}: {o['status']}" + (f": {o['detail']}" if o["detail"] else ""))
    assert as_text == text


@pytest.mark.parametrize("size, drawn", [(8 << 20, True), ((8 << 20) - 1, False)], ids=["8 MiB", "a byte less"])
def test_the_progress_bar_is_cleared_before_a_verdict_and_drawn_again_after(tmp_path: Path, size: int, drawn: bool) -> None:
    path = tmp_path / "scans.jsonl"
    lines = [f"{BAD if i % 500 == 0 else GOOD}\n" for i in range(size // (len(GOOD) + 1))]
    lines[-1] = lines[-1][:-1] + " " * (size - sum(map(len, lines))) + "\n"  # trailing space to the exact size
    path.write_text("".join(lines))
    assert path.stat().st_size == size
    main, other = pty.openpty()
    try:
        with subprocess.Popen([sys.executable, "-m", "brimwick.output.cli", "verify", "-q", str(path)],
                              stdout=other, stderr=other, stdin=subprocess.DEVNULL) as proc:
            os.close(other)
            other = -1
            screen = b""
            while True:
                if not select.select([main], [], [], 60)[0]:
                    proc.kill()
                    pytest.fail("the run stopped writing to its terminal")
                try:
                    chunk = os.read(main, 65536)
                except OSError:  # the terminal's other end closed
                    break
                if not chunk:
                    break
                screen += chunk
            assert proc.wait(timeout=60) == 1
    finally:
        os.close(main)
        if other >= 0:
            os.close(other)
    text = screen.decode().replace("\r\n", "\n")
    verdicts = re.findall(r"[^\r\n]*CORRUPT[^\r\n]*", text)
    assert len(verdicts) == len(lines[::500]) and all(v.startswith(str(path)) for v in verdicts)  # no bar in front of one
    if drawn:
        assert re.search(r"\r\[[#.]{30}\] \d+/8 MiB", text) and text.endswith("\r")  # drawn, and cleared at the end
    else:
        assert "\r" not in text and "MiB" not in text


def test_an_unbuffered_output_left_non_blocking_gets_every_byte_once() -> None:
    # Under PYTHONUNBUFFERED the text layer writes straight to the descriptor: into a pipe left
    # non-blocking, a write takes what fits (a short write), then nothing (None) until the reader reads.
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    taken: list[int | None] = []
    full = threading.Event()

    class Descriptor(io.FileIO):
        def write(self, data: memoryview) -> int | None:
            taken.append(super().write(data))
            if taken[-1] is None:
                full.set()
            return taken[-1]

    received = []

    def read_once_full() -> None:
        full.wait(60)
        with open(read_end, "rb") as pipe:
            received.append(pipe.read())

    reader = threading.Thread(target=read_once_full)
    reader.start()
    text = "".join(f"{n}.json: OK\n" for n in range(100_000))  # far more than a pipe holds
    with io.TextIOWrapper(Descriptor(write_end, "w"), encoding="utf-8", write_through=True) as out:
        writing.write_whole(out, text)
    full.set()
    reader.join(60)
    assert received == [text.encode()] and 0 < taken[0] < len(text) and None in taken
    assert (None, None) not in zip(taken, taken[1:])  # after a write that took nothing, the next one waits for room
