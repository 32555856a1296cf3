"""Reading a collection's scans from their sidecars: which scan is which
(MT state, flip angle), the echoes of each readout, and the protocol
parameters, completed or overridden by ``--protocol`` and ``--param``.

For ``collections``, which assembles a collection: :func:`read_scans`,
once per collection, on the :class:`Sidecar` records that
``dataset.find_session`` found; and for the App's planning (``app``):
:func:`read_overrides`, once per run. A time that can only be in
milliseconds is refused with the fix (or read as such with
``--assume-ms``); every complaint names the JSON file to edit; each
parameter is a ``protocol.Given``, named by its sidecar field and file, so
that the chain's checks and the outputs' sidecars say where it came from.

The images are told apart by their sidecars (``MTState``, else the
converter's ``SequenceVariant``/``ScanOptions`` MT marks; ``FlipAngle``): of
the MT-off images the smallest flip angle is the PD-weighted scan, the
largest the T1-weighted one. The images that differ only in ``echo-`` are
the echoes of one contrast, ordered by their sidecars' ``EchoTime`` (s),
which they must have, all different, with one flip angle, TR and MT state.
"""

import json
import math
from dataclasses import dataclass
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.fields import BIDS_FIELDS, LONGEST_SECONDS
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.pulses import SHAPES
from tavni.mt_map.scans import ROLES

__all__ = ["MT_MARKS", "Sidecar", "mt_state", "read_overrides", "read_parameters", "read_scans"]


@dataclass
class Sidecar:
    """The metadata of one image, with BIDS inheritance, and which JSON file
    gave each field (for messages that name the file to fix).

    Made by ``dataset.find_session``, which reads them with pybids.

    Attributes
    ----------
    image : bids.layout.BIDSImageFile
    relative_path : str
        The image's path relative to its dataset.
    values : dict
        Its metadata, inherited fields included.
    files : list of (str, str)
        The JSON files that apply by the inheritance principle, nearest
        first: each one's path, and that path relative to the dataset.
    """

    image: object
    relative_path: str
    values: dict
    files: list

    def name(self) -> str:
        """The image's path relative to the dataset."""
        return self.relative_path

    def own_sidecar(self) -> str:
        """The image's own JSON sidecar, relative to the dataset."""
        name = Path(self.name())
        return str(name.with_name(name.name.split(".")[0] + ".json"))

    def origin(self, key: str) -> str:
        """The sidecar that gives field key, for messages.

        Parameters
        ----------
        key : str
            A sidecar field.

        Returns
        -------
        str
            The nearest applying JSON file holding it, relative to the
            dataset; else "the sidecar of" the image.
        """
        for path, name in self.files:
            try:
                if key in json.loads(Path(path).read_text()):
                    return name
            except (OSError, ValueError):
                continue
        return f"the sidecar of {self.name()}"

    def has(self, key: str) -> bool:
        """Whether the image's metadata has field key (and it is not null)."""
        return self.values.get(key) is not None

    def number(self, key: str, *, assume_ms: bool = False, warnings: list | None = None) -> float:
        """The field as a float.

        Parameters
        ----------
        key : str
            A sidecar field.
        assume_ms : bool
            Read a time beyond ``LONGEST_SECONDS`` as milliseconds instead
            of refusing it.
        warnings : list, optional
            Where the warning of such a reading goes (needed with
            ``assume_ms``).

        Returns
        -------
        float
            Times in s.

        Raises
        ------
        BidsError
            Naming the file and field: not a finite number, or a time that
            can only be in milliseconds (without ``assume_ms``).
        """
        value = self.values.get(key)
        if (
            isinstance(value, bool)
            or not isinstance(value, (int, float))
            or not math.isfinite(value)
        ):
            raise BidsError(f"{self.origin(key)}: {key} must be a number, not {value!r}")
        value = float(value)
        longest = LONGEST_SECONDS.get(key)
        if longest is not None and value > longest:
            if not assume_ms:
                raise BidsError(
                    f"{self.origin(key)}: {key} is {value:g}, but must be in seconds and "
                    f"cannot exceed {longest:g} s here; if it is {value:g} ms, write "
                    f"{value / 1000:g} (or run with --assume-ms)"
                )
            warnings.append(
                f"{self.origin(key)}: {key} {value:g} read as milliseconds "
                f"({value / 1000:g} s), as --assume-ms asks"
            )
            value /= 1000.0
        return value

    def require(self, key: str) -> None:
        """Raises BidsError, naming where to add it, when field key is missing."""
        if not self.has(key):
            raise BidsError(
                f"{self.name()}: sidecar field {key} is missing (add it to "
                f"{Path(self.image.path).name.split('.')[0]}.json or to a "
                f"dataset-level sidecar)"
            )


# Marks of an MT preparation that DICOM converters copy from the header:
# Siemens' SequenceVariant (MTC, MTC_SP) and GE's ScanOptions (MT, MT_GEMS),
# as one backslash-separated string or a list.
MT_MARKS = frozenset(("MTC", "MTC_SP", "MT", "MT_GEMS"))
_MARK_FIELDS = ("SequenceVariant", "ScanOptions")


def _converter_mark(sidecar):
    """(state, field, text) from SequenceVariant/ScanOptions; None without both."""
    unmarked = None
    for field in _MARK_FIELDS:
        value = sidecar.values.get(field)
        if value is None:
            continue
        items = value if isinstance(value, list) else [value]
        tokens = [t.strip() for item in items for t in str(item).split("\\") if t.strip()]
        for token in tokens:
            word = token.upper()
            # Some converters join the tokens with underscores (SK_SP_MTC).
            if word in MT_MARKS or {"MT", "MTC"} & set(word.split("_")):
                return True, field, token
        if unmarked is None:
            unmarked = (False, field, "\\".join(tokens))
    return unmarked


def mt_state(sidecar: Sidecar, default: bool | None, warnings: list | None = None) -> bool:
    """Whether an image is MT-weighted, from its sidecar's MTState, else from
    the converter's SequenceVariant or ScanOptions marks.

    Parameters
    ----------
    sidecar : Sidecar
    default : bool or None
        The state without an MTState field (False for VFA images); None:
        the field is required, unless SequenceVariant or ScanOptions is
        there (an MT mark in either, MTC, MTC_SP, MT, MT_GEMS, is MT-on,
        none MT-off) or else the file name has an ``mt-on``/``mt-off``
        entity.
    warnings : list, optional
        Where a line naming the field that decided goes, when it was not
        MTState.

    Returns
    -------
    bool

    Raises
    ------
    BidsError
        A missing or unreadable MTState without converter marks, or an
        ``mt-`` entity that disagrees with the state read.
    """
    value = sidecar.values.get("MTState", default)
    label = sidecar.image.entities.get("mt")
    if value is None:
        mark = _converter_mark(sidecar)
        if mark is None and label in ("on", "off"):
            # Neither field nor mark: the file name's mt- entity, which the
            # dataset's author wrote to say just this.
            if warnings is not None:
                warnings.append(
                    f"MTState absent; MT-{label} read from the file name of {sidecar.name()}"
                )
            return label == "on"
        if mark is None:
            sidecar.require("MTState")
        value, field, text = mark
        read = "an MT mark" if value else "no MT mark"
        if label is not None and (label == "on") != value:
            raise BidsError(
                f"{sidecar.name()}: file name says mt-{label} but MTState is absent and "
                f"{field} ({text}) has {read}"
            )
        if warnings is not None:
            warnings.append(
                f"MTState absent; MT-{'on' if value else 'off'} read from {field} "
                f"({text}: {read}) of {sidecar.origin(field)}"
            )
        return value
    if isinstance(value, str) and value.lower() in ("true", "false", "on", "off"):
        value = value.lower() in ("true", "on")
    if not isinstance(value, bool):
        raise BidsError(
            f"{sidecar.origin('MTState')}: MTState must be true or false, not {value!r}"
        )
    if label is not None and (label == "on") != value:
        raise BidsError(
            f"{sidecar.name()}: file name says mt-{label} but MTState is {str(value).lower()}"
        )
    return value


def read_scans(
    sidecars: list, where: str, overrides: dict, assume_ms: bool, warnings: list
) -> tuple[dict, dict, dict, list]:
    """A collection's scans read from their sidecars: contrasts, roles and
    parameters, in that order.

    Parameters
    ----------
    sidecars : list of Sidecar
        The collection's images.
    where : str
        The collection, for messages.
    overrides : dict of str to protocol.Given
        Parameters that complete or override the sidecars
        (:func:`read_overrides`).
    assume_ms : bool
        Read sidecar times too large to be seconds as milliseconds.
    warnings : list
        Where the notes go (fields that decided in place of MTState, times
        read as milliseconds, extra flip angles).

    Returns
    -------
    scans : dict of str to Sidecar
        Role (``scans.ROLES``) to the sidecar of its scan (its first
        echo's); the PD- and T1-weighted None where an MT-off scan has no
        FlipAngle to tell them apart.
    echoes : dict of str to (list of Sidecar, list of float or None)
        Role to its images in echo order and their echo times (s), for the
        roles found; echo times None when every contrast has one image.
    given : dict of str to protocol.Given
        The parameters, the tissue constants' defaults included.
    missing : list of (tuple of str, Sidecar, str)
        The sidecar fields missing: (the parameter keys any one of which
        stands in for it, none for a field nothing stands in for, sidecar,
        field).

    Raises
    ------
    BidsError
        Naming the file and field to fix.
    """
    # One sidecar per contrast decides its role and parameters: its first
    # echo's, which the other echoes agree with.
    contrasts = _contrasts(sidecars, where, assume_ms, warnings)
    by_first = {id(members[0]): (members, times) for members, times in contrasts}
    scans, missing = _scans_by_role([members[0] for members, _ in contrasts], where, warnings)
    echoes = {role: by_first[id(scans[role])] for role in ROLES if scans[role] is not None}
    given = read_parameters(scans, overrides, missing, assume_ms, warnings)
    # No missing field stands for a tissue constant: their defaults go in
    # last, whatever is refused afterwards.
    add_tissue_defaults(given)
    return scans, echoes, given, missing


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


def read_parameters(
    scans: dict, overrides: dict, missing: list, assume_ms: bool, warnings: list
) -> dict:
    """The parameters of the sidecars, with the overrides in their place.

    Parameters
    ----------
    scans : dict of str to Sidecar
        Role (``scans.ROLES``) to the sidecar of its scan; the PD- and
        T1-weighted scans None where they could not be told apart.
    overrides : dict of str to protocol.Given
        Parameters that complete or override the sidecars
        (:func:`read_overrides`).
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


def read_overrides(reading: Reading) -> dict:
    """Parameters given by ``--protocol`` and ``--param``; ``--param`` wins.

    Parameters
    ----------
    reading : settings.Reading
        ``protocol`` (a path or None) and ``param`` (``KEY=VALUE`` strings or
        None) are read.

    Returns
    -------
    dict of str to protocol.Given

    Raises
    ------
    BidsError
        A ``--param`` that is not ``KEY=VALUE`` with a protocol key.
    protocol.ParameterError
        A bad protocol file.
    """
    overrides = protocol.read_protocol(reading.protocol) if reading.protocol else {}
    for item in reading.param or ():
        key, sep, text = item.partition("=")
        if not sep or key not in protocol.PROTOCOL_KEYS:
            known = ", ".join(protocol.PROTOCOL_KEYS)
            raise BidsError(f"--param '{item}' must be KEY=VALUE with KEY one of {known}")
        try:
            value = float(text)
        except ValueError:
            value = text  # a word, for a choice such as mt_pulse_shape
        overrides[key] = protocol.Given(value, f"--param {key}")
    return overrides
