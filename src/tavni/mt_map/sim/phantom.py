"""A synthetic head for trying the whole mapping chain without a scanner.

The tissue truth (bound-pool fraction f, R1, M0) comes from partial-volume
tissue maps (``anatomy.py``: a real brain from the MNI ICBM152 template, or
nested ellipsoids where nilearn is missing; the tissues' values in
``tissues.py``); the three spoiled gradient-echo (SPGR) scans of the
single-point protocol are what the steady-state equation and the two-pool
model predict for that truth (``scans.py``), under a smooth transmit field
B1 and a static field offset B0 as a 3 T scanner gives them
(``fields.py``), with Rician noise at a stated SNR. On request each scan
is read out at several echo times, decaying with the tissues' R2*
(``scans.echo_times``). Without noise, the chain (R1 and M0 from the PDw
and T1w scans, the synthetic reference, the fraction fit with B1 and B0
maps) inverts the scans exactly.

The scanner's cases come on request: a skull and scalp around the brain,
head motion between the scans, the transmit field on its own grid and as the
images of a B1 mapping sequence, and a per-scan intensity scale
(``acquisition.py``).

For the command line (``mt-map phantom``, ``mt-map demo``) and the BIDS
dataset writer: :func:`make` and :func:`write` (with :func:`files`,
:func:`check_new`), :func:`tissue_summary`.
"""

import json
import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from tavni.mt_map.defaults import B1_SCANS
from tavni.mt_map.io import volumes as _volumes
from tavni.mt_map.io.volumes import Volume, VolumeError
from tavni.mt_map.sim import anatomy as anatomies
from tavni.mt_map.sim import fields
from tavni.mt_map.sim import scans as readout
from tavni.mt_map.sim.scans import echo_name, echo_times, model_values
from tavni.mt_map.sim.tissues import TISSUES, TYPICAL, Participant, r2star, tissue_parameters

__all__ = [
    "Phantom",
    "make",
    "DESCRIPTIONS",
    "MORE_DESCRIPTIONS",
    "BYTES_PER_VOXEL",
    "files",
    "check_new",
    "write",
    "tissue_summary",
]


@dataclass
class Phantom:
    """The phantom's volumes by file stem, their geometry and protocol.

    ``volumes``: "pdw", "t1w", "mtw" (the three scans), "ref" (the MT
    scan without saturation), "b1" (relative), "b0" (Hz), "truth_f",
    "truth_r1" (1/s), "truth_m0", "labels" (uint8: 0 background, then 1,
    2, 3 for the tissues of ``tissues.TISSUES`` where they fill more than
    half the voxel, 4, 5 for skull and scalp), "mask" (uint8: 1 where the
    voxel is at least half tissue) and "tissue_wm", "tissue_gm",
    "tissue_csf" (probabilities); with a head also "tissue_skull",
    "tissue_scalp" and "brain_mask" (uint8: at least half white or grey
    matter or CSF); with B1 scans their images ("b1_dam_flip1", ...). With
    echoes, "pdw_echo-1", "pdw_echo-2", ... (``scans.echo_name``) stand for
    "pdw", "t1w" and "mtw", and "truth_r2star" (1/s) joins the truth.

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


def make(
    voxel_size: float = 2.0,
    *,
    anatomy: str = "auto",
    shape: tuple | None = None,
    snr: float | None = None,
    seed: int = 0,
    participant: Participant = TYPICAL,
    b1_variation: bool = True,
    b0_variation: bool = True,
    protocol: dict | None = None,
    head: bool = False,
    motion: tuple | None = None,
    auto_align: bool = False,
    b1_voxel_size: float | None = None,
    b1_scans: str = B1_SCANS[0],
    scale: tuple | None = None,
    echoes: int | tuple | None = None,
) -> Phantom:
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
        channel (``scans.noise_sigma``), one for every scan and echo, as
        one receiver gives it. None: no noise.
    seed : int
        Seed of the noise.
    participant : Participant
        Tissue values and field shapes (``tissues.vary``).
    b1_variation, b0_variation : bool
        False gives a uniform B1 of 1 or a B0 of 0 Hz.
    protocol : dict, optional
        Protocol keys overriding those of ``scans.PROTOCOL``.
    head : bool
        Wrap the brain in a skull and a scalp (``tissues.SHELL_TISSUES``;
        the geometric grid grows to hold them).
    motion : (float, float), optional
        (degrees, mm): the head moved between the MT-weighted scan and the
        others, turning about the brain's centre (``scans.move``); the
        fields follow the head, the truth and mask stay in the MT-weighted
        scan's pose.
    auto_align : bool
        With motion: the scanner followed the head (moved affines in
        ``Phantom.affines``); without it the head moved inside the field
        of view (linear resampling).
    b1_voxel_size : float, optional
        The transmit field on its own grid of voxels of this edge (mm)
        (``fields.b1_on_own_grid``). None: on the scans' grid.
    b1_scans : {"map", "dam", "afi", "tfl"}
        Besides the relative map "b1", the images of a B1 mapping sequence
        on the B1 grid, with Rician noise at ``snr``.
    scale : (float, float, float), optional
        Factors the PDw, T1w and MTw scans (and ref, with the MTw one) are
        multiplied by after the noise (``scans.scale``). None: 1 each.
    echoes : int or (int, int, int), optional
        Echoes of each scan (or of the PDw, T1w and MTw scans), each with
        its own noise (``scans.read_out_echoes``). None: one image per
        scan without decay, as the single-echo protocol is modelled.

    Returns
    -------
    Phantom
        Its volumes as :class:`Phantom` lists them.

    Raises
    ------
    ValueError
        A voxel size, SNR, seed, grid, anatomy, motion, B1 grid or scale
        the phantom cannot have (the brain without nilearn).
    volumes.VolumeError
        Not enough memory for the grid.
    """
    notes = []
    anatomy = _anatomy(anatomy, shape, snr, seed, notes)
    _check_acquisition(motion, b1_voxel_size, b1_scans, scale)
    times = None if echoes is None else echo_times(echoes)
    tissue_maps = _tissue_maps(anatomy, voxel_size, shape, head, times)
    p = readout.protocol_with(protocol)
    values = model_values(p)
    probabilities, affine = tissue_maps.probabilities, tissue_maps.affine
    tissues = participant.tissues + (participant.shell if head else ())
    f, R1, M0 = tissue_parameters(probabilities, tissues)
    grid = probabilities.shape[1:]
    b1, b0 = fields.field_maps(affine, grid, participant, b1_variation, b0_variation)
    scans = readout.ideal_scans(f, R1, M0, b1, b0, values, p["T2b"])
    sigma = readout.noise_sigma(scans["pdw"], probabilities, M0, snr)
    affines, metadata = {}, {}
    series, R2star = {name: [name] for name in scans}, None  # each scan's volumes
    if times is not None:
        R2star = r2star(probabilities, tissues)
        metadata["echoes"] = times
        series = readout.read_out_echoes(scans, times, R2star)
    if motion is not None:
        metadata["motion"], affines = readout.move(
            scans, series, probabilities, affine, motion, auto_align
        )
    if snr is not None:
        readout.add_noise(scans, sigma, seed)
    if scale is not None:
        metadata["scale"] = readout.scale(scans, series, scale)
    truth = (f, R1, M0, R2star)
    volumes = _volumes_of(scans, b1, b0, truth, probabilities, tissues, head)
    phantom = Phantom(volumes, affine, p, tissue_maps.description, sigma, snr, notes)
    phantom.affines, phantom.metadata = affines, metadata
    if b1_voxel_size is not None or b1_scans != B1_SCANS[0]:
        b1_field = (participant, b1_variation, b1_voxel_size)
        _add_b1_acquisition(phantom, tissue_maps, tissues, b1_field, b1_scans, seed)
    return phantom


def _anatomy(anatomy, shape, snr, seed, notes):
    """The anatomy asked for, "auto" resolved (with a note when nilearn is
    missing); refuses an SNR, seed or anatomy the phantom cannot have.
    """
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
    return anatomy


def _tissue_maps(anatomy, voxel_size, shape, head, times):
    """The anatomy's tissue maps, once the memory for the phantom is known
    to be there (``volumes.VolumeError`` otherwise).
    """
    voxels = math.prod(
        shape if shape is not None else anatomies.grid_shape(anatomy, voxel_size, head)
    )
    # Each echo beyond the three scans is one more double-precision volume.
    extra = 0 if times is None else 8 * (sum(map(len, times.values())) - 3 + 1)
    _volumes.check_memory(voxels * (BYTES_PER_VOXEL + extra), f"a phantom of {voxels} voxels")
    if anatomy == "brain":
        return anatomies.brain(voxel_size, head=head)
    return anatomies.geometric(shape, voxel_size, head=head)


def _volumes_of(scans, b1, b0, truth, probabilities, tissues, head):
    """The phantom's volumes: the scans, the fields, the truth (f, R1, M0
    and R2* or None), labels, masks and tissue probabilities.
    """
    f, R1, M0, R2star = truth
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
    return volumes


def _add_b1_acquisition(phantom, tissue_maps, tissues, b1_field, b1_scans, seed):
    """Adds the B1 map on its own grid and the B1 sequence's images.

    ``b1_field`` is (participant, b1_variation, b1_voxel_size), the last
    None for the scans' grid; ``b1_scans`` as for :func:`make`.
    """
    participant, b1_variation, voxel_size = b1_field
    volumes, affines, metadata = phantom.volumes, phantom.affines, phantom.metadata
    probabilities, affine = tissue_maps.probabilities, phantom.affine
    grids = None
    if voxel_size is not None:
        b1_affine, b1_shape, volumes["b1"] = fields.b1_on_own_grid(
            affine, probabilities.shape[1:], voxel_size, participant, b1_variation
        )
        affines["b1"] = b1_affine
        grids = (affine, b1_affine, b1_shape)
    if b1_scans == B1_SCANS[0]:
        return
    images = fields.b1_scan_volumes(
        b1_scans, volumes["b1"], probabilities, tissues, grids, phantom.snr, seed
    )
    metadata["b1_scans"] = {}
    for stem, (image, sidecar) in images.items():
        volumes[stem] = image
        metadata["b1_scans"][stem] = sidecar
        if grids is not None:
            affines[stem] = grids[1]


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
    if b1_scans not in B1_SCANS:
        raise ValueError(f"the B1 scans must be one of {', '.join(B1_SCANS)} (got {b1_scans!r})")
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
