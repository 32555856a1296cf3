"""One intensity scale for the scans of a collection, from the scale fields
DICOM converters copy into the sidecars: for the BIDS App's collections
(``collections``), which read the sidecars.

R1 and M0 come from the ratio of the PD- and T1-weighted scans, the
bound-pool fraction and MTsat from the MT-weighted scan against them: a
factor between the scans that is not the physics shows up in every map.
Philips stores each series with its own rescale and scale slopes; the
value comparable across series is the floating-point value, reached by a
factor per scan. What no factor can undo (another receive coil, a prescan
normalisation on some scans, another echo time) is said in a warning.
"""

import math

__all__ = [
    "PHILIPS_FIELDS",
    "intensity_scale",
    "scale_warnings",
]

PHILIPS_FIELDS = ("PhilipsRescaleSlope", "PhilipsRescaleIntercept", "PhilipsScaleSlope")
"""The fields dcm2niix writes for Philips' per-series scaling."""

_FLOAT_FIELD = "UsePhilipsFloatNotDisplayScaling"


def _philips(sidecar):
    return any(sidecar.get(field) is not None for field in PHILIPS_FIELDS)


def _slope(sidecar, field):
    value = sidecar.get(field)
    if value is None:
        raise ValueError(
            f"{field} is missing beside the other Philips scale fields; add it to the "
            "sidecar (dcm2niix writes PhilipsRescaleSlope and PhilipsScaleSlope together)"
        )
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{field} must be a number, not {value!r}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{field} must be finite and positive, not {value!r}")
    return float(value)


def intensity_scale(sidecar):
    """The factor that puts a scan on the scale shared with the others.

    Philips (the scale fields present): the converter stored the display
    value DV = PV RS + RI of the stored pixel value PV; the floating-point
    value, which is comparable across series, is::

        FP = DV / (RS SS)

    with RS the rescale slope and SS the scale slope, so the factor is
    1 / (RS SS), unless ``UsePhilipsFloatNotDisplayScaling`` is 1 (the data
    are FP already, factor 1). Other scans are taken as stored (factor 1).

    Parameters
    ----------
    sidecar : dict
        The scan's metadata.

    Returns
    -------
    factor : float
        What the scan's values are multiplied by.
    description : str
        The scale, for sidecars and reports ("as stored", "Philips floating
        point (1/(RS*SS) = 0.25)", ...).

    Raises
    ------
    ValueError
        Philips fields with a slope missing, not a number or not positive.
    """
    if not _philips(sidecar):
        return 1.0, "as stored"
    if sidecar.get(_FLOAT_FIELD) in (1, True, "1"):
        return 1.0, f"Philips floating point as stored ({_FLOAT_FIELD} 1)"
    rescale = _slope(sidecar, "PhilipsRescaleSlope")
    scale = _slope(sidecar, "PhilipsScaleSlope")
    factor = 1.0 / (rescale * scale)
    return factor, f"Philips floating point (1/(RS*SS) = {factor:.6g})"


def _tokens(value):
    """ImageType as upper-case items, from a list or a backslash-separated string."""
    items = value if isinstance(value, list) else [value]
    return {t.strip().upper() for item in items for t in str(item).split("\\") if t.strip()}


def _differ(values):
    """Whether the values (numbers or text) are not all the same."""
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        low, high = min(values), max(values)
        return high - low > 1e-3 * max(abs(high), abs(low), 1e-12)
    return len({str(v).strip().lower() for v in values}) > 1


_SAME_FIELDS = (
    ("Manufacturer", "the vendors' scales are not comparable"),
    ("ReceiveCoilName", "receive coils differ in sensitivity"),
    ("CoilString", "receive coils differ in sensitivity"),
    ("EchoTime", "the T2* decay differs between the scans"),
)


def scale_warnings(sidecars):
    """What makes the scans' intensities differ in a way no factor undoes.

    Checked, each because it changes a scan's intensity by an amount the
    data do not record:

    - the Philips scale fields on some scans only: the others' scale is
      unknown, so no factor puts them on the floating-point scale;
    - ``Manufacturer``: the vendors store on scales of their own;
    - ``ReceiveCoilName`` and ``CoilString``: another coil has another
      sensitivity profile, a factor that varies across the image;
    - ``ImageType`` with "NORM" (a prescan normalisation, which divides by
      a receive-sensitivity map) on some scans only;
    - ``EchoTime``: the signal decays by exp(-TE R2*), which differs by
      tissue and is not removed by the ratio of two scans of other TEs.

    A field absent from some scans is compared among those that have it,
    except the Philips fields and "NORM", whose absence is the difference.

    Parameters
    ----------
    sidecars : dict of str to dict
        Each scan's name (for the message) to its metadata.

    Returns
    -------
    list of str
        One line per difference found; empty where the scans agree.
    """
    names = list(sidecars)
    found = []
    philips = [n for n in names if _philips(sidecars[n])]
    if philips and len(philips) < len(names):
        others = [n for n in names if n not in philips]
        found.append(
            f"{', '.join(philips)} carry Philips scale fields and {', '.join(others)} do not: "
            "their intensities may be on different scales that the data cannot undo"
        )
    for field, why in _SAME_FIELDS:
        having = {n: sidecars[n][field] for n in names if sidecars[n].get(field) is not None}
        if len(having) > 1 and _differ(list(having.values())):
            listed = ", ".join(f"{n} {v}" for n, v in having.items())
            found.append(f"{field} differs between the scans ({listed}): {why}")
    normalised = [n for n in names if "NORM" in _tokens(sidecars[n].get("ImageType", []))]
    if normalised and len(normalised) < len(names):
        others = [n for n in names if n not in normalised]
        found.append(
            f"ImageType says NORM (prescan normalised) for {', '.join(normalised)} but not "
            f"for {', '.join(others)}: the receive profile is divided out of some scans only"
        )
    return found
