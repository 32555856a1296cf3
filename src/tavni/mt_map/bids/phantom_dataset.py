"""A small qMRI-BIDS dataset of phantom heads, for trying the BIDS App."""

import os
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map._version import version
from tavni.mt_map.bids.base import APP_NAME, BidsError
from tavni.mt_map.bids.derivatives import write_json
from tavni.mt_map.bids.naming import FRACTION_SUFFIX

__all__ = [
    "PHANTOM_SHARED",
    "PHANTOM_SCANS",
    "mt_sidecar",
    "write_phantom_dataset",
]

# Scanner fields every phantom scan shares, beside the MT pulse's.
PHANTOM_SHARED = {
    "MagneticFieldStrength": 3.0,
    "EchoTime": 0.0023,
    "PulseSequenceType": "spoiled gradient echo",
}


# (phantom file stem, BIDS entities, protocol keys of flip angle and TR, MTState)
PHANTOM_SCANS = (
    ("pdw", "flip-1_mt-off", "pdw_flip_angle_deg", "pdw_TR", False),
    ("t1w", "flip-2_mt-off", "t1w_flip_angle_deg", "t1w_TR", False),
    ("mtw", "flip-3_mt-on", "flip_angle_deg", "TR", True),
)


def mt_sidecar(values):
    """The MT pulse of a protocol as sidecar fields.

    The inverse of what the BIDS App reads (``protocol.BIDS_FIELDS``).

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
    return {
        protocol.BIDS_FIELDS[key]: written[key]
        for key in protocol.MT_PULSE_FIELDS
        if key in written
    }


def write_phantom_dataset(
    directory, participants, *, voxel_size=2.0, anatomy="auto", shape=None, snr=None, seed=0
):
    """Writes a small qMRI-BIDS dataset of phantom heads into directory (new
    or empty), all or nothing.

    Each participant is a slightly different head (``phantom.vary``): the
    three MTS scans, a TB1map (relative) and a B0 fieldmap (Hz) with their
    sidecars; the MT pulse in a dataset-level MTS.json. The truth goes to
    ``derivatives/phantom-truth``, a brain mask to ``derivatives/brainmask``
    (for ``--mask-dir``), the tissue constants no sidecar holds to
    ``code/protocol.json``.

    Parameters
    ----------
    directory : path-like
    participants : int
        Number of participants, labelled 01, 02, ...
    voxel_size, anatomy, shape, snr, seed
        As for ``phantom.make`` (seed also varies the heads).

    Returns
    -------
    list of str
        Notes of the phantom (e.g. which anatomy stood in).

    Raises
    ------
    BidsError
        Fewer than one participant, or a directory that is not empty.
    ValueError
        A voxel size, SNR, seed or grid the phantom cannot have.
    """
    from tavni.mt_map.sim import phantom

    directory = Path(directory)
    if participants < 1:
        raise BidsError(f"--participants must be at least 1 (got {participants})")
    if directory.exists() and (not directory.is_dir() or any(directory.iterdir())):
        raise BidsError(f"'{directory}' exists and is not an empty folder")
    directory.parent.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{directory.name}.", dir=directory.parent))
    labels = [f"{i + 1:02d}" for i in range(participants)]
    description = {
        "BIDSVersion": "1.10.0",
        "GeneratedBy": [{"Name": APP_NAME, "Version": version()}],
    }
    try:
        for index, label in enumerate(labels):
            head = phantom.make(
                voxel_size,
                anatomy=anatomy,
                shape=shape,
                snr=snr,
                seed=seed + index,
                participant=phantom.vary(index, seed),
            )
            files = phantom.write(work / ".phantom" / label, head)
            subject = work / f"sub-{label}"
            for folder in ("anat", "fmap"):
                (subject / folder).mkdir(parents=True)
            for stem, entities, flip_key, tr_key, on in PHANTOM_SCANS:
                name = f"sub-{label}_{entities}_MTS"
                os.replace(files[stem], subject / "anat" / f"{name}.nii.gz")
                write_json(
                    subject / "anat" / f"{name}.json",
                    {
                        protocol.BIDS_FIELDS["flip_angle_deg"]: head.protocol[flip_key],
                        "MTState": on,
                        protocol.BIDS_FIELDS["TR"]: head.protocol[tr_key],
                    },
                )
            intended = [
                f"bids::sub-{label}/anat/sub-{label}_{entities}_MTS.nii.gz"
                for _, entities, *_ in PHANTOM_SCANS
            ]
            for stem, suffix, extra in (
                ("b1", "TB1map", {"Units": "relative"}),
                ("b0", "fieldmap", {"Units": "Hz"}),
            ):
                os.replace(files[stem], subject / "fmap" / f"sub-{label}_{suffix}.nii.gz")
                write_json(
                    subject / "fmap" / f"sub-{label}_{suffix}.json",
                    {"IntendedFor": intended, **extra},
                )
            for folder, stem, suffix in (
                ("phantom-truth", "truth_f", FRACTION_SUFFIX),
                ("phantom-truth", "truth_r1", "R1map"),
                ("phantom-truth", "truth_m0", "M0map"),
                ("brainmask", "mask", "desc-brain_mask"),
            ):
                target = work / "derivatives" / folder / f"sub-{label}" / "anat"
                target.mkdir(parents=True, exist_ok=True)
                os.replace(files[stem], target / f"sub-{label}_{suffix}.nii.gz")
        shutil.rmtree(work / ".phantom")
        write_json(
            work / "dataset_description.json",
            {"Name": "tavni-mt-map phantom heads", "DatasetType": "raw", **description},
        )
        write_json(work / "MTS.json", {**PHANTOM_SHARED, **mt_sidecar(head.protocol)})
        (work / "participants.tsv").write_text(
            "participant_id\n" + "".join(f"sub-{label}\n" for label in labels)
        )
        (work / "README").write_text(
            "Synthetic heads for trying the tavni-mt-map BIDS App: three SPGR scans "
            "(PD-, T1- and MT-weighted) per participant and transmit and static field "
            "maps. The true maps are in derivatives/phantom-truth, brain masks in "
            "derivatives/brainmask; the tissue constants no sidecar holds are in "
            "code/protocol.json.\n"
        )
        (work / "code").mkdir()
        write_json(
            work / "code" / "protocol.json",
            {key: head.protocol[key] for key in protocol.TISSUE + ("T2b",)},
        )
        for folder in ("phantom-truth", "brainmask"):
            write_json(
                work / "derivatives" / folder / "dataset_description.json",
                {"Name": f"phantom {folder}", "DatasetType": "derivative", **description},
            )
        if directory.exists():
            directory.rmdir()
        os.replace(work, directory)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return head.notes
