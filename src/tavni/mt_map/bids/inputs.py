"""Reading a participant's scans and their sidecars from a BIDS dataset.

Inputs, per participant and session, found with pybids (entities and sidecar
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
- sidecar fields ``FlipAngle`` (deg), ``RepetitionTimeExcitation`` (s, else
  ``RepetitionTime``), ``MTOffsetFrequency`` (Hz), ``MTPulseDuration`` (s,
  one pulse), ``MTNumberOfPulses``, ``MTPulseShape``, ``MTPulseBandwidth``
  (Hz), and ``MTPulseFlipAngle`` (deg; not a BIDS field: the nominal flip
  angle of one MT pulse, from which its RMS amplitude is computed).
- the transmit field (B1), from the first of: a ``*_TB1map`` in
  ``--b1-dir``; ``fmap/*_TB1map`` (``Units`` percent, relative or degrees
  with the nominal ``FlipAngle``); Siemens' ``fmap/*_acq-famp_TB1TFL``
  flip-angle map (with its ``acq-anat`` image); an actual flip-angle pair
  ``fmap/*_acq-tr<1|2>_TB1AFI``; a double-angle pair
  ``fmap/*_flip-<1|2>_TB1DAM``. ``fmap/*_fieldmap`` (B0 in Hz, or rad/s
  converted), a brain mask from ``--mask-dir``.
- each scan's intensity scale from the converter's vendor fields
  (``preprocess.scale``), and warnings where the scans differ in a way no
  factor undoes.

Values are never reinterpreted silently: a time that can only be in
milliseconds stops the participant with the fix, unless ``--assume-ms``.
"""

import json
import math
import os
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError, Collection, one_line
from tavni.mt_map.bids.naming import IMAGE_EXTENSIONS, relative
from tavni.mt_map.pulses import SHAPES

__all__ = [
    "LONGEST_SECONDS",
    "open_layout",
    "Sidecar",
    "MT_MARKS",
    "mt_state",
    "field_map",
    "find_mask",
    "B1_KINDS",
    "find_b1",
    "b1_source",
    "collections_of",
    "read_overrides",
    "participants_and_sessions",
]

# Sidecar times checked against the longest value the sequence can have in
# seconds: a larger number is a value written in milliseconds (a repetition
# time of 28, a pulse of 12). RepetitionTime stands in for
# RepetitionTimeExcitation where that is missing.
LONGEST_SECONDS = {
    protocol.BIDS_FIELDS[key]: seconds for key, seconds in protocol.SIDECAR_LONGEST.items()
}
LONGEST_SECONDS["RepetitionTime"] = protocol.SIDECAR_LONGEST["TR"]
# An echo lies within its repetition.
LONGEST_SECONDS["EchoTime"] = protocol.SIDECAR_LONGEST["TR"]
"""Sidecar field to the longest time it can hold in seconds."""


def open_layout(bids_dir):
    """The pybids layout of the dataset, validated.

    Parameters
    ----------
    bids_dir : path-like

    Returns
    -------
    bids.BIDSLayout

    Raises
    ------
    BidsError
        No dataset_description.json, or a dataset pybids cannot index.
    """
    bids_dir = Path(bids_dir)
    if not (bids_dir / "dataset_description.json").is_file():
        raise BidsError(f"'{bids_dir}' is no BIDS dataset: it has no dataset_description.json")
    import bids
    from bids.layout import BIDSLayoutIndexer
    from bids.layout.validation import DEFAULT_LOCATIONS_TO_IGNORE

    # pybids stops indexing the whole dataset at one sidecar it cannot take
    # as a JSON object: such files are left out of the index and remembered,
    # so that only the participants they apply to fail, naming them.
    unusable = _unusable_sidecars(bids_dir)
    try:
        layout = bids.BIDSLayout(
            bids_dir,
            validate=True,
            indexer=BIDSLayoutIndexer(
                validate=True,
                ignore=list(DEFAULT_LOCATIONS_TO_IGNORE) + [Path(p) for p in unusable],
            ),
        )
    except Exception as error:
        raise BidsError(f"cannot index '{bids_dir}': {one_line(error)}") from None
    layout.unusable_sidecars = {
        relative(path, bids_dir): reason for path, reason in unusable.items()
    }
    return layout


# Folders of a dataset that hold no raw data: not indexed, not checked.
_NOT_RAW = frozenset(("code", "derivatives", "models", "sourcedata", "stimuli"))


def _unusable_sidecars(bids_dir):
    """JSON files of the dataset that are no JSON object: path -> why."""
    found = {}
    for folder, subfolders, files in os.walk(bids_dir, followlinks=True):
        top = Path(folder) == bids_dir
        subfolders[:] = [
            d for d in subfolders if not d.startswith(".") and not (top and d in _NOT_RAW)
        ]
        for name in files:
            if not name.endswith(".json") or name.startswith(".") or top and name in _TOP_JSON:
                continue
            path = Path(folder) / name
            try:
                content = json.loads(path.read_bytes())
            except OSError as error:
                found[str(path)] = f"cannot be read ({error.strerror or one_line(error)})"
                continue
            except ValueError as error:  # JSONDecodeError, UnicodeDecodeError
                found[str(path)] = f"not valid JSON ({one_line(error)})"
                continue
            if not isinstance(content, dict):
                found[str(path)] = (
                    f"not a JSON object of fields but {_JSON_TYPES.get(type(content))}"
                )
                continue
            # pybids follows IntendedFor while indexing, and stops at any other type.
            intended = content.get("IntendedFor", [])
            paths = [intended] if isinstance(intended, str) else intended
            if not isinstance(paths, list) or not all(isinstance(i, str) for i in paths):
                found[str(path)] = (
                    f"IntendedFor must be a path or a list of paths, not {json.dumps(intended)}"
                )
    return found


# Files at the top that are not sidecars (pybids reads the first itself).
_TOP_JSON = frozenset(("dataset_description.json", "participants.json"))
_JSON_TYPES = {
    list: "a list",
    str: "a string",
    int: "a number",
    float: "a number",
    bool: "true or false",
    type(None): "null",
}


def _check_sidecars_usable(layout, participant, session):
    """Raises BidsError naming an unusable sidecar that applies to the
    participant's images (its folder, its session's, or the dataset's).
    """
    folders = {"", f"sub-{participant}"}
    if session:
        folders.add(f"sub-{participant}/ses-{session}")
    for name, reason in sorted(getattr(layout, "unusable_sidecars", {}).items()):
        parts = name.split("/")
        stem = parts[-1].removesuffix(".json")
        if stem.split("_")[-1] not in _SIDECAR_SUFFIXES:
            continue  # a sidecar of images this program does not read
        if any("/".join(parts[:-1]).removesuffix(f"/{d}") in folders for d in _DATATYPES):
            raise BidsError(f"{name}: {reason}")


_SIDECAR_SUFFIXES = frozenset(
    ("MTS", "MPM", "VFA", "TB1map", "TB1TFL", "TB1AFI", "TB1DAM", "fieldmap")
)
_DATATYPES = ("anat", "fmap")


# Entities a sidecar need not share with an image to apply to it.
_NOT_INHERITED = ("extension", "suffix", "datatype")


def _sidecars_by_folder(layout, suffix):
    """The dataset's JSON files of a suffix by folder: (entities, path) each,
    the entities those an image must share for the file to apply to it.
    """

    def query():
        found = {}
        for sidecar in layout.get(suffix=suffix, extension=".json"):
            entities = {k: v for k, v in sidecar.entities.items() if k not in _NOT_INHERITED}
            found.setdefault(Path(sidecar.path).parent, []).append((entities, sidecar.path))
        return found

    return _queried(layout, ("json", suffix), query)


def participants_and_sessions(layout):
    """The participants, as ``layout.get_subjects()`` gives them, and each
    one's sessions, as ``layout.get_sessions(subject=...)`` does, in one pass
    over the dataset's files.

    pybids answers each of those queries with a database query per file it
    covers: for 40 participants, the labels and each one's sessions took
    five times as long as this pass.

    Parameters
    ----------
    layout : bids.BIDSLayout

    Returns
    -------
    participants : list of str
        Their labels, in natural order.
    sessions : dict of str to list of str
        Participant label to its session labels, in natural order;
        participants without sessions are absent.
    """
    from bids.utils import natural_sort

    participants, sessions = set(), {}
    for file in layout.get():
        tags = file.tags
        subject, session = tags.get("subject"), tags.get("session")
        if subject is None:
            continue
        # Labels named in the files' names, not only in their metadata.
        if not subject.is_metadata:
            participants.add(subject.value)
        if session is not None and not session.is_metadata:
            sessions.setdefault(subject.value, set()).add(session.value)
    return natural_sort(list(participants)), {
        label: natural_sort(list(labels)) for label, labels in sessions.items()
    }


class Sidecar:
    """The metadata of one image, with BIDS inheritance, and which JSON file
    gave each field (for messages that name the file to fix).

    Parameters
    ----------
    layout : bids.BIDSLayout
    image : bids.layout.BIDSImageFile
    """

    def __init__(self, layout, image):
        self.image = image
        self.root = layout.root
        self.values = layout.get_metadata(image.path)
        # The sidecars that apply by the inheritance principle (same suffix,
        # in the image's folder or above, entities a subset of the image's),
        # nearest first: deeper folders, then more entities.
        own = {k: v for k, v in image.entities.items() if k not in _NOT_INHERITED}
        folder = Path(image.path).parent
        by_folder = _sidecars_by_folder(layout, image.entities["suffix"])
        applying = []
        for parent in (folder, *folder.parents):
            for entities, path in by_folder.get(parent, ()):
                if all(own.get(k) == v for k, v in entities.items()):
                    applying.append((-len(Path(path).parts), -len(entities), path))
        self.files = [path for *_, path in sorted(applying)]

    def name(self):
        """The image's path relative to the dataset."""
        return relative(self.image.path, self.root)

    def own_sidecar(self):
        """The image's own JSON sidecar, relative to the dataset."""
        name = Path(self.name())
        return str(name.with_name(name.name.split(".")[0] + ".json"))

    def origin(self, key):
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
        for path in self.files:
            try:
                if key in json.loads(Path(path).read_text()):
                    return relative(path, self.root)
            except (OSError, ValueError):
                continue
        return f"the sidecar of {self.name()}"

    def has(self, key):
        """Whether the image's metadata has field key (and it is not null)."""
        return self.values.get(key) is not None

    def number(self, key, *, assume_ms=False, warnings=None):
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

    def require(self, key):
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


def mt_state(sidecar, default, warnings=None):
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


def _pick_one(candidates, what, where):
    if len(candidates) > 1:
        names = ", ".join(Path(c.path).name for c in candidates)
        raise BidsError(
            f"{where}: several {what} ({names}); name the one meant in its IntendedFor or keep one"
        )
    return candidates[0] if candidates else None


def field_map(layout, participant, session, suffix, target):
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
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    return _pick_one(meant or found, f"{suffix} images", where)


def in_folder(images, datatype):
    """The images that lie in a folder of that datatype.

    pybids reads the datatype from the first folder of the whole path that
    names one, so a dataset kept under ``/data/motion/`` or ``/study/anat/``
    would have every file of that datatype; the image's own folder decides
    here instead.
    """
    return [image for image in images if Path(image.path).parent.name == datatype]


# Transmit-field scans of methods the App does not compute a B1 map from
# (the multi-parameter-mapping protocol's spin- and stimulated-echo EPI, the
# saturation-prepared SRGE): named when they are the only B1 data there is.
_UNREAD_B1_KINDS = ("TB1EPI", "TB1SRGE")


def _fmap_images(layout, participant, session, suffix):
    def query():
        found = in_folder(
            layout.get(
                subject=participant,
                session=session,
                suffix=list(_FMAP_SUFFIXES),
                extension=IMAGE_EXTENSIONS,
            ),
            "fmap",
        )
        if session is None:
            found = [f for f in found if "session" not in f.entities]
        return found

    found = _queried(layout, ("fmap", participant, session), query)
    return [f for f in found if f.entities["suffix"] == suffix]


def _queried(layout, key, query):
    """What ``query()`` finds in the layout, asked once per layout and key.

    A pybids query takes about 10 ms whatever it finds: asked once per
    suffix and image, a participant's field maps and sidecars took 0.1 s,
    and the sidecars' query, over the whole dataset, grew with the cohort.
    The layout does not change while the participants are planned.
    """
    found = vars(layout).setdefault("_mt_map_queries", {})
    if key not in found:
        found[key] = query()
    return found[key]


def _intended(layout, image, target):
    """Whether the image's IntendedFor lists target."""
    intended = layout.get_metadata(image.path).get("IntendedFor", [])
    intended = [intended] if isinstance(intended, str) else intended
    target_name = relative(target, layout.root)
    return any(str(i).endswith(target_name.split("/", 1)[1]) for i in intended)


def find_mask(mask_dir, participant, session):
    """A brain mask for this participant (and session) from a derivatives folder.

    Parameters
    ----------
    mask_dir : path-like
        The derivatives folder (``--mask-dir``).
    participant : str
    session : str or None

    Returns
    -------
    str
        The path of its ``*_mask`` image, ``desc-brain`` preferred.

    Raises
    ------
    BidsError
        None, several, or a folder pybids cannot index.
    """
    _, mask = _derivative(mask_dir, "--mask-dir", participant, session, "mask", prefer="brain")
    return mask.path


def _derivative(folder, option, participant, session, suffix, prefer=None):
    """The one image of a suffix for this participant (and session) in a
    derivatives folder, with the folder's layout; ``desc-<prefer>`` wins
    where several are found.
    """
    import bids

    try:
        layout = bids.BIDSLayout(folder, validate=False, config=["bids", "derivatives"])
    except Exception as error:
        raise BidsError(f"{option} '{folder}': {one_line(error)}") from None
    found = layout.get(
        subject=participant, session=session, suffix=suffix, extension=IMAGE_EXTENSIONS
    )
    if session is None:
        found = [f for f in found if "session" not in f.entities]
    preferred = [f for f in found if prefer and f.entities.get("desc") == prefer]
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    image = _pick_one(preferred or found, f"{suffix} images in {option}", where)
    if image is None:
        raise BidsError(f"{where}: no *_{suffix} image in {option} '{folder}'")
    return layout, image


B1_KINDS = ("TB1map", "TB1TFL", "TB1AFI", "TB1DAM")
"""The raw dataset's B1 sources, in the order of preference."""

# The field maps looked for in fmap/: the B1 sources, those named when they
# are the only B1 data, and the B0 map.
_FMAP_SUFFIXES = (*B1_KINDS, *_UNREAD_B1_KINDS, "fieldmap")

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


def find_b1(b1_dir, participant, session):
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
    return _derivative(b1_dir, "--b1-dir", participant, session, "TB1map")


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


def _numbers(sidecars, field, missing, options, warnings, fallback=None):
    """The field (or fallback) of each sidecar as a number; missing ones noted."""
    values = []
    for sidecar in sidecars:
        name = field if sidecar.has(field) or fallback is None else fallback
        if not sidecar.has(name):
            missing.append((sidecar.own_sidecar(), field, _B1_HINTS[field]))
            values.append(None)
            continue
        values.append(sidecar.number(name, assume_ms=options.assume_ms, warnings=warnings))
    return values


def b1_source(layout, participant, session, target, options, warnings):
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
    options : AppOptions
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
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    missing = []
    b1_dir = getattr(options, "b1_dir", None)
    if b1_dir is not None:
        derived, image = find_b1(b1_dir, participant, session)
        sidecar = Sidecar(derived, image)
        label = str(Path(b1_dir) / sidecar.own_sidecar())
        settings, kind = _map_settings(sidecar, label, missing)
        return {
            "kind": "derivative",
            "files": [image.path],
            "settings": settings,
            "description": f"TB1map from --b1-dir ({kind})",
            "uris": [f"bids:b1:{relative(image.path, b1_dir)}"],
        }, missing
    found = None
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
    if found is None:
        return None, missing
    sidecars = {label: Sidecar(layout, image) for label, image in images.items()}
    uris = [f"bids:raw:{relative(i.path, layout.root)}" for i in images.values()]
    if found == "TB1map":
        sidecar = sidecars["map"]
        settings, kind = _map_settings(sidecar, sidecar.own_sidecar(), missing)
        files, description = [sidecar.image.path], f"TB1map ({kind})"
    elif found == "TB1TFL":
        famp = sidecars["famp"]
        (nominal,) = _numbers([famp], "FlipAngle", missing, options, warnings)
        files, settings = [famp.image.path], {"nominal_deg": nominal}
        description = f"TB1TFL flip-angle map (nominal {nominal or 0:g} deg)"
    elif found == "TB1AFI":
        pair = [sidecars["tr1"], sidecars["tr2"]]
        flips = _numbers(pair, "FlipAngle", missing, options, warnings)
        trs = _numbers(
            pair, "RepetitionTimeExcitation", missing, options, warnings, "RepetitionTime"
        )
        files = [s.image.path for s in pair]
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
    else:
        pair = [sidecars["1"], sidecars["2"]]
        flips = _numbers(pair, "FlipAngle", missing, options, warnings)
        files = [s.image.path for s in pair]
        settings = {"alpha1_deg": flips[0]}
        if None not in flips and not math.isclose(
            flips[1], 2 * flips[0], rel_tol=_DAM_RATIO_TOLERANCE
        ):
            raise BidsError(
                f"{where}: the TB1DAM flip angles are {flips[0]:g} and {flips[1]:g} deg; "
                f"the double-angle method needs the flip-2 angle twice the flip-1 angle: "
                f"fix FlipAngle in {pair[0].origin('FlipAngle')} or "
                f"{pair[1].origin('FlipAngle')}"
            )
        description = f"TB1DAM flip angles {flips[0] or 0:g}/{flips[1] or 0:g} deg"
    return {
        "kind": found,
        "files": files,
        "settings": settings,
        "description": description,
        "uris": uris,
    }, missing


def collections_of(layout, participant, session, overrides, options):
    """The collections of one participant and session.

    Parameters
    ----------
    layout : bids.BIDSLayout
    participant : str
    session : str or None
    overrides : dict of str to protocol.Given
        Parameters that complete or override the sidecars
        (``read_overrides``).
    options : AppOptions
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
    _check_sidecars_usable(layout, participant, session)
    query = dict(subject=participant, extension=IMAGE_EXTENSIONS)
    images = in_folder(layout.get(suffix=list(_SCAN_SUFFIXES), session=session, **query), "anat")
    if session is None:
        images = [i for i in images if "session" not in i.entities]
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    if not images:
        raise BidsError(f"{where}: no *_MTS, *_MPM or *_VFA images in anat/")
    groups = {}
    for image in images:
        key = (_collection_acquisition(image), image.entities.get("run"))
        groups.setdefault(key, []).append(image)
    collections = []
    for (acquisition, run), members in sorted(groups.items(), key=lambda g: str(g[0])):
        collections.append(
            _collection_of(
                layout, participant, session, acquisition, run, members, overrides, options
            )
        )
    return collections


_SCAN_SUFFIXES = ("MTS", "MPM", "VFA")
# acq- labels that name the contrast of a multi-parameter-mapping scan
# rather than another acquisition of the whole collection.
_CONTRAST_LABELS = frozenset(("pdw", "t1w", "mtw"))


def _collection_acquisition(image):
    """The acq- label that sets an image's collection apart (None for a
    label that names its contrast).
    """
    label = image.entities.get("acquisition")
    return None if label is not None and str(label).lower() in _CONTRAST_LABELS else label


def _contrasts(sidecars, where, options, warnings):
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
            times.append(sidecar.number("EchoTime", assume_ms=options.assume_ms, warnings=warnings))
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


def _collection_of(layout, participant, session, acquisition, run, images, overrides, options):
    warnings = []
    where = (
        "sub-"
        + participant
        + (f" ses-{session}" if session else "")
        + (f" acq-{acquisition}" if acquisition else "")
        + (f" run-{run}" if run else "")
    )
    # One sidecar per contrast decides its role and parameters: its first
    # echo's, which the other echoes agree with.
    contrasts = _contrasts([Sidecar(layout, image) for image in images], where, options, warnings)
    sidecars = [members[0] for members, _ in contrasts]
    echoes = {id(members[0]): (members, times) for members, times in contrasts}
    mt_on, mt_off = [], []
    for sidecar in sidecars:
        vfa = sidecar.image.entities["suffix"] == "VFA"
        read = []
        (mt_on if mt_state(sidecar, False if vfa else None, read) else mt_off).append(sidecar)
        warnings.extend(f"{where}: {line}" for line in read)
    if len(mt_on) != 1:
        raise BidsError(f"{where}: {len(mt_on)} MT-on images (MTState true); one is needed")
    # Every missing field of the collection, reported together: (the
    # parameter keys any one of which stands in for it, sidecar, field).
    missing = []
    # An MT-off image's flip angle tells the PD- from the T1-weighted scan:
    # no parameter stands in for it.
    unsorted = [s for s in mt_off if not s.has("FlipAngle")]
    missing += [((), s, "FlipAngle") for s in unsorted]
    flips = {}
    for sidecar in mt_off:
        if sidecar not in unsorted:
            flips.setdefault(sidecar.number("FlipAngle"), []).append(sidecar)
    if unsorted:
        roles = [("", mt_on[0])]
        for sidecar in mt_off:
            if not sidecar.has("RepetitionTimeExcitation") and not sidecar.has("RepetitionTime"):
                missing.append((("pdw_TR", "t1w_TR"), sidecar, "RepetitionTimeExcitation"))
    else:
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
        roles = [("pdw_", flips[min(flips)][0]), ("t1w_", flips[max(flips)][0]), ("", mt_on[0])]
        if len(flips) > 2:
            warnings.append(
                f"{where}: {len(flips)} MT-off flip angles; R1 from the smallest "
                f"({min(flips):g} deg) and largest ({max(flips):g} deg)"
            )
    pdw, t1w = (None, None) if unsorted else (roles[0][1], roles[1][1])
    mtw = mt_on[0]

    # Each value as protocol.Given: named by its sidecar field and file, so
    # that the chain's checks and the outputs' sidecars say where it came from.
    from tavni.mt_map.protocol import Given

    given = {}

    def take(key, sidecar, convert=None):
        """The parameter key from its field (protocol.BIDS_FIELDS) of sidecar."""
        if key in overrides:
            return
        entry = field = protocol.BIDS_FIELDS[key.removeprefix("pdw_").removeprefix("t1w_")]
        if entry == "RepetitionTimeExcitation" and not sidecar.has(entry):
            entry = "RepetitionTime"
        if not sidecar.has(entry):
            missing.append(((key,), sidecar, field))
            return
        if entry == "MTPulseShape":
            value = str(sidecar.values[entry]).lower()
        else:
            value = sidecar.number(entry, assume_ms=options.assume_ms, warnings=warnings)
        given[key] = Given(
            convert(value) if convert else value, entry, f" in {sidecar.origin(entry)}"
        )

    for prefix, sidecar in roles:
        take(prefix + "flip_angle_deg", sidecar)
        take(prefix + "TR", sidecar)
    take("delta_omega", mtw)
    if "mt_pulses" not in overrides:
        if mtw.has(protocol.BIDS_FIELDS["mt_pulses"]):
            take("mt_pulses", mtw, convert=int)
        else:
            given["mt_pulses"] = Given(1, "one MT pulse per TR", " (default)")
    # The saturation per TR lasts the number of pulses times one pulse.
    if "duration" not in overrides:
        take("duration", mtw)
        if "duration" in given:
            pulses = (overrides.get("mt_pulses") or given["mt_pulses"]).value
            one = given["duration"]
            given["duration"] = Given(one.value * pulses, f"{one.name} x {pulses:g}", one.source)
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
    # The transmit field's source, whose missing fields join the others'.
    b1, b1_missing = b1_source(layout, participant, session, mtw.image.path, options, warnings)
    unfilled = [
        (keys, sidecar, field)
        for keys, sidecar, field in missing
        if not (keys and all(k in given for k in keys))
        and not (set(keys) <= set(protocol.PULSE_SHAPE) and keys and "omega_1_rms" in given)
    ]
    # No scanner records the tissue constants: where neither --protocol nor
    # --param gives them, the method's standard values, named as defaults.
    for key in protocol.TISSUE:
        given.setdefault(key, protocol.tissue_default(key))
    if not any(k in given for k in protocol.LINESHAPE):
        given["T2b"] = protocol.tissue_default("T2b")
    if len(b1_missing) == 1 and not unfilled:
        label, field, hint = b1_missing[0]
        raise BidsError(f"{label}: sidecar field {field} is missing; add it ({hint})")
    if len(unfilled) == 1 and not b1_missing:
        keys, sidecar, field = unfilled[0]
        if not keys:
            sidecar.require(field)
        raise BidsError(
            f"{sidecar.name()}: sidecar field {field} is missing; add it to the sidecar "
            f"or give {' and '.join(keys)} in --protocol or as {_param_hint(keys)}"
        )
    if unfilled or b1_missing:
        listed = ", ".join(
            [
                f"{field} ({sidecar.own_sidecar()}; "
                + (f"or {_param_hint(keys)})" if keys else "no parameter stands in for it)")
                for keys, sidecar, field in unfilled
            ]
            + [f"{field} ({label}; {hint})" for label, field, hint in b1_missing]
        )
        plural = "s" if len(unfilled) + len(b1_missing) > 1 else ""
        raise BidsError(f"{where}: sidecar field{plural} missing: {listed}")

    collection = Collection(
        session=session,
        entities={"acquisition": acquisition, "run": run},
        pdw=pdw.image.path,
        t1w=t1w.image.path,
        mtw=mtw.image.path,
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
        kinds = ", ".join(f"fmap/*_{suffix}" for suffix in B1_KINDS)
        unread = [
            suffix
            for suffix in _UNREAD_B1_KINDS
            if _fmap_images(layout, participant, session, suffix)
        ]
        hint = (
            f" ({', '.join(unread)} images are there, which this App cannot make a B1 map "
            "of: give a B1 map with --b1-dir)"
            if unread
            else ""
        )
        warnings.append(f"{where}: no {kinds}; flip angles taken as nominal{hint}")
    for role, sidecar in (("pdw", pdw), ("t1w", t1w), ("mtw", mtw)):
        members, times = echoes[id(sidecar)]
        if times is not None:
            collection.echoes[role] = {
                "images": [s.image.path for s in members],
                "echo_times": times,
            }
    _scales(collection, {"pdw": pdw, "t1w": t1w, "mtw": mtw}, where)
    b0 = field_map(layout, participant, session, "fieldmap", mtw.image.path)
    if b0 is not None:
        collection.b0 = b0.path
        collection.b0_units = layout.get_metadata(b0.path).get("Units")
        if collection.b0_units is None:
            raise BidsError(
                f"{relative(b0.path, layout.root)}: sidecar field Units is missing (Hz, rad/s)"
            )
    if options.mask_dir is not None:
        collection.mask = find_mask(options.mask_dir, participant, session)
    inputs = [
        path
        for role in ("pdw", "t1w", "mtw")
        for path in collection.echoes.get(role, {}).get("images", [getattr(collection, role)])
    ]
    collection.sources = [f"bids:raw:{relative(p, layout.root)}" for p in inputs]
    collection.sources += b1["uris"] if b1 is not None else []
    if collection.b0:
        collection.sources.append(f"bids:raw:{relative(collection.b0, layout.root)}")
    if collection.mask:
        collection.sources.append(f"bids:mask:{relative(collection.mask, options.mask_dir)}")
    return collection


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


def _param_hint(keys):
    """``--param KEY=UNIT`` for each of keys, joined by "and"."""
    return " and ".join(
        f"--param {key}={protocol.METAVARS[protocol.PARAMETERS[key].unit]}" for key in keys
    )


def read_overrides(options):
    """Parameters given by ``--protocol`` and ``--param``; ``--param`` wins.

    Parameters
    ----------
    options : AppOptions
        ``protocol`` (a path or None) and ``param`` (``KEY=VALUE`` strings or
        None).

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
    from tavni.mt_map import protocol

    overrides = protocol.read_protocol(options.protocol) if options.protocol else {}
    for item in options.param or ():
        key, sep, text = item.partition("=")
        known = [k for k, p in protocol.PARAMETERS.items() if p.in_protocol]
        if not sep or key not in known:
            raise BidsError(
                f"--param '{item}' must be KEY=VALUE with KEY one of {', '.join(known)}"
            )
        try:
            value = float(text)
        except ValueError:
            value = text  # a word, for a choice such as mt_pulse_shape
        overrides[key] = protocol.Given(value, f"--param {key}")
    return overrides
