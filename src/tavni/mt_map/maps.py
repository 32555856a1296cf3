"""Whole-image maps: the super-Lorentzian lineshape and the bound-pool fraction.

Both functions take scalars or NumPy arrays of any shape, broadcast them
together and do the per-element work in C++ (module ``_maps``) with the
interpreter lock released; nothing here loops over voxels.
"""
import operator
import os

import numpy as np

from tavni.mt_map import _maps

STATUS_SOLVED = _maps.STATUS_SOLVED
"""f found; a zero within rounding at a bracket end included."""
STATUS_BELOW_BRACKET = _maps.STATUS_BELOW_BRACKET
"""No sign change in the bracket; the residual is smaller at its lower end."""
STATUS_ABOVE_BRACKET = _maps.STATUS_ABOVE_BRACKET
"""No sign change in the bracket; the residual is smaller at its upper end."""
STATUS_INVALID_INPUT = _maps.STATUS_INVALID_INPUT
"""An input is not finite (in single precision), or the model is undefined."""
STATUS_MASKED = _maps.STATUS_MASKED
"""Excluded by the mask."""

_FIT_INPUTS = ("S_ratio", "R1", "T2_free", "delta_omega", "omega_1_rms", "G", "TR",
               "duration", "flip_angle")


def _broadcast_shape(named_arrays):
    try:
        return np.broadcast_shapes(*(array.shape for array in named_arrays.values()))
    except ValueError:
        shapes = ", ".join(f"{name} {array.shape}" for name, array in named_arrays.items()
                           if array.ndim > 0)
        raise ValueError(f"input shapes do not broadcast together: {shapes}") from None


def _flat(array, shape):
    """The array's values for the kernels: one shared value, or a C-contiguous
    copy (when it is not one already) of the array broadcast to shape."""
    if array.size == 1:
        return np.ascontiguousarray(array.reshape(1))
    return np.ascontiguousarray(np.broadcast_to(array, shape))


def _mask_flat(mask, shape):
    """The mask as bytes for the kernels (see _flat), or None for no mask."""
    if mask is None:
        return None
    mask_array = np.asarray(mask).astype(bool, copy=False)
    try:
        fits = np.broadcast_shapes(mask_array.shape, shape) == shape
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"mask has shape {mask_array.shape}; the inputs broadcast to {shape}")
    return _flat(mask_array, shape).view(np.uint8)


def _default_threads():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def super_lorentzian(delta_omega, T2b):
    """Super-Lorentzian absorption lineshape G of the bound pool.

    G(delta_omega) = sqrt(2/pi) * T2b * integral_0^1 du
        exp(-2 (2 pi delta_omega T2b / (3u^2 - 1))^2) / |3u^2 - 1|,

    the value that ``mpf.model`` takes as ``G``, in the time unit of ``T2b``
    (``delta_omega`` in cycles per that unit). Normalised so that the
    integral of G over the angular offset 2 pi delta_omega is 1. Computed in
    double precision by adaptive Gauss-Kronrod quadrature split at the magic
    angle u = 1/sqrt(3), to a relative accuracy of 1e-9 or better; arrays
    are spread over all cores.

    Scalars or arrays, broadcast together; returns a float for scalar
    input, else a float64 array. At zero offset the integral diverges
    (logarithmically) and the result is +inf; at infinite offset it is 0.
    NaN where an input is NaN or ``T2b`` is not positive and finite.

    >>> G = super_lorentzian(4000.0, 12e-6)
    """
    arrays = {"delta_omega": np.asarray(delta_omega, dtype=np.float64),
              "T2b": np.asarray(T2b, dtype=np.float64)}
    shape = _broadcast_shape(arrays)
    out = np.empty(shape, dtype=np.float64)
    _maps.super_lorentzian(*(_flat(a, shape) for a in arrays.values()), out, _default_threads())
    return float(out[()]) if out.ndim == 0 else out


def fit_fraction(S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle,
                 *, b1=None, mask=None, bracket=(0.0, 0.5), clip=False, threads=None,
                 return_status=False):
    """Bound-pool fraction f in every voxel: the zero of ``mpf.model`` in f.

    The parameters are those of ``mpf.model`` after ``f``, as scalars or
    arrays of any shape, broadcast together. Returns a float64 array of f
    of the broadcast shape (a float when every input is a scalar), and with
    ``return_status=True`` also a uint8 array of status codes.

    Each voxel is solved in C++ on the single-precision values of f that the
    model itself takes, with exactly the model's residual: the residual
    changes sign between the single-precision neighbours of the returned f.
    A residual within single-precision rounding of zero at a bracket end is
    a zero there (fluid, with S_ratio made at f = 0, comes back as 0).

    Keyword arguments:

    b1
        Relative transmit field (actual / nominal), broadcast like the
        inputs; it scales both ``flip_angle`` and ``omega_1_rms``.
    mask
        Boolean array broadcastable to the inputs' shape; voxels where it is
        False are not fitted (NaN, ``STATUS_MASKED``).
    bracket
        (lo, hi) with 0 <= lo < hi < 1: the interval searched for f.
    clip
        Without a sign change in the bracket, return the bracket end where
        the residual is smaller instead of NaN (the status still says so).
    threads
        Number of worker threads; default: every core available.
    return_status
        Return ``(f, status)``; status codes ``STATUS_SOLVED``,
        ``STATUS_BELOW_BRACKET`` / ``STATUS_ABOVE_BRACKET`` (no sign change;
        the zero would lie beyond that end), ``STATUS_INVALID_INPUT`` (an
        input not finite, or the model undefined, e.g. ``flip_angle`` 0),
        ``STATUS_MASKED``.

    Voxels without a solution are NaN; nothing is raised for them. Raises
    ValueError for inputs that do not broadcast, a bracket outside [0, 1)
    or reversed, a mask of the wrong shape or a thread count below 1.

    >>> f = fit_fraction(0.55, 1.0, 0.04, 4000.0, 1500.0, 6.7e-6, 0.028, 0.012, 0.17)
    """
    values = (S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    arrays = {name: np.asarray(value, dtype=np.float64)
              for name, value in zip(_FIT_INPUTS, values)}
    if b1 is not None:
        arrays["b1"] = np.asarray(b1, dtype=np.float64)
    shape = _broadcast_shape(arrays)

    try:
        lo, hi = (float(end) for end in bracket)
    except (TypeError, ValueError):
        raise ValueError(f"bracket must be a pair of numbers (lo, hi), got {bracket!r}") from None
    if not 0.0 <= lo < hi < 1.0:
        raise ValueError(f"bracket must satisfy 0 <= lo < hi < 1, got ({lo!r}, {hi!r})")

    mask_flat = _mask_flat(mask, shape)

    if threads is None:
        threads = _default_threads()
    threads = operator.index(threads)
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")

    f = np.empty(shape, dtype=np.float64)
    status = np.empty(shape, dtype=np.uint8)
    inputs = tuple(_flat(arrays[name], shape) for name in _FIT_INPUTS)
    b1_flat = _flat(arrays["b1"], shape) if b1 is not None else None
    _maps.fit_fraction(inputs, b1_flat, mask_flat, lo, hi, bool(clip), threads, f, status)

    if f.ndim == 0:
        f, status = float(f[()]), int(status[()])
    return (f, status) if return_status else f
