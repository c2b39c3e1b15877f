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
    import ctypes, hashlib, json, sys
    from types import SimpleNamespace

    def digests(n):
        return [hashlib.sha256(str(i).encode()).hexdigest() for i in range(n)]

    def findings(hashes):
        return [SimpleNamespace(finding_hash=h) for h in hashes]

    def host(hashes):
        return hashlib.sha256(json.dumps(sorted(hashes), separators=(",", ":")).encode()).hexdigest()

    def native_texts():
        # How often the native writer stood in for json.dumps (a profiler
        # would send the call to the host's path, so it cannot tell).
        library = ctypes.CDLL(sys.modules["brimwick.output.manifest"].__file__)
        return ctypes.c_uint64.in_dll(library, "brimwick_manifest_native_texts").value

    def path_of(call):
        before = native_texts()
        result = call()
        return result, "native" if native_texts() > before else "host"

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
    "dumps copied, sharing code and defaults": (
        "A", "import types; plain = json.dumps\n"
             "json.dumps = types.FunctionType(plain.__code__, plain.__globals__, 'dumps')\n"
             "json.dumps.__kwdefaults__ = plain.__kwdefaults__"),
    "dumps copied at start-up, with a copy of its namespace": (
        "B", "import types; plain = json.dumps\n"
             "json.dumps = types.FunctionType(plain.__code__, dict(json.__dict__), 'dumps')\n"
             "json.dumps.__kwdefaults__ = plain.__kwdefaults__"),
    "dumps given a closure at start-up": (
        "B", "import types\ndef outer():\n    tag = 'x'\n"
             "    def dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True, allow_nan=True, cls=None,\n"
             "              indent=None, separators=None, default=None, sort_keys=False, **kw): return '[' + repr(tag) + ']'\n"
             "    return dumps\nf = outer()\n"
             "code = f.__code__.replace(co_filename=json.dumps.__code__.co_filename, co_qualname='dumps')\n"
             "json.dumps = types.FunctionType(code, json.__dict__, 'dumps', None, f.__closure__)\n"
             "json.dumps.__kwdefaults__ = dict(f.__kwdefaults__)"),
    "dumps positional defaults": ("A", "json.dumps.__defaults__ = (None,)"),
    "dumps keyword default added at start-up": ("B", "json.dumps.__kwdefaults__['extra'] = 1"),
    "encoder method replaced, the old one kept": (
        "A", "plain = json.JSONEncoder.encode\njson.JSONEncoder.encode = lambda self, o: plain(self, o).upper()"),
    "encode code": ("A", "json.JSONEncoder.encode.__code__ = (lambda self, o: '[\"x\"]').__code__"),
    "encoder class given __getattribute__ at start-up": (
        "B", "json.JSONEncoder.__getattribute__ = lambda self, name: object.__getattribute__(self, name)"),
    "escaper replaced": ("A", "import json.encoder; json.encoder.encode_basestring_ascii = lambda s: '\"E\"'"),
    "INFINITY a float subclass": (
        "A", "import json.encoder\nclass F(float):\n    def __neg__(self): return float('-inf')\n"
             "json.encoder.INFINITY = F('inf')"),
    "list shadowed in json.encoder": ("A", "import json.encoder; json.encoder.list = type('L', (list,), {})"),
    "list shadowed at start-up, undone after the load": (
        "B", "import json.encoder; json.encoder.list = type('L', (list,), {})", "del json.encoder.list"),
    "a key of another type in json's namespace": ("A", "vars(json)[1] = 1"),
    "a key of another type among the built-ins": ("A", "import builtins; vars(builtins)[1] = 1"),
    "a text subclass key in json.encoder": ("A", "import json.encoder; vars(json.encoder)[type('S', (str,), {})('q')] = 1"),
    "a key colliding with a name the encoder reads": (
        "A", "import json.encoder\nclass K:\n    def __hash__(self): return hash('float')\n"
             "    def __eq__(self, other): return False\njson.encoder.__dict__[K()] = None"),
    "dumps code rewritten alike": ("A", "json.dumps.__code__ = json.dumps.__code__.replace()"),
    "iterencode code rewritten alike": (
        "A", "json.JSONEncoder.iterencode.__code__ = json.JSONEncoder.iterencode.__code__.replace()"),
    "dumps compiled again under the library's file name": (
        "A", "import inspect\nexec(compile(inspect.getsource(json.dumps), json.__file__, 'exec'), json.__dict__)"),
    "built-in shadowed in json.encoder": ("A", "import json.encoder; json.encoder.isinstance = lambda o, t: False"),
    "built-in replaced": ("A", "import builtins; plain = builtins.isinstance\n"
                               "builtins.isinstance = lambda o, t: plain(o, t)"),
}


@pytest.mark.parametrize("name", ENCODER_CHANGES)
def test_each_change_to_the_json_encoder_sends_the_checksum_to_the_host(name: str) -> None:
    when, change, *undone = ENCODER_CHANGES[name]
    before, after = (change, "".join(undone)) if when == "B" else ("", change)
    lines = run_child(f"""
{before}
from brimwick.output import manifest as m
hashes = digests(3000) + ["AKIA0000", "b\\u00e9", "c\\U0001F600"]
listed = findings(hashes)
if {when == "A"!r}:
    result, path = path_of(lambda: m.compute_integrity_checksum(listed))
    print("before", result == host(hashes), path)
{after}
if {name == "no C encoder, iterencode factory replaced later"!r}:
    import json.encoder
    plain_factory = json.encoder._make_iterencode
    json.encoder._make_iterencode = lambda *a, **k: (lambda o, level: iter(['["swapped"]']))
for _ in range(2):  # the second call, too: a change once seen stays seen
    result, path = path_of(lambda: m.compute_integrity_checksum(listed))
    print("after", result == host(hashes), path)
""")
    expected = ["after", "True", "host"] * 2
    assert lines == (["before", "True", "native"] + expected if when == "A" else expected)


def test_the_native_writer_is_taken_in_a_plain_process_and_json_is_not_touched_at_load() -> None:
    lines = run_child("""
        seen = []
        sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_filename) if event == "call" else None)
        from brimwick.output import manifest as m
        sys.setprofile(None)
        print(any("/json/" in name for name in seen))
        hashes = digests(5) + ["\\u00e9", "\\"\\\\\\n"]
        listed = findings(hashes)
        result, path = path_of(lambda: m.compute_integrity_checksum(listed))
        print(result == host(hashes), path)
    """)
    assert lines == ["False", "True", "native"]


# ---------------------------------------------------------------- sha256

SHIM = r"""
#include <Python.h>
static PyObject* target;
static PyObject* set_target(PyObject* self, PyObject* t) { Py_XSETREF(target, Py_NewRef(t)); Py_RETURN_NONE; }
static PyObject* forward(PyObject* self, PyObject* args, PyObject* kw) { return PyObject_Call(target, args, kw); }
static PyMethodDef methods[] = {
    {"set_target", set_target, METH_O, NULL},
    {"FUNCTION", (PyCFunction)(void (*)(void))forward, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "MODULE", NULL, -1, methods};
PyMODINIT_FUNC PyInit_MODULE(void) { return PyModule_Create(&def); }
"""

# Compiled look-alikes: a module of its own name, and modules that take the
# names of the interpreter's own and their functions' names.
SHIMS = {"compiled_shim": "sha256", "_hashlib": "openssl_sha256", "_json": "encode_basestring_ascii"}


@pytest.fixture(scope="module")
def compiled_shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Compiled modules whose function is a built-in function that hands its
    arguments to a Python callable, as Cython, mypyc or pybind11 make them."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the compiled look-alikes with")
    folder = tmp_path_factory.mktemp("shim")
    for module, function in SHIMS.items():
        (folder / f"{module}.c").write_text(SHIM.replace("MODULE", module).replace("FUNCTION", function))
        target = folder / f"{module}{sysconfig.get_config_var('EXT_SUFFIX')}"
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", f"-I{sysconfig.get_paths()['include']}",
                        str(folder / f"{module}.c"), "-o", str(target)], check=True, timeout=120)
    return folder


LOAD_SHIM = """
    import importlib.util
    def load_shim(name):
        # Loaded beside the interpreter's own module of the same name.
        path = next(p for p in __import__("os").listdir(FOLDER) if p.startswith(name + ".") and not p.endswith(".c"))
        spec = importlib.util.spec_from_file_location(name, FOLDER + "/" + path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
"""


@pytest.mark.parametrize("module", ["compiled_shim", "_hashlib"])
def test_a_compiled_sha256_receives_the_whole_text_once(compiled_shim: Path, module: str) -> None:
    # A hasher that keeps what update() gives it: a streamed view of a
    # buffer the module reuses and frees would give a wrong digest (and a
    # read after free). A module named as OpenSSL's is no more trusted.
    lines = run_child(f"""
        FOLDER = {str(compiled_shim)!r}
{textwrap.indent(textwrap.dedent(LOAD_SHIM), "        ")}
        shim = load_shim({module!r})
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
        shim.set_target(Keeper)
        hashlib.sha256 = getattr(shim, {SHIMS[module]!r})
        from brimwick.output import manifest as m
        hashes = [real(str(i).encode()).hexdigest() for i in range(5000)]
        text = json.dumps(sorted(hashes), separators=(",", ":")).encode()
        print(m.compute_integrity_checksum(findings(hashes)) == real(text).hexdigest(), calls == [("new", len(text))])
    """)
    assert lines == ["True", "True"]


def test_a_compiled_escaper_named_as_the_accelerators_own_is_called_as_the_host_would(compiled_shim: Path) -> None:
    lines = run_child(f"""
        FOLDER = {str(compiled_shim)!r}
{textwrap.indent(textwrap.dedent(LOAD_SHIM), "        ")}
        shim = load_shim("_json")
        import json.encoder
        plain, calls = json.encoder.encode_basestring_ascii, []
        shim.set_target(lambda text: calls.append(text) or plain(text))
        shim.make_encoder = json.encoder.c_make_encoder
        json.encoder.encode_basestring_ascii = shim.encode_basestring_ascii
        from brimwick.output import manifest as m
        hashes = digests(3)
        result, path = path_of(lambda: m.compute_integrity_checksum(findings(hashes)))
        print(result == host(hashes), path, sorted(calls[:3]) == sorted(hashes))
    """)
    assert lines == ["True", "host", "True"]


@pytest.mark.parametrize("change, lookups", [
    ("class Module(type(hashlib)):\n    @property\n    def sha256(self):\n        print('property'); return real\n"
     "hashlib.__class__ = Module", 1),
    ("hashlib.sha256 = lambda data=b'': (print('property'), real(data))[1]", 1),
], ids=["module class swapped", "sha256 rebound"])
def test_a_changed_hashlib_is_asked_for_sha256_as_the_host_would(change: str, lookups: int) -> None:
    lines = run_child(f"""
        real = hashlib.sha256
        from brimwick.output import manifest as m
        hashes = digests(5000)  # over 64 KiB of text: the streamed path
        listed, expected = findings(hashes), host(hashes)
        library = ctypes.CDLL(m.__file__)
        streamed = lambda: ctypes.c_uint64.in_dll(library, "brimwick_manifest_streamed_digests").value
        print("fast-before", m.compute_integrity_checksum(listed) == expected, streamed() == 1)
{textwrap.indent(change, "        ")}
        print(m.compute_integrity_checksum(listed) == expected)
    """)
    assert lines == ["fast-before", "True", "True"] + ["property"] * lookups + ["True"]


def test_a_key_colliding_with_sha256_is_compared_as_often_as_the_hosts_own_lookup_does() -> None:
    # Looking sha256 up would run the key's __eq__: the guard does not look.
    lines = run_child("""
        real = hashlib.sha256
        from brimwick.output import manifest as m
        listed, expected = findings(digests(5000)), host(digests(5000))
        compared = []
        class Key(str):
            def __hash__(self):
                return hash("sha256")
            def __eq__(self, other):
                compared.append(other)
                if raising:
                    raise RuntimeError("compared")
                return False
        raising = False
        del hashlib.sha256
        hashlib.__dict__[Key("colliding")] = None
        hashlib.sha256 = real
        compared.clear()
        print(m.compute_integrity_checksum(listed) == expected, len(compared) > 0)
        raising = True
        compared.clear()
        try:
            m.compute_integrity_checksum(listed)
        except RuntimeError as error:
            print(error, len(compared))
    """)
    assert lines == ["True", "True", "compared", "1"]


def test_the_arena_keeps_at_most_a_mebibyte_and_nothing_stays_lent_after_a_failure() -> None:
    # 100,000 findings sharing one 8 MiB hash ask for 800 GB of arena: the
    # reservation fails after the kept memory of the earlier call was lent.
    lines = run_child("""
        import tracemalloc
        from brimwick.output import manifest as m
        large, small = findings(digests(100_000)), findings(digests(10_000))
        tracemalloc.start()
        m.compute_integrity_checksum(large)
        # The arena holds the characters once (well under twice the text),
        # and no more than a mebibyte of it stays once the call is over.
        print(tracemalloc.get_traced_memory()[1] < 2 * 67 * 100_000, tracemalloc.get_traced_memory()[0] < 1 << 20)
        m.compute_integrity_checksum(small)
        huge = findings(["x" * ((1 << 23) - 1)]) * 100_000
        before = tracemalloc.get_traced_memory()[0]
        try:
            m.compute_integrity_checksum(huge)
        except MemoryError:
            print("MemoryError")
        tracemalloc.reset_peak()
        m.compute_integrity_checksum(small)  # on the kept memory, unless it stayed lent
        print(tracemalloc.get_traced_memory()[1] - before < 100_000)
    """, env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"})
    assert lines == ["True", "True", "MemoryError", "True"]


# ---------------------------------------------------------------- what a caller can observe

def test_a_replaced_path_is_never_verified_again_and_nothing_keeps_it_alive() -> None:
    # The old json.dumps is freed while the checksum's guard may hold it; a
    # checksum taken by its weakref callback, then later ones, get the host's
    # result by the host's path, and neither the old function nor a copy of
    # the json package tried on the way is kept alive.
    lines = run_child("""
        import gc, importlib.util, types, weakref
        from brimwick.output import manifest as m
        hashes = digests(50)
        listed = findings(hashes)
        print(path_of(lambda: m.compute_integrity_checksum(listed))[1])
        old = json.dumps
        twin = types.FunctionType(old.__code__, old.__globals__, "dumps")
        twin.__kwdefaults__ = dict(old.__kwdefaults__)
        taken = []
        watch = weakref.ref(old, lambda ref: taken.append(path_of(lambda: m.compute_integrity_checksum(listed))))
        json.dumps = twin
        del old
        gc.collect()
        print(watch() is None, taken == [(host(hashes), "host")])
        spec = importlib.util.find_spec("json")
        copy = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(copy)
        m.json = copy
        print(path_of(lambda: m.compute_integrity_checksum(listed)) == (host(hashes), "host"))
        m.json = json
        copied = weakref.ref(copy.dumps)
        del copy
        gc.collect()
        print(copied() is None, path_of(lambda: m.compute_integrity_checksum(listed))[1])
    """)
    assert lines == ["native", "True", "True", "True", "True", "host"]


@pytest.mark.parametrize("change", [
    "Encoder.__call__ = None", "Encoder.__call__ = 'text'", "Encoder.__call__ = print", "del Encoder.__call__",
    "Encoder.__new__ = object.__new__", "Encoder.upper = str.__dict__['upper']",
    "Encoder.alias = Encoder.__dict__['__call__']", "import json.encoder; json.encoder.c_make_encoder = _json.make_scanner",
])
@pytest.mark.parametrize("when", ["before the load", "after the load"])
def test_the_c_encoder_type_changed_gives_what_the_host_gives(change: str, when: str) -> None:
    # _json.Encoder is a mutable class: whatever its instances now do when
    # called (raise, print, return None), the checksum does too.
    lines = run_child(f"""
        import _json
        Encoder = _json.make_encoder
        def outcome(call):
            try:
                return call()
            except Exception as error:
                return type(error).__name__ + ": " + str(error)
        if {when == "before the load"!r}:
            {change}
        from brimwick.output import manifest as m
        hashes = digests(2)
        if {when == "after the load"!r}:
            print(path_of(lambda: m.compute_integrity_checksum(findings(hashes)))[1])
            {change}
        mine, path = path_of(lambda: outcome(lambda: m.compute_integrity_checksum(findings(hashes))))
        print(mine == outcome(lambda: host(hashes)), path)
    """)
    printed = [line for line in lines if line not in ("native",)]
    assert printed[-2:] == ["True", "host"]
    assert lines.count("native") == (when == "after the load")


def test_tracers_and_profilers_see_the_hosts_frames() -> None:
    lines = run_child("""
        import cProfile, pstats
        from brimwick.output import manifest as m
        listed = findings(digests(50))
        traced = []
        sys.settrace(lambda frame, event, arg: traced.append(frame.f_code.co_name) if event == "call" else None)
        m.compute_integrity_checksum(listed)
        sys.settrace(None)
        profiler = cProfile.Profile()
        profiler.runcall(m.compute_integrity_checksum, listed)
        profiled = {name for (_, _, name) in pstats.Stats(profiler).stats}
        print("iterencode" in traced, {"dumps", "iterencode"} <= profiled)
        print(path_of(lambda: m.compute_integrity_checksum(listed))[1])
    """)
    assert lines == ["True", "True", "native"]


@pytest.mark.parametrize("limit", [120, 1000])
def test_recursion_error_comes_at_the_hosts_depth(limit: int) -> None:
    # Near the limit, json.dumps needs five more levels than the checksum's
    # own frame, and a frame is refused one level before a call of C code.
    lines = run_child(f"""
        from brimwick.output import manifest as m
        def plain_checksum(findings):
            sorted_hashes = [f.finding_hash for f in findings]
            sorted_hashes.sort()
            return hashlib.sha256(json.dumps(sorted_hashes, separators=(",", ":")).encode()).hexdigest()
        def plain_refusal(findings):
            raise TypeError
        def at(depth, call, argument):
            return at(depth - 1, call, argument) if depth else call(argument)
        def deepest(call, argument):
            reached = []
            for depth in range({limit} - 40, {limit}):
                try:
                    at(depth, call, argument)
                except RecursionError:
                    continue
                except TypeError:
                    pass
                reached.append(depth)
            return max(reached)
        def message(depth, call, argument):  # called as deepest() is, so at the same depth
            try:
                at(depth, call, argument)
            except RecursionError as error:
                return str(error)
        sys.setrecursionlimit({limit})
        listed = findings(digests(3))
        depth = deepest(plain_checksum, listed)
        print(depth == deepest(m.compute_integrity_checksum, listed))
        print(deepest(plain_refusal, ()) == deepest(m.compute_integrity_checksum, ()))
        # Past the deepest call that runs, the call itself is refused, as a Python frame is.
        past = deepest(plain_refusal, ()) + 1
        print(*{{message(depth, m.compute_integrity_checksum, ()) for depth in range(past, past + 3)}})
        def taken_at(depth, call, argument):  # called as deepest() is, so at the same depth
            before = native_texts()
            at(depth, call, argument)
            return native_texts() - before
        print(taken_at(depth, m.compute_integrity_checksum, listed))  # as deep as the host goes, the native path
    """)
    assert lines == ["True", "True", "maximum", "recursion", "depth", "exceeded", "1"]


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


def test_names_missing_from_the_namespace_come_from_the_builtins_bound_at_load() -> None:
    # As for functions of Python source: neither the caller's built-ins nor
    # a later __builtins__ entry of the namespace are seen.
    lines = run_child("""
        from brimwick.output import manifest as m
        del m.hashlib
        for attempt in ('exec("m.compute_integrity_checksum([])", {"__builtins__": {"hashlib": hashlib}, "m": m})',
                        'm.__builtins__ = {"hashlib": hashlib}; m.compute_integrity_checksum([])'):
            try:
                exec(attempt)
            except NameError as error:
                print(error.args[0].split()[1])
        import builtins, gc
        print(any(referent is vars(builtins) for referent in gc.get_referents(m.compute_integrity_checksum)))
    """)
    assert lines == ["'hashlib'", "'hashlib'", "True"]


@pytest.mark.parametrize("change, field, expected", [
    ("builtins.round = lambda value, places: ('round', value, places)", "total_annual_waste_usd", "('round', 30.0, 2)"),
    ("m.round = lambda value, places: 'module'", "total_annual_waste_usd", "'module'"),
    ("builtins.len = lambda value: 'len'", "finding_count", "'len'"),
    ("builtins.sum = lambda values: 7.0 if [repr(v) for v in values] == ['0.0', '2.5'] else -1.0",
     "total_monthly_waste_usd", "7.0"),
    ("builtins.sum = lambda values: 7.0 if type(values) is list else 1.0", "adjusted_total_monthly_waste_usd", "7.0"),
    ("plain = builtins.sum\nbuiltins.sum = lambda values: plain(values)\n"
     "type(amounts[0]).estimated_monthly_waste_usd = property(lambda self: next(iter(())))",
     "total_monthly_waste_usd", "RuntimeError('generator raised StopIteration')"),
    ("class Late:\n    def __add__(self, other): return self\n    __radd__ = __add__\n"
     "    def __mul__(self, other):\n        builtins.round = lambda value, places: 'late'\n        return 5.0\n"
     "amounts[0].estimated_monthly_waste_usd = Late()", "total_annual_waste_usd", "5.0"),
    ("plain = builtins.__import__\n"
     "builtins.__import__ = lambda name, *rest: exec('raise ImportError') if name == 'brimwick' else plain(name, *rest)",
     "brimwick_version", "'unknown'"),
], ids=["round", "round in the namespace", "len", "sum", "sum of the adjusted amounts", "sum's generator",
        "round before its argument", "__import__"])
def test_the_built_ins_the_plain_code_calls_are_found_by_name_on_each_use(change: str, field: str, expected: str) -> None:
    lines = run_child(f"""
        import builtins
        from brimwick.output import manifest as m
        class Finding(SimpleNamespace):
            pass
        amounts = [Finding(finding_hash="a", estimated_monthly_waste_usd=None, adjusted_monthly_waste_usd=None),
                   SimpleNamespace(finding_hash="b", estimated_monthly_waste_usd=2.5, adjusted_monthly_waste_usd=1.5)]
{textwrap.indent(change, "        ")}
        try:
            print(repr(m.ScanEnvelope("t", "aws", [], "p", amounts, discount_factor=0.5).{field}).replace(" ", ""))
        except Exception as error:
            print(repr(error).replace(" ", ""))
    """)
    assert lines == [expected.replace(" ", "")]


def test_imports_go_through_the_bound_built_ins_import_as_python_code_makes_them() -> None:
    # One call a statement; the module body passes its namespace as locals,
    # a function None; a module-level __import__ is not consulted.
    lines = run_child("""
        import builtins
        plain, seen = builtins.__import__, []
        def spy(name, globals=None, locals=None, fromlist=(), level=0):
            if globals and globals.get("__name__") == "brimwick.output.manifest":
                seen.append((name, "namespace" if locals is globals else locals, fromlist, level))
            return plain(name, globals, locals, fromlist, level)
        builtins.__import__ = spy
        from brimwick.output import manifest as m
        m.__import__ = None
        print(len(m.ScanEnvelope("t", "aws", [], "p", []).to_dict()))
        for entry in seen:
            print(str(entry).replace(" ", ""))
    """)
    assert lines == ["20"] + [str(entry).replace(" ", "") for entry in [
        ("hashlib", "namespace", None, 0), ("json", "namespace", None, 0),
        ("dataclasses", "namespace", ("dataclass", "field"), 0), ("datetime", "namespace", ("datetime", "timezone"), 0),
        ("typing", "namespace", ("Any",), 0), ("brimwick.core.schemas", "namespace", ("Finding",), 0),
        ("brimwick", None, ("__version__",), 0),
        ("brimwick.output.explanation", None, ("build_remediation_explanation",), 0)]]


@pytest.mark.parametrize("namespace, name", [("json", "JSONEncoder"), ("json.encoder", "encode_basestring_ascii")])
def test_the_load_runs_no_comparison_of_a_foreign_key(namespace: str, name: str) -> None:
    lines = run_child(f"""
        import importlib
        module = importlib.import_module({namespace!r})
        compared = []
        class Key:
            def __hash__(self):
                return hash({name!r})
            def __eq__(self, other):
                compared.append(other)
                return False
        entries = vars(module)
        value = entries.pop({name!r})
        entries[Key()] = None
        entries[{name!r}] = value
        compared.clear()
        from brimwick.output import manifest as m
        print(len(compared))
    """)
    assert lines == ["0"]


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
