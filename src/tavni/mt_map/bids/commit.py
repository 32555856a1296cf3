"""The commit of a participant's results into the derivatives dataset, for
the participant level (``participant``), the run (``app``) and the group
level (``group``), which recover what killed runs left before they read.

A participant is mapped into a work folder of its own beside the dataset's
participants. Its folder and report then replace the old ones by a
journalled commit: the finished work folder gets a journal naming the inodes
of the new folder and report, then the folder is swapped with the old one in
a single rename (the kernel's exchange, where the filesystem has it) and the
report renamed over the old one. At every instant a folder and a report are
in place, old or new; a run killed in between leaves the journal, and the
next run (or the group level) finishes the commit from it before anything
else reads the folder.
"""

import ctypes
import errno
import json
import os
import re
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, one_line
from tavni.mt_map.bids.derivatives import record_participant, record_written
from tavni.mt_map.bids.ownership import JOURNAL, RECORD_NAME, TEMPORARY_MARK, is_work_folder

__all__ = [
    "move_into_place",
    "recover",
    "work_folder",
]

# The temporaries that atomic writes of the App's own files leave when
# killed: the file's name, the mark, mkstemp's eight characters.
_TEMPORARY = re.compile(
    r"\.(dataset_description\.json|\.bidsignore|summary\.tsv|report\.html|"
    + re.escape(RECORD_NAME)
    + ")"
    + re.escape(TEMPORARY_MARK)
    + "[a-z0-9_]{8}"
)


def work_folder(output_dir: Path, participant: str) -> Path:
    """A new, empty work folder for a participant, inside the dataset (so
    that the commit's renames stay on one filesystem).

    Parameters
    ----------
    output_dir : pathlib.Path
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.

    Returns
    -------
    pathlib.Path
        Hidden (``.sub-<participant>.<8 characters>``): no BIDS reader sees
        it; :func:`recover` knows it by its name and by the record in it
        that lists it, so that no folder of the same name is taken for one.
    """
    work = Path(tempfile.mkdtemp(prefix=f".sub-{participant}.", dir=output_dir))
    try:
        record_written(work, [f"{work.name}/"])
    except BaseException:
        os.rmdir(work)  # made here a moment ago, and empty: a full disk, say
        raise
    return work


def _rename(source, target):
    os.replace(source, target)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(first, second):
    """Swaps two existing paths in one step, where the filesystem can.

    Returns
    -------
    bool
        False when this system or filesystem has no atomic exchange.
    """
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    result = renameat2(
        _AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE
    )
    if result == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), str(first), None, str(second))


def _inode(path):
    try:
        return os.lstat(path).st_ino
    except FileNotFoundError:
        return None


def _sync(folder):
    try:
        handle = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


def move_into_place(work: Path, output_dir: Path, participant: str) -> None:
    """Commits the finished folder and report over any earlier ones.

    Parameters
    ----------
    work : pathlib.Path
        The work folder holding ``sub-<participant>`` and its report.
    output_dir : pathlib.Path
        The derivatives dataset.
    participant : str

    Raises
    ------
    OSError
        A rename failed; the journal stays for the next run to finish.
    """
    # The folder's record of what it holds (and of the report beside it)
    # goes in with the folder, by the same rename.
    record_participant(work / f"sub-{participant}", f"sub-{participant}.html")
    journal = {
        "participant": participant,
        "folder": os.lstat(work / f"sub-{participant}").st_ino,
        "report": os.lstat(work / f"sub-{participant}.html").st_ino,
    }
    temporary = work / f".{JOURNAL}"
    with open(temporary, "w") as stream:
        stream.write(json.dumps(journal) + "\n")
        stream.flush()
        os.fsync(stream.fileno())
    _sync(work / f"sub-{participant}")
    _rename(temporary, work / JOURNAL)
    _sync(work)
    _finish(work, Path(output_dir), journal)


class _Broken(BidsError):  # noqa: N818 - what the journal is
    """A journal that can never be followed: what it names is gone."""


def _finish(work, output_dir, journal):
    """Brings a committed work folder's participant into place; repeatable
    from any point a kill left it at.
    """
    participant = journal["participant"]
    final = output_dir / f"sub-{participant}"
    report = output_dir / f"sub-{participant}.html"
    new_folder = work / f"sub-{participant}"
    new_report = work / f"sub-{participant}.html"
    if _inode(final) != journal["folder"]:
        if _inode(new_folder) != journal["folder"]:
            raise _Broken(f"the new folder of sub-{participant} is gone")
        if not final.exists():
            _rename(new_folder, final)
        elif not _exchange(new_folder, final):
            # No exchange here: the old folder steps aside first, and a kill
            # in between leaves no folder, which the journal still repairs.
            _rename(final, work / "previous")
            _rename(new_folder, final)
    if _inode(report) != journal["report"]:
        if _inode(new_report) != journal["report"]:
            raise _Broken(f"the new report of sub-{participant} is gone")
        _rename(new_report, report)
    _sync(output_dir)
    (work / JOURNAL).unlink()
    shutil.rmtree(work, ignore_errors=True)


def _read_journal(path):
    """A journal's content; what cannot be followed raises ``_Broken``."""
    try:
        content = json.loads(path.read_text())
    except ValueError:
        content = None
    if not isinstance(content, dict) or not {"participant", "folder", "report"} <= set(content):
        raise _Broken("its journal is unreadable")
    return content


def recover(output_dir: Path) -> list[str]:
    """Finishes what killed runs left, and removes their leftovers.

    To be called while holding the output folder's lock, so that no live
    run's work folder is touched: a work folder with a journal is committed,
    one without is removed with its partial maps, and temporaries of the
    dataset's own files are removed.

    Parameters
    ----------
    output_dir : path-like

    Returns
    -------
    list of str
        A line for each participant whose commit was finished.

    Raises
    ------
    BidsError
        A journal that cannot be followed; the message names the folder,
        and the journal to delete when what it names is gone.
    """
    output_dir = Path(output_dir)
    finished = []
    for folder in (output_dir, output_dir / "group"):
        if not folder.is_dir():
            continue
        for entry in sorted(folder.iterdir()):
            if folder == output_dir and is_work_folder(entry):
                journal, name = entry / JOURNAL, entry.name.split(".")[1]
                if journal.exists():
                    try:
                        _finish(entry, output_dir, _read_journal(journal))
                    except _Broken as error:
                        # Never to be finished: given up, the work folder
                        # goes as any unjournalled one does (the old
                        # folder restored if it had stepped aside).
                        raise BidsError(
                            f"cannot finish the commit a stopped run left in '{entry}': "
                            f"{error}; delete '{journal}' to give it up, then run {name} "
                            "again with --overwrite"
                        ) from None
                    except OSError as error:
                        raise BidsError(
                            f"cannot finish the interrupted commit in '{entry}': {one_line(error)}"
                        ) from None
                    finished.append(f"{name}: the commit of a run that was stopped, finished")
                else:  # a stopped run's partial maps
                    shutil.rmtree(entry, ignore_errors=True)
            elif entry.is_file() and _TEMPORARY.fullmatch(entry.name):
                entry.unlink(missing_ok=True)
    return finished
