"""Participants as tasks on an existing Dask distributed cluster: the
client (connected while the dataset is indexed), one task per participant
watched for a lost scheduler and for a cluster left without workers, and
what runs on the workers.

For ``engines.start`` (:class:`DaskEngine`), the Slurm engine (which runs
its tasks the same way) and Dask workers: started with ``--preload
tavni.mt_map.bids.engines.dask`` they import what a participant needs as
they start (:func:`dask_setup`).
"""

import contextlib
import logging
import threading
import time
from collections.abc import Iterator, Sequence

from tavni.mt_map.bids.base import BidsError, Job, Outcome, one_line
from tavni.mt_map.bids.engines import ClusterLost, Engine
from tavni.mt_map.bids.engines.local import allocator_for_fits, preload

__all__ = [
    "PARTICIPANT_RESOURCE",
    "DaskConnection",
    "DaskEngine",
    "dask_setup",
    "on_worker",
    "result_of",
    "task_threads",
]

_log = logging.getLogger("tavni.mt_map.bids")

PARTICIPANT_RESOURCE = "participants"
"""The Dask worker resource that bounds the participants a worker runs at
once; each of them then takes that share of the worker's threads."""


class DaskEngine(Engine):
    """One task per participant on the Dask scheduler at ``address``,
    connected from the start (:class:`DaskConnection`).

    Parameters
    ----------
    address : str
        The scheduler's address.
    timeout : float
        Seconds to wait while no worker is alive (before the first task or
        at any time later).
    """

    def __init__(self, address: str, timeout: float):
        self.connection = DaskConnection(address, timeout)

    def outcomes(self, jobs: Sequence[Job]) -> Iterator[Outcome]:
        """Each participant's outcome as it finishes (see ``Engine.outcomes``)."""
        connection = self.connection
        client = connection.client()
        tasks = Tasks(client, connection.address, connection.timeout)
        yield from tasks.outcomes(jobs)

    def close(self) -> None:
        """Closes the client; twice is once."""
        self.connection.close()


def result_of(future, job: Job) -> Outcome:
    """The outcome of a finished future.

    Parameters
    ----------
    future : concurrent.futures.Future or distributed.Future
    job : Job
        The job it ran.

    Returns
    -------
    Outcome
        A worker that died or a task that raised becomes a failed one.
    """
    try:
        return future.result()
    except Exception as error:
        return Outcome(job.participant, "failed", f"{type(error).__name__}: {one_line(error)}")


def on_worker(job: Job) -> Outcome:
    """Runs on a Dask worker: the job with the worker's share of cores,
    mapped into its work folder and not committed (the run does that).

    Parameters
    ----------
    job : Job

    Returns
    -------
    Outcome
    """
    from distributed import get_worker

    from tavni.mt_map.bids.participant import process_participant

    state = get_worker().state
    if job.threads is None:  # on Slurm: the job's cores, set already
        job.threads = task_threads(state.nthreads, state.total_resources)
    with allocator_for_fits():
        return process_participant(job)


def task_threads(nthreads: int, resources: dict | None = None) -> int:
    """The fit threads of one participant on a Dask worker.

    A worker runs as many tasks at once as it has threads (``nthreads``,
    its share of its host's cores), or as many participants as its
    :data:`PARTICIPANT_RESOURCE` when it declares one; each participant
    takes an equal share of the threads.

    Parameters
    ----------
    nthreads : int
        The worker's threads.
    resources : dict, optional
        The worker's resources.

    Returns
    -------
    int
        At least 1.
    """
    at_once = (resources or {}).get(PARTICIPANT_RESOURCE) or nthreads
    return max(1, int(nthreads // max(1, at_once)))


def dask_setup(worker) -> None:
    """Prepares a Dask worker started with ``--preload tavni.mt_map.bids.engines.dask``
    (``dask worker``, or ``preload=`` of a ``LocalCluster``): it imports what a
    participant needs (``local.PRELOAD``) as it starts, before it joins its
    scheduler.

    Without it each worker imports them in the first run it takes part in,
    about a second of CPU beside that run's indexing; a worker that stays up
    for many runs pays that once either way.

    Parameters
    ----------
    worker : distributed.Worker
        The worker starting (Dask's preload hook passes it).
    """
    preload()


class DaskConnection:
    """A client of the Dask scheduler at ``address``, connected in a thread
    of its own while the dataset is indexed.

    Once connected, each worker there imports what a participant needs
    (``local.preload``) in a task of its own, so that its first participant
    does not wait for the imports after the index. A worker's imports take
    about a second, as long as the index of a small cohort.

    Parameters
    ----------
    address : str
        The scheduler's address.
    timeout : float
        Seconds to wait while no worker is alive (``--dask-timeout``);
        the connection itself waits at most 30 s of them.
    """

    def __init__(self, address, timeout):
        self.address, self.timeout = address, timeout
        self._client, self._error, self._warming = None, None, []
        self._closed, self._lock = False, threading.Lock()
        self._thread = None
        if not timeout > 0:
            self._error = BidsError(f"--dask-timeout must be positive (got {timeout})")
            return
        # Imported here, not in the thread: an import there holds the
        # interpreter's lock against the index for as long as both run, and
        # the workers' own imports would start only once both were done.
        try:
            from distributed import Client
        except ImportError:
            self._error = BidsError(
                "--dask-scheduler needs dask.distributed (pip install 'tavni-mt-map[dask]')"
            )
            return
        self._thread = threading.Thread(
            target=self._connect, args=(Client,), name="mt-map-dask", daemon=True
        )
        self._thread.start()

    def _connect(self, Client):  # noqa: N803 - the class, passed in
        try:
            client = Client(self.address, timeout=min(30, self.timeout))
        except Exception as error:
            self._error = BidsError(
                f"cannot reach the Dask scheduler at {self.address}: {one_line(error)}"
            )
            return
        with self._lock:
            if self._closed:  # given up while connecting
                close_quietly(client)
                return
            self._client = client
            with contextlib.suppress(Exception):  # no workers yet: none to prepare
                workers = client.scheduler_info(n_workers=-1)["workers"]
                self._warming = [
                    client.submit(
                        preload, workers=[w], allow_other_workers=False, pure=False, priority=1
                    )
                    for w in workers
                ]

    def client(self):
        """The connected client, once it is.

        Returns
        -------
        distributed.Client

        Raises
        ------
        BidsError
            No dask.distributed, no scheduler at the address, or a timeout
            that is not positive.
        """
        if self._thread is not None:
            self._thread.join()
        if self._error is not None:
            raise self._error
        return self._client

    def close(self):
        """Closes the client (at once, or when it connects); twice is once."""
        with self._lock:
            self._closed, client, self._client = True, self._client, None
            warming, self._warming = self._warming, []
        if client is not None:
            with contextlib.suppress(Exception):
                client.cancel(warming)
            close_quietly(client)


class Tasks:
    """One Dask task per participant, watched for a lost scheduler and for
    a cluster left without workers.

    Parameters
    ----------
    client : distributed.Client
    address : str
        The scheduler's, or what the cluster is called, for the messages.
    timeout : float
        Seconds to wait while no worker is alive.
    watch : optional
        On Slurm, the App's jobs (``slurm._SlurmJobs``): one participant
        given to each free worker.
    """

    POLL = 0.5  # s between looks at the scheduler and the workers

    def __init__(self, client, address: str, timeout: float, watch=None):
        self.client, self.address = client, address
        self.timeout, self.watch = timeout, watch

    def outcomes(self, jobs: Sequence[Job]) -> Iterator[Outcome]:
        """Each participant's outcome as it finishes.

        Parameters
        ----------
        jobs : sequence of Job

        Yields
        ------
        Outcome

        Raises
        ------
        BidsError
            No worker within the timeout, or the scheduler lost before the
            first task.
        ClusterLost
            The scheduler lost, or every worker for the timeout, with a
            participant failed for it.
        """
        self._wait_for_workers()
        # Workers that declare how many participants they take at once get
        # no more; then the others get none.
        declared = any(
            PARTICIPANT_RESOURCE in (w.get("resources") or {})
            for w in self.client.scheduler_info(n_workers=-1)["workers"].values()
        )
        resources = {PARTICIPANT_RESOURCE: 1} if declared else None
        # On Slurm each participant goes to a worker of its own once one is
        # free (self.watch): the death of a job then ends only its own.
        queue = list(jobs) if self.watch is not None else []
        # Participants start in the order given (Dask's own order among
        # tasks that wait for a worker is not the order submitted).
        pending = {}
        for order, job in enumerate([] if queue else jobs):
            pending[self._submit(job, resources=resources, priority=-order)] = job
        outcomes = []
        alive = time.monotonic()  # when a worker was last seen
        while pending or queue:
            lost, finished = self._watch(pending)
            if lost is None and self.watch is not None:
                finished += self._ended_jobs(pending)
            for outcome in finished:
                outcomes.append(outcome)
                yield outcome
            waiting = False
            if lost is None and self.watch is not None:
                self._give_free_workers(pending, queue)
                waiting = self.watch.queued()
            if lost is None:
                if waiting or self._workers():
                    alive = time.monotonic()
                elif time.monotonic() - alive > self.timeout:
                    lost = f"no Dask worker at the scheduler {self.address} for {self.timeout:g} s (--dask-timeout)"
            if lost is not None:
                yield from self._give_up(lost, pending, outcomes, queue)
                return

    def _wait_for_workers(self):
        try:
            if self.watch is None:
                self.client.wait_for_workers(1, timeout=self.timeout)
        except Exception as error:
            if self._connected():
                raise BidsError(
                    f"no Dask worker joined the scheduler at {self.address} within "
                    f"{self.timeout:g} s (--dask-timeout)"
                ) from None
            raise BidsError(
                f"lost the Dask scheduler at {self.address} ({one_line(error)})"
            ) from None

    def _ended_jobs(self, pending):
        """On Slurm: the outcomes of the participants whose job ended, failed."""
        failed = []
        for future, why in self.watch.ended(pending):
            job = pending.pop(future)
            self.client.cancel([future])
            failed.append(Outcome(job.participant, "failed", why))
        return failed

    def _give_free_workers(self, pending, queue):
        """On Slurm: the next participants to the workers without one."""
        for worker in self.watch.free(pending, len(queue)):
            job = queue.pop(0)
            future = self._submit(job, workers=[worker], allow_other_workers=False)
            pending[future] = job
            self.watch.submitted(future, worker)

    def _submit(self, job, **where):
        key = f"mt-map-sub-{job.participant}-{time.time_ns()}"
        return self.client.submit(on_worker, job, key=key, pure=False, **where)

    def _watch(self, pending):
        """Takes in the tasks that end within a poll: what was lost, if
        anything, and the outcomes of those ended.
        """
        import distributed

        try:
            if not pending:
                time.sleep(self.POLL)
            done, _ = distributed.wait(
                list(pending), timeout=self.POLL, return_when="FIRST_COMPLETED"
            )
        except TimeoutError:
            done = []
        except Exception as error:
            # Futures cancelled with the connection raise here too: then
            # the lost connection is the news.
            return self._lost_scheduler(None if not self._connected() else error), []
        if not self._connected():
            # Its futures were cancelled with the connection: their results
            # are gone, not failed.
            return self._lost_scheduler(None), []
        return None, [self._outcome(future, pending.pop(future)) for future in done]

    def _outcome(self, future, job):
        outcome = result_of(future, job)
        if outcome.state == "failed" and future.status != "finished":
            # The task itself never answered (its worker died, ...): what
            # it mapped is never committed.
            if self.watch is not None and outcome.reason.startswith("KilledWorker"):
                outcome.reason = self.watch.ended_line
        return outcome

    def _connected(self):
        return self.client.status == "running"

    def _workers(self):
        try:
            return len(self.client.scheduler_info(n_workers=-1)["workers"])
        except Exception:  # the scheduler going: the next look says so
            return 0

    def _lost_scheduler(self, error):
        why = f" ({one_line(error)})" if error is not None else ""
        return f"lost the Dask scheduler at {self.address}{why}"

    def _give_up(self, why, pending, outcomes, queue=()):
        """Every participant without an answer failed: whatever its worker
        still maps is never committed.
        """
        for job in [*pending.values(), *queue]:
            outcome = Outcome(job.participant, "failed", why)
            outcomes.append(outcome)
            yield outcome
        try:
            self.client.cancel(list(pending))
        except Exception:
            pass
        failed = sum(o.state == "failed" for o in outcomes)
        if not failed:
            _log.warning("%s; every participant's outputs are complete", why)
            return
        raise ClusterLost(
            f"{why}; {len(outcomes) - failed} of {len(outcomes)} participants done",
            outcomes,
        )


def close_quietly(client) -> None:
    """Closes the client; with the scheduler gone, without waiting long and
    without the tracebacks of its attempts to reconnect on stderr.

    Parameters
    ----------
    client : distributed.Client
    """
    manager = logging.Logger.manager
    loggers = [logging.getLogger("distributed")] + [
        logger
        for name, logger in list(manager.loggerDict.items())
        if name.startswith("distributed.") and isinstance(logger, logging.Logger)
    ]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL + 1)
    try:
        client.close(timeout=2)
    except Exception:
        pass
    finally:
        for logger, level in zip(loggers, levels):
            logger.setLevel(level)
