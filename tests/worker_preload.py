"""A Dask worker preload for tests: tasks made slow, or made to raise, as a control file says.

The file named by ``BRIMWICK_TEST_CONTROL`` holds JSON read before every
task: ``seconds`` (every task sleeps this long first), ``first_seconds``
(the task of the first byte range sleeps this long instead) and ``raise_at``
(the task whose range starts at this offset raises). No file: tasks run as
they would.
"""

from __future__ import annotations

import json
import os
import time
from typing import Any

from brimwick.output.verify import cluster
from brimwick.output.verify.tasks import run_task as _run_task  # the original, however often this file is loaded


def _control() -> dict[str, Any]:
    try:
        with open(os.environ["BRIMWICK_TEST_CONTROL"]) as file:
            return dict(json.load(file))
    except (KeyError, OSError, ValueError):
        return {}


def run_task(task: Any, options: Any) -> Any:
    control = _control()
    if control.get("raise_at") == task.start:
        raise RuntimeError("deliberate failure in a task")
    time.sleep(control.get("first_seconds", 0) if task.start == 0 else control.get("seconds", 0))
    return _run_task(task, options)


cluster.run_task = run_task
