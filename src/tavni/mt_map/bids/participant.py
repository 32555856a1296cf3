"""One participant: its collections mapped into a work folder, moved into the
derivatives dataset complete or not at all.

The participant's folder and report are replaced by a journalled commit: the
finished work folder gets a journal naming the inodes of the new folder and
report, then the folder is swapped with the old one in a single rename (the
kernel's exchange, where the filesystem has it) and the report renamed over
the old one. At every instant a folder and a report are in place, old or new;
a run killed in between leaves the journal, and the next run (or the group
level) finishes the commit from it before anything else reads the folder.
"""

import ctypes
import errno
import json
import logging
import math
import os
import re
import shutil
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Outcome, one_line
from tavni.mt_map.bids.derivatives import foreign_file, read_image, write_json
from tavni.mt_map.bids.naming import FRACTION_SUFFIX, STATUS_DESC, bids_name
from tavni.mt_map.outputs import BIDS_MAPS, GROUP_MAPS, by_key

__all__ = [
    "process_participant",
    "participant_state",
    "move_into_place",
    "recover",
    "relative_field",
    "hertz_field",
    "scaled_copy",
    "map_collection",
    "computed_mask",
    "STATS_DESC",
    "solved_share",
    "shortfall",
    "state_on_disk",
]

STATS_DESC = "stats"
"""The ``desc`` of each collection's statistics for the group level
(``<stem>_desc-stats_MPFmap.json`` beside the maps): the fitted voxels, the
share solved, each map's median and IQR in the fitted region."""

log = logging.getLogger("tavni.mt_map.bids")

JOURNAL = "commit.json"
"""The work folder's journal: written once its participant is complete,
removed once folder and report are in place."""

# A participant's work folder (tempfile.mkdtemp's eight characters after the
# prefix) and the temporaries that atomic writes leave when killed.
_WORK = re.compile(r"\.sub-([A-Za-z0-9]+)\.[a-z0-9_]{8}")
_TEMPORARY = re.compile(
    r"\.(dataset_description\.json|\.bidsignore|summary\.tsv|report\.html)\.[a-z0-9_]{8}"
)


# What in a collection's warnings names the likely cause of few voxels
# solved: a parameter outside the range of human scanners, with its unit
# mistake (protocol.validate), first; else the chain's own diagnosis.
_UNIT_HINT = "for a human scanner; "
_SOLVED_CAUSE = " were solved; "
_R1_CAUSE = "R1 could not be found"


def solved_share(counts):
    """The share of the fitted voxels solved, as ``mt-map fraction --fail-below``
    judges it.

    Parameters
    ----------
    counts : dict of str to int
        Voxels per status name of the fraction fit.

    Returns
    -------
    float
        Solved over fitted (neither masked nor invalid input); 0 when no
        voxel was fitted.
    """
    from tavni.mt_map.workflows.summary import Summary

    return Summary(dict(counts or {})).solved_share


def shortfall(counts, fail_below, warnings=()):
    """Why a participant fails for too few voxels solved, or None.

    Parameters
    ----------
    counts : list of dict
        Voxels per status name, one dict per collection.
    fail_below : float
        The share of fitted voxels solved that each collection must reach.
    warnings : list of str
        The participant's warnings; the likely cause is taken from them.

    Returns
    -------
    str or None
        One line: the share, the threshold and the likely cause.
    """
    from tavni.mt_map.workflows.summary import Summary

    summaries = [Summary(dict(c or {})) for c in counts]
    low = [s for s in summaries if s.solved_share < fail_below]
    if not low:
        return None
    worst = min(low, key=lambda s: s.solved_share)
    if worst.fitted == 0:
        text = "no voxel fitted (every voxel masked or without valid input)"
    else:
        text = (
            f"{100 * worst.solved_share:.1f} % of the {worst.fitted} fitted voxels solved "
            f"(below --fail-below {fail_below:g})"
        )
    hints = [w for w in warnings if _UNIT_HINT in w]
    if hints:
        return f"{text}; likely cause: {'; '.join(hints)}"
    for warning in warnings:
        if warning.startswith(_R1_CAUSE):
            return f"{text}; {warning}"
        if _SOLVED_CAUSE in warning:
            return f"{text}; {warning.split(_SOLVED_CAUSE, 1)[1]}"
    return text


def state_on_disk(output_dir, participant, fail_below):
    """A committed participant judged from its files: its status maps' counts
    against ``fail_below``, and the warnings of their sidecars.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset.
    participant : str
        The label, without ``sub-``.
    fail_below : float

    Returns
    -------
    (str or None, float or None, list of str)
        Why it fails (None when every collection reaches ``fail_below``),
        the smallest share solved (None without a readable status map) and
        the warnings.
    """
    from tavni.mt_map.io.volumes import VolumeError
    from tavni.mt_map.workflows.summary import summarise

    counts, warnings = [], []
    folder = Path(output_dir) / f"sub-{participant}"
    for path in sorted(folder.rglob(f"*_desc-{STATUS_DESC}_dseg.nii.gz")):
        try:
            status = read_image(path, "status map").data
        except VolumeError as error:
            return f"cannot read its status map: {one_line(error)}", None, warnings
        counts.append(summarise(status.astype("uint8")).counts)
        try:
            sidecar = json.loads(path.with_name(path.name[: -len(".nii.gz")] + ".json").read_text())
            warnings += list(sidecar.get("ProcessingWarnings", ()))
        except (OSError, ValueError, AttributeError):
            pass
    if not counts:
        return None, None, warnings
    share = min(solved_share(c) for c in counts)
    return shortfall(counts, fail_below, warnings), share, warnings


def participant_state(output_dir, participant):
    """What a participant has in the derivatives dataset.

    Parameters
    ----------
    output_dir : path-like
    participant : str
        The label, without ``sub-``.

    Returns
    -------
    str
        "absent" (neither folder nor report), "complete" (the folder with at
        least one fraction map and the report) or "incomplete" (anything
        else: a folder without report or maps, a report without folder, a
        commit a killed run left half done).
    """
    output_dir = Path(output_dir)
    folder = output_dir / f"sub-{participant}"
    report = output_dir / f"sub-{participant}.html"
    if not folder.exists() and not report.exists():
        return "absent"
    pending = any((work / JOURNAL).exists() for work in output_dir.glob(f".sub-{participant}.*"))
    maps = folder.is_dir() and next(folder.rglob(f"*_{FRACTION_SUFFIX}.nii.gz"), None)
    return "complete" if maps and report.is_file() and not pending else "incomplete"


def process_participant(job):
    """Maps every collection of one participant into the derivatives dataset.

    Atomically: the participant's folder and report are the old ones or the
    new ones at every instant, and a kill between the two leaves a journal
    from which :func:`recover` finishes the commit.

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

    def outcome(state, reason="", warnings=(), solved=None):
        seconds = time.monotonic() - started
        return Outcome(job.participant, state, reason, seconds, list(warnings), solved)

    state = participant_state(output_dir, job.participant)
    # Outputs kept from a participant that failed for too few voxels solved
    # are redone under --skip-existing, as incomplete ones are.
    if state == "complete" and job.skip_existing:
        why, solved, _ = state_on_disk(output_dir, job.participant, job.fail_below)
        if why is None:
            return outcome("skipped", "outputs exist", solved=solved)
    # An incomplete participant is redone under --skip-existing: skipping it
    # would leave it incomplete for good.
    if state != "absent" and not (job.overwrite or job.skip_existing):
        return outcome(
            "failed",
            f"'{final}' exists{' (incomplete)' if state == 'incomplete' else ''} "
            "(use --skip-existing or --overwrite)",
        )
    if final.is_dir():
        found = foreign_file(final)
        if found is not None:
            return outcome(
                "failed", f"'{found}' was not written by this program: '{final}' not replaced"
            )
    if job.error:
        return outcome("failed", job.error)
    work = None
    try:
        work = Path(tempfile.mkdtemp(prefix=f".sub-{job.participant}.", dir=output_dir))
        results = [map_collection(job, collection, work) for collection in job.collections]
        from tavni.mt_map.bids.report import participant_page

        participant_page.participant_report(
            work / f"sub-{job.participant}.html", job.participant, results
        )
        move_into_place(work, output_dir, job.participant)
        work = None  # removed by the commit
        warnings = [w for r in results for w in r["warnings"]]
        # Too few voxels solved fails the participant; its maps stay in
        # place for a look at what went wrong.
        counts = [r["counts"] for r in results]
        solved = min(solved_share(c) for c in counts) if counts else None
        why = shortfall(counts, job.fail_below, warnings)
        return outcome("failed" if why else "done", why or "", warnings, solved)
    except Exception as error:  # whatever went wrong stays with this participant
        from tavni.mt_map.io.volumes import VolumeError
        from tavni.mt_map.protocol import ParameterError

        expected = isinstance(error, (BidsError, VolumeError, ParameterError))
        reason = one_line(error) if expected else f"{type(error).__name__}: {one_line(error)}"
        if isinstance(error, OSError) and error.filename is None:
            # A full disk says so without naming the file: the folder is
            # where this participant was writing.
            reason += f" (writing into '{work or output_dir}')"
        return outcome("failed", reason)
    finally:
        if work is not None and (work / JOURNAL).exists():
            # Committed but not finished (the disk filled between the
            # renames, say): the journal lets the next run finish it.
            work = None
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


def _rename(source, target):
    os.replace(source, target)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(first, second):
    """Swaps two existing paths in one step, where the filesystem can.

    Returns
    -------
    bool
        False when this system or filesystem has no atomic exchange.
    """
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    result = renameat2(
        _AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE
    )
    if result == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), str(first), None, str(second))


def _inode(path):
    try:
        return os.lstat(path).st_ino
    except FileNotFoundError:
        return None


def _sync(folder):
    try:
        handle = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


def move_into_place(work, output_dir, participant):
    """Commits the finished folder and report over any earlier ones.

    Parameters
    ----------
    work : pathlib.Path
        The work folder holding ``sub-<participant>`` and its report.
    output_dir : pathlib.Path
        The derivatives dataset.
    participant : str

    Raises
    ------
    OSError
        A rename failed; the journal stays for the next run to finish.
    """
    journal = {
        "participant": participant,
        "folder": os.lstat(work / f"sub-{participant}").st_ino,
        "report": os.lstat(work / f"sub-{participant}.html").st_ino,
    }
    temporary = work / f".{JOURNAL}"
    with open(temporary, "w") as stream:
        stream.write(json.dumps(journal) + "\n")
        stream.flush()
        os.fsync(stream.fileno())
    _sync(work / f"sub-{participant}")
    _rename(temporary, work / JOURNAL)
    _sync(work)
    _finish(work, Path(output_dir), journal)


def _finish(work, output_dir, journal):
    """Brings a committed work folder's participant into place; repeatable
    from any point a kill left it at.
    """
    participant = journal["participant"]
    final = output_dir / f"sub-{participant}"
    report = output_dir / f"sub-{participant}.html"
    new_folder = work / f"sub-{participant}"
    new_report = work / f"sub-{participant}.html"
    if _inode(final) != journal["folder"]:
        if _inode(new_folder) != journal["folder"]:
            raise BidsError(f"'{work}': the new folder of sub-{participant} is gone")
        if not final.exists():
            _rename(new_folder, final)
        elif not _exchange(new_folder, final):
            # No exchange here: the old folder steps aside first, and a kill
            # in between leaves no folder, which the journal still repairs.
            _rename(final, work / "previous")
            _rename(new_folder, final)
    if _inode(report) != journal["report"]:
        if _inode(new_report) != journal["report"]:
            raise BidsError(f"'{work}': the new report of sub-{participant} is gone")
        _rename(new_report, report)
    _sync(output_dir)
    (work / JOURNAL).unlink()
    shutil.rmtree(work, ignore_errors=True)


def recover(output_dir):
    """Finishes what killed runs left, and removes their leftovers.

    To be called while holding the output folder's lock, so that no live
    run's work folder is touched: a work folder with a journal is committed,
    one without is removed with its partial maps, and temporaries of the
    dataset's own files are removed.

    Parameters
    ----------
    output_dir : path-like

    Returns
    -------
    list of str
        A line for each participant whose commit was finished.

    Raises
    ------
    BidsError
        A journal that cannot be followed; the message names the folder.
    """
    output_dir = Path(output_dir)
    finished = []
    for folder in (output_dir, output_dir / "group"):
        if not folder.is_dir():
            continue
        for entry in sorted(folder.iterdir()):
            if folder == output_dir and entry.is_dir() and _WORK.fullmatch(entry.name):
                journal = entry / JOURNAL
                if journal.exists():
                    try:
                        _finish(entry, output_dir, json.loads(journal.read_text()))
                    except (OSError, ValueError, KeyError) as error:
                        raise BidsError(
                            f"cannot finish the interrupted commit in '{entry}': {one_line(error)}"
                        ) from None
                    name = entry.name.split(".")[1]
                    finished.append(f"{name}: the commit of a run that was stopped, finished")
                else:
                    # Versions before the journal moved the old folder into
                    # the work folder first: a kill then left it only there.
                    name = entry.name.split(".")[1]
                    previous, final = entry / "previous", output_dir / name
                    if previous.is_dir() and not final.exists():
                        _rename(previous, final)
                        finished.append(
                            f"{name}: the folder a stopped run had moved aside, restored"
                        )
                    shutil.rmtree(entry, ignore_errors=True)
            elif entry.is_file() and _TEMPORARY.fullmatch(entry.name):
                entry.unlink(missing_ok=True)
    return finished


def relative_field(collection, work):
    """The collection's transmit field as relative B1 (1 = nominal), on the
    B1 sequence's own grid.

    Computed from the source the dataset holds (``collection.b1_kind``):
    a map in percent or degrees is divided into relative values, the
    mapping sequences' images (TFL, AFI, DAM) give B1 by their formulas
    (``preprocess.b1``). The result is written as float32 with the B1
    images' own geometry into the work folder's ``inputs``; a map that is
    relative already is read where it lies.

    Parameters
    ----------
    collection : Collection
        ``b1_kind``, ``b1_files`` and ``b1_settings`` are read.
    work : pathlib.Path
        The participant's work folder.

    Returns
    -------
    str
        The path of the relative map.

    Raises
    ------
    BidsError
        The images of a pair on different grids.
    volumes.VolumeError
        An image that cannot be read.
    """
    import numpy as np

    from tavni.mt_map.preprocess import b1

    kind, files, settings = collection.b1_kind, collection.b1_files, collection.b1_settings
    if kind in ("TB1map", "derivative"):
        if b1.units_kind(settings["units"]) == "relative":
            return files[0]
        volume = read_image(files[0], "B1 map")
        values = b1.relative_from_units(volume.data, settings["units"], settings.get("nominal_deg"))
    elif kind == "TB1TFL":
        volume = read_image(files[0], "TFL flip-angle map")
        values = b1.b1_from_tfl(volume.data, settings["nominal_deg"])
    else:
        volume, second = (read_image(path, f"{kind} image") for path in files)
        if volume.data.shape != second.data.shape or not np.allclose(
            volume.affine, second.affine, atol=1e-3
        ):
            raise BidsError(
                f"{Path(files[0]).name} and {Path(files[1]).name}: the {kind} images are on "
                "different grids; B1 is computed voxel by voxel from the pair"
            )
        if kind == "TB1AFI":
            values = b1.b1_from_afi(
                volume.data,
                second.data,
                settings["tr1"],
                settings["tr2"],
                settings["nominal_deg"],
            )
        else:
            values = b1.b1_from_dam(volume.data, second.data, settings["alpha1_deg"])
    stem = Path(files[0]).name.split(".")[0]
    return _float_copy(
        values, volume, work / "inputs" / f"{stem}_relB1.nii.gz", f"relative B1 from {kind}"
    )


def _float_copy(values, like, target, descrip):
    """Writes values as float32 .nii.gz with like's geometry; returns the path."""
    import numpy as np

    from tavni.mt_map.io import volumes

    target.parent.mkdir(parents=True, exist_ok=True)
    target = target.with_name(target.name.split(".")[0] + ".nii.gz")
    volumes.save_all([volumes.Output(target, descrip, values, np.float32, like)])
    return str(target)


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
    return _float_copy(volume.data * factor, volume, target, f"rescaled {Path(source).name}")


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

    # Multi-echo scans go to the chain as their echoes, which give R2* too.
    scans = _scans(collection)
    maps = [kind for kind in BIDS_MAPS if collection.echoes or not kind.needs_echoes]
    outputs = {kind.key: str(name(kind.suffix, desc=kind.desc)) for kind in maps}
    outputs["status"] = str(name("dseg", desc=STATUS_DESC))
    segmentations = [(STATUS_DESC, "the bound-pool fraction fit", "FRACTION")]
    if collection.echoes:
        echo_status = by_key("echo_status")
        outputs["echo_status"] = str(name(echo_status.suffix, desc=echo_status.desc))
        segmentations.append((echo_status.desc, "the echoes' fit of S(0) and R2*", "ECHOES"))
    b1 = b0 = None
    if collection.b1:
        b1 = relative_field(collection, work)
    if collection.b0:
        b0 = hertz_field(collection.b0, collection.b0_units, work, warnings)
    # Scans already on one scale need no factors (omitted factors are 1).
    scales = {role: f for role, f in collection.scales.items() if f != 1.0}
    mask, brain_mask = collection.mask, _brain_mask_origin(job, collection)
    computed = None
    if mask is None and job.compute_mask:
        mask, computed = computed_mask(collection, name("mask", desc="brain"), job.generated_by)
    # The report's statistics and planes are collected as the chain streams
    # the scans through, so that it reads no map back.
    collector = _collector(collection, mask, computed, outputs)
    # The chain's warnings come back in its summary, for the sidecars and the
    # report; the command line does not print them as they arise, where they
    # would interleave between participants.
    combination = {"echo_combination": job.echo_combination} if collection.echoes else {}
    summary = workflows.fraction_from_scans(
        *scans,
        dict(collection.parameters),
        outputs,
        b1=b1,
        b0=b0,
        mask=mask,
        options=workflows.MapOptions(threads=job.threads, quiet=True, register=job.register),
        noise_required=False,
        scales=scales,
        observe=collector,
        **combination,
    )
    collected = collector.finish()
    warnings += list(_summary_field(summary, "warnings") or ())
    echoes = _echoes_record(collection, job, summary)

    from tavni.mt_map.protocol import PARAMETERS

    parameters = {
        key: {
            "Value": given.value,
            "Units": PARAMETERS[key].unit,
            "Source": f"{given.name}{given.source}",
        }
        for key, given in sorted(collection.parameters.items())
    }
    b1_source = collection.b1_source or "none: flip angles taken as nominal"
    common = {
        "Sources": collection.sources,
        "Parameters": parameters,
        "B1Source": b1_source,
        "IntensityScale": dict(collection.scale_notes),
        "Registration": _registration(summary, job.register),
        "GeneratedBy": [job.generated_by],
        "BrainMask": brain_mask,
    }
    if echoes:
        common["EchoCombination"] = echoes["EchoCombination"]
        common["EchoTimes"] = echoes["EchoTimes"]
    if warnings:
        common["ProcessingWarnings"] = warnings
    for kind in maps:
        sidecar = {
            "Units": kind.unit,
            "EstimationAlgorithm": kind.algorithm,
            "EstimationReference": kind.reference,
            # Within a brain mask, the maps hold values in the brain alone
            # (NaN elsewhere), though the scans they come from keep the skull.
            "SkullStripped": mask is not None,
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
    from tavni.mt_map import status

    for desc, fit, table in segmentations:
        write_json(
            name("dseg", ".json", desc),
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
        name("dseg", ".tsv", desc).write_text("\n".join(lines) + "\n")
    # The group level's statistics, so that it reads no map either.
    from tavni.mt_map.bids.report.statistics import group_statistics

    write_json(
        name(FRACTION_SUFFIX, ".json", STATS_DESC),
        {
            **group_statistics(collected, _summary_field(summary, "counts"), GROUP_MAPS),
            # The sizes of the files summarised: the group level, which reads
            # no map, knows a map replaced or cut short since.
            "FileBytes": {
                Path(outputs[key]).name: os.path.getsize(outputs[key])
                for key in ["status"] + [kind.key for kind in GROUP_MAPS]
            },
            "GeneratedBy": [job.generated_by],
        },
    )
    return {
        "session": session,
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
        "scans": {"pdw": collection.pdw, "t1w": collection.t1w, "mtw": collection.mtw},
        "echoes": echoes,
        "b1": b1,
        "b0": b0,
        "registered": job.register,
        "motion": {
            role: found.as_dict()
            for role, found in (_summary_field(summary, "motion") or {}).items()
        },
        "inputs": _scan_files(collection)
        + list(collection.b1_files or ([collection.b1] if collection.b1 else []))
        + [p for p in (collection.b0, collection.mask) if p],
        "generated_by": job.generated_by,
    }


def _scans(collection):
    """The PD-, T1- and MT-weighted scans as the chain takes them: a path,
    or the echoes of a multi-echo readout.
    """
    if not collection.echoes:
        return collection.pdw, collection.t1w, collection.mtw
    from tavni.mt_map.workflows.echoes import Echoes

    found = []
    for role in ("pdw", "t1w", "mtw"):
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
        for role in ("pdw", "t1w", "mtw")
        for path in collection.echoes.get(role, {}).get("images", [getattr(collection, role)])
    ]


_CONTRAST = {"pdw": "PDw", "t1w": "T1w", "mtw": "MTw"}


def _echoes_record(collection, job, summary):
    """The echoes' record for the sidecars and the report: the combination,
    each contrast's echo times (s) and the counts of the echo fit's codes;
    None for single-echo scans.
    """
    if not collection.echoes:
        return None
    found = _summary_field(summary, "echoes")
    record = {
        "EchoCombination": job.echo_combination,
        "EchoTimes": {
            _CONTRAST[role]: [float(t) for t in echoes["echo_times"]]
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


def _brain_mask_origin(job, collection):
    """Where the collection's brain mask comes from, for the maps' sidecars."""
    if collection.mask is not None:
        given = [s for s in collection.sources if s.startswith("bids:mask:")]
        return {"Origin": "from --mask-dir", "Source": given[0] if given else collection.mask}
    if not job.compute_mask:
        return {"Origin": "none (--no-mask)"}
    from tavni.mt_map.preprocess.mask import METHOD

    return {"Origin": f"computed ({METHOD})", "Source": _mt_source(collection)}


def _mt_source(collection):
    """The MT-weighted scan's BIDS URI among the collection's sources."""
    mtw = Path(collection.mtw).name
    return next((s for s in collection.sources if s.endswith("/" + mtw)), mtw)


def computed_mask(collection, target, generated_by):
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

    head = nibabel.load(str(collection.mtw))
    shape, affine = head.shape[:3], head.affine
    candidates, middle = None, [n // 2 for n in shape]
    if computed is None and mask is not None:
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
