"""Random damage: how many one-byte changes `verify` and `verify --strict` still call OK, and where they were.

    python tests/tools/damage.py                    # 2,000 documents, seed 23
    python tests/tools/damage.py --documents 500 --seed 7

Each document is the demo's (`brimwick-manifest demo`, written on one line
as `json.dumps` writes it) with one byte, at a random place, replaced by a
random other printable character (``--bytes any``: any other byte). Every damaged document goes in a file of its own and the
command is run once over all of them, as an operator would run it, with and
without `--strict`. The tool prints the share called OK by each, then, for
every damage `--strict` still calls OK, the field it hit (`findings[].title`
for a title of any finding), so that each can be held against what
docs/verify.md says OK does not cover.
"""

from __future__ import annotations

import argparse
import json
import random
import re
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import Any


SPACE = "(a space between values)"


def pieces(value: Any, path: str = "") -> Iterator[tuple[str, str]]:
    """The text `json.dumps(value)` writes, in pieces, each with the field it belongs to."""
    if isinstance(value, dict):
        yield "{", path or "(document)"
        for i, (key, child) in enumerate(value.items()):
            where = f"{path}.{key}" if path else key
            if i:
                yield from ((",", path), (" ", SPACE))
            yield from ((json.dumps(key), f"{where} (its key)"), (":", path), (" ", SPACE))
            yield from pieces(child, where)
        yield "}", path or "(document)"
    elif isinstance(value, list):
        yield "[", path
        for i, child in enumerate(value):
            if i:
                yield from ((",", path), (" ", SPACE))
            yield from pieces(child, f"{path}[]")
        yield "]", path
    else:
        yield json.dumps(value), path


def field_at(spans: list[tuple[int, str]], offset: int) -> str:
    """The field of the piece that holds byte ``offset``; ``spans`` are (end offset, field) in order."""
    return next(field for end, field in spans if offset < end)


# What a changed byte becomes: any printable ASCII character (the damage a
# reader of the text would not see at once), or any byte at all.
REPLACEMENTS = {"printable": range(0x20, 0x7F), "ascii": range(0x80), "any": range(256)}


def damaged(text: bytes, rng: random.Random, replacements: range) -> tuple[bytes, int]:
    offset = rng.randrange(len(text))
    byte = rng.choice([b for b in replacements if b != text[offset]])
    return text[:offset] + bytes([byte]) + text[offset + 1 :], offset


def failing(files: list[Path], strict: bool) -> set[str]:
    """The names of the files for which the command printed anything but OK."""
    argv = [sys.executable, "-m", "brimwick.output.cli", "verify", "--quiet", *(["--strict"] if strict else []),
            *map(str, files)]
    out = subprocess.run(argv, capture_output=True, check=False).stdout.decode("utf-8", "replace")
    return {match.group(1) for match in re.finditer(r"^(.*?\.json)(?::\d+)?: (?:CORRUPT|INVALID|INCONSISTENT)", out, re.M)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=23)
    parser.add_argument("--bytes", choices=sorted(REPLACEMENTS), default="printable", help="what a changed byte becomes")
    args = parser.parse_args()
    demo = subprocess.run([sys.executable, "-m", "brimwick.output.cli", "demo"], capture_output=True, check=True).stdout
    doc = json.loads(demo)
    text = json.dumps(doc).encode("ascii")
    spans, at = [], 0
    for piece, field in pieces(doc):
        at += len(piece)
        spans.append((at, field))
    assert at == len(text)
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory(prefix="damage-") as work:
        files, offsets = [], {}
        for i in range(args.documents):
            data, offset = damaged(text, rng, REPLACEMENTS[args.bytes])
            path = Path(work) / f"d{i:05d}.json"
            path.write_bytes(data)
            files.append(path)
            offsets[str(path)] = offset
        shares = {}
        for strict in (False, True):
            bad = failing(files, strict)
            shares[strict] = [str(f) for f in files if str(f) not in bad]
    for strict, ok in shares.items():
        print(f"verify{' --strict' if strict else '':9}: {len(ok):5} of {args.documents} OK ({100 * len(ok) / args.documents:.1f} %)")
    hits = Counter(re.sub(r"\[\d+\]", "[]", field_at(spans, offsets[name])) for name in shares[True])
    print("\nwhat the damage --strict calls OK hit:")
    for field, count in hits.most_common():
        print(f"  {count:5}  {field}")


if __name__ == "__main__":
    main()
