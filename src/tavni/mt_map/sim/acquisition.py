"""What a scanner adds to the phantom's ideal scans: motion, the B1 sequence's grid and images.

- head motion between the scans, as a rigid transform of world
  coordinates, either seen inside a fixed field of view (the image
  resampled) or followed by the scanner (the affine moved);
- the transmit field's own grid (voxel size, field of view, a sagittal
  orientation), as a B1 mapping sequence has it;
- the images the B1 mapping sequences write: the double-angle method (DAM),
  actual flip-angle imaging (AFI) and a flip-angle map in tenths of a
  degree with its anatomical image (TFL).

Used by the phantom's steps (:mod:`~tavni.mt_map.sim.scans`,
:mod:`~tavni.mt_map.sim.fields`); resampling is scipy.ndimage's.
"""

import math

import numpy as np

from tavni.mt_map.defaults import B1_SCANS

__all__ = [
    "MOTION",
    "B1_SEQUENCES",
    "rigid",
    "motions",
    "moved",
    "resample",
    "b1_grid",
    "b1_scan_images",
    "rician",
]

MOTION = {
    "pdw": ((1.0, 0.0, 0.0), 1.0, (0.0, 0.0, 1.0)),
    "t1w": ((0.0, 0.0, 1.0), -1.0, (1.0, 0.0, 0.0)),
}
"""Per moved scan: rotation axis (world), sign of the angle, direction of the
translation. With ``--motion DEG MM`` the PD-weighted scan's head is nodded
by +DEG about x and moved MM up (+z); the T1-weighted scan's head is turned
by -DEG about z and moved MM to the right (+x)."""

B1_SEQUENCES = {
    "dam": {"flip_angles_deg": (60.0, 120.0)},
    "afi": {"flip_angle_deg": 60.0, "TR": (0.020, 0.100)},
    "tfl": {"flip_angle_deg": 80.0, "anatomical_flip_angle_deg": 8.0},
}
"""Each B1 mapping sequence's settings (angles in degrees, times in s)."""


def rician(signal, sigma, rng):
    """Rician magnitude: ``abs(signal + n_re + i n_im)``.

    Parameters
    ----------
    signal : numpy.ndarray
        The noiseless magnitude.
    sigma : float
        Standard deviation of the Gaussian noise n_re and n_im of each
        channel, independent, in the signal's unit.
    rng : numpy.random.Generator

    Returns
    -------
    numpy.ndarray
    """
    real = signal + rng.normal(0.0, sigma, signal.shape)
    imaginary = rng.normal(0.0, sigma, signal.shape)
    return np.hypot(real, imaginary)


def rigid(rotation_deg, axis, translation_mm, centre_mm):
    """A rigid transform of world coordinates, as a 4 x 4 matrix.

    ``p -> R (p - c) + c + t``: a rotation by ``rotation_deg`` about
    ``axis`` through the centre c, then a translation t.

    Parameters
    ----------
    rotation_deg : float
        Angle, degrees (right-handed about the axis).
    axis : sequence of 3 float
        Direction of the axis (normalised here).
    translation_mm : sequence of 3 float
        t, mm.
    centre_mm : sequence of 3 float
        c, mm.

    Returns
    -------
    numpy.ndarray
        (4, 4) float64.
    """
    axis = np.asarray(axis, dtype=np.float64)
    axis = axis / np.linalg.norm(axis)
    angle = math.radians(rotation_deg)
    # Rodrigues' formula.
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    rotation = np.eye(3) + math.sin(angle) * k + (1.0 - math.cos(angle)) * (k @ k)
    centre = np.asarray(centre_mm, dtype=np.float64)
    matrix = np.eye(4)
    matrix[:3, :3] = rotation
    matrix[:3, 3] = centre + np.asarray(translation_mm, dtype=np.float64) - rotation @ centre
    return matrix


def motions(degrees, millimetres, centre_mm, auto_align=False):
    """The head's motion for each moved scan (``MOTION``), as written down.

    Parameters
    ----------
    degrees, millimetres : float
        Angle (degrees) and translation (mm) of each moved scan.
    centre_mm : sequence of 3 float
        The head's centre, world mm, about which it turns.
    auto_align : bool
        Whether the scanner followed the head (recorded only).

    Returns
    -------
    dict
        Scan name -> ``rotation_deg``, ``rotation_axis``, ``translation_mm``
        (the centre's displacement), ``centre_mm``, ``auto_align`` and
        ``matrix`` (4 x 4 nested lists): the transform taking a point of the
        head in the MT-weighted scan's world coordinates to where it is
        during this scan.
    """
    centre = [float(c) for c in centre_mm]
    out = {}
    for scan, (axis, sign, direction) in MOTION.items():
        translation = [float(millimetres) * d for d in direction]
        angle = sign * float(degrees)
        out[scan] = {
            "rotation_deg": angle,
            "rotation_axis": list(axis),
            "translation_mm": translation,
            "centre_mm": centre,
            "auto_align": bool(auto_align),
            "matrix": rigid(angle, axis, translation, centre).tolist(),
        }
    return out


def moved(image, affine, matrix, order=3):
    """An image of the head after it moved by ``matrix``, on the same grid.

    The voxel at world position w now holds what the unmoved head had at
    ``matrix^-1 w``; outside the unmoved grid is background (0).

    Parameters
    ----------
    image : numpy.ndarray
        The unmoved head, 3-D.
    affine : numpy.ndarray
        Its grid, voxel indices to world mm (4 x 4).
    matrix : array-like
        The motion (4 x 4, world to world).
    order : int
        Spline order. Cubic by default: a scanner images the moved head as
        sharply as the unmoved one, and a linear interpolation here would
        blur the moved scans (grey matter's partial volumes most) beyond
        what the motion itself does.

    Returns
    -------
    numpy.ndarray
        float64, the image's shape; not negative (a magnitude image; the
        spline's overshoot at the head's edge is cut at 0).
    """
    from scipy import ndimage

    # Voxel of the moved image -> world -> unmoved head -> its voxel.
    to_source = np.linalg.inv(affine) @ np.linalg.inv(np.asarray(matrix)) @ affine
    values = ndimage.affine_transform(
        np.asarray(image, dtype=np.float64), to_source, order=order, mode="constant", cval=0.0
    )
    return np.maximum(values, 0.0, out=values)


def resample(image, affine, target_affine, target_shape, order=1):
    """An image taken through world coordinates onto another grid.

    Parameters
    ----------
    image : numpy.ndarray
        3-D, on ``affine``'s grid.
    affine, target_affine : numpy.ndarray
        Voxel indices to world mm (4 x 4).
    target_shape : tuple of 3 int
    order : int
        Spline order.

    Returns
    -------
    numpy.ndarray
        float64 of ``target_shape``; 0 outside the image.
    """
    from scipy import ndimage

    to_source = np.linalg.inv(affine) @ np.asarray(target_affine)
    return ndimage.affine_transform(
        np.asarray(image, dtype=np.float64),
        to_source,
        output_shape=tuple(target_shape),
        order=order,
        mode="constant",
        cval=0.0,
    )


def b1_grid(affine, shape, voxel_size, margin=10.0):
    """A B1 sequence's own grid around the scans' field of view.

    Sagittal: the voxel axes run along world y (anterior), -z (down) and x,
    so that neither the axes' order nor their signs match the scans'. The
    field of view holds the scans' voxel centres plus ``margin`` mm on every
    side and is centred on them.

    Parameters
    ----------
    affine : numpy.ndarray
        The scans' grid (4 x 4).
    shape : tuple of 3 int
        The scans' grid.
    voxel_size : float
        Edge of the B1 voxels, mm.
    margin : float
        mm beyond the scans' outermost voxel centres.

    Returns
    -------
    (numpy.ndarray, tuple of 3 int)
        The B1 grid's affine and shape.

    Raises
    ------
    ValueError
        A voxel size that is not positive and finite.
    """
    if not (voxel_size > 0 and math.isfinite(voxel_size)):
        raise ValueError(f"the B1 voxel size must be a positive number of mm (got {voxel_size})")
    corners = np.array(
        [
            [i, j, k, 1.0]
            for i in (0, shape[0] - 1)
            for j in (0, shape[1] - 1)
            for k in (0, shape[2] - 1)
        ]
    )
    world = (affine @ corners.T)[:3]
    low, high = world.min(axis=1) - margin, world.max(axis=1) + margin
    axes = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, -1.0], [1.0, 0.0, 0.0]]).T * voxel_size
    # Voxel axis a runs along world axis order[a].
    order = (1, 2, 0)
    b1_shape = tuple(int(math.ceil((high[w] - low[w]) / voxel_size)) + 1 for w in order)
    b1_affine = np.eye(4)
    b1_affine[:3, :3] = axes
    centre = 0.5 * (low + high)
    b1_affine[:3, 3] = centre - axes @ (0.5 * (np.array(b1_shape) - 1.0))
    return b1_affine, b1_shape


def _noisy(images, sigma, rng):
    return [rician(image, sigma, rng) if sigma > 0 else image for image in images]


def b1_scan_images(kind, m0, r1, b1, snr, rng, reference):
    """The images a B1 mapping sequence writes, with their sidecar fields.

    Parameters
    ----------
    kind : {"dam", "afi", "tfl"}
    m0, r1 (1/s), b1 : numpy.ndarray
        Equilibrium signal, relaxation rate and relative transmit field on
        the B1 grid.
    snr : float or None
        The first image's mean signal in ``reference`` over the noise's
        standard deviation per channel (Rician); None: no noise.
    rng : numpy.random.Generator
    reference : numpy.ndarray of bool
        Where the SNR is measured (white matter).

    Returns
    -------
    dict
        File stem (``b1_dam_flip1``, ...) -> (image, sidecar fields).

    Notes
    -----
    Double-angle method (long TR, full relaxation)::

        S_i = M0 sin(B1 a_i),  a_2 = 2 a_1;  B1 = arccos(S2 / (2 S1)) / a_1

    Actual flip-angle imaging, the steady state of two interleaved TRs
    (Yarnykh, Magn Reson Med 2007; 57: 192), a = B1 alpha, E_i = exp(-TR_i R1)::

        S1 = M0 sin a (1 - E2 + (1 - E1) E2 cos a) / (1 - E1 E2 cos^2 a)
        S2 = M0 sin a (1 - E1 + (1 - E2) E1 cos a) / (1 - E1 E2 cos^2 a)

    Flip-angle map: ``famp = 10 alpha B1`` (tenths of a degree, stored as
    whole numbers), with an anatomical image ``M0 sin(B1 alpha_anat)``; its
    noise is Gaussian with a standard deviation of ``10 alpha / SNR``.
    """
    settings = B1_SEQUENCES[kind]
    if kind == "dam":
        a1, a2 = (math.radians(a) for a in settings["flip_angles_deg"])
        images = [m0 * np.sin(b1 * a1), m0 * np.sin(b1 * a2)]
        fields = [{"FlipAngle": a} for a in settings["flip_angles_deg"]]
        stems = ["b1_dam_flip1", "b1_dam_flip2"]
    elif kind == "afi":
        alpha = math.radians(settings["flip_angle_deg"])
        tr1, tr2 = settings["TR"]
        a = b1 * alpha
        e1, e2 = np.exp(-tr1 * r1), np.exp(-tr2 * r1)
        cos = np.cos(a)
        denominator = 1.0 - e1 * e2 * cos**2
        images = [
            m0 * np.sin(a) * (1.0 - e2 + (1.0 - e1) * e2 * cos) / denominator,
            m0 * np.sin(a) * (1.0 - e1 + (1.0 - e2) * e1 * cos) / denominator,
        ]
        fields = [
            {"FlipAngle": settings["flip_angle_deg"], "RepetitionTimeExcitation": tr}
            for tr in (tr1, tr2)
        ]
        stems = ["b1_afi_tr1", "b1_afi_tr2"]
    elif kind == "tfl":
        alpha = settings["flip_angle_deg"]
        anatomical = m0 * np.sin(b1 * math.radians(settings["anatomical_flip_angle_deg"]))
        famp = 10.0 * alpha * b1
        if snr is not None:
            famp = famp + rng.normal(0.0, 10.0 * alpha / snr, famp.shape)
        images = [anatomical, np.round(famp)]
        fields = [{"FlipAngle": settings["anatomical_flip_angle_deg"]}, {"FlipAngle": alpha}]
        stems = ["b1_tfl_anat", "b1_tfl_famp"]
    else:
        raise ValueError(f"B1 scans must be one of {', '.join(B1_SCANS[1:])}, not {kind!r}")
    if snr is not None:
        first = images[0][reference] if reference.any() else images[0][m0 > 0]
        sigma = float(first.mean()) / snr if first.size else 0.0
        magnitudes = images if kind != "tfl" else images[:1]
        images[: len(magnitudes)] = _noisy(magnitudes, sigma, rng)
    return {stem: (image, field) for stem, image, field in zip(stems, images, fields)}
