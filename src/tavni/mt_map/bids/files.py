"""The derivatives dataset's files written whole and read back: JSON
sidecars and text replaced in one step (a reader sees the old file or the
new one, never a part), images read with their geometry. For every module
of the BIDS App that writes into the derivatives dataset.
"""

import contextlib
import json
import os
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import BidsError

__all__ = ["TEMPORARY_MARK", "write_json", "read_json", "atomic_write", "read_image"]


TEMPORARY_MARK = ".mt-map-"
"""What the name of a temporary file of :func:`atomic_write` holds after the
file's own name (``.summary.tsv.mt-map-xxxxxxxx``): a killed run's leftovers
are known by it and removed, and nobody else's file is."""


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
