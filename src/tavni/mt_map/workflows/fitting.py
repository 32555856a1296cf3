"""A run of voxels as the fits take it, and the fraction fit of a run.

For the workflows' computations on runs of voxels (``ratio``, ``chain``,
``single``): the values of a run made ready for the fits (:func:`prepared`),
the measured ratio, the fraction fit with a protocol's values
(:func:`fit_with`, :func:`fit_run`) and NaN outside a run's mask.
"""

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.maps import ModelParameters

__all__ = [
    "FIT_PARAMETERS",
    "fit_with",
    "fit_run",
    "signal_ratio",
    "prepared",
    "outside_mask_nan",
]


# The protocol's values that fit_fraction takes after the ratio and R1, in
# the model's order (model units: s, Hz, rad/s, radians).
FIT_PARAMETERS = ModelParameters._fields[1:]


def fit_with(values, ratio, R1, **options):
    """``fit_fraction`` of ratio and R1 with the sequence and tissue values of
    a protocol (``protocol.model_values``); options go to ``fit_fraction``.
    """
    from tavni.mt_map.maps import fit_fraction

    return fit_fraction(ratio, R1, *(values[key] for key in FIT_PARAMETERS), **options)


def fit_run(runs, values, ratio, R1, data):
    """The fraction fit of one run with the options a runs object carries
    (``clip``, ``exact``, ``threads``, derivatives when it keeps an
    ``uncertainty`` sample), its statuses counted (``runs.count``).

    Returns
    -------
    f, status, derivatives
        ``derivatives`` is a list: empty, or the fit's derivatives.
    """
    f, status, *derivatives = fit_with(
        values,
        ratio,
        R1,
        b1=data.get("b1"),
        mask=data.get("mask"),
        clip=runs.clip,
        exact=runs.exact,
        threads=runs.threads,
        return_status=True,
        return_derivatives=runs.uncertainty is not None,
    )
    runs.count(status)
    return f, status, derivatives


def signal_ratio(mt, reference):
    """The measured ratio of two images.

    Parameters
    ----------
    mt, reference : numpy.ndarray
        A run of the MT-weighted image and of its reference, one unit.

    Returns
    -------
    numpy.ndarray
        mt / reference where the reference is positive, NaN elsewhere.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.divide(mt, reference)
    ratio[~(reference > 0)] = np.nan  # in place: no third array of the run
    return ratio


def prepared(data):
    """A run's values as the fits take them, changed in place.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name.

    Returns
    -------
    dict
        The same dict: "b1" NaN where not positive (no transmit field there),
        "mask" as booleans (nonzero and not NaN).
    """
    if "b1" in data:
        data["b1"] = np.where(data["b1"] > 0, data["b1"], np.nan)
    if "mask" in data:
        data["mask"] = volumes.in_mask(data["mask"])
    return data


def outside_mask_nan(array, data):
    """A map with NaN outside the run's mask.

    Parameters
    ----------
    array : numpy.ndarray
        A run of a map.
    data : dict
        The run's values (``prepared``); its "mask", if any, is boolean.

    Returns
    -------
    numpy.ndarray
        ``array`` itself without a mask, else a copy with NaN outside it.
    """
    return array if "mask" not in data else np.where(data["mask"], array, np.nan)
