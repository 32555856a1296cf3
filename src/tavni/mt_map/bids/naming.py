"""File names of the derivatives dataset, from the BIDS schema's entity order."""

import functools
import os
from pathlib import Path

__all__ = [
    "FRACTION_SUFFIX",
    "STATUS_DESC",
    "BIDSIGNORE",
    "IMAGE_EXTENSIONS",
    "entity_order",
    "bids_name",
    "unmatched_names",
    "relative",
]

FRACTION_SUFFIX = "MPFmap"
"""The custom suffix of the fraction map (BIDS has none for it); listed in
.bidsignore."""


STATUS_DESC = "MPFstatus"
"""The ``desc-`` of the status segmentation (``_dseg``)."""


BIDSIGNORE = (
    "*_MPFmap.nii.gz",
    "*_MPFmap.json",
    "*_MPFsd.nii.gz",
    "*_MPFsd.json",
    "*_MPFsensR1.nii.gz",
    "*_MPFsensR1.json",
    "*_MPFsensB1.nii.gz",
    "*_MPFsensB1.json",
    "*_R2starsd.nii.gz",
    "*_R2starsd.json",
    "*_dseg.nii.gz",
    "*_dseg.json",
    "*_dseg.tsv",
    "*_mask.nii.gz",
    "*_mask.json",
    "*.html",
    "/group",
)
"""The lines of the derivatives' .bidsignore: the files no BIDS rule knows.
The group level's folder is named without a trailing slash: the validator
does not take ``group/`` for the folder itself."""


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


def relative(path, root):
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
