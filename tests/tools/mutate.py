"""Mutation testing: how many small, behaviour-changing edits of the module and the command line does the suite catch?

    python tests/tools/mutate.py [--base REF] [--count N] [--seed S] [PATH ...]

Works on a private copy, never on this checkout: clones the committed HEAD into a temporary folder, makes a virtual
environment there with the test tools and universalmutator, and builds the extension into the copy's own build folder.
Mutants come from universalmutator's regex rules (its C++ rules for src/output/manifest/, its Python rules for the
package), for the given PATHs or else for the source files changed since --base. Python mutants that do not parse
or only touch docstrings and comments, and C++ mutants of comment or preprocessor lines, are dropped; the rest are
shuffled with a fixed seed and run in that order until --count of them have compiled. Each is written into the
copy, the extension rebuilt incrementally, and the suite run with `pytest -x -p no:randomly --hypothesis-seed=0`. A mutant is killed when the
suite fails or times out, survives when it passes, and is "not compiled" when the build fails. Prints the score and
every survivor's diff, and writes the same as JSON with --json. Slow: not part of CI.
"""

from __future__ import annotations

import argparse
import ast
import difflib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import tomllib
import warnings
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CPP_DIR = "src/output/manifest/"
PY_DIR = "src/brimwick/"
TOOLS = ["universalmutator==1.14.1", "cmake", "ninja"]
PYTEST = ["-x", "-q", "-p", "no:randomly", "-p", "no:cacheprovider", "--hypothesis-seed=0"]


@dataclass
class Mutant:
    path: str  # relative to the repository root
    number: int
    diff: str
    verdict: str = ""  # killed, survived, not compiled
    seconds: float = 0.0


def run(cmd: list[str], cwd: Path, env: dict[str, str] | None = None, timeout: float | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def checked(cmd: list[str], cwd: Path, env: dict[str, str] | None = None) -> str:
    result = run(cmd, cwd, env)
    if result.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{result.stdout[-4000:]}{result.stderr[-4000:]}")
    return result.stdout


def mutable(path: str) -> bool:
    return (path.startswith(CPP_DIR) and path.endswith((".cpp", ".hpp"))) or (path.startswith(PY_DIR) and path.endswith(".py"))


def changed_files(base: str) -> list[str]:
    names = checked(["git", "diff", "--name-only", base, "HEAD"], ROOT).split()
    return sorted(name for name in names if mutable(name) and (ROOT / name).exists())


def without_docstrings(source: str) -> str:
    tree = ast.parse(source)
    for node in ast.walk(tree):
        body = getattr(node, "body", None)
        if isinstance(body, list) and body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
                and isinstance(body[0].value.value, str):
            body[0] = ast.Pass()
    return ast.dump(tree)


CPP_SKIPPED = re.compile(r"^\s*(//|/\*|\*|#)")


def code_part(line: str) -> str:
    return re.sub(r"//[^\"]*$", "", line).strip()


def meaningful(path: str, original: str, mutated: str) -> bool:
    """Drops mutants that cannot change behaviour or cannot run: comment, docstring and preprocessor edits, and
    Python that does not parse. (A C++ mutant that does not compile is only found by compiling it.)"""
    if path.endswith(".py"):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SyntaxWarning)
                compile(mutated, path, "exec")  # also refuses what parses but cannot compile, such as a stray break
            return without_docstrings(mutated) != without_docstrings(original)
        except SyntaxError:
            return False
    before, after = original.splitlines(), mutated.splitlines()
    matcher = difflib.SequenceMatcher(a=before, b=after, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            continue
        old, new = before[i1:i2], after[j1:j2]
        if any(CPP_SKIPPED.match(line) for line in old):
            continue
        if [code_part(line) for line in old] != [code_part(line) for line in new]:
            return True
    return False


def generate(copy: Path, venv_bin: Path, paths: list[str], work: Path) -> tuple[list[Mutant], dict[str, int]]:
    mutants, stats = [], {"generated": 0, "dropped": 0}
    for path in paths:
        out = work / "mutants" / path.replace("/", "__")
        out.mkdir(parents=True)
        language = "python" if path.endswith(".py") else "cpp"
        checked([str(venv_bin / "mutate"), str(copy / path), language, "--noCheck", "--mutantDir", str(out)], work)
        original = (copy / path).read_text()
        for file in sorted(out.iterdir(), key=lambda f: int(f.name.split(".")[-2])):
            text = file.read_text()
            stats["generated"] += 1
            if not meaningful(path, original, text):
                stats["dropped"] += 1
                continue
            diff = "".join(difflib.unified_diff(original.splitlines(True), text.splitlines(True), f"a/{path}", f"b/{path}", n=1))
            mutants.append(Mutant(path, int(file.name.split(".")[-2]), diff))
    return mutants, stats


class Copy:
    """The private clone: its virtual environment, its build and its test runs."""

    def __init__(self, work: Path, jobs: int, sanitize: bool = False) -> None:
        self.work, self.jobs = work, jobs
        self.root = work / "repo"
        checked(["git", "clone", "--quiet", "--no-hardlinks", str(ROOT), str(self.root)], work)
        base_python = getattr(sys, "_base_executable", sys.executable)
        checked([base_python, "-m", "venv", str(work / "venv")], work)
        self.bin = work / "venv" / "bin"
        project = tomllib.loads((self.root / "pyproject.toml").read_text())["project"]
        extras = project.get("optional-dependencies", {})
        needs = project.get("dependencies", []) + extras.get("test", []) + extras.get("dask", [])  # the cluster tests too
        checked([str(self.bin / "python"), "-m", "pip", "install", "--quiet", *TOOLS, *needs], work)
        self.build_dir = self.root / "build" / "mutation"
        checked([str(self.bin / "cmake"), "-S", str(self.root), "-B", str(self.build_dir), "-G", "Ninja",
                 f"-DCMAKE_MAKE_PROGRAM={self.bin / 'ninja'}", f"-DPython_EXECUTABLE={self.bin / 'python'}",
                 "-DCMAKE_BUILD_TYPE=Release", f"-DMANIFEST_SANITIZE={'ON' if sanitize else 'OFF'}"], work)
        if not self.build():
            sys.exit("the unmutated copy does not build")
        # The package is imported from the copy's sources, the extension from its build folder.
        built = next(self.build_dir.glob("manifest*.so"))
        (self.root / "src/brimwick/output" / built.name).symlink_to(built)
        self.env = {**os.environ, "PYTHONPATH": str(self.root / "src"), "PYTHONDONTWRITEBYTECODE": "1",
                    "PATH": f"{self.bin}{os.pathsep}{os.environ.get('PATH', '')}"}
        self.env.pop("VIRTUAL_ENV", None)
        self.pytest = list(PYTEST)
        if sanitize:  # as tests/tools/sanitize.sh runs the suite
            runtimes = [checked(["g++", f"-print-file-name={name}"], work).strip() for name in ("libasan.so", "libubsan.so")]
            self.env.update({"LD_PRELOAD": ":".join(runtimes), "PYTHONMALLOC": "malloc", "MANIFEST_SANITIZED_BUILD": "1",
                             "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:strict_string_checks=1",
                             "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"})
            self.pytest.append("--ignore=tests/test_reliability.py")

    def build(self) -> bool:
        return run([str(self.bin / "cmake"), "--build", str(self.build_dir), "--parallel", str(self.jobs)], self.work).returncode == 0

    def suite(self, timeout: float) -> subprocess.CompletedProcess[str]:
        shutil.rmtree(self.root / ".hypothesis", ignore_errors=True)  # no examples carried over from an earlier mutant
        return run([str(self.bin / "python"), "-m", "pytest", *self.pytest], self.root, self.env, timeout)


def try_mutant(copy: Copy, mutant: Mutant, mutant_text: str, timeout: float) -> None:
    target = copy.root / mutant.path
    original = target.read_bytes()
    start = time.monotonic()
    try:
        target.write_text(mutant_text)
        if not copy.build():
            mutant.verdict = "not compiled"
        else:
            try:
                mutant.verdict = "survived" if copy.suite(timeout).returncode == 0 else "killed"
            except subprocess.TimeoutExpired:
                mutant.verdict = "killed"  # a hang is caught too
    finally:
        target.write_bytes(original)  # rebuilt before the next run
        mutant.seconds = round(time.monotonic() - start, 1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", help="source files to mutate, relative to the repository root")
    parser.add_argument("--base", default="HEAD~1", help="without PATHs, mutate the files changed since REF (default HEAD~1)")
    parser.add_argument("--count", type=int, default=40, help="mutants that compile to run (default 40)")
    parser.add_argument("--seed", type=int, default=0, help="sampling seed (default 0)")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    parser.add_argument("--json", type=Path, help="also write the results here")
    parser.add_argument("--keep", action="store_true", help="keep the temporary copy")
    parser.add_argument("--sanitize", action="store_true",
                        help="build with AddressSanitizer and UndefinedBehaviorSanitizer, so that a mutant that reads or writes "
                             "out of bounds is killed even where no result changes")
    parser.add_argument("--only", default="", help="run just these mutants, as PATH#NUMBER[,PATH#NUMBER...] from a report")
    args = parser.parse_args()
    paths = sorted(set(args.paths)) or changed_files(args.base)
    if not paths or not all(mutable(p) and (ROOT / p).is_file() for p in paths):
        parser.error(f"nothing to mutate: {paths or 'no changed source files'} (C++ under {CPP_DIR}, Python under {PY_DIR})")
    work = Path(tempfile.mkdtemp(prefix="brimwick-mutation-"))
    try:
        print(f"copy in {work}; mutating {', '.join(paths)}", flush=True)
        copy = Copy(work, args.jobs, args.sanitize)
        start = time.monotonic()
        baseline = copy.suite(timeout=1800)
        if baseline.returncode != 0:
            sys.exit(f"the suite fails on the unmutated copy:\n{baseline.stdout[-6000:]}{baseline.stderr[-2000:]}")
        timeout = max(60.0, 3 * (time.monotonic() - start))
        pool, stats = generate(copy.root, copy.bin, paths, work)
        random.Random(args.seed).shuffle(pool)
        if args.only:
            wanted = set(args.only.split(","))
            pool = [m for m in pool if f"{m.path}#{m.number}" in wanted]
        print(f"{stats['generated']} mutants generated, {stats['dropped']} dropped (no-op or unparsable), {len(pool)} left; "
              f"running {args.count} that compile; suite timeout {timeout:.0f}s", flush=True)
        sample: list[Mutant] = []
        for mutant in pool:  # in the seeded order, until enough have compiled
            if sum(m.verdict != "not compiled" for m in sample) >= args.count:
                break
            name = f"{Path(mutant.path).stem}.mutant.{mutant.number}{Path(mutant.path).suffix}"
            try_mutant(copy, mutant, (work / "mutants" / mutant.path.replace("/", "__") / name).read_text(), timeout)
            sample.append(mutant)
            print(f"[{len(sample)}] {mutant.path} #{mutant.number}: {mutant.verdict} ({mutant.seconds}s)", flush=True)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    verdicts = {v: [m for m in sample if m.verdict == v] for v in ("killed", "survived", "not compiled")}
    compiled = len(verdicts["killed"]) + len(verdicts["survived"])
    score = 100.0 * len(verdicts["killed"]) / compiled if compiled else 0.0
    for mutant in verdicts["survived"]:
        print(f"\nSURVIVED {mutant.path} #{mutant.number}\n{mutant.diff}", end="")
    print(f"\n{len(verdicts['killed'])} killed, {len(verdicts['survived'])} survived, "
          f"{len(verdicts['not compiled'])} not compiled: {score:.1f}% of compiled mutants killed")
    if args.json:
        args.json.write_text(json.dumps({"paths": paths, "seed": args.seed, "stats": stats, "score": round(score, 1),
                                         "mutants": [asdict(m) for m in sample]}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
