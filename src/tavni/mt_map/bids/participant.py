"""One participant: its collections mapped into a work folder, moved into the derivatives dataset complete or not at all."""

import math
import os
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Outcome, one_line
from tavni.mt_map.bids.derivatives import read_image, write_json
from tavni.mt_map.bids.naming import STATUS_DESC, bids_name
from tavni.mt_map.outputs import BIDS_MAPS

__all__ = [
    "process_participant",
    "move_into_place",
    "relative_field",
    "hertz_field",
    "scaled_copy",
    "map_collection",
]


def process_participant(job):
    """Maps every collection of one participant into the derivatives dataset.

    Atomically: the participant's folder (and report) appear complete or
    not at all.

    Parameters
    ----------
    job : Job

    Returns
    -------
    Outcome
        Never raises for a problem of this participant: it fails instead,
        with the reason.
    """
    import time

    started = time.monotonic()
    output_dir = Path(job.output_dir)
    final = output_dir / f"sub-{job.participant}"

    def outcome(state, reason="", warnings=()):
        return Outcome(job.participant, state, reason, time.monotonic() - started, list(warnings))

    if final.exists() and job.skip_existing:
        return outcome("skipped", "outputs exist")
    if final.exists() and not job.overwrite:
        return outcome("failed", f"'{final}' exists (use --skip-existing or --overwrite)")
    if job.error:
        return outcome("failed", job.error)
    work = None
    try:
        work = Path(tempfile.mkdtemp(prefix=f".sub-{job.participant}.", dir=output_dir))
        results = [map_collection(job, collection, work) for collection in job.collections]
        from tavni.mt_map.bids import report

        report.participant_report(work / f"sub-{job.participant}.html", job.participant, results)
        move_into_place(work, output_dir, job.participant)
        warnings = [w for r in results for w in r["warnings"]]
        return outcome("done", warnings=warnings)
    except Exception as error:  # whatever went wrong stays with this participant
        from tavni.mt_map.io.volumes import VolumeError
        from tavni.mt_map.protocol import ParameterError

        expected = isinstance(error, (BidsError, VolumeError, ParameterError))
        return outcome(
            "failed", one_line(error) if expected else f"{type(error).__name__}: {one_line(error)}"
        )
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


def move_into_place(work, output_dir, participant):
    """Renames the finished folder (and report) over any earlier one.

    The old one is removed only once the new one is in place.

    Parameters
    ----------
    work : pathlib.Path
        The work folder holding ``sub-<participant>`` and its report.
    output_dir : pathlib.Path
        The derivatives dataset.
    participant : str
    """
    final = output_dir / f"sub-{participant}"
    old = None
    if final.exists():
        old = work / "previous"
        os.replace(final, old)
    os.replace(work / f"sub-{participant}", final)
    os.replace(work / f"sub-{participant}.html", output_dir / f"sub-{participant}.html")
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def relative_field(path, units, what, work, warnings):
    """A B1 map as relative values (1 = nominal).

    Percent, recognised by the sidecar's Units or a median above 10, is
    scaled into a copy.

    Parameters
    ----------
    path : str
        The TB1map.
    units : str or None
        Its sidecar's Units.
    what : str
        What it is, for messages.
    work : pathlib.Path
        The participant's work folder (the copy goes to its ``inputs``).
    warnings : list
        Where a line on the scaling goes.

    Returns
    -------
    str
        path itself, or the scaled copy's.
    """
    import numpy as np

    volume = read_image(path, what)
    inside = volume.data[np.isfinite(volume.data) & (volume.data > 0)]
    median = float(np.median(inside)) if inside.size else 1.0
    name = Path(path).name
    if units is not None and str(units).strip().lower() in ("percent", "%", "pct"):
        percent, why = True, f"its sidecar says Units {units}"
    elif units is not None:
        percent, why = False, ""
        if median > 10:
            warnings.append(f"{name}: Units {units} but median {median:.3g}; read as given")
    else:
        percent, why = median > 10, f"its median is {median:.3g}"
    if not percent:
        return path
    warnings.append(f"{name}: read as percent of nominal ({why}); divided by 100")
    return scaled_copy(volume, 0.01, work / "inputs" / name, path)


def hertz_field(path, units, work, warnings):
    """A B0 map in Hz; rad/s is converted into a copy.

    Parameters
    ----------
    path : str
        The fieldmap.
    units : str
        Its sidecar's Units.
    work : pathlib.Path
        The participant's work folder.
    warnings : list
        Where a line on the conversion goes.

    Returns
    -------
    str
        path itself, or the converted copy's.

    Raises
    ------
    BidsError
        Units other than Hz or rad/s.
    """
    spelled = str(units).strip().lower().replace(" ", "")
    if spelled in ("hz", "hertz"):
        return path
    name = Path(path).name
    if spelled in ("rad/s", "rad*s^-1", "rad.s-1"):
        warnings.append(f"{name}: Units rad/s converted to Hz")
        return scaled_copy(
            read_image(path, "B0 map"), 1 / (2 * math.pi), work / "inputs" / name, path
        )
    raise BidsError(f"{name}: fieldmap Units '{units}' not understood (Hz or rad/s)")


def scaled_copy(volume, factor, target, source):
    """A float32 copy of volume times factor, for the chain to read instead.

    Parameters
    ----------
    volume : volumes.Volume
    factor : float
    target : pathlib.Path
        Where to write; its suffixes become .nii.gz.
    source : path-like
        The original, for messages.

    Returns
    -------
    str
        The copy's path.
    """
    import numpy as np

    from tavni.mt_map.io import volumes

    target.parent.mkdir(parents=True, exist_ok=True)
    target = target.with_name(target.name.split(".")[0] + ".nii.gz")
    volumes.save_all(
        [
            volumes.Output(
                target, f"rescaled {Path(source).name}", volume.data * factor, np.float32, volume
            )
        ]
    )
    return str(target)


def map_collection(job, collection, work):
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
        "outputs" (map name to path), "anatomy" (the T1-weighted scan),
        "parameters", "sources", "warnings" and "counts".
    """
    from tavni.mt_map import workflows

    participant, session = job.participant, collection.session
    anat = work / f"sub-{participant}"
    if session is not None:
        anat = anat / f"ses-{session}"
    anat = anat / "anat"
    anat.mkdir(parents=True, exist_ok=True)
    warnings = list(collection.warnings)

    def name(suffix, extension=".nii.gz", desc=None):
        entities = dict(collection.entities, description=desc)
        return anat / bids_name(participant, session, entities, suffix, extension)

    outputs = {kind.key: str(name(kind.suffix)) for kind in BIDS_MAPS}
    outputs["status"] = str(name("dseg", desc=STATUS_DESC))
    b1 = b0 = None
    if collection.b1:
        b1 = relative_field(collection.b1, collection.b1_units, "B1 map", work, warnings)
    if collection.b0:
        b0 = hertz_field(collection.b0, collection.b0_units, work, warnings)
    # The chain's warnings come back in its summary, for the sidecars and the
    # report; the command line does not print them as they arise, where they
    # would interleave between participants.
    summary = workflows.fraction_from_scans(
        collection.pdw,
        collection.t1w,
        collection.mtw,
        dict(collection.parameters),
        outputs,
        b1=b1,
        b0=b0,
        mask=collection.mask,
        threads=job.threads,
        quiet=True,
        noise_required=False,
    )
    warnings += list(_summary_field(summary, "warnings") or ())

    from tavni.mt_map.protocol import PARAMETERS

    parameters = {
        key: {
            "Value": given.value,
            "Units": PARAMETERS[key].unit,
            "Source": f"{given.name}{given.source}",
        }
        for key, given in sorted(collection.parameters.items())
    }
    common = {
        "Sources": collection.sources,
        "Parameters": parameters,
        "GeneratedBy": [job.generated_by],
    }
    if warnings:
        common["ProcessingWarnings"] = warnings
    for kind in BIDS_MAPS:
        sidecar = {
            "Units": kind.unit,
            "EstimationAlgorithm": kind.algorithm,
            "EstimationReference": kind.reference,
            **common,
        }
        if kind.key == "uncertainty":
            # The noise levels used, or why there were none.
            sidecar["NoiseEstimate"] = list(_summary_field(summary, "notes") or ())
        write_json(Path(outputs[kind.key]).with_name(name(kind.suffix, ".json").name), sidecar)
    from tavni.mt_map.status import status_table

    write_json(
        name("dseg", ".json", STATUS_DESC),
        {
            "Description": "Outcome of the bound-pool fraction fit per voxel; the codes are "
            "listed in the matching _dseg.tsv",
            **common,
        },
    )
    lines = ["index\tname\tdescription"] + [
        f"{code}\t{label}\t{meaning}" for code, label, meaning in sorted(status_table())
    ]
    name("dseg", ".tsv", STATUS_DESC).write_text("\n".join(lines) + "\n")
    return {
        "session": session,
        "entities": collection.entities,
        "outputs": outputs,
        "anatomy": collection.t1w,
        "parameters": parameters,
        "sources": collection.sources,
        "warnings": warnings,
        "counts": _summary_field(summary, "counts"),
    }


def _summary_field(summary, name):
    if isinstance(summary, dict):
        return summary.get(name)
    return getattr(summary, name, None)
