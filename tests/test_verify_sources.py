"""Opening inputs: streams judged as their documents arrive, compressed stores read as plain ones."""

from __future__ import annotations

import bz2
import gzip
import io
import json
import lzma
import os
import select
import signal
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path
from typing import IO, Any

import pytest

from brimwick.output import cli
from brimwick.output.verify import tasks, wakeup
from brimwick.output.verify.ordered import verify_sources
from brimwick.output.verify.sources import open_input

DOC = json.loads(json.dumps(cli.demo_envelope().to_dict()))
GOOD = json.dumps(DOC)
BAD = json.dumps({**DOC, "findings": DOC["findings"][1:]})
WAIT_SECONDS = 20


def read_line(stream: IO[bytes], timeout: float = WAIT_SECONDS) -> bytes:
    """One line from a pipe, failing rather than hanging when it does not come in time."""
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, "no verdict arrived while the writer paused"
    return stream.readline()


# Standard input replaced by a program of its own, over a raw stream not read straight from its descriptor.
WRAPPED_STDIN = """
import io, sys
from brimwick.output import cli

class Pipe(io.FileIO):
    pass

sys.stdin = io.TextIOWrapper(io.BufferedReader(Pipe(0, closefd=False)))
sys.exit(cli.main(sys.argv[1:]))
"""


# A gzip member a document: each ends in a pause. A stream the command did not open itself is read
# through its own read1, which a signal landing just before the read cannot wake: not stopped here.
@pytest.mark.parametrize("via, ending", [(via, ending) for via in ["pipe", "fifo", "wrapped stdin, gzip"]
                                         for ending in ["writer closes", "Ctrl-C"][:1 + (not via.startswith("wrapped"))]])
@pytest.mark.parametrize("jobs", [1, 2])  # a stream is read by the command itself, in its turn, whatever the workers
def test_each_document_is_judged_as_soon_as_it_arrives(tmp_path: Path, via: str, jobs: int, ending: str) -> None:
    pretty = json.dumps(DOC, indent=2)  # a document over many lines, as jq writes it
    after = tmp_path / "after.json"  # a file after the stream, for a worker
    after.write_text(GOOD)
    runner = ["-c", WRAPPED_STDIN] if via.startswith("wrapped") else ["-m", "brimwick.output.cli"]
    argv = [sys.executable, *runner, "verify", "--jobs", str(jobs)]
    if via == "fifo":
        fifo = tmp_path / "scans.fifo"
        os.mkfifo(fifo)
        argv.append(str(fifo))
    else:
        argv.append("-")
    name = str(tmp_path / "scans.fifo") if via == "fifo" else "<stdin>"
    with subprocess.Popen([*argv, str(after)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        assert proc.stdin is not None and proc.stdout is not None
        try:
            writer = open(fifo, "wb") if via == "fifo" else proc.stdin  # noqa: SIM115 - closed below
            got = []
            for text in [GOOD, BAD, pretty]:
                writer.write((gzip.compress if via.endswith("gzip") else bytes)(text.encode() + b"\n"))
                writer.flush()  # then the writer pauses: the verdict must come before any more input
                got.append(read_line(proc.stdout).decode().rstrip("\n").split(": ")[:2])
            if ending == "Ctrl-C":
                proc.send_signal(signal.SIGINT)  # the writer is still there: the run must not wait for it
            else:
                writer.close()
            rest = proc.stdout.read().decode()
            code = proc.wait(timeout=WAIT_SECONDS)
            writer.close()
        finally:
            proc.kill()
    assert got == [[f"{name}:1", "OK"], [f"{name}:2", "CORRUPT"], [f"{name}:3", "OK"]]
    if ending == "Ctrl-C":
        assert (code, rest) == (130, "interrupted after 3 documents: 2 ok, 1 corrupt, 0 invalid\n")
    else:
        assert (code, rest) == (1, f"{after}: OK\n4 documents: 3 ok, 1 corrupt, 0 invalid\n")


# The command, with a thread that stops it once its main thread waits for input: the signal is
# handled in that thread, so nothing interrupts the main thread's system call. Only what the
# signal's wakeup leaves behind can end the wait (as when a signal comes just before a read).
SIGNALLED_ELSEWHERE = """
import signal, sys, threading, time
from brimwick.output import cli

MAIN = threading.get_native_id()

def waiting() -> bool:
    with open(f"/proc/self/task/{MAIN}/syscall") as status:
        call, *args = status.read().split()
    return call in ("0", "7", "271") and (call != "0" or args[0] == "0x0")  # read(0, ...), poll, ppoll

def stop() -> None:
    while not waiting():
        time.sleep(0.001)
    signal.pthread_kill(threading.get_ident(), signal.SIGINT)

threading.Thread(target=stop, daemon=True).start()
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
@pytest.mark.parametrize("source, arrived, summary", [
    ("-", b"", "interrupted after 0 documents: 0 ok, 0 corrupt, 0 invalid"),
    ("-", GOOD.encode() + b"\n", "interrupted after 1 document: 1 ok, 0 corrupt, 0 invalid"),
    ("-", gzip.compress(BAD.encode() + b"\n"), "interrupted after 1 document: 0 ok, 1 corrupt, 0 invalid"),
    ("fifo", b"", "interrupted after 0 documents: 0 ok, 0 corrupt, 0 invalid"),  # no writer has opened it
    ("read-write", GOOD.encode() + b"\n", "interrupted after 1 document: 1 ok, 0 corrupt, 0 invalid"),
], ids=["nothing yet", "a document", "a gzip member", "a FIFO without a writer", "stdin open to read and write"])
def test_a_signal_that_misses_the_read_still_stops_the_wait(tmp_path: Path, source: str, arrived: bytes,
                                                             summary: str) -> None:
    stdin: int = subprocess.PIPE
    if source in ("fifo", "read-write"):
        fifo = tmp_path / "scans.fifo"
        os.mkfifo(fifo)
        source = str(fifo)
    if source.endswith("fifo") and arrived:  # as a terminal is: standard input open for writing too
        stdin, source = os.open(fifo, os.O_RDWR), "-"
        os.write(stdin, arrived)
    with subprocess.Popen([sys.executable, "-c", SIGNALLED_ELSEWHERE, "verify", source], stdin=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout is not None and proc.stderr is not None
        if proc.stdin is not None:
            proc.stdin.write(arrived)
            proc.stdin.flush()  # and the writer stays: only the signal can end the run
        try:
            code = proc.wait(timeout=WAIT_SECONDS * 3)  # a failure's bound, never reached when it works
            out, err = proc.stdout.read().decode().splitlines(), proc.stderr.read()
        finally:
            proc.kill()
            if stdin != subprocess.PIPE:
                os.close(stdin)
    assert (code, out[-1], len(out), err) == (130, summary, int(bool(arrived)) + 1, b"")


# A wait under a held signal (a verdict being written): the signal is noted and the wait goes on, until
# the stream has bytes or a second signal forces the stop. Each step waits for the main thread to be
# back in poll, or for the wait to have ended.
HELD_WAIT = """
import os, select, signal, sys, threading, time
from brimwick.output.verify import wakeup
from brimwick.output.verify.writing import Interrupted, Interrupts

MAIN, ended = threading.get_native_id(), threading.Event()
read_end, write_end = os.pipe()
interrupts = Interrupts()

def until(condition) -> None:
    while not condition() and not ended.is_set():
        time.sleep(0.001)

def polling() -> bool:
    with open(f"/proc/self/task/{MAIN}/syscall") as status:
        return status.read().split()[0] in ("7", "271")

def other_thread() -> None:
    until(polling)
    signal.pthread_kill(threading.get_ident(), signal.SIGINT)  # handled here, run by the main thread: held
    until(lambda: interrupts.pending is not None)
    until(polling)
    if sys.argv[1] == "data":
        os.write(write_end, b"x")
    else:
        signal.pthread_kill(threading.get_ident(), signal.SIGTERM)

with interrupts.installed():
    interrupts.hold()
    threading.Thread(target=other_thread, daemon=True).start()
    try:
        wakeup.wait_readable(read_end)
        ready = bool(select.select([read_end], [], [], 0)[0])
        try:
            left = os.read(wakeup._wakeup, 1)
        except BlockingIOError:
            left = b""
        print("readable" if ready else "returned early", "with a wakeup left" if left else "")
    except Interrupted as stop:
        print(f"stopped by {stop.signum}, forced: {stop.forced}")
    ended.set()
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
@pytest.mark.parametrize("then, outcome", [("data", "readable \n"), ("a second signal", "stopped by 15, forced: True\n")])
def test_a_held_signal_leaves_the_wait_going_on(then: str, outcome: str) -> None:
    proc = subprocess.run([sys.executable, "-c", HELD_WAIT, then], capture_output=True, timeout=WAIT_SECONDS * 3)
    assert (proc.stdout.decode(), proc.stderr) == (outcome, b"")


def test_the_wakeup_is_undone_as_it_was_done(monkeypatch: pytest.MonkeyPatch) -> None:
    def current() -> int:
        fd = signal.set_wakeup_fd(-1)
        signal.set_wakeup_fd(fd)
        return fd

    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    outer = signal.set_wakeup_fd(write_end)
    try:
        with wakeup.signals_wake_readers():
            inner = (current(), wakeup._wakeup)
            with wakeup.signals_wake_readers():
                assert current() not in (write_end, inner[0])
            assert (current(), wakeup._wakeup) == inner and inner[0] != write_end
        unraisable: list[Any] = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        before = signal.signal(signal.SIGUSR1, lambda signum, frame: None)
        for _ in range(70_000):  # the earlier pipe fills up; as asyncio asks of it, nothing is said
            signal.raise_signal(signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, before)
        assert (unraisable, wakeup._wakeup, current()) == ([], None, write_end)
    finally:
        signal.set_wakeup_fd(outer)
        os.close(read_end)
        os.close(write_end)


@pytest.mark.parametrize("source, redirect, given, verdict", [
    ("-", "<&-", b"", "<stdin>: INVALID: cannot read: standard input is closed"),
    ("-", "0<&1", b"", "<stdin>: INVALID: cannot read: Bad file descriptor"),  # a pipe's end for writing
    ("-", "0>{tmp}/fifo", b"", "<stdin>: INVALID: cannot read: Bad file descriptor"),  # a FIFO's, flags and all
    ("-", "", b"\x1f", "<stdin>:1: INVALID: invalid JSON: Expecting value: line 1 column 1"),  # signatures cut short
    ("-", "", b"\xfd7z", "<stdin>:1: INVALID: not UTF-8 text: invalid start byte at byte 0"),
    ("file://{tmp}/cut", "", b"", "file://{tmp}/cut: INVALID: invalid JSON: Expecting value: line 1 column 1"),
    ("{tmp}", "", b"", "{tmp}: INVALID: cannot read: Is a directory"),
], ids=["closed", "write-only pipe", "write-only FIFO", "gzip's first byte", "xz's first 3 bytes",
        "a stored object cut short", "a directory"])
def test_an_input_that_cannot_be_read_is_one_verdict(tmp_path: Path, source: str, redirect: str, given: bytes,
                                                     verdict: str) -> None:
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "cut").write_bytes(b"\x1f")
    reader = os.open(tmp_path / "fifo", os.O_RDONLY | os.O_NONBLOCK)  # so that the FIFO opens for writing
    try:
        proc = subprocess.run(["/bin/sh", "-c", f'exec "$@" {redirect.format(tmp=tmp_path)}', "sh", sys.executable,
                               "-m", "brimwick.output.cli", "verify", source.format(tmp=tmp_path)],
                              input=given, capture_output=True, timeout=WAIT_SECONDS * 3)
    finally:
        os.close(reader)
    assert (proc.returncode, proc.stdout.decode(), proc.stderr) == (
        1, f"{verdict.format(tmp=tmp_path)}\n1 document: 0 ok, 0 corrupt, 1 invalid\n", b"")


def test_an_input_holds_one_blocking_descriptor_until_it_is_closed(tmp_path: Path) -> None:
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "file").write_text(GOOD)
    before = sorted(os.listdir("/proc/self/fd"))
    writer = os.open(tmp_path / "fifo", os.O_RDWR)  # a writer there, with a document's bytes given
    os.write(writer, GOOD.encode())
    for name in ("file", "fifo"):
        opened = open_input(str(tmp_path / name))
        assert os.get_blocking(opened.raw.fileno())  # opened without waiting, then read as any file is
        opened.close()
    with pytest.raises(IsADirectoryError), wakeup.signals_wake_readers():
        open_input(str(tmp_path))
    with pytest.raises(io.UnsupportedOperation, match=r"^File or stream is not seekable\.$"), wakeup.signals_wake_readers():
        open_input(str(tmp_path / "fifo"), start=5)  # a stream reached in the middle: refused as a pipe refuses
    os.close(writer)
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_a_forked_worker_leaves_the_command_s_wakeup_alone() -> None:
    report, into = os.pipe()
    with wakeup.signals_wake_readers():
        ends = wakeup._pipe
        assert ends is not None
        child = os.fork()
        if child == 0:  # pragma: no cover - the child's report is what is checked
            try:
                closed = [not os.path.exists(f"/proc/self/fd/{end}") for end in ends]
                os.write(into, repr([wakeup.signals_wake_readers_now(), signal.set_wakeup_fd(-1), *closed]).encode())
            finally:
                os._exit(0)
        os.close(into)
        os.waitpid(child, 0)
        with open(report, "rb") as said:
            assert said.read() == b"[False, -1, True, True]"


def test_a_caller_s_standard_input_is_read_on_from_where_the_caller_left_it(monkeypatch: pytest.MonkeyPatch) -> None:
    read_end, write_end = os.pipe()
    os.write(write_end, f"a header line\n{GOOD}\n{BAD}\n".encode())
    os.close(write_end)
    with open(read_end, "rb") as stdin:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stdin))
        assert sys.stdin.buffer.readline() == b"a header line\n"  # the rest waits in the buffer
        assert [(v.label, v.status) for v in verify_sources(["-"])] == [("<stdin>:1", "OK"), ("<stdin>:2", "CORRUPT")]


def compress(fmt: str, data: bytes) -> bytes:
    if fmt == "zst":
        zstandard = pytest.importorskip("zstandard")
        return zstandard.ZstdCompressor().compress(data)  # type: ignore[no-any-return]
    if fmt == "zst+zst":  # two frames, as cat a.zst b.zst makes: the second starts within the read that ends the first
        return compress("zst", data[:len(data) // 2]) + compress("zst", data[len(data) // 2:])
    if fmt == "gz+empty extra":  # a header with an extra field of no bytes, as gzip -t accepts
        member = gzip.compress(data, mtime=0)
        return member[:3] + b"\x04" + member[4:10] + b"\0\0" + member[10:]
    if fmt == "xz+padding":  # two streams, zero bytes in fours between and after them, as xz -t accepts
        return lzma.compress(data[:len(data) // 2]) + b"\0" * 8 + lzma.compress(data[len(data) // 2:]) + b"\0" * 4
    return {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}[fmt](data)


def huge_dictionary(one: bytes) -> bytes:
    """The same data as xz that asks for a 1.5 GiB dictionary to decompress."""
    lzma2 = {"id": lzma.FILTER_LZMA2, "dict_size": 1536 << 20, "mf": lzma.MF_HC3, "mode": lzma.MODE_FAST}
    return lzma.compress(lzma.decompress(one) + b" " * (3 << 20), filters=[lzma2])


def huge_window(one: bytes) -> bytes:
    """The same data as zstd that asks for a 128 MiB window (as zstd --long makes)."""
    zstandard = pytest.importorskip("zstandard")
    params = zstandard.ZstdCompressionParameters.from_level(3, window_log=27)
    frame = zstandard.ZstdCompressor(compression_params=params).compressobj()  # no content size to shrink the window
    return frame.compress(zstandard.ZstdDecompressor().decompressobj().decompress(one)) + frame.flush()  # type: ignore[no-any-return]


@pytest.mark.parametrize("fmt", ["gz", "bz2", "xz", "zst"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_compressed_stores_give_the_verdicts_of_the_plain_ones(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                                capsys: pytest.CaptureFixture[str], fmt: str, jobs: int) -> None:
    monkeypatch.setattr(tasks, "MIN_RANGE_BYTES", 4096)  # the plain file is cut into ranges; the compressed one is not
    monkeypatch.chdir(tmp_path)
    lines = "\n".join([GOOD, BAD, "", '{"cut', *[GOOD] * 20]) + "\n"
    Path("scans.jsonl").write_text(lines)
    Path(f"scans.JSONL.{fmt.upper()}").write_bytes(compress(fmt, lines.encode()))  # names in any case
    Path("renamed.json").write_bytes(compress(fmt, (json.dumps(DOC, indent=2) + "\n" + BAD).encode()))  # found by its bytes
    Path("pretty.json").write_text(json.dumps(DOC, indent=2) + "\n" + BAD)
    outputs = []
    for names in (["scans.jsonl", "pretty.json"], [f"scans.JSONL.{fmt.upper()}", "renamed.json"]):
        assert cli.main(["verify", "-j", str(jobs), *names]) == 1
        outputs.append(capsys.readouterr().out.replace(f"scans.JSONL.{fmt.upper()}", "scans.jsonl").replace("renamed", "pretty"))
    assert outputs[0] == outputs[1] and outputs[0].endswith("25 documents: 22 ok, 2 corrupt, 1 invalid\n")


class Trickle(io.RawIOBase):
    """A pipe that brings one byte a read."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if not self.data:
            return 0
        buffer[0], self.data = self.data[0], self.data[1:]
        return 1


@pytest.mark.parametrize("fmt", ["gz", "bz2", "xz", "zst", "xz+padding", "zst+zst", "gz+empty extra"])
@pytest.mark.parametrize("via", ["whole", "a byte a read", "a pipe"])
def test_standard_input_may_be_compressed(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
                                          fmt: str, via: str) -> None:
    data = compress(fmt, f"{GOOD}\n{BAD}\n".encode())
    stdin: IO[bytes] = io.BufferedReader(Trickle(data)) if via == "a byte a read" else io.BytesIO(data)
    if via == "a pipe":  # read straight from its descriptor
        read_end, write_end = os.pipe()
        assert os.write(write_end, data) == len(data)
        os.close(write_end)
        stdin = open(read_end, "rb")  # noqa: SIM115 - closed below
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stdin))
    try:
        assert cli.main(["verify", "-q", "-"]) == 1
    finally:
        stdin.close()
    out = capsys.readouterr().out
    assert out.startswith("<stdin>:2: CORRUPT: ") and out.count("\n") == 1  # nothing after: the input ended cleanly


def zipped(path: Path) -> None:
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("scans.jsonl", GOOD)


@pytest.mark.parametrize("make, reason", [
    (zipped, "cannot read: compressed with zip, which is not read here"),
    (lambda path: path.write_bytes(b"\x04\x22\x4d\x18" + b"\x00" * 40), "cannot read: compressed with lz4, which is not read here"),
], ids=["zip", "lz4"])
def test_an_unsupported_compression_is_one_invalid_verdict(tmp_path: Path, make: Any, reason: str) -> None:
    path = tmp_path / "scans.jsonl"
    make(path)
    verdicts = list(verify_sources([str(path)]))
    assert len(verdicts) == 1 and verdicts[0].label == str(path) and verdicts[0].status == "INVALID"
    assert verdicts[0].detail.startswith(reason)


def crc_flipped(data: bytes) -> bytes:
    """A gzip member whose stored CRC no longer matches its data."""
    return data[:-8] + bytes([data[-8] ^ 1]) + data[-7:]


FORMAT_NAMES = {"gz": "gzip", "bz2": "bzip2", "xz": "xz", "zst": "zstd"}
DAMAGE = {  # what is done to two streams of the same 200 documents, and how many verdicts are OK at least
    "cut in the middle": (lambda one: one[: len(one) // 2], 0),
    "second stream cut": (lambda one: one + one[: len(one) // 2], 200),
    "last 4 bytes gone": (lambda one: one + one[:-4], 200),
    "bytes after the last stream": (lambda one: one + b"not a stream", 200),
    "stored CRC wrong": (crc_flipped, 0),
    "padding not in fours": (lambda one: one + b"\0" * 6, 200),
    "asks 1.5 GiB of memory": (huge_dictionary, 0),
    "asks a 128 MiB window": (huge_window, 0),
}
ONE_FORMAT = [("gz", "stored CRC wrong"),  # only gzip's CRC is a byte that can change alone
              ("xz", "padding not in fours"), ("xz", "asks 1.5 GiB of memory"), ("zst", "asks a 128 MiB window")]


@pytest.mark.parametrize("fmt, damage", [*((fmt, damage) for fmt in FORMAT_NAMES for damage in list(DAMAGE)[:4]),
                                         *ONE_FORMAT])
def test_damaged_compressed_data_ends_the_input_with_one_verdict(tmp_path: Path, fmt: str, damage: str) -> None:
    change, ok_at_least = DAMAGE[damage]
    path = tmp_path / f"cut.jsonl.{fmt}"
    path.write_bytes(change(compress(fmt, (f"{GOOD}\n" * 200).encode())))
    verdicts = list(verify_sources([str(path)]))
    assert {v.status for v in verdicts[:-1]} <= {"OK"} and len(verdicts) - 1 >= ok_at_least
    assert verdicts[-1].status == "INVALID" and verdicts[-1].label == f"{path}:{len(verdicts)}"  # the line it cut
    assert verdicts[-1].detail.startswith(f"cannot read: damaged {FORMAT_NAMES[fmt]} data: ")


def compressing(fmt: str, sink: Any) -> Any:
    if fmt == "zst":
        zstandard = pytest.importorskip("zstandard")
        return zstandard.ZstdCompressor().stream_writer(sink, closefd=False)
    return gzip.GzipFile(fileobj=sink, mode="wb")


@pytest.mark.parametrize("fmt, mebibytes", [("gz", 64), ("zst", 512)])  # zstd packs 512 MiB of one byte in kilobytes
def test_a_large_compressed_stream_is_read_in_bounded_memory(fmt: str, mebibytes: int) -> None:
    # One line, decompressed as it is read: the limit ends it, nothing holds it whole.
    if os.environ.get("MANIFEST_SANITIZED_BUILD"):
        pytest.skip("under AddressSanitizer, resident memory holds its shadow and quarantine, not the reader's")
    writer_done = threading.Event()
    with subprocess.Popen([sys.executable, "-m", "brimwick.output.cli", "verify", "--max-document-bytes", "1M", "-"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as proc:
        assert proc.stdin is not None and proc.stdout is not None

        def write() -> None:
            try:
                with compressing(fmt, proc.stdin) as out:
                    for _ in range(mebibytes):
                        out.write(b"x" * (1 << 20))
                proc.stdin.close()  # type: ignore[union-attr]
            except BrokenPipeError:
                pass
            writer_done.set()

        thread = threading.Thread(target=write, daemon=True)
        thread.start()
        try:
            first = read_line(proc.stdout)
            with open(f"/proc/{proc.pid}/status") as status:
                rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
            deadline = time.monotonic() + WAIT_SECONDS
            while not writer_done.is_set() and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            proc.kill()
            proc.wait(timeout=WAIT_SECONDS)
    assert first.startswith(b"<stdin>:1: INVALID: larger than the 1 MiB limit") and rss_kib < 150_000
