"""The brain mask computed from a scan: against the phantom's own brain, with
and without a scalp beyond a dark skull, and the images that hold no brain.
"""

import numpy as np
import pytest
from scipy import ndimage

from tavni.mt_map.preprocess.mask import brain_mask, write_brain_mask
from tavni.mt_map.sim import acquisition, anatomy, phantom


def with_head(head, voxel_mm, rng):
    """The phantom's MT-weighted scan inside a dark 5 mm skull and a bright
    5 mm scalp (1.3 times the brain's median), in a grid padded to hold them.
    """
    truth = sum(head.volumes[f"tissue_{k}"] for k in anatomy.TISSUE_KEYS) > 0.5
    pad = int(np.ceil(12 / voxel_mm))
    scan, truth = np.pad(head.volumes["mtw"], pad), np.pad(truth, pad)
    distance = ndimage.distance_transform_edt(~truth, sampling=voxel_mm)
    bright = 1.3 * np.median(scan[truth])
    shell = np.where(distance <= 5, 0.03 * bright, np.where(distance <= 10, bright, 0.0))
    return np.where(truth, scan, acquisition.rician(shell, head.noise_sigma, rng)), truth


@pytest.mark.parametrize("scalp", [False, True], ids=["brain alone", "scalp and skull"])
@pytest.mark.parametrize(
    "options",
    [dict(shape=(40, 48, 40)), dict(anatomy="brain")],
    ids=["geometric", "brain"],
)
def test_agrees_with_the_phantom(options, scalp):
    if options.get("anatomy") == "brain" and not anatomy.brain_available():
        pytest.skip("the brain needs nilearn")
    head = phantom.make(2.0, snr=100, **options)
    truth = sum(head.volumes[f"tissue_{k}"] for k in anatomy.TISSUE_KEYS) > 0.5
    scan = head.volumes["mtw"]
    if scalp:
        scan, truth = with_head(head, 2.0, np.random.default_rng(1))
    mask = brain_mask(scan, 2.0)
    dice = 2 * (mask & truth).sum() / (mask.sum() + truth.sum())
    assert dice >= 0.95, dice


def test_voxel_shape_and_non_finite_values():
    # Thick slices along one axis (sizes in mm, not voxels) and NaN in the
    # background give the brain of isotropic voxels, resliced.
    head = phantom.make(2.0, snr=100, shape=(40, 48, 40))
    scan = head.volumes["mtw"].copy()
    scan[scan < 0.5 * np.median(scan)] = np.nan
    reference = brain_mask(scan, 2.0)
    thick = brain_mask(scan[:, :, ::2], (2.0, 2.0, 4.0))
    assert thick.shape == (40, 48, 20)
    assert (thick != reference[:, :, ::2]).mean() < 0.02


@pytest.mark.parametrize(
    "image, voxel, message",
    [
        (np.zeros((20, 20, 20)), 2.0, "the image is blank"),
        (np.full((20, 20, 20), np.inf), 2.0, "the image is blank"),
        (
            acquisition.rician(np.zeros((60, 60, 60)), 1.0, np.random.default_rng(0)),
            2.0,
            "times as bright as the background",
        ),
        (
            acquisition.rician(np.pad(np.full((4, 4, 4), 50.0), 10), 1.0, np.random.default_rng(0)),
            2.0,
            "nothing is 8 mm thick",
        ),
        (np.ones((20, 20)), 2.0, "needs a 3-D image"),
        (np.ones((4, 4, 4)), (2.0, 0.0, 2.0), "positive and finite"),
    ],
    ids=["zeros", "infinite", "noise", "speck", "2-D", "voxel size"],
)
def test_no_brain_is_one_clear_line(image, voxel, message):
    with pytest.raises(ValueError, match=message) as raised:
        brain_mask(image, voxel)
    assert "\n" not in str(raised.value)


@pytest.fixture(scope="module")
def head_scans(tmp_path_factory):
    from tavni.mt_map.cli import main

    folder = tmp_path_factory.mktemp("head")
    shape = ["--shape", "40", "48", "40", "--anatomy", "geometric", "--head", "--quiet"]
    assert main(["phantom", str(folder), *shape]) == 0
    return folder


def _fraction(folder, out, *extra):
    from tavni.mt_map.cli import main

    scans = [f"--{n}={folder / n}.nii.gz" for n in ("pdw", "t1w", "mtw", "b1")]
    return main(
        ["fraction", *scans, f"--protocol={folder / 'protocol.json'}", "--quiet"]
        + [f"--output={out / 'f.nii.gz'}", f"--status={out / 's.nii.gz'}", *map(str, extra)]
    )


@pytest.mark.parametrize(
    "extra, message",
    [
        (("--mask", "{folder}/labels.nii.gz"), "give --mask or --brain-mask-out, not both"),
        (("--brain-mask-out", "{folder}/mtw.nii.gz"), "is the same file as the --mtw image"),
        (("--brain-mask-out", "{out}/f.nii.gz"), "is the same file as the fraction output"),
        (("--b0", "{out}/missing.nii.gz"), "missing.nii.gz"),
    ],
    ids=["with --mask", "onto a scan", "onto a map", "the chain fails"],
)
def test_fraction_computes_the_mask_or_leaves_nothing(head_scans, tmp_path, capsys, extra, message):
    import nibabel

    # An uncompressed target stays uncompressed.
    assert _fraction(head_scans, tmp_path, "--brain-mask-out", tmp_path / "brain.nii") == 0
    mtw = nibabel.load(head_scans / "mtw.nii.gz")
    assert (tmp_path / "brain.nii").read_bytes()[344:348] == b"n+1\0"
    written = np.asanyarray(nibabel.load(tmp_path / "brain.nii").dataobj)
    np.testing.assert_array_equal(written, brain_mask(mtw.get_fdata(), mtw.header.get_zooms()))
    fraction = np.asanyarray(nibabel.load(tmp_path / "f.nii.gz").dataobj)
    assert np.isnan(fraction[written == 0]).all() and np.isfinite(fraction[written == 1]).any()

    (tmp_path / "again").mkdir()
    before = (head_scans / "mtw.nii.gz").read_bytes()
    args = [a.format(folder=head_scans, out=tmp_path / "again") for a in extra]
    if extra[0] != "--brain-mask-out":
        args += ["--brain-mask-out", tmp_path / "again" / "brain.nii.gz"]
    assert _fraction(head_scans, tmp_path / "again", *args) == 1
    assert message in capsys.readouterr().err
    assert (head_scans / "mtw.nii.gz").read_bytes() == before
    assert list((tmp_path / "again").iterdir()) == []


def test_a_multi_echo_scan_is_masked_on_its_first_echo(head_scans, tmp_path):
    import nibabel

    mtw = nibabel.load(head_scans / "mtw.nii.gz")
    first = mtw.get_fdata()
    echoes = np.stack([first, 0.5 * first, 0.2 * first], axis=-1)
    nibabel.save(nibabel.Nifti1Image(echoes, mtw.affine), tmp_path / "mtw.nii.gz")
    mask = write_brain_mask(tmp_path / "mtw.nii.gz", tmp_path / "brain.nii.gz")
    np.testing.assert_array_equal(mask, brain_mask(first, mtw.header.get_zooms()))
    written = np.asanyarray(nibabel.load(tmp_path / "brain.nii.gz").dataobj)
    np.testing.assert_array_equal(written, mask)  # 3-D, on the scan's grid
