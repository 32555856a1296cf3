"""A scan's sidecar: its fields with BIDS inheritance and unit checks, the
file that gave each, and whether the scan is MT-weighted.

For the modules that read a collection's parameters and field maps
(``collections``, ``parameters``, ``fieldmaps``): a time that can only be
in milliseconds is refused with the fix (or read as such with
``--assume-ms``), and every complaint names the JSON file to edit.
"""

import json
import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.fields import LONGEST_SECONDS
from tavni.mt_map.bids.naming import relative
from tavni.mt_map.bids.queries import queried

__all__ = ["MT_MARKS", "Sidecar", "mt_state"]


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

    return queried(layout, ("json", suffix), query)


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

    def name(self) -> str:
        """The image's path relative to the dataset."""
        return relative(self.image.path, self.root)

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
        for path in self.files:
            try:
                if key in json.loads(Path(path).read_text()):
                    return relative(path, self.root)
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
