"""One participant, for the engines that run participants (``engines``):
its collections mapped into a work folder wherever it runs, committed into
the derivatives dataset complete or not at all by the run that holds the
output folder's lock (``commit``); and the policy that judges a
participant, before (its outputs on disk: skip, redo or refuse) and after
(the share of its fitted voxels solved).
"""

import json
import os
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Job, Outcome, one_line
from tavni.mt_map.bids.commit import move_into_place, work_folder
from tavni.mt_map.bids.derivatives import read_image
from tavni.mt_map.bids.mapping import map_collection
from tavni.mt_map.bids.naming import FRACTION, STATUS, output_name
from tavni.mt_map.bids.ownership import commit_pending, committed, foreign_in_participant

__all__ = [
    "commit_participant",
    "process_participant",
    "remove_work",
    "participant_state",
    "solved_share",
    "shortfall",
    "state_on_disk",
]

# What in a collection's warnings names the likely cause of few voxels
# solved: a parameter outside the range of human scanners, with its unit
# mistake (protocol.validate), first; else the chain's own diagnosis.
_UNIT_HINT = "for a human scanner; "
_SOLVED_CAUSE = " were solved; "
_R1_CAUSE = "R1 could not be found"


def solved_share(counts: dict) -> float:
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


def shortfall(counts: list, fail_below: float, warnings=()) -> str | None:
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


def state_on_disk(
    output_dir: Path, participant: str, fail_below: float
) -> tuple[str | None, float | None, list]:
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
    from tavni.mt_map.io.volumes import VolumeError
    from tavni.mt_map.workflows.summary import summarise

    counts, warnings = [], []
    folder = Path(output_dir) / f"sub-{participant}"
    for path in sorted(folder.rglob(output_name("*", STATUS))):
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


def participant_state(output_dir: Path, participant: str) -> str:
    """What a participant has in the derivatives dataset.

    Parameters
    ----------
    output_dir : path-like
    participant : str
        The label, without ``sub-``.

    Returns
    -------
    str
        "absent" (neither folder nor report), "complete" (the folder with at
        least one fraction map and the report) or "incomplete" (anything
        else: a folder without report or maps, a report without folder, a
        commit a killed run left half done).
    """
    output_dir = Path(output_dir)
    folder = output_dir / f"sub-{participant}"
    report = output_dir / f"sub-{participant}.html"
    if not folder.exists() and not report.exists():
        return "absent"
    pending = commit_pending(output_dir, participant)
    maps = folder.is_dir() and next(folder.rglob(output_name("*", FRACTION)), None)
    return "complete" if maps and report.is_file() and not pending else "incomplete"


def process_participant(job: Job) -> Outcome:
    """Maps every collection of one participant, for the run to commit.

    Where it runs (a local process, a Dask worker, a Slurm job) it writes
    only into a new attempt folder inside the work folder the run made for
    the participant (``job.work``), and commits nothing: the run that holds
    the output folder's lock does, as the outcome reaches it
    (:func:`commit_participant`). Once that run has ended and removed the
    work folder, an attempt still going can write nothing more. Without a
    ``job.work`` this process is the run: it makes the work folder and
    commits the participant itself.

    Parameters
    ----------
    job : Job

    Returns
    -------
    Outcome
        With ``work`` the finished attempt to commit, if maps were made.
        Never raises for a problem of this participant: it fails instead,
        with the reason.
    """
    import time

    started = time.monotonic()
    output_dir = Path(job.output_dir)
    final = output_dir / f"sub-{job.participant}"

    def outcome(state, reason="", warnings=(), solved=None):
        seconds = time.monotonic() - started
        return Outcome(job.participant, state, reason, seconds, list(warnings), solved)

    state = participant_state(output_dir, job.participant)
    # Outputs kept from a participant that failed for too few voxels solved
    # are redone under --skip-existing, as incomplete ones are.
    existing, fail_below = job.existing, job.processing.fail_below
    if state == "complete" and existing.skip_existing:
        why, solved, _ = state_on_disk(output_dir, job.participant, fail_below)
        if why is None:
            return outcome("skipped", "outputs exist", solved=solved)
    # An incomplete participant is redone under --skip-existing: skipping it
    # would leave it incomplete for good.
    if state != "absent" and not (existing.overwrite or existing.skip_existing):
        return outcome(
            "failed",
            f"'{final}' exists{' (incomplete)' if state == 'incomplete' else ''} "
            "(use --skip-existing or --overwrite)",
        )
    try:
        found = foreign_in_participant(output_dir, job.participant)
    except BidsError as error:
        return outcome("failed", f"{error}: '{final}' not replaced")
    if found is not None:
        return outcome(
            "failed", f"'{found}' was not written by mt-map: sub-{job.participant} not replaced"
        )
    if job.error:
        return outcome("failed", job.error)
    own = job.work is None
    if own:
        try:
            job.work = str(work_folder(output_dir, job.participant))
        except OSError as error:
            return outcome("failed", _reason(error, output_dir))
    try:
        mapped = _attempt(job, outcome)
        return commit_participant(job, mapped) if own else mapped
    finally:
        if own:
            remove_work(job)


def _attempt(job, outcome):
    """Maps the participant into a new attempt folder of the job's work folder."""
    work = None
    try:
        # Not made if the run's work folder is gone: the run has ended.
        work = Path(tempfile.mkdtemp(prefix="attempt.", dir=job.work))
        results = [map_collection(job, collection, work) for collection in job.collections]
        from tavni.mt_map.bids.report import participant_page

        participant_page.participant_report(
            work / f"sub-{job.participant}.html", job.participant, results
        )
        warnings = [w for r in results for w in r["warnings"]]
        # Too few voxels solved fails the participant; its maps are
        # committed all the same, for a look at what went wrong.
        counts = [r["counts"] for r in results]
        solved = min(solved_share(c) for c in counts) if counts else None
        why = shortfall(counts, job.processing.fail_below, warnings)
        done = outcome("failed" if why else "done", why or "", warnings, solved)
        done.work, work = str(work), None
        return done
    except Exception as error:  # whatever went wrong stays with this participant
        return outcome("failed", _reason(error, work or job.work))
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


def _reason(error, folder):
    """An error of a participant as its outcome's one line."""
    from tavni.mt_map.io.volumes import VolumeError
    from tavni.mt_map.protocol import ParameterError

    expected = isinstance(error, (BidsError, VolumeError, ParameterError))
    reason = one_line(error) if expected else f"{type(error).__name__}: {one_line(error)}"
    if isinstance(error, OSError) and error.filename is None:
        # A full disk says so without naming the file: the folder is
        # where this participant was writing.
        reason += f" (writing into '{folder}')"
    return reason


def commit_participant(job: Job, outcome: Outcome) -> Outcome:
    """Commits a participant's finished attempt into the derivatives
    dataset, complete or not at all.

    Only for the process that holds the output folder's lock, while it
    holds it. The attempt's folder and report become the work folder's,
    which then replace the old ones by the journalled commit
    (:func:`~tavni.mt_map.bids.commit.move_into_place`): the participant's
    folder and report are the old ones or the new ones at every instant,
    and a kill in between leaves a journal from which
    :func:`~tavni.mt_map.bids.commit.recover` finishes the commit.

    Parameters
    ----------
    job : Job
        Its ``work`` holds the attempt.
    outcome : Outcome
        As :func:`process_participant` gave it; nothing to commit without
        its ``work``.

    Returns
    -------
    Outcome
        The same, failed instead if the commit failed.
    """
    if outcome.work is None:
        return outcome
    attempt, outcome.work = Path(outcome.work), None
    work, output_dir = Path(job.work), Path(job.output_dir)
    try:
        if attempt.parent != work:
            raise BidsError(f"'{attempt}' is not in the work folder '{work}' of this run")
        for name in (f"sub-{job.participant}", f"sub-{job.participant}.html"):
            os.rename(attempt / name, work / name)
        move_into_place(work, output_dir, job.participant)
    except Exception as error:
        outcome.state, outcome.reason = "failed", _reason(error, work)
    return outcome


def remove_work(job: Job) -> None:
    """Removes the run's work folder of a participant, with whatever
    attempts it holds, unless its commit is journalled (then the next run
    finishes it).

    The folder is first renamed aside, in one step: an attempt still
    writing into it (on a worker whose run has ended) can then create
    nothing more in the output folder.

    Parameters
    ----------
    job : Job
    """
    if job.work is None:
        return
    work, job.work = Path(job.work), None
    if not work.is_dir() or committed(work):
        return
    try:
        # Empty (a new work folder would hold its record): a folder renames
        # over an empty one only.
        aside = Path(tempfile.mkdtemp(prefix=f".sub-{job.participant}.", dir=work.parent))
    except OSError:
        aside = None
    else:
        try:
            os.rename(work, aside)  # over the empty folder just made
        except OSError:
            os.rmdir(aside)
            aside = None
    shutil.rmtree(aside or work, ignore_errors=True)
