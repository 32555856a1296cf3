"""The outputs of ``streaming.run``: a file written a run of voxels at a time.

``OutputWriter`` writes one output to a temporary file beside its target,
its format's prelude first and then the values run by run; a .nii.gz output
is one gzip member whose bytes depend on the values alone (not on the runs,
the temporary name or the time). ``streaming`` moves the files into place
once all are complete.
"""

import errno
import os
import struct
import zlib
from pathlib import Path

import numpy as np
from numpy.typing import DTypeLike

from tavni.mt_map.io.formats import Nifti, canonical_nan, format_of, gzipped
from tavni.mt_map.io.volumes import VolumeError

__all__ = ["GZIP_LEVEL", "OutputWriter", "write_error"]


# The streamed outputs are compressed by the standard library's zlib, not
# igzip: igzip compressed one map's identical bytes to files of different
# lengths in two processes (a local run and a Slurm job, 111665 and 111668
# bytes), and the same values must give the same files wherever they are
# computed. zlib takes about seven times igzip's CPU time (0.2 s for a 1 mm
# map), on the writer threads.
_deflate = zlib

GZIP_LEVEL = 1
"""Level of the outputs' compression: the fastest, as nibabel writes .nii.gz."""


def write_error(what: str, path: str | os.PathLike, error: OSError) -> VolumeError:
    """The one-line failure to write an output.

    Parameters
    ----------
    what : str
        What the output is, for the message.
    path : path-like
        The output's path, as the user gave it.
    error : OSError
        The failure.

    Returns
    -------
    VolumeError
        Naming the file and the reason (a full disk said so).
    """
    reason = "the disk is full" if error.errno == errno.ENOSPC else error.strerror
    return VolumeError(f"cannot write {what} '{path}': {reason}")


# One gzip member per file (RFC 1951, 1952). Readers that take only the
# first member of a .nii.gz (the BIDS validator, some viewers) see the whole
# image. The header goes first as a stored (uncompressed) deflate block, so
# that its bytes keep their place and can be rewritten once the display
# range is known; the values follow as the deflate blocks of one compressor,
# which starts on the byte boundary a stored block ends on. The trailer's
# CRC-32 covers header and values: the values' CRC is kept as they are
# compressed and combined with the final header's at the end.

# Magic, deflate, no flags, no time, "fastest" (as gzip -1 marks it), no OS.
_GZIP_HEAD = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff"
_STORED_HEAD = 5  # BFINAL=0, BTYPE=00, padding; LEN, NLEN
_CRC_POLY = 0xEDB88320  # CRC-32's polynomial, bits reversed


def _multiply_mod_poly(a, b):
    """The product a b modulo the CRC-32 polynomial (reflected bit order)."""
    product, bit = 0, 1 << 31
    while a:
        if a & bit:
            product ^= b
            a ^= bit
        bit >>= 1
        b = (b >> 1) ^ _CRC_POLY if b & 1 else b >> 1
    return product


def _crc32_combine(crc1, crc2, length2):
    """CRC-32 of a + b from crc1 = crc32(a), crc2 = crc32(b), length2 = len(b).

    Appending n bytes multiplies a's register by x^(8n) modulo the
    polynomial; x^(8n) is built from x^(2^k) by squaring, so the cost grows
    with log n (zlib's crc32_combine, which Python's zlib lacks).
    """
    shift, power = 1 << 31, 1 << 30  # x^0 and x^1
    n = 8 * length2
    while n:
        if n & 1:
            shift = _multiply_mod_poly(power, shift)
        power = _multiply_mod_poly(power, power)
        n >>= 1
    return _multiply_mod_poly(shift, crc1) ^ crc2


def _stored_block(data):
    """The head of a non-final stored deflate block holding data (< 64 KiB)."""
    return b"\x00" + struct.pack("<HH", len(data), len(data) ^ 0xFFFF)


_COMPRESS_BLOCK = 1 << 20


class OutputWriter:
    """One output written a run at a time to a temporary file.

    The file starts with its format's prelude; where the format keeps the
    display range in a header (NIfTI), the prelude is rewritten in place
    when the data is complete (see ``formats.Format.prelude``). A gzipped
    output is one gzip member: the prelude in a stored block, then the
    values compressed by one compressor, handed to it in blocks of
    ``_COMPRESS_BLOCK`` bytes whatever the runs: a compressor's output may
    depend on where its input is cut (igzip's did), and the runs' length on
    the memory budget, so the same values give the same bytes in every run,
    on every machine.

    Parameters
    ----------
    path : path-like
        The output's target; its suffix says its format.
    what : str
        What the output is, for messages.
    temporary : path-like
        The file written (created already, or created here).
    shape : tuple of int
        The volume's shape.
    dtype : numpy.dtype
        The values' type in the file.
    header : nibabel.Nifti1Header, optional
        For a format with geometry, the header to give the output (its data
        type, shape, scaling and display range set here).
    """

    def __init__(
        self,
        path: str | os.PathLike,
        what: str,
        temporary: str | os.PathLike,
        shape: tuple[int, ...],
        dtype: DTypeLike,
        header=None,
    ) -> None:
        self.path, self.what, self.temporary = Path(path), what, temporary
        self.shape, self.dtype = shape, np.dtype(dtype)
        self.header = header
        self._low, self._high = np.inf, -np.inf
        self._count = 0  # values written
        self._format = format_of(path, default=Nifti)
        self._file = open(temporary, "wb")
        prelude = self._prelude()
        self._compressor = None
        if gzipped(path):
            # No file name and no time in the gzip header (as gzip -n): the
            # bytes depend on the values alone, not on the temporary name.
            self._file.write(_GZIP_HEAD + _stored_block(prelude))
            self._compressor = _deflate.compressobj(GZIP_LEVEL, _deflate.DEFLATED, -15)
            self._crc, self._size = 0, 0
            self._pending = bytearray()
        self._prelude_at = self._file.tell()
        self._file.write(prelude)

    def _prelude(self):
        return self._format.prelude(
            self.path, self.shape, self.dtype, self.header, self._low, self._high
        )

    def write(self, values: np.ndarray | list[np.ndarray]) -> None:
        """Writes one run, or a list of runs in order."""
        try:
            for run in values if isinstance(values, list) else [values]:
                self._write(run)
        except OSError as error:
            raise write_error(self.what, self.path, error) from None

    def finish(self) -> None:
        """Writes the rest (and the final prelude) and closes the file."""
        try:
            self._finish()
        except OSError as error:
            raise write_error(self.what, self.path, error) from None

    def _write(self, values):
        values = canonical_nan(np.asarray(values).astype(self.dtype, copy=False))
        self._count += values.size
        if values.size and self.header is not None:
            finite = values if values.dtype.kind != "f" else values[np.isfinite(values)]
            if finite.size:
                self._low = min(self._low, float(finite.min()))
                self._high = max(self._high, float(finite.max()))
        data = memoryview(np.ascontiguousarray(values)).cast("B")
        if self._compressor is None:
            self._file.write(data)
            return
        self._crc = zlib.crc32(data, self._crc)
        self._size += data.nbytes
        if self._pending:
            taken = _COMPRESS_BLOCK - len(self._pending)
            self._pending += data[:taken]
            data = data[taken:]
            if len(self._pending) < _COMPRESS_BLOCK:
                return
            self._file.write(self._compressor.compress(self._pending))
            self._pending = bytearray()
        while len(data) >= _COMPRESS_BLOCK:
            self._file.write(self._compressor.compress(data[:_COMPRESS_BLOCK]))
            data = data[_COMPRESS_BLOCK:]
        self._pending += data

    def _finish(self):
        voxels = int(np.prod(self.shape, dtype=np.int64))
        if self._count != voxels:  # a computation that still owes runs
            raise RuntimeError(f"{self.path}: {self._count} values written of {voxels}")
        prelude = self._prelude()
        if self._compressor is not None:
            self._file.write(self._compressor.compress(self._pending))
            self._file.write(self._compressor.flush())  # the final block
            crc = _crc32_combine(zlib.crc32(prelude), self._crc, self._size)
            size = (len(prelude) + self._size) & 0xFFFFFFFF
            self._file.write(struct.pack("<II", crc, size))
        if self.header is not None:
            self._file.seek(self._prelude_at)
            self._file.write(prelude)
        self._file.close()

    def abandon(self) -> None:
        """Closes and removes the temporary file; never raises, so that
        every other output is cleaned up too (closing a file on a full disk
        fails with the data it could not flush).
        """
        try:
            self._file.close()
        except (OSError, ValueError):
            pass
        try:
            Path(self.temporary).unlink(missing_ok=True)
        except OSError:
            pass


# ---------------------------------------------------------------------------
