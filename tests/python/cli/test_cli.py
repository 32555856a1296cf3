"""mt-map fraction / phantom / demo, end to end on small volumes."""

import argparse
import errno
import json
import os
import subprocess
import sys
import time

import nibabel
import numpy as np
import pytest

import tavni.mt_map as mt_map
from tavni.mt_map.cli import main
from tavni.mt_map.sim import phantom, scans, tissues

SHAPE = (10, 9, 4)
AFFINE = np.array([[2.0, 0, 0, -10], [0, 2.5, 0, 5], [0, 0, 3, 1], [0, 0, 0, 1]])


@pytest.fixture(scope="module")
def volumes():
    # The ratio path has no B0 map: a phantom without B0 offsets.
    v = phantom.make(shape=SHAPE, b0_variation=False).volumes
    return dict(
        mt=v["mtw"],
        ref=v["ref"],
        r1=v["truth_r1"],
        b1=v["b1"],
        truth=v["truth_f"],
        labels=v["labels"],
    )


# The phantom's protocol as the ratio path reads it.
PROTOCOL = {k: v for k, v in scans.PROTOCOL.items() if k in mt_map.protocol.PROTOCOL_KEYS}


def write(directory, volumes, suffix=".nii.gz", names=("mt", "ref", "r1", "b1")):
    paths = {}
    for name in names:
        paths[name] = directory / f"{name}{suffix}"
        if suffix == ".npy":
            np.save(paths[name], volumes[name])
        else:
            nibabel.save(nibabel.Nifti1Image(volumes[name].astype(np.float32), AFFINE), paths[name])
    protocol = directory / "protocol.json"
    protocol.write_text(json.dumps(PROTOCOL))
    paths["protocol"] = protocol
    return paths


def arguments(paths, output, *extra, b1=True):
    args = [
        "fraction",
        "--mt",
        str(paths["mt"]),
        "--ref",
        str(paths["ref"]),
        "--r1",
        str(paths["r1"]),
        "--protocol",
        str(paths["protocol"]),
        "-o",
        str(output),
        "--quiet",
    ]
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
    assert main(arguments(paths, output, "--status", str(status_path))) == 0, (
        capsys.readouterr().err
    )
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
        [p.name for p in paths.values()] + [output.name, status_path.name]
    )
    # Run again, the same bytes: nothing of the temporary file or the time in them.
    again = tmp_path / "again"
    again.mkdir()
    assert (
        main(arguments(paths, again / output.name, "--status", str(again / status_path.name))) == 0
    )
    for path in (output, status_path):
        assert (again / path.name).read_bytes() == path.read_bytes()


def test_uncertainty_and_sensitivity_maps(tmp_path, volumes):
    paths = write(tmp_path, volumes)
    sd_path, prefix = tmp_path / "sd.nii.gz", tmp_path / "sensitivity"
    assert (
        main(
            arguments(
                paths,
                tmp_path / "mpf.nii.gz",
                "--uncertainty-out",
                str(sd_path),
                "--sensitivity-out",
                str(prefix),
                "--noise-sd",
                "0.001",
                "0.002",
            )
        )
        == 0
    )
    head = volumes["labels"] > 0
    sd = load(sd_path)[0]
    assert np.all(sd[head] > 0) and np.all(np.isnan(sd[~head]))
    # A B1 map 1% off moves f as the sensitivity map says (to first order:
    # half the difference between 1% too high and 1% too low).
    moved = []
    for scale in (1.01, 0.99):
        write(tmp_path, dict(volumes, b1=volumes["b1"] * scale), names=("b1",))
        assert main(arguments(paths, tmp_path / f"mpf_{scale}.nii.gz", "--clip")) == 0
        moved.append(load(tmp_path / f"mpf_{scale}.nii.gz")[0])
    tissue = volumes["truth"] > 0
    np.testing.assert_allclose(
        load(tmp_path / "sensitivity_B1.nii.gz")[0][tissue],
        (moved[0] - moved[1])[tissue] / 2,
        rtol=0.01,
        atol=1e-6,
    )


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
    assert (
        main(
            arguments(
                paths, masked, "--mask", str(tmp_path / "mask.nii.gz"), "--status", str(status_path)
            )
        )
        == 0
    )
    fraction, status = load(masked)[0], load(status_path)[0]
    assert np.all(np.isnan(fraction[:, :, :2])) and np.all(status[:, :, :2] == mt_map.STATUS_MASKED)
    inside = head & (mask == 1)
    assert np.abs(fraction[inside] - volumes["truth"][inside]).max() < 1e-5


def test_command_line_beats_protocol(tmp_path, volumes):
    paths = write(tmp_path, volumes)
    wrong = dict(PROTOCOL, TR=1.0, G=1.0)
    del wrong["T2b"]
    paths["protocol"].write_text(json.dumps(wrong))
    output = tmp_path / "mpf.nii.gz"
    assert (
        main(arguments(paths, output, "--TR", str(PROTOCOL["TR"]), "--T2b", str(PROTOCOL["T2b"])))
        == 0
    )
    head = volumes["labels"] > 0
    assert np.abs(load(output)[0][head] - volumes["truth"][head]).max() < 1e-5


def unreadable(paths, monkeypatch):
    paths["r1"].write_bytes(b"\x1f\x8b not really gzip")


def b1_in_percent(paths, monkeypatch):
    image = nibabel.load(paths["b1"])
    nibabel.save(nibabel.Nifti1Image(100 * image.get_fdata(), image.affine), paths["b1"])


def move_away(name):
    """An image placed a metre from the others in the scanner."""

    def move(paths, monkeypatch):
        image = nibabel.load(paths[name])
        affine = AFFINE.copy()
        affine[:3, 3] += 1000.0
        nibabel.save(nibabel.Nifti1Image(image.get_fdata(), affine), paths[name])

    return move


def truncate_mt(paths, monkeypatch):
    # A whole header, then the data stream breaks off.
    data = paths["mt"].read_bytes()
    paths["mt"].write_bytes(data[: len(data) // 2])


def protocol_text(text):
    def damage(paths, monkeypatch):
        paths["protocol"].write_text(text)

    return damage


def protocol_with(**changes):
    protocol = {k: v for k, v in PROTOCOL.items() if k not in changes or changes[k]}
    protocol.update((k, v) for k, v in changes.items() if v is not None)
    return protocol_text(json.dumps(protocol))


def hard_link_output(paths, monkeypatch):
    os.link(paths["mt"], paths["mt"].parent / "link.nii.gz")


def fifo_protocol(paths, monkeypatch):
    os.mkfifo(paths["mt"].parent / "fifo")


def no_memory(paths, monkeypatch):
    def fail(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(mt_map.maps, "fit_fraction", fail)


def complex_mt(paths, monkeypatch):
    image = nibabel.load(paths["mt"])
    data = image.get_fdata().astype(np.complex64) * (1 + 0.5j)
    nibabel.save(nibabel.Nifti1Image(data, AFFINE), paths["mt"])


def four_d(*names, shape=SHAPE + (2,)):
    """Damage: the images of ``names`` written 4-D (ours: two volumes)."""

    def damage(paths, monkeypatch):
        for name in names:
            path = paths.get(name, paths["mt"].parent / f"{name}.nii")  # a new mask
            data = (
                nibabel.load(path).get_fdata(dtype=np.float32) if name in paths else np.ones(SHAPE)
            )
            data = np.broadcast_to(data.reshape(SHAPE + (1,) * (len(shape) - 3)), shape)
            nibabel.save(nibabel.Nifti1Image(np.array(data), AFFINE), path)

    return damage


def dates_r1(paths, monkeypatch):
    np.save(paths["mt"].parent / "dates.npy", np.zeros(SHAPE, "datetime64[s]"))


def full_disk(paths, monkeypatch):
    from tavni.mt_map.io.run_writer import OutputWriter

    def fail(writer, values):
        writer._file.write(b"partial")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), writer.temporary)

    monkeypatch.setattr(OutputWriter, "_write", fail)


VOXEL = (
    "voxel --S-ratio 0.5 --R1 1 --T2-free 0.05 --delta-omega 2000 --omega-1-rms 2000 "
    "--G 1e-5 --TR 0.03 --duration 0.01 --flip-angle 10 "
)


# Command line ({d} is the directory of the inputs, fraction rows extend a
# complete fraction command), what breaks the inputs, message, exit status.
@pytest.mark.parametrize(
    "command, damage, message, status",
    [
        # Data loss: outputs that are inputs, by name, by link, or each other.
        ("fraction -o {d}/mt.nii.gz", None, "output '{d}/mt.nii.gz' is the same file as the MT", 1),
        ("fraction -o {d}/./r1.nii.gz", None, "is the same file as the R1 map", 1),
        ("fraction -o {d}/link.nii.gz", hard_link_output, "is the same file as the MT image", 1),
        (
            "fraction --status {d}/mpf.nii.gz",
            None,
            "'{d}/mpf.nii.gz' is the same file as the out",
            1,
        ),
        # Parameters the model cannot use, named where they came from.
        ("fraction --TR 1e-320", None, "--TR = 9.99989e-321 s: rounds to 0 in single precision", 1),
        ("fraction --TR 1e39", None, "--TR = 1e+39 s: too large for single precision", 1),
        ("fraction --TR 0", None, "--TR = 0 s: must not be zero", 1),
        ("fraction --max-memory 2Q", None, "--max-memory: must be a size such as 2G", 2),
        ("fraction --max-memory 0", None, "--max-memory: must be a size such as 2G", 2),
        ("fraction --flip-angle 100", None, "--flip-angle = 100 deg: the flip angle must lie", 1),
        ("fraction --T2-free -1", None, "--T2-free = -1 s: must be positive", 1),
        ("fraction --G -1", None, "--G = -1 s: must be positive", 1),
        (
            "fraction --duration 0.05",
            None,
            "--duration = 0.05 s is longer than TR = 0.028 s in protocol '{d}/protocol.json'",
            1,
        ),
        ("fraction --omega-1-rms nan", None, "--omega-1-rms = nan rad/s: must be a finite", 1),
        (
            "fraction",
            protocol_with(delta_omega=0),
            "delta_omega = 0 Hz in protocol '{d}/protocol.json': must not be zero",
            1,
        ),
        ("fraction --threads 100000000000000000000000", None, "--threads must be between 1", 1),
        ("fraction --threads 0", None, "--threads must be between 1 and 1024 (got 0)", 1),
        ("fraction --fail-below 2", None, "--fail-below: must be a share between 0 and 1", 2),
        ("fraction --brain-mask-out {d}/b.nii.gz", None, "--brain-mask-out need the three", 1),
        # Noise levels for the uncertainty map.
        (
            "fraction --uncertainty-out {d}/sd.nii.gz --noise-sd 1 2 3",
            None,
            "give one noise level for all images or one each for MT, reference (got 3)",
            1,
        ),
        ("fraction --uncertainty-out {d}/sd.nii.gz --noise-sd 0", None, "must be positive", 1),
        ("fraction --uncertainty-out {d}/sd.nii.gz", None, "background voxels to estimate", 1),
        ("fraction --uncertainty-out {d}/r1.nii.gz", None, "is the same file as the R1 map", 1),
        # Protocol files.
        ("fraction", protocol_with(TR=None, Tr=0.028), "unknown key 'Tr' (did you mean 'TR'?)", 1),
        ("fraction", protocol_with(flip_angle=10.0), "did you mean 'flip_angle_deg'?", 1),
        ("fraction", protocol_with(G=1e-5), "give T2b or G, not both", 1),
        ("fraction", protocol_with(TR=10**40), "not valid JSON: integer of 41 digits", 1),
        ("fraction", protocol_with(TR=1e400), "not valid JSON: Infinity is not a number", 1),
        ("fraction", protocol_with(TR=None), "missing parameter --TR", 1),
        ("fraction", protocol_text("[" * 100000 + "]" * 100000), "nested too deeply", 1),
        ("fraction", protocol_text('{"TR": NaN}'), "NaN is not a number here", 1),
        ("fraction", protocol_text('{"TR": "28 ms"}'), 'TR must be a number, not "28 ms"', 1),
        ("fraction", protocol_text("{not json"), "not valid JSON: Expecting property", 1),
        (
            "fraction --protocol {d}/fifo",
            fifo_protocol,
            "protocol '{d}/fifo': not a regular file",
            1,
        ),
        # Images.
        (
            "fraction --mt {d}/missing.nii.gz",
            None,
            "MT image '{d}/missing.nii.gz' does not exist",
            1,
        ),
        ("fraction --mt {d}", None, "MT image '{d}' is a directory", 1),
        ("fraction", unreadable, "cannot read R1 map", 1),
        ("fraction", move_away("ref"), "reference image '{d}/ref.nii.gz' does not overlap", 1),
        ("fraction", move_away("b1"), "B1 map '{d}/b1.nii.gz' does not overlap", 1),
        ("fraction", b1_in_percent, "lies between 0.2 and 5 (percent? divide it by 100)", 1),
        ("fraction", truncate_mt, "cannot read MT image '{d}/mt.nii.gz': ", 1),
        (
            "fraction -o {d}/none/mpf.nii.gz",
            None,
            "cannot write output '{d}/none/mpf.nii.gz': no",
            1,
        ),
        (
            "fraction -o {d}/mpf.img",
            None,
            "output '{d}/mpf.img' must end in .nii, .nii.gz or .npy",
            1,
        ),
        ("fraction", no_memory, "out of memory", 1),
        (
            "fraction --max-memory 50M",
            None,
            "--max-memory of 52428800 bytes is below the working minimum of 1006",
            1,
        ),
        ("fraction", complex_mt, "MT image '{d}/mt.nii.gz' holds complex numbers (complex64)", 1),
        ("fraction --r1 {d}/dates.npy", dates_r1, "'{d}/dates.npy' holds dates and times", 1),
        # Images of more than three axes, named with their shape before any is read.
        ("fraction", four_d("b1"), "B1 map '{d}/b1.nii.gz' is 4-D (shape 10 x 9 x 4 x 2)", 1),
        ("fraction", four_d("ref"), "reference image '{d}/ref.nii.gz' is 4-D (shape", 1),
        ("fraction", four_d("mt", shape=SHAPE + (1,)), "is 4-D (shape 10 x 9 x 4 x 1)", 1),
        (
            "fraction --mask {d}/m.nii",
            four_d("m", shape=SHAPE + (1, 1)),
            "mask '{d}/m.nii' is 5",
            1,
        ),
        ("fraction --protocol {d}", None, "protocol '{d}': a directory, not a protocol file", 1),
        ("fraction", full_disk, "cannot write output '{d}/mpf.nii.gz': the disk is full", 1),
        # The other commands.
        (VOXEL + "--S-ratio nan", None, "--S-ratio = nan: must be a finite number", 1),
        (VOXEL + "--TR -0.03", None, "--TR = -0.03 s: must be positive", 1),
        (VOXEL + "--duration -0.01", None, "--duration = -0.01 s: must be positive", 1),
        (VOXEL + "--R1 -1", None, "--R1 = -1 1/s: must be positive", 1),
        ("phantom {d}/new/head --shape 0 10 10", None, "at least one voxel per axis", 1),
        (
            "phantom {d}/new --shape 4 -4 4",
            None,
            "at least one voxel per axis (got shape 4 -4 4)",
            1,
        ),
        ("phantom {d}/new --shape 100000 100000 100000", None, "GiB of memory", 1),
        ("phantom {d}", None, "'{d}/ref.nii.gz' exists; --force replaces it", 1),
        ("demo --directory {d}/new --snr nan", None, "the SNR must be a positive number", 1),
        ("demo --directory {d}/new --echoes 0", None, "--echoes must be at least 1 (got 0)", 1),
        ("phantom {d}/new --snr 10 --seed -1", None, "the seed must be 0 or more (got -1)", 1),
        ("phantom {d}/new --voxel-size 0.5 --anatomy brain", None, "at least 1 mm", 1),
        ("phantom {d}/new --auto-align", None, "give --motion DEG MM too", 1),
        ("phantom {d}/new --sidecars dcm2niix", None, "sidecars of a --bids dataset", 1),
        ("phantom {d}/new --b1-voxel-size -4", None, "B1 voxel size must be a positive", 1),
        ("phantom {d}/new --scale 1 0 1", None, "three positive numbers (got", 1),
        ("phantom {d}/new --motion 95 2", None, "an angle below 90 degrees", 1),
        ("phantom {d}/new --echoes 0", None, "--echoes must be at least 1 (got 0)", 1),
        ("phantom {d}/new --layout mpm", None, "--layout is about the files of a --bids", 1),
    ],
)
def test_errors_are_one_line_and_leave_no_output(
    tmp_path, volumes, monkeypatch, capsys, command, damage, message, status
):
    paths = write(tmp_path, volumes)
    output, status_map = tmp_path / "mpf.nii.gz", tmp_path / "status.nii.gz"
    if damage is not None:
        damage(paths, monkeypatch)
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    entries = sorted(tmp_path.iterdir())
    args = command.format(d=tmp_path).split()
    if args[0] == "fraction":
        args = arguments(paths, output, "--status", str(status_map)) + args[1:]
    if status == 2:
        with pytest.raises(SystemExit) as usage:
            main(args)
        assert usage.value.code == 2
    else:
        assert main(args) == status
    err = capsys.readouterr().err
    assert message.format(d=tmp_path) in err
    if status == 1:
        assert err.startswith("mt-map: error: ") and err.count("\n") == 1
    # Inputs untouched, nothing new (no temporary file, no empty directory).
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    assert sorted(tmp_path.iterdir()) == entries


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a tmpfs needs root")
@pytest.mark.parametrize("pages", [0, 1, 2])
def test_a_full_disk_leaves_no_temporaries(tmp_path, volumes, capsys, pages):
    # Five outputs of a page each on a tmpfs that another file fills but for
    # a few pages: it is full at the output after the first `pages`, while
    # the others still hold data to flush.
    paths = write(tmp_path, volumes)
    disk = tmp_path / "disk"
    disk.mkdir()
    size = f"size={4 * (pages + 4)}k"
    subprocess.run(["mount", "-t", "tmpfs", "-o", size, "tmpfs", disk], check=True)
    try:
        (disk / "other").write_bytes(bytes(4 << 12))
        outputs = ["--status", disk / "status.nii", "--uncertainty-out", disk / "sd.nii"]
        outputs += ["--sensitivity-out", disk / "sens", "--noise-sd", "0.001", "0.002"]
        assert main(arguments(paths, disk / "mpf.nii", *map(str, outputs))) == 1
        assert os.listdir(disk) == ["other"]
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and f"'{disk}/" in err and "the disk is full" in err
    finally:
        subprocess.run(["umount", disk], check=True)


@pytest.mark.parametrize("anatomy, echoes", [("brain", 1), ("geometric", 1), ("geometric", 6)])
def test_demo_end_to_end_at_a_coarse_voxel_size(tmp_path, anatomy, echoes):
    if anatomy == "brain":
        pytest.importorskip("nilearn")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "tavni.mt_map",
            "demo",
            "--directory",
            str(tmp_path / "demo"),
            "--voxel-size",
            "6",
            "--anatomy",
            anatomy,
            "--echoes",
            str(echoes),
            "--quiet",
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    rows = {
        tissue.name: line.split()[-9 - 2 * (echoes > 1) :]
        for tissue in tissues.TISSUES
        for line in lines
        if line.startswith(tissue.name)
    }
    for name, tissue in zip(("white matter", "grey matter"), tissues.TISSUES):
        count, true_f, estimated_f, _, true_r1, estimated_r1 = map(float, rows[name][:6])
        assert count > 0 and estimated_f == pytest.approx(true_f, abs=0.005)
        assert estimated_r1 == pytest.approx(true_r1, rel=0.02)
        if echoes > 1:  # R2* of the shared echo fit against the truth
            true_r2, estimated_r2 = map(float, rows[name][7:9])
            assert true_r2 == tissue.R2star and estimated_r2 == pytest.approx(true_r2, rel=0.02)
    assert (tmp_path / "demo" / "r2star.nii.gz").is_file() == (echoes > 1)
    sd_line = next(line for line in lines if line.startswith("sd of f from the noise"))
    assert all(0 < float(part.split()[-1]) < 0.05 for part in sd_line.split(":")[1].split(","))
    figure = tmp_path / "demo" / "demo.png"
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The names the chain and the BIDS dataset writer rely on.
    stems = ("pdw", "t1w", "mtw") if echoes == 1 else ("pdw_echo-6", "t1w_echo-6", "mtw_echo-6")
    for stem in (*stems, "b1", "b0", "truth_f", "truth_r1", "truth_m0", "mtsat"):
        assert (tmp_path / "demo" / f"{stem}.nii.gz").is_file()
    protocol = json.loads((tmp_path / "demo" / "protocol.json").read_text())
    assert {"pdw_flip_angle_deg", "pdw_TR", "t1w_flip_angle_deg", "t1w_TR"} <= set(protocol)


def save_as(path, data, encoding):
    """Data in one of the ways images come: float32 (NIfTI or .npy), float64,
    or int16 with scaling factors in the header (scanner magnitude images).
    """
    if encoding == "npy":
        np.save(path, data)
        return
    if encoding == "int16-scaled":
        image = nibabel.Nifti1Image(data, AFFINE)
        image.set_data_dtype(np.int16)  # nibabel picks slope and intercept
    else:
        image = nibabel.Nifti1Image(data.astype(encoding), AFFINE)
    nibabel.save(image, path)


@pytest.mark.parametrize("encoding", ["float32", "float64", "int16-scaled", "npy"])
@pytest.mark.parametrize("budget", [None, "tiny"])
@pytest.mark.parametrize("fast", [False, True])
def test_streamed_maps_are_those_of_whole_float64_volumes(
    tmp_path, volumes, encoding, budget, fast
):
    from tavni.mt_map import fit_fraction
    from tavni.mt_map.io import streaming

    suffix = ".npy" if encoding == "npy" else ".nii"
    paths = write(tmp_path, volumes)
    for name in ("mt", "ref", "r1", "b1"):
        paths[name] = tmp_path / f"{name}{suffix}"
        save_as(
            paths[name],
            volumes[name],
            "float32" if name == "b1" and encoding == "int16-scaled" else encoding,
        )
    extra = ["--status", str(tmp_path / f"status{suffix}")] + (["--fast"] if fast else [])
    if budget == "tiny":  # a dozen voxels a run: less than a row, the last run short
        extra += ["--max-memory", str(streaming.BASELINE_BYTES + 12 * 170)]
    assert main(arguments(paths, tmp_path / f"mpf{suffix}", *extra)) == 0

    # Whole volumes in float64, as the maps were made before streaming.
    data = {name: load(paths[name])[0].astype(np.float64) for name in ("mt", "ref", "r1", "b1")}
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(data["ref"] > 0, data["mt"] / data["ref"], np.nan)
    from tavni.mt_map import omega_1_rms_from_pulse

    p = scans.PROTOCOL
    omega_1_rms = omega_1_rms_from_pulse(
        np.deg2rad(p["mt_flip_angle_deg"]),
        p["duration"] / p["mt_pulses"],
        p["mt_pulse_shape"],
        p["mt_bandwidth"],
    )
    f, status = fit_fraction(
        ratio,
        np.where(data["r1"] > 0, data["r1"], np.nan),
        p["T2_free"],
        p["delta_omega"],
        omega_1_rms,
        phantom_G(),
        p["TR"],
        p["duration"],
        np.deg2rad(p["flip_angle_deg"]),
        b1=np.where(data["b1"] > 0, data["b1"], np.nan),
        exact=not fast,
        return_status=True,
    )
    if encoding == "int16-scaled":
        assert not np.array_equal(data["mt"], volumes["mt"].astype(np.float32))
    np.testing.assert_array_equal(
        load(tmp_path / f"mpf{suffix}")[0].view(np.uint32), f.astype(np.float32).view(np.uint32)
    )
    np.testing.assert_array_equal(load(tmp_path / f"status{suffix}")[0], status)


def test_a_budget_bounds_memory_whatever_the_volume(tmp_path):
    import tracemalloc

    from tavni.mt_map.io import streaming

    # Room for a few thousand voxels at a time; volumes of 4 and 16 MiB of
    # float32 inputs take the same memory.
    budget = streaming.BASELINE_BYTES + (1 << 20)
    peaks = []
    for planes in (32, 128):
        shape = (128, 128, planes)
        rng = np.random.default_rng(3)
        directory = tmp_path / str(planes)
        directory.mkdir()
        paths = write(
            directory,
            {
                "mt": rng.uniform(0.3, 0.6, shape),
                "ref": np.ones(shape),
                "r1": rng.uniform(0.5, 1.5, shape),
                "b1": np.ones(shape),
            },
        )
        # Registration holds whole volumes; the streaming alone is bounded.
        command = arguments(
            paths, directory / "mpf.nii.gz", "--max-memory", str(budget), "--no-register"
        )
        assert main(command) == 0  # every module imported before memory is traced
        tracemalloc.start()
        try:
            assert main(command) == 0
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    assert peaks[1] < peaks[0] + (1 << 20) and peaks[1] < 8 << 20


def phantom_G():
    from tavni.mt_map import super_lorentzian

    return super_lorentzian(scans.PROTOCOL["delta_omega"], scans.PROTOCOL["T2b"])


def swap_mt_and_ref(paths):
    paths["mt"], paths["ref"] = paths["ref"], paths["mt"]


def T1_in_ms_as_R1(paths):
    R1 = nibabel.load(paths["r1"]).get_fdata()
    with np.errstate(divide="ignore"):
        T1_ms = np.where(R1 > 0, 1000 / R1, 0)
    nibabel.save(nibabel.Nifti1Image(T1_ms.astype(np.float32), AFFINE), paths["r1"])


def TR_in_ms(paths):
    paths["protocol"].write_text(json.dumps(dict(PROTOCOL, TR=28)))


def zero_B1(paths):
    nibabel.save(nibabel.Nifti1Image(np.zeros(SHAPE, np.float32), AFFINE), paths["b1"])


@pytest.mark.parametrize(
    "damage, warnings, status",
    [
        (None, [], 0),
        (swap_mt_and_ref, ["MT and reference images swapped?"], 3),
        (T1_in_ms_as_R1, ["typical of T1 in milliseconds"], 3),
        (
            TR_in_ms,
            ["TR = 28 s in protocol", "is it in milliseconds?", "looks like milliseconds"],
            3,
        ),
        # Every voxel invalid input: none fitted, and the B1 map named.
        (zero_B1, ["invalid input; the B1 map '{b1}' is zero, negative or NaN in 100.0 %"], 3),
    ],
)
def test_summary_warns_when_few_voxels_are_solved(
    tmp_path, volumes, capsys, damage, warnings, status
):
    paths = write(tmp_path, volumes)
    if damage is not None:
        damage(paths)
    # No --fail-below: the App's share, 0.5, by default.
    args = arguments(paths, tmp_path / "mpf.nii.gz")
    assert main([a for a in args if a != "--quiet"]) == status
    lines = capsys.readouterr().err.splitlines()
    head, fitted = int((volumes["labels"] > 0).sum()), volumes["labels"].size
    solved = head if damage is None else 0
    invalid = fitted if damage is zero_B1 else fitted - head
    summary = [line for line in lines if "mpf.nii.gz: " in line]
    assert len(summary) == 1
    assert f": {fitted} voxels: {solved} solved ({100 * solved / fitted:.1f} %)" in summary[0]
    assert f"{invalid} invalid input" in summary[0]
    warned = [line for line in lines if line.startswith("mt-map: warning: ")]
    for fragment in warnings:
        assert any(fragment.format(**paths) in line for line in warned), (fragment, lines)
    # The failure's line names the cause the last warning gave.
    failed = [line for line in lines if "fewer than --fail-below 0.5 asks" in line]
    assert len(failed) == (status == 3)
    assert not failed or failed[0].endswith(warned[-1].split("; ", 1)[1])
    assert (damage in (swap_mt_and_ref, T1_in_ms_as_R1, TR_in_ms)) == any(
        "only 0.0 % of the" in line for line in warned
    )
    # --quiet drops the summary, never the warnings.
    assert main(args + ["--fail-below", "0"]) == 0
    assert capsys.readouterr().err.splitlines() == warned


def moved(shift=(0, 0, 0), flip=False):
    """A qform from the sform: shifted (mm), or left and right swapped about
    the volume's centre.
    """

    def qform(affine):
        changed = affine.copy()
        if flip:
            changed[:, 0] *= -1
            changed[:3, 3] += affine[:3, 0] * (SHAPE[0] - 1)
        changed[:3, 3] += shift
        return changed

    return qform


@pytest.mark.parametrize(
    "qform, apart",
    [
        (moved(), None),
        (moved((4e-4, 0, 0)), None),  # rounding, not two places
        (moved((40, 0, 0)), "40"),
        (moved(flip=True), "18"),
    ],
)
def test_maps_take_the_qform_of_the_sform_they_were_computed_on(
    tmp_path, volumes, capsys, qform, apart
):
    paths = write(tmp_path, volumes)
    image = nibabel.load(paths["mt"])
    image.header.set_qform(qform(AFFINE), code=1)
    nibabel.save(image, paths["mt"])
    output, status = tmp_path / "mpf.nii.gz", tmp_path / "status.nii.gz"
    assert main(arguments(paths, output, "--status", str(status))) == 0
    warned = [line for line in capsys.readouterr().err.splitlines() if "qform" in line]
    expected = f"MT image '{paths['mt']}': its sform and qform disagree by {apart} mm; the sform"
    assert warned == (
        []
        if apart is None
        else [f"mt-map: warning: {expected} is used, and the maps' qform is set to it"]
    )
    for path in (output, status):
        header = nibabel.load(path).header
        np.testing.assert_allclose(header.get_qform(), AFFINE, atol=1e-3)
        # The qform takes the sform's code (aligned) when it takes its place.
        assert (header["qform_code"], header["sform_code"]) == (1 if apart is None else 2, 2)


def test_output_headers_describe_the_maps(tmp_path, volumes):
    paths = write(tmp_path, volumes)
    image = nibabel.load(paths["mt"])
    header = image.header.copy()
    header.set_qform(AFFINE, code=1)
    header.set_sform(AFFINE, code=4)
    header["descrip"], header["cal_min"], header["cal_max"] = b"MT scan", 0, 1000
    header.set_xyzt_units("mm", "sec")
    nibabel.save(nibabel.Nifti1Image(image.get_fdata(), AFFINE, header), paths["mt"])
    output, status = tmp_path / "mpf.nii.gz", tmp_path / "status.nii.gz"
    assert main(arguments(paths, output, "--status", str(status))) == 0
    fraction = nibabel.load(output).get_fdata()
    expected = {
        output: (np.float32, np.nanmin(fraction), np.nanmax(fraction), b"bound-pool"),
        status: (np.uint8, mt_map.STATUS_SOLVED, mt_map.STATUS_INVALID_INPUT, b"status"),
    }
    for path, (dtype, low, high, descrip) in expected.items():
        written = nibabel.load(path).header
        assert written.get_data_dtype() == dtype
        assert (written["qform_code"], written["sform_code"]) == (1, 4)
        np.testing.assert_array_equal(written.get_best_affine(), AFFINE)
        assert written.get_zooms() == (2.0, 2.5, 3.0)
        assert written.get_xyzt_units() == ("mm", "sec")
        assert (written["cal_min"], written["cal_max"]) == (np.float32(low), np.float32(high))
        assert bytes(written["descrip"]).startswith(descrip)
        assert written.get_slope_inter() == (None, None)  # no scaling
    # The phantom's images are in mm too.
    assert main(["phantom", str(tmp_path / "head"), "--shape", "4", "4", "2", "--quiet"]) == 0
    assert nibabel.load(tmp_path / "head" / "mtw.nii.gz").header.get_xyzt_units()[0] == "mm"
    before = (tmp_path / "head" / "truth_r1.nii.gz").stat().st_ino
    assert main(["phantom", str(tmp_path / "head"), "--shape", "4", "4", "3", "--force"]) == 0
    assert nibabel.load(tmp_path / "head" / "truth_r1.nii.gz").shape == (4, 4, 3)
    assert (tmp_path / "head" / "truth_r1.nii.gz").stat().st_ino != before  # replaced


def test_version_comes_from_the_package_metadata(capsys):
    from importlib.metadata import version

    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0
    assert capsys.readouterr().out == f"mt-map {version('tavni-mt-map')}\n"
    assert mt_map.__version__ == version("tavni-mt-map")


def test_help_is_light_and_lists_the_status_codes():
    from conftest import run_python

    result = run_python("""
        import sys
        from tavni.mt_map import cli
        parser = cli.build_parser()
        parser.format_help()
        print(any(name in sys.modules for name in ("numpy", "tavni.mt_map.bids")))
    """)
    assert result.stdout.strip() == "False", "numpy or the BIDS module imported for --help"
    command = [sys.executable, "-X", "importtime", "-m", "tavni.mt_map", "fraction", "--help"]
    shown = subprocess.run(command, capture_output=True, text=True, env=os.environ, check=True)
    imported = [line.split("|")[-1].strip() for line in shown.stderr.splitlines()]
    assert not [name for name in imported if name.split(".")[0] == "numpy"]
    from tavni.mt_map.status import status_table

    for code, _, meaning in status_table():
        assert f"  {code}  {meaning[:30]}" in shown.stdout


NO_FLIP_ANGLE = VOXEL.replace("--flip-angle 10", "").split()


@pytest.mark.parametrize(
    ("args", "stdout", "status", "printed", "error"),
    [
        (VOXEL.split(), "file", 0, "f = ", ""),
        (NO_FLIP_ANGLE, "file", 1, "", "mt-map: error: missing parameter --flip-angle"),
        (VOXEL.split(), "closed pipe", 141, None, ""),
        (["--version"], "closed pipe", 141, None, ""),
        (["--version"], "/dev/full", 1, None, "mt-map: error: cannot write the output: No space"),
        (["fraction", "--help"], "/dev/full", 1, None, "mt-map: error: cannot write the output"),
        (["fraction", "--help"], "file", 0, "usage: mt-map fraction", ""),
        (["--help"], "/dev/full", 1, None, "mt-map: error: cannot write the output"),
        (VOXEL.split(), "/dev/full", 1, None, "mt-map: error: No space left"),
    ],
)
def test_the_program_ends_with_its_commands_status(tmp_path, args, stdout, status, printed, error):
    # The program skips the interpreter's teardown once the command is done:
    # its status, its last output and the failure to write it must survive.
    if stdout == "closed pipe":
        reader, target = os.pipe()
        os.close(reader)
    else:
        target = os.open(tmp_path / "out" if stdout == "file" else stdout, os.O_WRONLY | os.O_CREAT)
    command = [sys.executable, "-m", "tavni.mt_map", *args]
    done = subprocess.run(command, stdout=target, stderr=subprocess.PIPE, text=True, timeout=60)
    os.close(target)
    assert done.returncode == status
    assert done.stderr.startswith(error) and done.stderr.count("\n") == (1 if error else 0)
    if printed is not None:
        assert (tmp_path / "out").read_text().startswith(printed)


@pytest.mark.parametrize(("seconds", "finishes"), [(0.0, True), (5.0, False)])
def test_an_interrupt_dropped_in_a_finalizer_ends_the_command(capsys, seconds, finishes):
    # Ctrl-C in a __del__ (pybids' objects freed by the garbage collector) is
    # dropped by the interpreter; the command must still end as interrupted.
    class Interrupted:
        def __del__(self):
            raise KeyboardInterrupt

    finished = []

    def command(options):
        Interrupted()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            pass
        finished.append(True)
        return 0

    assert mt_map.cli._run(argparse.Namespace(run=command)) == 130
    assert bool(finished) == finishes
    assert "Exception ignored" not in capsys.readouterr().err
