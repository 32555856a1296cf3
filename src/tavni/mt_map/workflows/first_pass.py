"""The three-scan chain's pass before the maps': what must be known first.

:func:`first_pass` streams the images that the maps' pass needs facts of
beforehand: a B1 map on the scans' grid for its median, a B0 map and the
mask for the range of the offsets delta_omega + B0 that the lineshape grid
spans (robust to a few wild values). For ``chain.fraction_from_scans``.
"""

import numpy as np

from tavni.mt_map.io.volumes import in_mask
from tavni.mt_map.maps import lineshape_grid
from tavni.mt_map.workflows.b1_check import B1Sample
from tavni.mt_map.workflows.prologue import Prepared
from tavni.mt_map.workflows.summary import SAMPLE

__all__ = ["first_pass"]


def first_pass(prepared: Prepared, b1_on_grid: bool, given: dict, max_memory: int | None) -> tuple:
    """The pass before the maps': a B1 map on the scans' grid checked for its
    median (``B1Sample``), and the lineshape grid over the B0 map's offsets
    within the mask (None without a B0 map or a finite offset).

    Parameters
    ----------
    prepared : prologue.Prepared
        The chain's images, after ``align.onto_grid``.
    b1_on_grid : bool
        The B1 map lies on the scans' grid: its median is checked here.
    given : dict of str to protocol.Given
        The chain's parameters (``T2b`` for the lineshape grid).
    max_memory : int or None
        Bytes the pass may use; None: a share of the available memory.

    Returns
    -------
    grid : tuple or None
        ``maps.lineshape_grid`` over the offsets, where there is a B0 map.
    held : dict of str to run_readers.HeldRuns
        The B0 and B1 maps as read in this pass (their float32 runs, where
        they are float32 in their files), for the maps' pass to take from
        memory rather than decompress again.

    Raises
    ------
    volumes.VolumeError
        A B1 map that is not relative (``B1Sample.check``).
    """
    from tavni.mt_map.io import run_readers, streaming

    probes, arrays = prepared.probes, prepared.arrays
    like = probes["mtw"]
    b1_sample = B1Sample(probes["b1"]) if b1_on_grid else None
    first = ("b0", "mask") if "b0" in probes else ()
    surveyed = {n: (arrays.get(n, probes[n].path), probes[n].what) for n in first if n in probes}
    if b1_sample is not None:
        surveyed["b1"] = (probes["b1"].path, probes["b1"].what)  # the file, as given
    kept = {name: [] for name in ("b0", "b1") if name in surveyed and name not in arrays}

    def keep(values):
        for name, runs in kept.items():
            runs.append(values[name])  # each run a fresh array of the reader's
        if b1_sample is not None:
            b1_sample(values)
        return {}

    grid = None
    if "b0" in probes:
        span = _offset_span(surveyed, prepared.values["delta_omega"], like.shape, max_memory, keep)
        if span is not None:
            grid = lineshape_grid(*span, given["T2b"].value)
    elif surveyed:
        streaming.run(surveyed, {}, keep, shape=like.shape, budget=max_memory)
    if b1_sample is not None:
        b1_sample.check()
    held = {
        name: run_readers.HeldRuns(runs)
        for name, runs in kept.items()
        if runs and all(run.dtype == np.float32 for run in runs)
    }
    return grid, held


# The lineshape grid spans the offsets of the fitted voxels between these
# percentiles, widened on each side by _FENCE times their distance (at least
# _FENCE_HZ): real B0 maps stay well inside, while a wild value (1e30 Hz in
# the background, a phase wrap) would stretch the grid's steps over every
# voxel and blur G everywhere.
_PERCENTILES = (1.0, 99.0)
_FENCE = 3.0
_FENCE_HZ = 50.0


def _offset_span(images, delta_omega, shape, max_memory, also=None):
    """(smallest, largest) magnitude of the finite offsets delta_omega + B0
    (Hz) within the fences that the fitted voxels' offsets set (inside the
    mask, where there is one), or None when there is none; streamed, a
    second time only when some offset lies beyond the fences. ``also``, a
    computation of the same runs (``images`` may hold more than "b0" and
    "mask" for it), sees the first pass's runs.
    """
    from tavni.mt_map.io import streaming

    voxels = int(np.prod(shape, dtype=np.int64))
    stride = max(1, voxels // SAMPLE)
    span, sample, position = [np.inf, -np.inf], [], [0]

    def magnitudes(values):
        # The sum in float64 straight from the float32 run, then its size
        # in place: one array, not three.
        magnitude = np.add(values["b0"], delta_omega, dtype=np.float64)
        np.abs(magnitude, out=magnitude)
        return magnitude, np.isfinite(magnitude)

    def survey(values):
        magnitude, finite = magnitudes(values)
        if finite.any():
            kept = magnitude[finite]
            span[:] = min(span[0], float(kept.min())), max(span[1], float(kept.max()))
        fitted = finite if "mask" not in values else finite & in_mask(values["mask"])
        start = -position[0] % stride
        sample.append(magnitude[start::stride][fitted[start::stride]])
        position[0] += magnitude.size
        if also is not None:
            also(values)
        return {}

    streaming.run(images, {}, survey, shape=shape, budget=max_memory)
    sample = np.concatenate(sample)
    if sample.size == 0:
        return None
    low, high = np.percentile(sample, _PERCENTILES)
    width = _FENCE * max(high - low, _FENCE_HZ)
    fences = (low - width, high + width)
    if fences[0] <= span[0] and span[1] <= fences[1]:
        return tuple(span)

    span = [np.inf, -np.inf]

    def within(values):
        magnitude, finite = magnitudes(values)
        inside = magnitude[finite & (magnitude >= fences[0]) & (magnitude <= fences[1])]
        if inside.size:
            span[:] = min(span[0], float(inside.min())), max(span[1], float(inside.max()))
        return {}

    streaming.run({"b0": images["b0"]}, {}, within, shape=shape, budget=max_memory)
    return tuple(span)
