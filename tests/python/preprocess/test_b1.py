"""Relative B1 from the mapping sequences' signals."""

import numpy as np
import pytest

from tavni.mt_map.preprocess import b1

TRUE_B1 = np.linspace(0.6, 1.4, 33)


def dam_signals(field, alpha1_deg):
    # Fully relaxed excitations: the signal is the sine of the angle reached.
    angle = np.radians(alpha1_deg) * field
    return 300 * np.sin(angle), 300 * np.sin(2 * angle)


def afi_signals(field, alpha_deg, tr1, tr2, t1=1.0):
    # The interleaved steady state of two spoiled excitations, exact in TR/T1.
    angle = np.radians(alpha_deg) * field
    e1, e2 = np.exp(-tr1 / t1), np.exp(-tr2 / t1)
    denominator = 1 - e1 * e2 * np.cos(angle) ** 2
    s1 = np.sin(angle) * (1 - e2 + (1 - e1) * e2 * np.cos(angle)) / denominator
    s2 = np.sin(angle) * (1 - e1 + (1 - e2) * e1 * np.cos(angle)) / denominator
    return 500 * s1, 500 * s2


@pytest.mark.parametrize(
    "method, rtol",
    [
        (lambda f: b1.b1_from_dam(*dam_signals(f, 60.0), 60.0), 1e-12),
        (lambda f: b1.b1_from_dam(*dam_signals(f, 30.0), 30.0), 1e-12),
        # The closed form is first order in TR/T1: TR 20/100 ms at T1 1 s.
        (lambda f: b1.b1_from_afi(*afi_signals(f, 60.0, 0.02, 0.1), 0.02, 0.1, 60.0), 5e-3),
        (lambda f: b1.b1_from_afi(*afi_signals(f, 50.0, 0.005, 0.025), 5, 25, 50.0), 1.5e-3),
        (lambda f: b1.b1_from_tfl(10 * 80.0 * f, 80.0), 1e-12),
    ],
    ids=["dam-60", "dam-30", "afi-20/100", "afi-5/25-ms", "tfl"],
)
def test_b1_against_signal_equations(method, rtol):
    with np.errstate(all="raise"):
        np.testing.assert_allclose(method(TRUE_B1), TRUE_B1, rtol=rtol)


def dam(s1, s2):
    return b1.b1_from_dam(s1, s2, 60.0)


def afi(s1, s2):
    return b1.b1_from_afi(s1, s2, 0.02, 0.1, 60.0)


@pytest.mark.parametrize(
    "method, s1, s2, expected",
    [
        (dam, 1.0, 2.0, 0.0),  # S2 / (2 S1) = 1
        (dam, 1.0, -2.0, 3.0),  # -1: 180 deg
        (dam, 1.0, 2.000001, np.nan),
        (dam, 0.0, 1.0, np.nan),
        (dam, np.inf, 1.0, np.nan),
        (dam, 1.0, np.nan, np.nan),
        (afi, 1.0, 1.0, 0.0),  # r = 1: no angle
        (afi, 1.0, 1.01, np.nan),
        (afi, 1.0, 0.0, np.nan),
        (afi, 0.0, 1.0, np.nan),
        (afi, np.inf, 1.0, np.nan),
        (afi, 1.0, 5.0, np.nan),  # r = n: n - r = 0
    ],
)
def test_b1_domain_edges_are_nan(method, s1, s2, expected):
    with np.errstate(all="raise"):
        found = method(np.array([s1]), np.array([s2]))
    np.testing.assert_allclose(found, [expected], atol=1e-12)


@pytest.mark.parametrize(
    "units, nominal, expected",
    [
        ("percent", None, 0.01),
        ("relative", None, 1.0),
        ("1", None, 1.0),
        (" Ratio ", None, 1.0),
        ("degrees", 60.0, 1 / 60),
        ("DEG", 120.0, 1 / 120),
        (None, None, "Units are missing; give Units"),
        ("tesla", None, "'tesla' are not understood"),
        ("degrees", None, "needs the nominal flip angle"),
    ],
)
def test_relative_from_units(units, nominal, expected):
    values = np.array([90.0, 110.0, 0.0, -5.0, np.nan])
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            b1.relative_from_units(values, units, nominal)
        return
    np.testing.assert_allclose(
        b1.relative_from_units(values, units, nominal),
        [90 * expected, 110 * expected, np.nan, np.nan, np.nan],
    )
