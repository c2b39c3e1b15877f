"""Reach a Dask distributed cluster for ``brimwick-manifest verify --scheduler``.

Needs the ``dask`` extra (``pip install "brimwick-manifest[dask]"``). Callers
that already hold a ``distributed.Client`` use
``brimwick.output.verification.verify_on_dask(client, paths)`` directly.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

CONNECT_SECONDS = 30


class SchedulerUnavailable(Exception):
    """The Dask cluster cannot be used: the extra is not installed or the scheduler cannot be reached."""


@contextmanager
def connect(address: str, timeout: float | None = None) -> Iterator[Any]:
    """A client of the scheduler at ``address``, closed on leaving."""
    timeout = CONNECT_SECONDS if timeout is None else timeout
    try:
        from distributed import Client
    except ImportError:
        raise SchedulerUnavailable(
            'verifying on a Dask cluster needs the dask extra: pip install "brimwick-manifest[dask]"') from None
    try:
        client = Client(address, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as exc:
        raise SchedulerUnavailable(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    try:
        yield client
    finally:
        client.close()
