"""Images onto the reference grid, through world coordinates.

Each image carries an affine from its voxel indices to world (scanner)
coordinates in mm. A voxel of the reference grid is looked up in another
image at the world point they share, never at the same index: two scans of
one head are combined where they saw the same tissue, whatever their
voxel sizes, fields of view and orientations. A rigid motion of the head
between the scans (``registration``) enters as a world-to-world transform
on the way.

- Values are interpolated trilinearly by SimpleITK's resampler.
- Field maps (B1, B0) vary slowly over the head. Their noise and their
  ragged edge (where the mapping sequence had too little signal) would
  otherwise print into every map, so they are first smoothed lightly on
  their own grid and extended a little past the voxels they cover
  (``scipy.ndimage``).
- Masks are interpolated and thresholded at one half.

Reference voxels that fall outside an image (beyond its extension, for a
field map) get NaN, which the fits report as invalid input.
"""

import numpy as np

from tavni.mt_map.io.volumes import in_mask

__all__ = [
    "AFFINE_TOLERANCE",
    "FIELD_FWHM_MM",
    "FIELD_EXTENSION_MM",
    "voxel_sizes",
    "same_grid",
    "sitk_image",
    "resample",
    "field_onto",
    "mask_onto",
]

AFFINE_TOLERANCE = 1e-4
"""Affines agree when no entry differs by more than this share of the
smallest voxel size."""

FIELD_FWHM_MM = 6.0
"""Full width at half maximum of the Gaussian that smooths a field map on its
own grid before it is resampled, mm: light, as B1 mapping pipelines smooth
(the transmit field varies over centimetres at 3 T)."""

FIELD_EXTENSION_MM = 8.0
"""How far a field map is extended past the voxels it covers, mm: its
nearest covered value is carried out, so brain that lies just outside the
B1 sequence's slab or its signal threshold still has a field."""


def voxel_sizes(affine):
    """The voxel size along each axis of an affine, mm.

    Parameters
    ----------
    affine : numpy.ndarray
        4 x 4, voxel indices to world coordinates.

    Returns
    -------
    numpy.ndarray
        Three lengths: the norms of the affine's first three columns.
    """
    return np.sqrt((np.asarray(affine, dtype=float)[:3, :3] ** 2).sum(axis=0))


def same_grid(shape, affine, ref_shape, ref_affine):
    """Whether an image lies on the reference grid, voxel for voxel.

    Parameters
    ----------
    shape, ref_shape : tuple of int
    affine, ref_affine : numpy.ndarray or None
        None (an image without geometry, .npy) matches any affine.

    Returns
    -------
    bool
        Equal shapes and affines equal to ``AFFINE_TOLERANCE`` of the
        reference's smallest voxel size.
    """
    if tuple(shape) != tuple(ref_shape):
        return False
    if affine is None or ref_affine is None:
        return True
    tolerance = AFFINE_TOLERANCE * voxel_sizes(ref_affine).min()
    return bool(np.abs(np.asarray(affine) - np.asarray(ref_affine)).max() <= tolerance)


def sitk_image(data, affine):
    """A SimpleITK image in the world coordinates of a NIfTI affine.

    SimpleITK indexes (x, y, z) where NumPy's C order puts z first; its
    direction and spacing are the affine's columns, normalised. Every image
    handed to SimpleITK here is built this way, so the world frame's
    handedness (RAS here, LPS in ITK's own readers) never matters.

    Parameters
    ----------
    data : numpy.ndarray or tuple of int
        The values (3-D), or a shape for an image of geometry only.
    affine : numpy.ndarray
        Voxel indices to world coordinates, mm.

    Returns
    -------
    SimpleITK.Image
        float32.
    """
    import SimpleITK as sitk

    affine = np.asarray(affine, dtype=float)
    sizes = voxel_sizes(affine)
    if isinstance(data, tuple):
        image = sitk.Image([int(n) for n in data], sitk.sitkFloat32)
    else:
        # The transpose of a Fortran-ordered volume is C-ordered: no copy.
        image = sitk.GetImageFromArray(np.ascontiguousarray(np.asarray(data, np.float32).T))
    image.SetSpacing([float(s) for s in sizes])
    image.SetOrigin([float(v) for v in affine[:3, 3]])
    image.SetDirection([float(v) for v in (affine[:3, :3] / sizes).ravel()])
    return image


def resample(data, affine, ref_shape, ref_affine, *, world=None):
    """An image's values at the reference grid's voxel centres, by trilinear
    interpolation (SimpleITK's resampler, multi-threaded).

    Trilinear rather than a higher-order spline: it never rings at the
    head's edge, leaves a missing value (NaN) local, and costs a fraction
    of a second on a 1 mm head, where a cubic spline costs seconds per scan.

    Parameters
    ----------
    data : numpy.ndarray
        The image (3-D).
    affine : numpy.ndarray
        Its voxel indices to world coordinates, mm.
    ref_shape : tuple of int
        The reference grid's shape.
    ref_affine : numpy.ndarray
        The reference grid's affine.
    world : numpy.ndarray, optional
        4 x 4: reference world coordinates to the image's world
        coordinates (the head's motion between the two scans); identity by
        default.

    Returns
    -------
    numpy.ndarray
        float32, Fortran order (as the maps stream), NaN where the
        reference voxel lies outside the image or the interpolation meets
        NaN.
    """
    import SimpleITK as sitk

    transform = sitk.AffineTransform(3)
    if world is not None:
        world = np.asarray(world, dtype=float)
        transform.SetMatrix([float(v) for v in world[:3, :3].ravel()])
        transform.SetTranslation([float(v) for v in world[:3, 3]])
    values = sitk.Resample(
        sitk_image(data, affine),
        sitk_image(tuple(int(n) for n in ref_shape), ref_affine),
        transform,
        sitk.sitkLinear,
        float("nan"),
        sitk.sitkFloat32,
    )
    return sitk.GetArrayFromImage(values).T  # Fortran order, no copy


def field_onto(
    data,
    affine,
    ref_shape,
    ref_affine,
    *,
    fwhm_mm=FIELD_FWHM_MM,
    extension_mm=FIELD_EXTENSION_MM,
):
    """A field map (B1 or B0) smoothed, extended and resampled onto the
    reference grid.

    On the field map's own grid: the covered voxels (finite values) are
    smoothed by a Gaussian of ``fwhm_mm`` normalised by the smoothed
    coverage, so that the edge is not pulled towards zero; the map is
    padded and every voxel within ``extension_mm`` of a covered one takes
    the nearest covered value. The result is interpolated linearly at the
    reference voxel centres.

    Parameters
    ----------
    data : numpy.ndarray
        The field (3-D); NaN where the sequence measured nothing.
    affine : numpy.ndarray
        Its affine.
    ref_shape, ref_affine
        The reference grid.
    fwhm_mm : float
        Smoothing; 0 for none.
    extension_mm : float
        How far the covered region is extended, mm.

    Returns
    -------
    numpy.ndarray
        float32, Fortran order; NaN beyond the extension.
    """
    from scipy import ndimage

    sizes = voxel_sizes(affine)
    values = np.asarray(data, dtype=np.float64)
    covered = np.isfinite(values)
    if not covered.any():
        return np.full(ref_shape, np.nan, dtype=np.float32, order="F")
    filled = np.where(covered, values, 0.0)
    if fwhm_mm > 0:
        sigma = fwhm_mm / (2 * np.sqrt(2 * np.log(2))) / sizes
        weight = ndimage.gaussian_filter(covered.astype(np.float64), sigma, mode="constant")
        smoothed = ndimage.gaussian_filter(filled, sigma, mode="constant")
        with np.errstate(invalid="ignore", divide="ignore"):
            filled = np.where(covered, smoothed / weight, 0.0)
    # Pad by the extension, so that it reaches past the field of view, and
    # carry the nearest covered value out to that distance.
    pad = np.ceil(extension_mm / sizes).astype(int)
    filled = np.pad(filled, [(p, p) for p in pad])
    covered = np.pad(covered, [(p, p) for p in pad])
    distance, nearest = ndimage.distance_transform_edt(
        ~covered, sampling=sizes, return_indices=True
    )
    extended = filled[tuple(nearest)]
    extended[distance > extension_mm] = np.nan
    shifted = np.asarray(affine, dtype=float) @ np.vstack(
        [np.hstack([np.eye(3), -pad[:, None]]), [0, 0, 0, 1]]
    )
    return resample(extended, shifted, ref_shape, ref_affine)


def mask_onto(data, affine, ref_shape, ref_affine):
    """A mask resampled onto the reference grid.

    Parameters
    ----------
    data : numpy.ndarray
        Nonzero (and not NaN) inside.
    affine : numpy.ndarray
    ref_shape, ref_affine
        The reference grid.

    Returns
    -------
    numpy.ndarray
        float32 0/1, Fortran order: the linearly interpolated mask at one
        half or above; 0 outside the mask's field of view.
    """
    inside = in_mask(np.asarray(data, dtype=np.float64)).astype(np.float32)
    values = resample(inside, affine, ref_shape, ref_affine)
    return np.asfortranarray((np.nan_to_num(values) >= 0.5).astype(np.float32))
