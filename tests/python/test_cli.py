"""mt-map fraction / phantom / demo, end to end on small volumes."""
import json
import subprocess
import sys

import numpy as np
import pytest

nibabel = pytest.importorskip("nibabel")

import tavni.mt_map as mt_map
from tavni.mt_map import phantom
from tavni.mt_map.cli import main

SHAPE = (10, 9, 4)
AFFINE = np.array([[2.0, 0, 0, -10], [0, 2.5, 0, 5], [0, 0, 3, 1], [0, 0, 0, 1]])


@pytest.fixture(scope="module")
def volumes():
    # The ratio path has no B0 map: a phantom without B0 offsets.
    v = phantom.make(shape=SHAPE, b0_variation=False).volumes
    return dict(mt=v["mtw"], ref=v["ref"], r1=v["truth_r1"], b1=v["b1"], truth=v["truth_f"],
                labels=v["labels"])


def write(directory, volumes, suffix=".nii.gz", names=("mt", "ref", "r1", "b1")):
    paths = {}
    for name in names:
        paths[name] = directory / f"{name}{suffix}"
        if suffix == ".npy":
            np.save(paths[name], volumes[name])
        else:
            nibabel.save(nibabel.Nifti1Image(volumes[name].astype(np.float32), AFFINE),
                         paths[name])
    protocol = directory / "protocol.json"
    protocol.write_text(json.dumps(phantom.PROTOCOL))
    paths["protocol"] = protocol
    return paths


def arguments(paths, output, *extra, b1=True):
    args = ["fraction", "--mt", str(paths["mt"]), "--ref", str(paths["ref"]),
            "--r1", str(paths["r1"]), "--protocol", str(paths["protocol"]), "-o", str(output),
            "--quiet"]
    if b1:
        args += ["--b1", str(paths["b1"])]
    return args + list(extra)


def load(path):
    if str(path).endswith(".npy"):
        return np.load(path), None
    image = nibabel.load(path)
    return np.asanyarray(image.dataobj), image.affine


@pytest.mark.parametrize("suffix", [".nii.gz", ".nii", ".npy"])
def test_fraction_map_recovers_the_phantom(tmp_path, volumes, suffix, capsys):
    paths = write(tmp_path, volumes, suffix)
    output, status_path = tmp_path / f"mpf{suffix}", tmp_path / f"status{suffix}"
    assert main(arguments(paths, output, "--status", str(status_path))) == 0, capsys.readouterr().err
    fraction, affine = load(output)
    status, _ = load(status_path)
    assert fraction.dtype == np.float32 and fraction.shape == SHAPE
    head = volumes["labels"] > 0
    assert np.abs(fraction[head] - volumes["truth"][head]).max() < 1e-5
    assert np.all(status[head] == mt_map.STATUS_SOLVED)
    # Background: no reference signal, no R1.
    assert np.all(np.isnan(fraction[~head]))
    assert np.all(status[~head] == mt_map.STATUS_INVALID_INPUT)
    if suffix != ".npy":
        np.testing.assert_array_equal(affine, AFFINE)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [p.name for p in paths.values()] + [output.name, status_path.name])


def test_b1_map_and_mask_are_used(tmp_path, volumes):
    paths = write(tmp_path, volumes)
    without_b1 = tmp_path / "without_b1.nii.gz"
    assert main(arguments(paths, without_b1, b1=False)) == 0
    head = volumes["labels"] > 0
    error = np.abs(load(without_b1)[0][head] - volumes["truth"][head])
    assert np.nanmax(error) > 1e-3  # the phantom's B1 varies from 0.8 to 1.2

    mask = np.zeros(SHAPE, dtype=np.uint8)
    mask[:, :, 2:] = 1
    nibabel.save(nibabel.Nifti1Image(mask, AFFINE), tmp_path / "mask.nii.gz")
    masked, status_path = tmp_path / "masked.nii.gz", tmp_path / "status.nii.gz"
    assert main(arguments(paths, masked, "--mask", str(tmp_path / "mask.nii.gz"),
                          "--status", str(status_path))) == 0
    fraction, status = load(masked)[0], load(status_path)[0]
    assert np.all(np.isnan(fraction[:, :, :2])) and np.all(status[:, :, :2] == mt_map.STATUS_MASKED)
    inside = head & (mask == 1)
    assert np.abs(fraction[inside] - volumes["truth"][inside]).max() < 1e-5


def test_command_line_beats_protocol(tmp_path, volumes):
    paths = write(tmp_path, volumes)
    wrong = dict(phantom.PROTOCOL, TR=1.0, G=1.0)
    paths["protocol"].write_text(json.dumps(wrong))
    output = tmp_path / "mpf.nii.gz"
    assert main(arguments(paths, output, "--TR", str(phantom.PROTOCOL["TR"]),
                          "--T2b", str(phantom.PROTOCOL["T2b"]))) == 0
    head = volumes["labels"] > 0
    assert np.abs(load(output)[0][head] - volumes["truth"][head]).max() < 1e-5


def unreadable(tmp_path, paths):
    paths["r1"].write_bytes(b"\x1f\x8b not really gzip")


def shrink_ref(tmp_path, paths):
    nibabel.save(nibabel.Nifti1Image(np.ones((10, 9, 3), np.float32), AFFINE), paths["ref"])


def drop_TR(tmp_path, paths):
    protocol = json.loads(paths["protocol"].read_text())
    del protocol["TR"]
    paths["protocol"].write_text(json.dumps(protocol))


def break_json(tmp_path, paths):
    paths["protocol"].write_text("{not json")


@pytest.mark.parametrize("damage, extra, message", [
    (None, ["--mt", "missing.nii.gz"], "MT image 'missing.nii.gz' does not exist"),
    (unreadable, [], "cannot read R1 map"),
    (shrink_ref, [], "reference image has shape (10, 9, 3), the MT image (10, 9, 4)"),
    (None, ["--TR", "0"], "TR must be positive"),
    (None, ["--duration", "-0.01"], "duration must be positive"),
    (drop_TR, [], "missing parameter --TR"),
    (break_json, [], "is not valid JSON"),
    (None, ["--threads", "0"], "--threads must be at least 1"),
])
def test_errors_are_one_line_and_leave_no_output(tmp_path, volumes, damage, extra, message):
    paths = write(tmp_path, volumes)
    if damage is not None:
        damage(tmp_path, paths)
    output = tmp_path / "mpf.nii.gz"
    args = arguments(paths, output, "--status", str(tmp_path / "status.nii.gz"))
    result = subprocess.run([sys.executable, "-m", "tavni.mt_map", *args, *extra],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.startswith("mt-map: error: ") and message in result.stderr
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert not output.exists() and not (tmp_path / "status.nii.gz").exists()
    assert not any(p.name.startswith(".") for p in tmp_path.iterdir())


@pytest.mark.parametrize("anatomy", ["brain", "geometric"])
def test_demo_end_to_end_at_a_coarse_voxel_size(tmp_path, anatomy):
    if anatomy == "brain":
        pytest.importorskip("nilearn")
    result = subprocess.run(
        [sys.executable, "-m", "tavni.mt_map", "demo", "--directory", str(tmp_path / "demo"),
         "--voxel-size", "6", "--anatomy", anatomy, "--quiet"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    rows = {tissue.name: line.split()[-7:] for tissue in phantom.TISSUES
            for line in lines if line.startswith(tissue.name)}
    for name, tolerance in [("white matter", 0.005), ("grey matter", 0.005)]:
        count, true_f, estimated_f = (float(value) for value in rows[name][:3])
        assert count > 0 and estimated_f == pytest.approx(true_f, abs=tolerance)
    figure = tmp_path / "demo" / "demo.png"
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The names the chain and the BIDS dataset writer rely on.
    for stem in ("pdw", "t1w", "mtw", "b1", "b0", "truth_f", "truth_r1", "truth_m0"):
        assert (tmp_path / "demo" / f"{stem}.nii.gz").is_file()
    protocol = json.loads((tmp_path / "demo" / "protocol.json").read_text())
    assert {"pdw_flip_angle_deg", "pdw_TR", "t1w_flip_angle_deg", "t1w_TR"} <= set(protocol)


def test_chunked_fitting_matches_one_piece(volumes, monkeypatch):
    from tavni.mt_map import cli

    ratio = np.where(volumes["ref"] > 0, volumes["mt"] / np.where(volumes["ref"] > 0, volumes["ref"], 1), np.nan)
    R1 = np.where(volumes["r1"] > 0, volumes["r1"], np.nan)
    parameters = dict(delta_omega=4000.0, omega_1_rms=1500.0, duration=0.012, TR=0.028,
                      flip_angle=np.deg2rad(10.0), T2_free=0.04, G=1.4e-5)
    whole = cli.fit_volume(ratio, R1, parameters, volumes["b1"])
    monkeypatch.setattr(cli, "CHUNK_VOXELS", 37)  # uneven pieces, last one short
    pieces = cli.fit_volume(ratio, R1, parameters, volumes["b1"], quiet=True)
    np.testing.assert_array_equal(pieces[0], whole[0])
    np.testing.assert_array_equal(pieces[1], whole[1])
