"""The derivatives dataset's own description: ``dataset_description.json``
(what generated it, from which raw dataset and derivatives, by relative
links) and ``.bidsignore``, written whole and recorded as this program's.
"""

import json
import logging
import os
from pathlib import Path

from tavni.mt_map.bids.base import APP_NAME, BidsError
from tavni.mt_map.bids.files import atomic_write, read_json
from tavni.mt_map.bids.naming import bidsignore
from tavni.mt_map.bids.ownership import record_written
from tavni.mt_map.bids.settings import Reading

__all__ = ["write_dataset_description", "dataset_link"]

log = logging.getLogger("tavni.mt_map.bids")


def write_dataset_description(output_dir: Path, reading: Reading, generated_by: dict) -> None:
    """dataset_description.json and .bidsignore of the derivatives dataset.

    Written once: kept if present and sound, so that runs can add
    participants; rewritten when a run before was stopped by a full disk
    and left it empty or cut short. .bidsignore gains the lines it lacks.
    Both are written whole (a temporary beside, then renamed), so that a
    full disk leaves the old file or none, never a partial one.

    Parameters
    ----------
    output_dir : path-like
        The derivatives dataset (created if missing).
    reading : Reading
        ``bids_dir`` (whose description names the raw data), ``mask_dir``
        and ``b1_dir`` (linked where given).
    generated_by : dict
        The ``GeneratedBy`` entry.

    Raises
    ------
    BidsError
        A file cannot be read or written; the message names it.
    """
    output_dir = Path(output_dir)
    try:
        output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise BidsError(f"cannot create '{output_dir}': {error.strerror or error}") from None
    description = output_dir / "dataset_description.json"
    ignore = output_dir / ".bidsignore"
    record_written(output_dir, [description.name, ignore.name])
    sound = False
    if description.exists():
        try:
            read_json(description, "derivatives description")
            sound = True
        except BidsError as error:
            log.warning("%s; written anew", error)
    if not sound:
        raw_path = Path(reading.bids_dir) / "dataset_description.json"
        raw = read_json(raw_path, "dataset description")
        links = {"raw": dataset_link(reading.bids_dir, output_dir)}
        if reading.mask_dir is not None:
            links["mask"] = dataset_link(reading.mask_dir, output_dir)
        if reading.b1_dir is not None:
            links["b1"] = dataset_link(reading.b1_dir, output_dir)
        content = {
            "Name": f"{APP_NAME} derivatives of {raw.get('Name', Path(reading.bids_dir).name)}",
            "BIDSVersion": raw.get("BIDSVersion", "1.9.0"),
            "DatasetType": "derivative",
            "GeneratedBy": [generated_by],
            "DatasetLinks": links,
        }
        atomic_write(description, json.dumps(content, indent=2) + "\n")
    try:
        lines = ignore.read_text().splitlines() if ignore.exists() else []
    except OSError as error:
        raise BidsError(f"cannot read '{ignore}': {error.strerror or error}") from None
    missing = [line for line in bidsignore() if line not in lines]
    if missing:
        atomic_write(ignore, "\n".join([line for line in lines if line] + missing) + "\n")


def dataset_link(dataset, output_dir):
    """A ``DatasetLinks`` entry: the path from the derivatives to a dataset.

    Relative, so that the derivatives and the datasets they link keep
    finding each other when they move or are shared together (the usual
    ``BIDS_DIR/derivatives/mt-map`` links its raw dataset as ``../..``);
    an absolute ``file://`` URI would name a folder of this machine only.

    Parameters
    ----------
    dataset, output_dir : path-like
        The linked dataset and the derivatives dataset's root.

    Returns
    -------
    str
        A relative path with forward slashes, e.g. ``../..`` or ``../ds``.
    """
    return Path(os.path.relpath(Path(dataset).resolve(), Path(output_dir).resolve())).as_posix()
