"""Whole-image maps: the super-Lorentzian lineshape, the bound-pool fraction
and the MT ratio the model predicts for a fraction.

The functions take scalars or NumPy arrays of any shape, broadcast them
together and do the per-element work in C++ (module ``_maps``) with the
interpreter lock released; nothing here loops over voxels. Inputs are not
expanded to the broadcast shape: the kernels read each one where it lies
(float32 as float32), so memory grows with the data and the outputs only.
"""

from typing import Any, Literal, NamedTuple, cast, overload

import numpy as np

from tavni.mt_map import _maps
from tavni.mt_map.array_inputs import (
    Floats,
    RealArrayLike,
    broadcast_shape,
    mask_for,
    real_array,
)
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
    "ModelParameters",
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


class ModelParameters(NamedTuple):
    """The two-pool model's parameters besides f and the measured ratio, in
    the order ``mpf.model``, ``fit_fraction`` and ``predicted_ratio`` take
    them, each a scalar or an array in the model's units.

    The one list of them: the array functions and the workflows read the
    names and their order here.
    """

    R1: RealArrayLike
    """Longitudinal relaxation rate of both pools, in 1/s."""
    T2_free: RealArrayLike
    """Transverse relaxation time of the free pool, in s."""
    delta_omega: RealArrayLike
    """Offset frequency of the saturation pulse, in Hz."""
    omega_1_rms: RealArrayLike
    """RMS amplitude of the saturation pulse, in rad/s."""
    G: RealArrayLike
    """Absorption lineshape of the bound pool at the offset, in s."""
    TR: RealArrayLike
    """Repetition time, in s."""
    duration: RealArrayLike
    """Saturation time per TR, in s."""
    flip_angle: RealArrayLike
    """Excitation flip angle, in radians."""


class FractionDerivatives(NamedTuple):
    """First derivatives of the fitted f at the solution, per voxel.

    What ``fit_fraction(..., return_derivatives=True)`` returns beside f:
    float64 arrays of the broadcast shape (floats for scalar input), NaN
    where the voxel is not solved. Multiplied by an input's error or noise,
    each gives what that does to f, to first order.
    """

    S_ratio: Any
    """df/dS_ratio (S_ratio is dimensionless)."""
    R1: Any
    """df/dR1, in s (R1 in 1/s)."""
    b1: Any
    """df/db1, per unit of the relative transmit field."""


# Scalars in, a float out; anything else, an array.
@overload
def super_lorentzian(delta_omega: float, T2b: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def super_lorentzian(delta_omega: RealArrayLike, T2b: RealArrayLike) -> Floats: ...
def super_lorentzian(delta_omega: RealArrayLike, T2b: RealArrayLike) -> float | Floats:
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
    arrays: dict[str, np.ndarray] = {}
    masks = []
    for name, value in (("delta_omega", delta_omega), ("T2b", T2b)):
        arrays[name], masked = real_array(value, name)
        if masked is not None:
            masks.append(masked)
    shape = broadcast_shape(arrays)
    out = np.empty(shape, dtype=np.float64)
    offsets, T2b_values = (np.broadcast_to(a, shape) for a in arrays.values())
    _maps.super_lorentzian(offsets, T2b_values, out, available_cores())
    for masked in masks:
        out[np.broadcast_to(masked, shape)] = np.nan
    return float(out[()]) if out.ndim == 0 else out


def _fit_inputs(
    S_ratio: RealArrayLike, parameters: ModelParameters, b1: RealArrayLike | None
) -> tuple[tuple[np.ndarray, ...], np.ndarray | None, list[np.ndarray], tuple[int, ...]]:
    """The measured ratio and the model's parameters, in the model's order,
    and b1 (None if not given) as arrays the kernels read in place, broadcast
    without being copied; the voxels their ``numpy.ma`` masks let through;
    and their broadcast shape.
    """
    named = {"S_ratio": S_ratio, **parameters._asdict(), "b1": b1}
    arrays, masks = {}, []
    for name, value in named.items():
        if value is None and name == "b1":
            continue
        arrays[name], masked = real_array(value, name)
        if masked is not None:
            masks.append(~masked)
    shape = broadcast_shape(arrays)
    views = {name: np.broadcast_to(array, shape) for name, array in arrays.items()}
    b1_view = views.pop("b1", None)
    return tuple(views.values()), b1_view, masks, shape


def _bracket_ends(bracket: tuple[float, float]) -> tuple[float, float]:
    """The (lo, hi) of a ``bracket`` argument, checked: 0 <= lo < hi < 1."""
    try:
        lo, hi = (float(end) for end in bracket)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"bracket must be a pair of numbers (lo, hi), got {bracket!r}") from None
    if not 0.0 <= lo < hi < 1.0:
        raise ValueError(f"bracket must satisfy 0 <= lo < hi < 1, got ({lo!r}, {hi!r})")
    return lo, hi


def _fraction_results(
    f: Floats, status: np.ndarray, derivatives: FractionDerivatives | None, return_status: bool
) -> Any:
    """What ``fit_fraction`` returns: f, then the status if asked for, then
    the derivatives if computed; plain numbers for a scalar fit.
    """
    results: tuple[Any, ...] = (f, status)
    if f.ndim == 0:
        results = (float(f[()]), int(status[()]))
        if derivatives is not None:
            derivatives = FractionDerivatives(*(float(d[()]) for d in derivatives))
    results = results if return_status else results[:1]
    results += (derivatives,) if derivatives is not None else ()
    return results if len(results) > 1 else results[0]


@overload
def fit_fraction(  # type: ignore[overload-overlap]
    S_ratio: float,
    R1: float,
    T2_free: float,
    delta_omega: float,
    omega_1_rms: float,
    G: float,
    TR: float,
    duration: float,
    flip_angle: float,
    *,
    b1: float | None = None,
    mask: bool | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[False] = False,
    return_derivatives: Literal[False] = False,
) -> float: ...
@overload
def fit_fraction(
    S_ratio: RealArrayLike,
    R1: RealArrayLike,
    T2_free: RealArrayLike,
    delta_omega: RealArrayLike,
    omega_1_rms: RealArrayLike,
    G: RealArrayLike,
    TR: RealArrayLike,
    duration: RealArrayLike,
    flip_angle: RealArrayLike,
    *,
    b1: RealArrayLike | None = None,
    mask: RealArrayLike | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[False] = False,
    return_derivatives: Literal[False] = False,
) -> Floats: ...
# With the status or the derivatives: a tuple whose length the flags decide.
@overload
def fit_fraction(
    S_ratio: RealArrayLike,
    R1: RealArrayLike,
    T2_free: RealArrayLike,
    delta_omega: RealArrayLike,
    omega_1_rms: RealArrayLike,
    G: RealArrayLike,
    TR: RealArrayLike,
    duration: RealArrayLike,
    flip_angle: RealArrayLike,
    *,
    b1: RealArrayLike | None = None,
    mask: RealArrayLike | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: bool = False,
    return_derivatives: bool = False,
) -> Any: ...
def fit_fraction(
    S_ratio: RealArrayLike,
    R1: RealArrayLike,
    T2_free: RealArrayLike,
    delta_omega: RealArrayLike,
    omega_1_rms: RealArrayLike,
    G: RealArrayLike,
    TR: RealArrayLike,
    duration: RealArrayLike,
    flip_angle: RealArrayLike,
    *,
    b1: RealArrayLike | None = None,
    mask: RealArrayLike | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: bool = False,
    return_derivatives: bool = False,
) -> Any:
    """Bound-pool fraction f in every voxel: the zero of ``mpf.model`` in f.

    The inputs are those of ``mpf.model`` after ``f``, in its units, as real
    scalars or arrays of any shape (bool and integers included; float32 read
    as it is), broadcast together without being expanded; voxels masked in a
    ``numpy.ma`` array are masked. What a returned f guarantees, the physical
    domain a voxel must lie in to be solved, and the fast mode's accuracy are
    set out in the Python tutorial.

    Parameters
    ----------
    S_ratio : float or array_like
        Measured ratio S_mt / S_ref of the MT-weighted and reference signals.
    R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle : float or array_like
        The model's parameters, in its units (see :class:`ModelParameters`).
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
        True (default): a search on the model's single-precision residual,
        reproducible to the bit. False: the fast mode, several times faster:
        the zero of the same model in exact arithmetic, from its closed form,
        within ``4 * 2**-23 * S_ratio * |df/dS_ratio|`` of the exact mode's f
        and not promised to the bit on another machine or version.
    threads : int, optional
        Worker threads, a positive integer (more than 1024 count as 1024);
        default: every core available.
    return_status, return_derivatives : bool
        Also return the status code of every voxel, the first derivatives
        of f at the solution.

    Returns
    -------
    f : float or numpy.ndarray
        Bound-pool fraction, dimensionless: a float64 array of the broadcast
        shape (a float when every input is a scalar); NaN where a voxel is
        not solved (nothing is raised for it).
    status : int or numpy.ndarray of uint8
        With ``return_status=True``: ``STATUS_SOLVED``, ``STATUS_TWO_ROOTS``
        (f is the smaller zero), ``STATUS_BELOW_BRACKET`` /
        ``STATUS_ABOVE_BRACKET`` (no zero in the bracket; it would lie beyond
        that end), ``STATUS_INVALID_INPUT`` (outside the physical domain, or
        a residual the solver cannot use) or ``STATUS_MASKED``.
    derivatives : FractionDerivatives
        With ``return_derivatives=True`` (after the status, if asked for):
        df/dS_ratio, df/dR1 (s) and df/db1 at the solution, from the
        residual's closed form by the implicit function theorem; NaN where
        the voxel is not solved (also when clipped).

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
        Ctrl-C stops the fit within a fraction of a second.

    Examples
    --------
    >>> f = fit_fraction(0.55, 1.0, 0.04, 4000.0, 1500.0, 6.7e-6, 0.028, 0.012, 0.17)
    """
    parameters = ModelParameters(R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    inputs, b1_view, masks, shape = _fit_inputs(S_ratio, parameters, b1)
    lo, hi = _bracket_ends(bracket)
    if mask is not None:
        masks.append(mask_for(mask, shape))
    threads = thread_count(threads)

    f = np.empty(shape, dtype=np.float64)
    status = np.empty(shape, dtype=np.uint8)
    derivatives = None
    if return_derivatives:
        derivatives = FractionDerivatives(*(np.empty(shape, dtype=np.float64) for _ in range(3)))
    masks_view = tuple(np.broadcast_to(m, shape) for m in masks)
    settings = (lo, hi, bool(clip), bool(exact), threads)
    _maps.fit_fraction(inputs, b1_view, masks_view, *settings, f, status, derivatives)
    return _fraction_results(f, status, derivatives, return_status)


@overload
def predicted_ratio(  # type: ignore[overload-overlap]
    f: float,
    R1: float,
    T2_free: float,
    delta_omega: float,
    omega_1_rms: float,
    G: float,
    TR: float,
    duration: float,
    flip_angle: float,
    *,
    threads: int | None = None,
) -> float: ...
@overload
def predicted_ratio(
    f: RealArrayLike,
    R1: RealArrayLike,
    T2_free: RealArrayLike,
    delta_omega: RealArrayLike,
    omega_1_rms: RealArrayLike,
    G: RealArrayLike,
    TR: RealArrayLike,
    duration: RealArrayLike,
    flip_angle: RealArrayLike,
    *,
    threads: int | None = None,
) -> Floats: ...
def predicted_ratio(
    f: RealArrayLike,
    R1: RealArrayLike,
    T2_free: RealArrayLike,
    delta_omega: RealArrayLike,
    omega_1_rms: RealArrayLike,
    G: RealArrayLike,
    TR: RealArrayLike,
    duration: RealArrayLike,
    flip_angle: RealArrayLike,
    *,
    threads: int | None = None,
) -> float | Floats:
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
    parameters = ModelParameters(R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    arrays, masks = {}, []
    for name, value in {"f": f, **parameters._asdict()}.items():
        arrays[name], masked = real_array(value, name)
        if masked is not None:
            masks.append(masked)
    shape = broadcast_shape(arrays)
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


def lineshape_at_offsets(
    offsets: np.ndarray, T2b: float | None, grid: tuple[Floats, Floats] | None = None
) -> Floats:
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
        # Without a grid T2b is needed; None is refused there as not real.
        grid = lineshape_grid(float(finite.min()), float(finite.max()), cast(float, T2b))
    G = np.interp(magnitude, *grid)
    return np.where(np.isfinite(magnitude), G, np.nan)


def lineshape_grid(lo: float, hi: float, T2b: float) -> tuple[Floats, Floats]:
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
