"""The BIDS App's top level: plan the participants' jobs, run them, summarise.

For the command line (``mt-map bids``) and for whoever wants to plan or run
participants from Python: the options are an :class:`AppOptions` (or any
object with its attributes, such as the command line's namespace).
"""

import contextlib
import logging
import shlex
import signal
import sys
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from tavni.mt_map._version import version
from tavni.mt_map.bids.base import APP_NAME, FAIL_BELOW, BidsError, Job
from tavni.mt_map.bids.derivatives import (
    check_output_location,
    output_lock,
    write_dataset_description,
)
from tavni.mt_map.bids.group import summarise_group
from tavni.mt_map.bids.inputs import (
    collections_of,
    open_layout,
    participants_and_sessions,
    read_overrides,
)

__all__ = [
    "AppOptions",
    "plan",
    "command_line",
    "run",
]

log = logging.getLogger("tavni.mt_map.bids")


@dataclass
class AppOptions:
    """What a run of the BIDS App is asked to do.

    Attributes
    ----------
    bids_dir, output_dir : path-like
        The BIDS dataset (read only) and the derivatives dataset to write.
    analysis_level : {"participant", "group"}
    participant_label, session_label : list of str, optional
        Participants and sessions to process (without ``sub-``/``ses-``);
        default all.
    jobs : int
        Participants processed at once on this machine.
    dask_scheduler : str, optional
        Address of a Dask distributed scheduler to run participants on.
    dask_timeout : float
        Seconds to wait there while no worker is alive.
    slurm : bool
        Run participants as Slurm jobs through a Dask cluster of the App's
        own; ``slurm_queue``, ``slurm_account``, ``slurm_walltime``,
        ``slurm_memory``, ``slurm_cores``, ``slurm_max_jobs`` (None: from
        ``slurm_config`` or ``engines.slurm.SLURM_DEFAULTS``) say how.
    skip_existing, overwrite : bool
        What to do with participants that have outputs already.
    assume_ms : bool
        Read sidecar times too large to be seconds as milliseconds.
    mask_dir : path-like, optional
        Derivatives folder with a brain mask per participant; without one,
        a brain mask is computed from each MT-weighted scan.
    b1_dir : path-like, optional
        Derivatives folder with a B1 map (``*_TB1map``, its sidecar's
        ``Units``) per participant, used before the raw dataset's.
    register : bool
        Register the PD- and T1-weighted scans onto the MT-weighted one
        (rigid head motion between the scans).
    no_mask : bool
        Without ``mask_dir``: compute no brain mask, fit every voxel.
    protocol : path-like, optional
        Protocol file completing or overriding the sidecars.
    param : list of str, optional
        ``KEY=VALUE`` parameters overriding sidecars and ``protocol``.
    quiet : bool
        No progress lines.
    fail_below : float
        A participant with a collection whose share of fitted voxels solved
        is below this fails, its maps kept (default 0.5).
    echo_combination : {"te0", "mean", "first"}
        How the echoes of multi-echo scans become one image per contrast:
        extrapolated to TE = 0 with one R2* (default), averaged, or the
        first echo.
    """

    bids_dir: Path
    output_dir: Path
    analysis_level: str = "participant"
    participant_label: list | None = None
    session_label: list | None = None
    jobs: int = 1
    dask_scheduler: str | None = None
    dask_timeout: float = 300.0
    slurm: bool = False
    slurm_queue: str | None = None
    slurm_account: str | None = None
    slurm_walltime: str | None = None
    slurm_memory: str | None = None
    slurm_cores: int | None = None
    slurm_max_jobs: int | None = None
    slurm_config: Path | None = None
    skip_existing: bool = False
    overwrite: bool = False
    assume_ms: bool = False
    mask_dir: Path | None = None
    b1_dir: Path | None = None
    register: bool = True
    no_mask: bool = False
    protocol: Path | None = None
    param: list | None = None
    quiet: bool = False
    fail_below: float = FAIL_BELOW
    echo_combination: str = "te0"


def plan(options):
    """The participants' jobs, read from the dataset.

    Parameters
    ----------
    options : AppOptions
        Or any object with its attributes.

    Returns
    -------
    list of Job
        One per participant asked for. A participant whose inputs are
        unusable gets a job that carries the reason (``Job.error``) instead
        of failing the others.

    Raises
    ------
    BidsError
        No dataset, an unknown participant, or a bad ``--param``.
    protocol.ParameterError
        A bad protocol file.
    """
    return list(_planned(options))


def _planned(options):
    """The participants' jobs as :func:`plan` gives them, each one's inputs
    looked up when the job is first asked for.

    What concerns the whole run is checked here and raised at once; a
    participant's own lookup (a few pybids queries, 50 ms) then happens
    while the participants before it already run, not all before the first
    one starts.
    """
    for option, folder in (("--mask-dir", options.mask_dir), ("--b1-dir", options.b1_dir)):
        # Checked once here, not failed once per participant.
        if folder is not None and not Path(folder).is_dir():
            raise BidsError(f"{option} '{folder}' is not a folder")
    layout = open_layout(options.bids_dir)
    overrides = read_overrides(options)
    known, sessions_by_participant = participants_and_sessions(layout)
    labels = [label.removeprefix("sub-") for label in options.participant_label or known]
    unknown = [label for label in labels if label not in known]
    if unknown:
        raise BidsError(
            f"no participant {', '.join(unknown)} in '{options.bids_dir}' "
            f"(there are: {', '.join(known) or 'none'})"
        )
    sessions_wanted = [s.removeprefix("ses-") for s in options.session_label or ()]
    generated_by = {"Name": APP_NAME, "Version": version(), "CommandLine": command_line()}

    def job_of(participant):
        job = Job(
            participant,
            str(options.output_dir),
            [],
            generated_by,
            overwrite=options.overwrite,
            skip_existing=options.skip_existing,
            register=getattr(options, "register", True),
            compute_mask=not getattr(options, "no_mask", False),
            fail_below=getattr(options, "fail_below", FAIL_BELOW),
            echo_combination=getattr(options, "echo_combination", "te0"),
        )
        sessions = sessions_by_participant.get(participant) or [None]
        if sessions_wanted:
            sessions = [s for s in sessions if s in sessions_wanted]
        try:
            if not sessions:
                raise BidsError(
                    f"sub-{participant}: none of the sessions {', '.join(sessions_wanted)}"
                )
            for session in sessions:
                job.collections += collections_of(layout, participant, session, overrides, options)
        except BidsError as error:
            job.error = str(error)
        return job

    return _OnDemand(labels, job_of)


class _OnDemand(Sequence):
    """``make(key)`` for each key, made when its item is first asked for
    (in order: asking for the third makes the first two too) and kept.
    """

    def __init__(self, keys, make):
        self._keys, self._make, self._made = list(keys), make, []

    def __len__(self):
        return len(self._keys)

    def __getitem__(self, index):
        if not -len(self) <= index < len(self):
            raise IndexError(index)
        index %= len(self)
        while len(self._made) <= index:
            self._made.append(self._make(self._keys[len(self._made)]))
        return self._made[index]


def command_line():
    """The command line of this process as ``mt-map ...``, shell-quoted, for
    the derivatives' ``GeneratedBy``.
    """
    return " ".join(shlex.quote(a) for a in ["mt-map"] + sys.argv[1:])


def check_jobs(options):
    """Refuses fewer than one participant at once (``options.jobs``), and a
    ``fail_below`` outside 0 to 1.

    Parameters
    ----------
    options : AppOptions

    Raises
    ------
    BidsError
    """
    if options.jobs < 1:
        raise BidsError(f"--jobs must be at least 1 (got {options.jobs})")
    fail_below = getattr(options, "fail_below", FAIL_BELOW)
    if not 0.0 <= fail_below <= 1.0:
        raise BidsError(f"--fail-below must be a share between 0 and 1 (got {fail_below:g})")


def run_participants(options, on_done=None):
    """Plans and runs the participant level into the derivatives dataset.

    Parameters
    ----------
    options : AppOptions
        Or any object with its attributes.
    on_done : callable, optional
        ``on_done(outcome, done, total)`` as each participant finishes.

    Returns
    -------
    list of Outcome
        One per participant, in the order planned; a failing participant
        never stops the others.

    Raises
    ------
    BidsError
        Options or a dataset that cannot be used (participants' own
        failures are outcomes instead).
    """
    check_jobs(options)
    check_output_location(options.bids_dir, options.output_dir)
    from tavni.mt_map.bids import engines

    # The engine starts now, while the dataset is indexed: the process that
    # local participants fork from imports what they need; a Dask client
    # connects and its workers import the same. It is closed (and waited
    # for) however the run ends.
    with engines.start(_execution(options)) as engine:
        jobs = _planned(options)
        output_dir = Path(options.output_dir)
        try:
            output_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise BidsError(f"cannot create '{output_dir}': {error.strerror or error}") from None
        from tavni.mt_map.bids.participant import recover

        with output_lock(output_dir), _terminate_as_interrupt():
            # Checked again under the lock: the folder may have changed while
            # another run held it.
            check_output_location(options.bids_dir, output_dir)
            for line in recover(output_dir):
                log.warning("%s", line)
            write_dataset_description(options, jobs[0].generated_by)
            return engine.run(jobs, on_done=on_done)


def _execution(options):
    """The options' section that says where and how the participants run."""
    from dataclasses import fields

    from tavni.mt_map.bids.settings import Execution, Slurm

    slurm = None
    if getattr(options, "slurm", False):
        slurm = Slurm(**{f.name: getattr(options, f"slurm_{f.name}", None) for f in fields(Slurm)})
    return Execution(
        jobs=options.jobs,
        dask_scheduler=options.dask_scheduler,
        dask_timeout=options.dask_timeout,
        slurm=slurm,
    )


@contextlib.contextmanager
def _terminate_as_interrupt():
    """SIGTERM (a scheduler's or a container's stop) ends the run as Ctrl-C
    does: the work folders and partial maps are removed on the way out.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(number, frame):
        raise KeyboardInterrupt("terminated")

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def run(options, on_done=None):
    """Runs the participant or the group level, as ``options.analysis_level`` says.

    Parameters
    ----------
    options : AppOptions
    on_done : callable, optional
        As for :func:`run_participants`.

    Returns
    -------
    int
        0, or 1 when a participant failed (too few voxels solved included).
    """
    check_jobs(options)
    if options.analysis_level == "group":
        summarise_group(options)
        return 0
    outcomes = run_participants(options, on_done)
    return 1 if any(o.state == "failed" for o in outcomes) else 0
