"""super_lorentzian: against quadratures done here, normalisation, shapes, edges."""

import math
import warnings

import numpy as np
import pytest
from scipy.integrate import quad

from tavni.mt_map import mpf, super_lorentzian

MAGIC_U = 1.0 / math.sqrt(3.0)
SCALE = math.sqrt(2.0 / math.pi)

# (offset, T2b): tissue-like bound pools from near resonance to far off it.
OFFSETS = [
    (1000.0, 12e-6),
    (4000.0, 12e-6),
    (-2500.0, 10e-6),
    (20000.0, 15e-6),
    (300.0, 8e-6),
    (50.0, 1e-3),
]


def integrand(u, Delta, T2b):
    d = 3.0 * u * u - 1.0
    return math.exp(-2.0 * (2.0 * math.pi * Delta * T2b / d) ** 2) / abs(d)


@pytest.mark.parametrize("Delta, T2b", OFFSETS)
def test_matches_a_double_precision_quadrature(Delta, T2b):
    integral = sum(
        quad(integrand, lo, hi, args=(Delta, T2b), epsabs=0.0, epsrel=1e-13, limit=500)[0]
        for lo, hi in ((0.0, MAGIC_U), (MAGIC_U, 1.0))
    )
    assert super_lorentzian(Delta, T2b) == pytest.approx(SCALE * T2b * integral, rel=1e-9, abs=0)


@pytest.mark.parametrize("Delta, T2b", OFFSETS[:5])
def test_matches_the_quadrature_of_the_exported_integrand(Delta, T2b):
    # The exported integrand rounds u, Delta and T2b to single precision, so
    # Delta and T2b are taken as single values here; its rounding of u turns
    # the integrand into a fine staircase, which quad integrates to about
    # 1e-7 only.
    Delta, T2b = float(np.float32(Delta)), float(np.float32(T2b))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        integral = quad(
            mpf.super_lorentzian_differential,
            0.0,
            1.0,
            args=(Delta, T2b),
            points=[MAGIC_U],
            epsabs=0.0,
            epsrel=1e-10,
            limit=200,
        )[0]
    assert super_lorentzian(Delta, T2b) == pytest.approx(SCALE * T2b * integral, rel=1e-6, abs=0)


@pytest.mark.parametrize("T2b", [8e-6, 12e-6, 2e-5])
def test_integrates_to_one_over_the_angular_offset(T2b):
    # G is even in the offset; from 0 to the linewidth scale 1/(2 pi T2b),
    # over the logarithmic peak at 0, and beyond it.
    def density(Delta):
        return 2.0 * 2.0 * math.pi * super_lorentzian(Delta, T2b)

    knee = 1.0 / (2.0 * math.pi * T2b)
    total = quad(density, 0.0, knee, limit=200)[0] + quad(density, knee, math.inf, limit=200)[0]
    assert total == pytest.approx(1.0, abs=1e-9)


def test_arrays_broadcast_and_match_scalars():
    Delta = np.array([[500.0], [2000.0], [-8000.0]])
    T2b = np.array([9e-6, 12e-6])
    G = super_lorentzian(Delta, T2b)
    assert G.shape == (3, 2) and G.dtype == np.float64
    for i in range(3):
        for j in range(2):
            assert G[i, j] == super_lorentzian(float(Delta[i, 0]), float(T2b[j]))
    assert isinstance(super_lorentzian(1000, 12e-6), float)
    assert super_lorentzian(np.zeros((0, 4)), 1e-5).shape == (0, 4)
    with pytest.raises(ValueError, match="broadcast"):
        super_lorentzian(np.ones(3), np.ones(2))


@pytest.mark.parametrize(
    "Delta, T2b, expected",
    [
        (0.0, 12e-6, math.inf),  # logarithmic divergence at resonance
        (-0.0, 12e-6, math.inf),
        (math.inf, 12e-6, 0.0),
        (1e6, 1e-5, 0.0),  # exp(-(2 pi Delta T2b)^2 / 2) underflows
        (math.nan, 12e-6, math.nan),
        (1000.0, 0.0, math.nan),
        (1000.0, -1e-5, math.nan),
        (1000.0, math.inf, math.nan),
    ],
)
def test_edges(Delta, T2b, expected):
    G = super_lorentzian(Delta, T2b)
    assert G == expected or (math.isnan(expected) and math.isnan(G))
