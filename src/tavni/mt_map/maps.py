"""Whole-image maps: the super-Lorentzian lineshape, the bound-pool fraction
and the MT ratio the model predicts for a fraction.

The functions take scalars or NumPy arrays of any shape, broadcast them
together and do the per-element work in C++ (module ``_maps``) with the
interpreter lock released; nothing here loops over voxels. Inputs are not
expanded to the broadcast shape: the kernels read each one where it lies
(float32 as float32), so memory grows with the data and the outputs only.
"""

import sys
from typing import NamedTuple

import numpy as np

from tavni.mt_map import _maps
from tavni.mt_map.parallel import available_cores, thread_count
from tavni.mt_map.status import (  # noqa: F401  (the array API's codes, as they always were)
    STATUS_ABOVE_BRACKET,
    STATUS_BELOW_BRACKET,
    STATUS_INVALID_INPUT,
    STATUS_MASKED,
    STATUS_SOLVED,
    STATUS_TWO_ROOTS,
)

__all__ = [
    "FractionDerivatives",
    "super_lorentzian",
    "fit_fraction",
    "predicted_ratio",
    "LINESHAPE_GRID_STEP",
    "LINESHAPE_GRID_POINTS",
    "lineshape_at_offsets",
    "lineshape_grid",
    "STATUS_SOLVED",
    "STATUS_BELOW_BRACKET",
    "STATUS_ABOVE_BRACKET",
    "STATUS_INVALID_INPUT",
    "STATUS_MASKED",
    "STATUS_TWO_ROOTS",
]

_FIT_INPUTS = (
    "S_ratio",
    "R1",
    "T2_free",
    "delta_omega",
    "omega_1_rms",
    "G",
    "TR",
    "duration",
    "flip_angle",
)
_RATIO_INPUTS = ("f",) + _FIT_INPUTS[1:]


class FractionDerivatives(NamedTuple):
    """First derivatives of the fitted f at the solution, per voxel.

    What ``fit_fraction(..., return_derivatives=True)`` returns beside f:
    float64 arrays of the broadcast shape (floats for scalar input), NaN
    where the voxel is not solved. Multiplied by an input's error or noise,
    each gives what that does to f, to first order.
    """

    S_ratio: np.ndarray
    """df/dS_ratio (S_ratio is dimensionless)."""
    R1: np.ndarray
    """df/dR1, in s (R1 in 1/s)."""
    b1: np.ndarray
    """df/db1, per unit of the relative transmit field."""


def _broadcast_shape(named_arrays):
    try:
        return np.broadcast_shapes(*(array.shape for array in named_arrays.values()))
    except ValueError:
        shapes = ", ".join(
            f"{name} {array.shape}" for name, array in named_arrays.items() if array.ndim > 0
        )
        raise ValueError(f"input shapes do not broadcast together: {shapes}") from None


def _is_masked_array(value):
    """Whether value is a ``numpy.ma`` array, without importing ``numpy.ma``
    (tens of milliseconds) when nothing has: then none can exist.
    """
    ma = sys.modules.get("numpy.ma")
    return ma is not None and isinstance(value, ma.MaskedArray)


def _real_array(value, name):
    """Value as an array the kernels can read in place, and the mask of a
    ``numpy.ma`` array (True where masked; None if nothing is).

    Real numbers only (bool and integers included). float32 (and float16)
    becomes float32, every other real type float64, in this machine's byte
    order and aligned: a copy, of the input's own size, only where it is not
    so already.
    """
    masked = None
    if _is_masked_array(value):
        masked = np.ma.getmask(value)
        masked = None if masked is np.ma.nomask or not masked.any() else masked
        value = np.ma.getdata(value)
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of {array.dtype}")
    single = array.dtype.kind == "f" and array.dtype.itemsize <= 4
    return np.require(array, np.float32 if single else np.float64, "A"), masked


def _mask_array(mask):
    """The voxels a ``mask`` argument lets through, as booleans of its own
    shape: nonzero and not NaN, and not masked where it is a ``numpy.ma``
    array.
    """
    masked = None
    if _is_masked_array(mask):
        masked, mask = np.ma.getmaskarray(mask), np.ma.getdata(mask)
    array = np.asarray(mask)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"mask must be booleans or real numbers, got an array of {array.dtype}")
    if array.dtype.kind != "b":
        array = (array != 0) & ~np.isnan(array) if array.dtype.kind == "f" else array != 0
    return array if masked is None else array & ~masked


def _mask_for(mask, shape):
    """The voxels a ``mask`` argument lets through (see _mask_array), checked
    to broadcast to the inputs' shape without widening it.
    """
    mask_array = _mask_array(mask)
    try:
        fits = np.broadcast_shapes(mask_array.shape, shape) == shape
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"mask has shape {mask_array.shape}; the inputs broadcast to {shape}")
    return mask_array


def super_lorentzian(delta_omega, T2b):
    """Super-Lorentzian absorption lineshape G of the bound pool.

    The value that ``mpf.model`` takes as ``G``::

        G(delta_omega) = sqrt(2/pi) * T2b * integral_0^1 du
            exp(-2 (2 pi delta_omega T2b / (3u^2 - 1))^2) / abs(3u^2 - 1)

    normalised so that the integral of G over the angular offset
    2 pi delta_omega is 1.

    Parameters
    ----------
    delta_omega : float or array_like
        Offset frequency of the saturation, in Hz (cycles per unit of the
        time in which ``T2b`` is given).
    T2b : float or array_like
        Transverse relaxation time of the bound pool, in s (some 10 us in
        tissue).

    Returns
    -------
    float or numpy.ndarray
        G in the time unit of ``T2b`` (s): a float when both inputs are
        scalars, else a float64 array of their broadcast shape. +inf at
        zero offset, where the integral diverges logarithmically; 0 at an
        infinite offset; NaN where an input is NaN or masked
        (``numpy.ma``) or ``T2b`` is not positive and finite.

    Raises
    ------
    TypeError
        An input that is not real numbers (strings, complex, objects).
    ValueError
        Shapes that do not broadcast together.
    KeyboardInterrupt
        Ctrl-C stops the computation; nothing is returned then.

    Notes
    -----
    Computed in double precision by adaptive Gauss-Kronrod quadrature
    split at the magic angle u = 1/sqrt(3), where 3u^2 - 1 changes sign,
    to a relative accuracy of 1e-9 or better; arrays are spread over all
    cores.

    Examples
    --------
    >>> G = super_lorentzian(4000.0, 12e-6)
    """
    arrays, masks = {}, []
    for name, value in (("delta_omega", delta_omega), ("T2b", T2b)):
        arrays[name], masked = _real_array(value, name)
        if masked is not None:
            masks.append(masked)
    shape = _broadcast_shape(arrays)
    out = np.empty(shape, dtype=np.float64)
    _maps.super_lorentzian(
        *(np.broadcast_to(a, shape) for a in arrays.values()), out, available_cores()
    )
    for masked in masks:
        out[np.broadcast_to(masked, shape)] = np.nan
    return float(out[()]) if out.ndim == 0 else out


def fit_fraction(
    S_ratio,
    R1,
    T2_free,
    delta_omega,
    omega_1_rms,
    G,
    TR,
    duration,
    flip_angle,
    *,
    b1=None,
    mask=None,
    bracket=(0.0, 0.5),
    clip=False,
    exact=True,
    threads=None,
    return_status=False,
    return_derivatives=False,
):
    """Bound-pool fraction f in every voxel: the zero of ``mpf.model`` in f.

    The inputs are those of ``mpf.model`` after ``f``, in its units, as
    real scalars or arrays of any shape (bool and integers included),
    broadcast together without being expanded: memory grows with the
    outputs, not with the inputs' product. float32 arrays are read as they
    are. Voxels masked in a ``numpy.ma`` array are masked voxels.

    Parameters
    ----------
    S_ratio : float or array_like
        Measured ratio S_mt / S_ref of the MT-weighted and the reference
        signal, dimensionless.
    R1 : float or array_like
        Longitudinal relaxation rate, in 1/s.
    T2_free : float or array_like
        Transverse relaxation time of the free pool, in s.
    delta_omega : float or array_like
        Offset frequency of the saturation pulse, in Hz.
    omega_1_rms : float or array_like
        RMS amplitude of the saturation pulse, in rad/s.
    G : float or array_like
        Absorption lineshape of the bound pool at the offset, in s (see
        ``super_lorentzian``).
    TR : float or array_like
        Repetition time, in s.
    duration : float or array_like
        Saturation time per TR, in s.
    flip_angle : float or array_like
        Excitation flip angle, in radians.
    b1 : float or array_like, optional
        Relative transmit field (actual / nominal), broadcast like the
        inputs; it scales both ``flip_angle`` and ``omega_1_rms``.
    mask : array_like, optional
        Broadcastable to the inputs' shape (without widening it); voxels
        where it is False, 0 or NaN (or masked, for a ``numpy.ma`` array)
        are not fitted (NaN, ``STATUS_MASKED``).
    bracket : (float, float)
        (lo, hi) with 0 <= lo < hi < 1: the interval searched for f.
    clip : bool
        Without a zero in the bracket, return the bracket end where the
        residual is smaller instead of NaN (the status still says so).
    exact : bool
        True (default): the search described below, on the model's
        single-precision residual, reproducible to the bit. False: the fast
        mode, several times faster: f is the zero of the same model in exact
        arithmetic, where it has a closed form (a quadratic in the exchange
        rate), solved in double precision without a search. Statuses are
        those below, judged on the exact residual. f agrees with the exact
        mode's to within the model's single-precision rounding carried into
        f by the residual's slope: ``|f_fast - f| <= 4 * 2**-23 * S_ratio *
        |df/dS_ratio|`` (the derivative as ``return_derivatives`` gives it),
        1e-6 or better where the ratio moves with f (tissue at a few kHz),
        up to 1e-3 and more where the residual is flat in f (offsets above
        10 kHz, weak saturation). Where two zeros lie within rounding of
        each other (offsets below a few hundred Hz) the modes may return
        different ones. f is not promised to be the same to the bit on
        another machine or in another version.
    threads : int, optional
        Number of worker threads, a positive integer (more than 1024 count
        as 1024); default: every core available.
    return_status : bool
        Also return the status code of every voxel.
    return_derivatives : bool
        Also return the first derivatives of f at the solution (see
        Returns).

    Returns
    -------
    f : float or numpy.ndarray
        Bound-pool fraction, dimensionless: a float64 array of the broadcast
        shape (a float when every input is a scalar); NaN where a voxel is
        not solved.
    status : int or numpy.ndarray of uint8
        With ``return_status=True``: ``STATUS_SOLVED``;
        ``STATUS_TWO_ROOTS`` (the residual has two zeros in the bracket,
        as it can at offsets below a few hundred Hz; f is the smaller; where
        the two all but meet, any crossing of zero that rounding makes
        counts); ``STATUS_BELOW_BRACKET`` / ``STATUS_ABOVE_BRACKET`` (no
        zero in the bracket; it would lie beyond that end);
        ``STATUS_INVALID_INPUT`` (an input outside the physical domain,
        e.g. ``flip_angle`` 0, or a residual not finite where the solver
        looked, or pure rounding noise); ``STATUS_MASKED``.
    derivatives : FractionDerivatives
        With ``return_derivatives=True`` (after the status, if asked for):
        float64 arrays of df/dS_ratio, df/dR1 (s) and df/db1 at the
        solution, by the implicit function theorem df/dx = -(dr/dx)/(dr/df)
        on the residual r in exact arithmetic, whose closed form gives the
        derivatives analytically. NaN where the voxel is not solved (also
        when clipped). What the error of an input or its noise does to f,
        to first order.

    Raises
    ------
    TypeError
        An input or mask that is not real numbers (strings, complex,
        objects), or ``threads`` that is not an integer (or is a bool).
    ValueError
        Inputs that do not broadcast, a bracket that is not a pair of
        numbers with 0 <= lo < hi < 1 (NaN and huge values included), a mask
        of the wrong shape or a thread count below 1.
    KeyboardInterrupt
        Ctrl-C stops the fit within a fraction of a second; nothing is
        returned then.

    Notes
    -----
    Each voxel is solved in C++ on the single-precision values of f that the
    model itself takes, with exactly the model's residual. A returned f lies
    in the bracket and the residual is finite and of opposite signs at its
    two single-precision neighbours (a neighbour of a bracket end may lie
    one single-precision step outside it), or exactly zero at f, or f is a
    bracket end where the residual is finite and within single-precision
    rounding of zero (fluid, with S_ratio made at f = 0, comes back as 0).
    An infinite residual is never a zero nor one side of a sign change.

    Only voxels inside the model's physical domain are solved, judged on the
    single-precision values the model sees (after ``b1`` scaling): every
    input finite, R1 > 0, T2_free > 0, TR > 0, 0 <= duration <= TR,
    G >= 0, delta_omega != 0, b1 > 0 and 0 < abs(flip_angle) < pi/2. Others
    are NaN with ``STATUS_INVALID_INPUT``. Voxels without a solution are
    NaN; nothing is raised for them.

    Examples
    --------
    >>> f = fit_fraction(0.55, 1.0, 0.04, 4000.0, 1500.0, 6.7e-6, 0.028, 0.012, 0.17)
    """
    values = (S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    arrays, masks = {}, []
    for name, value in zip(_FIT_INPUTS + ("b1",), values + (b1,)):
        if value is None and name == "b1":
            continue
        arrays[name], masked = _real_array(value, name)
        if masked is not None:
            masks.append(~masked)
    shape = _broadcast_shape(arrays)

    try:
        lo, hi = (float(end) for end in bracket)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"bracket must be a pair of numbers (lo, hi), got {bracket!r}") from None
    if not 0.0 <= lo < hi < 1.0:
        raise ValueError(f"bracket must satisfy 0 <= lo < hi < 1, got ({lo!r}, {hi!r})")

    if mask is not None:
        masks.append(_mask_for(mask, shape))
    threads = thread_count(threads)

    f = np.empty(shape, dtype=np.float64)
    status = np.empty(shape, dtype=np.uint8)
    inputs = tuple(np.broadcast_to(arrays[name], shape) for name in _FIT_INPUTS)
    b1_view = np.broadcast_to(arrays["b1"], shape) if "b1" in arrays else None
    derivatives = None
    if return_derivatives:
        derivatives = FractionDerivatives(*(np.empty(shape, dtype=np.float64) for _ in range(3)))
    _maps.fit_fraction(
        inputs,
        b1_view,
        tuple(np.broadcast_to(m, shape) for m in masks),
        lo,
        hi,
        bool(clip),
        bool(exact),
        threads,
        f,
        status,
        derivatives,
    )

    if f.ndim == 0:
        f, status = float(f[()]), int(status[()])
        if derivatives is not None:
            derivatives = FractionDerivatives(*(float(d[()]) for d in derivatives))
    results = (
        (f,) + ((status,) if return_status else ()) + ((derivatives,) if return_derivatives else ())
    )
    return results if len(results) > 1 else f


def predicted_ratio(
    f, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle, *, threads=None
):
    """The MT ratio S_mt/S_ref that the two-pool model predicts for a
    bound-pool fraction f: the forward model of ``fit_fraction``.

    The inverse of ``fit_fraction`` on the same arguments, without the
    transmit field: scale ``omega_1_rms`` and ``flip_angle`` by b1 to
    predict under a transmit field other than the nominal one.

    Parameters
    ----------
    f : float or array_like
        Bound-pool fraction (dimensionless, 0 <= f < 1 for tissue).
    R1 : float or array_like
        Longitudinal relaxation rate of both pools, in 1/s.
    T2_free : float or array_like
        Transverse relaxation time of the free pool, in s.
    delta_omega : float or array_like
        Offset frequency of the saturation pulse, in Hz.
    omega_1_rms : float or array_like
        RMS amplitude of the saturation pulse, in rad/s.
    G : float or array_like
        Lineshape of the bound pool at the offset, in s (see
        ``super_lorentzian``).
    TR : float or array_like
        Repetition time, in s.
    duration : float or array_like
        Duration of the saturation pulse, in s.
    flip_angle : float or array_like
        Excitation flip angle, in radians.
    threads : int, optional
        Number of worker threads, a positive integer (more than 1024 count
        as 1024); default: every core available.

    Returns
    -------
    float or numpy.ndarray
        S_mt/S_ref, dimensionless: a float when every input is a scalar,
        else a float64 array of the inputs' broadcast shape.

    Notes
    -----
    Each element is exactly the double ``-mpf.model(f, 0.0, R1, T2_free,
    delta_omega, omega_1_rms, G, TR, duration, flip_angle)``: the same
    single-precision steps in the same order, so a ratio from here and the
    residual of ``mpf.model`` agree to the bit. Inputs are real scalars or
    arrays of any shape (bool and integers included), broadcast together
    without being expanded; float32 arrays are read as they are. Elements
    masked in a ``numpy.ma`` array are NaN. NaN where the model has no
    ratio (a reference signal of zero, as at a flip angle of 0) and where
    an input is NaN; infinite and out-of-domain inputs give whatever the
    model gives for them, never an exception. Raises TypeError for inputs
    that are not real numbers (strings, complex, objects) and for
    ``threads`` that is not an integer (or is a bool), ValueError for
    inputs that do not broadcast or a thread count below 1.
    KeyboardInterrupt (Ctrl-C) stops it; nothing is returned then.

    Examples
    --------
    >>> ratio = predicted_ratio(0.12, 1.0, 0.04, 4000.0, 1500.0, 6.7e-6, 0.028, 0.012, 0.17)
    """
    values = (f, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    arrays, masks = {}, []
    for name, value in zip(_RATIO_INPUTS, values):
        arrays[name], masked = _real_array(value, name)
        if masked is not None:
            masks.append(masked)
    shape = _broadcast_shape(arrays)
    threads = thread_count(threads)

    ratio = np.empty(shape, dtype=np.float64)
    _maps.predicted_ratio(tuple(np.broadcast_to(a, shape) for a in arrays.values()), threads, ratio)
    for masked in masks:
        ratio[np.broadcast_to(masked, shape)] = np.nan
    return float(ratio[()]) if ratio.ndim == 0 else ratio


# B0-shifted offsets spread over some hundred Hz, on which the lineshape is
# smooth: it is computed on a grid of this step (Hz) and interpolated
# linearly, with a relative error of about (step / offset)^2 / 8 (1e-9 at
# 2 kHz), instead of by quadrature at every voxel.
LINESHAPE_GRID_STEP = 0.5
"""Spacing of the offsets on which the lineshape is interpolated, Hz."""
LINESHAPE_GRID_POINTS = 20001
"""Most offsets on one grid: wider spans get a coarser step."""


def lineshape_at_offsets(offsets, T2b, grid=None):
    """The super-Lorentzian G at every offset of an array, interpolated.

    For offsets shifted voxel by voxel (a B0 map): G is computed on a grid
    of offsets ``LINESHAPE_GRID_STEP`` apart and interpolated linearly,
    instead of by quadrature at every voxel.

    Parameters
    ----------
    offsets : numpy.ndarray
        Offset frequencies, in Hz. G is even in the offset; NaN offsets
        give NaN.
    T2b : float or None
        Transverse relaxation time of the bound pool, in s; unused (None
        will do) when ``grid`` is given.
    grid : (numpy.ndarray, numpy.ndarray), optional
        What ``lineshape_grid`` returns for the offsets of a whole volume of
        which these are a part; by default one is made for these.

    Returns
    -------
    numpy.ndarray
        G in s, float64, of the shape of ``offsets``; relative error about
        (step / offset)^2 / 8 (1e-9 at 2 kHz).
    """
    magnitude = np.abs(offsets)
    if grid is None:
        finite = magnitude[np.isfinite(magnitude)]
        if finite.size == 0:
            return np.full(offsets.shape, np.nan)
        grid = lineshape_grid(float(finite.min()), float(finite.max()), T2b)
    G = np.interp(magnitude, *grid)
    return np.where(np.isfinite(magnitude), G, np.nan)


def lineshape_grid(lo, hi, T2b):
    """The grid on which ``lineshape_at_offsets`` interpolates.

    Parameters
    ----------
    lo, hi : float
        Smallest and largest magnitude of the offsets to cover, in Hz.
    T2b : float
        Transverse relaxation time of the bound pool, in s.

    Returns
    -------
    offsets : numpy.ndarray
        Evenly spaced offsets from ``lo`` to ``hi``, in Hz: at most
        ``LINESHAPE_GRID_STEP`` apart, but no more than
        ``LINESHAPE_GRID_POINTS`` of them (at least 2).
    G : numpy.ndarray
        ``super_lorentzian`` at those offsets, in s.
    """
    from tavni.mt_map import super_lorentzian

    points = int(min(LINESHAPE_GRID_POINTS, np.ceil((hi - lo) / LINESHAPE_GRID_STEP) + 1))
    grid = np.linspace(lo, hi, max(points, 2))
    return grid, super_lorentzian(grid, T2b)
