"""Image volumes for the mt-map commands: NIfTI (.nii, .nii.gz) and NumPy (.npy).

What a command needs to handle a user's scans safely, in the order it uses it:

- ``check_outputs``: output names, clashes with inputs and with each other
  (by resolved path, and by device and inode where the file exists), and
  writable output directories, before anything is read;
- ``probe``: shape, data type and geometry from an image's header alone
  (``preprocess.grid`` brings images of other grids onto the maps');
  ``check_memory`` compares the size the
  headers claim with the memory available (which also bounds a compressed
  file that would inflate far beyond its claim: nibabel reads only the
  bytes the header claims);
- ``load``: the data as float64 (maps read their images in runs through
  ``streaming`` instead);
- ``save_all``: every output or none, each written to a temporary file
  beside its target and moved into place only when all are written, with a
  clean header of its own (geometry of the image it derives from, its own
  data type, display range and description, no scaling);
  ``geometry_header`` is that header before data type and range, as
  ``streaming`` completes it.

What belongs to each file format (headers, data, writing) lives in
``formats``; this module holds what all formats share.

Failures raise VolumeError with one line that names the user's path.
"""

import errno
import os
import stat
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map.io.formats import SUFFIXES, Nifti, canonical_nan, format_of

__all__ = [
    "file_identity",
    "VolumeError",
    "Volume",
    "Probe",
    "Output",
    "probe",
    "available_memory",
    "check_memory",
    "load",
    "check_outputs",
    "existing",
    "geometry_header",
    "save_all",
    "in_mask",
    "refuse_extra_axes",
]

# The suffixes an output may end in, as messages name them.
_SUFFIX_TEXT = f"{', '.join(SUFFIXES[:-1])} or {SUFFIXES[-1]}"


def in_mask(values):
    """Where a mask's values mark a voxel: nonzero and not NaN.

    The same as ``numpy.nan_to_num(values) != 0`` in one comparison instead
    of a copy and three passes: NaN compares false, infinities as nonzero.

    Parameters
    ----------
    values : numpy.ndarray
        A mask, or a run of one, of any real or boolean type.

    Returns
    -------
    numpy.ndarray of bool
    """
    values = np.asarray(values)
    if values.dtype.kind in "fc":
        return np.abs(values) > 0
    return values != 0


class VolumeError(Exception):
    """A volume that cannot be read or written; the message says why."""


@dataclass
class Volume:
    """An image read whole, or the geometry an output takes.

    Attributes
    ----------
    data : numpy.ndarray or None
        The values (float64 from ``load``); None where only the geometry
        is meant.
    affine : numpy.ndarray or None
        Voxel indices to world coordinates, mm (4 x 4); None for .npy.
    header : nibabel.Nifti1Header or None
        The NIfTI header; None for .npy.
    """

    data: np.ndarray | None
    affine: np.ndarray | None = None  # voxel to world, mm; None for .npy
    header: object = None  # the NIfTI header, None for .npy


@dataclass
class Probe:
    """What an image's header says, before its data is read.

    Attributes
    ----------
    path : pathlib.Path
        The file.
    what : str
        What the image is, for messages ("MT image").
    shape : tuple of int
        Voxels per axis.
    dtype : numpy.dtype
        The stored data type.
    affine : numpy.ndarray or None
        Voxel indices to world coordinates, mm; None for .npy.
    header : nibabel.Nifti1Header or None
        The NIfTI header; None for .npy.
    """

    path: Path
    what: str
    shape: tuple
    dtype: np.dtype
    affine: np.ndarray | None = None
    header: object = None

    @property
    def voxels(self):
        """The number of voxels, as a Python int (no overflow)."""
        return int(np.prod(self.shape, dtype=object))


@dataclass
class Output:
    """A file to write, for ``check_outputs`` and ``save_all``.

    Attributes
    ----------
    path : path-like
        The file to write.
    what : str
        What it is, for messages ("R1 output").
    data : numpy.ndarray or bytes
        The values, or bytes written as they are.
    dtype : numpy.dtype or type, optional
        The data type stored.
    like : Volume or Probe, optional
        The image whose geometry the output takes.
    descrip : str
        The description in the NIfTI header.
    """

    path: Path
    what: str
    data: object
    dtype: object = None
    like: object = None
    descrip: str = ""


def _regular_file(path, what):
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise VolumeError(f"{what} '{path}' does not exist") from None
    except OSError as error:
        raise VolumeError(f"cannot read {what} '{path}': {error.strerror}") from None
    if stat.S_ISDIR(mode):
        raise VolumeError(f"{what} '{path}' is a directory, not an image file")
    if not stat.S_ISREG(mode):
        raise VolumeError(f"{what} '{path}' is not a regular file")


def _reason(error):
    text = str(error).splitlines()[0] if str(error) else ""
    return text or type(error).__name__


def probe(path, what="image"):
    """What the header of an image says, without reading its data.

    Parameters
    ----------
    path : path-like
        A regular file: NIfTI (.nii, .nii.gz) or NumPy (.npy).
    what : str
        What the image is, for messages ("MT image").

    Returns
    -------
    Probe
        Shape, stored data type, affine (voxel to world, mm; None for .npy)
        and NIfTI header.

    Raises
    ------
    VolumeError
        The file is missing, a directory or no regular file, its header
        cannot be read, or it holds no real numbers (complex, dates,
        colours).
    """
    path = Path(path)
    _regular_file(path, what)
    try:
        # Names without a registered suffix go to nibabel, which reads more.
        probed = Probe(path, what, *format_of(path, default=Nifti).read_header(path))
    except MemoryError:
        raise
    except Exception as error:  # any reader failure is the file's fault
        raise VolumeError(f"cannot read {what} '{path}': {_reason(error)}") from None
    kind = np.dtype(probed.dtype).kind
    if kind not in "biuf":
        # Complex data would lose its imaginary part unnoticed, dates and
        # colours would become numbers they are not: refused, as the array
        # functions refuse them.
        holds = _NOT_REAL.get(kind, "values that are not real numbers")
        raise VolumeError(
            f"{what} '{path}' holds {holds} ({probed.dtype}); real numbers are needed"
            + (" (the magnitude image, not the complex one)" if kind == "c" else "")
        )
    return probed


def refuse_extra_axes(probed, hint=""):
    """Refuses an image of more than three axes where a 3-D one is needed.

    Parameters
    ----------
    probed : Probe
    hint : str
        Appended to the message (``"; ..."``).

    Raises
    ------
    VolumeError
        One line naming the file and its shape.
    """
    shape = tuple(probed.shape)
    if len(shape) > 3:
        # No step takes more axes (registration, runs, outputs): refused
        # before any is read, in the user's terms.
        raise VolumeError(
            f"{probed.what} '{probed.path}' is {len(shape)}-D (shape "
            f"{' x '.join(map(str, shape))}); a 3-D image is needed{hint}"
        )


# Data types of images that hold no real numbers, by numpy kind.
_NOT_REAL = {
    "c": "complex numbers",
    "M": "dates and times",
    "m": "time spans",
    "V": "records such as RGB colours",
    "S": "text",
    "U": "text",
    "O": "Python objects",
}


def available_memory():
    """Bytes of memory available to a new allocation.

    Returns
    -------
    int or None
        MemAvailable of ``/proc/meminfo``, in bytes; None where it cannot be
        read.
    """
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def check_memory(needed, what):
    """Refuses work whose arrays cannot fit in the memory available.

    Parameters
    ----------
    needed : int
        Bytes the work will hold at once.
    what : str
        The work, for the message.

    Raises
    ------
    VolumeError
        needed exceeds MemAvailable of /proc/meminfo (not checked where
        that is unknown).
    """
    available = available_memory()
    if available is not None and needed > available:
        raise VolumeError(
            f"{what} needs about {needed / 2**30:.1f} GiB of memory, "
            f"{available / 2**30:.1f} GiB are available"
        )


def load(probed):
    """The data of a probed image.

    Parameters
    ----------
    probed : Probe

    Returns
    -------
    Volume
        float64 data (NIfTI scaling applied) with the probe's geometry.

    Raises
    ------
    VolumeError
        The data cannot be read (truncated or corrupt file).
    """
    try:
        data = format_of(probed.path, default=Nifti).read(probed.path)
        return Volume(data, probed.affine, probed.header)
    except MemoryError:
        raise
    except Exception as error:
        raise VolumeError(f"cannot read {probed.what} '{probed.path}': {_reason(error)}") from None


def file_identity(path):
    """The (device, inode) of a file or folder, or None where it cannot be
    read: the same thing under any path, through links and bind mounts.

    Parameters
    ----------
    path : path-like

    Returns
    -------
    tuple of int or None
    """
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def _check_directory(directory, output):
    """The directory of an output exists and takes new files."""
    if not directory.is_dir():
        raise VolumeError(f"cannot write {output.what} '{output.path}': no directory '{directory}'")
    try:
        handle, probe_file = tempfile.mkstemp(prefix=".mt-map-probe.", dir=directory)
    except OSError as error:
        reason = "the disk is full" if error.errno == errno.ENOSPC else error.strerror
        raise VolumeError(f"cannot write {output.what} '{output.path}': {reason}") from None
    os.close(handle)
    os.unlink(probe_file)


def check_outputs(outputs, inputs, image=True):
    """Refuses outputs that would destroy data or cannot be written.

    Run before any input is read.

    Parameters
    ----------
    outputs : list of Output
    inputs : list of (str, path-like)
        What each input is and its path.
    image : bool
        Outputs must end in .nii, .nii.gz or .npy.

    Raises
    ------
    VolumeError
        An output is an input or another output (the same resolved path,
        or the same device and inode: links), exists as something other
        than a regular file, or its directory is missing or takes no new
        file (probed by creating one). Messages name the user's path.
    """
    seen = [(what, Path(path).resolve(), file_identity(path)) for what, path in inputs]
    for output in outputs:
        path = Path(output.path)
        if image and format_of(path) is None:
            raise VolumeError(f"{output.what} '{path}' must end in {_SUFFIX_TEXT}")
        resolved, identity = path.resolve(), file_identity(path)
        for what, other, other_identity in seen:
            if resolved == other or (identity is not None and identity == other_identity):
                raise VolumeError(
                    f"{output.what} '{path}' is the same file as the {what}; "
                    "refusing to overwrite it"
                )
        if path.exists() and not path.is_file():
            raise VolumeError(f"{output.what} '{path}' exists and is not a regular file")
        _check_directory(path.parent, output)
        seen.append((output.what, resolved, identity))


def existing(outputs):
    """The outputs whose file exists already.

    Parameters
    ----------
    outputs : list of Output

    Returns
    -------
    list of Output
        Those whose path exists (a dangling link included).
    """
    return [output for output in outputs if os.path.lexists(output.path)]


geometry_header = Nifti.geometry_header
"""The header that streamed NIfTI outputs start from
(:meth:`tavni.mt_map.io.formats.Nifti.geometry_header`)."""


def _encode(output, target):
    if isinstance(output.data, bytes):
        Path(target).write_bytes(output.data)
        return
    data = canonical_nan(np.asarray(output.data, dtype=output.dtype))
    format_of(output.path, default=Nifti).write(
        target, data, output.dtype, output.like, output.descrip
    )


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def save_all(outputs):
    """Writes every output, or none at all.

    Each output goes to a temporary file beside its target first; only when
    all have been written are they moved into place, so a failure (a full
    disk, no memory, an interrupt) leaves nothing behind. NIfTI outputs get
    a header of their own (see ``formats.Nifti.write``).

    Parameters
    ----------
    outputs : list of Output

    Raises
    ------
    VolumeError
        Naming the output's path (never the temporary file); "the disk is
        full" when it is.
    """
    temporaries = []
    current = None
    try:
        for output in outputs:
            current = output
            path = Path(output.path)
            name = path.name
            suffix = ".nii.gz" if name.endswith(".nii.gz") else path.suffix
            handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=suffix, dir=path.parent)
            os.close(handle)
            temporaries.append((temporary, path))
            _encode(output, temporary)
            os.chmod(temporary, 0o666 & ~_umask())  # as if created directly
        for temporary, path in temporaries:
            current = next(o for o in outputs if Path(o.path) == path)
            os.replace(temporary, path)
        temporaries.clear()
    except OSError as error:
        reason = "the disk is full" if error.errno == errno.ENOSPC else error.strerror
        raise VolumeError(f"cannot write {current.what} '{current.path}': {reason}") from None
    finally:
        for temporary, _ in temporaries:
            Path(temporary).unlink(missing_ok=True)
