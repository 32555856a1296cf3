"""A collection's protocol parameters: from its scans' sidecars
(``fields.BIDS_FIELDS``), completed or overridden by ``--protocol`` and
``--param``, the tissue constants from their defaults; and one message for
every field that is missing.

For ``collections``, which assembles a collection: :func:`read_parameters`,
then :func:`refuse_missing` (with the B1 source's missing fields), then
:func:`add_tissue_defaults`. Each value is a ``protocol.Given``, named by
its sidecar field and file, so that the chain's checks and the outputs'
sidecars say where it came from.
"""

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.fields import BIDS_FIELDS
from tavni.mt_map.bids.overrides import param_hint
from tavni.mt_map.pulses import SHAPES
from tavni.mt_map.scans import ROLES

__all__ = ["add_tissue_defaults", "read_parameters", "refuse_missing"]


def read_parameters(
    scans: dict, overrides: dict, missing: list, assume_ms: bool, warnings: list
) -> dict:
    """The parameters of the sidecars, with the overrides in their place.

    Parameters
    ----------
    scans : dict of str to sidecars.Sidecar
        Role (``scans.ROLES``) to the sidecar of its scan; the PD- and
        T1-weighted scans None where they could not be told apart.
    overrides : dict of str to protocol.Given
        Parameters that complete or override the sidecars
        (``overrides.read_overrides``).
    missing : list
        Where each missing field goes: (the parameter keys any one of which
        stands in for it, sidecar, field).
    assume_ms : bool
        Read sidecar times too large to be seconds as milliseconds.
    warnings : list
        Where the notes of times read as milliseconds go.

    Returns
    -------
    dict of str to protocol.Given
    """
    given = {}

    def take(key, sidecar, convert=None):
        """The parameter key from its field (``BIDS_FIELDS``) of sidecar."""
        if key in overrides:
            return
        entry = field = BIDS_FIELDS[key.removeprefix("pdw_").removeprefix("t1w_")]
        if entry == "RepetitionTimeExcitation" and not sidecar.has(entry):
            entry = "RepetitionTime"
        if not sidecar.has(entry):
            missing.append(((key,), sidecar, field))
            return
        if entry == "MTPulseShape":
            value = str(sidecar.values[entry]).lower()
        else:
            value = sidecar.number(entry, assume_ms=assume_ms, warnings=warnings)
        given[key] = protocol.Given(
            convert(value) if convert else value, entry, f" in {sidecar.origin(entry)}"
        )

    # The MT-weighted scan's are the keys without a prefix.
    for role in ROLES:
        if scans[role] is not None:
            prefix = "" if role == "mtw" else f"{role}_"
            take(prefix + "flip_angle_deg", scans[role])
            take(prefix + "TR", scans[role])
    mtw = scans["mtw"]
    take("delta_omega", mtw)
    if "mt_pulses" not in overrides:
        if mtw.has(BIDS_FIELDS["mt_pulses"]):
            take("mt_pulses", mtw, convert=int)
        else:
            given["mt_pulses"] = protocol.Given(1, "one MT pulse per TR", " (default)")
    # The saturation per TR lasts the number of pulses times one pulse.
    if "duration" not in overrides:
        take("duration", mtw)
        if "duration" in given:
            pulses = (overrides.get("mt_pulses") or given["mt_pulses"]).value
            one = given["duration"]
            given["duration"] = protocol.Given(
                one.value * pulses, f"{one.name} x {pulses:g}", one.source
            )
    # The amplitude of the saturation is given directly or by the pulse.
    if "omega_1_rms" not in overrides:
        take("mt_flip_angle_deg", mtw)
        take("mt_pulse_shape", mtw)
        shape = overrides.get("mt_pulse_shape") or given.get("mt_pulse_shape")
        # The bandwidth where the shape takes one (the pulse registry says).
        pulse = SHAPES.get(shape.value) if shape is not None else None
        if pulse is not None and "bandwidth" in pulse.needs:
            take("mt_bandwidth", mtw)

    given.update(overrides)
    if "omega_1_rms" in overrides:
        for key in protocol.PULSE_SHAPE:
            given.pop(key, None)
    if any(key in overrides for key in protocol.LINESHAPE):
        for key in protocol.LINESHAPE:
            if key not in overrides:
                given.pop(key, None)
    return given


def refuse_missing(given: dict, missing: list, b1_missing: list, where: str) -> None:
    """Refuses a collection with sidecar fields missing that no parameter
    given stands in for, naming them all in one line.

    Parameters
    ----------
    given : dict of str to protocol.Given
        As :func:`read_parameters` gives them.
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


def add_tissue_defaults(given: dict) -> None:
    """Gives the tissue constants their defaults where nothing gave them.

    No scanner records the tissue constants: where neither ``--protocol``
    nor ``--param`` gives them, the method's standard values, named as
    defaults (``protocol.tissue_default``).

    Parameters
    ----------
    given : dict of str to protocol.Given
        Completed in place.
    """
    for key in protocol.TISSUE:
        given.setdefault(key, protocol.tissue_default(key))
    if not any(k in given for k in protocol.LINESHAPE):
        given["T2b"] = protocol.tissue_default("T2b")
