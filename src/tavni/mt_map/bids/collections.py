"""A participant's collections: the sets of scans mapped together, each
with its parameters, field maps, mask and sources.

For the App's planning (``app``: :func:`collections_of`, per participant
and session). Per participant and session, found with pybids (entities and
sidecar inheritance):

- the MT collection in ``anat/``: ``*_flip-<n>_mt-<on|off>_MTS.nii[.gz]``,
  or a ``*_flip-<n>_VFA`` collection for R1 beside an MT-on ``_MTS`` image.
  The images are told apart by their sidecars (``MTState``, else the
  converter's ``SequenceVariant``/``ScanOptions`` MT marks; ``FlipAngle``),
  never by the flip index: of the MT-off images the smallest flip angle is
  the PD-weighted scan, the largest the T1-weighted one. Images that differ
  in ``acq-``/``run-`` form separate collections, mapped separately.
- multi-echo readouts: the multi-parameter-mapping collection
  ``*_acq-<PDw|T1w|MTw>_echo-<k>_flip-<n>_mt-<on|off>_MPM`` (the ``acq-``
  labels that name a contrast do not split the collection), or ``echo-``
  images under ``_MTS``. The images that differ only in ``echo-`` are the
  echoes of one contrast, ordered by their sidecars' ``EchoTime`` (s),
  which they must have, all different, with one flip angle, TR and MT
  state.
- the sidecar fields of ``fields.BIDS_FIELDS`` (``parameters``), the
  transmit field (B1) and the B0 map (``fieldmaps``), a brain mask from
  ``--mask-dir`` (``masks``).
- each scan's intensity scale from the converter's vendor fields
  (``scales``), and warnings where the scans differ in a way no
  factor undoes.

Values are never reinterpreted silently: a time that can only be in
milliseconds stops the participant with the fix, unless ``--assume-ms``.
"""

import json
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Collection
from tavni.mt_map.bids.fieldmaps import b0_map, b1_source, no_b1_note
from tavni.mt_map.bids.layout import check_sidecars_usable, where
from tavni.mt_map.bids.masks import find_mask
from tavni.mt_map.bids.naming import relative
from tavni.mt_map.bids.parameters import add_tissue_defaults, read_parameters, refuse_missing
from tavni.mt_map.bids.queries import find
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import Sidecar, mt_state
from tavni.mt_map.scans import ROLES

__all__ = ["collections_of"]


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
        (``overrides.read_overrides``).
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
    check_sidecars_usable(layout, participant, session)
    images = find(layout, "scans", participant, session)
    if not images:
        raise BidsError(f"{where(participant, session)}: no *_MTS, *_MPM or *_VFA images in anat/")
    groups = {}
    for image in images:
        key = (_collection_acquisition(image), image.entities.get("run"))
        groups.setdefault(key, []).append(image)
    collections = []
    for (acquisition, run), members in sorted(groups.items(), key=lambda g: str(g[0])):
        collections.append(
            _collection_of(
                layout, participant, session, acquisition, run, members, overrides, reading
            )
        )
    return collections


# acq- labels that name the contrast of a multi-parameter-mapping scan
# rather than another acquisition of the whole collection.
_CONTRAST_LABELS = frozenset(ROLES)


def _collection_acquisition(image):
    """The acq- label that sets an image's collection apart (None for a
    label that names its contrast).
    """
    label = image.entities.get("acquisition")
    return None if label is not None and str(label).lower() in _CONTRAST_LABELS else label


def _contrasts(sidecars, where, assume_ms, warnings):
    """The scans of a collection as contrasts: the images that differ in
    nothing but ``echo-`` are the echoes of one readout.

    Returns
    -------
    list of (list of Sidecar, list of float or None)
        Each contrast's images in echo order and their echo times (s);
        echo times None for all when every contrast has one image, which
        is then read as a single-echo scan whatever its sidecar says.

    Raises
    ------
    BidsError
        An echo without a numeric ``EchoTime``, two echoes of one time, or
        echoes whose flip angle, TR or MT state differ.
    """
    groups = {}
    for sidecar in sidecars:
        # The entities of the file's name (pybids' get_entities(metadata=False)
        # without its query per file and its sort).
        tags = sidecar.image.tags.items()
        entities = {name: tag.value for name, tag in tags if not tag.is_metadata}
        key = tuple(
            sorted((k, str(v)) for k, v in entities.items() if k not in ("echo", "extension"))
        )
        groups.setdefault(key, []).append(sidecar)
    contrasts = [sorted(g, key=lambda s: s.name()) for _, g in sorted(groups.items())]
    if all(len(members) == 1 for members in contrasts):
        return [(members, None) for members in contrasts]
    found = []
    for members in contrasts:
        times = []
        for sidecar in members:
            sidecar.require("EchoTime")
            times.append(sidecar.number("EchoTime", assume_ms=assume_ms, warnings=warnings))
        order = sorted(range(len(members)), key=times.__getitem__)
        members, times = [members[i] for i in order], [times[i] for i in order]
        for k in range(1, len(times)):
            if times[k] == times[k - 1]:
                raise BidsError(
                    f"{where}: {members[k - 1].name()} and {members[k].name()} have the same "
                    f"EchoTime ({times[k]:g} s); each echo of a readout has its own"
                )
        for field in ("FlipAngle", "RepetitionTimeExcitation", "RepetitionTime", "MTState"):
            values = {json.dumps(s.values.get(field)) for s in members}
            if len(values) > 1:
                raise BidsError(
                    f"{where}: the echoes {members[0].name()} ... {members[-1].name()} "
                    f"differ in {field} ({', '.join(sorted(values))}); the echoes of one "
                    f"readout share it"
                )
        found.append((members, times))
    return found


def _scans_by_role(sidecars, where, warnings):
    """Each contrast's role, from its sidecar: the one MT-on scan is the
    MT-weighted one; of the MT-off scans the smallest flip angle is the
    PD-weighted one, the largest the T1-weighted one.

    Returns
    -------
    scans : dict of str to Sidecar
        Role to sidecar; the PD- and T1-weighted None when an MT-off scan
        has no FlipAngle to tell them apart.
    missing : list
        The fields missing so far: (the parameter keys any one of which
        stands in for it, sidecar, field).
    """
    mt_on, mt_off = [], []
    for sidecar in sidecars:
        vfa = sidecar.image.entities["suffix"] == "VFA"
        read = []
        (mt_on if mt_state(sidecar, False if vfa else None, read) else mt_off).append(sidecar)
        warnings.extend(f"{where}: {line}" for line in read)
    if len(mt_on) != 1:
        raise BidsError(f"{where}: {len(mt_on)} MT-on images (MTState true); one is needed")
    # An MT-off image's flip angle tells the PD- from the T1-weighted scan:
    # no parameter stands in for it.
    unsorted = [s for s in mt_off if not s.has("FlipAngle")]
    missing = [((), s, "FlipAngle") for s in unsorted]
    flips = {}
    for sidecar in mt_off:
        if sidecar not in unsorted:
            flips.setdefault(sidecar.number("FlipAngle"), []).append(sidecar)
    if unsorted:
        for sidecar in mt_off:
            if not sidecar.has("RepetitionTimeExcitation") and not sidecar.has("RepetitionTime"):
                missing.append((("pdw_TR", "t1w_TR"), sidecar, "RepetitionTimeExcitation"))
        return {"pdw": None, "t1w": None, "mtw": mt_on[0]}, missing
    if len(flips) < 2:
        raise BidsError(
            f"{where}: the MT-off images need two different FlipAngle values "
            f"(found {sorted(flips) or 'none'})"
        )
    for angle, same in flips.items():
        if len(same) > 1:
            raise BidsError(
                f"{where}: several MT-off images with FlipAngle {angle:g} "
                f"({', '.join(s.name() for s in same)})"
            )
    if len(flips) > 2:
        warnings.append(
            f"{where}: {len(flips)} MT-off flip angles; R1 from the smallest "
            f"({min(flips):g} deg) and largest ({max(flips):g} deg)"
        )
    return {"pdw": flips[min(flips)][0], "t1w": flips[max(flips)][0], "mtw": mt_on[0]}, missing


def _collection_of(layout, participant, session, acquisition, run, images, overrides, reading):
    """One collection from its images, step by step: contrasts, roles,
    parameters, B1, echoes, scales, B0, mask, sources.
    """
    warnings = []
    here = (
        where(participant, session)
        + (f" acq-{acquisition}" if acquisition else "")
        + (f" run-{run}" if run else "")
    )
    # One sidecar per contrast decides its role and parameters: its first
    # echo's, which the other echoes agree with.
    sidecars = [Sidecar(layout, image) for image in images]
    contrasts = _contrasts(sidecars, here, reading.assume_ms, warnings)
    echoes = {id(members[0]): (members, times) for members, times in contrasts}
    scans, missing = _scans_by_role([members[0] for members, _ in contrasts], here, warnings)
    given = read_parameters(scans, overrides, missing, reading.assume_ms, warnings)
    # The transmit field's source, whose missing fields join the others'.
    mtw = scans["mtw"].image.path
    b1, b1_missing = b1_source(layout, participant, session, mtw, reading, warnings)
    refuse_missing(given, missing, b1_missing, here)
    add_tissue_defaults(given)

    collection = Collection(
        session=session,
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
        warnings.append(f"{here}: {no_b1_note(layout, participant, session)}")
    for role in ROLES:
        members, times = echoes[id(scans[role])]
        if times is not None:
            collection.echoes[role] = {
                "images": [s.image.path for s in members],
                "echo_times": times,
            }
    _scales(collection, scans, here)
    b0 = b0_map(layout, participant, session, mtw)
    if b0 is not None:
        collection.b0, collection.b0_units = b0
    if reading.mask_dir is not None:
        collection.mask = find_mask(reading.mask_dir, participant, session)
    _add_sources(collection, layout.root, b1, reading.mask_dir)
    return collection


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


def _add_sources(collection, root, b1, mask_dir):
    """The collection's sources as BIDS URIs: every echo of each scan, the
    B1 source's images, the B0 map and the mask.
    """
    inputs = [
        path
        for role in ROLES
        for path in collection.echoes.get(role, {}).get("images", [getattr(collection, role)])
    ]
    collection.sources = [f"bids:raw:{relative(p, root)}" for p in inputs]
    collection.sources += b1["uris"] if b1 is not None else []
    if collection.b0:
        collection.sources.append(f"bids:raw:{relative(collection.b0, root)}")
    if collection.mask:
        collection.sources.append(f"bids:mask:{relative(collection.mask, mask_dir)}")
