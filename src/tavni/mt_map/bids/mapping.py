"""One collection through the chain, for the participant level: the maps,
their sidecars, the status segmentations with their tables and the
statistics the group level reads, written into the participant's work
folder; and what the report needs of them.
"""

import os
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Collection, Job, one_line
from tavni.mt_map.bids.derivatives import write_json
from tavni.mt_map.bids.field_conversion import hertz_field, relative_field
from tavni.mt_map.bids.naming import (
    BRAIN_MASK_DESC,
    FRACTION,
    MASK_SUFFIX,
    STATS_DESC,
    STATUS,
    bids_name,
)
from tavni.mt_map.outputs import BIDS_MAPS, GROUP_MAPS, by_key
from tavni.mt_map.scans import LABELS, ROLES

__all__ = ["computed_mask", "map_collection"]


def map_collection(job: Job, collection: Collection, work: Path) -> dict:
    """Runs the chain on one collection into the work folder.

    Writes the maps, their sidecars, the status segmentation and its table.

    Parameters
    ----------
    job : Job
    collection : Collection
    work : pathlib.Path
        The participant's work folder.

    Returns
    -------
    dict
        What the report and the group level need: "session", "entities",
        "outputs" (map name to path), "anatomy" (the MT-weighted scan, on
        the maps' grid whatever the other scans' grids and motion),
        "mask" (its path, or None), "brain_mask" (where it came from),
        "parameters", "sources", "notes" (the B1 source and the scans'
        intensity scales, in words), "warnings", "counts"; and for the
        report "scans" (role to path, on their own grids), "b1" (relative)
        and "b0" (Hz) as the chain read them (or None), "registered",
        "motion" (role to ``Motion.as_dict()``), "inputs" (the files read)
        and "generated_by".
    """
    processing = job.processing
    name = _namer(work, job.participant, collection)
    warnings = list(collection.warnings)
    # Multi-echo scans go to the chain as their echoes, which give R2* too.
    maps = [kind for kind in BIDS_MAPS if collection.echoes or not kind.needs_echoes]
    segmentations = [(STATUS, "the bound-pool fraction fit", "FRACTION")]
    if collection.echoes:
        segmentations.append((by_key("echo_status"), "the echoes' fit of S(0) and R2*", "ECHOES"))
    outputs = {kind.key: str(name(kind.suffix, desc=kind.desc)) for kind in maps}
    outputs.update(
        (kind.key, str(name(kind.suffix, desc=kind.desc))) for kind, _, _ in segmentations
    )
    b1 = relative_field(collection, work) if collection.b1 else None
    b0 = hertz_field(collection.b0, collection.b0_units, work, warnings) if collection.b0 else None
    mask, brain_mask = collection.mask, _brain_mask_origin(processing, collection)
    computed = None
    if mask is None and processing.compute_mask:
        mask, computed = computed_mask(
            collection, name(MASK_SUFFIX, desc=BRAIN_MASK_DESC), job.generated_by
        )
    # The report's statistics and planes are collected as the chain streams
    # the scans through, so that it reads no map back.
    collector = _collector(collection, mask, computed, outputs)
    summary = _run_chain(job, collection, outputs, (b1, b0, mask), collector)
    collected = collector.finish()
    warnings += list(_summary_field(summary, "warnings") or ())
    echoes = _echoes_record(collection, processing, summary)
    parameters = _parameters_record(collection)
    b1_source = collection.b1_source or "none: flip angles taken as nominal"
    common = {
        "Sources": collection.sources,
        "Parameters": parameters,
        "B1Source": b1_source,
        "IntensityScale": dict(collection.scale_notes),
        "Registration": _registration(summary, processing.register),
        "GeneratedBy": [job.generated_by],
        "BrainMask": brain_mask,
    }
    if echoes:
        common["EchoCombination"] = echoes["EchoCombination"]
        common["EchoTimes"] = echoes["EchoTimes"]
    if warnings:
        common["ProcessingWarnings"] = warnings
    _write_map_sidecars(maps, outputs, name, common, mask is not None, summary, echoes)
    _write_segmentations(segmentations, name, common)
    _write_statistics(name, outputs, collected, summary, job.generated_by)
    return {
        "session": collection.session,
        "entities": collection.entities,
        "outputs": outputs,
        "anatomy": collection.mtw,
        "mask": mask,
        "brain_mask": brain_mask,
        "parameters": parameters,
        "sources": collection.sources,
        "notes": [f"B1: {b1_source}"]
        + [f"intensity scale of {role}: {note}" for role, note in collection.scale_notes.items()]
        + list(_summary_field(summary, "notes") or ()),
        "warnings": warnings,
        "counts": _summary_field(summary, "counts"),
        "collected": collected,
        # For the report: the inputs as given (the scans on their own grids,
        # the fields as the chain read them), the motion to move the scans
        # onto the maps' grid, the files to digest and the generator.
        "scans": {role: getattr(collection, role) for role in ROLES},
        "echoes": echoes,
        "b1": b1,
        "b0": b0,
        "registered": processing.register,
        "motion": {
            role: found.as_dict()
            for role, found in (_summary_field(summary, "motion") or {}).items()
        },
        "inputs": _scan_files(collection)
        + list(collection.b1_files or ([collection.b1] if collection.b1 else []))
        + [p for p in (collection.b0, collection.mask) if p],
        "generated_by": job.generated_by,
    }


def _namer(work, participant, collection):
    """``name(suffix, extension=".nii.gz", desc=None)``: the path of one of
    the collection's files in the participant's ``anat`` folder of the work
    folder (created here), with the collection's entities.
    """
    session = collection.session
    anat = work / f"sub-{participant}"
    if session is not None:
        anat = anat / f"ses-{session}"
    anat = anat / "anat"
    # One level at a time below the work folder, never the work folder
    # itself: once the run has removed it (the run ended), this fails.
    parts = anat.relative_to(work).parts
    for depth in range(1, len(parts) + 1):
        work.joinpath(*parts[:depth]).mkdir(exist_ok=True)

    def name(suffix, extension=".nii.gz", desc=None):
        entities = dict(collection.entities, description=desc)
        return anat / bids_name(participant, session, entities, suffix, extension)

    return name


def _run_chain(job, collection, outputs, fields, collector):
    """The chain on the collection's scans into ``outputs``; its summary.

    ``fields`` are the relative B1 map, the B0 map (Hz) and the mask the
    chain reads (each a path or None).
    """
    from tavni.mt_map import workflows

    b1, b0, mask = fields
    # Scans already on one scale need no factors (omitted factors are 1).
    scales = {role: f for role, f in collection.scales.items() if f != 1.0}
    # The chain's warnings come back in its summary, for the sidecars and the
    # report; the command line does not print them as they arise, where they
    # would interleave between participants.
    echo_combination = job.processing.echo_combination
    combination = {"echo_combination": echo_combination} if collection.echoes else {}
    return workflows.fraction_from_scans(
        *_scans(collection),
        dict(collection.parameters),
        outputs,
        b1=b1,
        b0=b0,
        mask=mask,
        options=workflows.MapOptions(
            threads=job.threads, quiet=True, register=job.processing.register
        ),
        noise_required=False,
        scales=scales,
        observe=collector,
        **combination,
    )


def _parameters_record(collection):
    """The sidecars' record of the chain's parameters: each one's value,
    unit and where it came from (the sidecar field or option).
    """
    from tavni.mt_map.protocol import PARAMETERS

    return {
        key: {
            "Value": given.value,
            "Units": PARAMETERS[key].unit,
            "Source": f"{given.name}{given.source}",
        }
        for key, given in sorted(collection.parameters.items())
    }


def _write_map_sidecars(maps, outputs, name, common, skull_stripped, summary, echoes):
    """Each quantitative map's JSON sidecar: its units, algorithm and
    reference, and what the collection's maps share (``common``).
    """
    for kind in maps:
        sidecar = {
            "Units": kind.unit,
            "EstimationAlgorithm": kind.algorithm,
            "EstimationReference": kind.reference,
            # Within a brain mask, the maps hold values in the brain alone
            # (NaN elsewhere), though the scans they come from keep the skull.
            "SkullStripped": skull_stripped,
            **common,
        }
        if kind.key == "uncertainty":
            # The noise levels used, or why there were none.
            sidecar["NoiseEstimate"] = list(_summary_field(summary, "notes") or ())
        if kind.needs_echoes and echoes.get("R2starStatus") is not None:
            sidecar["R2starStatus"] = echoes["R2starStatus"]
        write_json(
            Path(outputs[kind.key]).with_name(name(kind.suffix, ".json", kind.desc).name), sidecar
        )


def _write_segmentations(segmentations, name, common):
    """Each status segmentation's sidecar and its table of codes (``_dseg.tsv``)."""
    from tavni.mt_map import status

    for kind, fit, table in segmentations:
        write_json(
            name(kind.suffix, ".json", kind.desc),
            {
                "Description": f"Outcome of {fit} per voxel; the codes are listed in the "
                "matching _dseg.tsv",
                **common,
            },
        )
        lines = ["index\tname\tdescription"] + [
            f"{code}\t{label}\t{meaning}"
            for code, label, meaning in status.status_table(getattr(status, table))
        ]
        name(kind.suffix, ".tsv", kind.desc).write_text("\n".join(lines) + "\n")


def _write_statistics(name, outputs, collected, summary, generated_by):
    """The group level's statistics of the collection, so that it reads no
    map either.
    """
    from tavni.mt_map.bids.report.statistics import group_statistics

    write_json(
        name(FRACTION.suffix, ".json", STATS_DESC),
        {
            **group_statistics(collected, _summary_field(summary, "counts"), GROUP_MAPS),
            # The sizes of the files summarised: the group level, which reads
            # no map, knows a map replaced or cut short since.
            "FileBytes": {
                Path(outputs[key]).name: os.path.getsize(outputs[key])
                for key in ["status"] + [kind.key for kind in GROUP_MAPS]
            },
            "GeneratedBy": [generated_by],
        },
    )


def _scans(collection):
    """The PD-, T1- and MT-weighted scans as the chain takes them: a path,
    or the echoes of a multi-echo readout.
    """
    if not collection.echoes:
        return collection.pdw, collection.t1w, collection.mtw
    from tavni.mt_map.workflows.echoes import Echoes

    found = []
    for role in ROLES:
        echoes = collection.echoes.get(role)
        path = getattr(collection, role)
        found.append(
            path
            if echoes is None
            else Echoes(tuple(echoes["images"]), tuple(float(t) for t in echoes["echo_times"]))
        )
    return tuple(found)


def _scan_files(collection):
    """Every image of the three scans, every echo of a multi-echo one."""
    return [
        path
        for role in ROLES
        for path in collection.echoes.get(role, {}).get("images", [getattr(collection, role)])
    ]


def _echoes_record(collection, processing, summary):
    """The echoes' record for the sidecars and the report: the combination,
    each contrast's echo times (s) and the counts of the echo fit's codes;
    None for single-echo scans.
    """
    if not collection.echoes:
        return None
    found = _summary_field(summary, "echoes")
    record = {
        "EchoCombination": processing.echo_combination,
        "EchoTimes": {
            LABELS[role]: [float(t) for t in echoes["echo_times"]]
            for role, echoes in collection.echoes.items()
        },
    }
    if isinstance(found, dict):
        record.update(found)
    return record


def _registration(summary, register):
    """The sidecars' record of the registration: the method and the motion
    found per scan (translation mm, Euler angles deg, the 4 x 4 from the MT
    scan's world coordinates to the scan's).
    """
    if not register:
        return {"Method": "none (--no-register)"}
    from tavni.mt_map.preprocess import registration

    motion = _summary_field(summary, "motion") or {}
    return {
        "Method": registration.METHOD,
        "Reference": "MT-weighted scan",
        "Motion": {name: found.as_dict() for name, found in motion.items()},
    }


def _brain_mask_origin(processing, collection):
    """Where the collection's brain mask comes from, for the maps' sidecars."""
    if collection.mask is not None:
        given = [s for s in collection.sources if s.startswith("bids:mask:")]
        return {"Origin": "from --mask-dir", "Source": given[0] if given else collection.mask}
    if not processing.compute_mask:
        return {"Origin": "none (--no-mask)"}
    from tavni.mt_map.preprocess.mask import METHOD

    return {"Origin": f"computed ({METHOD})", "Source": _mt_source(collection)}


def _mt_source(collection):
    """The MT-weighted scan's BIDS URI among the collection's sources."""
    mtw = Path(collection.mtw).name
    return next((s for s in collection.sources if s.endswith("/" + mtw)), mtw)


def computed_mask(collection: Collection, target: Path, generated_by: dict) -> tuple:
    """Computes a brain mask from the MT-weighted scan and writes it.

    Parameters
    ----------
    collection : Collection
    target : pathlib.Path
        The ``desc-brain_mask`` image to write (uint8 0/1 on the MT-weighted
        scan's grid); its JSON sidecar goes beside it.
    generated_by : dict
        The sidecar's ``GeneratedBy`` entry.

    Returns
    -------
    (str, numpy.ndarray)
        The mask's path, and the mask (bool, for the report's planes).

    Raises
    ------
    BidsError
        The scan has no brain-like foreground; the message names it and
        the options that do without.
    """
    from tavni.mt_map.preprocess.mask import DESCRIPTION, write_brain_mask

    try:
        mask = write_brain_mask(collection.mtw, target, "MT-weighted image")
    except ValueError as error:
        raise BidsError(
            f"{Path(collection.mtw).name}: cannot compute a brain mask ({one_line(error)}); "
            "give one with --mask-dir, or fit every voxel with --no-mask"
        ) from None
    write_json(
        target.with_name(target.name.removesuffix(".nii.gz") + ".json"),
        {
            "Type": "Brain",
            "Sources": [_mt_source(collection)],
            "Description": f"Brain mask computed from the MT-weighted scan: {DESCRIPTION}",
            "GeneratedBy": [generated_by],
        },
    )
    return str(target), mask


def _collector(collection, mask, computed, outputs):
    """The report's observer of the chain on the MT-weighted scan's grid:
    planes through the brain mask's centre, a sample of the mask's voxels
    (every voxel's without a mask).

    The centre must be known before the pass: from the computed mask
    (``computed``, on the scan's grid), else from the given mask, read
    here (a mask is a small image, and the chain reads it as stored);
    without a mask the planes go through the grid's middle.
    """
    import nibabel
    import numpy as np

    from tavni.mt_map.bids.report.collect import Collector, mask_centre
    from tavni.mt_map.io.volumes import probe, refuse_extra_axes

    head = nibabel.load(str(collection.mtw))
    shape, affine = head.shape[:3], head.affine
    candidates, middle = None, [n // 2 for n in shape]
    if computed is None and mask is not None:
        # Read here before the chain's own checks: a 4-D mask named as such.
        refuse_extra_axes(probe(mask, "mask"))
        image = nibabel.load(str(mask))
        data = np.asanyarray(image.dataobj)
        middle = mask_centre(data, image.affine, shape, affine)
        # On another grid, the count scales with the voxels' volumes.
        volumes = abs(np.linalg.det(image.affine[:3, :3]) / np.linalg.det(affine[:3, :3]))
        candidates = int(np.count_nonzero(data) * volumes)
    elif computed is not None:
        middle = mask_centre(computed)
        candidates = int(np.count_nonzero(computed))
    maps = [key for key in outputs if key != "echo_status"]
    return Collector(shape, middle, maps, candidates)


def _summary_field(summary, name):
    if isinstance(summary, dict):
        return summary.get(name)
    return getattr(summary, name, None)
