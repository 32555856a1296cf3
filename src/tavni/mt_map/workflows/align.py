"""Every image of a workflow onto the reference grid and one intensity scale.

The first image of a workflow (the MT-weighted scan, or the first scan)
fixes the grid of the maps. Each other image is brought onto it through
world coordinates (``preprocess.grid``): scans after a rigid registration
onto the reference scan (``preprocess.registration``), field maps smoothed
and extended, masks thresholded. An image already on the grid, unmoved and
unscaled, is streamed from its file as it is; the others are held in
memory as float32 volumes on the grid, which ``stream.stream_maps`` reads
in their place. :func:`align` does this for any images; :func:`onto_grid`
for a workflow after its prologue, with the B1 map's check first, and
:func:`with_alignment` adds what it did to the workflow's summary.
"""

from dataclasses import dataclass, field

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.preprocess import grid
from tavni.mt_map.preprocess.registration import (
    MIN_VOXELS_PER_AXIS,
    MOVED_DEG,
    MOVED_MM,
    RegistrationError,
    rigid,
)
from tavni.mt_map.workflows.b1_check import check_relative_b1
from tavni.mt_map.workflows.summary import warn

__all__ = [
    "SCAN",
    "FIELD",
    "MASK",
    "MAP",
    "UNMOVED_VOXELS",
    "Alignment",
    "align",
    "onto_grid",
    "with_alignment",
]

SCAN, FIELD, MASK, MAP = "scan", "field", "mask", "map"
"""What an image is, which decides how it reaches the grid: a scan is
registered to the reference scan and interpolated by cubic splines; a field
map smoothed, extended and interpolated linearly; a mask interpolated and
thresholded; a map (R1) interpolated like a scan, not registered."""

UNMOVED_VOXELS = 0.05
"""A registered scan on the reference grid whose estimated motion moves no
corner of the field of view by more than this share of a voxel is used as
it is: interpolating it would only blur it."""


@dataclass
class Alignment:
    """How the images reached the reference grid.

    Attributes
    ----------
    arrays : dict of str to numpy.ndarray
        float32 volumes on the grid (Fortran order) that replace their files.
    motion : dict of str to registration.Motion
        The estimated motion of each registered scan.
    notes : list of str
        One line each on what was done, for the summary.
    warnings : list of str
        Scans that moved more than the threshold, fields that cover little.
    """

    arrays: dict = field(default_factory=dict)
    motion: dict = field(default_factory=dict)
    notes: list = field(default_factory=list)
    warnings: list = field(default_factory=list)


def _read(probe):
    return volumes.load(probe).data


def _grid_text(probe):
    sizes = grid.voxel_sizes(probe.affine)
    return (
        f"{'x'.join(str(n) for n in probe.shape)} voxels of {'x'.join(f'{s:g}' for s in sizes)} mm"
    )


def _check_positioned(probe, reference):
    if probe.affine is None or reference.affine is None:
        raise volumes.VolumeError(
            f"{probe.what} '{probe.path}' has shape {probe.shape}, {reference.what} "
            f"'{reference.path}' {reference.shape}; an image without a position "
            "(.npy) must have the shape of the maps"
        )


def _corner_shift(motion, reference):
    """The largest displacement the motion gives a corner of the reference's
    field of view, in voxels.
    """
    corners = np.array(np.meshgrid(*[[0, n - 1] for n in reference.shape])).reshape(3, -1)
    points = reference.affine @ np.vstack([corners, np.ones(corners.shape[1])])
    moved = motion.matrix @ points
    return (
        np.linalg.norm(moved[:3] - points[:3], axis=0).max()
        / grid.voxel_sizes(reference.affine).min()
    )


def _register(name, probe, reference, fixed, read, alignment):
    """The motion of one scan relative to the reference scan, or None where
    there is none to estimate; ``read(name)`` gives the scan's data.
    """
    if probe.affine is None or reference.affine is None:
        alignment.notes.append(f"{probe.what} not registered: .npy images carry no position")
        return None
    small = [p for p in (probe, reference) if min(p.shape[:3]) < MIN_VOXELS_PER_AXIS]
    if small:
        alignment.notes.append(
            f"{probe.what} not registered: {small[0].what} has fewer than "
            f"{MIN_VOXELS_PER_AXIS} voxels along an axis"
        )
        return None
    moving = read(name)
    flat = [
        p
        for p, data in ((reference, fixed), (probe, moving))
        if not np.nanmax(data) > np.nanmin(data)
    ]
    if flat:
        # One value everywhere: no structure for the metric to align.
        alignment.notes.append(f"{probe.what} not registered: {flat[0].what} is uniform")
        return None
    try:
        motion = rigid(fixed, reference.affine, moving, probe.affine)
    except RegistrationError as error:
        raise volumes.VolumeError(
            f"cannot register {probe.what} '{probe.path}' onto {reference.what}: {error}; "
            "check that both are scans of the same head, or map without registration "
            "(register=False)"
        ) from None
    alignment.motion[name] = motion
    if motion.moved():
        alignment.warnings.append(
            f"{probe.what} moved {motion.text()} relative to {reference.what} (more than "
            f"{MOVED_MM:g} mm or {MOVED_DEG:g} deg); registered onto it"
        )
    return motion


def align(probes, roles, *, register=True, scales=None, follows=None, arrays=None):
    """Brings every image onto the first one's grid.

    Parameters
    ----------
    probes : dict of str to volumes.Probe
        The images by name; the first is the reference (its grid is the
        maps').
    roles : dict of str to str
        Image name to ``SCAN``, ``FIELD``, ``MASK`` or ``MAP``; images not
        named are taken as maps. The reference is never moved.
    register : bool
        Register the scans onto the reference (a rigid motion each).
    scales : dict of str to float, optional
        Factors that put each image on one intensity scale (vendor scale
        fields), by image name; 1 where not named.
    follows : dict of str to str, optional
        Scans that take another scan's motion instead of a registration of
        their own (the later echoes of a readout take its first echo's), by
        name; the scan they follow comes before them in ``probes``.
    arrays : dict of str to numpy.ndarray, optional
        Images already read (float32, on their own grid), by name: used in
        place of their files, and kept in the result where on the grid.

    Returns
    -------
    Alignment

    Raises
    ------
    volumes.VolumeError
        An image that cannot be read, an image without a position whose
        shape differs, a registration that fails, or a field map that
        covers none of the maps' voxels. One line each.
    """
    alignment = Alignment()
    names = list(probes)
    reference = probes[names[0]]
    scales = {name: float(f) for name, f in (scales or {}).items() if name in probes}
    # Registration and resampling hold whole volumes: the reference and one
    # image in double, their copies in single precision, the volumes made.
    largest = max(p.voxels for p in probes.values())
    volumes.check_memory(
        8 * 3 * largest + 4 * reference.voxels * len(probes),
        "bringing the images onto one grid",
    )
    fixed, loaded, used = None, {}, {}
    follows, arrays = follows or {}, arrays or {}

    def read(name):
        # Each image is read once, whether registered, resampled, scaled or
        # all of these.
        if name not in loaded:
            loaded[name] = arrays[name] if name in arrays else _read(probes[name])
        return loaded[name]

    def unused(name):
        # Kept only while the intensity scale still needs it.
        if scales.get(name, 1.0) == 1.0:
            loaded.pop(name, None)

    if names[0] in arrays:
        alignment.arrays[names[0]] = arrays[names[0]]
    for name in names[1:]:
        probe = probes[name]
        role = roles.get(name, MAP)
        on_grid = grid.same_grid(probe.shape, probe.affine, reference.shape, reference.affine)
        motion = None
        if name in follows:
            motion = used.get(follows[name])
        elif role == SCAN and register:
            if fixed is None:
                fixed = read(names[0])
                if scales.get(names[0], 1.0) != 1.0:
                    fixed = fixed * scales[names[0]]
            motion = _register(name, probe, reference, fixed, read, alignment)
            if motion is not None and on_grid and _corner_shift(motion, reference) < UNMOVED_VOXELS:
                motion = None  # below what an interpolation can resolve
        used[name] = motion
        if on_grid and motion is None:
            unused(name)
            if name in arrays:
                alignment.arrays[name] = arrays[name]
            continue
        _check_positioned(probe, reference)
        data = read(name)
        loaded.pop(name)  # what the scale needs is the resampled volume
        alignment.arrays[name] = _resampled(data, probe, role, motion, reference, alignment)
    for name in names[1:]:
        if roles.get(name) == FIELD and name in alignment.arrays:
            _check_covers(name, probes, alignment, read)
    _scale(probes, scales, read, alignment)
    if alignment.motion:
        alignment.notes.insert(
            0,
            f"motion relative to {reference.what}: "
            + "; ".join(f"{probes[n].what} {m.text()}" for n, m in alignment.motion.items()),
        )
    return alignment


def _resampled(data, probe, role, motion, reference, alignment):
    """One image's data on the reference grid as its role has it (a field
    smoothed and extended, a mask thresholded, a scan or map interpolated
    after its motion); refuses an image that does not overlap the reference.
    """
    if role == FIELD:
        values = grid.field_onto(data, probe.affine, reference.shape, reference.affine)
        alignment.notes.append(
            f"{probe.what} resampled from {_grid_text(probe)}: smoothed "
            f"{grid.FIELD_FWHM_MM:g} mm FWHM, extended {grid.FIELD_EXTENSION_MM:g} mm past "
            "its coverage"
        )
    elif role == MASK:
        values = grid.mask_onto(data, probe.affine, reference.shape, reference.affine)
    else:
        values = grid.resample(
            data,
            probe.affine,
            reference.shape,
            reference.affine,
            world=None if motion is None else motion.matrix,
        )
    if role != MASK and not np.isfinite(values).any():
        raise volumes.VolumeError(
            f"{probe.what} '{probe.path}' does not overlap {reference.what} "
            f"'{reference.path}' (their fields of view lie apart in the scanner)"
        )
    return values


def _scale(probes, scales, read, alignment):
    """Puts the images of ``scales`` on one intensity scale, each held on
    the grid (read there where it was streamed as it is).
    """
    for name, factor in scales.items():
        if factor == 1.0:
            continue
        if name not in alignment.arrays:
            alignment.arrays[name] = np.asfortranarray(read(name), dtype=np.float32)
        alignment.arrays[name] *= np.float32(factor)
        alignment.notes.append(f"{probes[name].what} multiplied by {factor:.6g} (intensity scale)")


def _check_covers(name, probes, alignment, read):
    """Refuses a field map that covers none of the voxels to fit (the mask's,
    or all); counts the voxels it leaves uncovered.
    """
    probe, reference = probes[name], next(iter(probes.values()))
    covered = np.isfinite(alignment.arrays[name])
    wanted = None
    if "mask" in probes:
        wanted = alignment.arrays.get("mask")
        wanted = read("mask") if wanted is None else wanted
        wanted = volumes.in_mask(wanted)
        covered &= wanted
    if not covered.any():
        raise volumes.VolumeError(
            f"{probe.what} '{probe.path}' does not overlap "
            + ("the mask's voxels of " if wanted is not None else "")
            + f"{reference.what} '{reference.path}' (their fields of view lie apart "
            "in the scanner)"
        )
    missing = int((wanted.sum() if wanted is not None else covered.size) - covered.sum())
    if missing:
        alignment.notes.append(
            f"{probe.what}: {missing} voxels to fit lie beyond its coverage "
            f"(+{grid.FIELD_EXTENSION_MM:g} mm) and count as invalid input"
        )


def onto_grid(
    prepared, roles, *, register=True, scales=None, follows=None, arrays=None, check_b1=True
):
    """Brings a workflow's images onto the maps' grid (``align.align``),
    issuing its warnings; kept in ``prepared.alignment``.

    Parameters
    ----------
    prepared : prologue.Prepared
    roles : dict of str to str
        Image name to ``align.SCAN``, ``FIELD``, ``MASK`` or ``MAP``.
    register, scales, follows, arrays
        As ``align.align`` takes them.
    check_b1 : bool
        Check the B1 map's median first (a pass of its own); False where
        the workflow checks it in a pass it makes anyway (``B1Sample``).

    Returns
    -------
    align.Alignment
    """
    if check_b1 and "b1" in prepared.probes:
        check_relative_b1(prepared.probes["b1"], prepared.max_memory)
    prepared.alignment = align(
        prepared.probes, roles, register=register, scales=scales, follows=follows, arrays=arrays
    )
    for message in prepared.alignment.warnings:
        warn(message)
    return prepared.alignment


def with_alignment(summary, alignment):
    """A summary with what ``onto_grid`` did: the motion, its notes first,
    its warnings.

    Parameters
    ----------
    summary : Summary
    alignment : align.Alignment or None

    Returns
    -------
    Summary
        The same summary.
    """
    if alignment is not None:
        summary.motion = dict(alignment.motion)
        summary.notes = alignment.notes + summary.notes
        summary.warnings = alignment.warnings + summary.warnings
    return summary
