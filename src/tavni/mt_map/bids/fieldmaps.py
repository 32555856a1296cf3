"""A collection's field maps: where its transmit field (B1) comes from, and
its B0 map.

For ``collections``, which assembles a collection: :func:`b1_source` finds
the B1 source by precedence (``--b1-dir``, then ``fmap/`` by
``queries.B1_KINDS``) with the settings its computation needs,
:func:`b0_map` the B0 map and its units, :func:`no_b1_note` the warning
where there is no B1 source.
"""

import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.layout import derivative_image, where
from tavni.mt_map.bids.naming import relative
from tavni.mt_map.bids.queries import B0_SUFFIX, B1_KINDS, UNREAD_B1_KINDS, find, pick_one
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import Sidecar

__all__ = ["b0_map", "b1_source", "field_map", "find_b1", "no_b1_note"]


def _fmap_images(layout, participant, session, suffix):
    """The participant's (and session's) images of a suffix in ``fmap/``."""
    found = find(layout, "field maps", participant, session)
    return [f for f in found if f.entities["suffix"] == suffix]


def _intended(layout, image, target):
    """Whether the image's IntendedFor lists target."""
    intended = layout.get_metadata(image.path).get("IntendedFor", [])
    intended = [intended] if isinstance(intended, str) else intended
    target_name = relative(target, layout.root)
    return any(str(i).endswith(target_name.split("/", 1)[1]) for i in intended)


def field_map(layout, participant: str, session: str | None, suffix: str, target: str):
    """The field map of a suffix meant for an image.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None
    suffix : str
        "TB1map" or "fieldmap".
    target : str
        The MT-weighted scan's path.

    Returns
    -------
    bids.layout.BIDSImageFile or None
        The fmap image whose IntendedFor lists target, else the only one of
        the session; None where there is none.

    Raises
    ------
    BidsError
        Several candidates.
    """
    found = _fmap_images(layout, participant, session, suffix)
    meant = [image for image in found if _intended(layout, image, target)]
    return pick_one(meant or found, f"{suffix} images", where(participant, session))


def b0_map(layout, participant: str, session: str | None, target: str):
    """The B0 map meant for an image, and its units.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None
    target : str
        The MT-weighted scan's path.

    Returns
    -------
    (str, str) or None
        The ``fmap/*_fieldmap`` image's path and its sidecar's ``Units``;
        None without one.

    Raises
    ------
    BidsError
        Several candidates, or no ``Units``.
    """
    b0 = field_map(layout, participant, session, B0_SUFFIX, target)
    if b0 is None:
        return None
    units = layout.get_metadata(b0.path).get("Units")
    if units is None:
        raise BidsError(
            f"{relative(b0.path, layout.root)}: sidecar field Units is missing (Hz, rad/s)"
        )
    return b0.path, units


def no_b1_note(layout, participant: str, session: str | None) -> str:
    """The warning of a collection without a B1 source: flip angles nominal,
    and the B1 scans there are that the App cannot read, if any.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None

    Returns
    -------
    str
        Without the participant and session.
    """
    kinds = ", ".join(f"fmap/*_{suffix}" for suffix in B1_KINDS)
    unread = [
        suffix for suffix in UNREAD_B1_KINDS if _fmap_images(layout, participant, session, suffix)
    ]
    hint = (
        f" ({', '.join(unread)} images are there, which this App cannot make a B1 map "
        "of: give a B1 map with --b1-dir)"
        if unread
        else ""
    )
    return f"no {kinds}; flip angles taken as nominal{hint}"


def find_b1(b1_dir, participant: str, session: str | None):
    """A B1 map for this participant (and session) from a derivatives folder.

    Parameters
    ----------
    b1_dir : path-like
        The derivatives folder (``--b1-dir``).
    participant : str
    session : str or None

    Returns
    -------
    (bids.BIDSLayout, bids.layout.BIDSImageFile)
        The folder's layout and its ``*_TB1map`` image.

    Raises
    ------
    BidsError
        None, several, or a folder pybids cannot index.
    """
    return derivative_image(b1_dir, "--b1-dir", "B1 map", participant, session)


# The images of a B1 mapping sequence: the entity that tells them apart,
# the labels of the images needed, and of those only recorded as inputs.
_B1_IMAGES = {
    "TB1TFL": ("acquisition", ("famp",), ("anat",)),
    "TB1AFI": ("acquisition", ("tr1", "tr2"), ()),
    "TB1DAM": ("flip", ("1", "2"), ()),
}
# Nominal angles within this share of the ratio 1:2 count as a DAM pair.
_DAM_RATIO_TOLERANCE = 0.01

_B1_HINTS = {
    "Units": '"percent", "relative" or "degrees"',
    "FlipAngle": "the nominal flip angle, deg",
    "RepetitionTimeExcitation": "s; or RepetitionTime",
}


def _b1_group(layout, participant, session, suffix, target, where):
    """The images of one B1 mapping acquisition: label -> image, or None."""
    entity, needed, optional = _B1_IMAGES[suffix]
    groups = {}
    for image in _fmap_images(layout, participant, session, suffix):
        label = str(image.entities.get(entity))
        if label not in needed + optional:
            continue
        key = tuple(
            str(image.entities.get(e)) for e in ("acquisition", "flip", "run") if e != entity
        )
        groups.setdefault(key, {})[label] = image
    if not groups:
        return None
    meant = [g for g in groups.values() if any(_intended(layout, i, target) for i in g.values())]
    chosen = meant or list(groups.values())
    if len(chosen) > 1:
        names = ", ".join(sorted(Path(i.path).name for g in chosen for i in g.values()))
        raise BidsError(
            f"{where}: several {suffix} acquisitions ({names}); name the one meant in "
            "IntendedFor or keep one"
        )
    group = chosen[0]
    absent = [label for label in needed if label not in group]
    if absent:
        spell = "flip-" if entity == "flip" else "acq-"
        raise BidsError(
            f"{where}: {suffix} needs the {' and '.join(spell + n for n in needed)} images; "
            f"{', '.join(spell + n for n in absent)} is missing in fmap/ "
            f"(found {', '.join(sorted(Path(i.path).name for i in group.values()))})"
        )
    return group


def _map_settings(sidecar, label, missing):
    """Units (and the nominal angle for degrees) of a TB1map; the description."""
    from tavni.mt_map.preprocess import b1

    if not sidecar.has("Units"):
        missing.append((label, "Units", _B1_HINTS["Units"]))
        return {}, ""
    units = sidecar.values["Units"]
    try:
        kind = b1.units_kind(units)
    except ValueError as error:
        raise BidsError(f"{sidecar.origin('Units')}: {error}") from None
    settings = {"units": str(units)}
    if kind != "degrees":
        return settings, kind
    if not sidecar.has("FlipAngle"):
        missing.append((label, "FlipAngle", _B1_HINTS["FlipAngle"]))
        return settings, kind
    settings["nominal_deg"] = sidecar.number("FlipAngle")
    return settings, f"degrees over nominal {settings['nominal_deg']:g} deg"


def _numbers(sidecars, field, missing, assume_ms, warnings, fallback=None):
    """The field (or fallback) of each sidecar as a number; missing ones noted."""
    values = []
    for sidecar in sidecars:
        name = field if sidecar.has(field) or fallback is None else fallback
        if not sidecar.has(name):
            missing.append((sidecar.own_sidecar(), field, _B1_HINTS[field]))
            values.append(None)
            continue
        values.append(sidecar.number(name, assume_ms=assume_ms, warnings=warnings))
    return values


def _raw_b1(layout, participant, session, target, where, warnings):
    """The first B1 source of ``fmap/`` by precedence: (kind, label ->
    image), or (None, None); the others present noted as not used.
    """
    found = images = None
    for suffix in B1_KINDS:
        if found is not None:
            if _fmap_images(layout, participant, session, suffix):
                warnings.append(f"{where}: fmap/*_{suffix} present but not used ({found} is)")
            continue
        if suffix == "TB1map":
            image = field_map(layout, participant, session, suffix, target)
            group = None if image is None else {"map": image}
        else:
            group = _b1_group(layout, participant, session, suffix, target, where)
        if group is None:
            continue
        found = suffix
        images = group
    return found, images


# What each raw B1 source is computed from: sidecars (label -> Sidecar),
# where, missing, assume_ms and warnings to (files, settings, description).


def _tb1map(sidecars, where, missing, assume_ms, warnings):
    sidecar = sidecars["map"]
    settings, kind = _map_settings(sidecar, sidecar.own_sidecar(), missing)
    return [sidecar.image.path], settings, f"TB1map ({kind})"


def _tb1tfl(sidecars, where, missing, assume_ms, warnings):
    famp = sidecars["famp"]
    (nominal,) = _numbers([famp], "FlipAngle", missing, assume_ms, warnings)
    description = f"TB1TFL flip-angle map (nominal {nominal or 0:g} deg)"
    return [famp.image.path], {"nominal_deg": nominal}, description


def _tb1afi(sidecars, where, missing, assume_ms, warnings):
    pair = [sidecars["tr1"], sidecars["tr2"]]
    flips = _numbers(pair, "FlipAngle", missing, assume_ms, warnings)
    trs = _numbers(pair, "RepetitionTimeExcitation", missing, assume_ms, warnings, "RepetitionTime")
    settings = {"nominal_deg": flips[0], "tr1": trs[0], "tr2": trs[1]}
    if None not in flips and not math.isclose(flips[0], flips[1], rel_tol=1e-6):
        raise BidsError(
            f"{where}: the TB1AFI images' FlipAngle differ ({flips[0]:g} and "
            f"{flips[1]:g} deg); both are the one nominal angle: fix "
            f"{pair[0].origin('FlipAngle')} or {pair[1].origin('FlipAngle')}"
        )
    if None not in trs and not trs[0] < trs[1]:
        raise BidsError(
            f"{where}: the TB1AFI delays must be TR1 < TR2 (acq-tr1 {trs[0]:g} s, "
            f"acq-tr2 {trs[1]:g} s): fix the sidecars or swap the acq- labels"
        )
    description = (
        f"TB1AFI TR {1000 * (trs[0] or 0):g}/{1000 * (trs[1] or 0):g} ms, "
        f"nominal {flips[0] or 0:g} deg"
    )
    return [s.image.path for s in pair], settings, description


def _tb1dam(sidecars, where, missing, assume_ms, warnings):
    pair = [sidecars["1"], sidecars["2"]]
    flips = _numbers(pair, "FlipAngle", missing, assume_ms, warnings)
    if None not in flips and not math.isclose(flips[1], 2 * flips[0], rel_tol=_DAM_RATIO_TOLERANCE):
        raise BidsError(
            f"{where}: the TB1DAM flip angles are {flips[0]:g} and {flips[1]:g} deg; "
            f"the double-angle method needs the flip-2 angle twice the flip-1 angle: "
            f"fix FlipAngle in {pair[0].origin('FlipAngle')} or "
            f"{pair[1].origin('FlipAngle')}"
        )
    description = f"TB1DAM flip angles {flips[0] or 0:g}/{flips[1] or 0:g} deg"
    return [s.image.path for s in pair], {"alpha1_deg": flips[0]}, description


_B1_READERS = {"TB1map": _tb1map, "TB1TFL": _tb1tfl, "TB1AFI": _tb1afi, "TB1DAM": _tb1dam}


def b1_source(
    layout, participant: str, session: str | None, target: str, reading: Reading, warnings: list
) -> tuple[dict | None, list]:
    """Where the transmit field of a collection comes from.

    The first of: a ``*_TB1map`` in ``--b1-dir``, ``fmap/*_TB1map``, the
    ``TB1TFL`` flip-angle map, the ``TB1AFI`` pair, the ``TB1DAM`` pair;
    among several of a kind, the one whose ``IntendedFor`` names target.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None
    target : str
        The MT-weighted scan's path.
    reading : settings.Reading
        ``b1_dir`` and ``assume_ms`` are read.
    warnings : list
        Where notes go (another source present but not used; times read
        as milliseconds).

    Returns
    -------
    source : dict or None
        None without any; else "kind" (a suffix of ``B1_KINDS`` or
        "derivative"), "files" (the images the field is computed from, in
        the order the computation takes them), "settings" (``units``,
        ``nominal_deg``, ``alpha1_deg``, ``tr1``, ``tr2`` as the kind needs),
        "description" (for sidecars and reports) and "uris" (BIDS URIs of
        every image of the source).
    missing : list of (str, str, str)
        Sidecar fields the source needs and lacks: (sidecar, field, what
        to write), to be reported with the collection's other missing
        fields.

    Raises
    ------
    BidsError
        Units not understood, a pair incomplete or ambiguous, DAM angles
        not in the ratio 1:2, AFI delays not TR1 < TR2 or flip angles that
        differ.
    """
    here = where(participant, session)
    missing = []
    if reading.b1_dir is not None:
        derived, image = find_b1(reading.b1_dir, participant, session)
        sidecar = Sidecar(derived, image)
        label = str(Path(reading.b1_dir) / sidecar.own_sidecar())
        settings, kind = _map_settings(sidecar, label, missing)
        return {
            "kind": "derivative",
            "files": [image.path],
            "settings": settings,
            "description": f"TB1map from --b1-dir ({kind})",
            "uris": [f"bids:b1:{relative(image.path, reading.b1_dir)}"],
        }, missing
    found, images = _raw_b1(layout, participant, session, target, here, warnings)
    if found is None:
        return None, missing
    sidecars = {label: Sidecar(layout, image) for label, image in images.items()}
    files, settings, description = _B1_READERS[found](
        sidecars, here, missing, reading.assume_ms, warnings
    )
    return {
        "kind": found,
        "files": files,
        "settings": settings,
        "description": description,
        "uris": [f"bids:raw:{relative(i.path, layout.root)}" for i in images.values()],
    }, missing
