"""Time the native manifest module against its pure-Python baseline.

Usage: python benchmarks/run.py [--sizes 1000,10000,100000] [--repeat R] [--statistic best|median] [--json PATH]

Each operation is timed with time.perf_counter after one untimed warm-up call
of each side; native and baseline calls alternate within one run (native first
on even repeats, baseline first on odd ones), a gc.collect() precedes every
timed call, and the fastest of the repeats is reported for each side (noise
on a shared machine only ever adds time), or with --statistic median the
medians. The findings are the host's
``brimwick.core.schemas.Finding`` records with real 64-hex identity hashes, in
random order. The "minimal host" rows use findings whose ``to_dict`` and
``from_dict`` are C-level callables, so they show the module's own overhead.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import platform
import random
import statistics
import string
import subprocess
import sys
import time
import tracemalloc
from operator import itemgetter
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import reference  # noqa: E402

import brimwick.output.manifest as native  # noqa: E402
from brimwick.core.schemas import Finding  # noqa: E402

DEFAULT_SIZES = (1_000, 10_000, 100_000)
# Repeats per size when --repeat is not given: even counts, so that each side
# runs first equally often; the full default run stays well under three
# minutes on two cores.
DEFAULT_REPEATS = {1_000: 20, 10_000: 10, 100_000: 6}
STATISTIC = "best"  # or "median"; set from --statistic
CONTEXT = ("tenant-0042", "aws", ["us-east-1", "eu-west-1"], "full")


def make_findings(n: int, scatter: bool, seed: int = 20261208) -> list[Finding]:
    rng = random.Random(seed)
    findings = []
    for i in range(n):
        has_remediation = rng.random() < 0.4
        findings.append(
            Finding(
                resource_id=f"i-{i:07d}{''.join(rng.choices(string.hexdigits.lower(), k=9))}",
                resource_type=rng.choice(["vm", "disk", "snapshot", "ip", "load-balancer"]),
                rule_id=rng.choice(["idle", "unattached", "oversized", "stale"]),
                provider="aws",
                region=rng.choice(CONTEXT[2]),
                title="Idle resource",
                estimated_monthly_waste_usd=rng.choice([None, round(rng.uniform(0, 900), 2), rng.uniform(0, 5000)]),
                adjusted_monthly_waste_usd=rng.choice([None, round(rng.uniform(0, 700), 2)]),
                remediation={"action": "stop", "risk": "low"} if has_remediation else None,
            )
        )
    # The hashes are SHA-256 digests, so they come in random order either way.
    # A scanner appends findings as it makes them; --scatter also shuffles the
    # objects, so that every attribute read misses the cache.
    if scatter:
        rng.shuffle(findings)
    return findings


class MinimalFinding(dict):
    """A finding made of C-level parts: a dict whose fields are read through itemgetter."""

    __slots__ = ()
    to_dict = dict.copy
    finding_hash = property(itemgetter("finding_hash"))
    estimated_monthly_waste_usd = property(itemgetter("estimated_monthly_waste_usd"))
    adjusted_monthly_waste_usd = property(itemgetter("adjusted_monthly_waste_usd"))
    remediation = property(itemgetter("remediation"))


# A class is no descriptor, so MinimalFinding.from_dict(d) is MinimalFinding(d): a C-level copy.
MinimalFinding.from_dict = MinimalFinding  # type: ignore[attr-defined]


def minimal_findings(findings: list[Finding]) -> list[Any]:
    return [
        MinimalFinding(
            finding_hash=f.finding_hash,
            estimated_monthly_waste_usd=f.estimated_monthly_waste_usd,
            adjusted_monthly_waste_usd=f.adjusted_monthly_waste_usd,
            remediation=None,
        )
        for f in findings
    ]


def time_pair(native_call: Callable[[], Any], baseline_call: Callable[[], Any], repeat: int,
              floor_call: Callable[[], Any] | None = None) -> dict[str, float]:
    calls = {"native": native_call, "baseline": baseline_call}
    if floor_call is not None:
        calls["floor"] = floor_call
    samples: dict[str, list[float]] = {name: [] for name in calls}
    names = list(calls)
    for call in calls.values():  # warm-up: imports, caches and allocator arenas
        call()
    for r in range(repeat):
        for name in names if r % 2 == 0 else names[::-1]:
            gc.collect()
            start = time.perf_counter()
            calls[name]()
            samples[name].append(time.perf_counter() - start)
    summary = min if STATISTIC == "best" else statistics.median
    return {name: summary(values) for name, values in samples.items()}


def round_trip(module: Any, findings: list[Any]) -> Any:
    envelope = module.ScanEnvelope(*CONTEXT, findings)
    return module.ScanEnvelope.from_dict(json.loads(json.dumps(envelope.to_dict())))


def fields(envelope: Any) -> list[Any]:
    return [getattr(envelope, name) for name in native.ScanEnvelope.__dataclass_fields__]


def check_agreement(findings: list[Finding], doc: dict[str, Any]) -> list[str]:
    """Compare native and baseline results once per size; returns the disagreements."""
    problems = []
    if native.compute_integrity_checksum(findings) != reference.compute_integrity_checksum(findings):
        problems.append("compute_integrity_checksum")
    variants: list[dict[str, Any]] = [{}, {"discount_factor": 0.85}]
    for kwargs in variants:
        a = native.ScanEnvelope(*CONTEXT, findings, scanned_at="t", **kwargs)
        b = reference.ScanEnvelope(*CONTEXT, findings, scanned_at="t", **kwargs)
        if fields(a) != fields(b):
            problems.append(f"construction {kwargs}")
        if json.dumps(a.to_dict()) != json.dumps(b.to_dict()):
            problems.append(f"to_dict {kwargs}")
    if fields(native.ScanEnvelope.from_dict(doc)) != fields(reference.ScanEnvelope.from_dict(doc)):
        problems.append("from_dict")
    return problems


MEMORY_PROBE = """
import gc, sys
sys.path.insert(0, sys.argv[1])
import run, reference
findings = run.make_findings(int(sys.argv[2]), False)
module = run.native if sys.argv[3] == "native" else reference
def resident(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))
gc.collect()
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak (VmHWM) starts again from what is resident now
before = resident("VmRSS:")
module.compute_integrity_checksum(findings)
print(resident("VmHWM:") - before)
"""


def checksum_memory(findings: list[Finding]) -> dict[str, Any]:
    """Peak resident memory added by the first checksum call of a fresh process (Linux).

    Counts every allocation, the module's own buffers from the C allocator
    included (tracemalloc would miss those), and the first call of a process
    is the one that allocates them: later calls reuse them.
    """
    canonical = json.dumps(sorted(f.finding_hash for f in findings), separators=(",", ":"))
    result: dict[str, Any] = {"n": len(findings), "canonical_bytes": len(canonical)}
    here = str(Path(__file__).resolve().parent)
    for name in ("native", "baseline"):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, here, str(len(findings)), name],
                             capture_output=True, text=True, check=True).stdout
        peak = int(out.split()[-1])
        result[f"{name}_peak_bytes"] = peak
        result[f"{name}_peak_over_canonical"] = peak / len(canonical)
    return result


def bench_size(n: int, repeat: int, scatter: bool) -> tuple[list[dict[str, Any]], dict[str, Any], list[str]]:
    findings = make_findings(n, scatter)
    stored = native.ScanEnvelope(*CONTEXT, findings).to_dict()
    doc = json.loads(json.dumps(stored))
    problems = check_agreement(findings, doc)

    canonical_bytes = json.dumps(sorted(f.finding_hash for f in findings), separators=(",", ":")).encode()

    def checksum_floor() -> str:
        _ = [f.finding_hash for f in findings]
        return hashlib.sha256(canonical_bytes).hexdigest()

    n_env = native.ScanEnvelope(*CONTEXT, findings)
    b_env = reference.ScanEnvelope(*CONTEXT, findings)
    minimal = minimal_findings(findings)
    n_min_env = native.ScanEnvelope(*CONTEXT, minimal)
    b_min_env = reference.ScanEnvelope(*CONTEXT, minimal)
    min_doc = json.loads(json.dumps(n_min_env.to_dict()))

    rows: list[dict[str, Any]] = []

    def add(operation: str, timings: dict[str, float]) -> None:
        row = {"operation": operation, "n": n, "repeat": repeat,
               "native_s": timings["native"], "baseline_s": timings["baseline"],
               "baseline_over_native": timings["baseline"] / timings["native"]}
        if "floor" in timings:
            row["floor_s"] = timings["floor"]
            row["native_over_floor"] = timings["native"] / timings["floor"]
            # The module's own cost: what each side spends beyond the host
            # work that no implementation can skip.
            # A native time at or below the floor leaves no own cost to compare.
            native_own = timings["native"] - timings["floor"]
            baseline_own = timings["baseline"] - timings["floor"]
            row["own_cost_ratio"] = baseline_own / native_own if native_own > 0 else None
        rows.append(row)

    add("compute_integrity_checksum", time_pair(
        lambda: native.compute_integrity_checksum(findings),
        lambda: reference.compute_integrity_checksum(findings), repeat, checksum_floor))
    add("construct", time_pair(
        lambda: native.ScanEnvelope(*CONTEXT, findings),
        lambda: reference.ScanEnvelope(*CONTEXT, findings), repeat))
    add("construct (discount_factor)", time_pair(
        lambda: native.ScanEnvelope(*CONTEXT, findings, discount_factor=0.85),
        lambda: reference.ScanEnvelope(*CONTEXT, findings, discount_factor=0.85), repeat))
    add("to_dict", time_pair(n_env.to_dict, b_env.to_dict, repeat))
    add("from_dict (verify)", time_pair(
        lambda: native.ScanEnvelope.from_dict(doc, verify=True),
        lambda: reference.ScanEnvelope.from_dict(doc, verify=True), repeat))
    add("round trip", time_pair(
        lambda: round_trip(native, findings), lambda: round_trip(reference, findings), repeat))
    def to_dict_host_floor() -> list[Any]:
        # Each finding's to_dict and remediation, the host calls to_dict makes.
        return [(f.remediation, f.to_dict())[1] for f in minimal]

    def from_dict_host_floor() -> str:
        # Rebuilding the findings, reading their amounts and hashes, hashing.
        rebuilt = [MinimalFinding.from_dict(e) for e in min_doc["findings"]]  # type: ignore[attr-defined]
        _ = [f.estimated_monthly_waste_usd for f in rebuilt]
        _ = [f.finding_hash for f in rebuilt]
        return hashlib.sha256(canonical_bytes).hexdigest()

    add("to_dict (minimal host)", time_pair(n_min_env.to_dict, b_min_env.to_dict, repeat, to_dict_host_floor))
    native.Finding = reference.Finding = MinimalFinding  # type: ignore[misc,assignment]
    try:
        add("from_dict (verify, minimal host)", time_pair(
            lambda: native.ScanEnvelope.from_dict(min_doc, verify=True),
            lambda: reference.ScanEnvelope.from_dict(min_doc, verify=True), repeat, from_dict_host_floor))
    finally:
        native.Finding = reference.Finding = Finding  # type: ignore[misc]

    return rows, checksum_memory(findings), problems


def print_table(rows: list[dict[str, Any]], memory: list[dict[str, Any]]) -> None:
    header = (f"{'operation':<34} {'N':>7} {'native ms':>11} {'baseline ms':>12} {'base/nat':>9} {'nat/floor':>10}"
              f" {'own b/n':>8}")
    print(header)
    print("-" * len(header))
    for row in rows:
        floor = f"{row['native_over_floor']:>10.2f}" if "native_over_floor" in row else f"{'':>10}"
        own = row.get("own_cost_ratio", "")
        own = f"{own:>8.2f}" if isinstance(own, float) else f"{'n/a' if 'own_cost_ratio' in row else '':>8}"
        print(f"{row['operation']:<34} {row['n']:>7} {row['native_s'] * 1e3:>11.3f} "
              f"{row['baseline_s'] * 1e3:>12.3f} {row['baseline_over_native']:>9.2f} {floor} {own}")
    print()
    print("checksum peak extra resident memory, first call of a fresh process")
    print(f"{'N':>7} {'canonical B':>12} {'native peak B':>14} {'x canon':>8} {'baseline peak B':>16} {'x canon':>8}")
    for m in memory:
        print(f"{m['n']:>7} {m['canonical_bytes']:>12} {m['native_peak_bytes']:>14} "
              f"{m['native_peak_over_canonical']:>8.2f} {m['baseline_peak_bytes']:>16} "
              f"{m['baseline_peak_over_canonical']:>8.2f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)),
                        help="comma-separated finding counts (default: %(default)s)")
    parser.add_argument("--repeat", type=int, default=None,
                        help="repeats per measurement (default: 20 / 10 / 6 for 1k / 10k / 100k)")
    parser.add_argument("--json", default=str(Path(__file__).resolve().parent / "results.json"),
                        help="where to write the results (default: benchmarks/results.json)")
    parser.add_argument("--statistic", choices=["best", "median"], default="best",
                        help="report the fastest of the repeats (default) or their median")
    parser.add_argument("--scatter", action="store_true",
                        help="shuffle the finding objects in memory as well as their hashes")
    args = parser.parse_args(argv)
    global STATISTIC
    STATISTIC = args.statistic
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]

    started = time.perf_counter()
    rows: list[dict[str, Any]] = []
    memory: list[dict[str, Any]] = []
    disagreements: dict[str, list[str]] = {}
    for n in sizes:
        repeat = args.repeat or DEFAULT_REPEATS.get(n, 20 if n <= 1_000 else 10 if n <= 10_000 else 6)
        size_rows, size_memory, problems = bench_size(n, repeat, args.scatter)
        rows += size_rows
        memory.append(size_memory)
        if problems:
            disagreements[str(n)] = problems
            print(f"WARNING: native and baseline disagree at N={n}: {', '.join(problems)}", file=sys.stderr)
    elapsed = time.perf_counter() - started

    print_table(rows, memory)
    print(f"\ntotal {elapsed:.1f} s")
    Path(args.json).write_text(json.dumps({
        "python": sys.version,
        "platform": platform.platform(),
        "elapsed_s": elapsed,
        "scatter": args.scatter,
        "results": rows,
        "checksum_memory": memory,
        "disagreements": disagreements,
    }, indent=2) + "\n")
    print(f"results written to {args.json}")
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
