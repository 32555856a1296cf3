"""What a participant's files say when its process or task cannot: whether
its outputs are in place since the run began, and its outcome judged from them.

For the engines: a local process that died, or a Dask task whose answer
never came back, may still have committed its participant.
"""

import os
import time
from pathlib import Path

from tavni.mt_map.bids.base import Job, Outcome
from tavni.mt_map.bids.naming import FRACTION, output_name

__all__ = ["complete_on_disk", "judged_on_disk", "now_on_disk"]


def now_on_disk(output_dir: str | os.PathLike | None) -> int:
    """The time as the output folder's filesystem stamps files, ns.

    Files written by cluster workers on a shared filesystem carry its
    server's time, which may differ from this machine's clock: a file
    written now gives that time.

    Parameters
    ----------
    output_dir : path-like or None
        The derivatives dataset (None: this machine's clock).

    Returns
    -------
    int
        ns since the epoch.
    """
    import tempfile

    try:
        with tempfile.NamedTemporaryFile(prefix=".mt-map-clock.", dir=output_dir) as probe:
            return os.stat(probe.name).st_mtime_ns
    except (OSError, TypeError):
        return time.time_ns()


def judged_on_disk(job: Job, state: str, note: str) -> Outcome:
    """The outcome of a participant whose outputs are in place but whose
    process or task did not report: "done" (with the note) unless too few
    voxels were solved.

    Parameters
    ----------
    job : Job
    state : str
        The outcome's state when enough voxels were solved.
    note : str
        Its reason then.

    Returns
    -------
    Outcome
    """
    from tavni.mt_map.bids.participant import state_on_disk

    why, share, warnings = state_on_disk(job.output_dir, job.participant, job.processing.fail_below)
    if why is not None:
        return Outcome(job.participant, "failed", why, warnings=warnings, solved=share)
    return Outcome(job.participant, state, note, warnings=warnings, solved=share)


def complete_on_disk(output_dir: str | os.PathLike, participant: str, since_ns: int) -> bool:
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
