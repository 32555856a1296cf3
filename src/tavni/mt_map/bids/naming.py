"""File names of the derivatives dataset, from the BIDS schema's entity order."""

import functools

from tavni.mt_map.outputs import BIDS_MAPS, OutputMap, by_key

__all__ = [
    "FRACTION",
    "STATUS",
    "STATS_DESC",
    "BRAIN_MASK_DESC",
    "MASK_SUFFIX",
    "IMAGE_EXTENSIONS",
    "output_name",
    "bidsignore",
    "entity_order",
    "bids_name",
    "unmatched_names",
]

FRACTION = by_key("fraction")
"""The fraction map's row of the catalogue: its custom suffix names a
collection's maps (BIDS has none for it)."""

STATUS = by_key("status")
"""The status segmentation's row of the catalogue (``_dseg`` with a
``desc-`` of its own)."""

STATS_DESC = "stats"
"""The ``desc`` of each collection's statistics for the group level
(``<stem>_desc-stats_MPFmap.json`` beside the maps): the fitted voxels, the
share solved, each map's median and IQR in the fitted region."""

MASK_SUFFIX, BRAIN_MASK_DESC = "mask", "brain"
"""The suffix of a brain mask, and the ``desc`` of the one computed where
none was given (``*_desc-brain_mask.nii.gz``)."""


def output_name(stem: str, kind: OutputMap, extension: str = ".nii.gz", desc=None) -> str:
    """The file name of one of a collection's outputs, beside its maps.

    Parameters
    ----------
    stem : str
        The entities before ``desc`` (``sub-01_ses-1``), or ``*`` for a
        pattern matching every collection's.
    kind : outputs.OutputMap
        The catalogue's row: its suffix, and its ``desc`` unless given.
    extension : str
    desc : str, optional
        A ``desc`` of the file's own (a sidecar-like file of the map's).

    Returns
    -------
    str
        ``<stem>[_desc-<desc>]_<suffix><extension>``; with an empty stem,
        the name's ending (``_MPFmap.nii.gz``).
    """
    desc = kind.desc if desc is None else desc
    return "_".join([stem] + ([f"desc-{desc}"] if desc else []) + [kind.suffix]) + extension


def bidsignore() -> tuple[str, ...]:
    """The lines of the derivatives' .bidsignore: the files no BIDS rule knows.

    The maps whose suffixes the BIDS schema lacks (each image and its
    sidecar), the segmentations with their tables and the brain mask (the
    raw dataset's rules place neither in ``anat/``), the reports, and the
    group level's folder, named without a trailing slash: the validator does
    not take ``group/`` for the folder itself.

    Returns
    -------
    tuple of str
    """
    known = _schema_suffixes()
    lines = [
        f"*_{kind.suffix}{extension}"
        for kind in BIDS_MAPS
        if kind.suffix not in known
        for extension in (".nii.gz", ".json")
    ]
    lines += [f"*_{STATUS.suffix}{extension}" for extension in (".nii.gz", ".json", ".tsv")]
    lines += [f"*_{MASK_SUFFIX}{extension}" for extension in (".nii.gz", ".json")]
    return tuple(lines + ["*.html", "/group"])


@functools.cache
def _schema_suffixes():
    """The suffixes the BIDS schema knows, read once."""
    from bidsschematools import schema

    return frozenset(entry["value"] for entry in schema.load_schema().objects.suffixes.values())


IMAGE_EXTENSIONS = [".nii", ".nii.gz"]
"""The extensions of the images read."""


@functools.cache
def entity_order():
    """BIDS entity names and their short forms, in the order of a file name.

    Returns
    -------
    tuple of (str, str)
        (name as pybids spells it, short form), from the schema
        (``bidsschematools``), read once.
    """
    from bidsschematools import schema

    loaded = schema.load_schema()
    entities = loaded.objects.entities
    return tuple((name, entities[name]["name"]) for name in loaded.rules.entities)


def bids_name(participant, session, entities, suffix, extension):
    """A derivative's file name, with the entities in the schema's order.

    Parameters
    ----------
    participant : str
        Without ``sub-``.
    session : str or None
        Without ``ses-``.
    entities : dict
        Further entities by pybids name (``acquisition``, ``run``,
        ``description``); None values are left out.
    suffix, extension : str

    Returns
    -------
    str
        ``sub-<p>[_ses-<s>][_acq-..][_run-..][_desc-..]_<suffix><extension>``.
    """
    values = dict(entities, subject=participant, session=session)
    parts = [
        f"{short}-{values[name]}" for name, short in entity_order() if values.get(name) is not None
    ]
    return "_".join(parts + [suffix]) + extension


def unmatched_names(paths):
    """The paths that no file rule of the BIDS schema matches.

    Parameters
    ----------
    paths : iterable of path-like
        Paths inside a dataset, from its root (``/sub-01/anat/...``).

    Returns
    -------
    list of str
        Those the schema's validator does not match (derivative suffixes
        the schema lacks; these belong in .bidsignore), sorted.
    """
    import logging

    from bidsschematools import validator

    logger = logging.getLogger("bidsschematools")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        result = validator.validate_bids(
            [str(p) for p in paths], dummy_paths=True, suppress_errors=True
        )
    finally:
        logger.setLevel(level)
    return sorted(result["path_tracking"])
