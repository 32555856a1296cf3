"""Opening a BIDS dataset: its pybids layout, its participants and
sessions, the sidecars it cannot use, and the one image of a kind in a
derivatives folder.

For the App's planning (``app``: :func:`open_layout`,
:func:`participants_and_sessions`) and for the modules that read a
participant's images (``collections``, ``fieldmaps``, ``masks``).
"""

import json
import os
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, one_line
from tavni.mt_map.bids.naming import relative
from tavni.mt_map.bids.queries import DATATYPES, QUERIES, READ_SUFFIXES, find, pick_one

__all__ = [
    "check_sidecars_usable",
    "derivative_image",
    "open_layout",
    "participants_and_sessions",
    "where",
]


def where(participant: str, session: str | None) -> str:
    """``sub-<participant>`` and ``ses-<session>`` where there is one, for messages.

    Parameters
    ----------
    participant : str
    session : str or None

    Returns
    -------
    str
    """
    return f"sub-{participant}" + (f" ses-{session}" if session else "")


def open_layout(bids_dir: str | os.PathLike):
    """The pybids layout of the dataset, validated.

    Parameters
    ----------
    bids_dir : path-like

    Returns
    -------
    bids.BIDSLayout

    Raises
    ------
    BidsError
        No dataset_description.json, or a dataset pybids cannot index.
    """
    bids_dir = Path(bids_dir)
    if not (bids_dir / "dataset_description.json").is_file():
        raise BidsError(f"'{bids_dir}' is no BIDS dataset: it has no dataset_description.json")
    import bids
    from bids.layout import BIDSLayoutIndexer
    from bids.layout.validation import DEFAULT_LOCATIONS_TO_IGNORE

    # pybids stops indexing the whole dataset at one sidecar it cannot take
    # as a JSON object: such files are left out of the index and remembered,
    # so that only the participants they apply to fail, naming them.
    unusable = _unusable_sidecars(bids_dir)
    try:
        layout = bids.BIDSLayout(
            bids_dir,
            validate=True,
            indexer=BIDSLayoutIndexer(
                validate=True,
                ignore=list(DEFAULT_LOCATIONS_TO_IGNORE) + [Path(p) for p in unusable],
            ),
        )
    except Exception as error:
        raise BidsError(f"cannot index '{bids_dir}': {one_line(error)}") from None
    layout.unusable_sidecars = {
        relative(path, bids_dir): reason for path, reason in unusable.items()
    }
    return layout


# Folders of a dataset that hold no raw data: not indexed, not checked.
_NOT_RAW = frozenset(("code", "derivatives", "models", "sourcedata", "stimuli"))


def _unusable_sidecars(bids_dir):
    """JSON files of the dataset that are no JSON object: path -> why."""
    found = {}
    for folder, subfolders, files in os.walk(bids_dir, followlinks=True):
        top = Path(folder) == bids_dir
        subfolders[:] = [
            d for d in subfolders if not d.startswith(".") and not (top and d in _NOT_RAW)
        ]
        for name in files:
            if not name.endswith(".json") or name.startswith(".") or top and name in _TOP_JSON:
                continue
            path = Path(folder) / name
            try:
                content = json.loads(path.read_bytes())
            except OSError as error:
                found[str(path)] = f"cannot be read ({error.strerror or one_line(error)})"
                continue
            except ValueError as error:  # JSONDecodeError, UnicodeDecodeError
                found[str(path)] = f"not valid JSON ({one_line(error)})"
                continue
            if not isinstance(content, dict):
                found[str(path)] = (
                    f"not a JSON object of fields but {_JSON_TYPES.get(type(content))}"
                )
                continue
            # pybids follows IntendedFor while indexing, and stops at any other type.
            intended = content.get("IntendedFor", [])
            paths = [intended] if isinstance(intended, str) else intended
            if not isinstance(paths, list) or not all(isinstance(i, str) for i in paths):
                found[str(path)] = (
                    f"IntendedFor must be a path or a list of paths, not {json.dumps(intended)}"
                )
    return found


# Files at the top that are not sidecars (pybids reads the first itself).
_TOP_JSON = frozenset(("dataset_description.json", "participants.json"))
_JSON_TYPES = {
    list: "a list",
    str: "a string",
    int: "a number",
    float: "a number",
    bool: "true or false",
    type(None): "null",
}


def check_sidecars_usable(layout, participant: str, session: str | None) -> None:
    """Refuses a participant that an unusable sidecar applies to.

    Parameters
    ----------
    layout : bids.BIDSLayout
        As :func:`open_layout` gives it.
    participant : str
    session : str or None

    Raises
    ------
    BidsError
        Naming an unusable sidecar of images the App reads that applies to
        the participant's images (its folder, its session's, or the
        dataset's), and why it is unusable.
    """
    folders = {"", f"sub-{participant}"}
    if session:
        folders.add(f"sub-{participant}/ses-{session}")
    for name, reason in sorted(getattr(layout, "unusable_sidecars", {}).items()):
        parts = name.split("/")
        stem = parts[-1].removesuffix(".json")
        if stem.split("_")[-1] not in READ_SUFFIXES:
            continue  # a sidecar of images this program does not read
        if any("/".join(parts[:-1]).removesuffix(f"/{d}") in folders for d in DATATYPES):
            raise BidsError(f"{name}: {reason}")


def participants_and_sessions(layout) -> tuple[list, dict]:
    """The participants, as ``layout.get_subjects()`` gives them, and each
    one's sessions, as ``layout.get_sessions(subject=...)`` does, in one pass
    over the dataset's files.

    pybids answers each of those queries with a database query per file it
    covers: for 40 participants, the labels and each one's sessions took
    five times as long as this pass.

    Parameters
    ----------
    layout : bids.BIDSLayout

    Returns
    -------
    participants : list of str
        Their labels, in natural order.
    sessions : dict of str to list of str
        Participant label to its session labels, in natural order;
        participants without sessions are absent.
    """
    from bids.utils import natural_sort

    participants, sessions = set(), {}
    for file in layout.get():
        tags = file.tags
        subject, session = tags.get("subject"), tags.get("session")
        if subject is None:
            continue
        # Labels named in the files' names, not only in their metadata.
        if not subject.is_metadata:
            participants.add(subject.value)
        if session is not None and not session.is_metadata:
            sessions.setdefault(subject.value, set()).add(session.value)
    return natural_sort(list(participants)), {
        label: natural_sort(list(labels)) for label, labels in sessions.items()
    }


def derivative_image(folder, option: str, what: str, participant: str, session, prefer=None):
    """The one image of a query for this participant (and session) in a
    derivatives folder, with the folder's layout.

    Parameters
    ----------
    folder : path-like
        The derivatives folder.
    option : str
        The option that gave it (``--mask-dir``, ...), for messages.
    what : str
        A key of ``queries.QUERIES`` ("mask", "B1 map").
    participant : str
    session : str or None
    prefer : str, optional
        The ``desc-`` that wins where several are found.

    Returns
    -------
    (bids.BIDSLayout, bids.layout.BIDSImageFile)

    Raises
    ------
    BidsError
        None, several, or a folder pybids cannot index.
    """
    import bids

    try:
        layout = bids.BIDSLayout(folder, validate=False, config=["bids", "derivatives"])
    except Exception as error:
        raise BidsError(f"{option} '{folder}': {one_line(error)}") from None
    found = find(layout, what, participant, session)
    preferred = [f for f in found if prefer and f.entities.get("desc") == prefer]
    (suffix,) = QUERIES[what].suffixes
    image = pick_one(
        preferred or found, f"{suffix} images in {option}", where(participant, session)
    )
    if image is None:
        raise BidsError(
            f"{where(participant, session)}: no *_{suffix} image in {option} '{folder}'"
        )
    return layout, image
