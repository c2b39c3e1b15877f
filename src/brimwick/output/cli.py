"""brimwick-manifest: verify stored scan envelope documents, show their checksums, print a demo document.

    brimwick-manifest verify [--strict] [--jobs N | --scheduler ADDRESS [--timeout S]] [--quiet] FILE...
    brimwick-manifest checksum FILE
    brimwick-manifest demo

A FILE holds one JSON document, JSON Lines, or JSON documents one after
another; "-" reads standard input. Input files are only ever read. The work
itself lives in the brimwick.output.verify package, and how a verdict reads in
its report module; this module only parses the command line, picks where the
work runs and writes the lines.
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import sys
from collections.abc import Iterator, Sequence
from typing import IO, Any, NoReturn

import brimwick
from brimwick.output import manifest
from brimwick.output.distributed import DEFAULT_TIMEOUT, SchedulerUnavailable
from brimwick.output.verify.documents import DEFAULT_MAX_DOCUMENT_BYTES
from brimwick.output.verify.escaping import escape_text
from brimwick.output.verify.executors import WorkerProcessDied, raw_verdicts_in_processes, raw_verdicts_on_dask
from brimwick.output.verify.ordered import RawVerdict, raw_verdicts, verify_sources
from brimwick.output.verify.planning import Plan, plan_run
from brimwick.output.verify.progress import Progress, is_terminal
from brimwick.output.verify.report import EXIT_OK, FORMATS, TEXT, Report, checksum_lines
from brimwick.output.verify.sizes import EXAMPLES, parse_size
from brimwick.output.verify.tasks import Options
from brimwick.output.verify.verdicts import checksum_report
from brimwick.output.verify.writing import (
    Interrupts,
    VerdictWriter,
    forgiving_streams,
    silence_stdout,
    tell,
    write_whole,
)

PROGRESS_MIN_BYTES = 8 << 20  # smaller inputs finish before a bar would help
EXIT_TROUBLE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 2, 130, 141


def _verdicts(args: argparse.Namespace, options: Options, writer: VerdictWriter, report: Report) -> Iterator[RawVerdict]:
    """plan -> run: the inputs planned once for the workers that run them, their verdicts in input order."""
    # Unlabelled: with --quiet, the labels of OK verdicts would only be thrown away, and the
    # workers' OK verdicts are only counted.
    count_ok = report.count_ok if report.quiet else None
    if args.scheduler:
        from brimwick.output.distributed import connect

        with connect(args.scheduler, args.timeout) as client:
            yield from raw_verdicts_on_dask(client, args.files, options, on_task_done=writer.task_done,
                                            timeout=args.timeout, count_ok=count_ok, on_plan=writer.planned)
    elif args.jobs > 1:
        plan = plan_run(args.files, args.jobs)
        writer.planned(plan)
        _warn_about_jobs(args.jobs, plan)
        yield from raw_verdicts_in_processes(plan, options, jobs=args.jobs, on_task_done=writer.task_done,
                                             count_ok=count_ok)
    else:
        yield from raw_verdicts(args.files, options, on_task_done=writer.task_done, on_plan=writer.planned)


def _ascii_output(stream: IO[str]) -> bool:
    """Output whose encoding is not UTF-8: names are then written with every non-ASCII character escaped."""
    try:
        return codecs.lookup(getattr(stream, "encoding", None) or "ascii").name != "utf-8"
    except LookupError:
        return True


def _warn_about_jobs(jobs: int, plan: Plan) -> None:
    cpus = os.cpu_count() or 1
    if plan.workers(jobs) > cpus:  # what runs, not what was asked: --jobs is capped at the tasks
        tell(f"brimwick-manifest: warning: --jobs {jobs} is more than the {cpus} CPUs here; "
              "the extra workers only take turns")


def cmd_verify(args: argparse.Namespace) -> int:
    options = Options(strict=args.strict, max_document_bytes=args.max_document_bytes)
    out = sys.stdout
    report = Report(strict=args.strict, quiet=args.quiet, format=args.format, ascii=_ascii_output(out))
    progress = Progress(0, sys.stderr, PROGRESS_MIN_BYTES)  # its length once the run is planned
    # Someone watching sees each verdict at once: on a terminal, or (as the plan says) while a stream is read.
    interrupts = Interrupts()
    writer = VerdictWriter(report, out, progress, is_terminal(out), interrupts)
    with interrupts.installed():
        try:
            writer.write_all(_verdicts(args, options, writer, report))
        except KeyboardInterrupt as stop:
            interrupts.hold()  # the summary goes out whole; a signal now only ends the run at once
            progress.close()
            if getattr(stop, "forced", False):  # a write was cut short: no count can be trusted
                silence_stdout()
            else:
                _write_line(sys.stderr if args.quiet else out, report.closing(interrupted=True))
            return int(getattr(stop, "exit_status", EXIT_INTERRUPTED))
        except (SchedulerUnavailable, WorkerProcessDied):
            # What was verified is told, and that the run did not end; the reason follows on stderr.
            interrupts.hold()
            progress.close()
            _write_line(out, report.closing(incomplete=True))
            raise
        finally:
            progress.close()
        interrupts.hold()  # every verdict is out: a signal now no longer stops anything
        summary = report.summary()
        if summary is not None:
            _write_line(out, summary)
    return report.return_code


def _write_line(stream: IO[str], line: str) -> None:
    if stream is sys.stderr:
        tell(line)
    else:
        write_whole(stream, line + "\n")


def cmd_checksum(args: argparse.Namespace) -> int:
    report = Report()
    ascii = _ascii_output(sys.stdout)
    for verdict in verify_sources([args.file], judge=checksum_report):
        report.count(verdict.status)
        for line in checksum_lines(verdict, ascii):
            sys.stdout.write(line + "\n")
    return report.return_code


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
    if not (text.isascii() and text.isdigit()) or int(text) < 1:  # isdigit alone takes ٣ and ²
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return int(text)


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return seconds


def _byte_count(text: str) -> int:
    try:
        size = parse_size(text)
    except ValueError:
        size = 0
    if size < 1:
        raise argparse.ArgumentTypeError(f"must be a positive number of bytes such as {EXAMPLES}, not {text!r}")
    return size


DESCRIPTION = """\
Check stored scan envelope documents (as ScanEnvelope.to_dict writes them):
verify recomputes each document's integrity checksum from its findings and
prints one verdict line per document, OK, CORRUPT, INVALID or (with --strict)
INCONSISTENT, then a summary; checksum prints the stored and the recomputed
checksum; demo prints the document of a scan over bundled sample findings.
OK means the findings present are those the checksum was made over (their
hashes; integrity_checksum, or manifest_hash where that is null, empty or
missing); their other fields and the scan context are not covered.
Exit status: 0 when every document verifies, 1 when any does not, 2 for usage
errors, output that cannot be written, a cluster that fails and a --jobs
worker process that dies (the run is then incomplete)."""


class _Parser(argparse.ArgumentParser):
    """argparse's parser, except that help, version and usage text that cannot be written fails the run
    (argparse itself ignores the error and exits 0)."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            (file or sys.stderr).write(message)

    def error(self, message: str) -> NoReturn:
        # The message quotes arguments (file names among them): never let them drive the terminal.
        super().error(escape_text(message))


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="brimwick-manifest", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {brimwick.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    verify = commands.add_parser("verify", help="verify stored envelope documents, one verdict line each")
    verify.add_argument("files", nargs="+", metavar="FILE",
                        help='a JSON file, JSON Lines, or JSON documents one after another; "-" reads standard input')
    verify.add_argument("--strict", action="store_true",
                        help="also audit what the checksum does not cover: the stored count and totals, each finding's "
                             "hash against its identity fields and its explanation against its remediation, unknown "
                             "finding keys, keys given twice, NaN and Infinity, and the shipped JSON Schema with its "
                             "formats (INCONSISTENT when any disagrees)")
    where = verify.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_positive, default=1,
                       help="verify in N worker processes (default 1; no more than there are tasks)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="verify on a running Dask cluster (needs the [dask] extra); the workers read the FILEs "
                            "themselves, so they must reach them (shared filesystem or fsspec URL)")
    verify.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                        help="with --scheduler: how long to wait for the scheduler to answer, for a worker to join, "
                             f"and for a lost scheduler, before giving up with exit status 2 (default {DEFAULT_TIMEOUT:g})")
    verify.add_argument("--max-document-bytes", type=_byte_count, default=DEFAULT_MAX_DOCUMENT_BYTES, metavar="SIZE",
                        help="a document or line larger than this is INVALID without being read whole (default 256M; "
                             "K, M, G and KiB count in 1024s, KB, MB, GB in 1000s)")
    verify.add_argument("-q", "--quiet", action="store_true", help="print only the documents that fail, and no summary")
    verify.add_argument("--format", choices=FORMATS, default=TEXT,
                        help='"json": one JSON object a verdict ({"source", "line", "status", "detail"}), then one '
                             "for the summary, as JSON Lines (default text)")
    verify.set_defaults(run=cmd_verify, parser=verify)
    checksum = commands.add_parser("checksum", help="print the stored and the recomputed checksum of each document")
    checksum.add_argument("file", metavar="FILE", help='a JSON or JSON Lines file; "-" reads standard input')
    checksum.set_defaults(run=cmd_checksum, parser=checksum)
    demo = commands.add_parser("demo", help="print the envelope document of a scan over the bundled sample findings")
    demo.set_defaults(run=cmd_demo, parser=demo)
    return parser


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments; a usage error names the command it is about, with that command's usage."""
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        args.parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if args.command == "verify":
        if args.timeout is None:
            args.timeout = DEFAULT_TIMEOUT
        elif not args.scheduler:
            args.parser.error("--timeout is only for --scheduler (it bounds the waits on a cluster)")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    forgiving_streams()
    try:
        try:
            args = _parse(argv)
        except SystemExit as done:  # --help, --version, or a usage error (already written to stderr)
            if done.code == 0:
                sys.stdout.flush()  # what was printed must reach the output, or the exit says it did not
            raise
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, as other tools do.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:  # inputs that cannot be read are verdicts: this is the output failing (a full disk)
        silence_stdout()
        tell(f"brimwick-manifest: cannot write output: {exc.strerror or exc}")
        return EXIT_TROUBLE
    except (SchedulerUnavailable, WorkerProcessDied) as exc:
        tell(f"brimwick-manifest: {exc}")
        return EXIT_TROUBLE


if __name__ == "__main__":
    sys.exit(main())
