"""How sure each fraction is: image noise propagated to f, and f's sensitivity
to errors of the R1 and B1 maps.

For whoever maps fractions (the pipeline, the command line, the BIDS App)
and wants each map to come with its standard deviation. Everything is first
order: at the solution, the fraction solver's derivatives (``fit_fraction(...,
return_derivatives=True)``) tell how f moves with the ratio, R1 and b1; here
they are chained with how the ratio and R1 move with each magnitude image.
Noise in different images is independent, and at the SNR of brain tissue the
Rician magnitude noise is close to Gaussian with the same sigma.

All arrays broadcast together; angles in radians, times in s, R1 in 1/s.
"""

import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from tavni.mt_map.maps import FractionDerivatives

__all__ = [
    "RAYLEIGH_MEAN_OVER_SIGMA",
    "MIN_BACKGROUND_VOXELS",
    "NoiseEstimateError",
    "FractionUncertainty",
    "background_mask",
    "noise_sd_from_background",
    "check_noise_levels",
    "noise_levels",
    "spgr_log_derivatives",
    "ratio_uncertainty",
    "three_scan_uncertainty",
    "LogDerivatives",
    "three_scan_log_derivatives",
    "noise_sd_of_fraction",
]

# Mean of a Rayleigh distribution over its scale sigma: noise-only magnitude
# voxels have mean sigma * sqrt(pi / 2).
RAYLEIGH_MEAN_OVER_SIGMA = math.sqrt(math.pi / 2.0)
"""Mean of noise-only magnitude voxels over the noise sigma: sqrt(pi / 2)."""

MIN_BACKGROUND_VOXELS = 100
"""Fewest background voxels a noise estimate is made from."""


class NoiseEstimateError(ValueError):
    """No usable background to estimate the noise from; the message says why."""


class FractionUncertainty(NamedTuple):
    """Per-voxel uncertainty of a fraction map (NaN where f is not solved).

    What ``ratio_uncertainty`` and ``three_scan_uncertainty`` return; every
    field is a float64 array of the images' broadcast shape, in units of f
    (dimensionless). The sensitivities are for an error of ``percent``
    (1% by default) of those functions.
    """

    sd: np.ndarray
    """Standard deviation of f from the images' noise, to first order."""
    r1_sensitivity: np.ndarray
    """Change of f when the R1 the fraction model is given is 1% too high
    (the measured ratio held)."""
    b1_sensitivity: np.ndarray | None
    """Change of f when the relative transmit field b1 is 1% too high, through
    everything b1 enters (flip angles and saturation power; in the three-scan
    chain also the R1 fit and the synthetic reference); None when not asked for."""


# ---------------------------------------------------------------------------
# Noise from the background.


def _real_image(image: ArrayLike) -> np.ndarray:
    """The image as float32 (kept) or float64 (anything else)."""
    array = np.asarray(image)
    return array if array.dtype == np.float32 else array.astype(np.float64, copy=False)


def _dilate(mask, steps):
    """Mask grown by `steps` voxels along each axis (a cross per step)."""
    grown = mask.copy()
    for _ in range(steps):
        step = grown.copy()
        for axis in range(mask.ndim):
            lower = [slice(None)] * mask.ndim
            upper = [slice(None)] * mask.ndim
            lower[axis], upper[axis] = slice(None, -1), slice(1, None)
            step[tuple(lower)] |= grown[tuple(upper)]
            step[tuple(upper)] |= grown[tuple(lower)]
        grown = step
    return grown


def background_mask(
    image: ArrayLike, head: ArrayLike | None = None, *, margin: int = 3, threshold: float = 0.1
) -> NDArray[np.bool_]:
    """The voxels of a magnitude image that hold noise only: outside the head.

    The head is grown by ``margin`` voxels, to leave out partial-volume
    edges and the ringing next to them. Voxels that are exactly zero
    (zero-filled or padded, not measured) or not finite are left out too.

    Parameters
    ----------
    image : array_like
        A magnitude image, any unit.
    head : array_like of bool, optional
        The head (e.g. the brain mask), broadcastable to the image, joined
        to every voxel brighter than ``threshold`` times the image's 99th
        percentile (of its positive finite values), which alone is the head
        by default.
    margin : int
        Voxels by which the head is grown along each axis.
    threshold : float
        Share of the 99th percentile above which a voxel is head.

    Returns
    -------
    numpy.ndarray of bool
        The background, of the image's shape (all False when the image has
        no positive value).

    Notes
    -----
    Ghosting or other artefacts in the background bias the estimate up; pass
    ``head`` (or a hand-drawn background to ``noise_sd_from_background``)
    where they are strong. A float32 image is read as it is, without a
    float64 copy; the percentile is taken in float64.
    """
    magnitude = _real_image(image)
    measured = np.isfinite(magnitude) & (magnitude != 0.0)
    values = magnitude[measured & (magnitude > 0.0)]
    if values.size == 0:
        return np.zeros(magnitude.shape, dtype=np.bool_)
    # The float64 copy is the percentile's to reorder: no second copy.
    high = np.percentile(values.astype(np.float64), 99.0, overwrite_input=True)
    bright = magnitude > threshold * high
    if head is not None:
        # A brain mask leaves the scalp outside it, bright with fat: the
        # head is the mask and every voxel bright enough to be tissue.
        bright |= np.broadcast_to(np.asarray(head, dtype=bool), magnitude.shape)
    return measured & ~_dilate(bright, margin)


def noise_sd_from_background(
    image: ArrayLike, background: ArrayLike | None = None, *, head: ArrayLike | None = None
) -> float:
    """Standard deviation sigma of the noise of a magnitude image, estimated
    from its background.

    A magnitude image's noise-only voxels are Rayleigh distributed with
    scale sigma, the standard deviation of the Gaussian noise in each of the
    real and imaginary channels: sigma = mean / sqrt(pi / 2) over them. A
    background with negative values is no magnitude image but real-valued
    (e.g. a synthetic image with Gaussian noise added): there sigma is the
    root mean square.

    Parameters
    ----------
    image : array_like
        The image, any unit.
    background : array_like of bool, optional
        The noise-only voxels; default: ``background_mask(image, head)``.
    head : array_like of bool, optional
        The head, for ``background_mask`` when ``background`` is not given.

    Returns
    -------
    float
        sigma, in the image's units.

    Raises
    ------
    NoiseEstimateError
        Fewer than ``MIN_BACKGROUND_VOXELS`` (100) finite background voxels.
    """
    magnitude = _real_image(image)
    if background is None:
        background = background_mask(magnitude, head)
    values = magnitude[np.broadcast_to(np.asarray(background, dtype=bool), magnitude.shape)]
    # Sums in float64 whatever the image's type: millions of float32 terms
    # would lose digits.
    values = values[np.isfinite(values)].astype(np.float64, copy=False)
    if values.size < MIN_BACKGROUND_VOXELS:
        raise NoiseEstimateError(
            f"only {values.size} background voxels to estimate the noise from "
            f"(at least {MIN_BACKGROUND_VOXELS} needed); give the noise level instead"
        )
    if np.any(values < 0.0):
        return float(np.sqrt(np.mean(values * values)))
    return float(np.mean(values) / RAYLEIGH_MEAN_OVER_SIGMA)


def check_noise_levels(given: Sequence[float], names: Sequence[str]) -> list[float]:
    """The given noise levels as floats, checked.

    Parameters
    ----------
    given : sequence of float
        One noise standard deviation for all the images named, or one each
        (image units).
    names : sequence of str
        The images, for the message.

    Returns
    -------
    list of float

    Raises
    ------
    NoiseEstimateError
        A count of levels that is neither 1 nor ``len(names)``, or a level
        that is not positive and finite.
    """
    given = [float(sigma) for sigma in given]
    if len(given) not in (1, len(names)):
        raise NoiseEstimateError(
            f"give one noise level for all images or one each for {', '.join(names)} "
            f"(got {len(given)})"
        )
    if not all(math.isfinite(sigma) and sigma > 0 for sigma in given):
        raise NoiseEstimateError(f"noise levels must be positive numbers (got {given})")
    return given


def noise_levels(
    images: Mapping[str, np.ndarray],
    given: Sequence[float] | None = None,
    *,
    head: ArrayLike | None = None,
) -> tuple[dict[str, float], str]:
    """The noise standard deviation of each image, given or estimated.

    Parameters
    ----------
    images : dict of str to ndarray
        The magnitude images by the names they are reported under, in the
        order ``given`` lists their levels.
    given : sequence of float, optional
        One sigma for all images, or one per image (their units); default:
        each estimated from its background (``noise_sd_from_background``).
    head : ndarray of bool, optional
        The head (or brain) mask, to place the background outside of.

    Returns
    -------
    sigmas : dict of str to float
        Sigma per image name.
    statement : str
        One line saying what the levels are and where they came from.

    Raises
    ------
    NoiseEstimateError
        A level that is not positive and finite, a count of levels that is
        neither 1 nor the number of images, or no usable background.
    """
    names = list(images)
    if given is not None:
        given = check_noise_levels(given, names)
        sigmas = dict(zip(names, given * len(names) if len(given) == 1 else given))
        source = "as given"
    else:
        sigmas = {}
        for name, image in images.items():
            try:
                sigmas[name] = noise_sd_from_background(image, head=head)
            except NoiseEstimateError as error:
                raise NoiseEstimateError(f"{name}: {error}") from None
        source = "estimated from each image's background"
    levels = ", ".join(f"{name} {sigma:.4g}" for name, sigma in sigmas.items())
    return sigmas, f"noise sd {levels} ({source})"


# ---------------------------------------------------------------------------
# The spoiled gradient echo's response to R1 and b1.


def spgr_log_derivatives(
    R1: ArrayLike,
    flip_angle: ArrayLike,
    TR: ArrayLike,
    *,
    b1: ArrayLike | None = None,
    b1_term: bool = True,
    threads: int | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """How the spoiled-gradient-echo signal moves with R1 and b1, relative to S.

    For S = M0 sin(a) (1 - E) / (1 - cos(a) E), E = exp(-R1 TR),
    a = b1 flip_angle (the signal of ``relaxometry.spgr_signal``)::

        d ln S / d R1    = TR E (1 - cos a) / ((1 - E) (1 - cos a E))
        d ln S / d ln b1 = a (cot a - E sin a / (1 - cos a E))

    and d ln S / d ln M0 is 1. Computed voxel by voxel in C++ on up to
    ``threads`` threads (1 - E through expm1, without cancellation at
    short TR); float32 inputs are read as they are.

    Parameters
    ----------
    R1 : float or array_like
        Longitudinal relaxation rate, 1/s.
    flip_angle : float or array_like
        Nominal flip angle, radians.
    TR : float or array_like
        Repetition time, s.
    b1 : float or array_like, optional
        Relative transmit field (actual / nominal); default 1.
    b1_term : bool
        False leaves out d ln S / d ln b1 (it costs a sine per voxel).
    threads : int, optional
        Worker threads; default every core.

    Returns
    -------
    d_R1 : numpy.ndarray
        d ln S / d R1, in s (float64, the inputs' broadcast shape).
    d_log_b1 : numpy.ndarray or None
        d ln S / d ln b1, dimensionless; None with ``b1_term=False``.
    """
    from tavni.mt_map import _maps
    from tavni.mt_map.parallel import thread_count
    from tavni.mt_map.relaxometry import _inputs, _nan_where, _view

    arrays, shape, masked = _inputs(R1=R1, flip_angle=flip_angle, TR=TR, b1=b1)
    d_R1 = np.empty(shape)
    d_log_b1 = np.empty(shape) if b1_term else None
    R1_view, flip_view, TR_view, b1_view = (
        _view(arrays, name, shape) for name in ("R1", "flip_angle", "TR", "b1")
    )
    _maps.spgr_log_derivatives(
        R1_view, flip_view, TR_view, b1_view, thread_count(threads), d_R1, d_log_b1
    )
    _nan_where(d_R1, masked)
    return d_R1, None if d_log_b1 is None else _nan_where(d_log_b1, masked)


# ---------------------------------------------------------------------------
# Propagation to f.


def _percent(per_unit, value, percent):
    return per_unit * (np.asarray(value, dtype=np.float64) * (percent / 100.0))


def ratio_uncertainty(
    derivatives: "FractionDerivatives",
    S_mt: ArrayLike,
    S_ref: ArrayLike,
    R1: ArrayLike,
    sigma_mt: ArrayLike,
    sigma_ref: ArrayLike,
    *,
    b1: ArrayLike | None = None,
    percent: float = 1.0,
) -> FractionUncertainty:
    """Uncertainty of f fitted from a measured MT image and its reference.

    With the relative noise of each image n = sigma / S, the ratio's is
    their root sum of squares, and::

        sd = abs(df/dS_ratio) S_ratio sqrt(n_mt^2 + n_ref^2)

    Parameters
    ----------
    derivatives : FractionDerivatives
        Of the fit of S_ratio = S_mt / S_ref
        (``fit_fraction(..., return_derivatives=True)``).
    S_mt, S_ref : array_like
        The MT-weighted and the reference image, one unit.
    R1 : array_like
        The R1 the fit was given, 1/s.
    sigma_mt, sigma_ref : float or array_like
        Noise standard deviations of the two images, in their unit.
    b1 : array_like, optional
        The relative transmit field the fit was given; default 1.
    percent : float
        The error of R1 and of b1 the sensitivities are for, percent.

    Returns
    -------
    FractionUncertainty
        sd of f, and the changes of f for a ``percent`` error of R1 and of
        b1.
    """
    S_mt = np.asarray(S_mt, dtype=np.float64)
    S_ref = np.asarray(S_ref, dtype=np.float64)
    relative = np.hypot(np.divide(sigma_mt, S_mt), np.divide(sigma_ref, S_ref))
    sd = np.abs(derivatives.S_ratio * (S_mt / S_ref)) * relative
    b1_value = 1.0 if b1 is None else b1
    return FractionUncertainty(
        sd, _percent(derivatives.R1, R1, percent), _percent(derivatives.b1, b1_value, percent)
    )


def three_scan_uncertainty(
    derivatives: "FractionDerivatives",
    S_pd: ArrayLike,
    S_t1: ArrayLike,
    S_mt: ArrayLike,
    S_ref: ArrayLike,
    R1: ArrayLike,
    flip_angles: Sequence[float],
    TRs: Sequence[float],
    sigmas: Sequence[ArrayLike],
    *,
    b1: ArrayLike | None = None,
    percent: float = 1.0,
    b1_sensitivity: bool = True,
    threads: int | None = None,
) -> FractionUncertainty:
    """Uncertainty of f fitted from PD-, T1- and MT-weighted images.

    The chain: R1 and M0 from the PD- and T1-weighted signals (two spoiled
    gradient echoes, solved exactly for both), the synthetic reference
    S_ref = M0-scaled signal of the MT scan's own angle and TR without
    saturation, S_ratio = S_mt / S_ref, and f from S_ratio, R1 and b1.

    Parameters
    ----------
    derivatives : FractionDerivatives
        Of the fraction fit (``fit_fraction(..., return_derivatives=True)``).
    S_pd, S_t1, S_mt : array_like
        The PD-, T1- and MT-weighted images, one unit.
    S_ref : array_like
        The synthetic reference the chain computed, same unit.
    R1 : array_like
        The R1 the chain computed, 1/s.
    flip_angles : sequence of 3 float
        Nominal flip angles of the PD-, T1- and MT-weighted scans, radians.
    TRs : sequence of 3 float
        Their repetition times, s.
    sigmas : sequence of 3 float or array_like
        The three images' noise standard deviations, in their unit.
    b1 : array_like, optional
        Relative transmit field; default 1.
    percent : float
        The error of R1 and of b1 the sensitivities are for, percent.
    b1_sensitivity : bool
        False leaves out the B1 sensitivity (None), which costs as much
        again as the rest.
    threads : int, optional
        Worker threads of the scans' derivatives; default every core.

    Returns
    -------
    FractionUncertainty

    Notes
    -----
    With l = ln S of each scan and a_i, g_i the derivatives of ln S_i with
    respect to R1 and ln b1 (``spgr_log_derivatives``), the two-angle fit
    inverts::

        [1 a_pd; 1 a_t1] [d ln M0; dR1] = [dl_pd; dl_t1] - [g_pd; g_t1] d ln b1

    and ln S_ref = ln M0 + R1, b1 terms of the MT scan's angle and TR. Then::

        df = df/dS_ratio S_ratio (dl_mt - d ln S_ref) + df/dR1 dR1 + df/dln b1 d ln b1

    and each dl_i has the standard deviation sigma_i / S_i.
    """
    slopes, r1_sensitivity, b1_change = three_scan_log_derivatives(
        derivatives,
        S_mt,
        S_ref,
        R1,
        flip_angles,
        TRs,
        b1=b1,
        percent=percent,
        b1_sensitivity=b1_sensitivity,
        threads=threads,
    )
    sd = noise_sd_of_fraction(slopes, (S_pd, S_t1, S_mt), sigmas)
    return FractionUncertainty(sd, r1_sensitivity, b1_change)


class LogDerivatives(NamedTuple):
    """How f moves with the log signal of each of the three scans (float64
    arrays, NaN where f is not solved): d f / d ln S.
    """

    pd: np.ndarray
    """Of the PD-weighted scan."""
    t1: np.ndarray
    """Of the T1-weighted scan."""
    mt: np.ndarray
    """Of the MT-weighted scan."""


def three_scan_log_derivatives(
    derivatives: "FractionDerivatives",
    S_mt: ArrayLike,
    S_ref: ArrayLike,
    R1: ArrayLike,
    flip_angles: Sequence[float],
    TRs: Sequence[float],
    *,
    b1: ArrayLike | None = None,
    percent: float = 1.0,
    b1_sensitivity: bool = True,
    threads: int | None = None,
) -> tuple["LogDerivatives", NDArray[np.float64], NDArray[np.float64] | None]:
    """The part of ``three_scan_uncertainty`` that needs no noise level: how f
    moves with each scan's log signal, and its sensitivities to R1 and b1.

    The noise enters last (``noise_sd_of_fraction``), so that the levels can
    be estimated while the maps are being made.

    Parameters
    ----------
    derivatives, S_mt, S_ref, R1, flip_angles, TRs, b1, percent, b1_sensitivity, threads
        As ``three_scan_uncertainty`` takes them.

    Returns
    -------
    slopes : LogDerivatives
    r1_sensitivity : numpy.ndarray
    b1_sensitivity : numpy.ndarray or None
        As in ``FractionUncertainty``.
    """
    S_mt, S_ref = (np.asarray(x, dtype=np.float64) for x in (S_mt, S_ref))
    slopes = [
        spgr_log_derivatives(R1, angle, TR, b1=b1, b1_term=b1_sensitivity, threads=threads)
        for angle, TR in zip(flip_angles, TRs)
    ]
    (a_pd, g_pd), (a_t1, g_t1), (a_ref, g_ref) = slopes
    det = a_t1 - a_pd  # d(l_t1 - l_pd)/dR1: how well the two angles tell R1
    # d ln S_ref per unit change of l_pd and l_t1, through M0 and R1.
    ref_per_t1 = (a_ref - a_pd) / det
    ref_per_pd = 1.0 - ref_per_t1
    df_dlog_ratio = derivatives.S_ratio * (S_mt / S_ref)
    df_dl_mt = df_dlog_ratio
    df_dl_pd = -df_dlog_ratio * ref_per_pd - derivatives.R1 / det
    df_dl_t1 = -df_dlog_ratio * ref_per_t1 + derivatives.R1 / det
    log_derivatives = LogDerivatives(df_dl_pd, df_dl_t1, df_dl_mt)

    r1_sensitivity = _percent(derivatives.R1, R1, percent)
    if not b1_sensitivity:
        return log_derivatives, r1_sensitivity, None
    # A b1 error moves the fitted R1 and M0 (the angles of both scans), the
    # synthetic reference (its angle and, through R1 and M0, the rest) and
    # the fraction model itself.
    b1_value = np.asarray(1.0 if b1 is None else b1, dtype=np.float64)
    # Asked for (b1_sensitivity), spgr_log_derivatives gave the b1 terms.
    g_pd, g_t1, g_ref = (cast(np.ndarray, g) for g in (g_pd, g_t1, g_ref))
    dR1_dlog_b1 = -(g_t1 - g_pd) / det
    dlog_ref_dlog_b1 = (a_ref - a_pd) * dR1_dlog_b1 + (g_ref - g_pd)
    df_dlog_b1 = (
        -df_dlog_ratio * dlog_ref_dlog_b1 + derivatives.R1 * dR1_dlog_b1 + derivatives.b1 * b1_value
    )
    return log_derivatives, r1_sensitivity, df_dlog_b1 * (percent / 100.0)


def noise_sd_of_fraction(
    slopes: "LogDerivatives", signals: Sequence[ArrayLike], sigmas: Sequence[ArrayLike]
) -> NDArray[np.float64]:
    """Standard deviation of f from the three scans' noise, to first order.

    Each scan's log signal has the standard deviation sigma / S, and the
    scans' noise is independent.

    Parameters
    ----------
    slopes : LogDerivatives
        From ``three_scan_log_derivatives``.
    signals : sequence of 3 array_like
        The PD-, T1- and MT-weighted images, one unit.
    sigmas : sequence of 3 float or array_like
        Their noise standard deviations, in that unit.

    Returns
    -------
    numpy.ndarray
    """
    S_pd, S_t1, S_mt = (np.asarray(x, dtype=np.float64) for x in signals)
    sigma_pd, sigma_t1, sigma_mt = sigmas
    return np.sqrt(
        (slopes.pd * np.divide(sigma_pd, S_pd)) ** 2
        + (slopes.t1 * np.divide(sigma_t1, S_t1)) ** 2
        + (slopes.mt * np.divide(sigma_mt, S_mt)) ** 2
    )
