"""The inputs of ``streaming.run``: images read a run of voxels at a time.

Each reader hands out the next run of a volume's values in Fortran (file)
order, ``read(count)``, and lets its source go with ``close()``:

- ``FileReader``: a NIfTI or .npy file, decompressed as it arrives (a run of
  consecutive voxels is a contiguous stretch of the file, also inside a gzip
  stream), float32 where that is exact, else float64 scaled as nibabel
  scales;
- ``ArrayReader``: a float32 volume held in memory (an image brought onto
  the maps' grid first);
- ``HeldRuns``: the runs one pass kept, handed to a later pass.

Used by ``streaming`` (``tavni.mt_map.io.streaming``); ``HeldRuns`` also by
the workflows' first pass.
"""

import os
import zlib
from pathlib import Path

import numpy as np

from tavni.mt_map.io.formats import EndsEarly, Nifti, format_of
from tavni.mt_map.io.volumes import VolumeError

__all__ = ["GZIP_NAME", "gzip_library", "HeldRuns", "ArrayReader", "FileReader"]

try:
    from isal import igzip as gzip_library  # several times zlib's speed, same format
    from isal.isal_zlib import error as _GzipError

    GZIP_NAME = "isal igzip"
except ImportError:  # isal is a dependency, but has no wheel everywhere
    import gzip as gzip_library
    from zlib import error as _GzipError

    GZIP_NAME = "zlib"

# Data types whose every value is a float32 value.
_EXACT_IN_FLOAT32 = frozenset("f4 i1 u1 i2 u2 b1".split())


class HeldRuns:
    """An image kept as the runs one pass read it in, handed to another pass
    as runs of whatever length it asks for (an input of ``run`` in place of
    a path): views where a run of the second pass lies within one of the
    first (the same budget gives the same runs), each run let go once
    handed over in full.

    Parameters
    ----------
    runs : list of numpy.ndarray
        The image's runs in order, float32, one array each (taken over).
    """

    dtype = np.dtype(np.float32)

    def __init__(self, runs):
        self._runs, self._index, self._offset = runs, 0, 0

    def read(self, count):
        """The next ``count`` values, read-only."""
        pieces = []
        while count:
            run = self._runs[self._index]
            taken = min(count, run.size - self._offset)
            pieces.append(run[self._offset : self._offset + taken])
            self._offset += taken
            count -= taken
            if self._offset == run.size:
                self._runs[self._index] = None
                self._index, self._offset = self._index + 1, 0
        piece = pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
        piece.flags.writeable = False
        return piece

    def close(self):
        """Lets the runs go."""
        self._runs = None


class ArrayReader:
    """Values of a volume held in memory (float32, on the maps' grid), in
    Fortran order, a run at a time: an image brought onto the grid before
    the maps are made.

    Parameters
    ----------
    array : numpy.ndarray
        The volume (converted to float32 if it is not).
    what : str
        What the image is, for messages.
    """

    exact = True

    def __init__(self, array: np.ndarray, what: str) -> None:
        self.what, self.shape, self.dtype = what, array.shape, np.dtype(np.float32)
        self._flat = np.asarray(array, dtype=np.float32).reshape(-1, order="F")
        self.position = 0

    @property
    def voxels(self) -> int:
        """The volume's voxels."""
        return self._flat.size

    def read(self, count: int) -> np.ndarray:
        """The next ``count`` values, read-only."""
        # A view, not a copy: copying each run into fresh memory cost more
        # than the decompression it replaces. Read-only, so that no
        # computation can change the image it was handed.
        start, self.position = self.position, self.position + count
        run = self._flat[start : start + count]
        run.flags.writeable = False
        return run

    def close(self) -> None:
        """Lets the volume go."""
        self._flat = None


class FileReader:
    """Values of one volume in file (Fortran) order, a run at a time.

    Parameters
    ----------
    path : path-like
        A NIfTI (.nii, .nii.gz, .hdr/.img) or .npy image; names without a
        registered suffix go to nibabel.
    what : str
        What the image is, for messages.

    Raises
    ------
    VolumeError
        With one line naming the file, when it cannot be opened.
    """

    def __init__(self, path: str | os.PathLike, what: str) -> None:
        self.path, self.what = Path(path), what
        self._stream = self._array = self._flat = None
        try:
            # Names without a registered suffix go to nibabel, which reads more.
            source = format_of(self.path, default=Nifti).open_runs(self.path, gzip_library.open)
        except EndsEarly:
            raise VolumeError(f"cannot read {what} '{self.path}': file ends early") from None
        except Exception as error:  # any reader failure is the file's fault
            reason = str(error).splitlines()[0] if str(error) else type(error).__name__
            raise VolumeError(f"cannot read {what} '{path}': {reason}") from None
        self.shape, self.dtype, self.scaling = source.shape, source.dtype, source.scaling
        self._array, self._stream = source.array, source.stream
        # A Fortran-ordered array is read as it lies; a C-ordered one is
        # gathered run by run in Fortran order, like every other input.
        if self._array is not None and self._array.flags.f_contiguous:
            self._flat = self._array.reshape(-1, order="F")
        self.exact = (
            self.dtype.kind + str(self.dtype.itemsize) in _EXACT_IN_FLOAT32 and self.scaling is None
        )
        self.position = 0

    @property
    def voxels(self) -> int:
        """The volume's voxels."""
        return int(np.prod(self.shape, dtype=np.int64))

    def read(self, count: int) -> np.ndarray:
        """The next count values: float32 where exact, else float64."""
        try:
            return self._read(count)
        except (OSError, EOFError, ValueError, zlib.error, _GzipError) as error:
            reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
            raise VolumeError(f"cannot read {self.what} '{self.path}': {reason}") from None

    def _read(self, count):
        start, self.position = self.position, self.position + count
        if self._stream is None:
            if self._flat is not None:
                raw = np.array(self._flat[start : start + count])  # off the read-only map
            else:
                index = np.unravel_index(np.arange(start, start + count), self.shape, order="F")
                raw = self._array[index]
        else:
            raw = np.empty(count, dtype=self.dtype)  # filled by the stream, not zeroed first
            view, got = memoryview(raw.view(np.uint8)), 0
            while got < view.nbytes:
                n = self._stream.readinto(view[got:])
                if n == 0:
                    raise VolumeError(f"cannot read {self.what} '{self.path}': file ends early")
                got += n
        if self.exact:
            return raw.astype(np.float32, copy=False)  # a float32 image as it was read
        if self.scaling is None:
            return raw.astype(np.float64)
        from nibabel.volumeutils import apply_read_scaling

        slope, inter = self.scaling
        return apply_read_scaling(raw, np.float64(slope), np.float64(inter)).astype(
            np.float64, copy=False
        )

    def close(self) -> None:
        """Closes the file."""
        if self._stream is not None:
            self._stream.close()
        self._array = self._flat = None
