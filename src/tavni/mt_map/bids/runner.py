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
cores // N threads). On a cluster each task takes the share of its worker's
cores that one of the worker's task slots stands for.
"""

import logging
import os
import time
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Outcome, one_line
from tavni.mt_map.bids.naming import FRACTION_SUFFIX
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
    "solved_share",
    "shortfall",
    "state_on_disk",
]

_log = logging.getLogger("tavni.mt_map.bids")

DASK_TIMEOUT = 300.0
"""Seconds a Dask run waits with no worker alive before it gives up."""

ATTEMPTS = 2
"""Times a participant is started in a local process whose death ends it."""

# What in a collection's warnings names the likely cause of few voxels
# solved: a parameter outside the range of human scanners, with its unit
# mistake (protocol.validate), first; else the chain's own diagnosis.
_UNIT_HINT = "for a human scanner; "
_SOLVED_CAUSE = " were solved; "
_R1_CAUSE = "R1 could not be found"


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


def run(jobs, *, jobs_at_once=1, scheduler=None, on_done=None, dask_timeout=DASK_TIMEOUT):
    """Processes every job, here or on a Dask cluster.

    Parameters
    ----------
    jobs : list of Job
    jobs_at_once : int
        Participants processed at once on this machine, each in a process
        of its own (1: in this one); the cores are split among them. A
        process that dies (killed by a signal, as by the out-of-memory
        killer) ends only its participant, which is started once more.
    scheduler : str, optional
        Address of a Dask distributed scheduler; then the jobs run there.
    on_done : callable, optional
        ``on_done(outcome, done, total)`` as each participant finishes
        (``done`` of ``total`` then).
    dask_timeout : float
        Seconds to wait, on a Dask cluster, while no worker is alive (before
        the first task or at any time later).

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
    if scheduler is not None:
        try:
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


def solved_share(counts):
    """The share of the fitted voxels solved, as ``mt-map fraction --fail-below``
    judges it.

    Parameters
    ----------
    counts : dict of str to int
        Voxels per status name of the fraction fit.

    Returns
    -------
    float
        Solved over fitted (neither masked nor invalid input); 0 when no
        voxel was fitted.
    """
    from tavni.mt_map.workflows.summary import Summary

    return Summary(dict(counts or {})).solved_share


def shortfall(counts, fail_below, warnings=()):
    """Why a participant fails for too few voxels solved, or None.

    Parameters
    ----------
    counts : list of dict
        Voxels per status name, one dict per collection.
    fail_below : float
        The share of fitted voxels solved that each collection must reach.
    warnings : list of str
        The participant's warnings; the likely cause is taken from them.

    Returns
    -------
    str or None
        One line: the share, the threshold and the likely cause.
    """
    from tavni.mt_map.workflows.summary import Summary

    summaries = [Summary(dict(c or {})) for c in counts]
    low = [s for s in summaries if s.solved_share < fail_below]
    if not low:
        return None
    worst = min(low, key=lambda s: s.solved_share)
    if worst.fitted == 0:
        text = "no voxel fitted (every voxel masked or without valid input)"
    else:
        text = (
            f"{100 * worst.solved_share:.1f} % of the {worst.fitted} fitted voxels solved "
            f"(below --fail-below {fail_below:g})"
        )
    hints = [w for w in warnings if _UNIT_HINT in w]
    if hints:
        return f"{text}; likely cause: {'; '.join(hints)}"
    for warning in warnings:
        if warning.startswith(_R1_CAUSE):
            return f"{text}; {warning}"
        if _SOLVED_CAUSE in warning:
            return f"{text}; {warning.split(_SOLVED_CAUSE, 1)[1]}"
    return text


def state_on_disk(output_dir, participant, fail_below):
    """A committed participant judged from its files: its status maps' counts
    against ``fail_below``, and the warnings of their sidecars.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.
    fail_below : float

    Returns
    -------
    (str or None, float or None, list of str)
        Why it fails (None when every collection reaches ``fail_below``),
        the smallest share solved (None without a readable status map) and
        the warnings.
    """
    import json

    from tavni.mt_map.bids.derivatives import read_image
    from tavni.mt_map.bids.naming import STATUS_DESC
    from tavni.mt_map.io.volumes import VolumeError
    from tavni.mt_map.workflows.summary import summarise

    counts, warnings = [], []
    folder = Path(output_dir) / f"sub-{participant}"
    for path in sorted(folder.rglob(f"*_desc-{STATUS_DESC}_dseg.nii.gz")):
        try:
            status = read_image(path, "status map").data
        except VolumeError as error:
            return f"cannot read its status map: {one_line(error)}", None, warnings
        counts.append(summarise(status.astype("uint8")).counts)
        try:
            sidecar = json.loads(path.with_name(path.name[: -len(".nii.gz")] + ".json").read_text())
            warnings += list(sidecar.get("ProcessingWarnings", ()))
        except (OSError, ValueError, AttributeError):
            pass
    if not counts:
        return None, None, warnings
    share = min(solved_share(c) for c in counts)
    return shortfall(counts, fail_below, warnings), share, warnings


def _judged_on_disk(job, state, note):
    """The outcome of a participant whose outputs are in place but whose
    process or task did not report: "done" (with the note) unless too few
    voxels were solved.
    """
    why, share, warnings = state_on_disk(job.output_dir, job.participant, job.fail_below)
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
        maps = (output_dir / f"sub-{participant}").rglob(f"*_{FRACTION_SUFFIX}.nii.gz")
        return any(path.stat().st_mtime_ns >= since_ns for path in maps)
    except OSError:
        return False


def _run_locally(jobs, at_once, progress, started):
    from tavni.mt_map.bids.participant import process_participant

    at_once = max(1, min(at_once, len(jobs)))
    threads = max(1, available_cores() // at_once)
    for job in jobs:
        job.threads = threads
    if at_once == 1:
        return [progress.done(process_participant(job)) for job in jobs]
    return _Processes(at_once, progress, started).run(jobs)


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
        import multiprocessing

        # Fresh interpreters: the parent's threads and open index database
        # are not forked into the workers.
        self.context = multiprocessing.get_context("spawn")
        self.at_once, self.progress, self.started = at_once, progress, started

    def run(self, jobs):
        from collections import deque
        from multiprocessing.connection import wait

        waiting = deque((job, 1, None) for job in jobs)
        running, outcomes = [], []
        try:
            while waiting or running:
                while waiting and len(running) < self.at_once:
                    running.append(_Attempt(self.context, *waiting.popleft()))
                wait([w for attempt in running for w in attempt.waitables()])
                for attempt in [a for a in running if a.collect()]:
                    running.remove(attempt)
                    outcome = self._ended(attempt)
                    if outcome is None:
                        # Started again before the ones not yet begun: its
                        # outputs are the ones furthest along.
                        waiting.appendleft((attempt.job, attempt.number + 1, attempt.death()))
                    else:
                        outcomes.append(self.progress.done(outcome))
        finally:
            # An interrupt or an error of this process: the participants
            # still running are interrupted too, so that they remove their
            # work folders, and killed if they do not end soon.
            for attempt in running:
                attempt.stop(wait=5.0)
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


def _in_process(writer, job):
    """A participant's process: runs it and sends back its outcome."""
    from tavni.mt_map.bids.participant import process_participant

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

    slots = max(1, get_worker().state.nthreads)
    job.threads = max(1, available_cores() // slots)
    return process_participant(job)


def _run_on_dask(jobs, address, progress, timeout, started):
    if not timeout > 0:
        raise BidsError(f"--dask-timeout must be positive (got {timeout})")
    try:
        from distributed import Client
    except ImportError:
        raise BidsError(
            "--dask-scheduler needs dask.distributed (pip install 'tavni-mt-map[dask]')"
        ) from None
    try:
        client = Client(address, timeout=min(30, timeout))
    except Exception as error:
        raise BidsError(
            f"cannot reach the Dask scheduler at {address}: {one_line(error)}"
        ) from None
    try:
        return _Tasks(client, address, progress, timeout, started).run(jobs)
    finally:
        _close_quietly(client)


class _Tasks:
    """One Dask task per participant, watched for a lost scheduler and for
    a cluster left without workers.
    """

    POLL = 0.5  # s between looks at the scheduler and the workers

    def __init__(self, client, address, progress, timeout, started):
        self.client, self.address, self.progress = client, address, progress
        self.timeout, self.started = timeout, started

    def run(self, jobs):
        try:
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
        pending = {
            self.client.submit(
                on_worker, job, key=f"mt-map-sub-{job.participant}-{time.time_ns()}", pure=False
            ): job
            for job in jobs
        }
        outcomes = []
        alive = time.monotonic()  # when a worker was last seen
        while pending:
            lost = self._watch(pending, outcomes)
            if lost is None:
                if self._workers():
                    alive = time.monotonic()
                elif time.monotonic() - alive > self.timeout:
                    lost = f"no Dask worker at the scheduler {self.address} for {self.timeout:g} s (--dask-timeout)"
            if lost is not None:
                return self._give_up(lost, pending, outcomes)
        return outcomes

    def _watch(self, pending, outcomes):
        """Takes in the tasks that end within a poll; what was lost, if anything."""
        import distributed

        try:
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

    def _give_up(self, why, pending, outcomes):
        """Every participant without an answer judged from its files."""
        for job in pending.values():
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
