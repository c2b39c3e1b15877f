"""The same verdict in every mode: in the command's process or a worker's, from a file or standard input, as a stream or JSON Lines."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from test_cli import GOOD

from brimwick.output.verify.nesting import MAX_DEPTH

# Runs every mode in a fresh interpreter, as the command would: its stack and
# recursion limit are those of a real run, not of the test runner.
MODES = """
import io, json, sys
from brimwick.output.verify.executors import raw_verdicts_in_processes
from brimwick.output.verify.ordered import raw_verdicts
from brimwick.output.verify.tasks import Options

stream, lines = sys.argv[1:]
out = {}
for strict in (False, True):
    options = Options(strict=strict)
    def run(name, verdicts):
        out[f"{name}{' strict' if strict else ''}"] = [[line, status, detail] for _, line, status, detail in verdicts]
    run("stream", raw_verdicts([stream], options))
    run("stream in a worker", raw_verdicts_in_processes([stream], options, jobs=2))
    sys.stdin = io.TextIOWrapper(open(stream, "rb"))
    run("standard input", raw_verdicts(["-"], options))
    run("lines", raw_verdicts([lines], options))
    run("lines in a worker", raw_verdicts_in_processes([lines], options, jobs=2))
print(json.dumps(out))
"""


def nested(levels: int) -> str:
    return GOOD[:-1] + ', "narrative": {"a": ' + "[" * (levels - 2) + "]" * (levels - 2) + "}}"


ODD = ['"\\ud800"', '"\\u0000\\/\\"x"', "1e400", "NaN", "-0.0", "9" * 4301, "123456789012345678901234567890", '"é\\u00e9"']
DOCUMENTS = st.one_of(
    st.integers(MAX_DEPTH - 4, MAX_DEPTH + 2).map(nested),  # levels near and past the reader's limit
    st.sampled_from([1, 100, 2 * MAX_DEPTH]).map(nested),
    st.sampled_from(ODD).map(lambda value: GOOD.replace('"spend_context_pct": 6.4', f'"spend_context_pct": {value}')),
    st.sampled_from(ODD).map(lambda value: GOOD.replace('"narrative": null', f'"narrative": {{"a": {value}, "a": 1}}')),
)


@st.composite
def damaged(draw: Any, documents: st.SearchStrategy[str]) -> str:
    text = draw(documents).encode("utf-8", "surrogatepass")
    at = draw(st.integers(0, len(text) - 1))
    byte = draw(st.sampled_from(b'X{}[]"\\ :,\n0'))
    return (text[:at] + bytes([byte]) + text[at + 1:]).decode("utf-8", "surrogatepass")


@settings(max_examples=4, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(st.lists(st.one_of(DOCUMENTS, damaged(DOCUMENTS)), min_size=2, max_size=6))
# Damage just before a deep array: where reading resumes must not depend on
# the stack the reading process has left.
@example(documents=[nested(1), nested(MAX_DEPTH).replace('"a": [', '"a"X [', 1)])
@example(documents=[nested(1), nested(2 * MAX_DEPTH)[:-2] + "{}"])  # a value glued to a damaged one
def test_every_mode_gives_every_document_the_same_verdict(tmp_path: Path, documents: list[str]) -> None:
    text = ("\n".join(documents) + "\n").encode("utf-8", "surrogatepass")
    (tmp_path / "scans.json").write_bytes(text)
    (tmp_path / "scans.jsonl").write_bytes(text)
    proc = subprocess.run([sys.executable, "-c", MODES, str(tmp_path / "scans.json"), str(tmp_path / "scans.jsonl")],
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()
    got = json.loads(proc.stdout)
    for strict in ("", " strict"):
        assert got[f"stream{strict}"] == got[f"stream in a worker{strict}"] == got[f"standard input{strict}"]
        assert got[f"lines{strict}"] == got[f"lines in a worker{strict}"]
        if all(line[:1] == "{" for line in text.decode("utf-8", "surrogatepass").splitlines()):
            # One document a line: the two layouts read the same documents (a
            # damaged one may be told apart in other words), but for a value a
            # stream finds glued to a damaged one, which it judges on its own.
            first = [v[:2] for i, v in enumerate(got[f"stream{strict}"]) if not i or v[0] != got[f"stream{strict}"][i - 1][0]]
            assert first == [v[:2] for v in got[f"lines{strict}"]]
