"""Choosing, among the images found beside a collection's scans, its field
maps and mask: where its transmit field (B1) comes from, its B0 map, and
the one image of a derivatives folder.

For ``collections``, which assembles a collection from a
``dataset.Session``: :func:`b1_source` finds the B1 source by precedence
(``--b1-dir``, then ``fmap/`` by ``dataset.B1_KINDS``) with the settings
its computation needs, or the warning where there is none; :func:`b0_map`
the B0 map; :func:`derivative_image` the mask of ``--mask-dir``. Among
several candidates, the one whose ``IntendedFor`` names the MT-weighted
scan wins; several left are refused, naming them.
"""

import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.dataset import B0_SUFFIX, B1_KINDS, UNREAD_B1_KINDS, Derived, Session
from tavni.mt_map.bids.sidecars import Sidecar

__all__ = ["b0_map", "b1_source", "derivative_image", "field_map", "pick_one"]


def _fmap_images(found, suffix):
    """The session's images of a suffix in ``fmap/``."""
    return [s for s in found.field_maps if s.image.entities["suffix"] == suffix]


def _intended(sidecar, target):
    """Whether the image's IntendedFor lists target (a Sidecar)."""
    intended = sidecar.values.get("IntendedFor", [])
    intended = [intended] if isinstance(intended, str) else intended
    return any(str(i).endswith(target.name().split("/", 1)[1]) for i in intended)


def field_map(found: Session, suffix: str, target: Sidecar) -> Sidecar | None:
    """The field map of a suffix meant for an image.

    Parameters
    ----------
    found : dataset.Session
    suffix : str
        "TB1map" or "fieldmap".
    target : sidecars.Sidecar
        The MT-weighted scan's.

    Returns
    -------
    sidecars.Sidecar or None
        The fmap image whose IntendedFor lists target, else the only one of
        the session; None where there is none.

    Raises
    ------
    BidsError
        Several candidates.
    """
    candidates = _fmap_images(found, suffix)
    meant = [sidecar for sidecar in candidates if _intended(sidecar, target)]
    return pick_one(meant or candidates, f"{suffix} images", found.where)


def b0_map(found: Session, target: Sidecar) -> Sidecar | None:
    """The B0 map meant for an image, with its units.

    Parameters
    ----------
    found : dataset.Session
    target : sidecars.Sidecar
        The MT-weighted scan's.

    Returns
    -------
    sidecars.Sidecar or None
        The ``fmap/*_fieldmap`` image's, whose ``Units`` it has; None
        without one.

    Raises
    ------
    BidsError
        Several candidates, or no ``Units``.
    """
    b0 = field_map(found, B0_SUFFIX, target)
    if b0 is not None and b0.values.get("Units") is None:
        raise BidsError(f"{b0.name()}: sidecar field Units is missing (Hz, rad/s)")
    return b0


def _no_b1_note(found):
    """The warning of a collection without a B1 source: flip angles nominal,
    and the B1 scans there are that the App cannot read, if any (without
    the participant and session).
    """
    kinds = ", ".join(f"fmap/*_{suffix}" for suffix in B1_KINDS)
    unread = [suffix for suffix in UNREAD_B1_KINDS if _fmap_images(found, suffix)]
    hint = (
        f" ({', '.join(unread)} images are there, which this App cannot make a B1 map "
        "of: give a B1 map with --b1-dir)"
        if unread
        else ""
    )
    return f"no {kinds}; flip angles taken as nominal{hint}"


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


def _b1_group(found, suffix, target):
    """The images of one B1 mapping acquisition: label -> Sidecar, or None."""
    entity, needed, optional = _B1_IMAGES[suffix]
    groups = {}
    for sidecar in _fmap_images(found, suffix):
        image = sidecar.image
        label = str(image.entities.get(entity))
        if label not in needed + optional:
            continue
        key = tuple(
            str(image.entities.get(e)) for e in ("acquisition", "flip", "run") if e != entity
        )
        groups.setdefault(key, {})[label] = sidecar
    if not groups:
        return None
    meant = [g for g in groups.values() if any(_intended(s, target) for s in g.values())]
    chosen = meant or list(groups.values())
    if len(chosen) > 1:
        names = ", ".join(sorted(Path(s.image.path).name for g in chosen for s in g.values()))
        raise BidsError(
            f"{found.where}: several {suffix} acquisitions ({names}); name the one meant in "
            "IntendedFor or keep one"
        )
    group = chosen[0]
    absent = [label for label in needed if label not in group]
    if absent:
        spell = "flip-" if entity == "flip" else "acq-"
        raise BidsError(
            f"{found.where}: {suffix} needs the {' and '.join(spell + n for n in needed)} images; "
            f"{', '.join(spell + n for n in absent)} is missing in fmap/ "
            f"(found {', '.join(sorted(Path(s.image.path).name for s in group.values()))})"
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


def _raw_b1(found, target, warnings):
    """The first B1 source of ``fmap/`` by precedence: (kind, label ->
    Sidecar), or (None, None); the others present noted as not used.
    """
    kind = images = None
    for suffix in B1_KINDS:
        if kind is not None:
            if _fmap_images(found, suffix):
                warnings.append(f"{found.where}: fmap/*_{suffix} present but not used ({kind} is)")
            continue
        if suffix == "TB1map":
            image = field_map(found, suffix, target)
            group = None if image is None else {"map": image}
        else:
            group = _b1_group(found, suffix, target)
        if group is None:
            continue
        kind = suffix
        images = group
    return kind, images


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
    found: Session, target: Sidecar, assume_ms: bool, warnings: list
) -> tuple[dict | None, list, str | None]:
    """Where the transmit field of a collection comes from.

    The first of: a ``*_TB1map`` in ``--b1-dir``, ``fmap/*_TB1map``, the
    ``TB1TFL`` flip-angle map, the ``TB1AFI`` pair, the ``TB1DAM`` pair;
    among several of a kind, the one whose ``IntendedFor`` names target.

    Parameters
    ----------
    found : dataset.Session
    target : sidecars.Sidecar
        The MT-weighted scan's.
    assume_ms : bool
        Read sidecar times too large to be seconds as milliseconds.
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
    note : str or None
        Without a source, the warning that says so (without the
        participant and session); else None.

    Raises
    ------
    BidsError
        Units not understood, a pair incomplete or ambiguous, DAM angles
        not in the ratio 1:2, AFI delays not TR1 < TR2 or flip angles that
        differ; a ``--b1-dir`` without its one image.
    """
    missing = []
    if found.b1 is not None:
        sidecar = derivative_image(found.b1, found.where)
        label = str(Path(found.b1.folder) / sidecar.own_sidecar())
        settings, kind = _map_settings(sidecar, label, missing)
        return (
            {
                "kind": "derivative",
                "files": [sidecar.image.path],
                "settings": settings,
                "description": f"TB1map from --b1-dir ({kind})",
                "uris": [f"bids:b1:{found.b1.names[sidecar.image.path]}"],
            },
            missing,
            None,
        )
    kind, sidecars = _raw_b1(found, target, warnings)
    if kind is None:
        return None, missing, _no_b1_note(found)
    files, settings, description = _B1_READERS[kind](
        sidecars, found.where, missing, assume_ms, warnings
    )
    return (
        {
            "kind": kind,
            "files": files,
            "settings": settings,
            "description": description,
            "uris": [f"bids:raw:{s.name()}" for s in sidecars.values()],
        },
        missing,
        None,
    )


def derivative_image(derived: Derived, where: str, prefer: str | None = None) -> Sidecar:
    """The one image of a derivatives folder for a participant and session.

    Parameters
    ----------
    derived : dataset.Derived
        What the folder holds (``--mask-dir``, ``--b1-dir``).
    where : str
        The participant and session, for messages.
    prefer : str, optional
        The ``desc-`` that wins where several are found.

    Returns
    -------
    sidecars.Sidecar

    Raises
    ------
    BidsError
        None, several, or a folder pybids cannot index.
    """
    if derived.problem is not None:
        raise BidsError(derived.problem)
    preferred = [s for s in derived.images if prefer and s.image.entities.get("desc") == prefer]
    image = pick_one(
        preferred or derived.images, f"{derived.suffix} images in {derived.option}", where
    )
    if image is None:
        raise BidsError(
            f"{where}: no *_{derived.suffix} image in {derived.option} '{derived.folder}'"
        )
    return image


def pick_one(candidates: list, what: str, where: str) -> Sidecar | None:
    """The one candidate, or None without any.

    Parameters
    ----------
    candidates : list of sidecars.Sidecar
    what : str
        What they are, for the message ("TB1map images", ...).
    where : str
        The participant and session, for the message.

    Returns
    -------
    sidecars.Sidecar or None

    Raises
    ------
    BidsError
        Several candidates.
    """
    if len(candidates) > 1:
        names = ", ".join(Path(c.image.path).name for c in candidates)
        raise BidsError(
            f"{where}: several {what} ({names}); name the one meant in its IntendedFor or keep one"
        )
    return candidates[0] if candidates else None
