"""Volumes a run of voxels at a time: bounded memory for maps of any size.

A map of the fraction (or R1, M0, ...) takes each voxel on its own, so a
workflow never needs whole volumes in memory. ``run`` reads every input a
run of voxels at a time in file order, hands the runs to a computation, and
writes what it returns to every output in the same order, all with the
memory of a few runs:

- NIfTI stores the slowest axis last, voxels in Fortran order, so a run of
  consecutive voxels is a contiguous stretch of the file, also inside a
  gzip stream: it is read and decompressed as it arrives, never seeked.
- Each input's next run is read while the current one is computed, and the
  outputs' previous runs are compressed at the same time, in threads: the
  gzip libraries (``isal``'s igzip to read, else the standard library's
  zlib; zlib to write) release the interpreter lock, and so does the fit.
- Values come as float32 where that is exact (float32 and 8- or 16-bit
  integer images without scaling), else as float64 (scaled or wider data,
  scaled as nibabel scales it).
- A .nii.gz output is one gzip member, header and values, as every gzip
  reader expects (some read the first member only).
- Outputs are written to temporary files beside their targets and moved
  into place only when all are complete: all outputs or none.

Used by the workflows (``tavni.mt_map.workflows``) for every map they make;
.npy images take the same route (read through a memory map, written in
Fortran order). Where the
values of each format lie, and the header written before them, are the
formats' to say (``formats``).
"""

import errno
import os
import struct
import tempfile
import zlib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from tavni.mt_map.io.formats import EndsEarly, Nifti, canonical_nan, format_of, gzipped
from tavni.mt_map.io.volumes import VolumeError, available_memory

__all__ = [
    "GZIP_LEVEL",
    "RUN_VOXELS",
    "DEFAULT_MEMORY_SHARE",
    "BASELINE_BYTES",
    "gzip_codec",
    "default_budget",
    "run_voxels",
    "run",
    "GZIP_NAME",
    "BudgetError",
    "HeldRuns",
    "working_minimum",
    "check_budget",
]

try:
    from isal import igzip as _gzip  # several times zlib's speed, same format
    from isal.isal_zlib import error as _GzipError

    GZIP_NAME = "isal igzip"
except ImportError:  # isal is a dependency, but has no wheel everywhere
    import gzip as _gzip
    from zlib import error as _GzipError

    GZIP_NAME = "zlib"

# The streamed outputs are compressed by the standard library's zlib, not
# igzip: igzip compressed one map's identical bytes to files of different
# lengths in two processes (a local run and a Slurm job, 111665 and 111668
# bytes), and the same values must give the same files wherever they are
# computed. zlib takes about seven times igzip's CPU time (0.2 s for a 1 mm
# map), on the writer threads.
_deflate = zlib

GZIP_LEVEL = 1
"""Level of the outputs' compression: the fastest, as nibabel writes .nii.gz."""
RUN_VOXELS = 1 << 18
"""Voxels in a run when memory allows: per-run costs vanish from about 2^17
on (2^20 was no faster and held about 180 MiB more for a 1 mm head), and
reading, fitting and writing overlap well."""
DEFAULT_MEMORY_SHARE = 0.5
"""The share of the available memory a workflow may use by default."""
BASELINE_BYTES = 96 << 20
"""Bytes the interpreter, NumPy and nibabel take before any voxel is read."""

# Data types whose every value is a float32 value.
_EXACT_IN_FLOAT32 = frozenset("f4 i1 u1 i2 u2 b1".split())


def gzip_codec():
    """The gzip the package reads with, and the one it writes with at the
    level it writes.

    Returns
    -------
    name : str
        The libraries and level, e.g. ``"isal igzip to read, zlib level 1
        to write"``.
    decompress : callable
        ``decompress(bytes) -> bytes``.
    compress : callable
        ``compress(bytes) -> bytes`` by zlib at ``GZIP_LEVEL``.
    """
    import gzip

    return (
        f"{GZIP_NAME} to read, zlib level {GZIP_LEVEL} to write",
        _gzip.decompress,
        lambda data: gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0),
    )


def _write_error(what, path, error):
    reason = "the disk is full" if error.errno == errno.ENOSPC else error.strerror
    return VolumeError(f"cannot write {what} '{path}': {reason}")


def default_budget():
    """Bytes a workflow may use by default.

    Returns
    -------
    int
        ``DEFAULT_MEMORY_SHARE`` of the available memory, or 4 GiB where
        that is unknown.
    """
    available = available_memory()
    return int(DEFAULT_MEMORY_SHARE * available) if available is not None else 4 << 30


# ---------------------------------------------------------------------------
# Reading.


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


class _ArrayReader:
    """Values of a volume held in memory (float32, on the maps' grid), in
    Fortran order, a run at a time: an image brought onto the grid before
    the maps are made.
    """

    exact = True

    def __init__(self, array, what):
        self.what, self.shape, self.dtype = what, array.shape, np.dtype(np.float32)
        self._flat = np.asarray(array, dtype=np.float32).reshape(-1, order="F")
        self.position = 0

    @property
    def voxels(self):
        return self._flat.size

    def read(self, count):
        # A view, not a copy: copying each run into fresh memory cost more
        # than the decompression it replaces. Read-only, so that no
        # computation can change the image it was handed.
        start, self.position = self.position, self.position + count
        run = self._flat[start : start + count]
        run.flags.writeable = False
        return run

    def close(self):
        self._flat = None


class _Reader:
    """Values of one volume in file (Fortran) order, a run at a time."""

    def __init__(self, path, what):
        self.path, self.what = Path(path), what
        self._stream = self._array = self._flat = None
        try:
            # Names without a registered suffix go to nibabel, which reads more.
            source = format_of(self.path, default=Nifti).open_runs(self.path, _gzip.open)
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
    def voxels(self):
        return int(np.prod(self.shape, dtype=np.int64))

    def read(self, count):
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

    def close(self):
        if self._stream is not None:
            self._stream.close()
        self._array = self._flat = None


# ---------------------------------------------------------------------------
# Writing.


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


class _Writer:
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
    """

    def __init__(self, path, what, temporary, shape, dtype, header=None):
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

    def write(self, values):
        """Writes one run, or a list of runs in order."""
        try:
            for run in values if isinstance(values, list) else [values]:
                self._write(run)
        except OSError as error:
            raise _write_error(self.what, self.path, error) from None

    def finish(self):
        try:
            self._finish()
        except OSError as error:
            raise _write_error(self.what, self.path, error) from None

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

    def abandon(self):
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
# The loop.


def run_voxels(budget, per_voxel_bytes, plane):
    """Voxels per run within a memory budget.

    Parameters
    ----------
    budget : int
        Bytes the whole process may use.
    per_voxel_bytes : int
        Bytes each voxel of a run holds at once.
    plane : int
        Voxels in a plane across the slowest axis.

    Returns
    -------
    int
        ``RUN_VOXELS``, less when the budget (beyond ``BASELINE_BYTES``)
        says so, in whole planes where a plane fits; at least 1.
    """
    room = max(1, (budget - BASELINE_BYTES) // max(1, per_voxel_bytes))
    run = min(RUN_VOXELS, room)
    return max(1, (run // plane) * plane if run >= plane else run)


class BudgetError(VolumeError):
    """A memory budget below the working minimum; ``parameter`` names the
    keyword at fault (``max_memory``), as ``protocol.ParameterError`` does.
    """

    parameter = "max_memory"


def working_minimum(per_voxel_bytes):
    """The smallest memory budget a map can be made within.

    Parameters
    ----------
    per_voxel_bytes : int
        Bytes each voxel of a run holds at once.

    Returns
    -------
    int
        ``BASELINE_BYTES`` and one voxel's bytes: below it, runs would be
        cut to single voxels that never fit, hours where seconds would do.
    """
    return BASELINE_BYTES + per_voxel_bytes


def check_budget(budget, per_voxel_bytes):
    """Refuses a memory budget below ``working_minimum``.

    Parameters
    ----------
    budget : int
        Bytes the whole process may use.
    per_voxel_bytes : int
        Bytes each voxel of a run holds at once.

    Raises
    ------
    BudgetError
        Naming the minimum, in bytes and MiB.
    """
    minimum = working_minimum(per_voxel_bytes)
    if budget < minimum:
        raise BudgetError(
            f"max_memory of {budget} bytes is below the working minimum of {minimum} "
            f"bytes ({-(-minimum // (1 << 20))} MiB: {BASELINE_BYTES >> 20} MiB for the "
            f"interpreter, NumPy and nibabel, and {per_voxel_bytes} bytes for each voxel "
            "of a run)"
        )


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def run(inputs, outputs, compute, *, shape, budget=None, work_bytes=48, progress=None, finish=None):
    """Streams inputs through compute into outputs, a run of voxels at a time.

    Parameters
    ----------
    inputs : dict
        name -> (path, what): NIfTI (.nii, .nii.gz) or .npy images of `shape`;
        a float32 array of `shape` in place of the path is read from memory,
        and an object with ``read(count)`` (the next run), ``dtype`` and
        ``close()`` is asked for the runs itself.
    outputs : dict
        name -> (path, what, dtype, header): the file to write, what it is
        (for messages), its data type, and for NIfTI a
        ``nibabel.Nifti1Header`` with the geometry to give it (its data
        type, shape, scaling and display range are set here).
    compute : callable
        compute(values) -> dict; values maps each input name to a 1-D array
        of a run of voxels (float32 where exact, else float64); the result
        maps each output name to an array of the same length, or to a list
        of the runs of that output now due (an output made later than its
        inputs: none, the runs held back, then this one; in order).
    shape : tuple of int
        The volume's shape, voxels (all inputs share it).
    budget : int, optional
        Bytes of memory the whole process may use; default a share of the
        available memory. Beyond it, runs get shorter; below
        ``working_minimum`` the work is refused.
    work_bytes : int
        Bytes per voxel that compute needs beside its inputs and outputs.
    progress : callable, optional
        progress(voxels) after each run.
    finish : callable, optional
        finish() -> dict of output name to the list of its runs still owed
        after the last run, written before the outputs are completed.

    Raises
    ------
    VolumeError
        With one line naming the user's file, when an input cannot be read
        or an output not written; then no output is left behind.
    BudgetError
        A budget below ``working_minimum``, before any output is created.
    """
    if budget is None:
        budget = default_budget()
    voxels = int(np.prod(shape, dtype=np.int64))
    readers, writers = {}, {}
    try:
        for name, (path, what) in inputs.items():
            if hasattr(path, "read"):
                readers[name] = path  # a source of runs of its own
            elif isinstance(path, np.ndarray):
                readers[name] = _ArrayReader(path, what)
            else:
                readers[name] = _Reader(path, what)
        # Two runs of each input in flight (one read ahead) and two of each
        # output (one being compressed), each input also as float64.
        per_voxel = (
            sum(2 * r.dtype.itemsize + 8 for r in readers.values())
            + sum(2 * np.dtype(dtype).itemsize + 8 for _, _, dtype, _ in outputs.values())
            + work_bytes
        )
        check_budget(budget, per_voxel)
        for name, (path, what, dtype, header) in outputs.items():
            path = Path(path)
            suffix = ".nii.gz" if path.name.endswith(".nii.gz") else path.suffix
            try:
                handle, temporary = tempfile.mkstemp(
                    prefix=f".{path.name}.", suffix=suffix, dir=path.parent
                )
                os.close(handle)
                geometry = format_of(path, default=Nifti).geometry
                writers[name] = _Writer(
                    path, what, temporary, shape, dtype, header.copy() if geometry else None
                )
            except OSError as error:
                raise _write_error(what, path, error) from None
        plane = int(np.prod(shape[:-1], dtype=np.int64)) if len(shape) > 1 else 1
        step = run_voxels(budget, per_voxel, plane)

        def read_all(count):
            return {name: pool.submit(reader.read, count) for name, reader in readers.items()}

        with ThreadPoolExecutor(max_workers=len(readers) + len(writers)) as pool:
            pending = read_all(min(step, voxels))
            writing = []
            for start in range(0, voxels, step):
                count = min(step, voxels - start)
                values = {name: future.result() for name, future in pending.items()}
                if start + count < voxels:
                    pending = read_all(min(step, voxels - start - count))
                results = compute(values)
                del values
                for future in writing:
                    future.result()
                writing = [pool.submit(writers[name].write, results[name]) for name in writers]
                del results
                if progress is not None:
                    progress(count)
            for future in writing:
                future.result()
            owed = finish() if finish is not None else {}
            for future in [pool.submit(writers[name].write, runs) for name, runs in owed.items()]:
                future.result()
        for writer in writers.values():
            writer.finish()
        for name in list(writers):
            writer = writers[name]
            try:
                os.chmod(writer.temporary, 0o666 & ~_umask())  # as if created directly
                os.replace(writer.temporary, writer.path)
            except OSError as error:
                raise _write_error(writer.what, writer.path, error) from None
            del writers[name]
    finally:
        for reader in readers.values():
            reader.close()
        for writer in writers.values():
            writer.abandon()
