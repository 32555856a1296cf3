"""What a user would write without fit_fraction: the same two-pool model in
double precision, compiled with numba and run on all cores.

    brent_map(S_ratio, R1, b1, protocol, lo, hi, xtol)   Brent's method per voxel
    closed_form_map(S_ratio, R1, b1, protocol, lo, hi)   the exact zero per voxel
    predicted_ratio_map(f, R1, b1, protocol)             the model's S_mt / S_ref

protocol is the tuple (T2_free, delta_omega, omega_1_rms, G, TR, duration,
flip_angle) in s, Hz, rad/s, s, s, s, rad; b1 scales flip_angle and
omega_1_rms per voxel. Voxels without a zero in [lo, hi] (or with inputs
that are not finite) are NaN.

The model, in exact arithmetic. The excitation drains the free pool like a
continuous loss rate beta = -ln(cos(flip)) / TR, the saturation is on for
the duty cycle s = duration / TR, the pools exchange at k = R f / (1 - f)
(R = 19 /s) forward and R backward, and both relax with the measured R1.
With A = Wb s + R1 (Wb = pi omega_1_rms^2 G, the bound pool's saturation
rate) and H = 1 + Wf s / R1 + beta / R1 (Wf = (omega_1_rms / (2 pi
delta_omega))^2 / T2_free, the free pool's), the free-pool signal of one
scan is proportional to (1 - f) (k + A + R) / (H (A + R) + (A / R1) k).
The reference scan is the same without saturation (omega_1_rms = 0), and
the predicted ratio of the two is a ratio of quadratics in k: its zero
against a measured ratio is a root of a quadratic.

numba is a benchmark requirement only (benchmarks/requirements.txt).
"""

import math

import numba
import numpy as np

R = 19.0  # exchange rate constant, 1/s


def terms(R1, b1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle):
    """(c0, d0, e0, c1, d1, e1): each scan's signal is proportional to
    (1 - f) (k + c) / (d + e k); 0 the reference, 1 the MT scan. NumPy
    functions only, so that the same code runs compiled by numba on one
    voxel and by NumPy on arrays.
    """
    flip = flip_angle * b1
    w1 = omega_1_rms * b1
    beta = -np.log(np.cos(flip)) / TR
    s = duration / TR
    Wf = (w1 / (2.0 * np.pi * delta_omega)) ** 2 / T2_free
    Wb = np.pi * w1 * w1 * G
    A0 = R1
    A1 = Wb * s + R1
    H0 = 1.0 + beta / R1
    H1 = 1.0 + Wf * s / R1 + beta / R1
    c0 = A0 + R
    c1 = A1 + R
    return c0, H0 * c0, A0 / R1, c1, H1 * c1, A1 / R1


def residual(f, S, c0, d0, e0, c1, d1, e1):
    """Measured minus predicted ratio at the fraction f."""
    k = R * f / (1.0 - f)
    return S - ((k + c1) / (d1 + e1 * k)) / ((k + c0) / (d0 + e0 * k))


_terms = numba.njit(inline="always")(terms)
_residual = numba.njit(inline="always")(residual)


@numba.njit(inline="always")
def _brent(S, c0, d0, e0, c1, d1, e1, a, b, xtol):
    """Brent's method (Brent 1973, as scipy.optimize.brentq writes it)."""
    fa = _residual(a, S, c0, d0, e0, c1, d1, e1)
    fb = _residual(b, S, c0, d0, e0, c1, d1, e1)
    if not (fa * fb <= 0.0):
        return math.nan
    if fa == 0.0:
        return a
    if fb == 0.0:
        return b
    c, fc = a, fa
    d = e = b - a
    for _ in range(100):
        if fb * fc > 0.0:
            c, fc = a, fa
            d = e = b - a
        if abs(fc) < abs(fb):
            a, fa = b, fb
            b, fb = c, fc
            c, fc = a, fa
        tol = 2.0 * 4.4e-16 * abs(b) + 0.5 * xtol
        m = 0.5 * (c - b)
        if abs(m) <= tol or fb == 0.0:
            return b
        if abs(e) >= tol and abs(fa) > abs(fb):
            s = fb / fa
            if a == c:
                p = 2.0 * m * s
                q = 1.0 - s
            else:
                q = fa / fc
                r = fb / fc
                p = s * (2.0 * m * q * (q - r) - (b - a) * (r - 1.0))
                q = (q - 1.0) * (r - 1.0) * (s - 1.0)
            if p > 0.0:
                q = -q
            else:
                p = -p
            if 2.0 * p < min(3.0 * m * q - abs(tol * q), abs(e * q)):
                e = d
                d = p / q
            else:
                d = m
                e = m
        else:
            d = m
            e = m
        a, fa = b, fb
        if abs(d) > tol:
            b += d
        else:
            b += tol if m > 0.0 else -tol
        fb = _residual(b, S, c0, d0, e0, c1, d1, e1)
    return b


@numba.njit(parallel=True)
def brent_map(S_ratio, R1, b1, protocol, lo, hi, xtol):
    T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle = protocol
    n = S_ratio.size
    f = np.empty(n)
    for i in numba.prange(n):
        c0, d0, e0, c1, d1, e1 = _terms(
            R1[i], b1[i], T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle
        )
        f[i] = _brent(S_ratio[i], c0, d0, e0, c1, d1, e1, lo, hi, xtol)
    return f


@numba.njit(parallel=True)
def closed_form_map(S_ratio, R1, b1, protocol, lo, hi):
    T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle = protocol
    n = S_ratio.size
    f = np.empty(n)
    for i in numba.prange(n):
        S = S_ratio[i]
        c0, d0, e0, c1, d1, e1 = _terms(
            R1[i], b1[i], T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle
        )
        # S - N/D with N = (k + c1)(d0 + e0 k), D = (d1 + e1 k)(k + c0):
        # zero where the quadratic N - S D is.
        q2 = e0 - S * e1
        q1 = d0 + c1 * e0 - S * (d1 + e1 * c0)
        q0 = c1 * d0 - S * d1 * c0
        result = math.nan
        if q2 == 0.0:
            k = -q0 / q1
            x = k / (R + k)
            if x >= lo and x <= hi:
                result = x
        else:
            disc = q1 * q1 - 4.0 * q2 * q0
            if disc >= 0.0:
                t = -0.5 * (q1 + math.copysign(math.sqrt(disc), q1))
                for k in (t / q2, q0 / t):
                    x = k / (R + k)
                    if x >= lo and x <= hi:
                        result = x
                        break
        f[i] = result
    return f


@numba.njit(parallel=True)
def predicted_ratio_map(f, R1, b1, protocol):
    T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle = protocol
    n = f.size
    out = np.empty(n)
    for i in numba.prange(n):
        c0, d0, e0, c1, d1, e1 = _terms(
            R1[i], b1[i], T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle
        )
        out[i] = -_residual(f[i], 0.0, c0, d0, e0, c1, d1, e1)
    return out
