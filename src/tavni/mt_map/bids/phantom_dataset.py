"""A small qMRI-BIDS dataset of phantom heads, for trying the BIDS App.

Besides the ideal dataset, it writes the scanner's cases the App must take
(``write_phantom_dataset``'s keywords): heads in a skull and scalp, motion
between the scans, B1 on its own grid and as the images of a B1 mapping
sequence, per-scan intensity scales and sidecars as dcm2niix writes them.
The scans may be multi-echo readouts, as MTS files with an ``echo-``
entity or in the layout of the multi-parameter-mapping (MPM) protocol.
"""

import os
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map._version import version
from tavni.mt_map.bids.base import APP_NAME, BidsError
from tavni.mt_map.bids.derivatives import write_json
from tavni.mt_map.bids.fields import BIDS_FIELDS, MT_PULSE_FIELDS
from tavni.mt_map.bids.naming import BRAIN_MASK_DESC, FRACTION, MASK_SUFFIX, output_name
from tavni.mt_map.defaults import ECHO_SPACING
from tavni.mt_map.outputs import by_key
from tavni.mt_map.scans import LABELS, ROLES

__all__ = [
    "PHANTOM_SHARED",
    "PHANTOM_SCANS",
    "LAYOUTS",
    "MPM_SCANS",
    "MPM_PROTOCOL",
    "MPM_ECHOES",
    "B1_FILES",
    "B1_UNITS",
    "SIDECAR_STYLES",
    "PHILIPS_RESCALE_SLOPE",
    "mt_sidecar",
    "scan_sidecar",
    "write_phantom_dataset",
]

# Scanner fields every phantom scan shares, beside the MT pulse's.
PHANTOM_SHARED = {
    "MagneticFieldStrength": 3.0,
    "EchoTime": ECHO_SPACING,  # the first echo's
    "PulseSequenceType": "spoiled gradient echo",
}


# (phantom file stem: the scan's role, BIDS entities, protocol keys of flip
# angle and TR, MTState), in the order of the roles.
PHANTOM_SCANS = tuple(
    (role, *scan)
    for role, scan in zip(
        ROLES,
        (
            ("flip-1_mt-off", "pdw_flip_angle_deg", "pdw_TR", False),
            ("flip-2_mt-off", "t1w_flip_angle_deg", "t1w_TR", False),
            ("flip-3_mt-on", "flip_angle_deg", "TR", True),
        ),
        strict=True,
    )
)


LAYOUTS = ("mts", "mpm")
"""How the scans are named: MTS files, or the MPM protocol's files."""

# The multi-parameter-mapping protocol's scans: (phantom file stem,
# acquisition entity, entities after the echo's, protocol keys of flip angle
# and TR, MTState). The PD- and MT-weighted scans share their flip angle,
# hence flip-1 both.
MPM_SCANS = tuple(
    (role, f"acq-{LABELS[role]}", entities, flip, tr, on)
    for (role, _, flip, tr, on), entities in zip(
        PHANTOM_SCANS, ("flip-1_mt-off", "flip-2_mt-off", "flip-1_mt-on"), strict=True
    )
)

MPM_PROTOCOL = {
    "pdw_flip_angle_deg": 6.0,
    "pdw_TR": 0.025,
    "t1w_flip_angle_deg": 21.0,
    "t1w_TR": 0.025,
    "flip_angle_deg": 6.0,
    "TR": 0.025,
}
"""The MPM protocol's flip angles (deg) and TR (s), over the phantom's own
(the MT pulse stays the phantom's)."""

MPM_ECHOES = (8, 8, 6)
"""Echoes of the MPM protocol's PDw, T1w and MTw readouts."""

# The B1 mapping sequences' images: phantom file stem -> (entities, suffix).
B1_FILES = {
    "b1_dam_flip1": ("flip-1", "TB1DAM"),
    "b1_dam_flip2": ("flip-2", "TB1DAM"),
    "b1_afi_tr1": ("acq-tr1", "TB1AFI"),
    "b1_afi_tr2": ("acq-tr2", "TB1AFI"),
    "b1_tfl_anat": ("acq-anat", "TB1TFL"),
    "b1_tfl_famp": ("acq-famp", "TB1TFL"),
}
"""Each B1 mapping image of the phantom (``phantom.make``'s ``b1_scans``)
as a ``fmap/`` file: its entities and suffix."""

B1_UNITS = {"relative": 1.0, "percent": 100.0, "degrees": None}
"""Units a TB1map may be written in, with the factor from relative values
(degrees: the nominal angle, ``B1_MAP_FLIP_ANGLE``)."""
B1_MAP_FLIP_ANGLE = 60.0  # nominal angle (deg) of a TB1map in degrees

SIDECAR_STYLES = ("bids", "dcm2niix")
"""The scans' sidecars as BIDS names the fields, or as dcm2niix writes them."""

PHILIPS_RESCALE_SLOPE = 1.5
"""The rescale slope of the dcm2niix-style sidecars; the scale slope makes
their product the scan's intensity factor."""


def scan_sidecar(flip_angle, TR, mt_on, style="bids", scale=1.0):
    """An SPGR scan's sidecar fields.

    Parameters
    ----------
    flip_angle : float
        Degrees.
    TR : float
        Seconds.
    mt_on : bool
        Whether the MT pulse is on.
    style : {"bids", "dcm2niix"}
        "bids": ``FlipAngle``, ``MTState``, ``RepetitionTimeExcitation``.
        "dcm2niix": as the converter writes a Philips series: the MT state
        only as ``SequenceVariant`` (``MTC_SP`` with the pulse, ``SP``
        without), ``RepetitionTime``, ``Manufacturer`` and the Philips
        scale fields.
    scale : float
        The factor the scan's values carry (dcm2niix: the product of
        ``PhilipsRescaleSlope`` and ``PhilipsScaleSlope``; the display
        values stored are the comparable floating-point values times it).

    Returns
    -------
    dict
    """
    if style == "bids":
        return {
            BIDS_FIELDS["flip_angle_deg"]: flip_angle,
            "MTState": mt_on,
            BIDS_FIELDS["TR"]: TR,
        }
    return {
        "Manufacturer": "Philips",
        BIDS_FIELDS["flip_angle_deg"]: flip_angle,
        "RepetitionTime": TR,
        "SequenceVariant": "MTC_SP" if mt_on else "SP",
        "PhilipsRescaleSlope": PHILIPS_RESCALE_SLOPE,
        "PhilipsRescaleIntercept": 0.0,
        "PhilipsScaleSlope": scale / PHILIPS_RESCALE_SLOPE,
        "UsePhilipsFloatNotDisplayScaling": 0,
    }


def mt_sidecar(values):
    """The MT pulse of a protocol as sidecar fields.

    The inverse of what the BIDS App reads (``bids.fields.BIDS_FIELDS``).

    Parameters
    ----------
    values : dict
        Protocol keys to values (the phantom's protocol): ``duration`` all
        pulses of a TR, in s.

    Returns
    -------
    dict
        BIDS field to value: ``MTPulseDuration`` one pulse, in s, the shape
        in capitals.
    """
    pulses = values.get("mt_pulses", 1)
    # A sidecar states one pulse and the shape in capitals; the protocol the
    # pulses' total time in a TR.
    written = dict(
        values,
        mt_pulses=pulses,
        duration=values["duration"] / pulses,
        mt_pulse_shape=values["mt_pulse_shape"].upper(),
    )
    return {BIDS_FIELDS[key]: written[key] for key in MT_PULSE_FIELDS if key in written}


def write_phantom_dataset(
    directory: str | os.PathLike,
    participants: int,
    *,
    voxel_size: float = 2.0,
    anatomy: str = "auto",
    shape: tuple | None = None,
    snr: float | None = None,
    seed: int = 0,
    sidecars: str = "bids",
    b1_units: str | None = None,
    layout: str = "mts",
    echoes: int | tuple | None = None,
    **acquisition,
) -> list[str]:
    """Writes a small qMRI-BIDS dataset of phantom heads into directory (new
    or empty), all or nothing.

    Each participant is a slightly different head (``tissues.vary``): the
    three MTS scans, a TB1map (relative) and a B0 fieldmap (Hz) with their
    sidecars and the fieldmap's magnitude image; the MT pulse in a dataset-level MTS.json. The truth goes to
    ``derivatives/phantom-truth``, a brain mask to ``derivatives/brainmask``
    (for ``--mask-dir``), the tissue constants no sidecar holds to
    ``code/protocol.json``.

    With B1 mapping scans (``b1_scans``) their images replace the TB1map in
    ``fmap/`` (``B1_FILES``, sidecars with ``FlipAngle`` and the TRs, and
    ``IntendedFor`` the MT-weighted scan), and the true relative B1 goes to
    ``derivatives/phantom-truth/sub-*/fmap/sub-*_TB1map`` (usable as a B1
    derivative). The motion and scales applied are written as
    ``derivatives/phantom-truth/sub-*/sub-*_motion.json`` and
    ``sub-*_scale.json`` (``phantom.Phantom.metadata``).

    Parameters
    ----------
    directory : path-like
    participants : int
        Number of participants, labelled 01, 02, ...
    voxel_size, anatomy, shape, snr, seed
        As for ``phantom.make`` (seed also varies the heads).
    sidecars : {"bids", "dcm2niix"}
        How the scans' sidecars are written (``scan_sidecar``); dcm2niix
        also names the B1 scans' TR ``RepetitionTime``.
    b1_units : {"relative", "percent", "degrees"}, optional
        The TB1map's values and its sidecar's ``Units`` (degrees: with the
        nominal ``FlipAngle``). None: relative values without ``Units``.
    layout : {"mts", "mpm"}
        "mts": ``sub-*_flip-1_mt-off_MTS`` and so on, the MT pulse and the
        scanner's fields in a dataset-level ``MTS.json``. "mpm": the MPM
        protocol's ``sub-*_acq-PDw_echo-1_flip-1_mt-off_MPM``, ...
        (``MPM_SCANS``) with its flip angles and TR (``MPM_PROTOCOL``),
        each sidecar with ``EchoTime``, the MT-weighted ones with the MT
        pulse; the scanner's fields in ``MPM.json``.
    echoes : int or (int, int, int), optional
        Echoes per scan (``phantom.make``): each echo a file with the
        ``echo-`` entity and ``EchoTime`` in its sidecar, and the true R2*
        as ``derivatives/phantom-truth/sub-*/anat/sub-*_R2starmap``. None:
        single-echo MTS scans, or ``MPM_ECHOES`` for the MPM layout.
    **acquisition
        ``head``, ``motion``, ``auto_align``, ``b1_voxel_size``,
        ``b1_scans`` and ``scale``, as for ``phantom.make``.

    Returns
    -------
    list of str
        Notes of the phantom (e.g. which anatomy stood in).

    Raises
    ------
    BidsError
        Fewer than one participant, or a directory that is not empty.
    ValueError
        A voxel size, SNR, seed, grid, acquisition, sidecar style or unit
        the phantom cannot have.
    """
    from tavni.mt_map.sim import phantom, tissues

    _check_choices(sidecars, b1_units, layout)
    if layout == "mpm":
        acquisition["protocol"] = dict(MPM_PROTOCOL, **(acquisition.get("protocol") or {}))
        echoes = MPM_ECHOES if echoes is None else echoes

    directory = Path(directory)
    if participants < 1:
        raise BidsError(f"--participants must be at least 1 (got {participants})")
    if directory.exists() and (not directory.is_dir() or any(directory.iterdir())):
        raise BidsError(f"'{directory}' exists and is not an empty folder")
    directory.parent.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{directory.name}.", dir=directory.parent))
    labels = [f"{i + 1:02d}" for i in range(participants)]
    try:
        for index, label in enumerate(labels):
            head = phantom.make(
                voxel_size,
                anatomy=anatomy,
                shape=shape,
                snr=snr,
                seed=seed + index,
                participant=tissues.vary(index, seed),
                echoes=echoes,
                **acquisition,
            )
            files = phantom.write(work / ".phantom" / label, head)
            subject = work / f"sub-{label}"
            for folder in ("anat", "fmap"):
                (subject / folder).mkdir(parents=True)
            scans = _write_scans(subject, label, head, files, layout, sidecars)
            _write_fieldmaps(work, label, head, files, scans, sidecars, b1_units)
            _write_truth(work, label, head, files)
        shutil.rmtree(work / ".phantom")
        _write_dataset_files(work, labels, head, layout)
        if directory.exists():
            directory.rmdir()
        os.replace(work, directory)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return head.notes


def _check_choices(sidecars, b1_units, layout):
    """Refuses a sidecar style, B1 units or layout the phantom cannot have."""
    if sidecars not in SIDECAR_STYLES:
        raise ValueError(f"sidecars must be one of {', '.join(SIDECAR_STYLES)} (got {sidecars!r})")
    if b1_units is not None and b1_units not in B1_UNITS:
        raise ValueError(f"B1 units must be one of {', '.join(B1_UNITS)} (got {b1_units!r})")
    if layout not in LAYOUTS:
        raise ValueError(f"the layout must be one of {', '.join(LAYOUTS)} (got {layout!r})")


def _write_scans(subject, label, head, files, layout, sidecars):
    """A participant's scans into ``anat/`` with their sidecars; gives them
    as :func:`_scan_files` does.
    """
    scales = head.metadata.get("scale", {})
    scans = _scan_files(label, layout, head.metadata.get("echoes"))
    for stem, volume, name, echo_time in scans:
        os.replace(files[volume], subject / "anat" / f"{name}.nii.gz")
        flip_key, tr_key, on = _SCAN_KEYS[stem]
        fields = scan_sidecar(
            head.protocol[flip_key],
            head.protocol[tr_key],
            on,
            sidecars,
            scales.get(stem, 1.0),
        )
        if echo_time is not None:
            fields["EchoTime"] = echo_time
        if layout == "mpm" and on:
            fields.update(mt_sidecar(head.protocol))
        write_json(subject / "anat" / f"{name}.json", fields)
    return scans


def _write_fieldmaps(work, label, head, files, scans, sidecars, b1_units):
    """A participant's ``fmap/``: the TB1map (or the B1 mapping sequence's
    images, the true B1 then among the truth), the B0 map and its magnitude
    image, each with the scans it serves.
    """
    subject = work / f"sub-{label}"
    intended = [f"bids::sub-{label}/anat/{name}.nii.gz" for _, _, name, _ in scans]
    # The B1 sequence's images serve the MT-weighted scan.
    mt_scan = [
        f"bids::sub-{label}/anat/{name}.nii.gz" for stem, _, name, _ in scans if stem == "mtw"
    ]
    truth = work / "derivatives" / "phantom-truth" / f"sub-{label}"
    b1_files = [("b1", "", "TB1map", _b1_map_fields(b1_units))]
    if "b1_scans" in head.metadata:
        (truth / "fmap").mkdir(parents=True)
        os.replace(files["b1"], truth / "fmap" / f"sub-{label}_TB1map.nii.gz")
        write_json(
            truth / "fmap" / f"sub-{label}_TB1map.json",
            {"Units": "relative", "SkullStripped": False},
        )
        b1_files = [
            (stem, f"{B1_FILES[stem][0]}_", B1_FILES[stem][1], fields)
            for stem, fields in head.metadata["b1_scans"].items()
        ]
    elif b1_units not in (None, "relative"):
        _rescale(files["b1"], B1_UNITS[b1_units] or B1_MAP_FLIP_ANGLE)
    for stem, entities, suffix, fields in b1_files + [("b0", "", "fieldmap", None)]:
        if fields is None:
            fields = {"Units": "Hz"}
        elif sidecars == "dcm2niix" and BIDS_FIELDS["TR"] in fields:
            fields = dict(fields)
            fields["RepetitionTime"] = fields.pop(BIDS_FIELDS["TR"])
        name = f"sub-{label}_{entities}{suffix}"
        os.replace(files[stem], subject / "fmap" / f"{name}.nii.gz")
        write_json(
            subject / "fmap" / f"{name}.json",
            {"IntendedFor": intended if stem in ("b0", "b1") else mt_scan, **fields},
        )
    # The B0 map's magnitude image: the MT scan's sequence without
    # saturation, a proton-density-like image on the field map's
    # grid (the head as it lay during the MT-weighted scan).
    os.replace(files["ref"], subject / "fmap" / f"sub-{label}_magnitude.nii.gz")


def _write_truth(work, label, head, files):
    """A participant's true maps (``derivatives/phantom-truth``, with the
    motion and scales applied) and brain mask (``derivatives/brainmask``).
    """
    from tavni.mt_map.sim import phantom

    derived = [
        ("phantom-truth", "truth_f", FRACTION.suffix),
        ("phantom-truth", "truth_r1", by_key("r1").suffix),
        ("phantom-truth", "truth_m0", by_key("m0").suffix),
        (
            "brainmask",
            "brain_mask" if "brain_mask" in files else "mask",
            f"desc-{BRAIN_MASK_DESC}_{MASK_SUFFIX}",
        ),
    ]
    if "truth_r2star" in files:
        derived.insert(3, ("phantom-truth", "truth_r2star", by_key("r2star").suffix))
    for folder, stem, suffix in derived:
        target = work / "derivatives" / folder / f"sub-{label}" / "anat"
        target.mkdir(parents=True, exist_ok=True)
        os.replace(files[stem], target / f"sub-{label}_{suffix}.nii.gz")
        if folder == "phantom-truth":  # the truth covers the whole head
            write_json(
                target / f"sub-{label}_{suffix}.json",
                {
                    "Description": phantom.DESCRIPTIONS.get(stem)
                    or phantom.MORE_DESCRIPTIONS[stem],
                    "SkullStripped": False,
                },
            )
    truth = work / "derivatives" / "phantom-truth" / f"sub-{label}"
    for key in ("motion", "scale"):
        if key in head.metadata:
            write_json(truth / f"sub-{label}_{key}.json", head.metadata[key])


def _write_dataset_files(work, labels, head, layout):
    """The dataset's own files (description, the scans' shared sidecar,
    participants.tsv, README, the tissue constants in ``code/``) and its
    derivatives' descriptions; ``head`` is the last participant's.
    """
    description = {
        "BIDSVersion": "1.10.0",
        "GeneratedBy": [{"Name": APP_NAME, "Version": version()}],
    }
    write_json(
        work / "dataset_description.json",
        {"Name": "tavni-mt-map phantom heads", "DatasetType": "raw", **description},
    )
    shared = dict(PHANTOM_SHARED)
    if "echoes" in head.metadata:  # each echo's sidecar has its own
        del shared["EchoTime"]
    if layout == "mpm":  # the MT pulse is in the MT-weighted scans' sidecars
        write_json(work / "MPM.json", shared)
    else:
        write_json(work / "MTS.json", {**shared, **mt_sidecar(head.protocol)})
    (work / "participants.tsv").write_text(
        "participant_id\n" + "".join(f"sub-{label}\n" for label in labels)
    )
    readout = ""
    if "echoes" in head.metadata:
        counts = ", ".join(str(len(t)) for t in head.metadata["echoes"].values())
        readout = f", read out at {counts} echoes {1000 * ECHO_SPACING:g} ms apart,"
    (work / "README").write_text(
        "Synthetic heads for trying the tavni-mt-map BIDS App: three SPGR scans "
        f"(PD-, T1- and MT-weighted){readout} per participant and transmit and static "
        "field maps. The true maps are in derivatives/phantom-truth, brain masks in "
        "derivatives/brainmask; the tissue constants no sidecar holds are in "
        "code/protocol.json.\n"
    )
    (work / "code").mkdir()
    write_json(
        work / "code" / "protocol.json",
        {key: head.protocol[key] for key in protocol.TISSUE + ("T2b",)},
    )
    # The files of the truth no BIDS rule knows (the motion and scales
    # applied are the phantom's own records).
    fraction = [output_name("*", FRACTION, extension) for extension in (".nii.gz", ".json")]
    (work / "derivatives" / "phantom-truth" / ".bidsignore").write_text(
        "".join(f"{line}\n" for line in fraction + ["*_motion.json", "*_scale.json"])
    )
    for folder in ("phantom-truth", "brainmask"):
        write_json(
            work / "derivatives" / folder / "dataset_description.json",
            {"Name": f"phantom {folder}", "DatasetType": "derivative", **description},
        )


# Each scan's protocol keys of flip angle and TR, and its MTState.
_SCAN_KEYS = {stem: (flip, tr, on) for stem, _, flip, tr, on in PHANTOM_SCANS}


def _scan_files(label, layout, times):
    """The scans' files: (scan, phantom volume, BIDS name without extension,
    echo time in s or None) in the order of the scans and their echoes.
    """
    from tavni.mt_map.sim import phantom

    out = []
    if layout == "mpm":
        scans = [(stem, f"{acq}_", entities, "MPM") for stem, acq, entities, *_ in MPM_SCANS]
    else:
        scans = [(stem, "", entities, "MTS") for stem, entities, *_ in PHANTOM_SCANS]
    for stem, acq, entities, suffix in scans:
        if times is None:
            out.append((stem, stem, f"sub-{label}_{acq}{entities}_{suffix}", None))
            continue
        for k, echo_time in enumerate(times[stem], start=1):
            name = f"sub-{label}_{acq}echo-{k}_{entities}_{suffix}"
            out.append((stem, phantom.echo_name(stem, k), name, echo_time))
    return out


def _b1_map_fields(units):
    """The TB1map's sidecar fields besides IntendedFor."""
    if units is None:
        return {"Units": "relative"}
    if units == "degrees":
        return {"Units": "degrees", BIDS_FIELDS["flip_angle_deg"]: B1_MAP_FLIP_ANGLE}
    return {"Units": units}


def _rescale(path, factor):
    """Multiplies a float32 image in place (relative B1 into its units)."""
    import nibabel
    import numpy as np

    image = nibabel.load(path)
    data = np.asarray(image.dataobj, dtype=np.float32) * np.float32(factor)
    nibabel.save(nibabel.Nifti1Image(data, image.affine, image.header), path)
