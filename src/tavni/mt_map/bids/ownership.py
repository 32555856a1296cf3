"""What in the derivatives dataset is this program's: the record it keeps
of what it wrote and where (read here, written by ``derivatives`` as it
writes), its work folders and their journals, and the files and folders it
finds there that it did not write (another tool's, or the user's), which it
never replaces. For the location check, the participant and group levels
and the commit.
"""

import json
import os
import re
from pathlib import Path

from tavni.mt_map.bids.base import BidsError

__all__ = [
    "RECORD_NAME",
    "JOURNAL",
    "TEMPORARY_MARK",
    "read_json",
    "read_record",
    "foreign_in_participant",
    "foreign_entry",
    "is_work_folder",
    "committed",
    "commit_pending",
]


RECORD_NAME = ".mt-map-files.json"
"""The record of what this program wrote, and where: one in the derivatives
dataset's root for the dataset's own files (its description, .bidsignore,
the group level's), one in each participant folder for that folder's files
and folders and the participant's report. Only what a record lists is ever
replaced; a name alone proves nothing (another tool's maps have the same)."""


JOURNAL = "commit.json"
"""The work folder's journal: written once its participant is complete,
removed once folder and report are in place."""


# A participant's work folder: tempfile.mkdtemp's eight characters after the
# prefix; its record lists it.
_WORK = re.compile(r"\.sub-([A-Za-z0-9]+)\.[a-z0-9_]{8}")


TEMPORARY_MARK = ".mt-map-"
"""What the name of a temporary file of :func:`atomic_write` holds after the
file's own name (``.summary.tsv.mt-map-xxxxxxxx``): a killed run's leftovers
are known by it and removed, and nobody else's file is."""


def read_json(path, what="file"):
    """The JSON object in path.

    Parameters
    ----------
    path : path-like
    what : str
        What it is, for messages.

    Returns
    -------
    dict

    Raises
    ------
    BidsError
        Missing, unreadable, not JSON or not an object; the message names
        the file.
    """
    try:
        content = json.loads(Path(path).read_text())
    except OSError as error:
        raise BidsError(f"cannot read {what} '{path}': {error.strerror or error}") from None
    except ValueError as error:
        size = Path(path).stat().st_size
        raise BidsError(
            f"{what} '{path}' is not JSON ({'empty' if size == 0 else error})"
        ) from None
    if not isinstance(content, dict):
        raise BidsError(f"{what} '{path}' is not a JSON object")
    return content


def read_record(folder):
    """The paths a record of this program's lists, relative to the
    derivatives dataset's root; None where folder holds no record.

    Parameters
    ----------
    folder : path-like
        The derivatives dataset, or a participant folder of it.

    Returns
    -------
    set of str or None
        Files, and folders with a final ``/``.

    Raises
    ------
    BidsError
        A record that cannot be read; the message names it.
    """
    path = Path(folder) / RECORD_NAME
    if not os.path.lexists(path):
        return None
    content = read_json(path, "record of the files mt-map wrote")
    listed = content.get("files", [])
    if not isinstance(listed, list) or not all(isinstance(p, str) for p in listed):
        raise BidsError(f"record of the files mt-map wrote '{path}' is damaged (no list 'files')")
    return set(listed)


def _unlisted(top, relative, listed):
    """The first file or folder under top (``relative`` from the dataset's
    root) that listed does not name, or None; the temporaries of killed
    writes are left to :func:`commit.recover`.
    """
    for root, folders, files in os.walk(top):
        base = Path(relative, os.path.relpath(root, top))
        for name in sorted(folders):
            if f"{(base / name).as_posix()}/" not in listed:
                return Path(root) / name
        for name in sorted(files):
            if name == RECORD_NAME or (name.startswith(".") and TEMPORARY_MARK in name):
                continue
            if (base / name).as_posix() not in listed:
                return Path(root) / name
    return None


def foreign_in_participant(output_dir, participant):
    """The first of a participant's outputs that this program did not write.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.

    Returns
    -------
    pathlib.Path or None
        The folder ``sub-<label>`` when it is no folder or holds no record,
        a file or folder in it that its record does not list, or the report
        ``sub-<label>.html`` when that record does not list it; None when
        everything there is this program's (or nothing is there).

    Raises
    ------
    BidsError
        A record that cannot be read.
    """
    folder = Path(output_dir) / f"sub-{participant}"
    report = Path(output_dir) / f"sub-{participant}.html"
    listed = set()
    if os.path.lexists(folder):
        if folder.is_symlink() or not folder.is_dir():
            return folder
        listed = read_record(folder)
        if listed is None:
            return next(iter(sorted(folder.iterdir())), folder)
        found = _unlisted(folder, folder.name, listed)
        if found is not None:
            return found
    if os.path.lexists(report) and report.name not in listed:
        return report
    return None


def foreign_entry(output_dir, level="participant"):
    """The first thing in a derivatives dataset that this program would
    replace but did not write.

    What its records list is this program's: the dataset's description and,
    as the level replaces them, the participants' folders and reports
    (:func:`foreign_in_participant`; those a stopped run left half replaced
    are judged once its commit is finished) or the group level's folder and
    its files. Anything else there (a README, a DataLad dataset's
    ``.datalad/``) is never touched, and allowed.

    Parameters
    ----------
    output_dir : path-like
    level : str
        "participant" or "group": what the run replaces.

    Returns
    -------
    pathlib.Path or None

    Raises
    ------
    BidsError
        A record that cannot be read.
    """
    out = Path(output_dir)
    listed = read_record(out) or set()
    description = out / "dataset_description.json"
    if os.path.lexists(description) and description.name not in listed:
        return description
    group = out / "group"
    if level == "group" and os.path.lexists(group):
        if group.is_symlink() or not group.is_dir() or "group/" not in listed:
            return group
        found = _unlisted(group, "group", listed)
        if found is not None:
            return found

    participants = re.compile(r"sub-([A-Za-z0-9]+)(\.html)?")
    for entry in sorted(out.glob("sub-*") if level == "participant" else ()):
        match = participants.fullmatch(entry.name)
        if match is not None and commit_pending(out, match[1]):
            continue  # half replaced by a stopped run, whose journal finishes it
        found = entry if match is None else foreign_in_participant(out, match[1])
        if found is not None:
            return found
    return None


def is_work_folder(entry: Path) -> bool:
    """Whether entry is a work folder this program made: by its name and its record.

    Parameters
    ----------
    entry : pathlib.Path

    Returns
    -------
    bool
    """
    if not _WORK.fullmatch(entry.name) or entry.is_symlink() or not entry.is_dir():
        return False
    try:
        return f"{entry.name}/" in (read_record(entry) or ())
    except BidsError:
        return False


def committed(work: Path) -> bool:
    """Whether a work folder holds its journal: committed, to be finished
    (by the commit or, after a failure, by :func:`recover`), not removed.

    Parameters
    ----------
    work : pathlib.Path

    Returns
    -------
    bool
    """
    return (work / JOURNAL).exists()


def commit_pending(output_dir: Path, participant: str) -> bool:
    """Whether a killed run left a participant's commit half done.

    Parameters
    ----------
    output_dir : pathlib.Path
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.

    Returns
    -------
    bool
        A work folder of the participant's holds a journal.
    """
    return any(
        committed(work) and is_work_folder(work)
        for work in output_dir.glob(f".sub-{participant}.*")
    )
