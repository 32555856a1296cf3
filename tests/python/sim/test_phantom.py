"""The phantom: tissue maps, their mixture, fields, Rician noise, exact scans."""

import json
import math
from dataclasses import replace

import numpy as np
import pytest

from tavni.mt_map import workflows
from tavni.mt_map.sim import acquisition, anatomy, fields, phantom, scans, tissues

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
        ((1, 0, 0), (0.13, 1.2, 0.69, 20.0)),
        ((0, 0, 1), (0.0, 0.25, 1.0, 2.0)),
        ((0.5, 0.5, 0), ((0.13 + 0.065) / 2, (1.2 + 0.7) / 2, (0.69 + 0.8) / 2, 17.5)),
        ((0.25, 0, 0.25), (0.065, (1.2 + 0.25) / 2, (0.69 + 1.0) / 4, 11.0)),  # half background
        ((0, 0, 0), (0.0, 0.0, 0.0, 0.0)),
    ],
)
def test_tissue_values_mix_by_probability(probabilities, expected):
    probabilities = np.array(probabilities, dtype=np.float32)[:, None]
    f, R1, M0 = tissues.tissue_parameters(probabilities)
    R2star = tissues.r2star(probabilities)
    np.testing.assert_allclose([f[0], R1[0], M0[0], R2star[0]], expected, rtol=1e-6)


@pytest.mark.parametrize(
    "options",
    [
        dict(echoes=3, snr=None),
        dict(echoes=(8, 8, 6), head=True, scale=(1.0, 2.0, 0.5), snr=None),
        dict(echoes=2, motion=(4.0, 2.0), auto_align=True, snr=None),
        dict(echoes=(2, 3, 4), snr=40.0),
    ],
)
def test_echoes_decay_with_the_tissue_r2star(tmp_path, options):
    nibabel = pytest.importorskip("nibabel")
    head = phantom.make(shape=(16, 18, 10), **options)
    single = phantom.make(shape=(16, 18, 10), **dict(options, echoes=None))
    assert head.noise_sigma == single.noise_sigma  # one SNR, one noise level
    clean = phantom.make(shape=(16, 18, 10), **dict(options, echoes=None, snr=None)).volumes
    paths = phantom.write(tmp_path, head)
    assert set(phantom.files(tmp_path, echoes=options["echoes"])) <= set(paths.values())
    times = json.loads(paths["echoes"].read_text())
    counts = options["echoes"] if isinstance(options["echoes"], tuple) else (options["echoes"],) * 3
    R2star = nibabel.load(paths["truth_r2star"]).get_fdata()
    tissue = single.volumes["truth_m0"] > 0
    for scan, count in zip(("pdw", "t1w", "mtw"), counts):
        np.testing.assert_allclose(times[scan], 0.0023 * np.arange(1, count + 1), rtol=1e-12)
        images = [nibabel.load(paths[phantom.echo_name(scan, k + 1)]) for k in range(count)]
        assert "pdw" not in paths and all(
            np.allclose(image.affine, single.affine_of(scan), atol=1e-5) for image in images
        )
        S = np.stack([image.get_fdata()[tissue] for image in images], axis=-1)
        TE = np.array(times[scan])
        expected = clean[scan][tissue, None] * np.exp(-R2star[tissue, None] * TE)
        if options["snr"] is not None:  # each echo's own noise, of the one sigma
            residual = (S - expected)[expected[:, -1] > 5 * head.noise_sigma]
            assert abs(np.corrcoef(residual[:, 0], residual[:, -1])[0, 1]) < 0.1
            assert 0.9 < residual.std() / head.noise_sigma < 1.1
            continue
        # Back to TE = 0: the single-echo scan, scale and motion included.
        np.testing.assert_allclose(S, expected, rtol=1e-5)
        if count > 1:  # ln S against TE: a line of slope -R2*
            slope = np.polyfit(TE, np.log(S).T, 1)[0]
            np.testing.assert_allclose(-slope, R2star[tissue], rtol=1e-4, atol=1e-3)
    for key, index in (("tissue_wm", 0), ("tissue_gm", 1), ("tissue_csf", 2)):
        pure = single.volumes[key] > 0.99
        assert np.allclose(R2star[pure], tissues.TISSUES[index].R2star)


@pytest.mark.parametrize("nu", [0.0, 0.5, 1.0, 2.0, 4.0])
def test_rician_mean_bias_matches_its_closed_form(nu):
    sigma, n = 1.0, 400_000
    noisy = acquisition.rician(np.full(n, nu), sigma, np.random.default_rng(7))
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
                participant=replace(tissues.TYPICAL, b1_floor=0.7, b1_centre_value=1.3),
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
        options=workflows.MapOptions(quiet=True),
    )
    f, R1 = (nibabel.load(outputs[k]).get_fdata()[tissue] for k in ("fraction", "r1"))
    assert np.abs(f - v["truth_f"][tissue]).max() < 1e-5
    np.testing.assert_allclose(R1, v["truth_r1"][tissue], rtol=1e-5)


def test_participants_differ_slightly_and_reproducibly():
    first, again, second = tissues.vary(0, seed=3), tissues.vary(0, seed=3), tissues.vary(1, seed=3)
    assert first == again and first != second
    for tissue, typical in zip(second.tissues, tissues.TISSUES):
        assert tissue.R1 == pytest.approx(typical.R1, rel=0.15) and tissue.R1 != typical.R1
    heads = [phantom.make(shape=(12, 14, 6), participant=p).volumes for p in (first, second)]
    assert 0 < np.abs(heads[0]["b1"] - heads[1]["b1"]).max() < 0.2


def test_without_nilearn_the_geometric_head_stands_in_and_says_so(monkeypatch):
    monkeypatch.setattr(anatomy, "brain_available", lambda: False)
    head = phantom.make(8.0)
    assert head.description.startswith("geometric") and "nilearn" in head.notes[0]


def world_centre(image, affine):
    """The image's centre of mass, world mm."""
    x, y, z = anatomy.world_coordinates(affine, image.shape)
    return np.array([(image * c).sum() / image.sum() for c in (x, y, z)])


@pytest.mark.parametrize("anatomy_name", ["geometric", "brain"])
def test_the_head_shell_is_dark_bone_and_bright_scalp_outside_the_brain_mask(anatomy_name):
    if anatomy_name == "brain":
        pytest.importorskip("nilearn")
    plain = phantom.make(4.0, anatomy=anatomy_name).volumes
    v = phantom.make(4.0, anatomy=anatomy_name, head=True).volumes
    white = v["tissue_wm"] > 0.9
    for key, low, high in (("skull", 0.0, 0.15), ("scalp", 1.5, 4.0)):
        shell = v[f"tissue_{key}"] > 0.5
        assert not (v["brain_mask"].astype(bool) & shell).any() and v["mask"][shell].all()
        shell = v[f"tissue_{key}"] > 0.9
        assert shell.sum() > 50
        ratio = v["t1w"][shell].mean() / v["t1w"][white].mean()
        assert low < ratio < high, (key, ratio)
    # The brain itself is the one without a head: same voxels of brain tissue.
    assert v["brain_mask"].sum() == plain["mask"].sum()
    assert set(np.unique(v["labels"])) == {0, 1, 2, 3, 4, 5}
    # Pure bone gives 2-5 % of white matter's signal in the VFA scans.
    from tavni.mt_map.relaxometry import spgr_signal

    values = scans.model_values(scans.PROTOCOL)
    for flip in ("pdw_flip_angle", "t1w_flip_angle"):
        wm, bone = (
            spgr_signal(t.M0, t.R1, values[flip], values["pdw_TR"])
            for t in (tissues.TISSUES[0], tissues.SHELL_TISSUES[0])
        )
        assert 0.02 < bone / wm < 0.05


@pytest.mark.parametrize("auto_align", [False, True])
def test_motion_moves_the_head_by_the_transform_written_down(tmp_path, auto_align):
    nibabel = pytest.importorskip("nibabel")
    still = phantom.make(shape=(24, 24, 12), head=True)
    head = phantom.make(shape=(24, 24, 12), head=True, motion=(6.0, 4.0), auto_align=auto_align)
    paths = phantom.write(tmp_path, head)
    written = json.loads(paths["motion"].read_text())
    assert written["pdw"]["rotation_deg"] == 6.0 and written["t1w"]["rotation_deg"] == -6.0
    for scan in ("pdw", "t1w"):
        matrix = np.array(written[scan]["matrix"])
        assert np.linalg.norm(
            matrix[:3, :3] @ written[scan]["centre_mm"] + matrix[:3, 3] - written[scan]["centre_mm"]
        ) == pytest.approx(4.0)
        image = nibabel.load(paths[scan])
        data = np.asarray(image.dataobj, dtype=np.float64)
        if auto_align:  # the unmoved head under the moved affine
            np.testing.assert_allclose(image.affine, matrix @ still.affine, atol=1e-5)
            np.testing.assert_array_equal(data, still.volumes[scan].astype(np.float32))
        else:
            np.testing.assert_allclose(image.affine, still.affine, atol=1e-5)
        # The head's signal sits where the motion takes it, in world mm.
        moved = matrix @ np.append(world_centre(still.volumes[scan], still.affine), 1.0)
        assert np.abs(world_centre(data, image.affine) - moved[:3]).max() < 0.02
    for name in ("mtw", "truth_f", "b1"):
        np.testing.assert_array_equal(head.volumes[name], still.volumes[name])


def b1_from_files(kind, images, sidecars):
    """Relative B1 by the B1 sequences' own formulas, from their images."""
    if kind == "dam":
        alpha = math.radians(sidecars["b1_dam_flip1"]["FlipAngle"])
        return np.arccos(images["b1_dam_flip2"] / (2 * images["b1_dam_flip1"])) / alpha
    if kind == "afi":
        first, second = sidecars["b1_afi_tr1"], sidecars["b1_afi_tr2"]
        r = images["b1_afi_tr2"] / images["b1_afi_tr1"]
        n = second["RepetitionTimeExcitation"] / first["RepetitionTimeExcitation"]
        return np.arccos((r * n - 1) / (n - r)) / math.radians(first["FlipAngle"])
    return images["b1_tfl_famp"] / (10 * sidecars["b1_tfl_famp"]["FlipAngle"])


@pytest.mark.parametrize(
    "kind, tolerance", [("map", 0), ("dam", 1e-5), ("afi", 0.01), ("tfl", 1e-3)]
)
def test_b1_on_its_own_grid_and_its_scans_invert_to_the_field(tmp_path, kind, tolerance):
    nibabel = pytest.importorskip("nibabel")
    head = phantom.make(shape=(20, 22, 10), b1_voxel_size=7.0, b1_scans=kind)
    paths = phantom.write(tmp_path, head)
    b1 = nibabel.load(paths["b1"])
    scan = nibabel.load(paths["pdw"])
    assert b1.shape != scan.shape and not np.allclose(b1.affine[:3, :3], scan.affine[:3, :3])
    assert np.allclose(np.abs(b1.affine[:3, :3]).sum(axis=0), 7.0)
    x, y, z = anatomy.world_coordinates(b1.affine, b1.shape)
    np.testing.assert_allclose(b1.get_fdata(), fields.transmit_field(x, y, z), rtol=1e-6)
    # The B1 grid holds every scan voxel.
    corners = np.array(np.meshgrid(*[(0, n - 1) for n in scan.shape], indexing="ij"))
    inside = nibabel.affines.apply_affine(
        np.linalg.inv(b1.affine) @ scan.affine, corners.reshape(3, -1).T
    )
    assert (inside >= 0).all() and (inside <= np.array(b1.shape) - 1).all()
    if kind == "map":
        return
    sidecars = json.loads(paths["b1_scans"].read_text())
    images = {}
    for stem in sidecars:
        image = nibabel.load(paths[stem])
        np.testing.assert_array_equal(image.affine, b1.affine)
        images[stem] = np.asarray(image.dataobj, dtype=np.float64)
    first = images[next(iter(sidecars))]
    tissue = first > 0.2 * first.max()
    with np.errstate(invalid="ignore", divide="ignore"):
        estimate = b1_from_files(kind, images, sidecars)[tissue]
    np.testing.assert_allclose(estimate, b1.get_fdata()[tissue], rtol=tolerance, atol=1e-6)
