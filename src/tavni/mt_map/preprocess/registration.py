"""Rigid alignment of one scan to another: the head's motion between them.

A head moves as a rigid body between the scans of a session (a few mm, a
few degrees). Combining scans voxel by voxel without undoing that motion
mixes tissues at every edge, which a ratio of signals turns into large
errors of R1 and the fraction. The motion is estimated with SimpleITK (the
Insight Toolkit's registration framework): six degrees of freedom (three
rotations about the fixed scan's centre, three translations), Mattes mutual
information (the scans' contrasts differ), a regular-step gradient descent,
on a resolution pyramid of 8 and 4 mm (a rigid motion is fixed by the
head's large-scale shape: on the phantom, 4 mm finds a 3 degree, 2 mm
motion to within 0.1 degree and 0.1 mm, at a third of the time a further
2 mm level takes, a tenth of full resolution at 1 mm).

The images enter in world (scanner) coordinates, so that the motion found
is the one between the scans as they lie in the scanner, whatever their
grids.
"""

import math
from dataclasses import dataclass, field

import numpy as np

from tavni.mt_map.preprocess.grid import sitk_image

__all__ = [
    "METHOD",
    "MIN_VOXELS_PER_AXIS",
    "COARSEST_MM",
    "MOVED_MM",
    "MOVED_DEG",
    "RegistrationError",
    "Motion",
    "rigid",
]

METHOD = "rigid (6 degrees of freedom), SimpleITK, Mattes mutual information, pyramid 8 and 4 mm"
"""The registration in words, for sidecars and reports."""

MIN_VOXELS_PER_AXIS = 32
"""An image with fewer voxels along an axis holds too little structure for a
mutual-information registration (a head at 8 mm, a test volume); it is not
registered."""

COARSEST_MM = 8.0
"""Voxel size of the pyramid's coarsest level, mm."""

FINEST_MM = 4.0
"""Voxel size below which the pyramid does not go, mm."""

MOVED_MM = 1.0
"""A scan whose estimated translation exceeds this, mm, is named in a
warning: motion that large blurs every edge of a map combined without
registration."""

MOVED_DEG = 1.0
"""The same for rotation, degrees."""

# Mutual information of two scans of one head is several tenths of a nat
# (0.8-1.0 for the SPGR scans here); below this they share no structure (an
# image of noise, another body part), and any motion found means nothing.
_LEAST_INFORMATION = 0.05
# A rigid head motion in an MRI session stays well inside these; an
# estimate beyond them is a registration that went astray.
_LARGEST_MM = 30.0
_LARGEST_DEG = 20.0
# The metric's random sample at the finest level, voxels.
_SAMPLES = 20_000


class RegistrationError(Exception):
    """A registration that could not be done or did not converge."""


@dataclass
class Motion:
    """The rigid motion of a scan relative to the reference scan.

    Attributes
    ----------
    matrix : numpy.ndarray
        4 x 4: reference world coordinates to the moved scan's world
        coordinates (mm), as the resampling takes it.
    translation_mm : numpy.ndarray
        The displacement of the reference scan's centre, mm (x, y, z).
    rotation_deg : numpy.ndarray
        Euler angles about x, y and z, degrees.
    metric : float
        The final mutual information (negative: lower is better).
    levels : list of float
        Voxel sizes of the pyramid's levels, mm.
    """

    matrix: np.ndarray
    translation_mm: np.ndarray
    rotation_deg: np.ndarray
    metric: float = float("nan")
    levels: list = field(default_factory=list)

    @property
    def shift_mm(self):
        """The length of the translation, mm."""
        return float(np.linalg.norm(self.translation_mm))

    @property
    def angle_deg(self):
        """The rotation's angle about its axis, degrees."""
        cosine = (np.trace(self.matrix[:3, :3]) - 1) / 2
        return math.degrees(math.acos(min(1.0, max(-1.0, cosine))))

    def moved(self):
        """Whether the motion exceeds ``MOVED_MM`` or ``MOVED_DEG``."""
        return self.shift_mm > MOVED_MM or self.angle_deg > MOVED_DEG

    def text(self):
        """The motion in one phrase, e.g. ``"2.0 mm, 3.1 deg"``."""
        return f"{self.shift_mm:.1f} mm, {self.angle_deg:.1f} deg"

    def as_dict(self):
        """The motion as JSON-ready values for sidecars."""
        return {
            "TranslationMm": [round(float(v), 3) for v in self.translation_mm],
            "RotationDeg": [round(float(v), 3) for v in self.rotation_deg],
            "Matrix": [[round(float(v), 6) for v in row] for row in self.matrix],
        }


def _finite(data):
    """The scan in single precision (as SimpleITK takes it), 0 where it is
    not finite: no signal. One copy, where ``nan_to_num`` of a float64 volume
    made two and searched it for infinities twice (a second at 1 mm).
    """
    values = np.array(data, dtype=np.float32)
    values[~np.isfinite(values)] = 0.0
    return values


def _centre(image):
    size = np.array(image.GetSize()) - 1
    return np.array(image.TransformContinuousIndexToPhysicalPoint((size / 2).tolist()))


def _coarsened(image):
    """The image averaged over blocks of voxels down to about ``FINEST_MM``
    (SimpleITK's BinShrink): the registration's finest level, at a small
    share of the full image's cost.
    """
    import SimpleITK as sitk

    factors = [max(1, int(FINEST_MM // size)) for size in image.GetSpacing()]
    return sitk.BinShrink(image, factors) if max(factors) > 1 else image


def _levels(image):
    """Shrink factors and smoothing sigmas (mm) of the pyramid over an image
    already at its finest level, from ``COARSEST_MM`` down.
    """
    finest = max(image.GetSpacing())
    factors = sorted(
        {
            max(1, round(COARSEST_MM / finest / 2**k))
            for k in range(4)
            if COARSEST_MM / 2**k >= finest * 0.99
        },
        reverse=True,
    ) or [1]
    return factors, [0.5 * f * finest if f > 1 else 0.0 for f in factors]


def rigid(fixed, fixed_affine, moving, moving_affine, *, seed=1):
    """The rigid motion that brings a moving scan onto a fixed one.

    Parameters
    ----------
    fixed, moving : numpy.ndarray
        The scans (3-D); NaN is taken as no signal.
    fixed_affine, moving_affine : numpy.ndarray
        Their affines (voxel to world, mm).
    seed : int
        Seed of the metric's random sample. The registration runs on one
        thread: in several, the metric's sums come in an order that varies
        from run to run, the optimiser's path with them, and the same scans
        gave motions a micrometre apart (maps that differ in the last
        digits). On the 4 mm images of a 1 mm head it costs about 0.5 s a
        scan.

    Returns
    -------
    Motion

    Raises
    ------
    RegistrationError
        The scans do not overlap, the optimiser fails, the scans share
        hardly any information (mutual information below 0.05 nat), or the
        motion found is beyond any head motion (more than 30 mm or 20
        degrees), which means it did not converge.
    """
    import SimpleITK as sitk

    fixed_image = _coarsened(sitk_image(_finite(fixed), fixed_affine))
    moving_image = _coarsened(sitk_image(_finite(moving), moving_affine))
    centre = _centre(fixed_image)
    if np.linalg.norm(centre - _centre(moving_image)) > 0.5 * _extent(fixed_image):
        raise RegistrationError("the scans' fields of view do not overlap")
    transform = sitk.Euler3DTransform()
    transform.SetCenter(centre.tolist())

    method = sitk.ImageRegistrationMethod()
    method.SetMetricAsMattesMutualInformation(numberOfHistogramBins=32)
    method.SetMetricSamplingStrategy(method.RANDOM)
    voxels = int(np.prod(fixed_image.GetSize()))
    # About 20 000 samples at the finest level; all voxels of small images.
    # On a 1.5 mm phantom head moved by 3 degrees and 2 mm, 20 000 find the
    # motion to within 0.06 degree and 0.03 mm, as 50 000 do (0.04 degree,
    # 0.04 mm), in 0.4 of the time: each iteration's cost is its samples'.
    method.SetMetricSamplingPercentage(min(1.0, _SAMPLES / max(voxels, 1)), seed)
    method.SetInterpolator(sitk.sitkLinear)
    method.SetOptimizerAsRegularStepGradientDescent(
        learningRate=2.0,
        # Steps in the scaled parameters, about mm: a thousandth of a mm is
        # far below what a map at 1 mm can show, and stopping there saves a
        # third of the iterations that 1e-4 takes.
        minStep=1e-3,
        numberOfIterations=200,
        relaxationFactor=0.5,
        gradientMagnitudeTolerance=1e-8,
    )
    method.SetOptimizerScalesFromPhysicalShift()
    factors, sigmas = _levels(fixed_image)
    method.SetShrinkFactorsPerLevel(factors)
    method.SetSmoothingSigmasPerLevel(sigmas)
    method.SmoothingSigmasAreSpecifiedInPhysicalUnitsOn()
    method.SetInitialTransform(transform, inPlace=True)
    method.SetNumberOfThreads(1)
    threads = sitk.ProcessObject.GetGlobalDefaultNumberOfThreads()
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)  # the pyramid's filters too
    try:
        method.Execute(fixed_image, moving_image)
    except RuntimeError as error:
        reason = str(error).strip().splitlines()[-1] if str(error).strip() else "failed"
        raise RegistrationError(f"the registration failed: {reason}") from None
    finally:
        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(threads)

    angles = np.array(transform.GetParameters()[:3])
    translation = np.array(transform.GetTranslation())
    rotation = np.array(transform.GetMatrix()).reshape(3, 3)
    matrix = np.eye(4)
    matrix[:3, :3] = rotation
    matrix[:3, 3] = centre + translation - rotation @ centre
    motion = Motion(
        matrix,
        translation,
        np.degrees(angles),
        float(method.GetMetricValue()),
        [f * max(fixed_image.GetSpacing()) for f in factors],
    )
    if not -motion.metric >= _LEAST_INFORMATION:
        raise RegistrationError(
            f"the scans share no structure (mutual information {-motion.metric:.2g} after "
            "registration)"
        )
    if not (motion.shift_mm <= _LARGEST_MM and motion.angle_deg <= _LARGEST_DEG):
        raise RegistrationError(
            f"the registration did not converge (it found {motion.text()}, beyond any head motion)"
        )
    return motion


def _extent(image):
    """The diagonal of an image's field of view, mm."""
    return float(np.linalg.norm(np.array(image.GetSize()) * np.array(image.GetSpacing())))
