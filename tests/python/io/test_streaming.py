"""Volumes streamed a run of voxels at a time: what is read, what is written."""

import gzip
import zlib

import nibabel
import numpy as np
import pytest

from tavni.mt_map.io import run_readers, run_writer, streaming
from tavni.mt_map.io.volumes import VolumeError

SHAPE = (6, 5, 7)
AFFINE = np.diag([2.0, 2.5, 3.0, 1.0])


def values(seed=0):
    rng = np.random.default_rng(seed)
    data = rng.normal(100.0, 30.0, SHAPE)
    data[0, 0, :] = [0.0, -1.0, np.nan, np.inf, 1e-3, 3e4, 7.0]
    return data


def save_nifti(path, data, dtype, slope=None, inter=None, big_endian=False):
    image = nibabel.Nifti1Image(data.astype(dtype), AFFINE)
    image.header.set_data_dtype(np.dtype(dtype).newbyteorder(">" if big_endian else "<"))
    nibabel.save(image, path)
    if slope is not None:
        # Integers with scaling, as scanners store them: nibabel writes its
        # own factors, so they go into the header's bytes afterwards.
        raw = bytearray(gzip.decompress(path.read_bytes()))
        raw[112:120] = np.array([slope, inter], "<f4").tobytes()  # scl_slope, scl_inter
        path.write_bytes(gzip.compress(bytes(raw)))


ENCODINGS = {
    # name: (writer, float32 expected)
    "float32.nii.gz": (lambda p, d: save_nifti(p, d, np.float32), True),
    "float32-big-endian.nii": (lambda p, d: save_nifti(p, d, np.float32, big_endian=True), True),
    "int16.nii.gz": (lambda p, d: save_nifti(p, np.nan_to_num(d, posinf=0), np.int16), True),
    "int16-scaled.nii.gz": (
        lambda p, d: save_nifti(p, np.nan_to_num(d, posinf=0), np.int16, slope=0.37, inter=1.5),
        False,
    ),
    "float64.nii": (lambda p, d: save_nifti(p, d, np.float64), False),
    "float32-pair.img": (lambda p, d: save_nifti(p, d, np.float32), True),  # .hdr and .img
    "c-order.npy": (lambda p, d: np.save(p, d), False),
    "fortran-order.npy": (lambda p, d: np.save(p, np.asfortranarray(d.astype(np.float32))), True),
}


def reference_values(path):
    """Today's reading: the whole volume as float64, in Fortran order."""
    if str(path).endswith(".npy"):
        data = np.load(path).astype(np.float64)
    else:
        data = nibabel.load(path).get_fdata(dtype=np.float64)
    return data.ravel(order="F")


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("run", [1, 29, 210])
def test_runs_read_what_the_whole_volume_holds(tmp_path, encoding, run):
    writer, exact = ENCODINGS[encoding]
    path = tmp_path / f"image-{encoding}"
    writer(path, values())
    reader = run_readers.FileReader(path, "image")
    got = [reader.read(min(run, reader.voxels - start)) for start in range(0, reader.voxels, run)]
    reader.close()
    assert {part.dtype for part in got} == {np.dtype(np.float32 if exact else np.float64)}
    np.testing.assert_array_equal(np.concatenate(got).astype(np.float64), reference_values(path))
    if exact:  # kept as read, handed to a pass of other runs: the same values, read-only
        held, again = run_readers.HeldRuns(list(got)), []
        while sum(map(len, again)) < reader.voxels:
            again.append(held.read(min(37, reader.voxels - sum(map(len, again)))))
        assert not any(part.flags.writeable for part in again)
        np.testing.assert_array_equal(np.concatenate(again), np.concatenate(got))


def squares_and_signs(values):
    x = values["x"].astype(np.float64)
    return {"square": x * x + values["y"], "sign": (np.sign(np.nan_to_num(x)) + 1).astype(np.uint8)}


def negative_nans(values):
    """squares_and_signs with the sign bit of every NaN of the square set."""
    maps = squares_and_signs(values)
    square = np.array(maps["square"], dtype=np.float64)
    square[np.isnan(square)] = np.copysign(np.nan, -1.0)
    return {**maps, "square": square}


def stream(tmp_path, suffix, budget=None, tag="", compute=None):
    inputs = {}
    for name, seed in (("x", 1), ("y", 2)):
        inputs[name] = (tmp_path / f"{name}{suffix}", f"{name} image")
        if suffix == ".npy":
            np.save(inputs[name][0], values(seed).astype(np.float32))
        elif not inputs[name][0].exists():
            save_nifti(inputs[name][0], values(seed), np.float32)
    header = nibabel.Nifti1Header()
    header.set_qform(AFFINE, code=1)
    header.set_sform(AFFINE, code=1)
    outputs = {
        "square": (tmp_path / f"square{tag}{suffix}", "square", np.float32, header),
        "sign": (tmp_path / f"sign{tag}{suffix}", "sign", np.uint8, header),
    }
    streaming.run(inputs, outputs, compute or squares_and_signs, shape=SHAPE, budget=budget)
    return {name: path for name, (path, *_) in outputs.items()}


def one_gzip_member(data):
    """The content of data, read as a single gzip member (as readers that
    take only the first member do), with its CRC and length checked.
    """
    member = zlib.decompressobj(wbits=31)
    content = member.decompress(data)
    assert member.eof and member.unused_data == b""
    return content


@pytest.mark.parametrize(
    "suffix, deflate", [(".nii.gz", None), (".nii.gz", "isal"), (".nii", None), (".npy", None)]
)
def test_a_tiny_budget_writes_the_same_files(tmp_path, monkeypatch, suffix, deflate):
    if deflate is not None:  # another compressor, whose output depends on where input is cut
        monkeypatch.setattr(run_writer, "_deflate", pytest.importorskip("isal.isal_zlib"))
    # Blocks that the runs straddle: the bytes must not depend on the runs.
    monkeypatch.setattr(run_writer, "_COMPRESS_BLOCK", 1000)
    whole = stream(tmp_path, suffix)
    # Room for a few voxels only: runs shorter than a plane, the last one short.
    tiny = stream(tmp_path, suffix, budget=streaming.BASELINE_BYTES + 700, tag="-tiny")
    # NaNs whose sign bit differs (arithmetic's order) are the same values.
    again = stream(tmp_path, suffix, tag="-again", compute=negative_nans)
    for name in whole:
        read = one_gzip_member if suffix == ".nii.gz" else (lambda data: data)
        assert read(tiny[name].read_bytes()) == read(whole[name].read_bytes())
        assert tiny[name].read_bytes() == whole[name].read_bytes()
        # The same bytes each time: no temporary name or time in a gzip header,
        # one NaN.
        assert again[name].read_bytes() == whole[name].read_bytes()
    x = values(1).astype(np.float32).astype(np.float64)
    expected = (x * x + values(2).astype(np.float32)).astype(np.float32)
    if suffix == ".npy":
        square = np.load(whole["square"])
        assert square.flags.f_contiguous
    else:
        image = nibabel.load(whole["square"])
        square = np.asanyarray(image.dataobj)
        np.testing.assert_array_equal(image.affine, AFFINE)
        finite = expected[np.isfinite(expected)]
        assert (image.header["cal_min"], image.header["cal_max"]) == (finite.min(), finite.max())
    np.testing.assert_array_equal(square, expected)


@pytest.mark.parametrize("damage", ["truncated", "not gzip"])
def test_a_damaged_input_is_one_line_and_leaves_nothing(tmp_path, damage):
    stream(tmp_path, ".nii.gz")
    for name in ("square", "sign"):
        (tmp_path / f"{name}.nii.gz").unlink()
    x = tmp_path / "x.nii.gz"
    data = x.read_bytes()
    x.write_bytes(data[: len(data) // 2] if damage == "truncated" else gzip.decompress(data)[:400])
    with pytest.raises(VolumeError, match=r"^cannot read x image '.*x\.nii\.gz': ") as error:
        stream(tmp_path, ".nii.gz")
    assert "\n" not in str(error.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.nii.gz", "y.nii.gz"]
