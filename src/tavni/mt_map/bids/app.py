"""The BIDS App's top level: plan the participants' jobs, run them, summarise.

For the command line (``mt-map bids``) and for whoever wants to plan or run
participants from Python: the settings are an :class:`AppOptions` of
sections (``bids.settings``); each step here takes the sections it reads.
"""

import contextlib
import logging
import shlex
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from tavni.mt_map._version import version
from tavni.mt_map.bids.base import APP_NAME, BidsError, Job, Outcome
from tavni.mt_map.bids.collections import collections_of
from tavni.mt_map.bids.dataset import open_layout, participants_and_sessions
from tavni.mt_map.bids.derivatives import (
    check_output_location,
    output_lock,
    write_dataset_description,
)
from tavni.mt_map.bids.group import summarise_group
from tavni.mt_map.bids.settings import (
    AppOptions,
    Execution,
    Existing,
    Processing,
    Reading,
    Selection,
)
from tavni.mt_map.bids.sidecars import read_overrides

__all__ = [
    "check_settings",
    "plan",
    "command_line",
    "run",
    "run_participants",
]

log = logging.getLogger("tavni.mt_map.bids")


def plan(options: AppOptions) -> list[Job]:
    """The participants' jobs, read from the dataset.

    Parameters
    ----------
    options : AppOptions
        Its ``selection`` and ``reading`` say what to read; each job carries
        its ``processing`` and ``existing``.

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
    return list(_planned(options.selection, options.reading, options.processing, options.existing))


def _planned(
    selection: Selection, reading: Reading, processing: Processing, existing: Existing
) -> Sequence[Job]:
    """The participants' jobs as :func:`plan` gives them, each one's inputs
    looked up when the job is first asked for.

    What concerns the whole run is checked here and raised at once; a
    participant's own lookup (a few pybids queries, 50 ms) then happens
    while the participants before it already run, not all before the first
    one starts.
    """
    for option, folder in (("--mask-dir", reading.mask_dir), ("--b1-dir", reading.b1_dir)):
        # Checked once here, not failed once per participant.
        if folder is not None and not Path(folder).is_dir():
            raise BidsError(f"{option} '{folder}' is not a folder")
    layout = open_layout(reading.bids_dir)
    known, sessions_by_participant = participants_and_sessions(layout)
    overrides = read_overrides(reading)
    labels = [label.removeprefix("sub-") for label in selection.participant_label or known]
    unknown = [label for label in labels if label not in known]
    if unknown:
        raise BidsError(
            f"no participant {', '.join(unknown)} in '{selection.bids_dir}' "
            f"(there are: {', '.join(known) or 'none'})"
        )
    sessions_wanted = [s.removeprefix("ses-") for s in selection.session_label or ()]
    generated_by = {"Name": APP_NAME, "Version": version(), "CommandLine": command_line()}

    def job_of(participant):
        job = Job(participant, str(selection.output_dir), [], generated_by, processing, existing)
        sessions = sessions_by_participant.get(participant) or [None]
        if sessions_wanted:
            sessions = [s for s in sessions if s in sessions_wanted]
        try:
            if not sessions:
                raise BidsError(
                    f"sub-{participant}: none of the sessions {', '.join(sessions_wanted)}"
                )
            for session in sessions:
                job.collections += collections_of(layout, participant, session, overrides, reading)
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


def command_line() -> str:
    """The command line of this process as ``mt-map ...``, shell-quoted, for
    the derivatives' ``GeneratedBy``.
    """
    return " ".join(shlex.quote(a) for a in ["mt-map"] + sys.argv[1:])


def check_settings(execution: Execution, processing: Processing) -> None:
    """Refuses fewer than one participant at once (``execution.jobs``), and a
    ``processing.fail_below`` outside 0 to 1.

    Parameters
    ----------
    execution : Execution
    processing : Processing

    Raises
    ------
    BidsError
    """
    if execution.jobs < 1:
        raise BidsError(f"--jobs must be at least 1 (got {execution.jobs})")
    fail_below = processing.fail_below
    if not 0.0 <= fail_below <= 1.0:
        raise BidsError(f"--fail-below must be a share between 0 and 1 (got {fail_below:g})")


def run_participants(
    options: AppOptions, on_done: Callable[[Outcome, int, int], None] | None = None
) -> list[Outcome]:
    """Plans and runs the participant level into the derivatives dataset.

    Parameters
    ----------
    options : AppOptions
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
    selection, execution = options.selection, options.execution
    check_settings(execution, options.processing)
    check_output_location(selection.bids_dir, selection.output_dir)
    from tavni.mt_map.bids import engines

    # The engine starts now, while the dataset is indexed: the process that
    # local participants fork from imports what they need; a Dask client
    # connects and its workers import the same. It is closed (and waited
    # for) however the run ends.
    with engines.start(execution) as engine:
        jobs = _planned(selection, options.reading, options.processing, options.existing)
        output_dir = Path(selection.output_dir)
        try:
            output_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise BidsError(f"cannot create '{output_dir}': {error.strerror or error}") from None
        from tavni.mt_map.bids.commit import recover

        with output_lock(output_dir), _terminate_as_interrupt():
            # Checked again under the lock: the folder may have changed while
            # another run held it.
            check_output_location(selection.bids_dir, output_dir)
            for line in recover(output_dir):
                log.warning("%s", line)
            write_dataset_description(output_dir, options.reading, jobs[0].generated_by)
            return engine.run(jobs, on_done=on_done)


@contextlib.contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
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


def run(options: AppOptions, on_done: Callable[[Outcome, int, int], None] | None = None) -> int:
    """Runs the participant or the group level, as ``options.selection.analysis_level`` says.

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
    check_settings(options.execution, options.processing)
    if options.selection.analysis_level == "group":
        summarise_group(options.selection)
        return 0
    outcomes = run_participants(options, on_done)
    return 1 if any(o.state == "failed" for o in outcomes) else 0
