"""Running many participants: in local processes, or as tasks on an existing
Dask distributed cluster.

For the BIDS App (``bids.run``): ``run(jobs, ...)`` processes each
participant's job with ``bids.process_participant``, tells ``on_done`` as
each one finishes, and returns their outcomes; ``table`` formats them. A failing
participant never stops the others: its outcome carries the one-line
reason.

Cores: each fit uses every thread it is given, so the machine's cores are
split among the participants run at once (``--jobs N`` gives each
cores // N threads). On a cluster each task takes the share of its worker's
cores that one of the worker's task slots stands for.
"""

import time

from tavni.mt_map.parallel import available_cores

__all__ = [
    "run",
    "result_of",
    "on_worker",
    "Progress",
    "table",
]


def run(jobs, *, jobs_at_once=1, scheduler=None, on_done=None):
    """Processes every job, here or on a Dask cluster.

    Parameters
    ----------
    jobs : list of Job
    jobs_at_once : int
        Participants processed at once on this machine, in processes of
        their own (1: in this one); the cores are split among them.
    scheduler : str, optional
        Address of a Dask distributed scheduler; then the jobs run there.
    on_done : callable, optional
        ``on_done(outcome, done, total)`` as each participant finishes
        (``done`` of ``total`` then).

    Returns
    -------
    list of Outcome
        In the order of ``jobs``.

    Raises
    ------
    BidsError
        No dask.distributed, or no scheduler at that address.
    """
    progress = Progress(len(jobs), on_done)
    if scheduler is not None:
        outcomes = _run_on_dask(jobs, scheduler, progress)
    else:
        outcomes = _run_locally(jobs, jobs_at_once, progress)
    order = {job.participant: i for i, job in enumerate(jobs)}
    return sorted(outcomes, key=lambda o: order[o.participant])


def _run_locally(jobs, at_once, progress):
    from tavni.mt_map.bids.participant import process_participant

    at_once = max(1, min(at_once, len(jobs)))
    threads = max(1, available_cores() // at_once)
    for job in jobs:
        job.threads = threads
    if at_once == 1:
        return [progress.done(process_participant(job)) for job in jobs]

    import concurrent.futures
    import multiprocessing

    # Fresh interpreters: the parent's threads and open index database are
    # not forked into the workers.
    context = multiprocessing.get_context("spawn")
    outcomes = []
    with concurrent.futures.ProcessPoolExecutor(at_once, mp_context=context) as pool:
        futures = {pool.submit(process_participant, job): job for job in jobs}
        for future in concurrent.futures.as_completed(futures):
            outcomes.append(progress.done(result_of(future, futures[future])))
    return outcomes


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
    from tavni.mt_map.bids.base import Outcome, one_line

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


def _run_on_dask(jobs, address, progress):
    from tavni.mt_map.bids.base import BidsError, one_line

    try:
        from distributed import Client, as_completed
    except ImportError:
        raise BidsError(
            "--dask-scheduler needs dask.distributed (pip install 'tavni-mt-map[dask]')"
        ) from None
    try:
        client = Client(address, timeout=30)
    except Exception as error:
        raise BidsError(
            f"cannot reach the Dask scheduler at {address}: {one_line(error)}"
        ) from None
    outcomes = []
    try:
        futures = {
            client.submit(
                on_worker, job, key=f"mt-map-sub-{job.participant}-{time.time_ns()}", pure=False
            ): job
            for job in jobs
        }
        for future in as_completed(futures):
            outcomes.append(progress.done(result_of(future, futures[future])))
    finally:
        client.close()
    return outcomes


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
        Columns participant, outcome, seconds, warnings (their count) and
        reason, and a last line counting the failures.
    """
    rows = [("participant", "outcome", "seconds", "warnings", "reason")]
    for o in outcomes:
        rows.append(
            (f"sub-{o.participant}", o.state, f"{o.seconds:.1f}", str(len(o.warnings)), o.reason)
        )
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    lines = [
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[4]
        for row in rows
    ]
    failed = sum(o.state == "failed" for o in outcomes)
    lines.append(
        f"{len(outcomes) - failed} of {len(outcomes)} participants without failure"
        + (f"; {failed} failed" if failed else "")
    )
    return "\n".join(line.rstrip() for line in lines)
