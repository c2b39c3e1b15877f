"""Verify stored scan documents: the public names of ``brimwick.output.verify`` in one place.

Callers import from here as they always have; the code lives in the package,
one module per concern (its docstring lists them). Nothing is defined here,
and setting a name here changes nothing in the package: patch or extend the
module that defines it.
"""

from __future__ import annotations

from brimwick.output import manifest
from brimwick.output.distributed import ClusterFault, SchedulerUnavailable
from brimwick.output.verify.audit import audit
from brimwick.output.verify.documents import (
    DEFAULT_MAX_DOCUMENT_BYTES,
    TOO_DEEP,
    Damaged,
    is_json_lines,
    json_lines_values,
    stream_values,
)
from brimwick.output.verify.executors import (
    raw_verdicts_in_processes,
    raw_verdicts_on_dask,
    verify_in_processes,
    verify_on_dask,
)
from brimwick.output.verify.lines import READ_BYTES, ReadAhead, iter_lines
from brimwick.output.verify.ordered import (
    NO_DOCUMENT,
    STDIN_LABEL,
    TOO_LARGE_MARK,
    RawVerdict,
    Submit,
    Verdict,
    label,
    label_of,
    raw_verdicts,
    verify_sources,
)
from brimwick.output.verify.tasks import (
    MAX_RANGE_BYTES,
    MIN_RANGE_BYTES,
    STDIN,
    Judge,
    Options,
    Task,
    TaskResult,
    plan,
    range_bytes_for,
    run_task,
    task_verdicts,
)
from brimwick.output.verify.verdicts import (
    CORRUPT,
    INCONSISTENT,
    INVALID,
    NO_CHECKSUM,
    OK,
    STATUSES,
    check_document,
    checksum_report,
    diagnose,
)

__all__ = [
    # verdicts on one document
    "OK", "CORRUPT", "INVALID", "INCONSISTENT", "STATUSES", "NO_CHECKSUM", "check_document", "diagnose",
    "checksum_report", "audit",
    # tasks
    "STDIN", "MIN_RANGE_BYTES", "MAX_RANGE_BYTES", "Judge", "Options", "Task", "TaskResult", "plan", "range_bytes_for",
    "run_task", "task_verdicts",
    # verdicts in order, labelled
    "STDIN_LABEL", "NO_DOCUMENT", "TOO_LARGE_MARK", "RawVerdict", "Submit", "Verdict", "label", "label_of",
    "raw_verdicts", "verify_sources",
    # executors
    "SchedulerUnavailable", "ClusterFault", "verify_in_processes", "raw_verdicts_in_processes", "verify_on_dask",
    "raw_verdicts_on_dask",
    # the reader
    "DEFAULT_MAX_DOCUMENT_BYTES", "READ_BYTES", "TOO_DEEP", "Damaged", "ReadAhead", "is_json_lines", "iter_lines",
    "json_lines_values", "stream_values",
    "manifest",
]
