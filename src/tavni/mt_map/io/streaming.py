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
formats' to say (``formats``); the inputs' readers are in ``run_readers``,
the outputs' writer in ``run_writer``.
"""

import os
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from tavni.mt_map.io.formats import Nifti, format_of
from tavni.mt_map.io.run_readers import GZIP_NAME, ArrayReader, FileReader, gzip_library
from tavni.mt_map.io.run_writer import GZIP_LEVEL, OutputWriter, write_error
from tavni.mt_map.io.volumes import VolumeError, available_memory

__all__ = [
    "RUN_VOXELS",
    "DEFAULT_MEMORY_SHARE",
    "BASELINE_BYTES",
    "gzip_codec",
    "default_budget",
    "run_voxels",
    "run",
    "BudgetError",
    "working_minimum",
    "check_budget",
]

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
        gzip_library.decompress,
        lambda data: gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0),
    )


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
                readers[name] = ArrayReader(path, what)
            else:
                readers[name] = FileReader(path, what)
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
                writers[name] = OutputWriter(
                    path, what, temporary, shape, dtype, header.copy() if geometry else None
                )
            except OSError as error:
                raise write_error(what, path, error) from None
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
                raise write_error(writer.what, writer.path, error) from None
            del writers[name]
    finally:
        for reader in readers.values():
            reader.close()
        for writer in writers.values():
            writer.abandon()
