"""A synthetic head for trying the fraction mapping without a scanner.

An ellipsoidal head: a rim of cerebrospinal fluid, cortical grey matter, a
white-matter core with two fluid-filled ventricles, and background around
it. Each tissue has a typical R1, proton density and bound-pool fraction at
3 T; the MT-weighted and reference images are what the two-pool model
predicts for them, with an optional Gaussian noise and a smooth transmit
field (B1) inhomogeneity.
"""
import json
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map import mpf, super_lorentzian
from tavni.mt_map.volumes import Volume, save_all

# A single-point fast MPF protocol: off-resonance saturation at 4 kHz.
PROTOCOL = {
    "delta_omega": 4000.0,     # Hz
    "omega_1_rms": 1500.0,     # rad/s
    "duration": 0.012,         # s
    "TR": 0.028,               # s
    "flip_angle_deg": 10.0,    # degrees
    "T2_free": 0.04,           # s
    "T2b": 12e-6,              # s
}


@dataclass(frozen=True)
class Tissue:
    label: int
    name: str
    f: float      # bound-pool fraction
    R1: float     # 1/s
    M0: float     # relative proton density


TISSUES = (
    Tissue(1, "fluid", 0.0, 0.25, 1.0),
    Tissue(2, "grey matter", 0.065, 0.72, 0.8),
    Tissue(3, "white matter", 0.14, 1.15, 0.7),
)


def labels(shape):
    """Tissue label per voxel (0 is background)."""
    grid = np.meshgrid(*(np.linspace(-1.0, 1.0, n) for n in shape), indexing="ij")
    x, y, z = grid

    def inside(cx, cy, cz, rx, ry, rz):
        return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 + ((z - cz) / rz) ** 2 <= 1.0

    label = np.zeros(shape, dtype=np.uint8)
    label[inside(0, 0, 0, 0.9, 0.75, 0.95)] = 1    # fluid around the brain
    label[inside(0, 0, 0, 0.84, 0.69, 0.88)] = 2   # cortex
    label[inside(0, 0, 0, 0.62, 0.5, 0.66)] = 3    # white matter
    for side in (-0.15, 0.15):                     # lateral ventricles
        label[inside(0.05, side, 0.0, 0.3, 0.08, 0.35)] = 1
    return label


def transmit_field(shape):
    """Relative B1: a smooth bump, 1.1 at the centre, about 0.9 at the edges."""
    grid = np.meshgrid(*(np.linspace(-1.0, 1.0, n) for n in shape), indexing="ij")
    r2 = sum(axis ** 2 for axis in grid) / len(shape)
    return 1.1 - 0.2 * r2 / r2.max()


def spoiled_gradient_echo(M0, R1, TR, flip_angle):
    """Steady-state signal of the unsaturated sequence."""
    E1 = np.exp(-TR * R1)
    return M0 * np.sin(flip_angle) * (1 - E1) / (1 - np.cos(flip_angle) * E1)


def make(shape=(64, 64, 20), noise=0.0, b1_variation=True, seed=0):
    """The phantom's volumes: dict of 'mt', 'ref', 'r1', 'b1', 'truth', 'labels'."""
    label = labels(shape)
    b1 = transmit_field(shape) if b1_variation else np.ones(shape)
    f = np.zeros(shape)
    R1 = np.zeros(shape)
    M0 = np.zeros(shape)
    for tissue in TISSUES:
        where = label == tissue.label
        f[where], R1[where], M0[where] = tissue.f, tissue.R1, tissue.M0

    p = PROTOCOL
    G = float(super_lorentzian(p["delta_omega"], p["T2b"]))
    flip = np.deg2rad(p["flip_angle_deg"]) * b1
    # The residual at a measured ratio of 0 is minus the predicted ratio.
    predicted_ratio = np.frompyfunc(
        lambda f, R1, b1, flip: -mpf.model(f, 0.0, R1, p["T2_free"], p["delta_omega"],
                                           p["omega_1_rms"] * b1, G, p["TR"],
                                           p["duration"], flip), 4, 1)
    head = label > 0
    ref = np.zeros(shape)
    mt = np.zeros(shape)
    ref[head] = spoiled_gradient_echo(M0[head], R1[head], p["TR"], flip[head])
    mt[head] = ref[head] * predicted_ratio(f[head], R1[head], b1[head], flip[head]).astype(float)
    if noise > 0:
        rng = np.random.default_rng(seed)
        scale = noise * ref.max()
        ref = ref + rng.normal(0.0, scale, shape)
        mt = mt + rng.normal(0.0, scale, shape)
    return {"mt": mt, "ref": ref, "r1": R1, "b1": b1, "truth": f, "labels": label}


def write(directory, shape=(64, 64, 20), noise=0.0, seed=0):
    """Writes the phantom as NIfTI files and protocol.json into directory."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    volumes = make(shape, noise=noise, seed=seed)
    voxel_size = 3.0  # mm
    geometry = Volume(None, affine=np.diag([voxel_size] * 3 + [1.0]))
    save_all([(directory / f"{name}.nii.gz", data,
               np.uint8 if name == "labels" else np.float32, geometry)
              for name, data in volumes.items()])
    (directory / "protocol.json").write_text(json.dumps(PROTOCOL, indent=2) + "\n")
    return volumes


def summary(labels_volume, truth, estimate, status):
    """Rows of (tissue, voxels, true mean f, estimated mean f, voxels not solved).

    The estimated mean is over the finite estimates, clipped ones included.
    """
    from tavni.mt_map import STATUS_SOLVED

    rows = []
    for tissue in TISSUES:
        where = labels_volume == tissue.label
        finite = where & np.isfinite(estimate)
        mean = float(estimate[finite].mean()) if finite.any() else math.nan
        rows.append((tissue.name, int(where.sum()), float(truth[where].mean()), mean,
                     int((where & (status != STATUS_SOLVED)).sum())))
    return rows
