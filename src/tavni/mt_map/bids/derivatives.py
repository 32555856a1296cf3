"""The derivatives dataset's own files: its description, .bidsignore, JSON sidecars, written whole."""

import json
import os
import tempfile
from pathlib import Path

from tavni.mt_map.bids.base import APP_NAME
from tavni.mt_map.bids.naming import BIDSIGNORE

__all__ = [
    "write_json",
    "write_dataset_description",
    "atomic_write",
    "read_image",
]


def write_json(path, content):
    """Writes content as indented JSON with a final newline.

    Parameters
    ----------
    path : path-like
    content : object
        What ``json.dumps`` takes.
    """
    Path(path).write_text(json.dumps(content, indent=2) + "\n")


def write_dataset_description(options, generated_by):
    """dataset_description.json and .bidsignore of the derivatives dataset.

    Written once: kept if present, so that runs can add participants.

    Parameters
    ----------
    options : AppOptions
        ``output_dir`` (created if missing), ``bids_dir`` (whose
        description names the raw data) and ``mask_dir`` (linked where
        given).
    generated_by : dict
        The ``GeneratedBy`` entry.
    """
    output_dir = Path(options.output_dir)
    output_dir.mkdir(parents=True, exist_ok=True)
    description = output_dir / "dataset_description.json"
    if not description.exists():
        raw = json.loads((Path(options.bids_dir) / "dataset_description.json").read_text())
        links = {"raw": Path(options.bids_dir).resolve().as_uri()}
        if options.mask_dir is not None:
            links["mask"] = Path(options.mask_dir).resolve().as_uri()
        write_json(
            description,
            {
                "Name": f"{APP_NAME} derivatives of {raw.get('Name', Path(options.bids_dir).name)}",
                "BIDSVersion": raw.get("BIDSVersion", "1.9.0"),
                "DatasetType": "derivative",
                "GeneratedBy": [generated_by],
                "DatasetLinks": links,
            },
        )
    ignore = output_dir / ".bidsignore"
    if not ignore.exists():
        ignore.write_text("\n".join(BIDSIGNORE) + "\n")


def atomic_write(path, text):
    """Writes text to a temporary file beside path, then moves it over path.

    Parameters
    ----------
    path : pathlib.Path
    text : str
    """
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    with os.fdopen(handle, "w") as stream:
        stream.write(text)
    os.replace(temporary, path)


def read_image(path, what):
    """The image at path.

    Parameters
    ----------
    path : path-like
    what : str
        What it is, for messages.

    Returns
    -------
    volumes.Volume
        float64 data and the geometry.

    Raises
    ------
    volumes.VolumeError
    """
    from tavni.mt_map.io import volumes

    return volumes.load(volumes.probe(path, what))
