"""brimwick-manifest: verify stored scan envelope documents, show their checksums, print a demo document.

    brimwick-manifest verify [--strict] [--jobs N | --scheduler ADDRESS] [--quiet] FILE...
    brimwick-manifest checksum FILE
    brimwick-manifest demo

A FILE holds one JSON document, JSON Lines, or JSON documents one after
another; "-" reads standard input. Input files are only ever read. The work
itself lives in brimwick.output.verification; this module only parses the
command line and writes the lines.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import re
import stat
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO

import brimwick
from brimwick.output import manifest, verification
from brimwick.output.reading import DEFAULT_MAX_DOCUMENT_BYTES
from brimwick.output.verification import CORRUPT, INCONSISTENT, INVALID, OK, Options, RawVerdict, Task, Verdict

PROGRESS_MIN_BYTES = 8 << 20  # smaller inputs finish before a bar would help
FLUSH_SECONDS = 0.2  # verdicts reach the output at least this often while they come
EXIT_OK, EXIT_FAILED, EXIT_TROUBLE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 1, 2, 130, 141

_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def _escape_name(name: str) -> str:
    """A name as sha256sum shows it: with a leading backslash when it holds a line break or backslash."""
    if not any(c in name for c in "\\\n\r"):
        return name
    return "\\" + name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")


def _escape_label(label: str) -> str:
    # The label is NAME or NAME:LINE; the escaping marker goes before the whole of it.
    return _escape_name(label)


def _escape_text(text: str) -> str:
    """Keep a reason on one line and free of terminal control codes."""
    return _CONTROL.sub(lambda m: m.group().encode("unicode_escape").decode("ascii"), text)


def verdict_line(verdict: Verdict) -> str:
    line = f"{_escape_label(verdict.label)}: {verdict.status}"
    return line + (f": {_escape_text(verdict.detail)}" if verdict.detail else "")


def raw_verdict_line(name: str, line: int, status: str, detail: str) -> str:
    return verdict_line(Verdict(verification.label(name, line), status, detail))


class _Progress:
    """A one-line bar on standard error, drawn only for a terminal and a large input."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.shown = total >= PROGRESS_MIN_BYTES and stream.isatty()

    def advance(self, task: Task) -> None:
        self.done += task.size
        if self.shown:
            filled = min(30, 30 * self.done // self.total)
            self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.done >> 20}/{self.total >> 20} MiB")
            self.stream.flush()

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 72 + "\r")
            self.stream.flush()


def _verdicts(args: argparse.Namespace, options: Options, progress: _Progress) -> Iterator[RawVerdict]:
    # Unlabelled: with --quiet, the labels of OK verdicts would only be thrown away.
    if args.scheduler:
        from brimwick.output.distributed import connect

        with connect(args.scheduler) as client:
            yield from verification.raw_verdicts_on_dask(client, args.files, options, on_task_done=progress.advance)
    elif args.jobs > 1:
        yield from verification.raw_verdicts_in_processes(args.files, options, jobs=args.jobs,
                                                          on_task_done=progress.advance)
    else:
        yield from verification.raw_verdicts(args.files, options, on_task_done=progress.advance)


def _is_regular_file(stream: IO[str]) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return False


def cmd_verify(args: argparse.Namespace) -> int:
    options = Options(strict=args.strict, max_document_bytes=args.max_document_bytes)
    sizes = [verification._local_size(name) or 0 for name in args.files if name != "-"]
    progress = _Progress(sum(sizes), sys.stderr)
    counts = dict.fromkeys(verification.STATUSES, 0)
    out = sys.stdout
    flushed = time.monotonic()
    # A reader on the other end of a pipe or terminal sees each verdict at once;
    # a file gets them in batches.
    every_line = not _is_regular_file(out)
    try:
        for name, line, status, detail in _verdicts(args, options, progress):
            counts[status] += 1
            if status != OK or not args.quiet:
                out.write(raw_verdict_line(name, line, status, detail) + "\n")
                if every_line or time.monotonic() - flushed >= FLUSH_SECONDS:
                    out.flush()
                    flushed = time.monotonic()
    finally:
        progress.close()
    total = sum(counts.values())
    if not args.quiet:
        noun = "document" if total == 1 else "documents"
        summary = f"{total} {noun}: {counts[OK]} ok, {counts[CORRUPT]} corrupt, {counts[INVALID]} invalid"
        out.write(summary + (f", {counts[INCONSISTENT]} inconsistent" if args.strict else "") + "\n")
    return EXIT_OK if counts[OK] == total else EXIT_FAILED


def cmd_checksum(args: argparse.Namespace) -> int:
    status = EXIT_OK
    for verdict in verification.verify_sources([args.file], judge=verification.checksum_report):
        for part in verdict.detail.split("\n"):
            sys.stdout.write(f"{_escape_label(verdict.label)}: {_escape_text(part)}\n")
        if verdict.status != OK:
            status = EXIT_FAILED
    return status


def demo_envelope() -> manifest.ScanEnvelope:
    """An envelope over the bundled sample findings, in a fixed scan context."""
    from importlib import resources  # only here: it costs a verify run 25 ms to import

    text = resources.files("brimwick.samples").joinpath("findings.json").read_text(encoding="utf-8")
    findings = [manifest.Finding.from_dict(f) for f in json.loads(text)]
    return manifest.ScanEnvelope(
        tenant_id="demo-tenant-123456789012",
        provider="aws",
        regions=["us-east-1", "eu-west-1"],
        scan_profile="standard",
        findings=findings,
        discount_factor=0.72,
        spend_context_pct=6.4,
        failed_rules=[{"rule_id": "idle-lambda", "error": "AccessDenied: lambda:ListFunctions"}],
        account_summaries=[{"account_id": "123456789012", "finding_count": len(findings)}],
    )


def cmd_demo(args: argparse.Namespace) -> int:
    sys.stdout.write(json.dumps(demo_envelope().to_dict(), indent=2) + "\n")
    return EXIT_OK


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return int(text)


_UNITS = {"": 1, "k": 1 << 10, "kib": 1 << 10, "m": 1 << 20, "mib": 1 << 20, "g": 1 << 30, "gib": 1 << 30}


def _byte_count(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([a-zA-Z]*)\s*", text)
    if not match or match.group(2).lower() not in _UNITS or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(f"must be a positive number of bytes such as 1048576, 512K, 256M or 1G, not {text!r}")
    return int(match.group(1)) * _UNITS[match.group(2).lower()]


DESCRIPTION = """\
Check stored scan envelope documents (as ScanEnvelope.to_dict writes them):
verify recomputes each document's integrity checksum from its findings and
prints one verdict line per document, OK, CORRUPT, INVALID or (with --strict)
INCONSISTENT, then a summary; checksum prints the stored and the recomputed
checksum; demo prints the document of a scan over bundled sample findings.
Exit status: 0 when every document verifies, 1 when any does not, 2 for usage
errors or output that cannot be written."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="brimwick-manifest", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {brimwick.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    verify = commands.add_parser("verify", help="verify stored envelope documents, one verdict line each")
    verify.add_argument("files", nargs="+", metavar="FILE",
                        help='a JSON file, JSON Lines, or JSON documents one after another; "-" reads standard input')
    verify.add_argument("--strict", action="store_true",
                        help="also audit the stored count and totals against the findings, and the document against "
                             "the shipped JSON Schema (INCONSISTENT when they disagree)")
    where = verify.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_positive, default=1, help="verify in N worker processes (default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="verify on a running Dask cluster (needs the [dask] extra); the workers read the FILEs "
                            "themselves, so they must reach them (shared filesystem or fsspec URL)")
    verify.add_argument("--max-document-bytes", type=_byte_count, default=DEFAULT_MAX_DOCUMENT_BYTES, metavar="SIZE",
                        help="a document or line larger than this is INVALID without being read whole (default 256M)")
    verify.add_argument("-q", "--quiet", action="store_true", help="print only the documents that fail, and no summary")
    verify.set_defaults(run=cmd_verify)
    checksum = commands.add_parser("checksum", help="print the stored and the recomputed checksum of each document")
    checksum.add_argument("file", metavar="FILE", help='a JSON or JSON Lines file; "-" reads standard input')
    checksum.set_defaults(run=cmd_checksum)
    demo = commands.add_parser("demo", help="print the envelope document of a scan over the bundled sample findings")
    demo.set_defaults(run=cmd_demo)
    return parser


def _forgiving_output() -> None:
    """Never fail on encoding: what the output's encoding cannot show is written escaped."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def _silence_stdout() -> None:
    # Keep the interpreter's final flush of standard output from failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    _forgiving_output()
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, as other tools do.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:  # inputs that cannot be read are verdicts: this is the output failing (a full disk)
        _silence_stdout()
        sys.stderr.write(f"brimwick-manifest: cannot write output: {exc.strerror or exc}\n")
        return EXIT_TROUBLE
    except verification.SchedulerUnavailable as exc:
        sys.stderr.write(f"brimwick-manifest: {exc}\n")
        return EXIT_TROUBLE


if __name__ == "__main__":
    sys.exit(main())
