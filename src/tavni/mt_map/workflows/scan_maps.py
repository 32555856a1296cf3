"""The three scans' own maps on a run of voxels, and the chain's images.

For the three-scan chain (``chain``, ``chain_runs``) and the single maps
(``single``): the images the scans' workflows take (:data:`SCAN_IMAGES`)
and how each reaches the MT-weighted scan's grid (:data:`CHAIN_ROLES`);
R1, M0 and the synthetic reference of a run (:func:`r1_and_reference`) and
its MTsat (:func:`mtsat_of`).
"""

from tavni.mt_map.workflows import align
from tavni.mt_map.workflows.fitting import outside_mask_nan

__all__ = ["SCAN_IMAGES", "CHAIN_ROLES", "r1_and_reference", "mtsat_of"]

SCAN_IMAGES = (
    ("mtw", "MT-weighted scan"),
    ("pdw", "PD-weighted scan"),
    ("t1w", "T1-weighted scan"),
    ("ref", "reference image"),
    ("b1", "B1 map"),
    ("b0", "B0 map"),
    ("mask", "mask"),
)
"""The images of the chain: (name, what it is), the MT-weighted scan first
(its geometry is the maps')."""

CHAIN_ROLES = {
    "pdw": align.SCAN,
    "t1w": align.SCAN,
    "ref": align.SCAN,
    "b1": align.FIELD,
    "b0": align.FIELD,
    "mask": align.MASK,
}
"""How each image of the chain reaches the MT-weighted scan's grid."""


def r1_and_reference(data, values, threads):
    """R1 and M0 of a run, and the MT-weighted scan's synthetic reference.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name (``prepared``): "pdw", "t1w", and "b1",
        "mask" where given.
    values : dict of str to float
        The protocol as the model takes it: ``pdw_flip_angle``,
        ``t1w_flip_angle``, ``flip_angle`` (radians), ``pdw_TR``,
        ``t1w_TR``, ``TR`` (s).
    threads : int or None
        Worker threads.

    Returns
    -------
    R1 : numpy.ndarray
        1/s, from the PD- and T1-weighted scans (variable flip angle).
    M0 : numpy.ndarray
        Signal units.
    status : numpy.ndarray of uint8
        Of the R1 fit (``status.R1``).
    reference : numpy.ndarray
        The MT-weighted scan's signal without saturation, from M0 and R1.
    """
    from tavni.mt_map import fit_r1, synthetic_reference

    b1 = data.get("b1")
    R1, M0, status = fit_r1(
        [data["pdw"], data["t1w"]],
        [values["pdw_flip_angle"], values["t1w_flip_angle"]],
        [values["pdw_TR"], values["t1w_TR"]],
        b1=b1,
        mask=data.get("mask"),
        threads=threads,
        return_status=True,
    )
    reference = synthetic_reference(
        M0, R1, values["flip_angle"], values["TR"], b1=b1, threads=threads
    )
    return R1, M0, status, reference


def mtsat_of(data, values, b1_correction, threads):
    """MTsat of a run (``relaxometry.mtsat``), NaN outside the mask.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name (``prepared``): "pdw", "t1w", "mtw",
        and "b1", "mask" where given.
    values : dict of str to float
        The protocol as the model takes it (angles in radians, TRs in s).
    b1_correction : float or None
        The empirical correction's constant; needs "b1".
    threads : int or None
        Worker threads.

    Returns
    -------
    numpy.ndarray
        MTsat, percent units.
    """
    from tavni.mt_map import mtsat

    saturation = mtsat(
        data["pdw"],
        data["t1w"],
        data["mtw"],
        values["pdw_flip_angle"],
        values["t1w_flip_angle"],
        values["flip_angle"],
        values["pdw_TR"],
        values["t1w_TR"],
        values["TR"],
        b1=data.get("b1"),
        b1_correction=b1_correction,
        threads=threads,
    )
    return outside_mask_nan(saturation, data)
