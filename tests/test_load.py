"""Loading the module: once per process, into one interpreter, and failed loads."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

NAMES = ["hashlib", "json", "dataclass", "field", "datetime", "timezone", "Any", "Finding",
         "compute_integrity_checksum", "compute_manifest_hash", "ScanEnvelope"]
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def run(code: str) -> None:
    """Run `code` in a fresh interpreter (warnings as errors); it must end normally."""
    result = subprocess.run([sys.executable, "-W", "error", "-c", f"NAMES = {NAMES!r}\n" + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "done", result.stdout + result.stderr


def test_loads_without_optional_imports_and_reload_keeps_the_first_load():
    run("""
        import importlib, sys
        import brimwick
        del brimwick.__version__
        sys.modules["brimwick.output.explanation"] = None
        import brimwick.output.manifest as m
        assert [n for n in vars(m) if not n.startswith("__")] == NAMES
        assert sys.modules["brimwick.output.explanation"] is None
        before, sentinel = dict(vars(m)), object()
        m.datetime = sentinel
        assert importlib.reload(m) is m and m.datetime is sentinel
        assert all(getattr(m, n) is before[n] for n in NAMES if n != "datetime")
        m.json = sentinel
        del sys.modules["brimwick.output.manifest"]
        assert importlib.import_module("brimwick.output.manifest") is m
        assert sys.modules["brimwick.output.manifest"] is m and m.json is sentinel
        assert all(getattr(m, n) is before[n] for n in NAMES if n not in ("datetime", "json"))
        print("done")
    """)


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_second_interpreter_is_refused(main_first):
    run(f"""
        import _xxsubinterpreters as interpreters
        refused = '''
        try:
            import brimwick.output.manifest
        except ImportError as exc:
            assert type(exc) is ImportError and str(exc) == {CHANGE!r}, repr(exc)
        else:
            raise AssertionError("loaded into a second interpreter")
        '''
        sub = interpreters.create()
        if {main_first}:
            import brimwick.output.manifest
            interpreters.run_string(sub, refused)
            interpreters.run_string(sub, refused)  # refused every time
        else:
            interpreters.run_string(sub, "import brimwick.output.manifest as m; m.ScanEnvelope")
            exec(refused)
        interpreters.destroy(sub)
        print("done")
    """)


# A failing load step other than a missing import gains a traceback entry for the module's init.
@pytest.mark.parametrize("setup,cleanup,error,message", [
    ('sys.modules["brimwick.core.schemas"] = None', 'del sys.modules["brimwick.core.schemas"]',
     "ModuleNotFoundError", "import of brimwick.core.schemas halted; None in sys.modules"),
    ('sys.modules["brimwick.core.schemas"] = types.ModuleType("brimwick.core.schemas")',
     'del sys.modules["brimwick.core.schemas"]', "ImportError", "cannot import name Finding"),
    ("del dataclasses.field", "dataclasses.field = field", "ImportError", "cannot import name field"),
    ("dataclasses.field = broken", "dataclasses.field = field", "LookupError", "broken"),
    ("dataclasses.dataclass = broken", "dataclasses.dataclass = dataclass", "LookupError", "broken"),
], ids=["schemas-missing", "no-Finding", "no-field", "broken-field", "broken-dataclass"])
def test_failed_load_is_discarded_and_retried(setup, cleanup, error, message):
    run(f"""
        import dataclasses, sys, traceback, types
        from dataclasses import dataclass, field
        from brimwick.core.schemas import Finding  # built with the real decorator first

        def broken(*args, **kwargs):
            raise LookupError("broken")

        {setup}
        try:
            import brimwick.output.manifest
        except Exception as exc:
            assert type(exc).__name__ == {error!r} and str(exc) == {message!r}, repr(exc)
            frames = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
            assert {error!r} != "LookupError" or frames[-2:] == ["init brimwick.output.manifest", "broken"], frames
            init = [f for f in traceback.extract_tb(exc.__traceback__) if f.name == "init brimwick.output.manifest"]
            assert [(f.filename, f.lineno) for f in init] == [("manifest.cpp", 1)], init
        else:
            raise AssertionError("loaded")
        assert "brimwick.output.manifest" not in sys.modules
        {cleanup}
        import brimwick.output.manifest as m
        from brimwick.core.schemas import Finding
        assert [n for n in vars(m) if not n.startswith("__")] == NAMES
        assert (m.Finding, m.dataclass, m.field) == (Finding, dataclass, field)
        assert m.ScanEnvelope("t", "aws", [], "full", []).finding_count == 0
        print("done")
    """)
