"""The modules callers have always imported from still give every name they gave, the same objects as the package's."""

from __future__ import annotations

import importlib

import pytest

from brimwick.output import reading, verification

VERIFICATION = {
    "audit": ["audit"],
    "verdicts": ["OK", "CORRUPT", "INVALID", "INCONSISTENT", "STATUSES", "NO_CHECKSUM", "check_document", "diagnose",
                 "checksum_report"],
    "tasks": ["STDIN", "MIN_RANGE_BYTES", "MAX_RANGE_BYTES", "Judge", "Options", "Task", "TaskResult", "plan",
              "range_bytes_for", "run_task", "task_verdicts"],
    "ordered": ["STDIN_LABEL", "NO_DOCUMENT", "TOO_LARGE_MARK", "RawVerdict", "Submit", "Verdict", "label", "label_of",
                "raw_verdicts", "verify_sources"],
    "executors": ["verify_in_processes", "raw_verdicts_in_processes", "verify_on_dask", "raw_verdicts_on_dask"],
    "documents": ["DEFAULT_MAX_DOCUMENT_BYTES", "TOO_DEEP", "Damaged", "is_json_lines", "json_lines_values",
                  "stream_values"],
    "lines": ["READ_BYTES", "ReadAhead", "iter_lines"],
}
READING = {
    "documents": ["DEFAULT_MAX_DOCUMENT_BYTES", "JSON_LINES_SUFFIXES", "TOO_DEEP", "Damaged", "Unreadable", "is_json_lines",
                  "json_lines_values", "parse_json", "stream_values", "too_large"],
    "lines": ["READ_BYTES", "ReadAhead", "iter_lines"],
}


@pytest.mark.parametrize("facade, names", [(verification, VERIFICATION), (reading, READING)], ids=["verification", "reading"])
def test_every_name_is_still_there_and_is_the_package_s_own(facade: object, names: dict[str, list[str]]) -> None:
    for module_name, module_names in names.items():
        module = importlib.import_module(f"brimwick.output.verify.{module_name}")
        assert all(getattr(facade, name) is getattr(module, name) for name in module_names), module_name
    listed = {name for module_names in names.values() for name in module_names}
    extra = {"manifest", "SchedulerUnavailable", "ClusterFault"} if facade is verification else set()
    assert set(facade.__all__) == listed | extra  # type: ignore[attr-defined]

