"""Values of the exported functions, seen from Python."""

import math
import struct

import pytest

import tavni.mt_map.mpf as mpf

WHITE_MATTER = dict(
    f=0.1,
    S_ratio=0.5,
    R1=1.0,
    T2_free=0.05,
    delta_omega=2000.0,
    omega_1_rms=2000.0,
    G=1e-5,
    TR=0.03,
    duration=0.01,
    flip_angle=0.2,
)


def residual(**changes):
    return mpf.model(**{**WHITE_MATTER, **changes})


@pytest.mark.parametrize(
    "u, Delta, T2b, expected",
    [
        (0.3, 1000, 1e-5, 1.3497161551331618),
        (0, 1000, 1e-5, 0.9921354059071832),
        (1, 1000, 1e-5, 0.4990140130599585),
        (0.3, 0, 1e-5, 1.369863033831556),
        (-0.3, -1000, -1e-5, 1.3497161551331618),
        (0.3, 1e7, 1e-5, 0.0),
    ],
)
def test_integrand(u, Delta, T2b, expected):
    assert mpf.super_lorentzian_differential(u, Delta, T2b) == expected


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, -0.0031462604281025097),
        ({"S_ratio": 0.1}, -0.4031462589379864),
        ({"omega_1_rms": 0.0, "S_ratio": 0.45}, -0.550000011920929),
    ],
)
def test_residual(changes, expected):
    assert residual(**changes) == expected


@pytest.mark.parametrize(
    "changes",
    [
        {"flip_angle": 0.0},
        {"f": 1.0},
        {"TR": 0.0},
        {"delta_omega": 0.0},
        {"T2_free": 0.0},
        {"flip_angle": 2.0},
    ],
)
def test_residual_without_meaning_is_nan(changes):
    assert math.isnan(residual(**changes))


def test_zero_reference_signal_gives_the_ordinary_nan():
    bits = struct.pack("d", residual(flip_angle=0.0))
    assert bits == struct.pack("d", float("nan"))


def test_no_bound_pool_is_finite_and_continuous():
    # A root finder brackets f from 0: fluid has no bound pool.
    at_zero = residual(f=0.0)
    assert math.isfinite(at_zero)
    assert residual(f=1e-7) == pytest.approx(at_zero, abs=1e-6)
    assert residual(f=-0.0) == at_zero
