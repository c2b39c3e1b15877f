"""Leak, allocation-failure and sanitizer checks, each in its own process.

The scripts in tests/tools do the work; these tests run them so that the
suite's one command covers them. The reference-count check needs an
interpreter with reference tracing (Debian's python3.11-dbg) and builds the
extension for it; it is skipped where no such interpreter exists.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tests" / "tools"
DEBUG_PYTHON = shutil.which("python3.11-dbg")


def run_tool(python: str, script: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    result = subprocess.run([python, str(TOOLS / script)], capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode >= 0, f"{script} crashed with signal {-result.returncode}\n{result.stderr}"
    return result


@pytest.fixture(scope="session")
def debug_site(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The package with the extension built for the debug interpreter."""
    if DEBUG_PYTHON is None or shutil.which("cmake") is None:
        pytest.skip("no python3.11-dbg interpreter to count references with")
    work = tmp_path_factory.mktemp("debug-build")
    configure = ["cmake", "-S", str(ROOT), "-B", str(work / "build"), "-DCMAKE_BUILD_TYPE=Debug",
                 "-DMANIFEST_DEBUG=ON", f"-DPython_EXECUTABLE={DEBUG_PYTHON}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(work / "build")], check=True, capture_output=True)
    site = work / "site"
    shutil.copytree(ROOT / "src" / "brimwick", site / "brimwick")
    for library in (work / "build").glob("manifest*.so"):
        shutil.copy(library, site / "brimwick" / "output")
    return site


def debug_env(site: Path) -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": str(site)}


def test_every_operation_and_error_path_keeps_reference_counts_flat(debug_site: Path) -> None:
    result = run_tool(DEBUG_PYTHON, "leakcheck.py", debug_env(debug_site))  # type: ignore[arg-type]
    assert result.returncode == 0, result.stdout + result.stderr
    assert " 0 leaking" in result.stdout


def test_failing_allocations_raise_memory_error_without_leaks(debug_site: Path) -> None:
    result = run_tool(DEBUG_PYTHON, "nomemory.py", debug_env(debug_site))  # type: ignore[arg-type]
    assert result.returncode == 0, result.stdout + result.stderr


def test_failing_allocations_never_crash_the_release_build() -> None:
    result = run_tool(sys.executable, "nomemory.py")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 problems" in result.stdout
