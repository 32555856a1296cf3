"""Uncertainty of f: the solver's derivatives against differences of fit_fraction,
predicted standard deviations against small Monte Carlo runs, and the noise
estimate from a Rician background.
"""

import numpy as np
import pytest

from tavni.mt_map import STATUS_SOLVED, fit_fraction, mpf, super_lorentzian
from tavni.mt_map.uncertainty import (
    NoiseEstimateError,
    noise_sd_from_background,
    ratio_uncertainty,
    three_scan_uncertainty,
)

PROTOCOL = dict(
    T2_free=0.04,
    delta_omega=4000.0,
    omega_1_rms=1500.0,
    G=super_lorentzian(4000.0, 12e-6),
    TR=0.028,
    duration=0.012,
    flip_angle=np.deg2rad(10.0),
)
# (f, R1, b1) of a few tissues.
VOXELS = np.array([(0.03, 0.6, 0.9), (0.1, 1.0, 1.0), (0.15, 1.3, 1.15), (0.25, 1.8, 1.05)])


def fit(S_ratio, R1, b1, **options):
    return fit_fraction(S_ratio, R1, *PROTOCOL.values(), b1=b1, **options)


def measured_ratio(f, R1, b1):
    p = PROTOCOL
    return 1.0 - np.array(
        [
            mpf.model(
                fi,
                1.0,
                r,
                p["T2_free"],
                p["delta_omega"],
                p["omega_1_rms"] * b,
                p["G"],
                p["TR"],
                p["duration"],
                p["flip_angle"] * b,
            )
            for fi, r, b in zip(f, R1, b1)
        ]
    )


@pytest.mark.parametrize("moved", ["S_ratio", "R1", "b1"])
def test_derivatives_match_differences_of_fit_fraction(moved):
    f, R1, b1 = VOXELS.T
    inputs = {"S_ratio": measured_ratio(f, R1, b1), "R1": R1, "b1": b1}
    _, status, derivatives = fit(**inputs, return_status=True, return_derivatives=True)
    assert np.all(status == STATUS_SOLVED)
    # Steps of 1e-3 relative move f by hundreds of its single-precision units.
    h = 1e-3 * inputs[moved]
    up, down = dict(inputs), dict(inputs)
    up[moved], down[moved] = inputs[moved] + h, inputs[moved] - h
    difference = (fit(**up) - fit(**down)) / (2 * h)
    np.testing.assert_allclose(getattr(derivatives, moved), difference, rtol=2e-3)


def test_no_derivatives_without_a_solution():
    # Above the no-bound-pool ratio: clipped to 0, but not a solution.
    f, status, derivatives = fit(
        np.array([1.2, 0.6]), 1.0, 1.0, clip=True, return_status=True, return_derivatives=True
    )
    assert f[0] == 0.0 and status[0] != STATUS_SOLVED
    assert all(np.isnan(d[0]) and np.isfinite(d[1]) for d in derivatives)


def test_ratio_path_sd_matches_monte_carlo():
    rng = np.random.default_rng(16)
    f, R1, b1 = VOXELS.T
    S_ref = np.full(f.shape, 100.0)
    S_mt = S_ref * measured_ratio(f, R1, b1)
    sigma_mt, sigma_ref = 1.0, 1.5
    _, derivatives = fit(S_mt / S_ref, R1, b1, return_derivatives=True)
    predicted = ratio_uncertainty(derivatives, S_mt, S_ref, R1, sigma_mt, sigma_ref, b1=b1)
    draws = 600
    noisy_mt = S_mt + rng.normal(0.0, sigma_mt, (draws, f.size))
    noisy_ref = S_ref + rng.normal(0.0, sigma_ref, (draws, f.size))
    sd = np.std(fit(noisy_mt / noisy_ref, R1, b1, bracket=(0.0, 0.9)), axis=0)
    # 600 draws: the sample sd is within about 3% (one sd of its own) of the truth.
    np.testing.assert_allclose(predicted.sd, sd, rtol=0.12)
    # Sensitivities: f's change for R1 and b1 1% too high, against refits.
    np.testing.assert_allclose(
        predicted.r1_sensitivity, fit(S_mt / S_ref, R1 * 1.01, b1) - f, rtol=0.05, atol=2e-6
    )
    np.testing.assert_allclose(
        predicted.b1_sensitivity, fit(S_mt / S_ref, R1, b1 * 1.01) - f, rtol=0.05, atol=2e-6
    )


def test_three_scan_sd_and_b1_sensitivity_match_monte_carlo_and_refits():
    relaxometry = pytest.importorskip("tavni.mt_map.relaxometry")
    rng = np.random.default_rng(17)
    f, R1, b1 = VOXELS.T
    M0 = np.array([900.0, 700.0, 650.0, 600.0])
    # PD- and T1-weighted scans of differing TRs, then the MT-weighted one.
    flips, TRs = (np.deg2rad(5.0), np.deg2rad(20.0), PROTOCOL["flip_angle"]), (0.025, 0.018, 0.028)
    S_pd, S_t1, S_ref = (relaxometry.spgr_signal(M0, R1, a, TR, b1=b1) for a, TR in zip(flips, TRs))
    images = (S_pd, S_t1, S_ref * measured_ratio(f, R1, b1))
    sigmas = (2.0, 1.0, 0.5)

    def chain(pdw, t1w, mtw, b1=b1, **options):
        R1_fit, M0_fit = relaxometry.fit_r1([pdw, t1w], flips[:2], TRs[:2], b1=b1)
        ref = relaxometry.synthetic_reference(M0_fit, R1_fit, flips[2], TRs[2], b1=b1)
        return fit(mtw / ref, R1_fit, b1, bracket=(0.0, 0.9), **options), ref, R1_fit

    (_, derivatives), ref, R1_fit = chain(*images, return_derivatives=True)
    predicted = three_scan_uncertainty(derivatives, *images, ref, R1_fit, flips, TRs, sigmas, b1=b1)
    draws = 600
    noisy = [
        image + rng.normal(0.0, sigma, (draws, f.size)) for image, sigma in zip(images, sigmas)
    ]
    np.testing.assert_allclose(predicted.sd, np.std(chain(*noisy)[0], axis=0), rtol=0.12)
    # b1 enters the R1 fit, the reference and the model: the refit with it.
    np.testing.assert_allclose(
        predicted.b1_sensitivity, chain(*images, b1=b1 * 1.01)[0] - f, rtol=0.05, atol=2e-6
    )


@pytest.mark.parametrize("magnitude, head_given", [(True, False), (True, True), (False, False)])
def test_noise_from_the_background(magnitude, head_given):
    rng = np.random.default_rng(3)
    sigma = 2.0
    truth = np.zeros((40, 40, 12))
    truth[8:32, 6:34, 2:10] = 300.0  # the head
    noisy = truth + rng.normal(0.0, sigma, truth.shape)
    if magnitude:  # Rician, Rayleigh outside
        noisy = np.hypot(noisy, rng.normal(0.0, sigma, truth.shape))
    noisy[:, :, 0] = 0.0  # a zero-filled slice
    head = truth > 0 if head_given else None
    assert noise_sd_from_background(noisy, head=head) == pytest.approx(sigma, rel=0.03)
    with pytest.raises(NoiseEstimateError, match="background voxels"):
        noise_sd_from_background(noisy, background=np.zeros(noisy.shape, dtype=bool))


@pytest.mark.parametrize("head_given", [False, True])
def test_noise_levels_streamed_from_files_as_read_whole(tmp_path, monkeypatch, head_given):
    import nibabel as nib

    from tavni.mt_map.io import streaming, volumes
    from tavni.mt_map.workflows.noise import noise_levels_of

    # Runs of a few planes, not the whole volume in one.
    monkeypatch.setattr(streaming, "RUN_VOXELS", 2048)

    rng = np.random.default_rng(5)
    truth = np.zeros((30, 28, 40))
    truth[6:24, 5:23, 8:32] = 300.0
    images, probes = {}, {}
    for name, sigma in (("a", 2.0), ("b", 3.0)):
        image = np.hypot(
            truth + rng.normal(0, sigma, truth.shape), rng.normal(0, sigma, truth.shape)
        )
        images[name] = image.astype(np.float32)
        nib.save(nib.Nifti1Image(images[name], np.eye(4)), tmp_path / f"{name}.nii.gz")
        probes[name] = volumes.probe(tmp_path / f"{name}.nii.gz")
    mask = None
    if head_given:
        nib.save(nib.Nifti1Image((truth > 0).astype(np.uint8), np.eye(4)), tmp_path / "m.nii.gz")
        mask = volumes.probe(tmp_path / "m.nii.gz")
    sigmas, _ = noise_levels_of(
        {"uncertainty": None}, probes, {"A": "a", "B": "b"}, None, mask, True
    )
    head = truth > 0 if head_given else None
    for label, name in (("A", "a"), ("B", "b")):
        whole = noise_sd_from_background(images[name].astype(np.float64), head=head)
        assert sigmas[label] == pytest.approx(whole, rel=1e-12)


def test_spgr_log_derivatives_against_differences_of_the_signal():
    from tavni.mt_map.relaxometry import spgr_signal
    from tavni.mt_map.uncertainty import spgr_log_derivatives

    R1 = np.array([0.3, 0.9, 1.5, 4.0, np.nan])
    b1 = np.array([0.8, 1.0, 1.2, 0.95, 1.0], dtype=np.float32)
    angle, TR, h = np.deg2rad(21.0), 0.018, 1e-6
    d_R1, d_log_b1 = spgr_log_derivatives(R1, angle, TR, b1=b1, threads=2)
    ln_S = lambda r, b: np.log(spgr_signal(1.0, r, angle, TR, b1=b))  # noqa: E731
    b = b1.astype(np.float64)
    np.testing.assert_allclose(d_R1, (ln_S(R1 + h, b) - ln_S(R1 - h, b)) / (2 * h), rtol=1e-6)
    np.testing.assert_allclose(
        d_log_b1, (ln_S(R1, b * (1 + h)) - ln_S(R1, b * (1 - h))) / (2 * h), rtol=1e-6
    )
    assert np.isnan(d_R1[-1]) and spgr_log_derivatives(R1, angle, TR, b1_term=False)[1] is None
