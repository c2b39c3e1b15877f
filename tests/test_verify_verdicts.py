"""One parsed document in, one verdict out."""

from __future__ import annotations

from typing import Any

import pytest

from brimwick.output.verify.documents import Damaged
from brimwick.output.verify.verdicts import check_document


@pytest.mark.parametrize("doc, expected", [
    (Damaged("why"), ("INVALID", "why")),
    ("text", ("INVALID", "not a JSON object (got text)")),
    (None, ("INVALID", "not a JSON object (got null)")),
    ({"integrity_checksum": "", "manifest_hash": None}, ("INVALID", "no integrity checksum stored")),
])
def test_check_document_on_what_is_not_an_envelope(doc: Any, expected: tuple[str, str]) -> None:
    assert check_document(doc) == expected
