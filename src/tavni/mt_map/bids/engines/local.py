"""Participants on this machine: one after another in this process, or
several at once, each in a process of its own started once more after a
death; and what every participant's process shares with a Dask worker's,
the modules imported before it starts and the allocator's settings.

For ``engines.start`` (:class:`LocalEngine`) and the Dask engine
(:data:`PRELOAD`, :func:`preload`, :func:`allocator_for_fits`).
"""

import contextlib
import logging
import multiprocessing
import os
import signal
import threading
import time
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from multiprocessing.connection import wait

from tavni.mt_map.bids.base import BidsError, Job, Outcome
from tavni.mt_map.bids.engines import Engine
from tavni.mt_map.parallel import available_cores

__all__ = ["ATTEMPTS", "PRELOAD", "LocalEngine", "allocator_for_fits", "preload"]

_log = logging.getLogger("tavni.mt_map.bids")

ATTEMPTS = 2
"""Times a participant is started in a local process whose death ends it."""

# What a participant imports, loaded once in the process its local processes
# are forked from and on each Dask worker before its first participant: every
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


def preload() -> None:
    """Imports what a participant needs (:data:`PRELOAD`); a module missing
    here fails the participant later with its own message.
    """
    import importlib

    for name in PRELOAD:
        with contextlib.suppress(ImportError):
            importlib.import_module(name)


class LocalEngine(Engine):
    """``at_once`` participants at a time on this machine, the cores split
    among them; with more than one, each in a process of its own.

    Parameters
    ----------
    at_once : int
        Participants at once (``--jobs``); 1 runs them in this process.
    """

    def __init__(self, at_once: int):
        self.at_once = at_once
        # Started now, so that it imports while the dataset is indexed.
        self.server = _Server() if at_once > 1 else None

    def outcomes(self, jobs: Sequence[Job]) -> Iterator[Outcome]:
        """Each participant's outcome as it finishes (see ``Engine.outcomes``)."""
        from tavni.mt_map.bids.participant import process_participant

        at_once = max(1, min(self.at_once, len(jobs)))
        threads = max(1, available_cores() // at_once)

        def with_threads():
            # Set on each job as it is taken: it may be planned only then.
            for job in jobs:
                job.threads = threads
                yield job

        if at_once == 1:
            for job in with_threads():
                yield process_participant(job)
            return
        try:
            yield from _Processes(self.server, at_once).run(with_threads())
        finally:
            self.close()

    def close(self) -> None:
        """Ends the process the participants were forked from, and waits for it."""
        if self.server is not None:
            self.server.close()


class _Attempt:
    """One participant in a process of its own: what this process knows of it."""

    def __init__(self, job, number, earlier=None):
        self.job, self.number, self.earlier = job, number, earlier
        self.key = f"{job.participant}/{number}"
        self.pid = self.exitcode = self.outcome = None
        self.interrupted = False

    def death(self):
        """How the process ended, in words."""
        code = self.exitcode
        if code is not None and code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            cause = " (as by the out-of-memory killer)" if -code == signal.SIGKILL else ""
            return f"its process was killed by {name}{cause}"
        return f"its process ended with status {code} before reporting"

    def signal(self, number):
        """Sends the process a signal, once it has started."""
        if self.pid is not None:
            with contextlib.suppress(OSError):
                os.kill(self.pid, number)


class _Processes:
    """At most ``at_once`` participants at a time, each in its own process."""

    def __init__(self, server, at_once):
        self.server, self.at_once = server, at_once

    def run(self, jobs: Iterable[Job]) -> Iterator[Outcome]:
        # Jobs are taken one at a time as processes free up (each may be
        # planned only when taken); those to start once more go first.
        fresh, again = iter(jobs), deque()
        try:
            while True:
                while len(self.server.running) < self.at_once:
                    if again:
                        attempt = again.popleft()
                    else:
                        job = next(fresh, None)
                        if job is None:
                            break
                        attempt = (job, 1, None)
                    self.server.start(_Attempt(*attempt))
                if not self.server.running:
                    break
                for attempt in self.server.ended():
                    outcome = self._ended(attempt)
                    if outcome is None:
                        # Started again before the ones not yet begun: its
                        # outputs are the ones furthest along.
                        again.append((attempt.job, attempt.number + 1, attempt.death()))
                    else:
                        yield outcome
        finally:
            # An interrupt or an error of this process: the participants
            # still running are interrupted too, and killed if they do not
            # end soon; the run then removes their work folders.
            self.server.stop(wait=5.0)

    def _ended(self, attempt):
        """The outcome of an ended attempt; None to start it once more."""
        if attempt.outcome is not None:
            if attempt.earlier and not attempt.outcome.reason:
                attempt.outcome.reason = f"started again: {attempt.earlier}"
            return attempt.outcome
        # A dead attempt committed nothing; what it mapped goes with the
        # participant's work folder.
        job, death = attempt.job, attempt.death()
        if attempt.number < ATTEMPTS:
            _log.warning("sub-%s: %s; started once more", job.participant, death)
            return None
        return Outcome(job.participant, "failed", f"{death}, on each of {ATTEMPTS} attempts")


class _Server:
    """The process the participants' processes are forked from: a fresh
    interpreter of this run's own (the parent's threads and open index
    database are not in it) that has imported what a participant needs
    once; a fresh interpreter per participant imported it again each time,
    a second of CPU per participant.

    A process pool would do, but one dead worker breaks a pool and every
    task still in it; here a death ends only its own participant. Ended and
    waited for at the end of the run: its CPU time, and its participants',
    is then counted in this process's children's, as a benchmark or a batch
    system reads it.
    """

    def __init__(self):
        context = multiprocessing.get_context("spawn")
        self.connection, theirs = context.Pipe()
        # Not a daemon: those may not start processes of their own.
        self.process = context.Process(target=_serve, args=(theirs,), name="mt-map-participants")
        self.process.start()
        theirs.close()
        self.running = {}  # key -> _Attempt, from its start to its end
        self.closed = False

    def start(self, attempt):
        """Asks for the attempt's process; its pid comes with a later message."""
        self.running[attempt.key] = attempt
        self.connection.send((attempt.key, attempt.job))

    def ended(self, timeout=None):
        """The attempts that ended, once one did or ``timeout`` s passed."""
        ended = []
        if not self.connection.poll(timeout):
            return ended
        while self.connection.poll():
            try:
                kind, key, *about = self.connection.recv()
            except (EOFError, OSError):
                self.process.join(1.0)
                raise BidsError(
                    "the process the participants are started from ended unexpectedly "
                    f"(status {self.process.exitcode})"
                ) from None
            attempt = self.running[key]
            if kind == "started":
                attempt.pid = about[0]
            else:
                attempt.outcome, attempt.exitcode = about
                ended.append(self.running.pop(key))
        return ended

    def stop(self, wait):
        """Interrupts the participants still running, waits up to ``wait`` s
        for them, then kills them.
        """
        deadline = time.monotonic() + wait
        with contextlib.suppress(BidsError):
            while self.running and time.monotonic() < deadline:
                for attempt in self.running.values():
                    if not attempt.interrupted and attempt.pid is not None:
                        attempt.signal(signal.SIGINT)
                        attempt.interrupted = True
                self.ended(timeout=0.05)
            deadline = time.monotonic() + 60.0
            while self.running and time.monotonic() < deadline:
                for attempt in self.running.values():
                    attempt.signal(signal.SIGKILL)
                self.ended(timeout=0.05)
        for attempt in self.running.values():  # the server itself was lost
            attempt.signal(signal.SIGKILL)
        self.running.clear()

    def close(self):
        """Ends the server and waits for it; twice is once."""
        if self.closed:
            return
        self.closed = True
        try:
            self.stop(wait=5.0)
        finally:
            # Its participants have ended, and it has reaped each (their
            # ends reached this process through it): it holds nothing more.
            # Killed, it skips the interpreter's teardown of everything it
            # preloaded, 0.2 s that the run would wait for, or the rest of
            # its imports.
            self.connection.close()
            self.process.kill()
            self.process.join()


def _serve(connection):
    """The server's loop: starts a participant's process for each request
    and answers with its pid and, once it has ended, with its outcome (None
    if it sent none) and its exit status.
    """
    # Ctrl-C at the terminal reaches every process of the group: this one
    # outlives it, for the participants' ends to be told; they take it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _Served.parent = connection
    preload()
    fork = multiprocessing.get_context("fork")
    served, running = True, {}
    while served or running:
        waitables = [w for entry in running.values() for w in entry.waitables()]
        ready = wait(([connection] if served else []) + waitables)
        if connection in ready:
            try:
                key, job = connection.recv()
            except (EOFError, OSError):  # the run is over, or its process gone
                served = False
            else:
                running[key] = _Served(fork, job)
                served = _answer(connection, "started", key, running[key].process.pid)
        for key, entry in list(running.items()):
            if entry.collect():
                del running[key]
                if served:
                    served = _answer(connection, "ended", key, entry.outcome, entry.exitcode)
    # The run is gone and so are its participants: ended here, without the
    # interpreter's teardown of everything preloaded.
    os._exit(0)


def _answer(connection, *message):
    """Sends a message to the run; False once the run is no longer there."""
    try:
        connection.send(message)
    except OSError:
        return False
    return True


class _Served:
    """A participant's process, as the server sees it: forked from the
    server, its outcome sent back on a pipe.
    """

    parent = None  # the server's connection to the run, closed in each participant

    def __init__(self, fork, job):
        self.outcome, self.exitcode = None, None
        self.reader, writer = fork.Pipe(duplex=False)
        self.process = fork.Process(
            target=_in_process,
            args=(writer, job),
            name=f"mt-map-sub-{job.participant}",
            daemon=True,
        )
        self.process.start()
        writer.close()  # the child's end: its closing tells the death

    def waitables(self):
        """What tells that the process moved on: its outcome or its end."""
        return [self.process.sentinel] + ([self.reader] if self.outcome is None else [])

    def collect(self):
        """Reads the outcome if it is there; True once the process has ended."""
        ended = self.process.exitcode is not None  # before the read: all it sent is there
        if self.outcome is None and self.reader.poll():
            try:
                self.outcome = self.reader.recv()
            except (EOFError, OSError):
                self.outcome = False  # died before sending
        if not ended:
            return False
        self.process.join()
        self.reader.close()
        self.exitcode = self.process.exitcode
        if self.outcome is False:
            self.outcome = None
        return True


def _in_process(writer, job):
    """A participant's process: runs it and sends back its outcome."""
    from tavni.mt_map.bids.participant import process_participant

    signal.signal(signal.SIGINT, signal.default_int_handler)
    _Served.parent.close()
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
        # Its attempt folder is gone already; the run says what happened.
        raise SystemExit(130) from None
    writer.send(outcome)
    writer.close()


_ALLOCATOR = {"users": 0, "lock": threading.Lock()}
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # glibc's mallopt parameters
_MMAP_MAX = 32 << 20  # glibc's largest dynamic mmap threshold (64-bit)


@contextlib.contextmanager
def allocator_for_fits() -> Iterator[None]:
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

    Yields
    ------
    None
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
