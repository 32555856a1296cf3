"""The relaxometry of the three-scan chain and the MT pulse: closed-form
checks of R1/M0, MTsat and omega_1_rms, verdicts and the transmit field.
"""

import math

import numpy as np
import pytest

from tavni.mt_map import _maps, fit_r1, mtr, mtsat, omega_1_rms_from_pulse, spgr_signal
from tavni.mt_map.relaxometry import fit_echoes
from tavni.mt_map.status import (
    ECHO_STATUS_NEGATIVE_R2STAR,
    ECHO_STATUS_SOLVED,
    ECHO_STATUS_TOO_FEW_ECHOES,
    R1_STATUS_ABOVE_RANGE,
    R1_STATUS_BELOW_RANGE,
    R1_STATUS_INVALID_INPUT,
    R1_STATUS_MASKED,
    R1_STATUS_SOLVED,
    R1_STATUS_TWO_ROOTS,
)

DEG = math.pi / 180.0
R1_TRUE = np.array([0.25, 0.72, 1.15, 3.0])
M0_TRUE = np.array([1.0, 0.8, 0.7, 1500.0])
TE3 = np.array([0.002, 0.004, 0.006])
ECHO_TIMES = [0.0023 * np.arange(1, n + 1) + 1e-4 * c for c, n in enumerate((8, 8, 6))]


@pytest.mark.parametrize(
    "angles, TRs",
    [
        ((4, 25), (0.025, 0.025)),  # two angles, one TR: the closed form
        ((3, 8, 20, 30), (0.015,) * 4),  # least squares through four points
        ((4, 25), (0.025, 0.011)),  # differing TRs: the root per voxel
        ((25, 6), (0.018, 0.0245)),
        ((4, 12), (0.006, 0.042)),  # the larger angle with the longer TR: the ratio turns
    ],
)
@pytest.mark.parametrize("b1", [None, np.array([0.7, 0.9, 1.1, 1.3])])
def test_r1_and_m0_from_the_steady_state(angles, TRs, b1):
    angles = [a * DEG for a in angles]
    signals = [spgr_signal(M0_TRUE, R1_TRUE, a, TR, b1=b1) for a, TR in zip(angles, TRs)]
    R1, M0, status = fit_r1(signals, angles, TRs, b1=b1, return_status=True)
    assert (status == R1_STATUS_SOLVED).all()
    np.testing.assert_allclose(R1, R1_TRUE, rtol=1e-10)
    np.testing.assert_allclose(M0, M0_TRUE, rtol=1e-10)


def test_r1_where_the_ratio_turns():
    # 4 deg at 6 ms against 12 deg at 42 ms: the signal ratio turns near
    # R1 = 42 1/s, inside the interval searched. Tissue lies below the turn,
    # where the root is unique; past it the ratio explains the signals twice.
    rng = np.random.default_rng(7)
    R1_true = np.append(rng.uniform(0.3, 3.0, 2000), 45.0)
    b1 = np.append(rng.uniform(0.7, 1.3, 2000), 1.0)
    angles, TRs = (4 * DEG, 12 * DEG), (0.006, 0.042)
    signals = [spgr_signal(1000.0, R1_true, a, TR, b1=b1) for a, TR in zip(angles, TRs)]
    R1, M0, status = fit_r1(signals, angles, TRs, b1=b1, return_status=True)
    assert (status[:-1] == R1_STATUS_SOLVED).all()
    np.testing.assert_allclose(R1[:-1], R1_true[:-1], rtol=1e-9)
    np.testing.assert_allclose(M0[:-1], 1000.0, rtol=1e-9)
    assert status[-1] == R1_STATUS_TWO_ROOTS and 1e-3 < R1[-1] < 42.0
    ratio = spgr_signal(1.0, R1[-1], angles[1], TRs[1]) / spgr_signal(
        1.0, R1[-1], angles[0], TRs[0]
    )
    assert ratio == pytest.approx(signals[1][-1] / signals[0][-1], rel=1e-10)


@pytest.mark.parametrize("TRs", [(0.025, 0.025), (0.025, 0.011)])
def test_r1_verdicts(TRs):
    angles = (4 * DEG, 25 * DEG)
    S_pd = spgr_signal(1.0, 1.0, angles[0], TRs[0])
    S_t1 = spgr_signal(1.0, 1.0, angles[1], TRs[1])
    # Rows: PDw, T1w, mask, expected status. The T1w signal brightens with
    # R1, from its ratio to PDw at a vanishing R1 to sin(a_t1)/sin(a_pd) at
    # an infinite one: a bit beyond either end has no R1.
    at_zero = spgr_signal(1.0, 1e-6, angles[1], TRs[1]) / spgr_signal(1.0, 1e-6, angles[0], TRs[0])
    at_infinity = math.sin(angles[1]) / math.sin(angles[0])
    cases = [
        (S_pd, S_t1, True, R1_STATUS_SOLVED),
        (S_pd, S_t1, False, R1_STATUS_MASKED),
        (-S_pd, S_t1, True, R1_STATUS_INVALID_INPUT),
        (S_pd, np.nan, True, R1_STATUS_INVALID_INPUT),
        (S_pd, 0.0, True, R1_STATUS_INVALID_INPUT),
        (S_pd, 0.99 * at_zero * S_pd, True, R1_STATUS_BELOW_RANGE),
        (S_pd, 1.01 * at_infinity * S_pd, True, R1_STATUS_ABOVE_RANGE),
    ]
    pd, t1, mask, expected = (np.array(column) for column in zip(*cases))
    R1, M0, status = fit_r1([pd, t1], angles, TRs, mask=mask, return_status=True)
    assert status.tolist() == expected.tolist()
    assert np.isnan(R1[1:]).all() and np.isnan(M0[1:]).all()
    # The synthetic reference skips the voxels without R1: NaN there only.
    reference = spgr_signal(M0, R1, angles[0], TRs[0], b1=np.full(len(cases), 1.1))
    assert np.isnan(reference).tolist() == [False] + [True] * (len(cases) - 1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: fit_r1([1.0], [0.1], [0.02]), "at least two"),
        (lambda: fit_r1([1.0, 2.0], [0.1], [0.02, 0.02]), "flip angles"),
        (lambda: fit_r1([1.0, 2.0, 3.0], [0.1, 0.2, 0.3], [0.02, 0.02, 0.03]), "exactly two"),
        (lambda: fit_r1([1.0, 2.0], [0.1, 0.2], [0.02, 0.0]), "positive"),
        (lambda: fit_r1([np.ones(2), np.ones(3)], [0.1, 0.2], [0.02, 0.02]), "broadcast"),
        (
            lambda: fit_r1([np.ones(2), np.ones(2)], [0.1, 0.2], [0.02, 0.02], mask=np.ones(3)),
            "mask",
        ),
        (lambda: mtsat(1, 1, 1, 0.1, 0.2, 0.1, 0.02, 0.02, 0.02, b1_correction=0.4), "b1"),
        (lambda: omega_1_rms_from_pulse(1.0, 0.01, "sinc"), "shape"),
        (lambda: omega_1_rms_from_pulse(1.0, 0.01, "gaussian"), "bandwidth"),
        (lambda: omega_1_rms_from_pulse(1.0, 0.01, "hard", bandwidth=200.0), "Gaussian"),
        (lambda: omega_1_rms_from_pulse(1.0, 0.0), "positive"),
        (lambda: fit_echoes([], []), "1 to 8 contrasts, got 0"),
        (lambda: fit_echoes([np.ones(3)] * 9, [TE3] * 9), "1 to 8 contrasts, got 9"),
        (lambda: fit_echoes([np.ones(3)], [TE3, TE3]), "2 echo time arrays"),
        (lambda: fit_echoes([np.ones(4)], [TE3]), "4 echoes along its last axis"),
        (lambda: fit_echoes([np.ones(3)], [[0.002, np.nan, 0.006]]), "finite and >= 0"),
        (lambda: fit_echoes([np.ones(3)], [-TE3]), "finite and >= 0"),
        (lambda: fit_echoes([np.ones((2, 3))], [np.ones((2, 3))]), "one dimension"),
        (lambda: fit_echoes([np.ones((2, 3)), np.ones((3, 3))], [TE3, TE3]), "broadcast"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_mtsat_inverts_the_small_angle_signal():
    # Helms et al. 2008 write every signal, to the small-angle order, as
    #     S = A a R1 TR / (R1 TR + a^2/2 + delta),
    # with delta the MT saturation (0 without MT). Signals made so give
    # back delta, whatever b1 made of the nominal angles.
    A, R1 = np.array([1.0, 0.8, 0.7]), np.array([0.3, 0.7, 1.1])
    delta = np.array([0.004, 0.012, 0.021])
    b1 = np.array([0.8, 1.0, 1.2])
    (a_pd, TR_pd), (a_t1, TR_t1), (a_mt, TR_mt) = (
        (5 * DEG, 0.025),
        (20 * DEG, 0.011),
        (6 * DEG, 0.03),
    )

    def signal(flip, TR, saturation):
        a = b1 * flip
        return A * a * R1 * TR / (R1 * TR + a * a / 2 + saturation)

    result = mtsat(
        signal(a_pd, TR_pd, 0),
        signal(a_t1, TR_t1, 0),
        signal(a_mt, TR_mt, delta),
        a_pd,
        a_t1,
        a_mt,
        TR_pd,
        TR_t1,
        TR_mt,
        b1=b1,
    )
    np.testing.assert_allclose(result, 100 * delta, rtol=1e-9)
    corrected = mtsat(
        signal(a_pd, TR_pd, 0),
        signal(a_t1, TR_t1, 0),
        signal(a_mt, TR_mt, delta),
        a_pd,
        a_t1,
        a_mt,
        TR_pd,
        TR_t1,
        TR_mt,
        b1=b1,
        b1_correction=0.4,
    )
    np.testing.assert_allclose(corrected, 100 * delta * 0.6 / (1 - 0.4 * b1), rtol=1e-9)
    assert math.isnan(mtsat(1.0, 0.0, 1.0, a_pd, a_t1, a_mt, TR_pd, TR_t1, TR_mt))


def masked(values, mask):
    return np.ma.masked_array(values, mask=mask)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: mtr(0.6, 1.0), 40.0),
        (lambda: mtr([0.5, 0.5, 0.5], [1.0, 0.0, -1.0]), [50.0, np.nan, np.nan]),
        (lambda: mtr(masked([0.5, 0.6], [1, 0]), 1.0), [np.nan, 40.0]),
        (lambda: mtr(np.float32(0.6), masked([1.0, 2.0], [0, 1])), [40.000001, np.nan]),
        (lambda: mtr(["0.5"], [1.0]), TypeError),
        (lambda: mtr(0.5 + 0.1j, 1.0), TypeError),
        # The RMS amplitude of a pulse is a magnitude, whichever way it turns.
        (lambda: omega_1_rms_from_pulse(-0.5, 0.01), 50.0),
        (
            lambda: omega_1_rms_from_pulse(-9.0, 0.01, "gaussian", 250.0),
            omega_1_rms_from_pulse(9.0, 0.01, "gaussian", 250.0),
        ),
        (lambda: omega_1_rms_from_pulse(masked([1.0, 2.0], [0, 1]), 0.01), [100.0, np.nan]),
        (lambda: omega_1_rms_from_pulse(1.0 + 1j, 0.01), TypeError),
        (lambda: omega_1_rms_from_pulse(1.0, "0.01"), TypeError),
    ],
)
def test_mtr_and_pulse_amplitude_as_array_functions(call, expected):
    if expected is TypeError:
        with pytest.raises(TypeError, match="real numbers"):
            call()
        return
    np.testing.assert_allclose(call(), expected, rtol=1e-3)


@pytest.mark.parametrize("bandwidth", [50.0, 250.0, 1000.0, 4000.0])
def test_gaussian_pulse_against_quadrature(bandwidth):
    theta, tau = 500 * DEG, 0.012
    sigma = math.sqrt(2 * math.log(2)) / (math.pi * bandwidth)
    t = np.linspace(0.0, tau, 400001)
    envelope = np.exp(-((t - tau / 2) ** 2) / (2 * sigma**2))
    omega_1 = theta * envelope / np.trapezoid(envelope, t)
    expected = math.sqrt(np.trapezoid(omega_1**2, t) / tau)
    assert omega_1_rms_from_pulse(theta, tau, "gaussian", bandwidth) == pytest.approx(
        expected, rel=1e-9
    )


def test_hard_pulse_and_the_wide_gaussian_limit():
    theta, tau = 500 * DEG, 0.012
    assert omega_1_rms_from_pulse(theta, tau) == theta / tau
    # A Gaussian far wider in time than the pulse is flat: the hard pulse.
    assert omega_1_rms_from_pulse(theta, tau, "gaussian", 0.01) == pytest.approx(
        theta / tau, rel=1e-6
    )
    np.testing.assert_allclose(
        omega_1_rms_from_pulse(np.array([theta, 2 * theta]), tau, "gaussian", 250.0),
        np.array([1, 2]) * (omega_1_rms_from_pulse(theta, tau, "gaussian", 250.0)),
    )


def test_chain_round_trip_recovers_r1_and_f():
    # Three noiseless SPGR scans of a small volume, the MT-weighted one
    # saturated as the two-pool model predicts, under a transmit field from
    # 0.7 to 1.3; the chain R1/M0 -> synthetic reference -> ratio -> f
    # gives back R1 and f.
    from tavni.mt_map import fit_fraction, predicted_ratio, super_lorentzian, synthetic_reference

    rng = np.random.default_rng(12)
    n = 300
    f_true = rng.uniform(0.0, 0.25, n)
    R1_true = rng.uniform(0.3, 2.0, n)
    M0_true = rng.uniform(0.5, 1.5, n)
    b1 = rng.uniform(0.7, 1.3, n)
    pd, t1, mt = (4 * DEG, 0.025), (25 * DEG, 0.011), (6 * DEG, 0.028)
    delta_omega, duration, T2_free = 4000.0, 0.012, 0.04
    omega_1_rms = omega_1_rms_from_pulse(500 * DEG, duration, "gaussian", 250.0)
    G = super_lorentzian(delta_omega, 12e-6)
    ratio = predicted_ratio(
        f_true, R1_true, T2_free, delta_omega, omega_1_rms * b1, G, mt[1], duration, mt[0] * b1
    )
    S_pd, S_t1, S_mt = (spgr_signal(M0_true, R1_true, a, TR, b1=b1) for a, TR in (pd, t1, mt))
    S_mt = S_mt * ratio

    R1, M0 = fit_r1([S_pd, S_t1], [pd[0], t1[0]], [pd[1], t1[1]], b1=b1)
    reference = synthetic_reference(M0, R1, mt[0], mt[1], b1=b1)
    f = fit_fraction(
        S_mt / reference, R1, T2_free, delta_omega, omega_1_rms, G, mt[1], duration, mt[0], b1=b1
    )
    np.testing.assert_allclose(R1, R1_true, rtol=1e-5)
    np.testing.assert_allclose(f, f_true, atol=1e-5)


def _echo_reference(signals, echo_times):
    """S0, R2*, sd and status of one voxel: the weighted normal equations
    solved by lstsq on rows [e_c, -TE] scaled by sqrt(w) = S, echoes without
    a positive finite signal left out.
    """
    C = len(signals)
    rows = [
        (np.append(np.eye(C)[c], -t), s)
        for c, (S, TE) in enumerate(zip(signals, echo_times))
        for s, t in zip(S, TE)
        if np.isfinite(s) and s > 0
    ]
    used = {tuple(row[:C]) for row, _ in rows}
    if len(used) < C or len(rows) < C + 1:
        return np.full(C, np.nan), np.nan, np.nan, ECHO_STATUS_TOO_FEW_ECHOES
    X = np.array([row * s for row, s in rows])
    y = np.array([np.log(s) * s for _, s in rows])
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    dof = len(rows) - C - 1
    rss = np.sum((y - X @ beta) ** 2)
    sd = np.sqrt(rss / dof * np.linalg.inv(X.T @ X)[-1, -1]) if dof >= 1 else np.nan
    status = ECHO_STATUS_NEGATIVE_R2STAR if beta[-1] < 0 else ECHO_STATUS_SOLVED
    return np.exp(beta[:C]), beta[-1], sd, status


@pytest.mark.parametrize("layout", ["C order", "float32", "strided", "broadcast", "masked"])
def test_echoes_against_weighted_least_squares(layout):
    # A 2 x 25 map with noise, an echo left out (0, NaN, masked), a signal
    # that grows (R2* < 0) and a contrast without signal.
    rng = np.random.default_rng(5)
    R2 = rng.uniform(0.0, 100.0, (2, 25, 1))
    R2[0, 2] = -15.0
    signals = [
        S * np.exp(-R2 * TE) * (1 + 0.01 * rng.standard_normal((2, 25, TE.size)))
        for S, TE in zip((900.0, 700.0, 500.0), ECHO_TIMES)
    ]
    signals[0][0, 0, 3], signals[1][0, 1, 0], signals[2][0, 3] = 0.0, np.nan, 0.0
    if layout == "float32":
        signals = [S.astype(np.float32) for S in signals]
    elif layout == "strided":
        signals = [
            np.moveaxis(np.repeat(np.moveaxis(S, -1, 0), 2, -1)[..., ::2], 0, -1) for S in signals
        ]
    elif layout == "broadcast":
        signals = [signals[0], signals[1][:1], signals[2][:, :1]]
    elif layout == "masked":
        signals[0] = np.ma.masked_array(
            signals[0], mask=np.broadcast_to(np.arange(8) == 5, (2, 25, 8))
        )
    S0, R2star, sd, status = fit_echoes(signals, ECHO_TIMES, threads=2)
    full = [
        np.broadcast_to(np.ma.filled(S.astype(float), np.nan), (2, 25, S.shape[-1]))
        for S in signals
    ]
    for index in np.ndindex(2, 25):
        expected = _echo_reference([S[index] for S in full], ECHO_TIMES)
        assert status[index] == expected[3], index
        # ln S is taken in single precision (within 5e-8): S0 to 1e-7, R2* to 1e-5 /s.
        np.testing.assert_allclose(S0[index], expected[0], rtol=1e-7)
        np.testing.assert_allclose(R2star[index], expected[1], rtol=0, atol=1e-5)
        np.testing.assert_allclose(sd[index], expected[2], rtol=1e-5)
    expected_codes = {ECHO_STATUS_SOLVED, ECHO_STATUS_NEGATIVE_R2STAR, ECHO_STATUS_TOO_FEW_ECHOES}
    if layout == "broadcast":  # the contrast without signal is not among the broadcast ones
        expected_codes.remove(ECHO_STATUS_TOO_FEW_ECHOES)
    assert set(status.flat) == expected_codes


@pytest.mark.parametrize(
    "signals, echo_times, S0, message",
    [
        ((np.ones((2, 3), np.int64),), (TE3,), np.empty((2, 1)), "float64 or float32"),
        ((np.ones((2, 3)),), (TE3[:2],), np.empty((2, 1)), "expected 3 values"),
        ((np.ones((2, 3)),), (TE3,), np.empty((2, 2)), "last axis"),
        ((np.ones((3, 3)),), (TE3,), np.empty((2, 1)), "shape plus an echo axis"),
        ((np.ones((2, 33)),), (np.ones(33),), np.empty((2, 1)), "1 to 32 echoes"),
    ],
)
def test_echoes_binding_rejects(signals, echo_times, S0, message):
    # The kernel's own checks, past the wrapper: an error, nothing held.
    outputs = (np.empty(2), np.empty(2), np.empty(2, np.uint8))
    with pytest.raises((TypeError, ValueError), match=message):
        _maps.fit_echoes(signals, echo_times, 1, S0, *outputs)
