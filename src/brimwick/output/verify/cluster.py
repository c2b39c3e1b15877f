"""Tasks on a Dask distributed cluster: how they travel, what a worker runs, and when to give up.

Tasks go out in batches (one scheduler message per batch) with the paths
made absolute, since a worker's working directory is not the command's. A
worker that cannot open an input the command can (asked when the worker's
answer comes) is a fault of the cluster, not a verdict on the document. While nothing finishes, the cluster is
watched: a lost scheduler, or no worker for the whole timeout, ends the run
with ``ClusterFault``; so does a task that raises. Dask reruns the tasks of
a worker that dies; each task's result is fetched once, by the window, so
none is printed twice. Connecting is ``brimwick.output.distributed``'s job.
"""

from __future__ import annotations

import os
import time
from collections.abc import Sequence
from concurrent.futures import CancelledError
from dataclasses import dataclass, replace
from typing import Any

from brimwick.output.distributed import DEFAULT_TIMEOUT, ClusterFault
from brimwick.output.verify.bundles import Bundle, BundleResult, Work
from brimwick.output.verify.sources import is_remote
from brimwick.output.verify.tasks import Options, Task, TaskResult, run_task
from brimwick.output.verify.window import POLL_SECONDS, TASKS_PER_WORKER_IN_FLIGHT, Future, Runner


class TaskFailed(Exception):
    """A task raised on a worker; what it raised, in words (a traceback may not travel back whole)."""


def run_on_worker(work: Work, options: Options) -> TaskResult | BundleResult:
    """What a cluster worker runs: a task (``run_task``), or each task of a bundle, where what one
    raises ends the bundle and takes that task's place (``bundles.run_bundle``)."""
    if not isinstance(work, Bundle):
        return _run_on_worker(work, options)
    results: BundleResult = []
    for task in work.tasks:
        try:
            results.append(_run_on_worker(task, options))
        except TaskFailed as exc:
            results.append(exc)
            break
    return results


def _run_on_worker(task: Task, options: Options) -> TaskResult:
    try:
        return run_task(task, options)
    except Exception as exc:
        raise TaskFailed(f"{type(exc).__name__}: {exc}") from None


def cannot_read(result: TaskResult) -> str | None:
    """Why a worker could not open a task's input at all (its one verdict), or None."""
    if result.lines == 0 and len(result.others) == 1:
        _, line, _, detail = result.others[0]
        if line == 0 and detail.startswith("cannot read"):
            return detail.removeprefix("cannot read: ")
    return None


def readable_here(task: Task) -> bool:
    """Whether the command itself reaches the input now, once the workers could not (a rare path)."""
    path = _local_path(task.source)
    if path is None:
        return _object_here(task.source)
    return os.access(path, os.R_OK) and not os.path.isdir(path)  # never opened: a FIFO would wait for a writer


def _object_here(url: str) -> bool:
    import fsspec.core

    try:
        fs, path = fsspec.core.url_to_fs(url)
        fs.invalidate_cache(path)  # the plan's listing may remember an object since removed
        return bool(fs.isfile(path))  # one request for its metadata, which a store gives only to a reader
    except Exception:  # this process cannot even ask: a verdict on the input, as in a local run
        return False


_LOCAL_SCHEMES = ("file://", "local://")  # fsspec's own filesystem


def _local_path(source: str) -> str | None:
    """The absolute path that a path, or a ``file://`` or ``local://`` URL, names from this working directory
    (as fsspec reads a URL: ``~`` is the home directory); None for an object in storage. Not normalised:
    ``link/..`` is the link target's parent, as the system resolves it, not this directory."""
    if not is_remote(source):
        return os.path.join(os.getcwd(), source)
    for scheme in _LOCAL_SCHEMES:
        if source.startswith(scheme):
            from fsspec.implementations.local import make_path_posix

            return str(make_path_posix(source[len(scheme):]))
    return None


def _travelling_url(url: str) -> str:
    """A URL as it travels: the local file it names (the last of a chain such as
    ``simplecache::file://...``) by its absolute path."""
    chain, joint, target = url.rpartition("::")
    path = _local_path(target)
    return url if path is None else f"{chain}{joint}file://{path}"


def _travelling(work: Work) -> Work:
    """``work`` as it travels: a local input named by its absolute path (a worker's working directory is
    not ours), as a path or as a URL, whichever it was given as."""
    if isinstance(work, Bundle):
        return Bundle(tuple(map(_travelling, work.tasks)))  # type: ignore[arg-type]
    if is_remote(work.source):
        return replace(work, source=_travelling_url(work.source))
    return replace(work, source=os.path.join(os.getcwd(), work.source))


UNFINISHED_PER_THREAD = 8 * TASKS_PER_WORKER_IN_FLIGHT  # unfetched, at most; a batch goes once half are fetched


def dask_runner(client: Any, options: Options, timeout: float | None = None) -> Runner:
    """How the window runs tasks on the cluster behind ``client``: between eight and sixteen per worker thread
    unfetched, submitted eight per thread at once and fetched up to eight per thread together (fewer where
    the next batch would wait, or once the one in its turn has ended and no other follows at once). Each
    message to the scheduler and each round trip costs the command and the scheduler about as much as a
    task itself (the scheduler keeps what does not fit on the workers in its own queue)."""
    timeout = DEFAULT_TIMEOUT if timeout is None else timeout
    cluster = _Cluster(client, options, timeout)
    threads = cluster.threads()
    half = UNFINISHED_PER_THREAD // 2 * threads
    return Runner(cluster.submit_many, running=UNFINISHED_PER_THREAD * threads, fetch=cluster.fetch,
                  watch=cluster.watch, cancel_many=cluster.cancel_many, batch=half, fetch_many=cluster.fetch_many,
                  per_worker=UNFINISHED_PER_THREAD, fetch_together=half, bundles=True)


def _where(task: Task) -> str:
    if task.stop is None and not task.start:
        return task.source
    return f"{task.source}, bytes {task.start}-{task.stop if task.stop is not None else 'end'}"


@dataclass
class _Cluster:
    client: Any
    options: Options
    timeout: float
    idle_since: float | None = None  # when the cluster was first seen without a worker
    address: str = ""  # the scheduler's, noted at the start: a client that gave up no longer knows it

    def __post_init__(self) -> None:
        scheduler = getattr(self.client, "scheduler", None)
        self.address = str(getattr(scheduler, "address", "") or "its address")

    def threads(self) -> int:
        """Worker threads on the cluster, waiting up to the timeout for a first worker."""
        threads: int = sum(self._call(self.client.nthreads).values())
        if threads == 0:
            try:
                self.client.wait_for_workers(1, timeout=self.timeout)
            except TimeoutError:
                raise ClusterFault(f"no Dask worker joined the scheduler within {self.timeout:g} s") from None
            threads = sum(self._call(self.client.nthreads).values())
        return max(1, threads)

    def submit_many(self, work: Sequence[Work]) -> Sequence[Future]:
        travelling = [_travelling(item) for item in work]
        futures: Sequence[Future] = self._call(self.client.map, run_on_worker, travelling, [self.options] * len(work),
                                               pure=False)
        return futures

    def fetch(self, work: Work, future: Future) -> TaskResult | BundleResult:
        try:
            result = self.client.gather(future, direct=True)
        except Exception as exc:
            if isinstance(work, Bundle) and not isinstance(exc, CancelledError) and not self._lost():
                return self._one_by_one(work)  # its workers kept dying: which input, if any, is to blame?
            raise self._fault(work, exc) from None
        return self._settled(work, result)

    def _one_by_one(self, bundle: Bundle) -> BundleResult:
        """A bundle whose Dask task failed as a whole (its workers kept dying), its inputs run again one at a
        time, each a task of its own and each result fetched before the next starts: those that can be
        verified are, and the fault names its own input, in its turn. A rare path: speed is no concern."""
        results: BundleResult = []
        for task in bundle.tasks:
            future = None
            try:
                [future] = self.submit_many([task])
                results.append(self._waited(task, future))
            except BaseException as exc:  # a stop, or the cluster lost meanwhile: nothing is left running
                if future is not None:
                    self.cancel_many([future])
                if not isinstance(exc, Exception):
                    raise
                results.append(exc)  # in this input's turn: the inputs verified before it keep their verdicts
            if isinstance(results[-1], Exception):
                break
        return results

    def _waited(self, task: Task, future: Any) -> TaskResult | Exception:
        """A task's result, or its fault, watching the cluster meanwhile as the window does (a result
        whose worker died is made again, and that needs a worker)."""
        while True:
            self.watch()
            try:
                value = future.result(timeout=POLL_SECONDS)
            except TimeoutError:
                continue
            except Exception as exc:
                return self._fault(task, exc)
            return self._checked(task, value)

    def _settled(self, work: Work, result: Any) -> TaskResult | BundleResult:
        """A fetched result, with the cluster's faults in it (``_checked``): a bundle's in its task's place,
        raised in that task's turn; a task's raised now."""
        if isinstance(work, Bundle):
            return [self._checked(task, each) for task, each in zip(work.tasks, result)]
        checked = self._checked(work, result)
        if isinstance(checked, Exception):
            raise checked
        return checked

    def _checked(self, task: Task, result: TaskResult | Exception) -> TaskResult | Exception:
        """A task's result, or the cluster's fault: what the task raised, or an input that the workers could
        not open and this process can. This process looks now, once the workers have, so that an input
        removed during the run is a verdict on it, as in a local run."""
        if isinstance(result, Exception):
            return self._fault(task, result)
        why = cannot_read(result)
        if why is not None and readable_here(task):
            return ClusterFault(f"the workers cannot read {_travelling(task).source} ({why})")  # type: ignore[union-attr]
        return result

    def _fault(self, work: Work, exc: Exception) -> ClusterFault:
        """The cluster's fault for a task (or a bundle whose scheduler is gone) that did not give a result."""
        if isinstance(exc, CancelledError) or self._lost():
            return self._gone()
        assert isinstance(work, Task)  # a bundle that failed otherwise runs again one input at a time
        if isinstance(exc, TaskFailed):
            return ClusterFault(f"a task failed on the cluster ({_where(work)}): {exc}")
        # KilledWorker: the workers running it kept dying
        return ClusterFault(f"a task failed on the cluster ({_where(work)}): {type(exc).__name__}: {exc}")

    def fetch_many(self, tasks: Sequence[Work], futures: Sequence[Future]) -> list[TaskResult | BundleResult | Exception]:
        """The results of the finished tasks in one round trip; any other (it raised, it was cancelled, its
        worker died meanwhile) fetched on its own, so that it fails as ``fetch`` says."""
        finished = [at for at, future in enumerate(futures) if getattr(future, "status", None) == "finished"]
        gathered: dict[int, Any] = {}
        if len(finished) > 1:
            try:
                gathered = dict(zip(finished, self.client.gather([futures[at] for at in finished], direct=True),
                                    strict=True))
            except Exception:  # one of them failed after all: each is fetched on its own
                gathered = {}
        results: list[TaskResult | BundleResult | Exception] = []
        for at, (task, future) in enumerate(zip(tasks, futures, strict=True)):
            try:
                results.append(self._settled(task, gathered[at]) if at in gathered else self.fetch(task, future))
            except Exception as exc:
                results.append(exc)
        return results

    def watch(self) -> None:
        """Give up on a scheduler that is gone and on a cluster left without workers."""
        if self._lost():
            raise self._gone()
        workers = self._call(self.client.scheduler_info, n_workers=0).get("n_workers", 0)
        now = time.monotonic()
        if workers:
            self.idle_since = None
        elif self.idle_since is None:
            self.idle_since = now
        elif now - self.idle_since > self.timeout:
            raise ClusterFault(f"no Dask worker left on the cluster for {self.timeout:g} s")

    def cancel_many(self, futures: Sequence[Future]) -> None:
        if self.client.status == "running":
            try:
                self.client.cancel(list(futures))
            except Exception:  # the cluster is going away: nothing is left to cancel
                pass

    def _call(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """A call to the scheduler, its failures told as the cluster's."""
        try:
            return method(*args, **kwargs)
        except (OSError, TimeoutError, CancelledError) as exc:
            raise ClusterFault(f"lost the Dask scheduler at {self.address}: {exc or type(exc).__name__}") from None
        except Exception:
            if not self._lost():
                raise
            # A client that gave up reconnecting refuses every call (its own ClosedClientError).
            raise self._gone() from None

    def _lost(self) -> bool:
        return self.client.status not in ("running", "connecting")

    def _gone(self) -> ClusterFault:
        return ClusterFault(f"lost the Dask scheduler at {self.address} during the run")
