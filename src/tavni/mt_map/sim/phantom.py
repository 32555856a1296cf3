"""A synthetic head for trying the whole mapping chain without a scanner.

The tissue truth (bound-pool fraction f, R1, M0) comes from partial-volume
tissue maps (``anatomy.py``: a real brain from the MNI ICBM152 template, or
nested ellipsoids where nilearn is missing); the three spoiled gradient-echo
(SPGR) scans of the single-point protocol are what the steady-state equation
and the two-pool model predict for that truth, under a smooth transmit field
B1 and a static field offset B0 as a 3 T scanner gives them, with Rician
noise at a stated SNR. On request each scan is read out at several echo
times, decaying with the tissues' R2* (:func:`echo_times`). Without noise, the chain (R1 and M0 from the PDw and
T1w scans, the synthetic reference, the fraction fit with B1 and B0 maps)
inverts the scans exactly.

The scanner's cases come on request: a skull and scalp around the brain,
head motion between the scans, the transmit field on its own grid and as the
images of a B1 mapping sequence, and a per-scan intensity scale
(``acquisition.py``).

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
from tavni.mt_map.sim import acquisition
from tavni.mt_map.sim import anatomy as anatomies
from tavni.mt_map.sim.acquisition import rician

__all__ = [
    "PROTOCOL",
    "ECHO_SPACING",
    "Tissue",
    "TISSUES",
    "SHELL_TISSUES",
    "Participant",
    "TYPICAL",
    "vary",
    "Phantom",
    "tissue_parameters",
    "r2star",
    "echo_times",
    "echo_name",
    "transmit_field",
    "static_field",
    "mt_ratio",
    "model_values",
    "rician",
    "make",
    "DESCRIPTIONS",
    "MORE_DESCRIPTIONS",
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

ECHO_SPACING = 0.0023
"""Time (s) from the excitation to the first echo and between echoes of a
multi-echo readout: echo k (from 1) at k * ECHO_SPACING."""


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
    R2star : float
        Effective transverse relaxation rate R2* at 3 T, 1/s: how fast the
        gradient echo's signal decays with the echo time.
    """

    key: str  # short name used in file names
    name: str
    f: float  # bound-pool fraction
    R1: float  # longitudinal relaxation rate, 1/s
    M0: float  # equilibrium signal (proton density), relative to CSF
    R2star: float = 0.0  # effective transverse relaxation rate, 1/s


# Typical values at 3 T: the one place to change them. The order is that of
# the anatomy's probability maps; labels count from 1 in this order.
TISSUES = (
    Tissue("wm", "white matter", 0.13, 1.2, 0.69, 20.0),
    Tissue("gm", "grey matter", 0.065, 0.7, 0.80, 15.0),
    Tissue("csf", "CSF", 0.0, 0.25, 1.0, 2.0),
)
"""White matter, grey matter and CSF at 3 T, in the order of the anatomy's
probability maps."""
assert tuple(t.key for t in TISSUES) == anatomies.TISSUE_KEYS

# Bone has almost no signal in a gradient echo (its T2* is far below the echo
# time), which a small effective M0 stands for: about 3 % of white matter's
# signal in the PD- and T1-weighted scans. The scalp is mostly fat: short T1,
# high proton density, little bound pool, bright in every SPGR scan.
# R2* at 3 T: what signal the skull gives comes from the fatty marrow of the
# diploe, which the trabecular bone around it dephases quickly (measured
# R2* of trabecular marrow: roughly 50-150 /s; 80 /s here). The scalp's fat
# and muscle decay at roughly 25-40 /s (30 /s here); the oscillation of the
# fat signal with the echo time (its several chemical shifts) is left out.
SHELL_TISSUES = (
    Tissue("skull", "skull", 0.05, 1.5, 0.02, 80.0),
    Tissue("scalp", "scalp", 0.03, 3.0, 0.9, 30.0),
)
"""Skull and scalp, the shells of a head around the brain (labels 4, 5)."""
assert tuple(t.key for t in SHELL_TISSUES) == anatomies.HEAD_KEYS


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
    shell: tuple = SHELL_TISSUES
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
    b1_centre = tuple(float(c) for c in np.add(base.b1_centre, 5.0 * rng.standard_normal(3)))
    b1_centre_value = float(base.b1_centre_value + 0.02 * rng.standard_normal())
    # Drawn last, so that the brain's values stay those of earlier versions.
    shell = tuple(
        replace(t, f=jitter(t.f, 0.03), R1=jitter(t.R1, 0.03), M0=jitter(t.M0, 0.03))
        for t in base.shell
    )
    # R2* after everything else, for the same reason.
    tissues, shell = (
        tuple(replace(t, R2star=jitter(t.R2star, 0.05)) for t in group)
        for group in (tissues, shell)
    )
    return replace(
        base,
        tissues=tissues,
        shell=shell,
        b1_centre=b1_centre,
        b1_centre_value=b1_centre_value,
        b0_sources=b0_sources,
    )


@dataclass
class Phantom:
    """The phantom's volumes by file stem, their geometry and protocol.

    ``affine`` is every volume's grid but those in ``affines`` (a scan the
    scanner followed the head for, the B1 sequence's images). ``metadata``
    holds what the acquisition adds, each written as a JSON file of its
    key's name: "motion" (``acquisition.motions``), "b1_scans" (file stem
    to sidecar fields), "scale" (scan to factor), "echoes" (scan to its
    echo times in s).
    """

    volumes: dict
    affine: np.ndarray
    protocol: dict
    description: str
    noise_sigma: float = 0.0  # standard deviation of each channel's noise
    snr: float = None  # the SNR it was made for (None: no noise)
    notes: list = field(default_factory=list)
    affines: dict = field(default_factory=dict)
    metadata: dict = field(default_factory=dict)

    def affine_of(self, name):
        """The grid (4 x 4, voxel indices to world mm) of one volume."""
        return self.affines.get(name, self.affine)

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
    share = _tissue_shares(probabilities)

    def mixed(values, weights):
        return sum(value * weight for value, weight in zip(values, weights))

    f = mixed([t.f for t in tissues], share)
    R1 = mixed([t.R1 for t in tissues], share)
    M0 = mixed([t.M0 for t in tissues], probabilities.astype(np.float64))
    return f, R1, M0


def r2star(probabilities, tissues=TISSUES):
    """Per-voxel R2* of a partial-volume mixture.

    The tissues' rates weighted by their share of the tissue in the voxel,
    Σ p_t R2*_t / Σ p_t, as R1 is in :func:`tissue_parameters`. A voxel
    shared by tissues would really decay as a sum of exponentials, one per
    tissue; with one mixed rate every voxel decays mono-exponentially,
    S(TE) = S(0) exp(-R2* TE), so the map returned is exactly the rate a
    fit of the noiseless echoes finds. Voxels without tissue get 0.

    Parameters
    ----------
    probabilities : ndarray, shape (len(tissues), ...)
        Tissue probabilities, in the order of ``tissues``.
    tissues : sequence of Tissue

    Returns
    -------
    ndarray
        R2*, 1/s.
    """
    return sum(t.R2star * weight for t, weight in zip(tissues, _tissue_shares(probabilities)))


def _tissue_shares(probabilities):
    """Each tissue's share of the tissue in a voxel (0 where there is none)."""
    total = probabilities.sum(axis=0, dtype=np.float64)
    return np.divide(probabilities, total, out=np.zeros(probabilities.shape), where=total > 0)


def echo_times(echoes):
    """The echo times of each scan's readout.

    Parameters
    ----------
    echoes : int or (int, int, int)
        Echoes of every scan, or of the PDw, T1w and MTw scans; each at
        least 1.

    Returns
    -------
    dict
        "pdw", "t1w", "mtw" -> list of echo times in s, echo k (from 1) at
        k * ``ECHO_SPACING``.

    Raises
    ------
    ValueError
        A count below 1, or not three counts.
    """
    counts = (echoes,) * 3 if isinstance(echoes, (int, np.integer)) else tuple(echoes)
    if len(counts) != 3 or not all(
        isinstance(n, (int, np.integer)) and not isinstance(n, bool) and n >= 1 for n in counts
    ):
        raise ValueError(f"the echoes must be a whole number of at least 1 per scan (got {echoes})")
    return {
        scan: [round(ECHO_SPACING * k, 10) for k in range(1, int(n) + 1)]
        for scan, n in zip(("pdw", "t1w", "mtw"), counts)
    }


def echo_name(scan, echo):
    """The volume (and file stem) of one echo of a scan: "pdw_echo-1".

    Parameters
    ----------
    scan : {"pdw", "t1w", "mtw"}
    echo : int
        From 1.

    Returns
    -------
    str
    """
    return f"{scan}_echo-{echo}"


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
    head=False,
    motion=None,
    auto_align=False,
    b1_voxel_size=None,
    b1_scans="map",
    scale=None,
    echoes=None,
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
    head : bool
        Wrap the brain in a skull and a scalp (``SHELL_TISSUES``; the
        geometric grid grows to hold them).
    motion : (float, float), optional
        (degrees, mm): the head moved between the MT-weighted scan and the
        PD- and T1-weighted ones (``acquisition.MOTION`` says how), turning
        about the brain's centre. The transmit and static fields follow the
        head (the head's own dielectric and susceptibility shape them); the
        truth, fields and mask stay in the MT-weighted scan's pose.
    auto_align : bool
        With motion: the scanner followed the head, so the moved scans hold
        the unmoved head's voxels under an affine moved with the head
        (``Phantom.affines``). Without it the affines are equal and the
        head moved inside the field of view (linear resampling).
    b1_voxel_size : float, optional
        The transmit field on its own grid (``acquisition.b1_grid``) of
        voxels of this edge (mm), sampled from the field at its voxel
        centres. None: on the scans' grid.
    b1_scans : {"map", "dam", "afi", "tfl"}
        Besides the relative map "b1", the images of a B1 mapping sequence
        on the B1 grid (``acquisition.b1_scan_images``), with Rician noise
        at ``snr``.
    scale : (float, float, float), optional
        Factors the PDw, T1w and MTw scans (and ref, with the MTw one) are
        multiplied by after the noise, as a vendor's per-series scaling
        does. None: 1 each.
    echoes : int or (int, int, int), optional
        Read each scan out at this many echoes (or the PDw, T1w and MTw
        scans at theirs), echo k at k * ``ECHO_SPACING``:
        S(TE) = S(0) exp(-R2* TE) with the voxel's R2* (:func:`r2star`),
        each echo with its own noise of the one standard deviation (so the
        SNR falls with the echo time). None: one image per scan without
        decay, as the single-echo protocol is modelled.

    Returns
    -------
    Phantom
        ``volumes``: "pdw", "t1w", "mtw" (the three scans), "ref" (the MT
        scan without saturation), "b1" (relative), "b0" (Hz), "truth_f",
        "truth_r1" (1/s), "truth_m0", "labels" (uint8: 0 background, then
        1, 2, 3 for the tissues of ``TISSUES`` where they fill more than
        half the voxel, 4, 5 for skull and scalp), "mask" (uint8: 1 where
        the voxel is at least half tissue) and "tissue_wm", "tissue_gm",
        "tissue_csf" (probabilities); with a head also "tissue_skull",
        "tissue_scalp" and "brain_mask" (uint8: at least half white or grey
        matter or CSF); with B1 scans their images ("b1_dam_flip1", ...).
        With echoes, "pdw_echo-1", "pdw_echo-2", ... (``echo_name``) stand
        for "pdw", "t1w" and "mtw", "truth_r2star" (1/s) joins the truth
        and ``metadata["echoes"]`` holds the echo times (``echo_times``).

    Raises
    ------
    ValueError
        A voxel size, SNR, seed, grid, anatomy, motion, B1 grid or scale
        the phantom cannot have (the brain without nilearn).
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
    _check_acquisition(motion, b1_voxel_size, b1_scans, scale)
    times = None if echoes is None else echo_times(echoes)
    voxels = math.prod(
        shape if shape is not None else anatomies.grid_shape(anatomy, voxel_size, head)
    )
    # Each echo beyond the three scans is one more double-precision volume.
    extra = 0 if times is None else 8 * (sum(map(len, times.values())) - 3 + 1)
    _volumes.check_memory(voxels * (BYTES_PER_VOXEL + extra), f"a phantom of {voxels} voxels")
    if anatomy == "brain":
        tissue_maps = anatomies.brain(voxel_size, head=head)
    else:
        tissue_maps = anatomies.geometric(shape, voxel_size, head=head)
    p = dict(PROTOCOL, **(protocol or {}))
    if protocol and "omega_1_rms" in protocol:  # the amplitude instead of the pulse
        for key in ("mt_flip_angle_deg", "mt_pulse_shape", "mt_bandwidth", "mt_pulses"):
            p.pop(key, None)
    values = model_values(p)
    probabilities = tissue_maps.probabilities
    grid = probabilities.shape[1:]
    tissues = participant.tissues + (participant.shell if head else ())
    f, R1, M0 = tissue_parameters(probabilities, tissues)

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
    has_tissue = M0 > 0
    scans = {name: np.zeros(grid) for name in ("pdw", "t1w", "mtw", "ref")}
    for name, flip, TR in (
        ("pdw", "pdw_flip_angle", "pdw_TR"),
        ("t1w", "t1w_flip_angle", "t1w_TR"),
        ("ref", "flip_angle", "TR"),
    ):
        scans[name][has_tissue] = spgr_signal(
            M0[has_tissue], R1[has_tissue], values[flip], values[TR], b1=b1[has_tissue]
        )
    scans["mtw"][has_tissue] = scans["ref"][has_tissue] * mt_ratio(
        f[has_tissue],
        R1[has_tissue],
        b1[has_tissue],
        G[has_tissue],
        offset[has_tissue],
        values,
    )

    sigma = 0.0
    white = probabilities[0] > 0.9
    if snr is not None:
        # The noise is set against the PDw scan at TE = 0, with or without
        # echoes, so that one SNR gives one noise level either way.
        reference = scans["pdw"][white] if white.any() else scans["pdw"][has_tissue]
        sigma = float(reference.mean()) / snr
    affine, affines, metadata = tissue_maps.affine, {}, {}
    # The volumes each scan is written as: itself, or its echoes.
    series = {name: [name] for name in scans}
    R2star = None
    if times is not None:
        R2star = r2star(probabilities, tissues)
        metadata["echoes"] = times
        for name, scan_times in times.items():
            S0 = scans.pop(name)
            series[name] = [echo_name(name, k) for k in range(1, len(scan_times) + 1)]
            for echo, TE in zip(series[name], scan_times):
                scans[echo] = S0 * np.exp(-R2star * TE)
        scans["ref"] = scans.pop("ref")  # the echoes in scan order, then ref
    if motion is not None:
        total = probabilities[:3].sum(axis=0, dtype=np.float64)
        x, y, z = anatomies.world_coordinates(affine, grid)
        centre = [float((total * c).sum() / total.sum()) for c in (x, y, z)]
        metadata["motion"] = acquisition.motions(*motion, centre, auto_align)
        for scan, moving in metadata["motion"].items():
            for name in series[scan]:  # every echo of the scan, the head as it lay then
                if auto_align:  # the field of view moved with the head
                    affines[name] = np.asarray(moving["matrix"]) @ affine
                else:
                    scans[name] = acquisition.moved(scans[name], affine, moving["matrix"])
    if snr is not None:
        rng = np.random.default_rng([seed, 0x5EED])
        for name in scans:
            scans[name] = rician(scans[name], sigma, rng)
    if scale is not None:
        metadata["scale"] = dict(zip(("pdw", "t1w", "mtw"), (float(s) for s in scale)))
        for scan, factor in dict(metadata["scale"], ref=metadata["scale"]["mtw"]).items():
            for name in series[scan]:
                scans[name] = scans[name] * factor

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
        **({} if R2star is None else {"truth_r2star": R2star}),
        labels=labels.astype(np.uint8),
        mask=(total >= 0.5).astype(np.uint8),
    )
    for tissue, probability in zip(tissues, probabilities):
        volumes[f"tissue_{tissue.key}"] = probability
    if head:
        volumes["brain_mask"] = (probabilities[:3].sum(axis=0) >= 0.5).astype(np.uint8)
    if b1_voxel_size is not None or b1_scans != "map":
        b1_affine, b1_shape = affine, grid
        if b1_voxel_size is not None:
            b1_affine, b1_shape = acquisition.b1_grid(affine, grid, b1_voxel_size)
            x, y, z = anatomies.world_coordinates(b1_affine, b1_shape)
            field = transmit_field(x, y, z, participant) if b1_variation else 1.0
            volumes["b1"] = np.broadcast_to(field, b1_shape).astype(np.float32)
            affines["b1"] = b1_affine
        if b1_scans != "map":
            on_grid = np.stack(
                [acquisition.resample(m, affine, b1_affine, b1_shape) for m in probabilities]
                if b1_voxel_size is not None
                else probabilities
            )
            _, b1_R1, b1_M0 = tissue_parameters(on_grid, tissues)
            images = acquisition.b1_scan_images(
                b1_scans,
                b1_M0,
                b1_R1,
                volumes["b1"].astype(np.float64),
                snr,
                np.random.default_rng([seed, 0xB1]),
                on_grid[0] > 0.9,
            )
            metadata["b1_scans"] = {}
            for stem, (image, fields) in images.items():
                volumes[stem] = image
                metadata["b1_scans"][stem] = fields
                if b1_voxel_size is not None:
                    affines[stem] = b1_affine
    return Phantom(
        volumes,
        affine,
        p,
        tissue_maps.description,
        sigma,
        snr,
        notes,
        affines,
        metadata,
    )


def _check_acquisition(motion, b1_voxel_size, b1_scans, scale):
    """Refuses acquisition settings the phantom cannot have (ValueError)."""
    if motion is not None and not (
        len(motion) == 2 and all(math.isfinite(v) for v in motion) and abs(motion[0]) < 90
    ):
        raise ValueError(
            f"the motion must be an angle below 90 degrees and a distance in mm (got {motion})"
        )
    if b1_voxel_size is not None and not (b1_voxel_size > 0 and math.isfinite(b1_voxel_size)):
        raise ValueError(f"the B1 voxel size must be a positive number of mm (got {b1_voxel_size})")
    if b1_scans not in acquisition.B1_SCANS:
        raise ValueError(
            f"the B1 scans must be one of {', '.join(acquisition.B1_SCANS)} (got {b1_scans!r})"
        )
    if scale is not None and not (
        len(scale) == 3 and all(v > 0 and math.isfinite(v) for v in scale)
    ):
        raise ValueError(f"the scales must be three positive numbers (got {scale})")


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

MORE_DESCRIPTIONS = {
    "labels": "0 background 1 WM 2 GM 3 CSF 4 skull 5 scalp (largest share > 0.5)",
    "mask": "head mask: voxels at least half tissue",
    "brain_mask": "brain mask: voxels at least half WM, GM or CSF",
    "tissue_skull": "skull probability",
    "tissue_scalp": "scalp probability",
    "truth_r2star": "true R2*, 1/s",
    "b1_dam_flip1": "synthetic B1 double-angle scan, first angle",
    "b1_dam_flip2": "synthetic B1 double-angle scan, second angle",
    "b1_afi_tr1": "synthetic B1 AFI scan, first TR",
    "b1_afi_tr2": "synthetic B1 AFI scan, second TR",
    "b1_tfl_anat": "synthetic B1 TFL anatomical image",
    "b1_tfl_famp": "synthetic B1 TFL flip-angle map, tenths of a degree",
}
"""The descriptions of the files of a phantom with a head or B1 scans, where
they differ from ``DESCRIPTIONS``."""
_MASKS = ("labels", "mask", "brain_mask")


def _description(name, shelled, times):
    """The header's description of a phantom file."""
    scan, _, echo = name.partition("_echo-")
    if echo:
        TE = times[scan][int(echo) - 1]
        return f"{DESCRIPTIONS[scan]}, echo {echo} at TE {1000 * TE:.3g} ms"
    return (
        (MORE_DESCRIPTIONS if shelled else {}).get(name)
        or DESCRIPTIONS.get(name)
        or MORE_DESCRIPTIONS[name]
    )


BYTES_PER_VOXEL = 8 * 24
"""Bytes of the arrays alive at once per voxel while the phantom is made
and written."""


def files(directory, phantom=None, echoes=None):
    """The paths :func:`write` writes in directory.

    Parameters
    ----------
    directory : path-like
    phantom : Phantom, optional
        The phantom written; None: one made with the defaults (and
        ``echoes``).
    echoes : int or (int, int, int), optional
        Without a phantom: the echoes it will be made with (``make``).

    Returns
    -------
    list of pathlib.Path
        One .nii.gz per volume (per key of ``DESCRIPTIONS`` by default),
        then protocol.json and a JSON file per key of ``Phantom.metadata``.
    """
    directory = Path(directory)
    names = list(DESCRIPTIONS if phantom is None else phantom.volumes)
    extra = [] if phantom is None else list(phantom.metadata)
    if phantom is None and echoes is not None:
        for scan, times in reversed(echo_times(echoes).items()):
            at = names.index(scan)
            names[at : at + 1] = [echo_name(scan, k) for k in range(1, len(times) + 1)]
        names.insert(names.index("truth_m0") + 1, "truth_r2star")
        extra = ["echoes"]
    return (
        [directory / f"{name}.nii.gz" for name in names]
        + [directory / "protocol.json"]
        + [directory / f"{key}.json" for key in extra]
    )


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
    """Writes the phantom's volumes (float32 NIfTI; labels and masks uint8),
    protocol.json and its metadata (``motion.json``, ``b1_scans.json``,
    ``scale.json``, ``echoes.json``: the echo times in s by scan) into
    directory, all or nothing.

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
        The paths written, by file stem ("protocol" for protocol.json, the
        metadata's keys for theirs).

    Raises
    ------
    VolumeError
        Existing files without force, or a failed write. Nothing is left
        behind then: neither files nor the directories made for them.
    """
    directory = Path(directory)
    paths = files(directory, phantom)
    names = list(phantom.volumes)
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
        shelled = "tissue_skull" in phantom.volumes
        times = phantom.metadata.get("echoes")
        outputs = [
            _volumes.Output(
                path,
                "phantom file",
                phantom.volumes[name],
                phantom.volumes[name].dtype if name in _MASKS else np.float32,
                Volume(None, affine=phantom.affine_of(name)),
                _description(name, shelled, times),
            )
            for name, path in zip(names, paths)
        ]
        for key, path in zip(["protocol", *phantom.metadata], paths[len(names) :]):
            content = phantom.protocol if key == "protocol" else phantom.metadata[key]
            outputs.append(
                _volumes.Output(
                    path, f"phantom {key}", (json.dumps(content, indent=2) + "\n").encode()
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
    return dict(zip([*names, "protocol", *phantom.metadata], paths))


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
