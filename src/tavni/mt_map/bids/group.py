"""The group level: per-participant statistics of the maps into group/summary.tsv and a report."""

import json
import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.derivatives import atomic_write, read_image
from tavni.mt_map.bids.naming import FRACTION_SUFFIX, STATUS_DESC
from tavni.mt_map.outputs import BIDS_MAPS
from tavni.mt_map.status import fitted

__all__ = [
    "map_statistics",
    "summarise_group",
]


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
        ``<suffix>_iqr`` of every map of ``outputs.BIDS_MAPS`` (NaN where
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
    for kind in BIDS_MAPS:
        values = read_image(outputs[kind.key], kind.suffix).data[region]
        values = values[np.isfinite(values)]
        if values.size:
            q25, median, q75 = np.percentile(values, [25, 50, 75])
        else:
            q25 = median = q75 = math.nan
        row[f"{kind.suffix}_median"] = float(median)
        row[f"{kind.suffix}_iqr"] = float(q75 - q25)
    return row


def summarise_group(options):
    """group/summary.tsv and group/report.html from the participants' outputs.

    Parameters
    ----------
    options : AppOptions
        ``output_dir``, and ``participant_label`` to keep only some.

    Returns
    -------
    list of dict
        One row per participant and collection, as in summary.tsv.

    Raises
    ------
    BidsError
        No participant outputs.
    """
    output_dir = Path(options.output_dir)
    labels = [label.removeprefix("sub-") for label in options.participant_label or ()]
    found = sorted(output_dir.glob(f"sub-*/**/anat/*_{FRACTION_SUFFIX}.nii.gz"))
    rows = []
    for fraction in found:
        participant = fraction.relative_to(output_dir).parts[0].removeprefix("sub-")
        if labels and participant not in labels:
            continue
        stem = fraction.name[: -len(f"_{FRACTION_SUFFIX}.nii.gz")]
        entities = dict(part.split("-", 1) for part in stem.split("_"))
        outputs = {
            kind.key: str(fraction.with_name(f"{stem}_{kind.suffix}.nii.gz")) for kind in BIDS_MAPS
        }
        outputs["status"] = str(fraction.with_name(f"{stem}_desc-{STATUS_DESC}_dseg.nii.gz"))
        sidecar = json.loads(fraction.with_name(f"{stem}_{FRACTION_SUFFIX}.json").read_text())
        row = {
            "participant_id": f"sub-{participant}",
            "session_id": f"ses-{entities['ses']}" if "ses" in entities else "n/a",
            "acq": entities.get("acq", "n/a"),
            "run": entities.get("run", "n/a"),
            **map_statistics(outputs),
            "warnings": " | ".join(sidecar.get("ProcessingWarnings", [])) or "n/a",
        }
        rows.append(row)
    if not rows:
        raise BidsError(
            f"no participant outputs (*_{FRACTION_SUFFIX}.nii.gz) in "
            f"'{output_dir}': run the participant level first"
        )
    group = output_dir / "group"
    group.mkdir(exist_ok=True)
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
    from tavni.mt_map.bids import report

    report.group_report(group / "report.html", rows)
    return rows
