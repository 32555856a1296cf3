"""The derivatives dataset itself: where it may lie (judged on the folders
its path really reaches, links and bind mounts of the raw dataset's folders
included) and the lock that lets one run at a time write there, both
checked before anything is written; its description and .bidsignore; the
files written into it whole (a reader sees the old file or the new one,
never a part); and the record of what this program wrote, kept as it
writes (``ownership`` reads it).
"""

import contextlib
import fcntl
import json
import logging
import os
import socket
import stat
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import APP_NAME, BidsError
from tavni.mt_map.bids.naming import bidsignore
from tavni.mt_map.bids.ownership import (
    RECORD_NAME,
    TEMPORARY_MARK,
    foreign_entry,
    read_json,
    read_record,
)
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.io.volumes import file_identity

__all__ = [
    "LOCK_NAME",
    "write_json",
    "atomic_write",
    "read_image",
    "check_output_location",
    "output_lock",
    "write_dataset_description",
    "dataset_link",
    "record_written",
    "record_participant",
]

log = logging.getLogger("tavni.mt_map.bids")


LOCK_NAME = ".mt-map.lock"
"""The file in the derivatives dataset that a run holds locked while it
writes there (``flock``); it names the holder's process and host."""


def write_json(path, content):
    """Writes content as indented JSON with a final newline.

    Parameters
    ----------
    path : path-like
    content : object
        What ``json.dumps`` takes.

    Raises
    ------
    BidsError
        The file cannot be written (a full disk, say); the message names it.
    """
    try:
        Path(path).write_text(json.dumps(content, indent=2) + "\n")
    except OSError as error:
        raise BidsError(f"cannot write '{path}': {error.strerror or error}") from error


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _sync_folder(folder):
    # The renames into a folder last across a power cut only once the
    # folder itself is on disk.
    with contextlib.suppress(OSError):
        handle = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def atomic_write(path, text):
    """Writes text to a temporary file beside path, then moves it over path.

    The file gets the mode of one created directly (0666 less the umask).

    Parameters
    ----------
    path : path-like
    text : str

    Raises
    ------
    BidsError
        It cannot be written (a full disk, say): path is left as it was, the
        temporary removed, and the message names path.
    """
    path = Path(path)
    temporary = None
    try:
        handle, temporary = tempfile.mkstemp(
            prefix=f".{path.name}{TEMPORARY_MARK}", dir=path.parent
        )
        # mkstemp makes the file private (0600); the result gets the mode of
        # a file created as usual, 0644 under the common umask 022.
        os.fchmod(handle, 0o666 & ~_umask())
        with os.fdopen(handle, "w") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except OSError as error:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise BidsError(f"cannot write '{path}': {error.strerror or error}") from None
    _sync_folder(path.parent)


def read_image(path, what):
    """The 3-D image at path (a field map, a map of ours).

    Parameters
    ----------
    path : path-like
    what : str
        What it is, for messages.

    Returns
    -------
    volumes.Volume
        float64 data and the geometry.

    Raises
    ------
    volumes.VolumeError
        Unreadable, or of more than three axes (named with its shape before
        any of it is read).
    """
    from tavni.mt_map.io import volumes

    probed = volumes.probe(path, what)
    volumes.refuse_extra_axes(probed)
    return volumes.load(probed)


def _generator_names(description):
    generated = description.get("GeneratedBy")
    if not isinstance(generated, list):
        return []
    return [g.get("Name") for g in generated if isinstance(g, dict)]


def _description(folder):
    """The description of folder as a dict, None without a readable one."""
    path = Path(folder) / "dataset_description.json"
    if not path.is_file():
        return None
    try:
        content = json.loads(path.read_text())
    except (OSError, ValueError):
        return None  # judged by what it holds instead
    return content if isinstance(content, dict) else None


def _raw_description(folder):
    """Why folder is a raw BIDS dataset by its description, or None."""
    content = _description(folder)
    if content is None:
        return None
    kind = content.get("DatasetType")
    if kind in (None, "raw"):
        says = "no DatasetType" if kind is None else "DatasetType raw"
        return f"its dataset_description.json has {says}"
    return None


def _raw_folders(raw):
    """Every folder of a raw dataset but its derivatives, by (device, inode).

    A link to a folder counts with the folder it reaches, whose own folders
    are not walked: a link to a disk's root would have the whole disk walked.
    Nor is version control's store walked (``.git``: under git-annex or
    DataLad a folder for every object, hundreds of thousands of them), which
    no one chooses as a place for derivatives.
    """
    found, pending = {}, [(raw, ".")]
    while pending:
        folder, relative = pending.pop()
        identity = file_identity(folder)
        if identity is None or identity in found:
            continue
        found[identity] = relative
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for entry in entries:
            if relative == "." and entry.name in ("derivatives", ".git"):
                continue
            with contextlib.suppress(OSError):
                if not entry.is_dir(follow_symlinks=True):
                    continue
                name = Path(relative, entry.name).as_posix()
                if entry.is_symlink():
                    found.setdefault(file_identity(entry.path), name)
                else:
                    pending.append((entry.path, name))
    return found


def check_output_location(bids_dir, output_dir, level="participant"):
    """Refuses an output folder where writing could destroy data not this
    program's.

    Judged on the folder the path reaches (links and ``..`` resolved as
    the system does), before anything is written there. It must not be,
    contain or lie inside the raw BIDS dataset (but for its
    ``derivatives/``): every folder from it up to the root is compared by
    device and inode with every folder of the dataset, so that a link or a
    bind mount of any of them is recognised. It must not be or lie inside
    another raw dataset (a description without a derivative
    ``DatasetType``), nor lie inside another derivatives dataset or another
    run's output folder. An existing derivatives dataset must hold this
    program's record of what it wrote, listing every file and folder it
    would replace at this level (:func:`foreign_entry`).

    Parameters
    ----------
    bids_dir, output_dir : path-like
    level : str
        "participant" or "group".

    Raises
    ------
    BidsError
        Where the output folder may not be; the message says why.
    """
    raw = Path(os.path.realpath(bids_dir))
    out = Path(os.path.realpath(output_dir))
    raw_folders = _raw_folders(raw)
    chain = [out, *out.parents]
    for index, folder in enumerate(chain):
        identity = file_identity(folder)
        if identity is None:
            continue  # not created yet
        inside = chain[index - 1] if index else None
        where = raw_folders.get(identity)
        if where == "." and inside is not None and inside.name == "derivatives":
            continue  # the usual BIDS_DIR/derivatives/<name>, by whatever path
        if where is not None and (where != "." or inside is not None):
            # Folder is the raw dataset's own, under whatever name.
            within = raw / where if where != "." else raw
            how = "" if folder == within else f", reached through a link or mount at '{folder}'"
            its = "" if where == "." else f" (as its folder '{where}'{how})"
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' lies inside the BIDS dataset '{bids_dir}'{its}; "
                "derivatives go under its derivatives/ folder, e.g. BIDS_DIR/derivatives/mt-map"
            )
        if where is not None:
            why = f"the BIDS dataset '{bids_dir}' itself"
        else:
            why = _raw_description(folder)
            why = why and f"a raw BIDS dataset ({why})"
        if why is not None and inside is None:
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' is {why}: derivatives go to a folder of "
                "their own, e.g. BIDS_DIR/derivatives/mt-map"
            )
        if why is not None:
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' lies inside '{folder}', which is {why}; "
                "inside a BIDS dataset derivatives go under its derivatives/ folder"
            )
        if inside is None:
            continue
        if any(os.path.lexists(folder / name) for name in (LOCK_NAME, RECORD_NAME)):
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' lies inside '{folder}', the output folder of "
                "another mt-map run, whose next run could replace it: choose a folder "
                "outside it"
            )
        content = _description(folder)
        if content is not None and content.get("DatasetType") == "derivative":
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' lies inside '{folder}', a derivatives dataset "
                "of its own: choose a folder beside it, not inside"
            )
    out_id = file_identity(out)
    if out_id is None:
        return
    for folder in [raw, *raw.parents]:
        if file_identity(folder) == out_id:
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' contains the BIDS dataset '{bids_dir}': "
                "choose a folder of its own, e.g. BIDS_DIR/derivatives/mt-map"
            )
    content = _description(out)
    if content is not None and APP_NAME not in _generator_names(content):
        names = ", ".join(str(n) for n in _generator_names(content)) or "no GeneratedBy"
        raise BidsError(
            f"OUTPUT_DIR '{output_dir}' is a derivatives dataset of another program "
            f"({names} in '{out / 'dataset_description.json'}'): choose a folder of its own"
        )
    found = foreign_entry(out, level)
    if found is not None and found.name == "dataset_description.json":
        raise BidsError(
            f"OUTPUT_DIR '{output_dir}' is a derivatives dataset without mt-map's record of "
            f"the files it wrote ('{out / RECORD_NAME}'): made by another program, or by an "
            "mt-map before that record; choose a folder of its own"
        )
    if found is not None:
        raise BidsError(
            f"OUTPUT_DIR '{output_dir}' holds '{found}', which mt-map did not write (its "
            f"record '{RECORD_NAME}' does not list it): move it away or choose a folder "
            "of its own"
        )


@contextlib.contextmanager
def output_lock(output_dir):
    """Holds the derivatives dataset for this run alone.

    An advisory lock (``flock``) on ``OUTPUT_DIR/.mt-map.lock``: the kernel
    releases it when the holder ends, however it ends, so that a run that
    died never blocks the next one. The lock is opened without following a
    link, and must be a file of its own: a link, or another name of some
    file (as a version-control tool that saved it may leave), would have the
    holder's name written into whatever file it reaches.

    Parameters
    ----------
    output_dir : path-like
        An existing folder.

    Raises
    ------
    BidsError
        Another run holds it (the message names its process and host), or
        it is not a file of its own.
    """
    path = Path(output_dir) / LOCK_NAME
    flags = os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY
    try:
        handle = os.open(path, flags, 0o644)
    except OSError as error:
        if os.path.islink(path):
            raise BidsError(
                f"lock '{path}' is a link: mt-map does not write through it; "
                "delete the link (no run holds it) and run again"
            ) from None
        raise BidsError(f"cannot open '{path}': {error.strerror or error}") from None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode) or info.st_nlink != 1:
            what = "not a file" if not stat.S_ISREG(info.st_mode) else "a file of other names too"
            raise BidsError(
                f"lock '{path}' is {what}: mt-map does not write into it; "
                "delete it (no run holds it) and run again"
            )
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(handle, 200, 0).decode(errors="replace").strip()
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' is in use by another run "
                f"({holder or 'process unknown'}; lock '{path}'): wait for it to end"
            ) from None
        with contextlib.suppress(OSError):  # a full disk must not stop the run here
            os.ftruncate(handle, 0)
            os.pwrite(handle, f"process {os.getpid()} on host {socket.gethostname()}\n".encode(), 0)
        yield path
    finally:
        os.close(handle)


def write_dataset_description(output_dir: Path, reading: Reading, generated_by: dict) -> None:
    """dataset_description.json and .bidsignore of the derivatives dataset.

    Written once: kept if present and sound, so that runs can add
    participants; rewritten when a run before was stopped by a full disk
    and left it empty or cut short. .bidsignore gains the lines it lacks.
    Both are written whole (a temporary beside, then renamed), so that a
    full disk leaves the old file or none, never a partial one.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset (created if missing).
    reading : Reading
        ``bids_dir`` (whose description names the raw data), ``mask_dir``
        and ``b1_dir`` (linked where given).
    generated_by : dict
        The ``GeneratedBy`` entry.

    Raises
    ------
    BidsError
        A file cannot be read or written; the message names it.
    """
    output_dir = Path(output_dir)
    try:
        output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise BidsError(f"cannot create '{output_dir}': {error.strerror or error}") from None
    description = output_dir / "dataset_description.json"
    ignore = output_dir / ".bidsignore"
    record_written(output_dir, [description.name, ignore.name])
    sound = False
    if description.exists():
        try:
            read_json(description, "derivatives description")
            sound = True
        except BidsError as error:
            log.warning("%s; written anew", error)
    if not sound:
        raw_path = Path(reading.bids_dir) / "dataset_description.json"
        raw = read_json(raw_path, "dataset description")
        links = {"raw": dataset_link(reading.bids_dir, output_dir)}
        if reading.mask_dir is not None:
            links["mask"] = dataset_link(reading.mask_dir, output_dir)
        if reading.b1_dir is not None:
            links["b1"] = dataset_link(reading.b1_dir, output_dir)
        content = {
            "Name": f"{APP_NAME} derivatives of {raw.get('Name', Path(reading.bids_dir).name)}",
            "BIDSVersion": raw.get("BIDSVersion", "1.9.0"),
            "DatasetType": "derivative",
            "GeneratedBy": [generated_by],
            "DatasetLinks": links,
        }
        atomic_write(description, json.dumps(content, indent=2) + "\n")
    try:
        lines = ignore.read_text().splitlines() if ignore.exists() else []
    except OSError as error:
        raise BidsError(f"cannot read '{ignore}': {error.strerror or error}") from None
    missing = [line for line in bidsignore() if line not in lines]
    if missing:
        atomic_write(ignore, "\n".join([line for line in lines if line] + missing) + "\n")


def dataset_link(dataset, output_dir):
    """A ``DatasetLinks`` entry: the path from the derivatives to a dataset.

    Relative, so that the derivatives and the datasets they link keep
    finding each other when they move or are shared together (the usual
    ``BIDS_DIR/derivatives/mt-map`` links its raw dataset as ``../..``);
    an absolute ``file://`` URI would name a folder of this machine only.

    Parameters
    ----------
    dataset, output_dir : path-like
        The linked dataset and the derivatives dataset's root.

    Returns
    -------
    str
        A relative path with forward slashes, e.g. ``../..`` or ``../ds``.
    """
    return Path(os.path.relpath(Path(dataset).resolve(), Path(output_dir).resolve())).as_posix()


def _write_record(folder, paths):
    content = {"GeneratedBy": APP_NAME, "files": sorted(paths)}
    atomic_write(Path(folder) / RECORD_NAME, json.dumps(content, indent=2) + "\n")


def record_written(output_dir, paths):
    """Adds paths to the derivatives dataset's record, before they are
    written: a run stopped in between leaves a record naming a file that is
    not there, never a file of ours that it does not name.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset, held under :func:`output_lock`.
    paths : iterable of str
        Relative to ``output_dir``; folders with a final ``/``.

    Raises
    ------
    BidsError
        The record cannot be read or written.
    """
    known = read_record(output_dir) or set()
    if not known.issuperset(paths):
        _write_record(output_dir, known | set(paths))


def record_participant(folder, report_name):
    """Writes a participant folder's record: its files and folders, and its
    report beside it, as they are now.

    Parameters
    ----------
    folder : path-like
        The finished ``sub-<label>`` folder (in its work folder).
    report_name : str
        ``sub-<label>.html``.
    """
    folder = Path(folder)
    listed = [report_name, f"{folder.name}/"]
    for root, folders, files in os.walk(folder):
        relative = Path(folder.name, os.path.relpath(root, folder))
        listed += [f"{(relative / name).as_posix()}/" for name in folders]
        listed += [(relative / name).as_posix() for name in files if name != RECORD_NAME]
    _write_record(folder, listed)
