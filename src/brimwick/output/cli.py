"""Command line for stored scan envelopes: verify their checksums, show them, build a demo.

    brimwick-manifest verify [--jobs N] [--quiet] FILE...
    brimwick-manifest checksum FILE
    brimwick-manifest demo

A FILE holds one JSON document or JSON Lines (one document a line); "-" reads
standard input. Input files are only ever read.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from importlib import resources
from typing import IO, Any

from brimwick.output import manifest

OK, CORRUPT, INVALID = "OK", "CORRUPT", "INVALID"
STDIN_NAME = "<stdin>"
PROGRESS_MIN_DOCUMENTS = 200  # fewer documents finish before a bar would help
CHUNK_SIZE = 500  # documents per task handed to a worker process

# One document to check: its label and raw bytes, or None and the reason why
# it could not be read.
Unit = tuple[str, bytes | None, str]
Result = tuple[str, str, str]  # (label, status, detail)


class _Invalid(Exception):
    """A document that is not an envelope document at all."""


def _read(name: str) -> bytes:
    if name != "-":
        with open(name, "rb") as fh:
            return fh.read()
    if sys.stdin is None:
        raise OSError("standard input is closed")
    return sys.stdin.buffer.read()


def _is_json_lines(name: str, lines: list[bytes]) -> bool:
    """JSON Lines: named so, or several lines of which the first is a whole JSON value."""
    if name.endswith((".jsonl", ".ndjson")):
        return True
    if len(lines) < 2:
        return False
    try:
        json.loads(lines[0])
    except (ValueError, RecursionError):
        return False
    return True


def split_documents(name: str) -> list[Unit]:
    """Read one input and cut it into documents, labelled by name (and line number for JSON Lines)."""
    label = STDIN_NAME if name == "-" else name
    try:
        data = _read(name)
    except OSError as exc:
        return [(label, None, f"cannot read: {exc.strerror or exc}")]
    numbered = [(n, line) for n, line in enumerate(data.splitlines(), 1) if line.strip()]
    if not _is_json_lines(name, [line for _, line in numbered]):
        return [(label, data, "")]
    return [(f"{label}:{n}", line, "") for n, line in numbered]


def _load(raw: bytes) -> dict[str, Any]:
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise _Invalid(f"not UTF-8 text: {exc}") from None
    try:
        document = json.loads(text)
    except ValueError as exc:
        raise _Invalid(f"invalid JSON: {exc}") from None
    if not isinstance(document, dict):
        raise _Invalid(f"not a JSON object (got {_json_kind(document)})")
    return document


def _json_kind(value: Any) -> str:
    return {list: "array", str: "string", bool: "boolean", type(None): "null"}.get(type(value), "number")


def _explain(exc: Exception) -> str:
    if isinstance(exc, KeyError):
        return f"missing key {exc.args[0]!r}" if exc.args else "missing key"
    return f"{type(exc).__name__}: {exc}"


def verify_unit(unit: Unit) -> Result:
    """Check one document: OK, CORRUPT (checksum mismatch) or INVALID (not a readable envelope)."""
    label, raw, reason = unit
    if raw is None:
        return label, INVALID, reason
    try:
        document = _load(raw)
        if not (document.get("integrity_checksum") or document.get("manifest_hash")):
            return label, INVALID, "no integrity checksum stored"
        manifest.ScanEnvelope.from_dict(document)
    except _Invalid as exc:
        return label, INVALID, str(exc)
    except ValueError as exc:
        return label, CORRUPT, str(exc)
    except Exception as exc:  # a malformed document must not stop the others
        return label, INVALID, _explain(exc)
    return label, OK, ""


def verify_units(units: list[Unit]) -> list[Result]:
    return [verify_unit(unit) for unit in units]


class _Progress:
    """A one-line bar on standard error, drawn only for a terminal and a long run."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.shown = total >= PROGRESS_MIN_DOCUMENTS and stream.isatty()

    def advance(self, count: int) -> None:
        self.done += count
        if self.shown:
            filled = 30 * self.done // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total}")
            self.stream.flush()

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 72 + "\r")
            self.stream.flush()


def _verify_all(groups: list[list[Unit]], jobs: int) -> list[Result]:
    tasks = [units[i : i + CHUNK_SIZE] for units in groups for i in range(0, len(units), CHUNK_SIZE)]
    progress = _Progress(sum(map(len, tasks)), sys.stderr)
    results: list[list[Result]] = [[] for _ in tasks]
    try:
        if jobs > 1 and len(tasks) > 1:
            with ProcessPoolExecutor(max_workers=min(jobs, len(tasks))) as pool:
                futures = {pool.submit(verify_units, chunk): i for i, chunk in enumerate(tasks)}
                for future in as_completed(futures):
                    results[futures[future]] = future.result()
                    progress.advance(len(tasks[futures[future]]))
        else:
            for i, chunk in enumerate(tasks):
                results[i] = verify_units(chunk)
                progress.advance(len(chunk))
    finally:
        progress.close()
    return [result for chunk_results in results for result in chunk_results]


def cmd_verify(args: argparse.Namespace) -> int:
    groups = [split_documents(name) for name in args.files]
    results = _verify_all(groups, args.jobs)
    counts = {OK: 0, CORRUPT: 0, INVALID: 0}
    for label, status, detail in results:
        counts[status] += 1
        if status != OK or not args.quiet:
            print(f"{label}: {status}" + (f": {detail}" if detail else ""))
    if not args.quiet:
        noun = "document" if len(results) == 1 else "documents"
        print(f"{len(results)} {noun}: {counts[OK]} ok, {counts[CORRUPT]} corrupt, {counts[INVALID]} invalid")
    return 0 if counts[OK] == len(results) else 1


def cmd_checksum(args: argparse.Namespace) -> int:
    status = 0
    for label, raw, reason in split_documents(args.file):
        try:
            if raw is None:
                raise _Invalid(reason)
            document = _load(raw)
            findings = [manifest.Finding.from_dict(f) for f in document.get("findings", [])]
            recomputed = manifest.compute_integrity_checksum(findings)
        except Exception as exc:
            print(f"{label}: {INVALID}: {exc if isinstance(exc, _Invalid) else _explain(exc)}")
            status = 1
            continue
        stored = document.get("integrity_checksum") or document.get("manifest_hash") or ""
        print(f"{label}: stored     {stored or '(none)'}")
        print(f"{label}: recomputed {recomputed}")
        if stored != recomputed:
            status = 1
    return status


def demo_envelope() -> manifest.ScanEnvelope:
    """An envelope over the bundled sample findings, in a fixed scan context."""
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
    print(json.dumps(demo_envelope().to_dict(), indent=2))
    return 0


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="brimwick-manifest", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    verify = commands.add_parser("verify", help="verify the integrity checksum of stored envelope documents")
    verify.add_argument("files", nargs="+", metavar="FILE", help='a JSON or JSON Lines file; "-" reads standard input')
    verify.add_argument("-j", "--jobs", type=_positive, default=1, help="verify in N worker processes (default 1)")
    verify.add_argument("-q", "--quiet", action="store_true", help="print only the documents that fail")
    verify.set_defaults(run=cmd_verify)
    checksum = commands.add_parser("checksum", help="print the stored and the recomputed checksum")
    checksum.add_argument("file", metavar="FILE", help='a JSON or JSON Lines file; "-" reads standard input')
    checksum.set_defaults(run=cmd_checksum)
    demo = commands.add_parser("demo", help="print the envelope document of a scan over the bundled sample findings")
    demo.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, and keep the
        # interpreter's final flush of standard output from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
