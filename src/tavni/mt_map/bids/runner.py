"""Running many participants: in local processes, or as tasks on an existing
Dask distributed cluster.

For the BIDS App (``bids.run``): ``run(jobs, ...)`` processes each
participant's job with ``bids.process_participant``, tells ``on_done`` as
each one finishes, and returns their outcomes; ``table`` formats them. A failing
participant never stops the others: its outcome carries the one-line
reason. Nor does one whose process dies: locally each participant has a
process of its own, started once more after a death; on a cluster a task
that never answers is judged by its files (:func:`complete_on_disk`), and a
cluster without workers for ``dask_timeout`` seconds or a lost scheduler
ends the run with one line.

Cores: each fit uses every thread it is given, so the machine's cores are
split among the participants run at once (``--jobs N`` gives each
cores // N threads). On a Dask cluster a worker's cores are its
``nthreads``, not its host's: each task takes the share of them that one of
the worker's task slots stands for (a worker started with ``--resources
participants=N`` runs N participants at once). On Slurm
(:func:`slurm_settings`) each job is one worker that runs one participant
at a time on all the job's cores.
"""

import contextlib
import logging
import os
import threading
import time
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Outcome, one_line
from tavni.mt_map.bids.naming import FRACTION, output_name
from tavni.mt_map.parallel import available_cores

__all__ = [
    "run",
    "result_of",
    "on_worker",
    "complete_on_disk",
    "ClusterLost",
    "Progress",
    "table",
    "DASK_TIMEOUT",
    "task_threads",
    "PARTICIPANT_RESOURCE",
    "slurm_settings",
    "participant_memory",
    "PRELOAD",
    "preload",
    "dask_setup",
    "DaskConnection",
    "dask_connection",
]

_log = logging.getLogger("tavni.mt_map.bids")

DASK_TIMEOUT = 300.0
"""Seconds a Dask run waits with no worker alive before it gives up."""

ATTEMPTS = 2
"""Times a participant is started in a local process whose death ends it."""

PARTICIPANT_RESOURCE = "participants"
"""The Dask worker resource that bounds the participants a worker runs at
once; each of them then takes that share of the worker's threads."""


class ClusterLost(BidsError):  # noqa: N818 - says what happened, as BidsError does
    """The Dask scheduler went away, or every worker for the timeout, while
    participants were running.

    Attributes
    ----------
    outcomes : list of Outcome
        Every participant's; those whose results never came back judged
        from their files (:func:`complete_on_disk`).
    """

    def __init__(self, message, outcomes):
        super().__init__(message)
        self.outcomes = outcomes


def run(
    jobs, *, jobs_at_once=1, scheduler=None, on_done=None, dask_timeout=DASK_TIMEOUT, slurm=None
):
    """Processes every job, here or on a Dask cluster.

    Parameters
    ----------
    jobs : list of Job
    jobs_at_once : int
        Participants processed at once on this machine, each in a process
        of its own (1: in this one); the cores are split among them. A
        process that dies (killed by a signal, as by the out-of-memory
        killer) ends only its participant, which is started once more.
    scheduler : str or DaskConnection, optional
        Address of a Dask distributed scheduler, or a connection to one
        made beforehand; then the jobs run there.
    on_done : callable, optional
        ``on_done(outcome, done, total)`` as each participant finishes
        (``done`` of ``total`` then).
    dask_timeout : float
        Seconds to wait, on a Dask cluster, while no worker is alive (before
        the first task or at any time later); on Slurm, while none is alive
        and none of the App's jobs waits in the queue.
    slurm : dict, optional
        Run on a Slurm cluster of this App's own, one job per participant
        at a time (:func:`slurm_settings` gives the dict).

    Returns
    -------
    list of Outcome
        In the order of ``jobs``.

    Raises
    ------
    BidsError
        No dask.distributed, no scheduler at that address, no worker
        within ``dask_timeout``, or a timeout that is not positive.
    ClusterLost
        The scheduler was lost, or every worker for ``dask_timeout``,
        while participants were running; it carries every participant's
        outcome.
    """
    started = _now_on_disk(jobs[0].output_dir if jobs else None)
    progress = Progress(len(jobs), on_done)
    if scheduler is not None or slurm is not None:
        try:
            if slurm is not None:
                outcomes = _run_on_slurm(jobs, slurm, progress, dask_timeout, started)
            else:
                outcomes = _run_on_dask(jobs, scheduler, progress, dask_timeout, started)
        except ClusterLost as error:
            error.outcomes = _in_order(error.outcomes, jobs)
            raise
    else:
        outcomes = _run_locally(jobs, jobs_at_once, progress, started)
    return _in_order(outcomes, jobs)


def _in_order(outcomes, jobs):
    order = {job.participant: i for i, job in enumerate(jobs)}
    return sorted(outcomes, key=lambda o: order[o.participant])


def _now_on_disk(output_dir):
    """The time as the output folder's filesystem stamps files, ns.

    Files written by cluster workers on a shared filesystem carry its
    server's time, which may differ from this machine's clock: a file
    written now gives that time.
    """
    import tempfile

    try:
        with tempfile.NamedTemporaryFile(prefix=".mt-map-clock.", dir=output_dir) as probe:
            return os.stat(probe.name).st_mtime_ns
    except (OSError, TypeError):
        return time.time_ns()


def _judged_on_disk(job, state, note):
    """The outcome of a participant whose outputs are in place but whose
    process or task did not report: "done" (with the note) unless too few
    voxels were solved.
    """
    from tavni.mt_map.bids.participant import state_on_disk

    why, share, warnings = state_on_disk(job.output_dir, job.participant, job.processing.fail_below)
    if why is not None:
        return Outcome(job.participant, "failed", why, warnings=warnings, solved=share)
    return Outcome(job.participant, state, note, warnings=warnings, solved=share)


def complete_on_disk(output_dir, participant, since_ns):
    """Whether a participant's outputs are in place, written since a time.

    What counts when the process or worker that ran the participant is no
    longer there to say: the participant is complete in the derivatives
    dataset (``participant.participant_state``: its folder with a fraction
    map and its report, no commit left half done), and the report and a
    fraction map were modified at or after ``since_ns``.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.
    since_ns : int
        Start of the run, ns since the epoch, as the filesystem stamps
        files.

    Returns
    -------
    bool
    """
    from tavni.mt_map.bids.participant import participant_state

    output_dir = Path(output_dir)
    if participant_state(output_dir, participant) != "complete":
        return False
    report = output_dir / f"sub-{participant}.html"
    try:
        if report.stat().st_mtime_ns < since_ns:
            return False
        maps = (output_dir / f"sub-{participant}").rglob(output_name("*", FRACTION))
        return any(path.stat().st_mtime_ns >= since_ns for path in maps)
    except OSError:
        return False


def _run_locally(jobs, at_once, progress, started):
    from tavni.mt_map.bids.participant import process_participant

    at_once = max(1, min(at_once, len(jobs)))
    threads = max(1, available_cores() // at_once)

    def with_threads():
        # Set on each job as it is taken: it may be planned only then.
        for job in jobs:
            job.threads = threads
            yield job

    if at_once == 1:
        return [progress.done(process_participant(job)) for job in with_threads()]
    return _Processes(at_once, progress, started).run(with_threads())


class _Attempt:
    """One participant in a process of its own, its outcome sent back on a pipe.

    A process pool would do, but one dead worker breaks a pool and every
    task still in it; here a death ends only this process.
    """

    def __init__(self, context, job, number, earlier=None):
        self.job, self.number, self.earlier, self.outcome = job, number, earlier, None
        output_dir = Path(job.output_dir)
        self.work_before = set(output_dir.glob(f".sub-{job.participant}.*"))
        self.reader, writer = context.Pipe(duplex=False)
        self.process = context.Process(
            target=_in_process,
            args=(writer, job),
            name=f"mt-map-sub-{job.participant}",
            daemon=True,
        )
        self.process.start()
        writer.close()  # the child's end: its closing tells the death

    def waitables(self):
        """What tells that this attempt moved on: its outcome or its end."""
        return [self.process.sentinel] + ([self.reader] if self.outcome is None else [])

    def collect(self):
        """Reads the outcome if it is there; True once the process has ended."""
        if self.outcome is None and self.reader.poll():
            try:
                self.outcome = self.reader.recv()
            except (EOFError, OSError):
                self.reader.close()
                self.outcome = False  # died before sending
        if self.process.exitcode is None:
            return False
        self.process.join()
        self.reader.close()
        if self.outcome is False:
            self.outcome = None
        return True

    def death(self):
        """How the process ended, in words."""
        code = self.process.exitcode
        if code is not None and code < 0:
            import signal

            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            cause = " (as by the out-of-memory killer)" if -code == signal.SIGKILL else ""
            return f"its process was killed by {name}{cause}"
        return f"its process ended with status {code} before reporting"

    def remove_work(self):
        """Removes the work folders this attempt left behind.

        Not one that holds the earlier outputs, moved aside for the new
        ones that never took their place: it is their only copy.
        """
        import shutil

        output_dir = Path(self.job.output_dir)
        final = output_dir / f"sub-{self.job.participant}"
        for work in set(output_dir.glob(f".sub-{self.job.participant}.*")) - self.work_before:
            if not (work / "previous").exists() or final.exists():
                shutil.rmtree(work, ignore_errors=True)

    def stop(self, wait):
        """Interrupts the process, waits up to ``wait`` s, then kills it."""
        import signal

        if self.process.exitcode is None:
            try:
                os.kill(self.process.pid, signal.SIGINT)
            except OSError:
                pass
            self.process.join(wait)
        if self.process.exitcode is None:
            self.process.kill()
            self.process.join()
            self.remove_work()
        self.reader.close()


class _Processes:
    """At most ``at_once`` participants at a time, each in its own process."""

    def __init__(self, at_once, progress, started):
        # Each participant is forked from a server process started fresh
        # (the parent's threads and open index database are not in it) that
        # has imported what a participant needs once: a fresh interpreter
        # per participant imported it again each time, a second of CPU per
        # participant.
        self.context = start_forkserver()
        self.at_once, self.progress, self.started = at_once, progress, started

    def run(self, jobs):
        from collections import deque
        from multiprocessing.connection import wait

        # Jobs are taken one at a time as processes free up (each may be
        # planned only when taken); those to start once more go first.
        fresh, again = iter(jobs), deque()
        running, outcomes = [], []
        try:
            while True:
                while len(running) < self.at_once:
                    if again:
                        attempt = again.popleft()
                    else:
                        job = next(fresh, None)
                        if job is None:
                            break
                        attempt = (job, 1, None)
                    running.append(_Attempt(self.context, *attempt))
                if not running:
                    break
                wait([w for attempt in running for w in attempt.waitables()])
                for attempt in [a for a in running if a.collect()]:
                    running.remove(attempt)
                    outcome = self._ended(attempt)
                    if outcome is None:
                        # Started again before the ones not yet begun: its
                        # outputs are the ones furthest along.
                        again.append((attempt.job, attempt.number + 1, attempt.death()))
                    else:
                        outcomes.append(self.progress.done(outcome))
        finally:
            # An interrupt or an error of this process: the participants
            # still running are interrupted too, so that they remove their
            # work folders, and killed if they do not end soon.
            for attempt in running:
                attempt.stop(wait=5.0)
            _stop_forkserver()
        return outcomes

    def _ended(self, attempt):
        """The outcome of an ended attempt; None to start it once more."""
        if attempt.outcome is not None:
            if attempt.earlier and not attempt.outcome.reason:
                attempt.outcome.reason = f"started again: {attempt.earlier}"
            return attempt.outcome
        job, death = attempt.job, attempt.death()
        attempt.remove_work()
        if complete_on_disk(job.output_dir, job.participant, self.started):
            return _judged_on_disk(job, "done", f"{death} after its outputs were in place")
        if attempt.number < ATTEMPTS:
            _log.warning("sub-%s: %s; started once more", job.participant, death)
            return None
        return Outcome(job.participant, "failed", f"{death}, on each of {ATTEMPTS} attempts")


# What a participant imports, loaded once in the server its processes are
# forked from and on each Dask worker before its first participant: every
# module a participant would otherwise import for itself, once per process
# (about 0.1 s each time for nibabel, Pillow and the streaming of the maps).
PRELOAD = (
    "tavni.mt_map.bids.participant",
    "tavni.mt_map.bids.report.collect",
    "tavni.mt_map.bids.report.participant_page",
    "tavni.mt_map.workflows.chain",
    "tavni.mt_map.io.streaming",
    "tavni.mt_map.relaxometry",
    "tavni.mt_map.uncertainty",
    "tavni.mt_map.preprocess.mask",
    "tavni.mt_map.preprocess.registration",
    "SimpleITK",
    "scipy.ndimage",
    "dipy.segment.threshold",
    "nibabel",
    # The image formats Pillow loads before it writes any (Image.preinit).
    "PIL.BmpImagePlugin",
    "PIL.GifImagePlugin",
    "PIL.JpegImagePlugin",
    "PIL.PngImagePlugin",
    "PIL.PpmImagePlugin",
)


def start_forkserver():
    """Starts the server the participants' processes fork from (if it is not
    running), importing ``PRELOAD`` in the background.

    Returns
    -------
    multiprocessing.context.ForkServerContext
    """
    import multiprocessing
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(list(PRELOAD))
    forkserver.ensure_running()
    return context


@contextlib.contextmanager
def forkserver_running(started=True):
    """The fork server of the participants' processes, started on entry
    (when ``started``) and stopped on exit, whatever happens between.
    """
    if started:
        start_forkserver()
    try:
        yield
    finally:
        _stop_forkserver()


def _stop_forkserver():
    """Ends the fork server, if one runs, and waits for it: its CPU time, and
    its participants', is then counted in this process's children's, as a
    benchmark or a batch system reads it.
    """
    import signal
    from multiprocessing import forkserver

    server = forkserver._forkserver
    stop = getattr(server, "_stop", None)
    if stop is None:
        return
    # Its participants have ended, and it has reaped each (their exit
    # statuses reached this process through it): it holds nothing more.
    # Killed, it skips the interpreter's teardown of everything it
    # preloaded, 0.2 s that this process would wait for.
    pid = getattr(server, "_forkserver_pid", None)
    if pid is not None:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    stop()


def _in_process(writer, job):
    """A participant's process: runs it and sends back its outcome."""
    from tavni.mt_map.bids.participant import process_participant

    # A fresh process maps and unmaps every array above 128 KiB until its
    # allocator's threshold has grown with the arrays it freed, each page
    # faulted in and zeroed again; one running participant after participant
    # has long reached it. Set from the start, as such a process has it:
    # a third fewer page faults, and less system time, for 2 mm heads.
    # The process ends with its participant.
    libc = _libc()
    if libc is not None:
        _keep_freed_blocks(libc)
    try:
        outcome = process_participant(job)
    except KeyboardInterrupt:
        # Its work folder is gone already; the parent says what happened.
        raise SystemExit(130) from None
    writer.send(outcome)
    writer.close()


def result_of(future, job):
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


def on_worker(job):
    """Runs on a Dask worker: the job with the worker's share of cores.

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
    with _allocator_for_fits():
        return process_participant(job)


def task_threads(nthreads, resources=None):
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


_ALLOCATOR = {"users": 0, "lock": threading.Lock()}
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # glibc's mallopt parameters
_MMAP_MAX = 32 << 20  # glibc's largest dynamic mmap threshold (64-bit)


@contextlib.contextmanager
def _allocator_for_fits():
    """The C library's allocator as it is by default while participants run, in a
    process started with ``MALLOC_TRIM_THRESHOLD_`` (a Dask nanny sets it for
    its worker).

    That setting fixes the mmap threshold at 128 KiB: every array the
    chain makes and drops is then mapped and unmapped again, each of its
    pages faulted in and zeroed by the kernel (a 2 mm participant's system
    time about doubles). Here the heap keeps freed blocks up to 32 MiB for
    reuse while a participant runs; after the last one the settings given
    come back and the heap is trimmed, so an idle worker returns its memory
    as its nanny wants.
    """
    trim = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    libc = _libc() if trim is not None else None
    if libc is None:
        yield
        return
    with _ALLOCATOR["lock"]:
        _ALLOCATOR["users"] += 1
        if _ALLOCATOR["users"] == 1:
            _keep_freed_blocks(libc)
    try:
        yield
    finally:
        with _ALLOCATOR["lock"]:
            _ALLOCATOR["users"] -= 1
            if _ALLOCATOR["users"] == 0:
                with contextlib.suppress(ValueError):
                    libc.mallopt(_M_TRIM_THRESHOLD, int(trim))
                if "MALLOC_MMAP_THRESHOLD_" not in os.environ:
                    libc.mallopt(_M_MMAP_THRESHOLD, 128 << 10)
                libc.malloc_trim(0)


def _keep_freed_blocks(libc):
    """The heap keeps freed blocks up to 32 MiB for reuse (glibc's largest
    dynamic mmap threshold), unless ``MALLOC_MMAP_THRESHOLD_`` says
    otherwise, and trims itself only above twice that.
    """
    libc.mallopt(_M_TRIM_THRESHOLD, 2 * _MMAP_MAX)
    if "MALLOC_MMAP_THRESHOLD_" not in os.environ:
        libc.mallopt(_M_MMAP_THRESHOLD, _MMAP_MAX)


def _libc():
    """glibc, or None (another C library has neither call)."""
    import ctypes

    try:
        libc = ctypes.CDLL(None)
        libc.mallopt, libc.malloc_trim  # noqa: B018 - both must be there
    except (OSError, AttributeError):
        return None
    return libc


def _run_on_dask(jobs, scheduler, progress, timeout, started):
    if isinstance(scheduler, DaskConnection):
        connection = scheduler
    else:
        connection = DaskConnection(scheduler, timeout)
    try:
        client = connection.client()
        return _Tasks(client, connection.address, progress, timeout, started).run(jobs)
    finally:
        connection.close()


def preload():
    """Imports what a participant needs (:data:`PRELOAD`), on a Dask worker
    before its first participant; a module missing there fails that
    participant later with its own message.
    """
    import importlib

    for name in PRELOAD:
        with contextlib.suppress(ImportError):
            importlib.import_module(name)


def dask_setup(worker):
    """Prepares a Dask worker started with ``--preload tavni.mt_map.bids.runner``
    (``dask worker``, or ``preload=`` of a ``LocalCluster``): it imports what a
    participant needs (:data:`PRELOAD`) as it starts, before it joins its
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
    (:func:`preload`) in a task of its own, so that its first participant
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
                _close_quietly(client)
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
            _close_quietly(client)


@contextlib.contextmanager
def dask_connection(address, timeout):
    """A :class:`DaskConnection` to ``address``, closed on exit whatever
    happens between.

    Parameters
    ----------
    address : str or None
        The scheduler's address; None yields None (no connection).
    timeout : float
        As for :class:`DaskConnection`.

    Yields
    ------
    DaskConnection or None
    """
    connection = None if address is None else DaskConnection(address, timeout)
    try:
        yield connection
    finally:
        if connection is not None:
            connection.close()


class _Tasks:
    """One Dask task per participant, watched for a lost scheduler and for
    a cluster left without workers.
    """

    POLL = 0.5  # s between looks at the scheduler and the workers

    def __init__(self, client, address, progress, timeout, started, watch=None):
        self.client, self.address, self.progress = client, address, progress
        self.timeout, self.started, self.watch = timeout, started, watch

    def run(self, jobs):
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
            lost = self._watch(pending, outcomes)
            waiting = False
            if lost is None and self.watch is not None:
                for future, why in self.watch.ended(pending):
                    job = pending.pop(future)
                    self.client.cancel([future])
                    outcomes.append(self.progress.done(Outcome(job.participant, "failed", why)))
                for worker in self.watch.free(pending, len(queue)):
                    job = queue.pop(0)
                    future = self._submit(job, workers=[worker], allow_other_workers=False)
                    pending[future] = job
                    self.watch.submitted(future, worker)
                waiting = self.watch.queued()
            if lost is None:
                if waiting or self._workers():
                    alive = time.monotonic()
                elif time.monotonic() - alive > self.timeout:
                    lost = f"no Dask worker at the scheduler {self.address} for {self.timeout:g} s (--dask-timeout)"
            if lost is not None:
                return self._give_up(lost, pending, outcomes, queue)
        return outcomes

    def _submit(self, job, **where):
        key = f"mt-map-sub-{job.participant}-{time.time_ns()}"
        return self.client.submit(on_worker, job, key=key, pure=False, **where)

    def _watch(self, pending, outcomes):
        """Takes in the tasks that end within a poll; what was lost, if anything."""
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
            return self._lost_scheduler(None if not self._connected() else error)
        if not self._connected():
            # Its futures were cancelled with the connection: their results
            # are gone, not failed.
            return self._lost_scheduler(None)
        for future in done:
            job = pending.pop(future)
            outcomes.append(self.progress.done(self._outcome(future, job)))
        return None

    def _outcome(self, future, job):
        outcome = result_of(future, job)
        if outcome.state == "failed" and future.status != "finished":
            # The task itself never answered (its worker died, ...): the
            # files say whether the participant got through.
            if complete_on_disk(job.output_dir, job.participant, self.started):
                return _judged_on_disk(job, "done", f"outputs complete; {outcome.reason}")
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
        """Every participant without an answer judged from its files."""
        for job in [*pending.values(), *queue]:
            if complete_on_disk(job.output_dir, job.participant, self.started):
                outcome = _judged_on_disk(job, "done", f"outputs complete; {why}")
            else:
                outcome = Outcome(job.participant, "failed", why)
            outcomes.append(self.progress.done(outcome))
        try:
            self.client.cancel(list(pending))
        except Exception:
            pass
        failed = sum(o.state == "failed" for o in outcomes)
        if not failed:
            _log.warning("%s; every participant's outputs are complete", why)
            return outcomes
        raise ClusterLost(
            f"{why}; {len(outcomes) - failed} of {len(outcomes)} participants done",
            outcomes,
        )


SLURM_DEFAULTS = {
    "queue": None,
    "account": None,
    "walltime": "01:00:00",
    "memory": None,
    "cores": 4,
    "max_jobs": 100,
    "job_extra_directives": [],
    "job_script_prologue": [],
    "interface": None,
    "local_directory": None,
}
"""What a Slurm run is told (``--slurm-*`` options, the keys of
``--slurm-config``): partition, account, walltime and memory per job (a
participant; memory default from :func:`participant_memory`), cores per job,
the most jobs at once, extra ``#SBATCH`` lines, shell lines run before the
worker starts (``module load ...``), the network interface the workers reach
the scheduler on, and a node-local scratch folder for the workers."""


def slurm_settings(given=None, config=None):
    """The settings of a Slurm run: the defaults, a config file over them, the
    command line's over both.

    Parameters
    ----------
    given : dict, optional
        Keys of :data:`SLURM_DEFAULTS`; None values are not given.
    config : path-like, optional
        A YAML or JSON file with keys of :data:`SLURM_DEFAULTS` (dashes or
        underscores).

    Returns
    -------
    dict

    Raises
    ------
    BidsError
        An unreadable file, an unknown key, or a count below 1.
    """
    settings = dict(SLURM_DEFAULTS)
    if config is not None:
        try:
            import yaml

            loaded = yaml.safe_load(Path(config).read_text()) or {}
        except (OSError, ValueError, ImportError) as error:
            raise BidsError(f"cannot read --slurm-config '{config}': {one_line(error)}") from None
        if not isinstance(loaded, dict):
            raise BidsError(f"--slurm-config '{config}' is not a mapping of settings")
        settings.update(_known(loaded, f"--slurm-config '{config}'"))
    settings.update(_known({k: v for k, v in (given or {}).items() if v is not None}, "Slurm"))
    for key in ("cores", "max_jobs"):
        if not isinstance(settings[key], int) or settings[key] < 1:
            raise BidsError(
                f"Slurm {key} must be a whole number of at least 1 (got {settings[key]!r})"
            )
    return settings


def _known(settings, source):
    settings = {str(key).replace("-", "_"): value for key, value in settings.items()}
    unknown = sorted(set(settings) - set(SLURM_DEFAULTS))
    if unknown:
        raise BidsError(
            f"{source}: unknown Slurm setting {', '.join(unknown)} "
            f"(known: {', '.join(SLURM_DEFAULTS)})"
        )
    return settings


# Peak resident memory of one participant against its voxels: measured at
# 2 mm (0.65 GiB, 1.1 M voxels) and 1 mm (0.92 GiB, 8.7 M voxels), about
# 0.6 GiB of interpreter and libraries and 40 bytes per voxel of the
# largest scan; a Dask worker and its nanny add about 0.2 GiB. The job
# asks for a quarter more, as the nanny restarts a worker at 95 % of its
# memory.
_BASE_MEMORY = 800 << 20
_VOXEL_MEMORY = 40


def participant_memory(jobs):
    """Memory a Slurm job asks for: the largest participant's, from its scan
    size, with a margin.

    Parameters
    ----------
    jobs : list of Job

    Returns
    -------
    int
        Bytes, a whole number of 256 MiB.
    """
    import nibabel

    voxels = 0
    for job in jobs:
        for collection in job.collections:
            for path in (collection.pdw, collection.t1w, collection.mtw):
                try:
                    shape = nibabel.load(path).shape
                except Exception:  # an unreadable scan fails in its participant
                    continue
                count = 1
                for n in shape[:3]:
                    count *= n
                voxels = max(voxels, count)
    peak = _BASE_MEMORY + _VOXEL_MEMORY * voxels
    step = 256 << 20
    return -(-int(1.25 * peak) // step) * step


def _run_on_slurm(jobs, settings, progress, timeout, started):
    if not timeout > 0:
        raise BidsError(f"--dask-timeout must be positive (got {timeout})")
    try:
        import dask
        from dask_jobqueue import SLURMCluster
        from distributed import Client
    except ImportError:
        raise BidsError("--slurm needs dask-jobqueue (pip install 'tavni-mt-map[dask]')") from None
    memory = settings["memory"] or f"{participant_memory(jobs) >> 20}MiB"
    logs = Path(jobs[0].output_dir) / ".slurm-logs" if jobs else None
    # One worker per job with one participant at a time on all the job's
    # cores; a worker that dies fails its task at once (not retried on
    # another job that would meet the same walltime or memory limit).
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        try:
            cluster = SLURMCluster(
                queue=settings["queue"],
                account=settings["account"],
                walltime=settings["walltime"],
                memory=memory,
                cores=settings["cores"],
                processes=1,
                job_name="mt-map",
                job_extra_directives=list(settings["job_extra_directives"]),
                job_script_prologue=list(settings["job_script_prologue"]),
                interface=settings["interface"],
                local_directory=settings["local_directory"],
                log_directory=str(logs) if logs else None,
                silence_logs="critical",
            )
        except Exception as error:
            raise BidsError(f"cannot start the Slurm cluster: {one_line(error)}") from None
    for job in jobs:
        job.threads = settings["cores"]
    try:
        client = Client(cluster)
        watch = _SlurmJobs(cluster, client, settings, memory, logs)
        watch.scale(len(jobs))
        _log.info(
            "Slurm jobs of %s and %s cores each, up to %s", memory, settings["cores"], watch.most
        )
        try:
            return _Tasks(client, "the Slurm cluster", progress, timeout, started, watch).run(jobs)
        finally:
            _close_quietly(client)
    finally:
        with contextlib.suppress(Exception):
            cluster.close(timeout=10)


class _SlurmJobs:
    """The App's Slurm jobs while participants run: each free worker gets
    the next participant, a job that ended under its participant (cancelled,
    out of memory, past its walltime) fails it at once, jobs lost are
    submitted again for the participants left, and a job waiting in the
    queue keeps the run waiting.
    """

    CHECK = 5.0  # s between looks at the queue

    def __init__(self, cluster, client, settings, memory, logs):
        self.cluster, self.client = cluster, client
        self.most = settings["max_jobs"]
        self.ended_line = (
            f"its Slurm job ended or its worker died before the participant finished "
            f"(cancelled, killed for memory over its {memory}, or past its walltime "
            f"{settings['walltime']}; the job logs are in {logs})"
        )
        self.on = {}  # future -> the worker it was given to
        self.last, self.waiting = 0.0, False

    def scale(self, participants):
        """As many jobs as participants left, at most ``max_jobs``: the jobs
        lost are submitted again while participants wait for one.
        """
        # Never fewer: scaling down would cancel jobs that run participants.
        self.cluster.scale(jobs=max(len(self.cluster.worker_spec), min(participants, self.most)))

    def _workers(self):
        try:
            return set(self.client.scheduler_info(n_workers=-1)["workers"])
        except Exception:
            return None

    def ended(self, pending):
        """The pending futures whose worker went away, each with the reason."""
        workers = self._workers()
        if workers is None:
            return []
        gone = [f for f, w in self.on.items() if f in pending and w not in workers and not f.done()]
        for future in gone:
            del self.on[future]
        return [(future, self.ended_line) for future in gone]

    def free(self, pending, queued):
        """Workers without a participant, as many as ``queued`` at most."""
        self.on = {f: w for f, w in self.on.items() if f in pending}
        if time.monotonic() - self.last > self.CHECK:
            self.last = time.monotonic()
            if queued:
                self.scale(len(pending) + queued)
            self.waiting = self._queued()
        if not queued:
            return []
        workers = self._workers() or set()
        free = sorted(workers - set(self.on.values()))[:queued]
        return free

    def submitted(self, future, worker):
        """Notes the worker a future was given to."""
        self.on[future] = worker

    def queued(self):
        """Whether one of the App's jobs was waiting or running at the last look."""
        return self.waiting

    def _queued(self):
        import subprocess

        ids = [job.job_id for job in self.cluster.workers.values() if getattr(job, "job_id", None)]
        if not ids:
            return False
        try:
            states = subprocess.run(
                ["squeue", "-h", "-o", "%T", "-j", ",".join(ids)],
                capture_output=True,
                text=True,
                timeout=30,
            ).stdout.split()
        except (OSError, subprocess.SubprocessError):
            return True  # cannot tell: the workers' own timeout still holds
        return any(state in ("PENDING", "CONFIGURING", "RUNNING") for state in states)


def _close_quietly(client):
    """Closes the client; with the scheduler gone, without waiting long and
    without the tracebacks of its attempts to reconnect on stderr.
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


class Progress:
    """Counts the finished participants and tells ``on_done`` of each.

    Parameters
    ----------
    total : int
        Participants to come.
    on_done : callable, optional
        ``on_done(outcome, done, total)``.
    """

    def __init__(self, total, on_done=None):
        self.total, self.count, self.on_done = total, 0, on_done

    def done(self, outcome):
        """Counts a finished participant and prints its line.

        Parameters
        ----------
        outcome : Outcome

        Returns
        -------
        Outcome
            The same.
        """
        self.count += 1
        if self.on_done is not None:
            self.on_done(outcome, self.count, self.total)
        return outcome


def table(outcomes):
    """The outcomes as a fixed-width table.

    Parameters
    ----------
    outcomes : list of Outcome

    Returns
    -------
    str
        Columns participant, outcome, seconds, solved (the smallest share
        of fitted voxels solved among its collections, "-" where no maps
        were made), warnings (their count) and reason, and a last line
        counting the failures.
    """
    rows = [("participant", "outcome", "seconds", "solved", "warnings", "reason")]
    for o in outcomes:
        solved = "-" if o.solved is None else f"{100 * o.solved:.1f}%"
        rows.append(
            (
                f"sub-{o.participant}",
                o.state,
                f"{o.seconds:.1f}",
                solved,
                str(len(o.warnings)),
                o.reason,
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    lines = [
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[5]
        for row in rows
    ]
    failed = sum(o.state == "failed" for o in outcomes)
    lines.append(
        f"{len(outcomes) - failed} of {len(outcomes)} participants without failure"
        + (f"; {failed} failed" if failed else "")
    )
    return "\n".join(line.rstrip() for line in lines)
