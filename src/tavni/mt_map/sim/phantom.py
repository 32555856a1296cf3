"""A synthetic head for trying the whole mapping chain without a scanner.

The tissue truth (bound-pool fraction f, R1, M0) comes from partial-volume
tissue maps (``anatomy.py``: a real brain from the MNI ICBM152 template, or
nested ellipsoids where nilearn is missing); the three spoiled gradient-echo
(SPGR) scans of the single-point protocol are what the steady-state equation
and the two-pool model predict for that truth, under a smooth transmit field
B1 and a static field offset B0 as a 3 T scanner gives them, with Rician
noise at a stated SNR. Without noise, the chain (R1 and M0 from the PDw and
T1w scans, the synthetic reference, the fraction fit with B1 and B0 maps)
inverts the scans exactly.

For the command line (``mt-map phantom``, ``mt-map demo``) and the BIDS
dataset writer: :func:`make`, :func:`write`, :func:`vary`.
"""

import json
import math
import os
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np

from tavni.mt_map.io import volumes as _volumes
from tavni.mt_map.io.volumes import Volume, VolumeError
from tavni.mt_map.sim import anatomy as anatomies

__all__ = [
    "PROTOCOL",
    "Tissue",
    "TISSUES",
    "Participant",
    "TYPICAL",
    "vary",
    "Phantom",
    "tissue_parameters",
    "transmit_field",
    "static_field",
    "mt_ratio",
    "model_values",
    "rician",
    "make",
    "DESCRIPTIONS",
    "BYTES_PER_VOXEL",
    "files",
    "check_new",
    "write",
    "tissue_summary",
]

# The single-point fast protocol: three SPGR scans sharing one TR for the
# variable-flip-angle pair, the MT-weighted one with a Gaussian off-resonance
# saturation pulse at 4 kHz in every TR. Keys and units as in protocol files
# (angles in degrees, times in s, offsets and bandwidths in Hz).
PROTOCOL = {
    "pdw_flip_angle_deg": 4.0,
    "pdw_TR": 0.025,
    "t1w_flip_angle_deg": 25.0,
    "t1w_TR": 0.025,
    "flip_angle_deg": 10.0,  # MT-weighted scan
    "TR": 0.028,
    "delta_omega": 4000.0,
    "duration": 0.012,  # one pulse of 12 ms per TR
    "mt_flip_angle_deg": 560.0,
    "mt_pulse_shape": "gaussian",
    "mt_bandwidth": 250.0,
    "mt_pulses": 1,
    "T2_free": 0.04,
    "T2b": 12e-6,
}
"""The phantom's protocol, under the keys of ``protocol.PARAMETERS``."""


@dataclass(frozen=True)
class Tissue:
    """One tissue's values.

    Attributes
    ----------
    key : str
        Short name, used in file names ("wm").
    name : str
        For summaries ("white matter").
    f : float
        Bound-pool fraction, dimensionless.
    R1 : float
        Longitudinal relaxation rate, 1/s.
    M0 : float
        Equilibrium signal (proton density), relative to CSF.
    """

    key: str  # short name used in file names
    name: str
    f: float  # bound-pool fraction
    R1: float  # longitudinal relaxation rate, 1/s
    M0: float  # equilibrium signal (proton density), relative to CSF


# Typical values at 3 T: the one place to change them. The order is that of
# the anatomy's probability maps; labels count from 1 in this order.
TISSUES = (
    Tissue("wm", "white matter", 0.13, 1.2, 0.69),
    Tissue("gm", "grey matter", 0.065, 0.7, 0.80),
    Tissue("csf", "CSF", 0.0, 0.25, 1.0),
)
"""White matter, grey matter and CSF at 3 T, in the order of the anatomy's
probability maps."""
assert tuple(t.key for t in TISSUES) == anatomies.TISSUE_KEYS


@dataclass(frozen=True)
class Participant:
    """What differs between heads: tissue values and the fields' shapes.

    The transmit field is ``b1_centre_value`` at ``b1_centre`` (world mm)
    and falls off as a Gaussian with ``b1_widths`` (mm, per axis) towards
    ``b1_floor``. The static field offset is a sum of Gaussian bumps
    (centre mm, peak Hz, width mm) near the air-filled cavities: the frontal
    sinus above the nose and the ear canals.
    """

    tissues: tuple = TISSUES
    b1_centre: tuple = (0.0, -20.0, 10.0)
    b1_widths: tuple = (55.0, 70.0, 55.0)
    b1_centre_value: float = 1.2
    b1_floor: float = 0.8
    b0_sources: tuple = (
        ((0.0, 62.0, -12.0), 80.0, 20.0),  # frontal sinus
        ((-55.0, -20.0, -40.0), 30.0, 15.0),  # ear canals
        ((55.0, -20.0, -40.0), 30.0, 15.0),
    )
    b0_gradient: tuple = (0.0, 0.0, 0.1)  # residual linear shim, Hz/mm


TYPICAL = Participant()
"""The head every participant of a dataset is varied from."""


def vary(index, seed=0, base=TYPICAL):
    """A slightly different head for participant ``index`` of a dataset.

    Tissue values change by about 3 % (f, R1, M0 each, independently), the
    transmit field's centre moves by about 5 mm and its peak by about 0.02,
    the B0 bumps scale by about 15 % and move by about 3 mm. The same
    (index, seed) gives the same participant.

    Parameters
    ----------
    index : int
        Participant number, from 0.
    seed : int
        Seed of the dataset.
    base : Participant
        The head varied.

    Returns
    -------
    Participant
    """
    rng = np.random.default_rng([seed, index, 0x7A])

    def jitter(value, relative):
        return float(value * (1.0 + relative * rng.standard_normal()))

    tissues = tuple(
        replace(t, f=jitter(t.f, 0.03), R1=jitter(t.R1, 0.03), M0=jitter(t.M0, 0.03))
        for t in base.tissues
    )
    b0_sources = tuple(
        (
            tuple(float(c) for c in np.add(centre, 3.0 * rng.standard_normal(3))),
            jitter(peak, 0.15),
            width,
        )
        for centre, peak, width in base.b0_sources
    )
    return replace(
        base,
        tissues=tissues,
        b1_centre=tuple(float(c) for c in np.add(base.b1_centre, 5.0 * rng.standard_normal(3))),
        b1_centre_value=float(base.b1_centre_value + 0.02 * rng.standard_normal()),
        b0_sources=b0_sources,
    )


@dataclass
class Phantom:
    """The phantom's volumes by file stem, their geometry and protocol."""

    volumes: dict
    affine: np.ndarray
    protocol: dict
    description: str
    noise_sigma: float = 0.0  # standard deviation of each channel's noise
    snr: float = None  # the SNR it was made for (None: no noise)
    notes: list = field(default_factory=list)

    def noise(self):
        """A few words on the noise, for summaries."""
        if not self.noise_sigma > 0:
            return "no noise"
        return f"Rician noise at SNR {self.snr:g} (sigma {self.noise_sigma:.3g})"


def tissue_parameters(probabilities, tissues=TISSUES):
    """Per-voxel f, R1 and M0 of a partial-volume mixture.

    M0 adds up over the tissues present, Σ p_t M0_t, so a voxel half filled
    with tissue gives half the signal. f and R1 are the tissues' values
    weighted by their share of the tissue in the voxel, Σ p_t x_t / Σ p_t.
    For R1 this is the fast-exchange limit: water moves between the
    compartments of one voxel much faster than it relaxes, so the voxel
    relaxes as one pool at the mean rate (averaging T1 instead would
    describe compartments that never exchange). Voxels without tissue get 0.

    Parameters
    ----------
    probabilities : ndarray, shape (len(tissues), ...)
        Tissue probabilities, in the order of ``tissues``.
    tissues : sequence of Tissue

    Returns
    -------
    f, R1 (1/s), M0 : ndarray
    """
    total = probabilities.sum(axis=0, dtype=np.float64)
    has_tissue = total > 0
    share = np.divide(probabilities, total, out=np.zeros(probabilities.shape), where=has_tissue)

    def mixed(values, weights):
        return sum(value * weight for value, weight in zip(values, weights))

    f = mixed([t.f for t in tissues], share)
    R1 = mixed([t.R1 for t in tissues], share)
    M0 = mixed([t.M0 for t in tissues], probabilities.astype(np.float64))
    return f, R1, M0


def transmit_field(x, y, z, participant=TYPICAL):
    """Relative B1 (actual / nominal flip angle) at world positions.

    Highest at the head's centre, as the standing wave at 3 T makes it.

    Parameters
    ----------
    x, y, z : numpy.ndarray
        World coordinates, mm, broadcasting together.
    participant : Participant
        The field's shape.

    Returns
    -------
    numpy.ndarray
    """
    p = participant
    r2 = sum(((c - c0) / w) ** 2 for c, c0, w in zip((x, y, z), p.b1_centre, p.b1_widths))
    return p.b1_floor + (p.b1_centre_value - p.b1_floor) * np.exp(-r2)


def static_field(x, y, z, participant=TYPICAL):
    """Static field offset B0 at world positions.

    Parameters
    ----------
    x, y, z : numpy.ndarray
        World coordinates, mm, broadcasting together.
    participant : Participant
        The bumps and the linear term.

    Returns
    -------
    numpy.ndarray
        B0 in Hz.
    """
    p = participant
    b0 = sum(g * c for g, c in zip(p.b0_gradient, (x, y, z)))
    for centre, peak, width in p.b0_sources:
        r2 = sum((c - c0) ** 2 for c, c0 in zip((x, y, z), centre))
        b0 = b0 + peak * np.exp(-r2 / (2.0 * width**2))
    return b0


def mt_ratio(f, R1, b1, G, offset, values):
    """S_mt / S_ref that the two-pool model predicts per voxel.

    B1 scales the excitation and the saturation amplitude; B0 shifts the
    saturation offset, and the lineshape value is taken at the shifted
    offset, the way the chain takes it.

    Parameters
    ----------
    f, R1 (1/s), b1, G (s), offset (Hz) : ndarray
        Per voxel, one shape; G is the lineshape at the voxel's offset.
    values : dict
        The protocol as the model takes it (``protocol.model_values``).

    Returns
    -------
    numpy.ndarray
        S_mt / S_ref, dimensionless (``maps.predicted_ratio``).
    """
    from tavni.mt_map.maps import predicted_ratio

    v = values
    return predicted_ratio(
        f,
        R1,
        v["T2_free"],
        offset,
        v["omega_1_rms"] * b1,
        G,
        v["TR"],
        v["duration"],
        v["flip_angle"] * b1,
    )


def model_values(protocol):
    """The phantom's protocol as the model takes it.

    The chain's own conversion (``protocol.model_values``), so that both see
    the same numbers.

    Parameters
    ----------
    protocol : dict
        Keys of ``PROTOCOL``.

    Returns
    -------
    dict of str to float
        Angles in radians, omega_1_rms (rad/s) from the MT pulse, G (s) at
        the nominal offset.

    Raises
    ------
    protocol.ParameterError
        Values the model cannot take.
    """
    from tavni.mt_map import protocol as protocols

    given = protocols.as_given(protocol, ())
    protocols.validate(given)  # raises for values the model cannot take
    return protocols.model_values(given)


def rician(signal, sigma, rng):
    """Rician magnitude: ``abs(signal + n_re + i n_im)``.

    Parameters
    ----------
    signal : numpy.ndarray
        The noiseless magnitude.
    sigma : float
        Standard deviation of the Gaussian noise n_re and n_im of each
        channel, independent, in the signal's unit.
    rng : numpy.random.Generator

    Returns
    -------
    numpy.ndarray
    """
    real = signal + rng.normal(0.0, sigma, signal.shape)
    imaginary = rng.normal(0.0, sigma, signal.shape)
    return np.hypot(real, imaginary)


def make(
    voxel_size=2.0,
    *,
    anatomy="auto",
    shape=None,
    snr=None,
    seed=0,
    participant=TYPICAL,
    b1_variation=True,
    b0_variation=True,
    protocol=None,
):
    """The phantom's scans, fields, truth and tissue maps.

    Parameters
    ----------
    voxel_size : float
        Voxel edge in mm (the brain comes at 1 mm; coarser is averaged).
    anatomy : {"auto", "brain", "geometric"}
        "auto" takes the brain when nilearn is installed, else the
        geometric head (and says so in ``notes``).
    shape : tuple of 3 int, optional
        Voxels per axis of a geometric head filling the grid (implies
        ``anatomy="geometric"``); for tiny test volumes.
    snr : float, optional
        Signal-to-noise ratio: the mean white-matter signal of the
        noiseless PDw scan over the noise standard deviation of each
        channel. Every scan gets its own noise of that one standard
        deviation, as one receiver gives it. None: no noise.
    seed : int
        Seed of the noise.
    participant : Participant
        Tissue values and field shapes (see :func:`vary`).
    b1_variation, b0_variation : bool
        False gives a uniform B1 of 1 or a B0 of 0 Hz.
    protocol : dict, optional
        Protocol keys overriding those of ``PROTOCOL``.

    Returns
    -------
    Phantom
        ``volumes``: "pdw", "t1w", "mtw" (the three scans), "ref" (the MT
        scan without saturation), "b1" (relative), "b0" (Hz), "truth_f",
        "truth_r1" (1/s), "truth_m0", "labels" (uint8: 0 background, then
        1, 2, 3 for the tissues of ``TISSUES`` where they fill more than
        half the voxel), "mask" (uint8: 1 where the voxel is at least
        half tissue) and "tissue_wm", "tissue_gm", "tissue_csf"
        (probabilities).

    Raises
    ------
    ValueError
        A voxel size, SNR, seed, grid or anatomy the phantom cannot have
        (the brain without nilearn).
    volumes.VolumeError
        Not enough memory for the grid.
    """
    notes = []
    if snr is not None and not snr > 0:
        raise ValueError(f"the SNR must be a positive number (got {snr})")
    if seed < 0:
        raise ValueError(f"the seed must be 0 or more (got {seed})")
    if shape is not None:
        anatomy = "geometric"
    if anatomy == "brain" and not anatomies.brain_available():
        raise ValueError(
            "the brain needs nilearn, which ships the MNI template: "
            "pip install 'tavni-mt-map[anatomy]'"
        )
    if anatomy == "auto":
        if anatomies.brain_available():
            anatomy = "brain"
        else:
            anatomy = "geometric"
            notes.append(
                "nilearn is not installed: geometric head instead of the MNI brain "
                "(pip install 'tavni-mt-map[anatomy]')"
            )
    if anatomy not in ("brain", "geometric"):
        raise ValueError(f"anatomy must be 'auto', 'brain' or 'geometric', not {anatomy!r}")
    voxels = math.prod(shape if shape is not None else anatomies.grid_shape(anatomy, voxel_size))
    _volumes.check_memory(voxels * BYTES_PER_VOXEL, f"a phantom of {voxels} voxels")
    if anatomy == "brain":
        tissue_maps = anatomies.brain(voxel_size)
    else:
        tissue_maps = anatomies.geometric(shape, voxel_size)
    p = dict(PROTOCOL, **(protocol or {}))
    if protocol and "omega_1_rms" in protocol:  # the amplitude instead of the pulse
        for key in ("mt_flip_angle_deg", "mt_pulse_shape", "mt_bandwidth", "mt_pulses"):
            p.pop(key, None)
    values = model_values(p)
    probabilities = tissue_maps.probabilities
    grid = probabilities.shape[1:]
    f, R1, M0 = tissue_parameters(probabilities, participant.tissues)

    x, y, z = anatomies.world_coordinates(tissue_maps.affine, grid)
    b1 = transmit_field(x, y, z, participant) if b1_variation else np.ones(grid)
    b0 = static_field(x, y, z, participant) if b0_variation else np.zeros(grid)
    # The maps are stored in single precision; the scans are made from the
    # stored values, so that the chain reading them back sees the same field.
    b1 = np.broadcast_to(b1, grid).astype(np.float32).astype(np.float64)
    b0 = np.broadcast_to(b0, grid).astype(np.float32).astype(np.float64)

    from tavni.mt_map.maps import lineshape_at_offsets
    from tavni.mt_map.relaxometry import spgr_signal

    # The lineshape at every voxel's shifted offset, over the whole grid as
    # the chain computes it from the B0 map.
    offset = values["delta_omega"] + b0
    G = lineshape_at_offsets(offset, p["T2b"])
    head = M0 > 0
    scans = {name: np.zeros(grid) for name in ("pdw", "t1w", "mtw", "ref")}
    for name, flip, TR in (
        ("pdw", "pdw_flip_angle", "pdw_TR"),
        ("t1w", "t1w_flip_angle", "t1w_TR"),
        ("ref", "flip_angle", "TR"),
    ):
        scans[name][head] = spgr_signal(M0[head], R1[head], values[flip], values[TR], b1=b1[head])
    scans["mtw"][head] = scans["ref"][head] * mt_ratio(
        f[head], R1[head], b1[head], G[head], offset[head], values
    )

    sigma = 0.0
    if snr is not None:
        white = probabilities[0] > 0.9
        reference = scans["pdw"][white] if white.any() else scans["pdw"][head]
        sigma = float(reference.mean()) / snr
        rng = np.random.default_rng([seed, 0x5EED])
        for name in scans:
            scans[name] = rician(scans[name], sigma, rng)

    total = probabilities.sum(axis=0)
    labels = np.where(probabilities.max(axis=0) > 0.5, probabilities.argmax(axis=0) + 1, 0)
    labels[total <= 0] = 0
    volumes = dict(
        scans,
        b1=b1,
        b0=b0,
        truth_f=f,
        truth_r1=R1,
        truth_m0=M0,
        labels=labels.astype(np.uint8),
        mask=(total >= 0.5).astype(np.uint8),
    )
    for tissue, probability in zip(TISSUES, probabilities):
        volumes[f"tissue_{tissue.key}"] = probability
    return Phantom(volumes, tissue_maps.affine, p, tissue_maps.description, sigma, snr, notes)


# What each file of the phantom is, for its header (at most 80 characters).
DESCRIPTIONS = {
    "pdw": "synthetic PD-weighted SPGR scan",
    "t1w": "synthetic T1-weighted SPGR scan",
    "mtw": "synthetic MT-weighted SPGR scan",
    "ref": "synthetic MT scan without saturation",
    "b1": "synthetic relative transmit field",
    "b0": "synthetic static field offset, Hz",
    "truth_f": "true bound-pool fraction f",
    "truth_r1": "true R1, 1/s",
    "truth_m0": "true M0 (equilibrium signal)",
    "labels": "0 background 1 WM 2 GM 3 CSF (largest tissue share > 0.5)",
    "mask": "brain mask: voxels at least half tissue",
    "tissue_wm": "white-matter probability",
    "tissue_gm": "grey-matter probability",
    "tissue_csf": "CSF probability",
}
"""Each file of the phantom by stem, with its header's description (at most
80 characters)."""
BYTES_PER_VOXEL = 8 * 24
"""Bytes of the arrays alive at once per voxel while the phantom is made
and written."""


def files(directory):
    """The paths :func:`write` writes in directory.

    Parameters
    ----------
    directory : path-like

    Returns
    -------
    list of pathlib.Path
        One .nii.gz per key of ``DESCRIPTIONS``, then protocol.json.
    """
    directory = Path(directory)
    return [directory / f"{name}.nii.gz" for name in DESCRIPTIONS] + [directory / "protocol.json"]


def check_new(paths, force=False):
    """Refuses to replace existing files unless force (checked before any work).

    Parameters
    ----------
    paths : iterable of path-like
    force : bool

    Raises
    ------
    VolumeError
        The first path that exists, without force.
    """
    if not force:
        for path in paths:
            if os.path.lexists(path):
                raise VolumeError(f"'{path}' exists; force=True replaces it")


def write(directory, phantom, force=False):
    """Writes the phantom's volumes (float32 NIfTI; labels and mask uint8) and
    protocol.json into directory, all or nothing.

    Parameters
    ----------
    directory : path-like
        Created (with its parents) if need be.
    phantom : Phantom
    force : bool
        Replace files of an earlier run (atomically); refused otherwise.

    Returns
    -------
    dict of str to Path
        The paths written, by file stem ("protocol" for protocol.json).

    Raises
    ------
    VolumeError
        Existing files without force, or a failed write. Nothing is left
        behind then: neither files nor the directories made for them.
    """
    directory = Path(directory)
    paths = files(directory)
    check_new(paths, force)
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
        geometry = Volume(None, affine=phantom.affine)
        outputs = [
            _volumes.Output(
                path,
                "phantom file",
                phantom.volumes[name],
                phantom.volumes[name].dtype if name in ("labels", "mask") else np.float32,
                geometry,
                DESCRIPTIONS[name],
            )
            for name, path in zip(DESCRIPTIONS, paths)
        ]
        outputs.append(
            _volumes.Output(
                paths[-1],
                "phantom protocol",
                (json.dumps(phantom.protocol, indent=2) + "\n").encode(),
            )
        )
        _volumes.check_outputs(outputs, [], image=False)
        _volumes.save_all(outputs)
    except BaseException:
        for path in reversed(made):
            try:
                path.rmdir()
            except OSError:
                pass
        raise
    written = dict(zip(DESCRIPTIONS, paths))
    written["protocol"] = paths[-1]
    return written


def tissue_summary(phantom, estimates, threshold=0.9):
    """Per tissue: voxels above ``threshold`` probability, and for each
    (truth name, estimate) pair the true and estimated means there.

    Parameters
    ----------
    phantom : Phantom
    estimates : dict
        Truth volume name (e.g. "truth_f") -> estimated map of the same
        shape; the mean is over its finite voxels.

    Returns
    -------
    list of (Tissue, voxels, {truth name: (true mean, estimated mean, finite voxels)})
    """
    rows = []
    for tissue in TISSUES:
        where = phantom.volumes[f"tissue_{tissue.key}"] > threshold
        means = {}
        for name, estimate in estimates.items():
            finite = where & np.isfinite(estimate)
            means[name] = (
                float(phantom.volumes[name][where].mean()) if where.any() else math.nan,
                float(estimate[finite].mean()) if finite.any() else math.nan,
                int(finite.sum()),
            )
        rows.append((tissue, int(where.sum()), means))
    return rows
