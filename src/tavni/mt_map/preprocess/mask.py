"""A brain mask from one scan, for when none is given.

For the BIDS App (the MT-weighted scan, on the output grid) and for whoever
needs a mask from a scan: :func:`brain_mask`. No trained model and no
downloaded weights: a median filter and Otsu's threshold (dipy's
``median_otsu``) separate the head from the background, then morphology
sized in millimetres, not voxels, keeps the brain alone, so that the mask
behaves the same at 1 mm and at 2 mm.
"""

import numpy as np

__all__ = ["METHOD", "DESCRIPTION", "brain_mask", "write_brain_mask"]

METHOD = "median Otsu"
"""The method's short name, for sidecars and reports."""

DESCRIPTION = (
    f"{METHOD} (median filter, Otsu's threshold), then an opening, the largest connected "
    "component, holes filled and a closing, sized in mm"
)
"""The method in one sentence, for sidecars."""

# Radius of the median filter: wide enough to silence Rician noise in the
# background at the SNRs of structural scans, narrow enough to keep the
# dark skull between brain and scalp (a few mm) dark. One voxel at 1 and
# 2 mm: the filter's cost grows with the cube of its width (a 5-voxel cube
# over a 1 mm head takes ten times as long as a 3-voxel one), and the
# morphology after it, sized in mm, sets the mask's shape.
_MEDIAN_MM = 1.5
# One pass: on 2 mm blocks the noise is already averaged down; a second pass
# costs as much again (0.7 s for a 1 mm head) for a Dice 0.001 apart.
_MEDIAN_PASSES = 1
# The opening's ball: erosion by it removes every structure thinner than
# twice its radius (a scalp shell, the bridges a median filter or partial
# volumes leave across a thin skull), and the dilation gives the remaining
# brain back its outline.
_OPENING_MM = 4.0
# The closing's ball: fills the notches of sulci and vessels at the brain's
# edge without reaching across the skull.
_CLOSING_MM = 3.0
# The head's median over the background's: noise alone gives less than 2, a
# scan at an SNR of 10 gives more than 5.
_CONTRAST = 4.0
# Far smaller than any brain, bigger than what noise leaves after the opening:
# a component below this volume is no brain at all.
_SMALLEST_BRAIN_ML = 0.5
# Finer scans are averaged over blocks to about this voxel size first, the
# mask found there interpolated back: the brain's outline is set by the
# morphology's balls (3-4 mm) anyway, and a 1 mm head costs an eighth.
_WORKING_MM = 2.0


def _block_mean(data, factors):
    """The image averaged over blocks of factors voxels (zero-padded)."""
    shape = [int(np.ceil(n / k)) * k for n, k in zip(data.shape, factors)]
    padded = np.zeros(shape, dtype=np.float32)
    padded[: data.shape[0], : data.shape[1], : data.shape[2]] = data
    blocks = padded.reshape(
        shape[0] // factors[0],
        factors[0],
        shape[1] // factors[1],
        factors[1],
        shape[2] // factors[2],
        factors[2],
    )
    return blocks.mean(axis=(1, 3, 5), dtype=np.float32)


def _refined(coarse, factors, sizes, shape):
    """A mask of the block grid interpolated onto the fine grid."""
    from tavni.mt_map.preprocess.grid import mask_onto

    fine = np.diag([*sizes, 1.0])
    block = np.diag([*(sizes * factors), 1.0])
    # A block's centre lies half a block less half a voxel past its first voxel.
    block[:3, 3] = (np.asarray(factors) - 1) / 2 * sizes
    return mask_onto(coarse.astype(np.float32), block, shape, fine) > 0


def _eroded(mask, radius_mm, voxel_size):
    """Erosion by a ball of radius_mm: the voxels farther than that from
    the background (distances in mm, exact for any voxel shape, and as fast
    for a wide ball as for a narrow one).
    """
    from scipy import ndimage

    return ndimage.distance_transform_edt(mask, sampling=voxel_size) > radius_mm


def _dilated(mask, radius_mm, voxel_size):
    """Dilation by a ball of radius_mm: the voxels within that of the mask."""
    from scipy import ndimage

    return ndimage.distance_transform_edt(~mask, sampling=voxel_size) <= radius_mm


def _voxel_sizes(voxel_size_mm):
    try:
        sizes = np.broadcast_to(np.asarray(voxel_size_mm, dtype=float), (3,)).copy()
    except (TypeError, ValueError):
        raise ValueError(
            f"voxel size must be one number or three (mm), not {voxel_size_mm!r}"
        ) from None
    if not np.all(np.isfinite(sizes) & (sizes > 0)):
        raise ValueError(f"voxel size must be positive and finite (mm), not {voxel_size_mm!r}")
    return sizes


def brain_mask(image, voxel_size_mm):
    """The brain (tissue and the CSF around it) in one scan of a head.

    A scan finer than 2 mm is first averaged over blocks to about 2 mm, and
    the mask found there interpolated back. A median filter (radius 1.5 mm
    in whole voxels, at least one; one pass) and Otsu's threshold (dipy's
    ``median_otsu`` method) part head from background. An opening by a ball of
    4 mm cuts what is thinner than 8 mm (a scalp shell, bridges across the
    skull), the largest connected component is kept, its holes filled
    (ventricles, dark lesions) and a closing by a ball of 3 mm smooths its
    edge. Works on a brain alone and on a head with a bright scalp beyond
    a dark skull.

    Parameters
    ----------
    image : array_like
        3-D scan; NaN and infinities count as background.
    voxel_size_mm : float or sequence of 3 float
        Voxel edges along the array's axes, mm.

    Returns
    -------
    numpy.ndarray
        bool, image's shape: True in the brain.

    Raises
    ------
    ValueError
        Not a 3-D image, a voxel size that is not positive, or no
        brain-like foreground (a blank image, one of noise only, a
        foreground smaller than a brain).
    """
    from dipy.segment.threshold import otsu
    from scipy import ndimage

    data = np.asarray(image, dtype=np.float32)
    if data.ndim != 3:
        raise ValueError(f"a brain mask needs a 3-D image, not one of shape {data.shape}")
    sizes = _voxel_sizes(voxel_size_mm)
    # Magnitude images: what is not a finite positive value is background.
    data = np.where(np.isfinite(data) & (data > 0), data, np.float32(0))
    if not data.any() or data.min() == data.max():
        raise ValueError("no brain-like foreground: the image is blank")
    factors = np.maximum(1, (_WORKING_MM + 1e-6) // sizes).astype(int)
    if factors.max() > 1:
        coarse = brain_mask(_block_mean(data, factors), sizes * factors)
        return _refined(coarse, factors, sizes, data.shape)
    # dipy's filter is a cube of the same number of voxels along each axis:
    # its radius in voxels comes from the finest voxel edge.
    radius = max(1, int(_MEDIAN_MM // sizes.min()))
    # dipy's median_otsu, step by step: its module imports dipy's tensor
    # reconstruction, which costs a participant 1.5 s and 120 MiB for
    # nothing it uses here.
    smooth = data
    for _ in range(_MEDIAN_PASSES):
        smooth = ndimage.median_filter(smooth, size=2 * radius + 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        # Otsu's class means divide by empty classes at the histogram's ends.
        head = smooth > otsu(smooth)
    del smooth
    if not head.any():
        raise ValueError("no brain-like foreground: nothing stands out from the background")
    # Otsu's threshold splits any histogram in two, noise alone too: a head
    # stands out from the background by far more than the upper half of a
    # Rayleigh distribution does from its lower half (less than twice, once
    # median filtered).
    inside = float(np.median(data[head]))
    outside = float(np.median(data[~head])) if not head.all() else 0.0
    if not inside > _CONTRAST * outside:
        ratio = inside / outside if outside > 0 else 0.0
        raise ValueError(
            f"no brain-like foreground: the head found is only {ratio:.2g} times "
            "as bright as the background"
        )
    # The morphology works in the head's bounding box, padded: nothing it
    # does reaches further than the pad past the head, and the background
    # around a head is half the grid or more. The pad also gives a brain
    # touching the grid's border background beyond it, so that it is not
    # eaten away there.
    box = _bounding_box(head)
    pad = int(np.ceil(max(_OPENING_MM, _CLOSING_MM) / sizes.min())) + 1
    head = np.pad(head[box], pad)
    core = _eroded(head, _OPENING_MM, sizes)
    if not core.any():
        raise ValueError(
            f"no brain-like foreground: nothing is {2 * _OPENING_MM:g} mm thick or more"
        )
    labels, _ = ndimage.label(_dilated(core, _OPENING_MM, sizes))
    voxels = np.bincount(labels.ravel())[1:]
    largest = int(np.argmax(voxels)) + 1
    if voxels[largest - 1] * sizes.prod() < _SMALLEST_BRAIN_ML * 1000.0:
        raise ValueError(
            f"no brain-like foreground: the largest object is "
            f"{voxels[largest - 1] * sizes.prod() / 1000.0:.2g} ml"
        )
    brain = ndimage.binary_fill_holes(labels == largest)
    brain = _eroded(_dilated(brain, _CLOSING_MM, sizes), _CLOSING_MM, sizes)
    brain = ndimage.binary_fill_holes(brain)
    found = np.zeros(data.shape, dtype=bool)
    found[box] = brain[pad:-pad, pad:-pad, pad:-pad]
    return found


def _bounding_box(mask):
    """The slices of the smallest box holding every True voxel (some exist)."""
    box = []
    for axis in range(mask.ndim):
        others = tuple(a for a in range(mask.ndim) if a != axis)
        hit = np.flatnonzero(mask.any(axis=others))
        box.append(slice(int(hit[0]), int(hit[-1]) + 1))
    return tuple(box)


def write_brain_mask(scan, target, what="MT-weighted scan"):
    """Computes the brain mask of a scan and writes it on the scan's grid.

    Parameters
    ----------
    scan : path-like
        A 3-D image (NIfTI or .npy), or 4-D: its first volume (a multi-echo
        scan's first echo) is taken.
    target : path-like
        The mask to write: uint8, 1 in the brain, the scan's geometry.
    what : str
        What the scan is, for messages.

    Returns
    -------
    numpy.ndarray
        The mask, bool.

    Raises
    ------
    ValueError
        No brain-like foreground (see :func:`brain_mask`).
    tavni.mt_map.io.volumes.VolumeError
        The scan cannot be read or the mask not written.
    """
    from tavni.mt_map.io import volumes
    from tavni.mt_map.preprocess.grid import voxel_sizes

    volume = volumes.load(volumes.probe(scan, what))
    data = volume.data
    if data.ndim == 4:
        data = data[..., 0]
    voxel_size = 1.0 if volume.affine is None else voxel_sizes(volume.affine)
    mask = brain_mask(data, voxel_size)
    # The mask takes the scan's geometry alone: its values go now.
    del data
    volume.data = None
    volumes.save_all(
        [volumes.Output(target, "brain mask", mask, np.uint8, volume, f"brain mask ({METHOD})")]
    )
    return mask
