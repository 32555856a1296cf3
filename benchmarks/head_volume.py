"""A whole-head test volume that compresses like scanner data.

    python3 benchmarks/head_volume.py DIR [--shape 176 240 256] [--seed 0]

Writes into DIR: mt.nii.gz and ref.nii.gz (magnitude images, int16 as DICOM
converters store them, with Rician noise in and around the head), r1.nii.gz
(an R1 map in 1/s, float32, noisy like a variable-flip-angle fit, zero
outside the head), b1.nii.gz (relative transmit field, float32, smooth with
a little noise), truth_f.nii.gz, and protocol.json; all .nii.gz at gzip
level 6. Tissue layout from tavni.mt_map.phantom (fluid, grey and white
matter, ventricles), with fraction and R1 varying smoothly inside each
tissue. The MT image is the reference times the ratio the two-pool model
predicts (the double-precision model of numba_baselines, per-voxel B1).
"""
import argparse
import json
from pathlib import Path

import numpy as np

NOISE = 0.012         # Rician noise, relative to the brightest reference signal
R1_NOISE = 0.04       # relative noise of the fitted R1
B1_NOISE = 0.005      # absolute noise of the B1 map
SIGNAL_MAX = 3000.0   # int16 scale of the brightest reference signal
GZIP_LEVEL = 6        # what DICOM converters write


def _smooth_field(shape, rng, cells=8):
    """A random field varying over about a cells-th of the volume, in [-1, 1]."""
    from scipy.ndimage import zoom

    coarse = rng.uniform(-1.0, 1.0, (cells + 1,) * len(shape))
    return zoom(coarse, [n / (cells + 1) for n in shape], order=1, grid_mode=False)[
        tuple(slice(0, n) for n in shape)]


def _rician(signal, sigma, rng):
    """|signal + noise| with Gaussian noise of sigma in both channels."""
    real = signal + rng.normal(0.0, sigma, signal.shape).astype(np.float32)
    imaginary = rng.normal(0.0, sigma, signal.shape).astype(np.float32)
    return np.hypot(real, imaginary)


def protocol_of(directory):
    """(T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle) of the
    volume, as fit_fraction and the numba baselines take them."""
    from tavni.mt_map import super_lorentzian

    p = json.loads((Path(directory) / "protocol.json").read_text())
    G = float(super_lorentzian(p["delta_omega"], p["T2b"]))
    return (p["T2_free"], p["delta_omega"], p["omega_1_rms"], G, p["TR"], p["duration"],
            float(np.deg2rad(p["flip_angle_deg"])))


def write(directory, shape=(176, 240, 256), seed=0):
    import nibabel
    from nibabel.openers import Opener

    from numba_baselines import predicted_ratio_map
    from tavni.mt_map import phantom

    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    label = phantom.labels(shape)
    head = label > 0
    f = np.zeros(shape, np.float32)
    R1 = np.zeros(shape, np.float32)
    M0 = np.zeros(shape, np.float32)
    variation = _smooth_field(shape, rng).astype(np.float32)
    for tissue in phantom.TISSUES:
        where = label == tissue.label
        f[where] = tissue.f * (1.0 + 0.15 * variation[where])
        R1[where] = tissue.R1 * (1.0 + 0.1 * variation[where])
        M0[where] = tissue.M0 * (1.0 - 0.05 * variation[where])
    b1 = phantom.transmit_field(shape).astype(np.float32)
    b1 += rng.normal(0.0, B1_NOISE, shape).astype(np.float32)

    p = phantom.PROTOCOL
    protocol = {**p}
    (directory / "protocol.json").write_text(json.dumps(protocol, indent=2) + "\n")
    parameters = protocol_of(directory)
    flip = np.deg2rad(p["flip_angle_deg"]) * b1[head]
    ref = np.zeros(shape, np.float32)
    ref[head] = phantom.spoiled_gradient_echo(M0[head], R1[head], p["TR"], flip)
    ratio = predicted_ratio_map(f[head].astype(np.float64), R1[head].astype(np.float64),
                                b1[head].astype(np.float64), parameters)
    mt = np.zeros(shape, np.float32)
    mt[head] = ref[head] * ratio
    scale = SIGNAL_MAX / ref.max()
    sigma = NOISE * SIGNAL_MAX
    images = {
        "ref": np.rint(_rician(ref * scale, sigma, rng)).astype(np.int16),
        "mt": np.rint(_rician(mt * scale, sigma, rng)).astype(np.int16),
        "r1": np.where(head, R1 * (1.0 + R1_NOISE * rng.standard_normal(shape,
                                                                         np.float32)), 0.0
                       ).astype(np.float32),
        "b1": b1,
        "truth_f": f,
    }
    affine = np.diag([1.0, 1.0, 1.0, 1.0])
    previous = Opener.default_compresslevel
    Opener.default_compresslevel = GZIP_LEVEL
    try:
        for name, data in images.items():
            image = nibabel.Nifti1Image(data, affine)
            if data.dtype == np.int16:
                image.header.set_slope_inter(1.0, 0.0)  # as dcm2niix writes it
            nibabel.save(image, directory / f"{name}.nii.gz")
    finally:
        Opener.default_compresslevel = previous
    (directory / "shape").write_text(" ".join(map(str, shape)) + "\n")
    return directory


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--shape", type=int, nargs=3, default=(176, 240, 256))
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()
    write(options.directory, tuple(options.shape), options.seed)


if __name__ == "__main__":
    main()
