"""Where the phantom's tissues are: tissue probability maps on a grid in millimetres.

Two anatomies, both as partial-volume maps of white matter, grey matter and
cerebrospinal fluid (CSF), each voxel's probabilities adding up to at most
1 (the rest is background without signal):

- ``brain``: a human brain, the MNI ICBM152 2009a (nonlinear symmetric)
  template at 1 mm that nilearn ships inside its package (nothing is
  downloaded). Grey and white matter are the template's probability maps;
  CSF is what the brain mask holds besides them,
  CSF = clip(brain mask - GM - WM, 0, 1).
- ``geometric``: nested ellipsoids (CSF rim, cortex, white matter, two
  ventricles) for machines without nilearn and for tiny test volumes.

Either may be wrapped in a head (``head=True``): a skull and a scalp, each a
shell of a few millimetres around the brain's envelope, as two more
probability maps after the brain's three.

Coarser grids average the 1 mm maps over each coarse voxel (the volume each
1 mm voxel shares with it), which is how partial volumes arise in a scanner
with larger voxels. The phantom (``phantom.py``) turns the maps into tissue
parameters, fields and images.
"""

import functools
import importlib.util
import math
from dataclasses import dataclass

import numpy as np

__all__ = [
    "TISSUE_KEYS",
    "HEAD_KEYS",
    "SHELL_MM",
    "GEOMETRIC_FIELD_OF_VIEW",
    "Anatomy",
    "brain_available",
    "brain",
    "geometric",
    "grid_shape",
    "world_coordinates",
]

TISSUE_KEYS = ("wm", "gm", "csf")
"""Order of the tissue axis of ``Anatomy.probabilities``."""

HEAD_KEYS = ("skull", "scalp")
"""The shells a head adds after ``TISSUE_KEYS``, inside out."""

SHELL_MM = (5.0, 5.0)
"""Thickness (mm) of the skull and of the scalp around it."""

GEOMETRIC_FIELD_OF_VIEW = (160.0, 200.0, 160.0)
"""Extent (mm) of the geometric head along x, y, z."""

# Extent (mm) of each anatomy's grid, and its finest voxels.
_FIELD_OF_VIEW = {
    "brain": ((197.0, 233.0, 189.0), 1.0),
    "geometric": (GEOMETRIC_FIELD_OF_VIEW, 0.0),
}


@dataclass
class Anatomy:
    """Tissue probability maps on a grid in millimetres.

    Attributes
    ----------
    probabilities : numpy.ndarray
        (3, X, Y, Z) float32: white matter, grey matter, CSF (the order of
        ``TISSUE_KEYS``), each voxel's adding up to at most 1; with a head
        (5, X, Y, Z), skull and scalp following (``HEAD_KEYS``).
    affine : numpy.ndarray
        Voxel indices to world coordinates, mm (4 x 4).
    description : str
        What the anatomy is, for summaries.
    """

    probabilities: np.ndarray  # (3 or 5, X, Y, Z) float32: WM, GM, CSF[, skull, scalp]
    affine: np.ndarray  # voxel indices to world coordinates, mm
    description: str


def brain_available():
    """Whether nilearn, which ships the MNI ICBM152 template, is installed."""
    return importlib.util.find_spec("nilearn") is not None


def brain(voxel_size=1.0, head=False):
    """The MNI ICBM152 2009a brain's tissue maps, averaged to ``voxel_size`` mm.

    Parameters
    ----------
    voxel_size : float
        Edge of the (isotropic) voxels in mm, at least 1 (the template's
        own grid: 197 x 233 x 189 voxels).
    head : bool
        Add skull and scalp (``SHELL_MM``) around the brain's envelope,
        made at 1 mm and averaged with the brain. The template's box ends
        at the brainstem, so the shells stay open there, as the skull does
        at the neck.

    Returns
    -------
    Anatomy

    Raises
    ------
    ImportError
        nilearn is missing.
    ValueError
        A voxel size below 1 mm or not finite.
    """
    grid_shape("brain", voxel_size)
    probabilities, affine = _box_average(*(_template_head() if head else _template()), voxel_size)
    within = " in a head" if head else ""
    return Anatomy(probabilities, affine, f"MNI ICBM152 2009a brain{within} at {voxel_size:g} mm")


@functools.lru_cache(maxsize=1)
def _template():
    """The template's 1 mm maps (white matter, grey matter, CSF) and affine,
    read once per process (a dataset of many heads reads it once);
    read-only.
    """
    # The template's files are packaged with nilearn; these functions read
    # them and scale them to [0, 1].
    from nilearn.datasets import (
        load_mni152_brain_mask,
        load_mni152_gm_template,
        load_mni152_wm_template,
    )

    mask = load_mni152_brain_mask(resolution=1)
    gm = np.asarray(load_mni152_gm_template(resolution=1).get_fdata(dtype=np.float32))
    wm = np.asarray(load_mni152_wm_template(resolution=1).get_fdata(dtype=np.float32))
    inside = np.asarray(mask.get_fdata(dtype=np.float32))
    csf = np.clip(inside - gm - wm, 0.0, 1.0)
    probabilities = np.stack([wm, gm, csf])
    affine = mask.affine.copy()
    for array in (probabilities, affine):
        array.flags.writeable = False
    return probabilities, affine


@functools.lru_cache(maxsize=1)
def _template_head():
    """The template's maps with skull and scalp at 1 mm; read-only."""
    from scipy import ndimage

    probabilities, affine = _template()
    total = probabilities.sum(axis=0)
    envelope = ndimage.binary_fill_holes(total >= 0.5)
    # Distance (mm) of every voxel outside the envelope to the brain.
    distance = ndimage.distance_transform_edt(~envelope, sampling=np.abs(np.diag(affine)[:3]))
    skull, scalp = SHELL_MM
    room = np.clip(1.0 - total, 0.0, 1.0)
    shells = [
        room * ((distance > 0) & (distance <= skull)),
        room * ((distance > skull) & (distance <= skull + scalp)),
    ]
    maps = np.concatenate([probabilities, np.stack(shells).astype(np.float32)])
    maps.flags.writeable = False
    return maps, affine


def geometric(shape=None, voxel_size=1.0, head=False):
    """Nested ellipsoids standing in for a head, with sharp tissue borders.

    The head fills a field of view of 160 x 200 x 160 mm (x, y, z), as a
    brain does, whatever the grid.

    Parameters
    ----------
    shape : tuple of 3 int, optional
        Voxels per axis (the voxels then need not be cubes); default: the
        field of view at ``voxel_size``.
    voxel_size : float
        Edge of the voxels in mm, when ``shape`` is not given.
    head : bool
        Add skull and scalp: ellipsoidal shells of ``SHELL_MM`` around the
        brain's outer ellipsoid. The grid grows by whole voxels on every
        side to hold them (same voxels, same brain); the shells' partial
        volumes are sampled at about 1 mm within each voxel.

    Returns
    -------
    Anatomy
        Brain probabilities are 0 or 1; the world origin is the grid's
        centre.

    Raises
    ------
    ValueError
        A shape with an axis of no voxel, or (without a shape) a voxel size
        that is not positive and finite.
    """
    if shape is not None and min(shape) < 1:
        raise ValueError(
            f"the phantom needs at least one voxel per axis (got shape {' '.join(map(str, shape))})"
        )
    if shape is None:
        shape = grid_shape("geometric", voxel_size)
    x, y, z = np.meshgrid(*(np.linspace(-1.0, 1.0, n) for n in shape), indexing="ij", sparse=True)

    def inside(cx, cy, cz, rx, ry, rz):
        return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 + ((z - cz) / rz) ** 2 <= 1.0

    label = np.zeros(shape, dtype=np.uint8)
    label[inside(0, 0, 0, 0.95, 0.95, 0.95)] = 3  # fluid around the brain
    label[inside(0, 0, 0, 0.88, 0.88, 0.88)] = 2  # cortex
    label[inside(0, 0, 0, 0.66, 0.7, 0.64)] = 1  # white matter
    for side in (-0.15, 0.15):  # lateral ventricles
        label[inside(side, 0.05, 0.0, 0.08, 0.35, 0.3)] = 3
    probabilities = np.stack([label == tissue for tissue in (1, 2, 3)]).astype(np.float32)
    sizes = np.array(GEOMETRIC_FIELD_OF_VIEW, dtype=np.float64) / np.array(shape)
    affine = np.diag(list(sizes) + [1.0])
    affine[:3, 3] = -0.5 * sizes * (np.array(shape) - 1)
    description = f"geometric head of {shape[0]}x{shape[1]}x{shape[2]} voxels"
    if head:
        # The outer brain ellipsoid in mm: 0.95 of the span between the
        # first and last voxel centres.
        radii = 0.95 * 0.5 * sizes * (np.array(shape) - 1)
        probabilities, affine = _ellipsoid_shells(probabilities, affine, sizes, radii)
        description += " in a skull and scalp"
    return Anatomy(probabilities, affine, description)


def _ellipsoid_shells(probabilities, affine, sizes, radii):
    """Brain maps padded to hold skull and scalp, with those two appended.

    Each shell lies between ellipsoids whose radii grow by the shell's
    thickness; a voxel's share of it is the share of a regular lattice of
    points (about 1 mm apart) inside the voxel that fall in the shell,
    limited to the room the brain leaves.
    """
    skull, scalp = SHELL_MM
    pad = np.array([_shell_padding(size) for size in sizes])
    probabilities = np.pad(probabilities, [(0, 0)] + [(p, p) for p in pad])
    affine = affine.copy()
    affine[:3, 3] -= pad * sizes
    grid = probabilities.shape[1:]
    steps = np.maximum(1, np.ceil(sizes - 1e-9).astype(int))
    inside = np.zeros((2,) + grid, dtype=np.float64)
    for offsets in np.ndindex(*steps):
        # Sub-voxel points at the centres of a steps^3 subdivision.
        shift = (np.array(offsets) + 0.5) / steps - 0.5
        moved = affine.copy()
        moved[:3, 3] += shift * sizes
        x, y, z = world_coordinates(moved, grid)
        for k, grow in enumerate((skull, skull + scalp)):
            r = radii + grow
            inside[k] += (x / r[0]) ** 2 + (y / r[1]) ** 2 + (z / r[2]) ** 2 <= 1.0
    inside /= np.prod(steps)
    room = np.clip(1.0 - probabilities.sum(axis=0), 0.0, 1.0)
    shells = np.stack([room * inside[0], room * (inside[1] - inside[0])]).astype(np.float32)
    return np.concatenate([probabilities, shells]), affine


def grid_shape(anatomy, voxel_size, head=False):
    """Voxels per axis of an anatomy, known before anything is read or made.

    Parameters
    ----------
    anatomy : {"brain", "geometric"}
    voxel_size : float
        Edge of the voxels, mm.
    head : bool
        With skull and scalp (the geometric grid grows to hold them).

    Returns
    -------
    tuple of 3 int

    Raises
    ------
    ValueError
        A voxel size the anatomy cannot have (below the template's 1 mm for
        the brain, not positive for the geometric head, not finite).
    """
    extent, finest = _FIELD_OF_VIEW[anatomy]
    fits = voxel_size >= finest if finest > 0 else voxel_size > 0
    if not (fits and math.isfinite(voxel_size)):
        limit = f"at least {finest:g} mm, the template's" if finest > 0 else "positive"
        raise ValueError(f"the voxel size must be {limit} (got {voxel_size})")
    if anatomy == "brain":
        return tuple(math.ceil(n / voxel_size - 1e-9) for n in extent)
    shape = tuple(max(4, round(n / voxel_size)) for n in extent)
    if head:
        shape = tuple(n + 2 * _shell_padding(e / n) for n, e in zip(shape, extent))
    return shape


def _shell_padding(size):
    """Voxels of edge ``size`` mm added on each side for the shells."""
    return int(np.ceil((sum(SHELL_MM) + 2.0) / size - 0.5))


def world_coordinates(affine, shape):
    """World coordinates of every voxel centre.

    Parameters
    ----------
    affine : numpy.ndarray
        Voxel indices to world coordinates, mm (4 x 4).
    shape : tuple of 3 int
        The grid.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray, numpy.ndarray)
        x, y and z in mm, broadcasting to ``shape``.
    """
    indices = np.meshgrid(
        *(np.arange(n, dtype=np.float64) for n in shape), indexing="ij", sparse=True
    )
    return tuple(
        sum(affine[axis, k] * indices[k] for k in range(3)) + affine[axis, 3] for axis in range(3)
    )


def _overlap_weights(n, factor):
    """(m, n) matrix: the share of each coarse cell that each fine cell fills.

    Fine cell i spans [i, i + 1), coarse cell j spans [j, j + 1) * factor in
    units of the fine cells; rows add up to 1 where the coarse cell lies
    inside the fine grid (less at the far edge, which continues as
    background).
    """
    m = int(np.ceil(n / factor - 1e-9))
    edges_fine = np.arange(n + 1, dtype=np.float64)
    edges_coarse = np.arange(m + 1, dtype=np.float64) * factor
    low = np.maximum(edges_coarse[:-1, None], edges_fine[None, :-1])
    high = np.minimum(edges_coarse[1:, None], edges_fine[None, 1:])
    return (np.clip(high - low, 0.0, None) / factor).astype(np.float32)


def _box_average(maps, affine, voxel_size):
    """Maps (leading axis kept) averaged from the 1 mm grid of ``affine`` to
    isotropic voxels of ``voxel_size`` mm, with the matching affine. The
    coarse grid starts at the fine grid's first corner.
    """
    factor = float(voxel_size) / float(np.linalg.norm(affine[:3, 0]))
    if factor == 1.0:
        return maps, affine
    for axis in (1, 2, 3):
        weights = _overlap_weights(maps.shape[axis], factor)
        maps = np.moveaxis(np.tensordot(weights, maps, axes=([1], [axis])), 0, axis)
    coarse = affine.copy()
    coarse[:3, :3] = affine[:3, :3] * factor
    # The first coarse centre sits (factor - 1) / 2 fine voxels past the first fine centre.
    coarse[:3, 3] = affine[:3, 3] + affine[:3, :3] @ np.full(3, (factor - 1.0) / 2.0)
    return np.ascontiguousarray(maps, dtype=np.float32), coarse
