"""Relaxometry of spoiled gradient-echo (SPGR) scans, for the chain from three
scans (PD-, T1- and MT-weighted) to a bound-pool fraction map.

- ``spgr_signal``: the SPGR steady-state signal;
- ``fit_r1``: R1 and M0 from two or more flip angles (variable flip angle,
  DESPOT1), shared or differing TRs;
- ``synthetic_reference``: the MT-weighted scan's signal without
  saturation, computed from M0 and R1, for the MT ratio;
- ``mtr`` and ``mtsat``: the semi-quantitative MT maps;
- ``fit_echoes``: multi-echo readouts combined by extrapolation to TE = 0,
  with one R2* shared by the contrasts.

NumPy in, NumPy out: scalars or arrays, broadcast together; a float for
scalar input. Angles in radians, times in s, rates in 1/s, signals in any
one unit. A transmit field ``b1`` (actual / nominal) scales every flip angle.
The per-voxel work runs in C++ (module ``_maps``) on all cores with the
interpreter lock released.
"""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from tavni.mt_map import _maps
from tavni.mt_map.array_inputs import (
    Floats,
    RealArrayLike,
    broadcast_shape,
    mask_for,
    real_array,
)
from tavni.mt_map.parallel import thread_count
from tavni.mt_map.status import (
    R1_STATUS_ABOVE_RANGE,
    R1_STATUS_BELOW_RANGE,
    R1_STATUS_INVALID_INPUT,
    R1_STATUS_MASKED,
    R1_STATUS_SOLVED,
)

__all__ = [
    "spgr_signal",
    "synthetic_reference",
    "fit_r1",
    "mtr",
    "mtsat",
    "fit_echoes",
]

# What the echo kernel takes: contrasts per call, echoes per contrast.
_MAX_CONTRASTS = _maps.ECHO_MAX_CONTRASTS
_MAX_ECHOES = _maps.ECHO_MAX_ECHOES

_HALF_PI = 0.5 * math.pi


def _float_or_array(array: np.ndarray) -> float | Floats:
    return float(array[()]) if array.ndim == 0 else array


def _actual(flip_angle, b1):
    """The flip angle the tissue sees: the nominal one scaled by b1."""
    return flip_angle if b1 is None else flip_angle * np.asarray(b1, dtype=np.float64)


def _inputs(**values):
    """The named inputs (None left out) as arrays the kernels read in place
    (float32 stays float32), their broadcast shape, and where any of them is
    masked (``numpy.ma``; None if nowhere).
    """
    arrays, masked = {}, None
    for name, value in values.items():
        if value is not None:
            arrays[name], where = real_array(value, name)
            if where is not None:
                masked = where if masked is None else masked | where
    return arrays, broadcast_shape(arrays), masked


def _view(arrays, name, shape):
    """The input broadcast to shape without being copied; None if absent."""
    return np.broadcast_to(arrays[name], shape) if name in arrays else None


def _nan_where(result, masked):
    if masked is not None:
        result[np.broadcast_to(masked, result.shape)] = np.nan
    return result


def spgr_signal(
    M0: RealArrayLike,
    R1: RealArrayLike,
    flip_angle: RealArrayLike,
    TR: RealArrayLike,
    *,
    b1: RealArrayLike | None = None,
    threads: int | None = None,
) -> float | Floats:
    """Steady-state signal of a spoiled gradient echo.

    ::

        S = M0 sin(a) (1 - E1) / (1 - E1 cos(a)),  E1 = exp(-R1 TR),
        a = b1 * flip_angle.

    Parameters
    ----------
    M0 : float or array_like
        Equilibrium signal (proton density times receive gain), signal units.
    R1 : float or array_like
        Longitudinal relaxation rate, 1/s.
    flip_angle : float or array_like
        Nominal excitation flip angle, radians.
    TR : float or array_like
        Repetition time, s.
    b1 : float or array_like, optional
        Relative transmit field (actual / nominal flip angle); default 1.
    threads : int, optional
        Worker threads; default: every core.

    Returns
    -------
    float or ndarray
        The signal, in the units of M0 (float64, the broadcast shape; a
        float for scalar input). NaN where an input is NaN or masked
        (``numpy.ma``).

    Raises
    ------
    TypeError
        An input that is not real numbers, or ``threads`` not an integer.
    ValueError
        Inputs that do not broadcast, or fewer than one thread.

    Examples
    --------
    >>> spgr_signal(1.0, 1.0, math.radians(25.0), 0.011)
    0.04462...
    """
    arrays, shape, masked = _inputs(M0=M0, R1=R1, flip_angle=flip_angle, TR=TR, b1=b1)
    signal = np.empty(shape)
    M0_view, R1_view, flip_view, TR_view, b1_view = (
        _view(arrays, name, shape) for name in ("M0", "R1", "flip_angle", "TR", "b1")
    )
    _maps.spgr_signal(M0_view, R1_view, flip_view, TR_view, b1_view, thread_count(threads), signal)
    return _float_or_array(_nan_where(signal, masked))


def synthetic_reference(
    M0: RealArrayLike,
    R1: RealArrayLike,
    flip_angle: RealArrayLike,
    TR: RealArrayLike,
    *,
    b1: RealArrayLike | None = None,
    threads: int | None = None,
) -> float | Floats:
    """The MT-weighted scan's signal had it no MT saturation, from M0 and R1.

    The SPGR steady state (``spgr_signal``) at the MT-weighted scan's own
    flip angle and TR, with the M0 and R1 fitted from the PD- and
    T1-weighted scans: the reference of the MT ratio S_MTw / S_ref without
    a fourth scan.

    Parameters
    ----------
    M0 : float or array_like
        Equilibrium signal from ``fit_r1``, signal units.
    R1 : float or array_like
        Longitudinal relaxation rate from ``fit_r1``, 1/s.
    flip_angle : float or array_like
        The MT-weighted scan's nominal flip angle, radians.
    TR : float or array_like
        The MT-weighted scan's repetition time, s.
    b1 : float or array_like, optional
        Relative transmit field (actual / nominal flip angle); default 1.
    threads : int, optional
        Worker threads; default: every core.

    Returns
    -------
    float or ndarray
        S_ref, in the units of M0 (float64, the broadcast shape; a float
        for scalar input).

    Raises
    ------
    TypeError, ValueError
        As ``spgr_signal``.
    """
    return spgr_signal(M0, R1, flip_angle, TR, b1=b1, threads=threads)


def _despot1_least_squares(signals, flip_angles, TR, b1):
    """R1, M0 and status from more than two scans of one TR.

    Dividing the steady state by sin(a),
        S / sin(a) = E1 * S / tan(a) + M0 (1 - E1),
    is a line in (S/tan a, S/sin a) with slope E1 and intercept
    M0 (1 - E1) (Deoni et al. 2003): here the least-squares line. (Two
    scans fix the line; the C++ kernel has that case.)
    """
    x, y = [], []
    valid = True
    for signal, flip_angle in zip(signals, flip_angles):
        alpha = _actual(flip_angle, b1)
        valid = valid & np.isfinite(signal) & (signal > 0) & (alpha > 0) & (alpha < _HALF_PI)
        y.append(signal / np.sin(alpha))
        x.append(signal / np.tan(alpha))
    n = len(signals)
    x_mean = sum(x) / n
    y_mean = sum(y) / n
    dx = [xi - x_mean for xi in x]
    E1 = sum(dxi * (yi - y_mean) for dxi, yi in zip(dx, y)) / sum(dxi * dxi for dxi in dx)
    R1 = -np.log(E1) / TR
    M0 = (y_mean - E1 * x_mean) / (1.0 - E1)
    status = np.where(E1 >= 1.0, R1_STATUS_BELOW_RANGE, R1_STATUS_SOLVED).astype(np.uint8)
    status[E1 <= 0.0] = R1_STATUS_ABOVE_RANGE
    status[~(valid & np.isfinite(E1))] = R1_STATUS_INVALID_INPUT
    return R1, M0, status


def fit_r1(
    signals: Sequence[RealArrayLike],
    flip_angles: Sequence[float],
    TRs: Sequence[float],
    *,
    b1: RealArrayLike | None = None,
    mask: RealArrayLike | None = None,
    return_status: bool = False,
    threads: int | None = None,
) -> tuple[Any, ...]:
    """R1 and M0 from SPGR scans of two or more flip angles (variable flip angle).

    Every voxel's signals S_i, made at flip angles a_i = b1 * flip_angles[i]
    and repetition times TRs[i], are explained by the SPGR steady state
    (see ``spgr_signal``). When all scans share TR, R1 and M0 follow in
    closed form from a line through the points (S/tan a, S/sin a)
    (least squares for more than two scans). When two scans differ in TR
    (allowed: the PD- and T1-weighted scans need not share it), the ratio of
    their signals depends on R1 alone; R1 is its root in [1e-3, 50] 1/s,
    found per voxel in C++ (to about 1e-12 relative), and M0 the
    least-squares amplitude of both scans at that R1. The ratio is monotone
    in R1 when the larger angle has the shorter (or the same) TR; otherwise
    it can turn once inside the interval (e.g. 4 deg at 6 ms against 12 deg
    at 42 ms turns near 42 1/s), and each side of the turn is searched.

    Parameters
    ----------
    signals : sequence of array_like
        Two or more signal arrays (one per scan), broadcast together.
    flip_angles : sequence of float
        The scans' nominal flip angles, radians, each in (0, pi/2).
    TRs : sequence of float
        The scans' repetition times, s. Scans with differing TRs: exactly two.
    b1 : array_like, optional
        Relative transmit field (actual / nominal flip angle).
    mask : array_like of bool, optional
        Voxels to fit; the others get NaN and ``R1_STATUS_MASKED``.
    return_status : bool
        Also return the status codes.
    threads : int, optional
        Worker threads of the two-scan fit (more scans are fitted in
        NumPy); default: every core.

    Returns
    -------
    R1 : float or ndarray
        Longitudinal relaxation rate, 1/s (float64, the broadcast shape).
    M0 : float or ndarray
        Equilibrium signal, in the signals' unit.
    status : int or ndarray of uint8
        With ``return_status``: ``R1_STATUS_SOLVED``; ``R1_STATUS_BELOW_RANGE``
        (the signals ask for an R1 that is not positive (E1 >= 1) or below
        the searched interval), ``R1_STATUS_ABOVE_RANGE`` (E1 <= 0, or above
        the interval); ``R1_STATUS_INVALID_INPUT`` (a signal not positive and
        finite, an angle outside (0, pi/2), scans of one contrast);
        ``R1_STATUS_MASKED``; ``R1_STATUS_TWO_ROOTS`` (differing TRs whose
        ratio turns inside the interval and meets the measured one on both
        sides: R1 and M0 of the smaller root). R1 and M0 are NaN unless
        solved or two roots.

    Raises
    ------
    ValueError
        Fewer than two scans, lengths that disagree, a TR that is not
        positive, more than two scans with differing TRs, inputs that do not
        broadcast, a mask of the wrong shape, fewer than one thread.
    """
    signals = list(signals)
    flip_angles = [float(a) for a in flip_angles]
    TRs = [float(t) for t in TRs]
    if len(signals) < 2:
        raise ValueError(f"fit_r1 needs at least two scans, got {len(signals)}")
    if not len(signals) == len(flip_angles) == len(TRs):
        raise ValueError(
            f"fit_r1: {len(signals)} signals, {len(flip_angles)} flip angles, {len(TRs)} TRs"
        )
    if not all(math.isfinite(t) and t > 0 for t in TRs):
        raise ValueError(f"fit_r1: every TR must be positive, got {TRs}")
    if len(signals) > 2 and any(t != TRs[0] for t in TRs):
        raise ValueError("fit_r1: scans with differing TRs must be exactly two")
    names = [f"signals[{i}]" for i in range(len(signals))]
    arrays, shape, masked = _inputs(**dict(zip(names, signals)), b1=b1)
    masks = [] if masked is None else [~masked]
    if mask is not None:
        masks.append(mask_for(mask, shape))
    threads = thread_count(threads)

    if len(signals) > 2:
        with np.errstate(divide="ignore", invalid="ignore"):
            R1, M0, status = _despot1_least_squares(
                [arrays[n] for n in names], flip_angles, TRs[0], arrays.get("b1")
            )
        R1, M0, status = (np.broadcast_to(a, shape) for a in (R1, M0, status))
        for keep in masks:
            status = np.where(keep, status, R1_STATUS_MASKED)
        status = status.astype(np.uint8)
        solved = status == R1_STATUS_SOLVED
        R1 = np.where(solved, R1, np.nan)
        M0 = np.where(solved, M0, np.nan)
    else:
        R1 = np.empty(shape)
        M0 = np.empty(shape)
        status = np.empty(shape, dtype=np.uint8)
        _maps.fit_r1(
            tuple(_view(arrays, n, shape) for n in names),
            tuple(flip_angles),
            tuple(TRs),
            _view(arrays, "b1", shape),
            tuple(np.broadcast_to(m, shape) for m in masks),
            threads,
            R1,
            M0,
            status,
        )
    if R1.ndim == 0:
        R1, M0, status = float(R1), float(M0), int(status)
    return (R1, M0, status) if return_status else (R1, M0)


def mtr(S_mt: RealArrayLike, S_ref: RealArrayLike) -> float | Floats:
    """Magnetization-transfer ratio, percent.

    ::

        MTR = 100 (S_ref - S_mt) / S_ref

    with S_ref measured (the same scan without MT saturation) or synthetic
    (``synthetic_reference``); as BIDS' ``MTRmap``.

    Parameters
    ----------
    S_mt, S_ref : float or array_like
        MT-weighted and reference signals, one unit.

    Returns
    -------
    float or ndarray
        MTR in percent (float64, the broadcast shape; a float for scalar
        input); NaN where S_ref is not positive or an input is NaN or
        masked (``numpy.ma``).

    Raises
    ------
    TypeError
        An input that is not real numbers (strings, complex, objects).
    ValueError
        Inputs that do not broadcast.
    """
    arrays, _, masked = _inputs(S_mt=S_mt, S_ref=S_ref)
    mt = arrays["S_mt"].astype(np.float64, copy=False)
    ref = arrays["S_ref"].astype(np.float64, copy=False)
    # In place, one array of the volume's size at a time.
    ratio = np.asarray(np.subtract(ref, mt))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio /= ref
    ratio *= 100.0
    ratio[np.broadcast_to(~(ref > 0), ratio.shape)] = np.nan
    return _float_or_array(_nan_where(ratio, masked))


def mtsat(
    S_pd: RealArrayLike,
    S_t1: RealArrayLike,
    S_mt: RealArrayLike,
    flip_pd: float,
    flip_t1: float,
    flip_mt: float,
    TR_pd: float,
    TR_t1: float,
    TR_mt: float,
    *,
    b1: RealArrayLike | None = None,
    b1_correction: float | None = None,
    threads: int | None = None,
) -> float | Floats:
    """MT saturation, percent units (Helms et al. 2008).

    With the small-angle approximations of the SPGR steady state, from the
    PD-weighted (S_pd at a_pd, TR_pd), T1-weighted (S_t1 at a_t1, TR_t1) and
    MT-weighted (S_mt at a_mt, TR_mt) signals, angles a = b1 * flip::

        R1app = 1/2 (S_t1 a_t1 / TR_t1 - S_pd a_pd / TR_pd)
                    / (S_pd / a_pd - S_t1 / a_t1),
        Aapp  = S_pd S_t1 (TR_pd a_t1 / a_pd - TR_t1 a_pd / a_t1)
                    / (S_t1 TR_pd a_t1 - S_pd TR_t1 a_pd),
        MTsat = (Aapp a_mt / S_mt - 1) R1app TR_mt - a_mt^2 / 2,

    times 100. The optional empirical correction of the residual transmit-
    field dependence (Weiskopf et al. 2013) multiplies by
    (1 - C) / (1 - C b1).

    Parameters
    ----------
    S_pd, S_t1, S_mt : float or array_like
        The three signals, one unit.
    flip_pd, flip_t1, flip_mt : float
        Nominal flip angles, radians.
    TR_pd, TR_t1, TR_mt : float
        Repetition times, s.
    b1 : float or array_like, optional
        Relative transmit field (actual / nominal flip angle).
    b1_correction : float, optional
        The constant C of the empirical correction (0.4 in Weiskopf et al.
        2013); needs ``b1``. Default: no correction.
    threads : int, optional
        Worker threads; default: every core.

    Returns
    -------
    float or ndarray
        MTsat in percent units (float64, the broadcast shape; a float for
        scalar input); NaN where a signal is not positive.

    Raises
    ------
    ValueError
        ``b1_correction`` without ``b1``, or outside [0, 1); inputs that do
        not broadcast.
    """
    if b1_correction is not None and b1 is None:
        raise ValueError("mtsat: the empirical B1 correction needs a b1 map")
    C = -1.0 if b1_correction is None else float(b1_correction)
    if b1_correction is not None and not 0.0 <= C < 1.0:
        raise ValueError(
            f"mtsat: the B1 correction constant must be in [0, 1), got {b1_correction}"
        )
    arrays, shape, masked = _inputs(S_pd=S_pd, S_t1=S_t1, S_mt=S_mt, b1=b1)
    saturation = np.empty(shape)
    _maps.mtsat(
        tuple(_view(arrays, name, shape) for name in ("S_pd", "S_t1", "S_mt")),
        (float(flip_pd), float(flip_t1), float(flip_mt)),
        (float(TR_pd), float(TR_t1), float(TR_mt)),
        _view(arrays, "b1", shape),
        C,
        thread_count(threads),
        saturation,
    )
    return _float_or_array(_nan_where(saturation, masked))


def fit_echoes(
    signals: Sequence[RealArrayLike],
    echo_times: Sequence[RealArrayLike],
    *,
    threads: int | None = None,
) -> tuple[Floats, Any, Any, Any]:
    """S(TE = 0) of every contrast and one R2* per voxel, from multi-echo readouts.

    Each contrast c (the PD-, T1- and MT-weighted scans, say) is read out at
    its own echo times; all decay with one R2* per voxel::

        ln S_c(TE) = ln S_c(0) - R2* TE,

    fitted voxel by voxel by weighted least squares over every echo of every
    contrast, with the weights ``w = S**2`` (for magnitude data at a useful
    SNR the variance of ln S is about sigma**2 / S**2). In closed form, with
    T_c and y_c the weighted means of TE and ``y = ln S`` within contrast c::

        R2*       = -sum w (TE - T_c) (y - y_c) / sum w (TE - T_c)**2,
        ln S_c(0) = y_c + R2* T_c,
        sd(R2*)   = sqrt(s**2 / sum w (TE - T_c)**2),
        s**2      = sum w r**2 / (N - C - 1),

    r the residuals of ln S, N the echoes used and C the contrasts. An echo
    whose signal is not positive and finite is left out of its voxel's fit.
    The fit runs in C++ (module ``_maps``) on every core; ln S is taken in
    single precision (within 5e-8: R2* moves by under 1e-5 /s).

    Parameters
    ----------
    signals : sequence of array_like
        One array per contrast (1 to 8), the echoes along the last axis
        (1 to 32), signal units (one unit for all). The arrays' other axes
        broadcast together to the map's shape. float32 is read as float32,
        without a copy; ``numpy.ma`` masked echoes are left out.
    echo_times : sequence of array_like
        One 1-D array per contrast, its echo times in s (finite, >= 0), as
        many as its signals have echoes.
    threads : int, optional
        Worker threads; default: every core.

    Returns
    -------
    S0 : ndarray
        S_c(0) of each contrast, in the signals' unit (float64, the map's
        shape plus a last axis of the contrasts).
    R2star : float or ndarray
        The shared transverse relaxation rate R2*, 1/s (float64, the map's
        shape; a float for a single voxel).
    R2star_sd : float or ndarray
        Its standard deviation from the weighted residuals, 1/s; NaN where
        N - C - 1 < 1.
    status : int or ndarray of uint8
        ``ECHO_STATUS_SOLVED``; ``ECHO_STATUS_NEGATIVE_R2STAR`` (R2* < 0, a
        signal that grows with TE: S0, R2* and its sd are returned all the
        same); ``ECHO_STATUS_TOO_FEW_ECHOES`` (a contrast without an echo
        with signal, fewer than C + 1 in all, or no spread of TE within any
        contrast: S0, R2* and its sd NaN). See ``status.ECHOES``.

    Raises
    ------
    TypeError
        Signals that are not real numbers.
    ValueError
        A count of contrasts outside 1 to 8, echo times not 1-D, not finite
        or negative, echo counts that differ between a contrast's signals
        and its echo times (or outside 1 to 32), shapes that do not
        broadcast, fewer than one thread.

    Examples
    --------
    >>> TE = np.array([0.0023, 0.0046, 0.0069])
    >>> S0, R2star, sd, status = fit_echoes([900 * np.exp(-20 * TE)], [TE])
    >>> round(R2star, 9), round(float(S0[0]), 6)
    (20.0, 900.0)
    """
    signals, echo_times = list(signals), list(echo_times)
    C = len(signals)
    if not 1 <= C <= _MAX_CONTRASTS:
        raise ValueError(f"fit_echoes: 1 to {_MAX_CONTRASTS} contrasts, got {C}")
    if len(echo_times) != C:
        raise ValueError(f"fit_echoes: {C} signal arrays, {len(echo_times)} echo time arrays")
    times, full, maps = [], [], {}
    for c, (signal, TE) in enumerate(zip(signals, echo_times)):
        TE = np.array(TE, dtype=np.float64)
        if TE.ndim != 1 or not 1 <= TE.size <= _MAX_ECHOES:
            raise ValueError(
                f"fit_echoes: echo_times[{c}] must be 1 to {_MAX_ECHOES} times in one "
                f"dimension, got shape {TE.shape}"
            )
        if not (np.isfinite(TE) & (TE >= 0)).all():
            raise ValueError(f"fit_echoes: echo_times[{c}] must be finite and >= 0, got {TE}")
        array, masked = real_array(signal, f"signals[{c}]")
        if array.ndim == 0 or array.shape[-1] != TE.size:
            raise ValueError(
                f"fit_echoes: signals[{c}] has {array.shape[-1] if array.ndim else 0} echoes "
                f"along its last axis, echo_times[{c}] {TE.size}"
            )
        if masked is not None:
            array = np.where(masked, np.nan, array).astype(array.dtype)
        times.append(TE)
        full.append(array)
        maps[f"signals[{c}]"] = array[..., 0]  # the map's axes alone
    shape = broadcast_shape(maps)
    views = tuple(np.broadcast_to(a, shape + (TE.size,)) for a, TE in zip(full, times))
    S0 = np.empty(shape + (C,))
    R2star = np.empty(shape)
    R2star_sd = np.empty(shape)
    status = np.empty(shape, dtype=np.uint8)
    _maps.fit_echoes(views, tuple(times), thread_count(threads), S0, R2star, R2star_sd, status)
    if R2star.ndim == 0:
        return S0, float(R2star), float(R2star_sd), int(status)
    return S0, R2star, R2star_sd, status
