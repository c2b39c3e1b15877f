"""Sizes as operators write them: ``1048576``, ``512K``, ``64MiB``, ``10KB``, ``1G``.

As GNU tools read them: a bare unit or one with ``iB`` counts in powers of
1024 (``K`` = ``KiB`` = 1024 bytes), one with ``B`` alone in powers of 1000
(``KB`` = 1000 bytes); letters in any case, a ``B`` (bytes) on its own
allowed.
"""

from __future__ import annotations

import re

_POWERS = {"": 0, "k": 1, "m": 2, "g": 3, "t": 4}
_SIZE = re.compile(r"\s*(\d+)\s*(?:([kmgt])(i?)(b?)|(b?))\s*", re.IGNORECASE | re.ASCII)  # no ١٠ nor the Kelvin sign
EXAMPLES = "1048576, 512K, 10KB, 64MiB or 1G"


def parse_size(text: str) -> int:
    """The number of bytes ``text`` says; ValueError when it is not a size."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size such as {EXAMPLES}: {text!r}")
    number, unit, binary, byte = int(match.group(1)), (match.group(2) or "").lower(), match.group(3), match.group(4)
    base = 1000 if unit and byte and not binary else 1024
    return int(number * base ** _POWERS[unit])
