"""A Dask worker preload for tests: tasks made slow, or made to raise, as a control file says.

The file named by ``BRIMWICK_TEST_CONTROL`` holds JSON read before every
task: ``seconds`` (every task sleeps this long first), ``first_seconds``
(the task of the first byte range sleeps this long instead), ``raise_at``
(the task whose range starts at this offset raises), ``raise_for`` (the task
of the input with this file name raises), ``remove`` (the input with this
file name is deleted just before its task reads it), ``exit_for`` (the worker
process ends at once on the input with this file name, as one killed does),
and ``done_log`` (a file
to which every task appends the offset of its range when it ends) with
``first_waits_for`` (the task of the first byte range ends only once this many
others have, or after a minute, whichever comes first). No file: tasks run
as they would.
"""

from __future__ import annotations

import json
import os
import time
from typing import Any

from brimwick.output.verify import cluster
from brimwick.output.verify.tasks import run_task as _run_task  # the original, however often this file is loaded

WAIT_AT_MOST = 60  # only reached when the others never end: the test then fails on the order in the log


def _control() -> dict[str, Any]:
    try:
        with open(os.environ["BRIMWICK_TEST_CONTROL"]) as file:
            return dict(json.load(file))
    except (KeyError, OSError, ValueError):
        return {}


def _ended(log: str) -> int:
    try:
        with open(log) as file:
            return file.read().count("\n")
    except OSError:
        return 0


def run_task(task: Any, options: Any) -> Any:
    control = _control()
    if control.get("exit_for") == os.path.basename(task.source):
        os._exit(9)
    if control.get("remove") == os.path.basename(task.source):
        os.unlink(task.source.removeprefix("file://"))
    if control.get("raise_at") == task.start or control.get("raise_for") == os.path.basename(task.source):
        raise RuntimeError("deliberate failure in a task")
    time.sleep(control.get("first_seconds", 0) if task.start == 0 else control.get("seconds", 0))
    log = control.get("done_log")
    if log and task.start == 0:
        deadline = time.monotonic() + WAIT_AT_MOST
        while _ended(log) < control.get("first_waits_for", 0) and time.monotonic() < deadline:
            time.sleep(0.02)
    result = _run_task(task, options)
    if log:
        with open(log, "a") as file:  # one short write: the lines of two workers never mix
            file.write(f"{task.start}\n")
    return result


cluster.run_task = run_task
