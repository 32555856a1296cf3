"""Reading and writing image volumes: NIfTI (.nii, .nii.gz) and NumPy (.npy)."""
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np


class VolumeError(Exception):
    """A volume that cannot be read or written; the message says why."""


@dataclass
class Volume:
    data: np.ndarray
    affine: np.ndarray | None = None  # voxel to world; None for .npy
    header: object = None             # the NIfTI header, None for .npy


def is_numpy(path):
    return str(path).endswith(".npy")


def load(path, what="image"):
    """The volume at path, as float64 data with its geometry."""
    path = Path(path)
    if not path.is_file():
        raise VolumeError(f"{what} '{path}' does not exist")
    try:
        if is_numpy(path):
            return Volume(np.asarray(np.load(path, allow_pickle=False), dtype=np.float64))
        import nibabel

        image = nibabel.load(path)
        return Volume(np.asarray(image.get_fdata(dtype=np.float64)), image.affine, image.header)
    except Exception as error:  # any reader failure is the file's fault
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise VolumeError(f"cannot read {what} '{path}': {reason}") from None


def _encode(volume_like, data, path, dtype):
    """Writes data to path, with the geometry of volume_like where it has one."""
    data = np.asarray(data, dtype=dtype)
    if is_numpy(path):
        np.save(path, data)
        return
    import nibabel

    affine = volume_like.affine if volume_like.affine is not None else np.eye(4)
    header = volume_like.header.copy() if volume_like.header is not None else None
    image = nibabel.Nifti1Image(data, affine, header)
    image.set_data_dtype(dtype)
    image.header.set_slope_inter(1.0, 0.0)
    nibabel.save(image, path)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def save_all(outputs):
    """Writes every (path, data, dtype, like) output, or none at all.

    like is the Volume whose geometry a NIfTI output takes. Each output goes
    to a temporary file beside its target first; only when all have been
    written are they moved into place, so a failure leaves nothing behind.
    """
    temporaries = []
    try:
        for path, data, dtype, like in outputs:
            path = Path(path)
            if not path.parent.is_dir():
                raise VolumeError(f"cannot write '{path}': no directory '{path.parent}'")
            suffix = ".npy" if is_numpy(path) else ".nii.gz" if path.name.endswith(".gz") else ".nii"
            handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=suffix,
                                                 dir=path.parent)
            os.close(handle)
            temporaries.append((temporary, path))
            _encode(like, data, temporary, dtype)
            os.chmod(temporary, 0o666 & ~_umask())  # as if created directly
        for temporary, path in temporaries:
            os.replace(temporary, path)
        temporaries.clear()
    except OSError as error:
        raise VolumeError(f"cannot write '{error.filename}': {error.strerror}") from None
    finally:
        for temporary, _ in temporaries:
            Path(temporary).unlink(missing_ok=True)
