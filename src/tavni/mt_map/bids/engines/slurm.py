"""Participants as Slurm jobs: the settings of a run (defaults, a config
file, the command line), each job's memory from the scans' size, and a Dask
cluster of the App's own (dask-jobqueue) whose jobs are watched as they run.

For ``engines.start`` (:class:`SlurmEngine`).
"""

import contextlib
import logging
import time
from collections.abc import Iterator, Sequence
from dataclasses import fields
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Job, Outcome, one_line
from tavni.mt_map.bids.engines import Engine
from tavni.mt_map.bids.engines.dask import Tasks, close_quietly
from tavni.mt_map.bids.settings import Slurm
from tavni.mt_map.scans import ROLES

__all__ = ["SLURM_DEFAULTS", "SlurmEngine", "participant_memory", "slurm_settings"]

_log = logging.getLogger("tavni.mt_map.bids")


class SlurmEngine(Engine):
    """One Slurm job per participant at a time, through a Dask cluster of
    the App's own started for the run.

    Parameters
    ----------
    slurm : Slurm
        The settings given (:func:`slurm_settings` completes them).
    timeout : float
        Seconds to wait while no worker is alive and none of the App's jobs
        waits in the queue.

    Raises
    ------
    BidsError
        Settings that cannot be used.
    """

    def __init__(self, slurm: Slurm, timeout: float):
        self.settings, self.timeout = slurm_settings(slurm), timeout

    def outcomes(self, jobs: Sequence[Job]) -> Iterator[Outcome]:
        """Each participant's outcome as it finishes (see ``Engine.outcomes``)."""
        yield from _run_on_slurm(jobs, self.settings, self.timeout)


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


def slurm_settings(slurm: Slurm) -> dict:
    """The settings of a Slurm run: the defaults, a config file over them, the
    command line's over both.

    Parameters
    ----------
    slurm : Slurm
        The settings given (None: not given), and the config file: YAML or
        JSON with keys of :data:`SLURM_DEFAULTS` (dashes or underscores).

    Returns
    -------
    dict
        Every key of :data:`SLURM_DEFAULTS`.

    Raises
    ------
    BidsError
        An unreadable file, an unknown key, or a count below 1.
    """
    settings = dict(SLURM_DEFAULTS)
    config = slurm.config
    if config is not None:
        try:
            import yaml

            loaded = yaml.safe_load(Path(config).read_text()) or {}
        except (OSError, ValueError, ImportError) as error:
            raise BidsError(f"cannot read --slurm-config '{config}': {one_line(error)}") from None
        if not isinstance(loaded, dict):
            raise BidsError(f"--slurm-config '{config}' is not a mapping of settings")
        settings.update(_known(loaded, f"--slurm-config '{config}'"))
    given = {f.name: getattr(slurm, f.name) for f in fields(slurm) if f.name != "config"}
    settings.update(_known({k: v for k, v in given.items() if v is not None}, "Slurm"))
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


def participant_memory(jobs: Sequence[Job]) -> int:
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
            for path in (getattr(collection, role) for role in ROLES):
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


def _run_on_slurm(jobs, settings, timeout):
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
            yield from Tasks(client, "the Slurm cluster", timeout, watch).outcomes(jobs)
        finally:
            close_quietly(client)
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
