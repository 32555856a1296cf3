"""A collection's field maps as the chain reads them, for the participant
level: the transmit field (B1) as relative values computed from whatever the
dataset holds (a map in percent or degrees, TFL, AFI or DAM images), and the
off-resonance field (B0) in Hz. Converted copies go into the participant's
work folder (``inputs``); a map that needs no conversion is read where it
lies.
"""

import math
from pathlib import Path

from tavni.mt_map.bids.base import BidsError, Collection
from tavni.mt_map.bids.derivatives import read_image

__all__ = ["hertz_field", "relative_field", "scaled_copy"]


def relative_field(collection: Collection, work: Path) -> str:
    """The collection's transmit field as relative B1 (1 = nominal), on the
    B1 sequence's own grid.

    Computed from the source the dataset holds (``collection.b1_kind``):
    a map in percent or degrees is divided into relative values, the
    mapping sequences' images (TFL, AFI, DAM) give B1 by their formulas
    (``preprocess.b1``). The result is written as float32 with the B1
    images' own geometry into the work folder's ``inputs``; a map that is
    relative already is read where it lies.

    Parameters
    ----------
    collection : Collection
        ``b1_kind``, ``b1_files`` and ``b1_settings`` are read.
    work : pathlib.Path
        The participant's work folder, existing (its ``inputs`` is made
        in it).

    Returns
    -------
    str
        The path of the relative map.

    Raises
    ------
    BidsError
        The images of a pair on different grids.
    volumes.VolumeError
        An image that cannot be read.
    """
    import numpy as np

    from tavni.mt_map.preprocess import b1

    # Each image read here is named as the dataset has it (read_image refuses
    # one of more than three axes), not as the converted copy the chain reads.
    kind, files, settings = collection.b1_kind, collection.b1_files, collection.b1_settings
    if kind in ("TB1map", "derivative"):
        if b1.units_kind(settings["units"]) == "relative":
            return files[0]
        volume = read_image(files[0], "B1 map")
        values = b1.relative_from_units(volume.data, settings["units"], settings.get("nominal_deg"))
    elif kind == "TB1TFL":
        volume = read_image(files[0], "TFL flip-angle map")
        values = b1.b1_from_tfl(volume.data, settings["nominal_deg"])
    else:
        volume, second = (read_image(path, f"{kind} image") for path in files)
        if volume.data.shape != second.data.shape or not np.allclose(
            volume.affine, second.affine, atol=1e-3
        ):
            raise BidsError(
                f"{Path(files[0]).name} and {Path(files[1]).name}: the {kind} images are on "
                "different grids; B1 is computed voxel by voxel from the pair"
            )
        if kind == "TB1AFI":
            values = b1.b1_from_afi(
                volume.data,
                second.data,
                settings["tr1"],
                settings["tr2"],
                settings["nominal_deg"],
            )
        else:
            values = b1.b1_from_dam(volume.data, second.data, settings["alpha1_deg"])
    stem = Path(files[0]).name.split(".")[0]
    return _float_copy(
        values, volume, work / "inputs" / f"{stem}_relB1.nii.gz", f"relative B1 from {kind}"
    )


def _float_copy(values, like, target, descrip):
    """Writes values as float32 .nii.gz with like's geometry; returns the path."""
    import numpy as np

    from tavni.mt_map.io import volumes

    # Not its parents: the work folder is gone once the run has ended.
    target.parent.mkdir(exist_ok=True)
    target = target.with_name(target.name.split(".")[0] + ".nii.gz")
    volumes.save_all([volumes.Output(target, descrip, values, np.float32, like)])
    return str(target)


def hertz_field(path: str, units: str, work: Path, warnings: list) -> str:
    """A B0 map in Hz; rad/s is converted into a copy.

    Parameters
    ----------
    path : str
        The fieldmap.
    units : str
        Its sidecar's Units.
    work : pathlib.Path
        The participant's work folder, existing (its ``inputs`` is made
        in it).
    warnings : list
        Where a line on the conversion goes.

    Returns
    -------
    str
        path itself, or the converted copy's.

    Raises
    ------
    BidsError
        Units other than Hz or rad/s.
    """
    spelled = str(units).strip().lower().replace(" ", "")
    if spelled in ("hz", "hertz"):
        return path
    name = Path(path).name
    if spelled in ("rad/s", "rad*s^-1", "rad.s-1"):
        warnings.append(f"{name}: Units rad/s converted to Hz")
        return scaled_copy(
            read_image(path, "B0 map"), 1 / (2 * math.pi), work / "inputs" / name, path
        )
    raise BidsError(f"{name}: fieldmap Units '{units}' not understood (Hz or rad/s)")


def scaled_copy(volume, factor: float, target: Path, source) -> str:
    """A float32 copy of volume times factor, for the chain to read instead.

    Parameters
    ----------
    volume : volumes.Volume
    factor : float
    target : pathlib.Path
        Where to write; its suffixes become .nii.gz.
    source : path-like
        The original, for messages.

    Returns
    -------
    str
        The copy's path.
    """
    return _float_copy(volume.data * factor, volume, target, f"rescaled {Path(source).name}")
