"""File names of the derivatives dataset, from the BIDS schema's entity order."""

import functools
from pathlib import Path

# The custom suffix of the fraction map (BIDS has none for it), and the
# description of the status segmentation; both are listed in .bidsignore.
FRACTION_SUFFIX = "MPFmap"


STATUS_DESC = "MPFstatus"


BIDSIGNORE = (
    "*_MPFmap.nii.gz",
    "*_MPFmap.json",
    "*_MPFsd.nii.gz",
    "*_MPFsd.json",
    "*_MPFsensR1.nii.gz",
    "*_MPFsensR1.json",
    "*_MPFsensB1.nii.gz",
    "*_MPFsensB1.json",
    "*_dseg.nii.gz",
    "*_dseg.json",
    "*_dseg.tsv",
    "*.html",
    "group/",
)


IMAGE_EXTENSIONS = [".nii", ".nii.gz"]


@functools.cache
def entity_order():
    """BIDS entity names (as pybids spells them) and their short forms, in
    the order of a file name, from the schema.
    """
    from bidsschematools import schema

    loaded = schema.load_schema()
    entities = loaded.objects.entities
    return tuple((name, entities[name]["name"]) for name in loaded.rules.entities)


def bids_name(participant, session, entities, suffix, extension):
    """``sub-<p>[_ses-<s>][_acq-..][_run-..][_desc-..]_<suffix><extension>``
    with the entities in the order the schema gives.
    """
    values = dict(entities, subject=participant, session=session)
    parts = [
        f"{short}-{values[name]}" for name, short in entity_order() if values.get(name) is not None
    ]
    return "_".join(parts + [suffix]) + extension


def unmatched_names(paths):
    """The paths among these that no file rule of the BIDS schema matches
    (derivative suffixes the schema lacks; these belong in .bidsignore).
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
    return Path(path).resolve().relative_to(Path(root).resolve()).as_posix()
