"""A whole-head test volume that compresses like scanner data.

    python3 benchmarks/head_volume.py DIR [--shape 176 240 256] [--seed 0] [--level 6]

Writes into DIR: mt.nii.gz and ref.nii.gz (magnitude images, int16 as DICOM
converters store them, with Rician noise in and around the head), pdw.nii.gz
and t1w.nii.gz (the PD- and T1-weighted scans of the three-scan chain, whose
MT-weighted scan is mt.nii.gz; int16 likewise), r1.nii.gz
(an R1 map in 1/s, float32, noisy like a variable-flip-angle fit, zero
outside the head), b1.nii.gz (relative transmit field, float32, smooth with
a little noise), truth_f.nii.gz and protocol.json; .nii.gz at gzip level 6
as converters write them. An ellipsoidal head (fluid rim, cortex, white
matter, two ventricles) whose fraction, R1 and proton density vary
smoothly inside each tissue. The MT image is the reference times the ratio
the two-pool model predicts (the double-precision model of
numba_baselines, with the voxel's B1).

The volume is made and written a few planes at a time, so any size fits
in memory (1024 x 1024 x 600 for the streaming check).
"""

import argparse
import json
import shutil
from pathlib import Path

import numpy as np

NOISE = 0.012  # Rician noise, relative to the brightest reference signal
R1_NOISE = 0.04  # relative noise of the fitted R1
B1_NOISE = 0.005  # absolute noise of the B1 map
SIGNAL_MAX = 3000.0  # int16 value of the brightest reference signal
# A 3 T single-point protocol: saturation at 4 kHz, 10 degree excitation,
# and the PD- and T1-weighted scans of the three-scan chain.
PROTOCOL = {
    "delta_omega": 4000.0,
    "omega_1_rms": 1500.0,
    "duration": 0.012,
    "TR": 0.028,
    "flip_angle_deg": 10.0,
    "T2_free": 0.04,
    "T2b": 12e-6,
    "pdw_flip_angle_deg": 4.0,
    "pdw_TR": 0.025,
    "t1w_flip_angle_deg": 25.0,
    "t1w_TR": 0.011,
}
# (label, bound-pool fraction, R1 in 1/s, relative proton density)
TISSUES = ((1, 0.0, 0.25, 1.0), (2, 0.065, 0.72, 0.8), (3, 0.14, 1.15, 0.7))
# Ellipsoids (centre, radii) in coordinates from -1 to 1, painted in order.
LAYOUT = (
    (1, (0, 0, 0), (0.9, 0.75, 0.95)),
    (2, (0, 0, 0), (0.84, 0.69, 0.88)),
    (3, (0, 0, 0), (0.62, 0.5, 0.66)),
    (1, (0.05, -0.15, 0), (0.3, 0.08, 0.35)),
    (1, (0.05, 0.15, 0), (0.3, 0.08, 0.35)),
)
IMAGES = {
    "mt": np.int16,
    "ref": np.int16,
    "pdw": np.int16,
    "t1w": np.int16,
    "r1": np.float32,
    "b1": np.float32,
    "truth_f": np.float32,
}


_POOL = {}


def _noise_pool(rng, size=1 << 23):
    """Twice the most voxels _planes makes at a time."""
    if "pool" not in _POOL:
        _POOL["pool"] = rng.standard_normal(size, np.float32)
    return _POOL["pool"]


def protocol_of(directory):
    """(T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle) of the
    volume, as fit_fraction and the numba baselines take them.
    """
    from tavni.mt_map import super_lorentzian

    p = json.loads((Path(directory) / "protocol.json").read_text())
    G = float(super_lorentzian(p["delta_omega"], p["T2b"]))
    return (
        p["T2_free"],
        p["delta_omega"],
        p["omega_1_rms"],
        G,
        p["TR"],
        p["duration"],
        float(np.deg2rad(p["flip_angle_deg"])),
    )


def _planes(shape, first, count, rng, waves, parameters):
    """The images' values on planes [first, first + count) of the last axis,
    each flattened in file (Fortran) order.
    """
    pool = _noise_pool(rng)

    def noise(n):
        """N standard normal values: a stretch of a pool drawn once, from a
        random place (drawing afresh for a billion voxels takes long).
        """
        start = int(rng.integers(0, pool.size // 2))
        return pool[start : start + n]

    from numba_baselines import predicted_ratio_map

    x, y = (np.linspace(-1.0, 1.0, n, dtype=np.float32) for n in shape[:2])
    z = np.linspace(-1.0, 1.0, shape[2], dtype=np.float32)[first : first + count]
    x, y, z = x[:, None, None], y[None, :, None], z[None, None, :]
    label = np.zeros((shape[0], shape[1], count), np.uint8)
    for value, (cx, cy, cz), (rx, ry, rz) in LAYOUT:
        label[((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 + ((z - cz) / rz) ** 2 <= 1.0] = value
    # Smooth variation inside tissues: a few long waves of random phase
    # along each axis (sums of one-dimensional terms: cheap for any size).
    variation = sum(
        np.sin(kx * x + phase) + np.sin(ky * y + phase) + np.sin(kz * z + phase)
        for kx, ky, kz, phase in waves
    ) / (3 * len(waves))
    b1 = 1.1 - 0.2 * (x * x + y * y + z * z) / 3.0
    flat = {
        name: np.ravel(np.broadcast_to(a, label.shape), order="F")
        for name, a in (("label", label), ("variation", variation), ("b1", b1))
    }
    label, variation = flat["label"], flat["variation"]
    head = label > 0
    f, R1, M0 = (np.zeros(label.size, np.float32) for _ in range(3))
    for value, tissue_f, tissue_R1, tissue_M0 in TISSUES:
        where = label == value
        f[where] = tissue_f * (1.0 + 0.15 * variation[where])
        R1[where] = tissue_R1 * (1.0 + 0.1 * variation[where])
        M0[where] = tissue_M0 * (1.0 - 0.05 * variation[where])
    b1 = (flat["b1"] + B1_NOISE * noise(label.size)).astype(np.float32)

    def spgr(prefix):
        """Unsaturated spoiled gradient echo of the scan with these keys."""
        flip = np.deg2rad(PROTOCOL[f"{prefix}flip_angle_deg"]) * b1[head]
        E1 = np.exp(-PROTOCOL[f"{prefix}TR"] * R1[head])
        signal = np.zeros(label.size, np.float32)
        signal[head] = M0[head] * np.sin(flip) * (1 - E1) / (1 - np.cos(flip) * E1)
        return signal

    # The reference (the MT-weighted scan without saturation), the ratio the
    # model predicts, and the PD- and T1-weighted scans of the chain.
    ref = spgr("")
    mt = np.zeros(label.size, np.float32)
    mt[head] = ref[head] * predicted_ratio_map(
        f[head].astype(np.float64),
        R1[head].astype(np.float64),
        b1[head].astype(np.float64),
        parameters,
    )
    scale = SIGNAL_MAX / 0.08  # the brightest reference signal is about 0.08
    sigma = NOISE * SIGNAL_MAX

    def rician(signal):
        real = signal * scale + sigma * noise(signal.size)
        imaginary = sigma * noise(signal.size)
        return np.rint(np.hypot(real, imaginary)).astype(np.int16)

    noisy_R1 = R1 * (1.0 + R1_NOISE * noise(label.size))
    return {
        "mt": rician(mt),
        "ref": rician(ref),
        "pdw": rician(spgr("pdw_")),
        "t1w": rician(spgr("t1w_")),
        "r1": np.where(head, noisy_R1, 0.0),
        "b1": b1,
        "truth_f": f,
    }


def write(directory, shape=(176, 240, 256), seed=0, level=6):
    import nibabel

    from tavni.mt_map.io.run_writer import OutputWriter

    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "protocol.json").write_text(json.dumps(PROTOCOL, indent=2) + "\n")
    parameters = protocol_of(directory)
    rng = np.random.default_rng(seed)
    waves = [(*rng.uniform(1.0, 4.0, 3), rng.uniform(0, 2 * np.pi)) for _ in range(4)]
    header = nibabel.Nifti1Header()
    header.set_qform(np.eye(4), code=1)
    header.set_sform(np.eye(4), code=1)
    header.set_xyzt_units("mm")
    # The package's own writer, uncompressed, then gzip at the level asked
    # (isal's levels stop at 3).
    writers = {}
    for name, dtype in IMAGES.items():
        path = directory / f"{name}.nii"
        writers[name] = OutputWriter(path, name, path, shape, dtype, header.copy())
    step = max(1, (1 << 21) // (shape[0] * shape[1]))
    for first in range(0, shape[2], step):
        values = _planes(shape, first, min(step, shape[2] - first), rng, waves, parameters)
        for name, writer in writers.items():
            writer.write(values[name])
    for name, writer in writers.items():
        writer.finish()
        if level <= 3:
            from isal import igzip as gzip
        else:
            import gzip
        with (
            open(writer.path, "rb") as source,
            gzip.open(directory / f"{name}.nii.gz", "wb", compresslevel=level) as target,
        ):
            shutil.copyfileobj(source, target, 1 << 22)
        writer.path.unlink()
    (directory / "shape").write_text(" ".join(map(str, shape)) + "\n")
    return directory


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--shape", type=int, nargs=3, default=(176, 240, 256))
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--level", type=int, default=6, help="gzip level (default 6)")
    options = parser.parse_args()
    write(options.directory, tuple(options.shape), options.seed, options.level)


if __name__ == "__main__":
    main()
