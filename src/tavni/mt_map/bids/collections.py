"""A participant's collections: the sets of scans mapped together, each
with its parameters, field maps, mask and sources.

For the App's planning (``app``: :func:`collections_of`, per participant
and session), which it answers as a one-way pipeline: the session's files
found once (``dataset.find_session``, the one stage that asks pybids),
each collection's scans read from their sidecars (``sidecars.read_scans``),
its field maps and mask chosen (``fieldmaps``), and the collection
assembled here, refused with all its missing fields named at once. Per
participant and session, found with pybids (entities and sidecar
inheritance):

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
- the sidecar fields of ``fields.BIDS_FIELDS`` (``sidecars``), the
  transmit field (B1) and the B0 map, a brain mask from ``--mask-dir``
  (``fieldmaps``).
- each scan's intensity scale from the converter's vendor fields
  (``preprocess.scale``), and warnings where the scans differ in a way no
  factor undoes.

Values are never reinterpreted silently: a time that can only be in
milliseconds stops the participant with the fix, unless ``--assume-ms``.
"""

from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError, Collection
from tavni.mt_map.bids.dataset import Session, find_session
from tavni.mt_map.bids.fieldmaps import b0_map, b1_source, derivative_image
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import read_scans
from tavni.mt_map.scans import ROLES

__all__ = ["collections_of", "param_hint", "refuse_missing"]


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
    mask = None if found.mask is None else derivative_image(found.mask, found.where, "brain")
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
    from tavni.mt_map.preprocess import scale

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
