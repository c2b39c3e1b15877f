"""Reach a Dask distributed cluster for ``brimwick-manifest verify --scheduler``.

Needs the ``dask`` extra (``pip install "brimwick-manifest[dask]"``). Callers
that already hold a ``distributed.Client`` use
``brimwick.output.verification.verify_on_dask(client, paths)`` directly.

The address is checked before anything is sent, and whatever answers there
must say it is a scheduler within the timeout: nothing listening is known at
once, and anything else (a web server, a worker, a dashboard port) within
the timeout, never a hang. The client library's own logging and warnings
are silenced for the command; its failures reach the user as one line.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

DEFAULT_TIMEOUT = 30.0  # seconds to wait on the cluster: to connect, for a worker, for a lost scheduler
CONNECT_SECONDS = DEFAULT_TIMEOUT
CLOSE_SECONDS = 5
SCHEMES = ("tcp", "tls", "ws", "wss")


class SchedulerUnavailable(Exception):
    """The Dask cluster cannot be used: the extra is not installed or the scheduler cannot be reached."""


class ClusterFault(SchedulerUnavailable):
    """The cluster failed during a run: the scheduler was lost, no worker was left, a task raised."""


@contextmanager
def connect(address: str, timeout: float | None = None) -> Iterator[Any]:
    """A client of the scheduler at ``address``, closed on leaving; SchedulerUnavailable within
    ``timeout`` seconds when there is none to be had."""
    timeout = CONNECT_SECONDS if timeout is None else timeout
    try:
        from distributed import Client
    except ImportError:
        raise SchedulerUnavailable(
            'verifying on a Dask cluster needs the dask extra: pip install "brimwick-manifest[dask]"') from None
    quiet()
    address = checked_address(address)
    _probe(address, timeout)
    try:
        client = Client(address, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as exc:
        raise SchedulerUnavailable(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    try:
        yield client
    finally:
        try:
            client.close(timeout=CLOSE_SECONDS)
        except Exception:  # a client whose scheduler is gone has nothing left to close
            pass


def checked_address(address: str) -> str:
    """``address`` with its scheme (``tcp://`` where none is given), or SchedulerUnavailable."""
    from distributed.comm.addressing import parse_address, parse_host_port, unparse_address

    try:
        scheme, location = parse_address(address.strip())
        host, port = parse_host_port(location)
        if scheme not in SCHEMES or not host or not 0 < int(port) < 65536:
            raise ValueError
    except ValueError:
        raise SchedulerUnavailable(f"not a Dask scheduler address: {address!r} (expected tcp://HOST:PORT)") from None
    return str(unparse_address(scheme, location))


def _probe(address: str, timeout: float) -> None:
    """Raise SchedulerUnavailable unless a Dask scheduler answers at ``address`` within ``timeout``."""
    import asyncio  # here, like distributed itself: every local run imports this module
    import socket

    from distributed.comm.addressing import get_address_host_port

    try:
        socket.create_connection(get_address_host_port(address), timeout=timeout).close()
    except OSError as exc:
        raise SchedulerUnavailable(f"cannot reach the Dask scheduler at {address}: {exc.strerror or exc}") from None
    try:
        info = asyncio.run(asyncio.wait_for(_identity(address, timeout), timeout))
    except (OSError, TimeoutError, ValueError, TypeError) as exc:
        raise SchedulerUnavailable(f"no Dask scheduler answered at {address} within {timeout:g} s"
                                   f"{': ' + str(exc) if str(exc) else ''}") from None
    kind = info.get("type") if isinstance(info, dict) else None
    if kind != "Scheduler":
        raise SchedulerUnavailable(f"{address} is not a Dask scheduler (it answers as {kind or 'something else'})")


async def _identity(address: str, timeout: float) -> Any:
    from distributed.comm import connect as comm_connect

    comm = await comm_connect(address, timeout=timeout)
    try:
        await comm.write({"op": "identity", "reply": True})
        return await comm.read()
    finally:
        comm.abort()


def quiet() -> None:
    """No log lines or warnings from the client library: the command tells its failures itself."""
    import logging
    import warnings

    for name in [*logging.root.manager.loggerDict, "distributed", "tornado"]:
        if name.split(".")[0] in ("distributed", "tornado"):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)
    warnings.filterwarnings("ignore", module=r"distributed(\.|$)")
