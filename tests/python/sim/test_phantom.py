"""The phantom: tissue maps, their mixture, fields, Rician noise, exact scans."""

import math
from dataclasses import replace

import numpy as np
import pytest

from tavni.mt_map import workflows
from tavni.mt_map.sim import anatomy, phantom

special = pytest.importorskip("scipy.special")


@pytest.fixture(scope="module")
def brain_1mm():
    pytest.importorskip("nilearn")
    return anatomy.brain(1.0)


def centre_of_mass(maps):
    """Each tissue's volume (mm^3) and centre of mass in world mm."""
    size = abs(np.linalg.det(maps.affine[:3, :3]))
    x, y, z = anatomy.world_coordinates(maps.affine, maps.probabilities.shape[1:])
    volume = maps.probabilities.sum(axis=(1, 2, 3), dtype=np.float64)
    return volume * size, [
        [(p * c).sum() / p.sum() for c in (x, y, z)] for p in maps.probabilities.astype(np.float64)
    ]


@pytest.mark.parametrize("voxel_size", [2.5, 7.0])
def test_brain_maps_are_probabilities_that_keep_volume_and_place(brain_1mm, voxel_size):
    coarse = anatomy.brain(voxel_size)
    for maps in (brain_1mm, coarse):
        assert maps.probabilities.min() >= 0 and maps.probabilities.sum(axis=0).max() <= 1 + 1e-6
    # Averaging keeps every tissue's volume and its position in the head.
    for fine, averaged in zip(centre_of_mass(brain_1mm), centre_of_mass(coarse)):
        np.testing.assert_allclose(averaged, fine, rtol=1e-5, atol=0.1)  # mm


@pytest.mark.parametrize(
    "probabilities, expected",
    [
        ((1, 0, 0), (0.13, 1.2, 0.69)),
        ((0, 0, 1), (0.0, 0.25, 1.0)),
        ((0.5, 0.5, 0), ((0.13 + 0.065) / 2, (1.2 + 0.7) / 2, (0.69 + 0.8) / 2)),
        ((0.25, 0, 0.25), (0.065, (1.2 + 0.25) / 2, (0.69 + 1.0) / 4)),  # half background
        ((0, 0, 0), (0.0, 0.0, 0.0)),
    ],
)
def test_tissue_values_mix_by_probability(probabilities, expected):
    f, R1, M0 = phantom.tissue_parameters(np.array(probabilities, dtype=np.float32)[:, None])
    np.testing.assert_allclose([f[0], R1[0], M0[0]], expected, rtol=1e-6)


@pytest.mark.parametrize("nu", [0.0, 0.5, 1.0, 2.0, 4.0])
def test_rician_mean_bias_matches_its_closed_form(nu):
    sigma, n = 1.0, 400_000
    noisy = phantom.rician(np.full(n, nu), sigma, np.random.default_rng(7))
    # E|S + noise| = sigma sqrt(pi/2) L_1/2(-nu^2 / (2 sigma^2)), with
    # L_1/2(x) = exp(x/2) ((1 - x) I0(-x/2) - x I1(-x/2)); ive(k, v) = Ik(v) exp(-v).
    x = -(nu**2) / (2 * sigma**2)
    laguerre = (1 - x) * special.ive(0, -x / 2) - x * special.ive(1, -x / 2)
    expected = sigma * math.sqrt(math.pi / 2) * laguerre
    assert abs(noisy.mean() - expected) < 4 * noisy.std() / math.sqrt(n)
    assert expected > nu  # the bias that Gaussian noise on the magnitude would miss


@pytest.mark.parametrize(
    "options, b1_range",
    [
        (dict(shape=(18, 20, 9)), (0.8, 1.2)),
        (dict(voxel_size=8.0, anatomy="brain"), (0.8, 1.2)),
        (
            dict(
                shape=(18, 20, 9),
                participant=replace(phantom.TYPICAL, b1_floor=0.7, b1_centre_value=1.3),
            ),
            (0.7, 1.3),
        ),
    ],
)
def test_the_chain_inverts_the_noiseless_scans(tmp_path, options, b1_range):
    if options.get("anatomy") == "brain":
        pytest.importorskip("nilearn")
    nibabel = pytest.importorskip("nibabel")
    head = phantom.make(**options)
    v = head.volumes
    tissue = v["truth_m0"] > 0
    b1, (low, high) = v["b1"][tissue], b1_range
    assert low - 0.01 < b1.min() < low + 0.1 and high - 0.03 < b1.max() <= high
    assert 10 < v["b0"][tissue].max() < 100  # Hz
    paths = phantom.write(tmp_path, head)
    outputs = {"fraction": tmp_path / "f.nii.gz", "r1": tmp_path / "r1.nii.gz"}
    workflows.fraction_from_scans(
        paths["pdw"],
        paths["t1w"],
        paths["mtw"],
        head.protocol,
        outputs,
        b1=paths["b1"],
        b0=paths["b0"],
        quiet=True,
    )
    f, R1 = (nibabel.load(outputs[k]).get_fdata()[tissue] for k in ("fraction", "r1"))
    assert np.abs(f - v["truth_f"][tissue]).max() < 1e-5
    np.testing.assert_allclose(R1, v["truth_r1"][tissue], rtol=1e-5)


def test_participants_differ_slightly_and_reproducibly():
    first, again, second = phantom.vary(0, seed=3), phantom.vary(0, seed=3), phantom.vary(1, seed=3)
    assert first == again and first != second
    for tissue, typical in zip(second.tissues, phantom.TISSUES):
        assert tissue.R1 == pytest.approx(typical.R1, rel=0.15) and tissue.R1 != typical.R1
    heads = [phantom.make(shape=(12, 14, 6), participant=p).volumes for p in (first, second)]
    assert 0 < np.abs(heads[0]["b1"] - heads[1]["b1"]).max() < 0.2


def test_without_nilearn_the_geometric_head_stands_in_and_says_so(monkeypatch):
    monkeypatch.setattr(anatomy, "brain_available", lambda: False)
    head = phantom.make(8.0)
    assert head.description.startswith("geometric") and "nilearn" in head.notes[0]
