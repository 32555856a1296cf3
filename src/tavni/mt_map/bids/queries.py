"""What the BIDS App looks for in a dataset, as data, and the one function
that finds it.

For the modules that read a participant's images (``layout``,
``sidecars``, ``collections``, ``fieldmaps``, ``masks``): each asks
:func:`find` for one of the :data:`QUERIES` by name, instead of spelling
out its own pybids query. The MT collection's scans are one query: their
roles (PD-, T1- or MT-weighted) come from their sidecars, never from their
names. A new kind of input is a new row here.
"""

from dataclasses import dataclass
from pathlib import Path

from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.naming import IMAGE_EXTENSIONS

__all__ = [
    "B0_SUFFIX",
    "B1_KINDS",
    "DATATYPES",
    "QUERIES",
    "Query",
    "READ_SUFFIXES",
    "SCAN_SUFFIXES",
    "UNREAD_B1_KINDS",
    "find",
    "in_folder",
    "pick_one",
    "queried",
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


def pick_one(candidates: list, what: str, where: str):
    """The one candidate, or None without any.

    Parameters
    ----------
    candidates : list of bids.layout.BIDSImageFile
    what : str
        What they are, for the message ("TB1map images", ...).
    where : str
        The participant and session, for the message.

    Returns
    -------
    bids.layout.BIDSImageFile or None

    Raises
    ------
    BidsError
        Several candidates.
    """
    if len(candidates) > 1:
        names = ", ".join(Path(c.path).name for c in candidates)
        raise BidsError(
            f"{where}: several {what} ({names}); name the one meant in its IntendedFor or keep one"
        )
    return candidates[0] if candidates else None
