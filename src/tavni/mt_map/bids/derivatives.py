"""The derivatives dataset's own files: its description, .bidsignore, JSON
sidecars, written whole; and the guards around the folder: where it may lie,
what in it is this program's, and the lock that lets one run at a time write
there.
"""

import contextlib
import fcntl
import json
import logging
import os
import re
import socket
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import APP_NAME, BidsError
from tavni.mt_map.bids.naming import BRAIN_MASK_DESC, MASK_SUFFIX, STATUS, bidsignore
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.io.volumes import file_identity
from tavni.mt_map.outputs import BIDS_MAPS, by_key

__all__ = [
    "LOCK_NAME",
    "write_json",
    "write_dataset_description",
    "dataset_link",
    "atomic_write",
    "read_image",
    "read_json",
    "check_output_location",
    "foreign_file",
    "output_lock",
]

log = logging.getLogger("tavni.mt_map.bids")

LOCK_NAME = ".mt-map.lock"
"""The file in the derivatives dataset that a run holds locked while it
writes there (``flock``); it names the holder's process and host."""

# The suffixes (with extensions) of the files a participant folder of ours
# holds: the maps and their sidecars, the status segmentation and its table,
# the brain mask computed where none was given, R2* and the echo fit's
# status of multi-echo scans.
_OURS = re.compile(
    "_("
    + "|".join(
        [re.escape(kind.suffix) for kind in BIDS_MAPS]
        + [f"desc-{kind.desc}_{kind.suffix}" for kind in (STATUS, by_key("echo_status"))]
        + [f"desc-{BRAIN_MASK_DESC}_{MASK_SUFFIX}"]
    )
    + r")\.(nii\.gz|json|tsv)$"
)


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


def _generator_names(description):
    generated = description.get("GeneratedBy")
    if not isinstance(generated, list):
        return []
    return [g.get("Name") for g in generated if isinstance(g, dict)]


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
    ignore = output_dir / ".bidsignore"
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
        handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
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
    """The image at path.

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
    """
    from tavni.mt_map.io import volumes

    return volumes.load(volumes.probe(path, what))


def _raw_description(folder):
    """Why folder is a raw BIDS dataset by its description, or None."""
    path = Path(folder) / "dataset_description.json"
    if not path.is_file():
        return None
    try:
        content = json.loads(path.read_text())
    except (OSError, ValueError):
        return None  # judged by what it holds instead
    if not isinstance(content, dict):
        return None
    kind = content.get("DatasetType")
    if kind in (None, "raw"):
        says = "no DatasetType" if kind is None else "DatasetType raw"
        return f"its dataset_description.json has {says}"
    return None


def foreign_file(folder):
    """The first file in a participant folder that this program does not write.

    Parameters
    ----------
    folder : path-like
        ``sub-<label>`` of a derivatives dataset.

    Returns
    -------
    pathlib.Path or None
        A raw scan, another pipeline's output, anything but our maps,
        sidecars and status tables; None when there is none.
    """
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if not _OURS.search(name):
                return Path(root) / name
    return None


def check_output_location(bids_dir, output_dir):
    """Refuses an output folder where writing could destroy raw data.

    The output folder must not be, contain or lie inside a raw BIDS dataset
    (but for its ``derivatives/``), whatever path reaches it: folders are
    compared by device and inode, so a bind mount or a link of the input is
    recognised, and by content (a description without a derivative
    ``DatasetType``, participant folders holding files this program does
    not write). An existing derivatives dataset must have been written by
    this program.

    Parameters
    ----------
    bids_dir, output_dir : path-like

    Raises
    ------
    BidsError
        Where the output folder may not be; the message says why.
    """
    raw = Path(bids_dir)
    out = Path(os.path.abspath(output_dir))
    raw_id = file_identity(raw)
    chain = [out, *out.parents]
    for folder in chain:
        identity = file_identity(folder)
        if identity is None:
            continue  # not created yet
        if identity == raw_id:
            why = f"the BIDS dataset '{bids_dir}' itself"
        else:
            why = _raw_description(folder)
            why = why and f"a raw BIDS dataset ({why})"
        if why is None:
            continue
        if folder == out:
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' is {why}: derivatives go to a folder of "
                "their own, e.g. BIDS_DIR/derivatives/mt-map"
            )
        below = out.relative_to(folder).parts[0]
        if below != "derivatives":
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' lies inside '{folder}', which is {why}; "
                "inside a BIDS dataset derivatives go under its derivatives/ folder"
            )
    out_id = file_identity(out)
    if out_id is None:
        return
    for folder in [raw, *Path(os.path.abspath(raw)).parents]:
        if file_identity(folder) == out_id:
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' contains the BIDS dataset '{bids_dir}': "
                "choose a folder of its own, e.g. BIDS_DIR/derivatives/mt-map"
            )
    description = out / "dataset_description.json"
    if description.is_file():
        try:
            content = read_json(description, "derivatives description")
        except BidsError:
            content = None  # a run stopped by a full disk: judged by what it holds
        if content is not None and APP_NAME not in _generator_names(content):
            names = ", ".join(str(n) for n in _generator_names(content)) or "no GeneratedBy"
            raise BidsError(
                f"OUTPUT_DIR '{output_dir}' is a derivatives dataset of another program "
                f"({names} in '{description}'): choose a folder of its own"
            )
    for folder in sorted(out.glob("sub-*")):
        if folder.is_dir():
            found = foreign_file(folder)
            if found is not None:
                raise BidsError(
                    f"OUTPUT_DIR '{output_dir}' holds '{found}', which this program does "
                    "not write (raw data?): choose a folder of its own"
                )


@contextlib.contextmanager
def output_lock(output_dir):
    """Holds the derivatives dataset for this run alone.

    An advisory lock (``flock``) on ``OUTPUT_DIR/.mt-map.lock``: the kernel
    releases it when the holder ends, however it ends, so that a run that
    died never blocks the next one.

    Parameters
    ----------
    output_dir : path-like
        An existing folder.

    Raises
    ------
    BidsError
        Another run holds it; the message names its process and host.
    """
    path = Path(output_dir) / LOCK_NAME
    try:
        handle = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as error:
        raise BidsError(f"cannot open '{path}': {error.strerror or error}") from None
    try:
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
