"""A participant's collections: the sets of scans mapped together, each
with its parameters, field maps, mask and sources.

For the App's planning (``app``: :func:`collections_of`, per participant
and session), answered as a one-way pipeline: the session's files found
once (``dataset.find_session``, the one stage that asks pybids), each
collection's scans read from their sidecars (``sidecars.read_scans``), then
here its transmit field (B1) source, B0 map and mask chosen among the images
found, and the collection assembled, refused with all its missing fields
named at once. Among several candidates of a kind, the one whose
``IntendedFor`` names the MT-weighted scan wins; several left are refused,
naming them. The B1 source comes by precedence: ``--b1-dir``, then ``fmap/``
by ``dataset.B1_KINDS``, with the settings its computation needs read from
its sidecars. Each scan's intensity scale comes from the converter's vendor
fields (``scales``), with warnings where the scans differ in a way
no factor undoes.
"""

import math
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError, Collection
from tavni.mt_map.bids.dataset import (
    B0_SUFFIX,
    B1_KINDS,
    UNREAD_B1_KINDS,
    Derived,
    Session,
    find_session,
)
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import Sidecar, read_scans
from tavni.mt_map.scans import ROLES

__all__ = [
    "b0_map",
    "b1_source",
    "collections_of",
    "param_hint",
    "refuse_missing",
]


def collections_of(
    layout, participant: str, session: str | None, overrides: dict, reading: Reading
) -> list[Collection]:
    """The collections of one participant and session.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None
    overrides : dict of str to protocol.Given
        Parameters that complete or override the sidecars
        (``sidecars.read_overrides``).
    reading : settings.Reading
        ``assume_ms``, ``mask_dir`` and ``b1_dir`` are read.

    Returns
    -------
    list of Collection
        One per ``acq-``/``run-`` combination of the MTS, MPM and VFA
        images (``acq-`` labels that name a contrast aside).

    Raises
    ------
    BidsError
        Naming the file and field to fix.
    """
    found = find_session(layout, participant, session, reading)
    return [
        _collection_of(found, acquisition, run, sidecars, overrides, reading.assume_ms)
        for acquisition, run, sidecars in found.collections
    ]


def _collection_of(found: Session, acquisition, run, sidecars, overrides, assume_ms):
    """One collection from its images: scans read, B1 source chosen, the
    missing fields refused, then scales, B0 map, mask and sources.
    """
    warnings = []
    here = (
        found.where
        + (f" acq-{acquisition}" if acquisition else "")
        + (f" run-{run}" if run else "")
    )
    scans, echoes, given, missing = read_scans(sidecars, here, overrides, assume_ms, warnings)
    # The transmit field's source, whose missing fields join the others'.
    b1, b1_missing, no_b1 = b1_source(found, scans["mtw"], assume_ms, warnings)
    refuse_missing(given, missing, b1_missing, here)

    collection = Collection(
        session=found.session,
        entities={"acquisition": acquisition, "run": run},
        **{role: scans[role].image.path for role in ROLES},
        parameters=given,
        sources=[],
        warnings=warnings,
    )
    if b1 is not None:
        collection.b1 = b1["files"][0]
        collection.b1_units = b1["settings"].get("units")
        collection.b1_kind = b1["kind"]
        collection.b1_files = b1["files"]
        collection.b1_settings = b1["settings"]
        collection.b1_source = b1["description"]
    else:
        warnings.append(f"{here}: {no_b1}")
    for role in ROLES:
        members, times = echoes[role]
        if times is not None:
            collection.echoes[role] = {
                "images": [s.image.path for s in members],
                "echo_times": times,
            }
    _scales(collection, scans, here)
    b0 = b0_map(found, scans["mtw"])
    mask = None if found.mask is None else _derivative_image(found.mask, found.where, "brain")
    if b0 is not None:
        collection.b0, collection.b0_units = b0.image.path, b0.values["Units"]
    if mask is not None:
        collection.mask = mask.image.path
    mask_name = None if mask is None else found.mask.names[mask.image.path]
    collection.sources = _sources(scans, echoes, b1, b0, mask_name)
    return collection


def _sources(scans, echoes, b1, b0, mask_name):
    """A collection's sources as BIDS URIs: every echo of each scan, the B1
    source's images, the B0 map and the mask.
    """
    sources = [
        f"bids:raw:{s.name()}"
        for role in ROLES
        for s in (echoes[role][0] if echoes[role][1] is not None else [scans[role]])
    ]
    sources += b1["uris"] if b1 is not None else []
    if b0 is not None:
        sources.append(f"bids:raw:{b0.name()}")
    if mask_name is not None:
        sources.append(f"bids:mask:{mask_name}")
    return sources


def _scales(collection, scans, where):
    """Each scan's intensity factor and scale onto the collection; a warning
    where the scans differ in a way no factor undoes.
    """
    from tavni.mt_map.bids import scales as scale

    for role, sidecar in scans.items():
        try:
            factor, description = scale.intensity_scale(sidecar.values)
        except ValueError as error:
            raise BidsError(f"{sidecar.name()}: {error}") from None
        collection.scales[role] = factor
        collection.scale_notes[role] = description
    named = {Path(s.name()).name.split(".")[0]: s.values for s in scans.values()}
    collection.warnings += [f"{where}: {line}" for line in scale.scale_warnings(named)]


def refuse_missing(given: dict, missing: list, b1_missing: list, where: str) -> None:
    """Refuses a collection with sidecar fields missing that no parameter
    given stands in for, naming them all in one line.

    Parameters
    ----------
    given : dict of str to protocol.Given
        As ``sidecars.read_scans`` gives them.
    missing : list of (tuple of str, sidecars.Sidecar, str)
        The scans' missing fields: (the parameter keys any one of which
        stands in for it, none for a field nothing stands in for, sidecar,
        field).
    b1_missing : list of (str, str, str)
        The B1 source's missing fields: (sidecar, field, what to write).
    where : str
        The collection, for the message.

    Raises
    ------
    BidsError
        One field missing, with where to add it and the ``--param`` that
        stands in for it; several, listed.
    """
    unfilled = [
        (keys, sidecar, field)
        for keys, sidecar, field in missing
        if not (keys and all(k in given for k in keys))
        and not (set(keys) <= set(protocol.PULSE_SHAPE) and keys and "omega_1_rms" in given)
    ]
    if len(b1_missing) == 1 and not unfilled:
        label, field, hint = b1_missing[0]
        raise BidsError(f"{label}: sidecar field {field} is missing; add it ({hint})")
    if len(unfilled) == 1 and not b1_missing:
        keys, sidecar, field = unfilled[0]
        if not keys:
            sidecar.require(field)
        raise BidsError(
            f"{sidecar.name()}: sidecar field {field} is missing; add it to the sidecar "
            f"or give {' and '.join(keys)} in --protocol or as {param_hint(keys)}"
        )
    if unfilled or b1_missing:
        listed = ", ".join(
            [
                f"{field} ({sidecar.own_sidecar()}; "
                + (f"or {param_hint(keys)})" if keys else "no parameter stands in for it)")
                for keys, sidecar, field in unfilled
            ]
            + [f"{field} ({label}; {hint})" for label, field, hint in b1_missing]
        )
        plural = "s" if len(unfilled) + len(b1_missing) > 1 else ""
        raise BidsError(f"{where}: sidecar field{plural} missing: {listed}")


def param_hint(keys) -> str:
    """``--param KEY=UNIT`` for each of keys, joined by "and".

    Parameters
    ----------
    keys : sequence of str
        Protocol keys.

    Returns
    -------
    str
    """
    return " and ".join(
        f"--param {key}={protocol.METAVARS[protocol.PARAMETERS[key].unit]}" for key in keys
    )


def _fmap_images(found, suffix):
    """The session's images of a suffix in ``fmap/``."""
    return [s for s in found.field_maps if s.image.entities["suffix"] == suffix]


def _intended(sidecar, target):
    """Whether the image's IntendedFor lists target (a Sidecar)."""
    intended = sidecar.values.get("IntendedFor", [])
    intended = [intended] if isinstance(intended, str) else intended
    return any(str(i).endswith(target.name().split("/", 1)[1]) for i in intended)


def _field_map(found, suffix, target):
    """The fmap image of a suffix ("TB1map", "fieldmap") whose IntendedFor
    lists target (the MT-weighted scan's Sidecar), else the only one of the
    session; None without any. Several candidates are refused.
    """
    candidates = _fmap_images(found, suffix)
    meant = [sidecar for sidecar in candidates if _intended(sidecar, target)]
    return _pick_one(meant or candidates, f"{suffix} images", found.where)


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
    b0 = _field_map(found, B0_SUFFIX, target)
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
            image = _field_map(found, suffix, target)
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
        sidecar = _derivative_image(found.b1, found.where)
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


def _derivative_image(derived: Derived, where: str, prefer: str | None = None) -> Sidecar:
    """The one image of a derivatives folder (``dataset.Derived``) for a
    participant and session, ``desc-<prefer>`` winning among several; none,
    several, or a folder pybids cannot index are refused.
    """
    if derived.problem is not None:
        raise BidsError(derived.problem)
    preferred = [s for s in derived.images if prefer and s.image.entities.get("desc") == prefer]
    image = _pick_one(
        preferred or derived.images, f"{derived.suffix} images in {derived.option}", where
    )
    if image is None:
        raise BidsError(
            f"{where}: no *_{derived.suffix} image in {derived.option} '{derived.folder}'"
        )
    return image


def _pick_one(candidates, what, where):
    """The one candidate (a Sidecar), None without any; several are refused,
    naming them, with what they are and where (for the message).
    """
    if len(candidates) > 1:
        names = ", ".join(Path(c.image.path).name for c in candidates)
        raise BidsError(
            f"{where}: several {what} ({names}); name the one meant in its IntendedFor or keep one"
        )
    return candidates[0] if candidates else None
