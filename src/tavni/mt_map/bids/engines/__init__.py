"""The engines that run many participants: here, in local processes, on an
existing Dask distributed cluster, or as Slurm jobs.

For the BIDS App (``bids.app``): :func:`start` gives the engine its
:class:`~tavni.mt_map.bids.settings.Execution` section asks for, started
while the dataset is indexed; its :meth:`Engine.run` processes each
participant's job with ``bids.process_participant`` wherever it runs,
commits each participant in the run's own process as its outcome arrives,
tells ``on_done``, and returns their outcomes (``progress.table`` formats
them). A failing participant never stops the others: its outcome carries
the one-line reason. Nor does one whose process dies: locally each
participant has a process of its own, started once more after a death
(``local``); on a cluster a task that never answers fails its participant,
never committed, and a cluster without workers for ``dask_timeout`` seconds
or a lost scheduler ends the run with one line (``dask``, ``slurm``).

Cores: each fit uses every thread it is given, so the machine's cores are
split among the participants run at once (``--jobs N`` gives each
cores // N threads). On a Dask cluster a worker's cores are its
``nthreads``, not its host's: each task takes the share of them that one of
the worker's task slots stands for (a worker started with ``--resources
participants=N`` runs N participants at once). On Slurm each job is one
worker that runs one participant at a time on all the job's cores.
"""

import contextlib
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Job, Outcome
from tavni.mt_map.bids.engines.progress import Progress
from tavni.mt_map.bids.settings import Execution

__all__ = ["ClusterLost", "Engine", "start"]


class ClusterLost(BidsError):  # noqa: N818 - says what happened, as BidsError does
    """The Dask scheduler went away, or every worker for the timeout, while
    participants were running.

    Attributes
    ----------
    outcomes : list of Outcome
        Every participant's; those whose results never came back failed.
    """

    def __init__(self, message, outcomes):
        super().__init__(message)
        self.outcomes = outcomes


class Engine:
    """Runs participants' jobs somewhere; each kind says where in
    :meth:`outcomes` and lets go of what it holds in :meth:`close`.
    """

    def outcomes(self, jobs: Sequence[Job]) -> Iterator[Outcome]:
        """Each participant's outcome as it finishes, in any order, with
        its maps not yet committed (``participant.process_participant``).

        Parameters
        ----------
        jobs : sequence of Job
            Each taken only when it is to start (it may be planned then).

        Yields
        ------
        Outcome
        """
        raise NotImplementedError

    def close(self) -> None:
        """Lets go of the processes or the cluster; twice is once."""

    def run(self, jobs: Sequence[Job], on_done: Callable | None = None) -> list[Outcome]:
        """Processes every job, and commits each participant as its outcome
        arrives.

        To be called by the process that holds the output folder's lock,
        while it holds it: it alone commits, and only while the run is on.
        Each participant is mapped into a work folder this process makes,
        which it removes once the participant is committed or failed, and
        on the way out, however the run ends: an attempt still going on a
        worker (its scheduler lost, say) then writes nothing more.

        Parameters
        ----------
        jobs : sequence of Job
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
            No dask.distributed, no scheduler at that address, no worker
            within ``dask_timeout``, or a timeout that is not positive.
        ClusterLost
            The scheduler was lost, or every worker for ``dask_timeout``,
            while participants were running; it carries every participant's
            outcome.
        """
        from tavni.mt_map.bids.participant import commit_participant, remove_work

        progress = Progress(len(jobs), on_done)
        taken = _WithWork(jobs)
        done = []
        try:
            # Closed at once however the run ends: the engine's processes
            # or tasks are stopped then, not when the generator is collected.
            with contextlib.closing(self.outcomes(taken)) as outcomes:
                for outcome in outcomes:
                    job = taken.made[outcome.participant]
                    outcome = commit_participant(job, outcome)
                    remove_work(job)
                    done.append(progress.done(outcome))
        except ClusterLost as error:
            error.outcomes = _in_order(error.outcomes, jobs)
            raise
        finally:
            for job in taken.made.values():
                remove_work(job)
        return _in_order(done, jobs)


class _WithWork(Sequence):
    """The run's jobs, each given a work folder as it is first taken."""

    def __init__(self, jobs):
        self.jobs, self.made = jobs, {}

    def __len__(self):
        return len(self.jobs)

    def __getitem__(self, index):
        from tavni.mt_map.bids.commit import work_folder

        job = self.jobs[index]
        if job.participant not in self.made:
            self.made[job.participant] = job
            if job.error is None and job.work is None:
                try:
                    job.work = str(work_folder(Path(job.output_dir), job.participant))
                except OSError as error:
                    job.error = (
                        f"cannot make a work folder in '{job.output_dir}': "
                        f"{error.strerror or error}"
                    )
        return job


def _in_order(outcomes, jobs):
    order = {job.participant: i for i, job in enumerate(jobs)}
    return sorted(outcomes, key=lambda o: order[o.participant])


@contextlib.contextmanager
def start(execution: Execution) -> Iterator[Engine]:
    """The engine ``execution`` asks for, closed on exit whatever happens between.

    Started on entry, so that it gets ready while the caller indexes the
    dataset: the process that local participants are forked from imports
    what they need, a Dask client connects and its workers import the same.

    Parameters
    ----------
    execution : Execution
        ``slurm`` set: Slurm jobs; else ``dask_scheduler`` set: that Dask
        scheduler; else ``jobs`` participants at once on this machine.

    Yields
    ------
    Engine

    Raises
    ------
    BidsError
        Both ``slurm`` and ``dask_scheduler``, or Slurm settings that cannot
        be used.
    """
    if execution.slurm is not None:
        if execution.dask_scheduler is not None:
            raise BidsError("--slurm and --dask-scheduler exclude each other")
        from tavni.mt_map.bids.engines.slurm import SlurmEngine

        engine = SlurmEngine(execution.slurm, execution.dask_timeout)
    elif execution.dask_scheduler is not None:
        from tavni.mt_map.bids.engines.dask import DaskEngine

        engine = DaskEngine(execution.dask_scheduler, execution.dask_timeout)
    else:
        from tavni.mt_map.bids.engines.local import LocalEngine

        engine = LocalEngine(execution.jobs)
    try:
        yield engine
    finally:
        engine.close()
