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


def test_reload_and_reimport_keep_the_first_load():
    run("""
        import importlib, sys
        import brimwick.output.manifest as m
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


@pytest.mark.parametrize("setup,cleanup,error,message", [
    ("""
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "brimwick.core.schemas":
                    raise ModuleNotFoundError("No module named 'brimwick.core.schemas'", name=name)
        sys.meta_path.insert(0, Refuse())
     """, "del sys.meta_path[0]", "ModuleNotFoundError", "No module named 'brimwick.core.schemas'"),
    ('sys.modules["brimwick.core.schemas"] = types.ModuleType("brimwick.core.schemas")',
     'del sys.modules["brimwick.core.schemas"]', "ImportError", "cannot import name Finding"),
    ("import dataclasses; saved = dataclasses.field; del dataclasses.field", "dataclasses.field = saved",
     "ImportError", "cannot import name field"),
], ids=["schemas-not-found", "no-Finding", "no-field"])
def test_failed_load_is_discarded_and_retried(setup, cleanup, error, message):
    run(f"""
        import importlib, sys, types
        {textwrap.indent(textwrap.dedent(setup), "        ").strip()}
        try:
            import brimwick.output.manifest
        except ImportError as exc:
            assert type(exc).__name__ == {error!r} and str(exc) == {message!r}, repr(exc)
        else:
            raise AssertionError("loaded")
        assert "brimwick.output.manifest" not in sys.modules
        {cleanup}
        import brimwick.output.manifest as m
        from brimwick.core.schemas import Finding
        import dataclasses
        assert [n for n in vars(m) if not n.startswith("__")] == NAMES
        assert m.Finding is Finding and m.field is dataclasses.field
        assert m.ScanEnvelope("t", "aws", [], "full", []).finding_count == 0
        print("done")
    """)


def test_loads_without_explanation_module_or_package_version():
    run("""
        import sys
        import brimwick
        del brimwick.__version__
        sys.modules["brimwick.output.explanation"] = None
        import brimwick.output.manifest as m
        assert [n for n in vars(m) if not n.startswith("__")] == NAMES
        assert sys.modules["brimwick.output.explanation"] is None
        print("done")
    """)


@pytest.mark.parametrize("name", ["dataclass", "field"])
def test_failing_load_step_gains_init_traceback_entry(name):
    run(f"""
        import dataclasses, sys, traceback
        import brimwick.core.schemas  # built with the real decorator first
        original = dataclasses.{name}

        def broken(*args, **kwargs):
            raise LookupError("broken")

        dataclasses.{name} = broken
        try:
            import brimwick.output.manifest
        except LookupError as exc:
            frames = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
            assert frames[-2:] == ["init brimwick.output.manifest", "broken"], frames
        else:
            raise AssertionError("loaded")
        assert "brimwick.output.manifest" not in sys.modules
        dataclasses.{name} = original
        import brimwick.output.manifest as m
        assert m.{name} is original and hasattr(m, "ScanEnvelope")
        print("done")
    """)
