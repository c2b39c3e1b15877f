"""The fast paths' guards, each case in a fresh interpreter: one case's
changes (a class's version tag, a rebound module attribute) cannot leak
into the next and turn its guard test into a test of the host path.

Every case first proves the fast path is in use, then changes one thing
and checks that the checksum gives the host's result through the host's
own calls (a profiler sees them)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

PRELUDE = """
    import hashlib, json, sys
    from types import SimpleNamespace

    def digests(n):
        return [hashlib.sha256(str(i).encode()).hexdigest() for i in range(n)]

    def findings(hashes):
        return [SimpleNamespace(finding_hash=h) for h in hashes]

    def host(hashes):
        return hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()

    def python_calls(call):
        seen = []
        sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_name) if event == "call" else None)
        try:
            result = call()
        finally:
            sys.setprofile(None)
        return result, seen
"""


def run_child(source: str, *, env: dict[str, str] | None = None) -> list[str]:
    """Runs source after the prelude in a fresh interpreter; its printed lines."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(PRELUDE) + textwrap.dedent(source)],
                            capture_output=True, text=True, timeout=120, env={**os.environ, **(env or {})})
    assert result.returncode == 0, f"child ended with {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout.split()


# ---------------------------------------------------------------- the json encoder

# Each change, made before the load (B) or after it (A), alone.
ENCODER_CHANGES = {
    "escaper wrapped, agreeing except on keys": (
        "B", "import json.encoder; plain = json.encoder.encode_basestring_ascii\n"
             "json.encoder.encode_basestring_ascii = lambda s: plain(s.replace('AKIA', 'XXXX'))"),
    "json.dumps wrapped at start-up": (
        "B", "from json import JSONEncoder; plain = json.dumps\n"
             "def dumps(*a, **k): return plain(*a, **k)\njson.dumps = dumps"),
    "another json module": (
        "B", "import types; fake = types.ModuleType('json'); fake.__dict__.update(json.__dict__)\n"
             "plain = json.dumps; fake.dumps = lambda obj, **kw: plain(obj, **kw); sys.modules['json'] = fake"),
    "no C encoder, iterencode factory replaced later": (
        "B", "import json.encoder; json.encoder.c_make_encoder = None"),
    "C encoder type given a Python __call__": (
        "A", "import _json; _json.make_encoder.__call__ = lambda self, o, level: ['[\"x\"]']"),
    "encoder class attribute made a property": (
        "A", "json.JSONEncoder.item_separator = property(lambda self: ', ', lambda self, value: None)"),
    "encoder method": ("A", "json.JSONEncoder.encode = lambda self, o: ''.join(self.iterencode(o, True)).upper()"),
    "encoder class rebound": ("A", "json.JSONEncoder = type('Spaced', (json.JSONEncoder,), {})"),
    "dumps keyword default": ("A", "json.dumps.__kwdefaults__['ensure_ascii'] = False"),
    "init keyword default": ("A", "json.JSONEncoder.__init__.__kwdefaults__['sort_keys'] = True"),
    "iterencode default": ("A", "json.JSONEncoder.iterencode.__defaults__ = (True,)"),
    "dumps code": ("A", "json.dumps.__code__ = (lambda obj, **kw: '[]').__code__"),
    "built-in shadowed in json.encoder": ("A", "import json.encoder; json.encoder.isinstance = lambda o, t: False"),
    "built-in replaced": ("A", "import builtins; plain = builtins.isinstance\n"
                               "builtins.isinstance = lambda o, t: plain(o, t)"),
}


@pytest.mark.parametrize("name", ENCODER_CHANGES)
def test_each_change_to_the_json_encoder_sends_the_checksum_to_the_host(name: str) -> None:
    when, change = ENCODER_CHANGES[name]
    before, after = (change, "") if when == "B" else ("", change)
    lines = run_child(f"""
{before}
from brimwick.output import manifest as m
hashes = digests(3000) + ["AKIA0000", "b\\u00e9", "c\\U0001F600"]
listed = findings(hashes)
if {when == "A"!r}:
    result, seen = python_calls(lambda: m.compute_integrity_checksum(listed))
    print("fast-before", result == host(hashes) and "dumps" not in seen)
{after}
if {name == "no C encoder, iterencode factory replaced later"!r}:
    import json.encoder
    plain_factory = json.encoder._make_iterencode
    json.encoder._make_iterencode = lambda *a, **k: (lambda o, level: iter(['["swapped"]']))
result, seen = python_calls(lambda: m.compute_integrity_checksum(listed))
print("host", result == host(hashes), seen != ["<lambda>"])
""")
    expected = ["host", "True", "True"]
    assert lines == (["fast-before", "True"] + expected if when == "A" else expected)


def test_the_native_writer_is_taken_in_a_plain_process_and_json_is_not_touched_at_load() -> None:
    lines = run_child("""
        seen = []
        sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_filename) if event == "call" else None)
        from brimwick.output import manifest as m
        sys.setprofile(None)
        print(any("/json/" in name for name in seen))
        hashes = digests(5) + ["\\u00e9", "\\"\\\\\\n"]
        listed = findings(hashes)
        result, calls = python_calls(lambda: m.compute_integrity_checksum(listed))
        print(result == host(hashes), calls == ["<lambda>"])
    """)
    assert lines == ["False", "True", "True"]


# ---------------------------------------------------------------- sha256

SHIM = r"""
#include <Python.h>
static PyObject* target;
static PyObject* set_target(PyObject* self, PyObject* t) { Py_XSETREF(target, Py_NewRef(t)); Py_RETURN_NONE; }
static PyObject* sha256(PyObject* self, PyObject* args, PyObject* kw) { return PyObject_Call(target, args, kw); }
static PyMethodDef methods[] = {
    {"set_target", set_target, METH_O, NULL},
    {"sha256", (PyCFunction)(void (*)(void))sha256, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "compiled_shim", NULL, -1, methods};
PyMODINIT_FUNC PyInit_compiled_shim(void) { return PyModule_Create(&def); }
"""


@pytest.fixture(scope="module")
def compiled_shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A compiled module whose sha256 is a built-in function that hands its
    arguments to a Python callable, as Cython, mypyc or pybind11 make them."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the compiled sha256 with")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    target = folder / f"compiled_shim{sysconfig.get_config_var('EXT_SUFFIX')}"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", f"-I{sysconfig.get_paths()['include']}",
                    str(folder / "shim.c"), "-o", str(target)], check=True, timeout=120)
    return folder


def test_a_compiled_sha256_receives_the_whole_text_once(compiled_shim: Path) -> None:
    # A hasher that keeps what update() gives it: a streamed view of a
    # buffer the module reuses and frees would give a wrong digest (and a
    # read after free).
    lines = run_child(f"""
        sys.path.insert(0, {str(compiled_shim)!r})
        import compiled_shim
        real = hashlib.sha256
        calls = []
        class Keeper:
            def __init__(self, data=b""):
                calls.append(("new", len(data)))
                self.parts = [data]
            def update(self, data):
                calls.append(("update", len(data)))
                self.parts.append(data)
            def hexdigest(self):
                return real(b"".join(bytes(p) for p in self.parts)).hexdigest()
        compiled_shim.set_target(Keeper)
        hashlib.sha256 = compiled_shim.sha256
        from brimwick.output import manifest as m
        hashes = [real(str(i).encode()).hexdigest() for i in range(5000)]
        text = json.dumps(sorted(hashes), separators=(",", ":")).encode()
        print(m.compute_integrity_checksum(findings(hashes)) == real(text).hexdigest(), calls == [("new", len(text))])
    """)
    assert lines == ["True", "True"]


@pytest.mark.parametrize("change", [
    "class Module(type(hashlib)):\n    @property\n    def sha256(self):\n        print('property'); return real\n"
    "hashlib.__class__ = Module",
    "hashlib.sha256 = lambda data=b'': (print('property'), real(data))[1]",
], ids=["module class swapped", "sha256 rebound"])
def test_a_changed_hashlib_is_asked_for_sha256_as_the_host_would(change: str) -> None:
    lines = run_child(f"""
        real = hashlib.sha256
        from brimwick.output import manifest as m
        hashes = digests(5000)  # over 64 KiB of text: the streamed path
        listed, expected = findings(hashes), host(hashes)
        result, seen = python_calls(lambda: m.compute_integrity_checksum(listed))
        print("fast-before", result == expected, seen == ["<lambda>"])
{textwrap.indent(change, "        ")}
        print(m.compute_integrity_checksum(listed) == expected)
    """)
    assert lines == ["fast-before", "True", "True", "property", "True"]


def test_a_failed_arena_reservation_keeps_no_memory_lent() -> None:
    # 100,000 findings sharing one 8 MiB hash ask for 800 GB of arena: the
    # reservation fails after the kept memory of the earlier call was lent.
    lines = run_child("""
        import tracemalloc
        from brimwick.output import manifest as m
        plain = findings(digests(100_000))
        tracemalloc.start()
        m.compute_integrity_checksum(plain)
        # The arena holds the characters once: well under twice the text.
        print(tracemalloc.get_traced_memory()[1] < 2 * 67 * 100_000)
        huge = findings(["x" * ((1 << 23) - 1)]) * 100_000
        before = tracemalloc.get_traced_memory()[0]
        try:
            m.compute_integrity_checksum(huge)
        except MemoryError:
            print("MemoryError")
        tracemalloc.reset_peak()
        m.compute_integrity_checksum(plain)  # on the kept memory, unless it stayed lent
        print(tracemalloc.get_traced_memory()[1] - before < 1 << 20)
    """, env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"})
    assert lines == ["True", "MemoryError", "True"]


# ---------------------------------------------------------------- the clock and the load

def test_the_module_loads_in_the_plain_order_and_with_a_pure_python_datetime() -> None:
    lines = run_child("""
        wanted = ["hashlib", "json", "dataclasses", "datetime", "typing", "brimwick.core.schemas"]
        earlier = set(sys.modules)
        sys.modules["_datetime"] = None
        from brimwick.output import manifest as m
        print([name for name in sys.modules if name in wanted and name not in earlier]
              == [name for name in wanted if name not in earlier])
        import datetime
        print(m.ScanEnvelope("t", "aws", [], "p", []).scanned_at.endswith("+00:00"), datetime.datetime.__module__)
    """)
    assert lines == ["True", "True", "datetime"]


def test_a_failing_datetime_import_carries_the_loads_traceback_entry() -> None:
    lines = run_child("""
        import traceback
        sys.modules["datetime"] = None
        try:
            import brimwick.output.manifest
        except ImportError as error:
            print(any(f.name == "init brimwick.output.manifest" for f in traceback.extract_tb(error.__traceback__)))
    """)
    assert lines == ["True"]


def test_a_name_missing_from_the_namespace_comes_from_the_modules_own_builtins() -> None:
    lines = run_child("""
        from brimwick.output import manifest as m
        del m.hashlib
        try:
            exec("m.compute_integrity_checksum([])", {"__builtins__": {"hashlib": hashlib}, "m": m})
        except NameError as error:
            print(error.args[0].split()[1])
    """)
    assert lines == ["'hashlib'"]


@pytest.mark.parametrize("via", ["constructor", "from_dict"])
def test_the_clock_is_looked_up_in_the_order_the_host_evaluates_it(monkeypatch: pytest.MonkeyPatch, via: str) -> None:
    import datetime as dt

    from conftest import manifest

    seen: list[str] = []

    class Watched:
        def __init__(self, name: str, value: object) -> None:
            self.name, self.value = name, value

        def __getattr__(self, attribute: str) -> object:
            seen.append(f"{self.name}.{attribute}")
            return getattr(self.value, attribute)

    monkeypatch.setattr(manifest, "datetime", Watched("datetime", dt.datetime))
    monkeypatch.setattr(manifest, "timezone", Watched("timezone", dt.timezone))
    if via == "constructor":
        manifest.ScanEnvelope("t", "aws", [], "p", [])
    else:
        manifest.ScanEnvelope.from_dict({"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "p"})
    assert seen == ["datetime.now", "timezone.utc"]


@pytest.mark.parametrize("tool", ["time_machine", "freezegun"])
def test_the_scanned_at_default_follows_tools_that_move_time(tool: str) -> None:
    import datetime as dt

    from conftest import manifest

    moment = dt.datetime(2001, 2, 3, 4, 5, 6, tzinfo=dt.timezone.utc)
    context = (pytest.importorskip("time_machine").travel(moment, tick=False) if tool == "time_machine"
               else pytest.importorskip("freezegun").freeze_time(moment))
    minimal = {"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "p"}
    with context:
        built = manifest.ScanEnvelope("t", "aws", [], "p", [])
        read = manifest.ScanEnvelope.from_dict(minimal)
        round_trip = manifest.ScanEnvelope.from_dict(built.to_dict())
    assert {built.scanned_at, read.scanned_at, round_trip.scanned_at} == {"2001-02-03T04:05:06+00:00"}
