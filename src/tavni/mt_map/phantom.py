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
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map import mpf, super_lorentzian
from tavni.mt_map import volumes as _volumes
from tavni.mt_map.volumes import Volume, VolumeError

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


# What each file of the phantom is, for its header.
DESCRIPTIONS = {
    "mt": "synthetic MT-weighted image", "ref": "synthetic reference image",
    "r1": "synthetic R1 map, 1/s", "b1": "synthetic relative transmit field",
    "truth": "true bound-pool fraction f", "labels": "0 background 1 fluid 2 GM 3 WM",
}
# Arrays alive at once per voxel while the phantom is made and written.
BYTES_PER_VOXEL = 8 * 16


def files(directory):
    """The paths write() writes in directory."""
    directory = Path(directory)
    return [directory / f"{name}.nii.gz" for name in DESCRIPTIONS] + [directory / "protocol.json"]


def write(directory, shape=(64, 64, 20), noise=0.0, seed=0, force=False):
    """Writes the phantom as NIfTI files and protocol.json into directory.

    Parameters
    ----------
    directory : path-like
        Created (with its parents) if need be.
    shape : (int, int, int)
        Voxels per axis, each at least 1; the voxels are 3 mm cubes.
    noise : float
        Gaussian noise, relative to the brightest reference voxel, >= 0.
    seed : int
        Seed of the noise, >= 0.
    force : bool
        Replace files of an earlier run (atomically); refused otherwise.

    Returns
    -------
    dict of str to ndarray
        The volumes, as ``make`` returns them.

    Raises
    ------
    VolumeError
        A bad shape, noise or seed, too little memory, existing files
        without force, or a failed write. Nothing is left behind then:
        neither files nor the directories made for them.
    """
    directory = Path(directory)
    if any(n < 1 for n in shape):
        raise VolumeError(f"the phantom needs at least one voxel per axis (got shape "
                          f"{' '.join(map(str, shape))})")
    if not (math.isfinite(noise) and noise >= 0):
        raise VolumeError(f"--noise must be a finite number >= 0 (got {noise})")
    if seed < 0:
        raise VolumeError(f"--seed must be 0 or more (got {seed})")
    voxels = math.prod(shape)
    _volumes.check_memory(voxels * BYTES_PER_VOXEL, f"a phantom of {tuple(shape)} voxels")
    if not force:
        for path in files(directory):
            if os.path.lexists(path):
                raise VolumeError(f"'{path}' exists; --force replaces it")
    made = []  # directories created here, outermost first
    missing = directory
    while not missing.exists() and missing != missing.parent:
        made.insert(0, missing)
        missing = missing.parent
    try:
        try:
            directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise VolumeError(f"cannot create '{directory}': {error.strerror}") from None
        geometry = Volume(None, affine=np.diag([3.0, 3.0, 3.0, 1.0]))  # mm
        outputs = [_volumes.Output(directory / f"{name}.nii.gz", "phantom file", None,
                                   np.uint8 if name == "labels" else np.float32, geometry,
                                   descrip)
                   for name, descrip in DESCRIPTIONS.items()]
        outputs.append(_volumes.Output(directory / "protocol.json", "phantom protocol",
                                       (json.dumps(PROTOCOL, indent=2) + "\n").encode()))
        _volumes.check_outputs(outputs, [], image=False)
        made_volumes = make(tuple(shape), noise=noise, seed=seed)
        for output in outputs[:-1]:
            output.data = made_volumes[output.path.name.split(".")[0]]
        _volumes.save_all(outputs)
    except BaseException:
        for path in reversed(made):
            try:
                path.rmdir()
            except OSError:
                pass
        raise
    return made_volumes


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
        true_mean = float(truth[where].mean()) if where.any() else math.nan
        rows.append((tissue.name, int(where.sum()), true_mean, mean,
                     int((where & (status != STATUS_SOLVED)).sum())))
    return rows
