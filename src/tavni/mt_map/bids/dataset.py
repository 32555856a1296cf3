"""Finding a participant's files in a BIDS dataset: the one module that
asks pybids, answering with plain data.

For the App's planning (``app``: :func:`open_layout`,
:func:`participants_and_sessions`) and for ``collections``, which asks
:func:`find_session` once per participant and session for all a
collection is made of (a :class:`Session`): the scans, grouped into
collections, the field-map candidates, and what ``--mask-dir`` and
``--b1-dir`` hold, each image with its ``sidecars.Sidecar``. What
is looked for is data (:data:`QUERIES`); a new kind of input is a new row
there. Per participant and session:

- the MT collection in ``anat/``: ``*_flip-<n>_mt-<on|off>_MTS.nii[.gz]``,
  or a ``*_flip-<n>_VFA`` collection for R1 beside an MT-on ``_MTS`` image,
  one query: the images' roles (PD-, T1- or MT-weighted) come from their
  sidecars (``sidecars``), never from their names or flip index. Images
  that differ in ``acq-``/``run-`` form separate collections, mapped
  separately.
- multi-echo readouts: the multi-parameter-mapping collection
  ``*_acq-<PDw|T1w|MTw>_echo-<k>_flip-<n>_mt-<on|off>_MPM`` (the ``acq-``
  labels that name a contrast do not split the collection), or ``echo-``
  images under ``_MTS``.
- the field maps of ``fmap/`` and the derivatives of ``--mask-dir`` and
  ``--b1-dir``, among which ``collections`` chooses.
"""

import json
import os
from dataclasses import dataclass
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, one_line
from tavni.mt_map.bids.naming import IMAGE_EXTENSIONS
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import Sidecar
from tavni.mt_map.scans import ROLES

__all__ = [
    "B0_SUFFIX",
    "B1_KINDS",
    "DATATYPES",
    "Derived",
    "QUERIES",
    "Query",
    "READ_SUFFIXES",
    "SCAN_SUFFIXES",
    "Session",
    "UNREAD_B1_KINDS",
    "find",
    "find_session",
    "in_folder",
    "open_layout",
    "participants_and_sessions",
    "queried",
    "relative",
]

SCAN_SUFFIXES = ("MTS", "MPM", "VFA")
"""The suffixes of an MT collection's scans in ``anat/``."""
B1_KINDS = ("TB1map", "TB1TFL", "TB1AFI", "TB1DAM")
"""The raw dataset's B1 sources, in the order of preference."""
UNREAD_B1_KINDS = ("TB1EPI", "TB1SRGE")
"""Transmit-field scans of methods the App does not compute a B1 map from
(the multi-parameter-mapping protocol's spin- and stimulated-echo EPI, the
saturation-prepared SRGE): named when they are the only B1 data there is."""
B0_SUFFIX = "fieldmap"
"""The suffix of a B0 map in ``fmap/`` (Hz, or rad/s)."""
READ_SUFFIXES = frozenset((*SCAN_SUFFIXES, *B1_KINDS, B0_SUFFIX))
"""The suffixes of the raw images whose sidecars the App reads."""
DATATYPES = ("anat", "fmap")
"""The folders of a participant (or session) the App reads."""


@dataclass(frozen=True)
class Query:
    """One kind of image to find for a participant and session.

    Attributes
    ----------
    suffixes : tuple of str
        Any of these suffixes (with an image extension).
    datatype : str, optional
        The folder the images must lie in; None: anywhere (a derivatives
        folder given by an option).
    """

    suffixes: tuple
    datatype: str | None = None


QUERIES = {
    "scans": Query(SCAN_SUFFIXES, "anat"),
    # The B1 sources, those named when they are the only B1 data, and the
    # B0 map: asked for together, told apart by suffix afterwards.
    "field maps": Query((*B1_KINDS, *UNREAD_B1_KINDS, B0_SUFFIX), "fmap"),
    "mask": Query(("mask",)),
    "B1 map": Query(("TB1map",)),
}
"""Name to what is looked for: the raw dataset's MT scans and field maps,
and the derivatives of ``--mask-dir`` and ``--b1-dir``."""


def relative(path: str | os.PathLike, root: str | os.PathLike) -> str:
    """A path relative to a dataset's root, for messages and BIDS URIs.

    Parameters
    ----------
    path, root : path-like

    Returns
    -------
    str
        With forward slashes: the path as it is named inside the dataset,
        symbolic links left as they are (a git-annex or DataLad dataset
        links its files, or whole folders, to a store outside it).

    Raises
    ------
    ValueError
        A path that is not inside root, named or resolved.
    """
    # By name first: a link inside the dataset keeps its BIDS name even when
    # its target lies elsewhere; resolving is for a root or path given
    # through a link of its own (a symlinked home, a bind mount's path).
    path, root = Path(os.path.abspath(path)), Path(os.path.abspath(root))
    if path.is_relative_to(root):
        return path.relative_to(root).as_posix()
    resolved_root = root.resolve()
    for candidate in (path, path.parent.resolve() / path.name, path.resolve()):
        if candidate.is_relative_to(resolved_root):
            return candidate.relative_to(resolved_root).as_posix()
    raise ValueError(f"'{path}' is not inside the dataset '{root}'")


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


def _check_sidecars_usable(layout, participant: str, session: str | None) -> None:
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


# Entities a sidecar need not share with an image to apply to it.
_NOT_INHERITED = ("extension", "suffix", "datatype")


def _sidecars_by_folder(layout, suffix):
    """The dataset's JSON files of a suffix by folder: (entities, path) each,
    the entities those an image must share for the file to apply to it.
    """

    def query():
        found = {}
        for sidecar in layout.get(suffix=suffix, extension=".json"):
            entities = {k: v for k, v in sidecar.entities.items() if k not in _NOT_INHERITED}
            found.setdefault(Path(sidecar.path).parent, []).append((entities, sidecar.path))
        return found

    return queried(layout, ("json", suffix), query)


def find(layout, what: str, participant: str, session: str | None) -> list:
    """The images of a query for one participant and session.

    Parameters
    ----------
    layout : bids.BIDSLayout
    what : str
        A key of :data:`QUERIES`.
    participant : str
    session : str or None
        None: the images outside any session only.

    Returns
    -------
    list of bids.layout.BIDSImageFile
        In the order of their paths; asked of pybids once per layout.
    """
    query = QUERIES[what]

    def ask():
        found = layout.get(
            subject=participant,
            session=session,
            suffix=list(query.suffixes),
            extension=IMAGE_EXTENSIONS,
        )
        if query.datatype is not None:
            found = in_folder(found, query.datatype)
        if session is None:
            found = [f for f in found if "session" not in f.entities]
        return found

    return queried(layout, (what, participant, session), ask)


def in_folder(images: list, datatype: str) -> list:
    """The images that lie in a folder of that datatype.

    pybids reads the datatype from the first folder of the whole path that
    names one, so a dataset kept under ``/data/motion/`` or ``/study/anat/``
    would have every file of that datatype; the image's own folder decides
    here instead.

    Parameters
    ----------
    images : list of bids.layout.BIDSImageFile
    datatype : str
        "anat", "fmap", ...

    Returns
    -------
    list of bids.layout.BIDSImageFile
    """
    return [image for image in images if Path(image.path).parent.name == datatype]


def queried(layout, key, query):
    """What ``query()`` finds in the layout, asked once per layout and key.

    A pybids query takes about 10 ms whatever it finds: asked once per
    suffix and image, a participant's field maps and sidecars took 0.1 s,
    and the sidecars' query, over the whole dataset, grew with the cohort.
    The layout does not change while the participants are planned.

    Parameters
    ----------
    layout : bids.BIDSLayout
    key : hashable
        What is asked, as a key of the layout's answers.
    query : callable
        Asks pybids, without arguments.

    Returns
    -------
    object
        What ``query()`` returned, the first time it was asked.
    """
    found = vars(layout).setdefault("_mt_map_queries", {})
    if key not in found:
        found[key] = query()
    return found[key]


# acq- labels that name the contrast of a multi-parameter-mapping scan
# rather than another acquisition of the whole collection.
_CONTRAST_LABELS = frozenset(ROLES)


def _collection_acquisition(image):
    """The acq- label that sets an image's collection apart (None for a
    label that names its contrast).
    """
    label = image.entities.get("acquisition")
    return None if label is not None and str(label).lower() in _CONTRAST_LABELS else label


def _sidecar(layout, image) -> Sidecar:
    """The image's sidecar: its metadata, and the JSON files that apply by
    the inheritance principle (same suffix, in the image's folder or above,
    entities a subset of the image's), nearest first: deeper folders, then
    more entities; paths also named relative to the layout's root.
    """
    own = {k: v for k, v in image.entities.items() if k not in _NOT_INHERITED}
    folder = Path(image.path).parent
    by_folder = _sidecars_by_folder(layout, image.entities["suffix"])
    applying = []
    for parent in (folder, *folder.parents):
        for entities, path in by_folder.get(parent, ()):
            if all(own.get(k) == v for k, v in entities.items()):
                applying.append((-len(Path(path).parts), -len(entities), path))
    files = [path for *_, path in sorted(applying)]
    root, values = layout.root, layout.get_metadata(image.path)
    return Sidecar(
        image, relative(image.path, root), values, [(p, relative(p, root)) for p in files]
    )


@dataclass
class Derived:
    """What a derivatives folder given by an option holds for a participant
    and session.

    Attributes
    ----------
    option : str
        ``--mask-dir`` or ``--b1-dir``, for messages.
    folder : path-like
        The folder, as given.
    suffix : str
        The suffix looked for there.
    images : list of Sidecar
        The images found, in the order of their paths.
    names : dict of str to str
        Each image's path relative to the folder as given, for BIDS URIs.
    problem : str or None
        Why the folder could not be read (pybids cannot index it); the
        images are then none.
    """

    option: str
    folder: object
    suffix: str
    images: list
    names: dict
    problem: str | None = None


def _derived(folder, option, what, participant, session) -> Derived:
    """The images of a query in a derivatives folder, with their sidecars."""
    import bids

    (suffix,) = QUERIES[what].suffixes
    try:
        layout = bids.BIDSLayout(folder, validate=False, config=["bids", "derivatives"])
    except Exception as error:
        # Kept, not raised: the participant is refused for it where the
        # image is chosen, after the complaints about its scans.
        return Derived(option, folder, suffix, [], {}, f"{option} '{folder}': {one_line(error)}")
    found = find(layout, what, participant, session)
    images = [_sidecar(layout, image) for image in found]
    names = {image.path: relative(image.path, folder) for image in found}
    return Derived(option, folder, suffix, images, names)


@dataclass
class Session:
    """All a participant's session offers its collections, as found.

    Attributes
    ----------
    session : str or None
    where : str
        ``sub-<participant>`` and ``ses-<session>`` where there is one, for
        messages.
    collections : list of (str or None, str or None, list of Sidecar)
        Each collection's ``acq-`` and ``run-`` labels and images, in the
        order of the labels.
    field_maps : list of Sidecar
        The images of ``fmap/`` the App reads or names (B1 sources, B0 maps,
        transmit-field scans it cannot read).
    mask, b1 : Derived or None
        What ``--mask-dir`` and ``--b1-dir`` hold; None without the option.
    """

    session: str | None
    where: str
    collections: list
    field_maps: list
    mask: Derived | None
    b1: Derived | None


def find_session(layout, participant: str, session: str | None, reading: Reading) -> Session:
    """The files of one participant and session, found once.

    Parameters
    ----------
    layout : bids.BIDSLayout
        As :func:`open_layout` gives it.
    participant : str
    session : str or None
    reading : settings.Reading
        ``mask_dir`` and ``b1_dir`` are read.

    Returns
    -------
    Session
        The images of one collection differ in nothing but their contrast
        and echo: one per ``acq-``/``run-`` combination of the MTS, MPM and
        VFA images (``acq-`` labels that name a contrast aside).

    Raises
    ------
    BidsError
        An unusable sidecar that applies to the participant, or no scans.
    """
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    _check_sidecars_usable(layout, participant, session)
    images = find(layout, "scans", participant, session)
    if not images:
        raise BidsError(f"{where}: no *_MTS, *_MPM or *_VFA images in anat/")
    groups = {}
    for image in images:
        key = (_collection_acquisition(image), image.entities.get("run"))
        groups.setdefault(key, []).append(image)
    collections = [
        (acquisition, run, [_sidecar(layout, image) for image in members])
        for (acquisition, run), members in sorted(groups.items(), key=lambda g: str(g[0]))
    ]
    field_maps = [
        _sidecar(layout, image) for image in find(layout, "field maps", participant, session)
    ]
    derived = {
        option: _derived(folder, option, what, participant, session)
        for option, folder, what in (
            ("--mask-dir", reading.mask_dir, "mask"),
            ("--b1-dir", reading.b1_dir, "B1 map"),
        )
        if folder is not None
    }
    return Session(
        session, where, collections, field_maps, derived.get("--mask-dir"), derived.get("--b1-dir")
    )
