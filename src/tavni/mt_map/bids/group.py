"""The group level: per-participant statistics of the maps into group/summary.tsv and a report.

The statistics are those the participant level wrote beside each
collection's maps (``<stem>_desc-stats_MPFmap.json``), gathered while its
maps were made; the maps are read only for outputs of versions that did not
write them.
"""

import logging
import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, one_line
from tavni.mt_map.bids.commit import recover
from tavni.mt_map.bids.derivatives import (
    atomic_write,
    check_output_location,
    output_lock,
    read_image,
    record_written,
)
from tavni.mt_map.bids.naming import FRACTION, STATS_DESC, STATUS, output_name
from tavni.mt_map.bids.ownership import read_json
from tavni.mt_map.bids.participant import participant_state
from tavni.mt_map.bids.settings import Selection
from tavni.mt_map.outputs import GROUP_MAPS
from tavni.mt_map.status import fitted

__all__ = [
    "map_statistics",
    "summarise_group",
]

log = logging.getLogger("tavni.mt_map.bids")


def map_statistics(outputs):
    """Median and interquartile range of each map in the fitted region.

    Parameters
    ----------
    outputs : dict of str to path-like
        Map name to file, the status map included.

    Returns
    -------
    dict
        "voxels" (fitted), "share_solved", and ``<suffix>_median`` and
        ``<suffix>_iqr`` of every map of ``outputs.GROUP_MAPS`` (NaN where
        it has no finite value there).
    """
    import numpy as np

    from tavni.mt_map.workflows.summary import summarise

    status = read_image(outputs["status"], "status map").data
    region = fitted(status)
    summary = summarise(status)
    row = {
        "voxels": summary.fitted,
        "share_solved": summary.solved_share if summary.fitted else math.nan,
    }
    for kind in GROUP_MAPS:
        values = read_image(outputs[kind.key], kind.suffix).data[region]
        values = values[np.isfinite(values)]
        if values.size:
            q25, median, q75 = np.percentile(values, [25, 50, 75])
        else:
            q25 = median = q75 = math.nan
        row[f"{kind.suffix}_median"] = float(median)
        row[f"{kind.suffix}_iqr"] = float(q75 - q25)
    return row


def _statistics(fraction, stem, outputs):
    """A collection's row: from its statistics file, else from its maps."""
    path = fraction.with_name(output_name(stem, FRACTION, ".json", STATS_DESC))
    if not path.exists():
        return map_statistics(outputs)
    found = read_json(path, "statistics")
    keys = ["share_solved"] + [
        f"{kind.suffix}_{what}" for kind in GROUP_MAPS for what in ("median", "iqr")
    ]
    try:
        row = {"voxels": int(found["voxels"])}
        # JSON has no NaN: a statistic without values is null there.
        row.update((k, math.nan if found[k] is None else float(found[k])) for k in keys)
        sizes = dict(found["FileBytes"])
    except (KeyError, TypeError, ValueError) as error:
        raise BidsError(f"statistics '{path}' damaged ({type(error).__name__}: {error})") from None
    for name, size in sizes.items():
        image = path.with_name(name)
        try:
            now = image.stat().st_size
        except OSError as error:
            raise BidsError(f"cannot read '{image}': {error.strerror or error}") from None
        if now != size:
            raise BidsError(
                f"'{image}' has {now} bytes, {size} when its statistics were written: "
                "damaged or replaced since"
            )
    return row


def summarise_group(selection: Selection) -> list[dict]:
    """group/summary.tsv and group/report.html from the participants' outputs.

    Holds the output folder's lock, finishes first what killed participant
    runs left half committed, and summarises every complete participant. A
    participant that is incomplete (a folder without report, a report
    without folder) or damaged (a map or sidecar that cannot be read) is
    left out of the summary, and named in the error raised after it is
    written.

    Parameters
    ----------
    selection : Selection
        ``bids_dir``, ``output_dir``, and ``participant_label`` to keep only
        some.

    Returns
    -------
    list of dict
        One row per participant and collection, as in summary.tsv.

    Raises
    ------
    BidsError
        No participant outputs; another run holding the folder; or
        participants left out, each with its reason and file.
    """
    output_dir = Path(selection.output_dir)
    if not output_dir.is_dir():
        raise BidsError(
            f"no participant outputs in '{output_dir}' (no such folder): "
            "run the participant level first"
        )
    check_output_location(selection.bids_dir, output_dir, "group")
    with output_lock(output_dir):
        for line in recover(output_dir):
            log.warning("%s", line)
        return _summarise(selection.participant_label, output_dir)


def _participant_rows(output_dir, participant):
    rows = []
    for fraction in sorted(
        (output_dir / f"sub-{participant}").glob(f"**/anat/{output_name('*', FRACTION)}")
    ):
        stem = fraction.name[: -len(output_name("", FRACTION))]
        entities = dict(part.split("-", 1) for part in stem.split("_") if "-" in part)
        outputs = {
            kind.key: str(fraction.with_name(output_name(stem, kind))) for kind in GROUP_MAPS
        }
        outputs["status"] = str(fraction.with_name(output_name(stem, STATUS)))
        sidecar = read_json(fraction.with_name(output_name(stem, FRACTION, ".json")), "sidecar")
        warnings = sidecar.get("ProcessingWarnings", [])
        rows.append(
            {
                "participant_id": f"sub-{participant}",
                "session_id": f"ses-{entities['ses']}" if "ses" in entities else "n/a",
                "acq": entities.get("acq", "n/a"),
                "run": entities.get("run", "n/a"),
                **_statistics(fraction, stem, outputs),
                "warnings": " | ".join(str(w) for w in warnings) or "n/a",
            }
        )
    return rows


def _summarise(participant_label, output_dir):
    from tavni.mt_map.io.volumes import VolumeError

    wanted = [label.removeprefix("sub-") for label in participant_label or ()]
    found = {p.name.removeprefix("sub-").removesuffix(".html") for p in output_dir.glob("sub-*")}
    rows, problems = [], []
    for participant in sorted(found):
        if wanted and participant not in wanted:
            continue
        state = participant_state(output_dir, participant)
        folder = output_dir / f"sub-{participant}"
        if state != "complete":
            what = (
                "report without its folder"
                if not folder.exists()
                else f"no report '{folder}.html'"
                if not Path(f"{folder}.html").exists()
                else f"no {output_name('*', FRACTION)} in '{folder}'"
            )
            problems.append(f"sub-{participant}: incomplete ({what})")
            continue
        try:
            rows += _participant_rows(output_dir, participant)
        except (BidsError, VolumeError, OSError, ValueError) as error:
            # One damaged participant does not stop the others' summary.
            problems.append(f"sub-{participant}: {one_line(error)}")
    if not rows:
        raise BidsError(
            f"no participant outputs ({output_name('*', FRACTION)}) in "
            f"'{output_dir}': run the participant level first"
            + (f" ({'; '.join(problems)})" if problems else "")
        )
    group = output_dir / "group"
    record_written(output_dir, ["group/", "group/summary.tsv", "group/report.html"])
    try:
        group.mkdir(exist_ok=True)
    except OSError as error:
        raise BidsError(f"cannot create '{group}': {error.strerror or error}") from None
    columns = list(rows[0])

    def cell(value):
        if isinstance(value, float):
            return "n/a" if math.isnan(value) else f"{value:.6g}"
        return str(value).replace("\t", " ")

    text = (
        "\t".join(columns)
        + "\n"
        + "".join("\t".join(cell(row[c]) for c in columns) + "\n" for row in rows)
    )
    atomic_write(group / "summary.tsv", text)
    from tavni.mt_map.bids.report import group_page

    group_page.group_report(group / "report.html", rows)
    if problems:
        summarised = len({row["participant_id"] for row in rows})
        raise BidsError(
            f"'{group / 'summary.tsv'}' summarises {summarised} of "
            f"{summarised + len(problems)} participants; left out: {'; '.join(problems)} "
            "(run the participant level again for them, with --overwrite)"
        )
    return rows
