"""The phantom's protocol and the scans it gives: the three SPGR scans and the
reference, their echoes, motion, noise and scale.

The steps :func:`tavni.mt_map.sim.phantom.make` takes, in its order:
the noiseless scans from the truth and the fields (:func:`ideal_scans`),
the noise level (:func:`noise_sigma`), the echoes (:func:`read_out_echoes`),
the head's motion (:func:`move`), Rician noise (:func:`add_noise`) and
the vendor's scale (:func:`scale`). Each scan's volumes are named by its
``series``: the scan itself, or its echoes (:func:`echo_name`).
"""

import numpy as np

from tavni.mt_map.defaults import ECHO_SPACING
from tavni.mt_map.protocol import TISSUE_DEFAULTS
from tavni.mt_map.scans import ROLES
from tavni.mt_map.sim import acquisition
from tavni.mt_map.sim import anatomy as anatomies
from tavni.mt_map.sim.acquisition import rician

__all__ = [
    "PROTOCOL",
    "protocol_with",
    "echo_times",
    "echo_name",
    "mt_ratio",
    "model_values",
    "ideal_scans",
    "noise_sigma",
    "read_out_echoes",
    "move",
    "add_noise",
    "scale",
]

# The single-point fast protocol: three SPGR scans sharing one TR for the
# variable-flip-angle pair, the MT-weighted one with a Gaussian off-resonance
# saturation pulse at 4 kHz in every TR. Keys and units as in protocol files
# (angles in degrees, times in s, offsets and bandwidths in Hz).
PROTOCOL = {
    "pdw_flip_angle_deg": 4.0,
    "pdw_TR": 0.025,
    "t1w_flip_angle_deg": 25.0,
    "t1w_TR": 0.025,
    "flip_angle_deg": 10.0,  # MT-weighted scan
    "TR": 0.028,
    "delta_omega": 4000.0,
    "duration": 0.012,  # one pulse of 12 ms per TR
    "mt_flip_angle_deg": 560.0,
    "mt_pulse_shape": "gaussian",
    "mt_bandwidth": 250.0,
    "mt_pulses": 1,
    # The tissue constants the chain assumes, so that it inverts the scans.
    "T2_free": TISSUE_DEFAULTS["T2_free"][0],
    "T2b": TISSUE_DEFAULTS["T2b"][0],
}
"""The phantom's protocol, under the keys of ``registry.PARAMETERS``."""


def echo_times(echoes):
    """The echo times of each scan's readout.

    Parameters
    ----------
    echoes : int or (int, int, int)
        Echoes of every scan, or of the PDw, T1w and MTw scans; each at
        least 1.

    Returns
    -------
    dict
        "pdw", "t1w", "mtw" -> list of echo times in s, echo k (from 1) at
        k * ``ECHO_SPACING``.

    Raises
    ------
    ValueError
        A count below 1, or not three counts.
    """
    counts = (echoes,) * 3 if isinstance(echoes, (int, np.integer)) else tuple(echoes)
    if len(counts) != 3 or not all(
        isinstance(n, (int, np.integer)) and not isinstance(n, bool) and n >= 1 for n in counts
    ):
        raise ValueError(f"the echoes must be a whole number of at least 1 per scan (got {echoes})")
    return {
        scan: [round(ECHO_SPACING * k, 10) for k in range(1, int(n) + 1)]
        for scan, n in zip(ROLES, counts)
    }


def echo_name(scan, echo):
    """The volume (and file stem) of one echo of a scan: "pdw_echo-1".

    Parameters
    ----------
    scan : {"pdw", "t1w", "mtw"}
    echo : int
        From 1.

    Returns
    -------
    str
    """
    return f"{scan}_echo-{echo}"


def mt_ratio(f, R1, b1, G, offset, values):
    """S_mt / S_ref that the two-pool model predicts per voxel.

    B1 scales the excitation and the saturation amplitude; B0 shifts the
    saturation offset, and the lineshape value is taken at the shifted
    offset, the way the chain takes it.

    Parameters
    ----------
    f, R1 (1/s), b1, G (s), offset (Hz) : ndarray
        Per voxel, one shape; G is the lineshape at the voxel's offset.
    values : dict
        The protocol as the model takes it (``protocol.model_values``).

    Returns
    -------
    numpy.ndarray
        S_mt / S_ref, dimensionless (``maps.predicted_ratio``).
    """
    from tavni.mt_map.maps import predicted_ratio

    v = values
    return predicted_ratio(
        f,
        R1,
        v["T2_free"],
        offset,
        v["omega_1_rms"] * b1,
        G,
        v["TR"],
        v["duration"],
        v["flip_angle"] * b1,
    )


def model_values(protocol):
    """The phantom's protocol as the model takes it.

    The chain's own conversion (``protocol.model_values``), so that both see
    the same numbers.

    Parameters
    ----------
    protocol : dict
        Keys of ``PROTOCOL``.

    Returns
    -------
    dict of str to float
        Angles in radians, omega_1_rms (rad/s) from the MT pulse, G (s) at
        the nominal offset.

    Raises
    ------
    protocol.ParameterError
        Values the model cannot take.
    """
    from tavni.mt_map import protocol as protocols

    given = protocols.as_given(protocol, ())
    protocols.validate(given)  # raises for values the model cannot take
    return protocols.model_values(given)


def protocol_with(protocol: dict | None = None) -> dict:
    """``PROTOCOL`` with some keys changed.

    Parameters
    ----------
    protocol : dict, optional
        Protocol keys overriding those of ``PROTOCOL``. With
        ``omega_1_rms``, the amplitude replaces the MT pulse's description.

    Returns
    -------
    dict
    """
    p = dict(PROTOCOL, **(protocol or {}))
    if protocol and "omega_1_rms" in protocol:  # the amplitude instead of the pulse
        for key in ("mt_flip_angle_deg", "mt_pulse_shape", "mt_bandwidth", "mt_pulses"):
            p.pop(key, None)
    return p


def ideal_scans(
    f: np.ndarray,
    R1: np.ndarray,
    M0: np.ndarray,
    b1: np.ndarray,
    b0: np.ndarray,
    values: dict,
    T2b: float,
) -> dict:
    """The noiseless scans the truth gives under the fields.

    Parameters
    ----------
    f, R1 (1/s), M0, b1, b0 (Hz) : numpy.ndarray
        The truth and the fields, one shape.
    values : dict
        The protocol as the model takes it (:func:`model_values`).
    T2b : float
        The bound pool's T2, s: the lineshape at every voxel's offset,
        shifted by B0, over the whole grid as the chain computes it from
        the B0 map.

    Returns
    -------
    dict
        "pdw", "t1w", "mtw" and "ref" (the MT-weighted scan without
        saturation) to float64 images; 0 where there is no tissue.
    """
    from tavni.mt_map.maps import lineshape_at_offsets
    from tavni.mt_map.relaxometry import spgr_signal

    offset = values["delta_omega"] + b0
    G = lineshape_at_offsets(offset, T2b)
    has_tissue = M0 > 0
    scans = {name: np.zeros(M0.shape) for name in ROLES + ("ref",)}
    for name, flip, TR in (
        ("pdw", "pdw_flip_angle", "pdw_TR"),
        ("t1w", "t1w_flip_angle", "t1w_TR"),
        ("ref", "flip_angle", "TR"),
    ):
        scans[name][has_tissue] = spgr_signal(
            M0[has_tissue], R1[has_tissue], values[flip], values[TR], b1=b1[has_tissue]
        )
    scans["mtw"][has_tissue] = scans["ref"][has_tissue] * mt_ratio(
        f[has_tissue],
        R1[has_tissue],
        b1[has_tissue],
        G[has_tissue],
        offset[has_tissue],
        values,
    )
    return scans


def noise_sigma(
    pdw: np.ndarray, probabilities: np.ndarray, M0: np.ndarray, snr: float | None
) -> float:
    """The noise's standard deviation per channel for an SNR.

    Set against the PDw scan at TE = 0, with or without echoes, so that one
    SNR gives one noise level either way: its mean in white matter (where
    the voxel is mostly white matter; else in all tissue) over ``snr``.

    Parameters
    ----------
    pdw : numpy.ndarray
        The noiseless PDw scan.
    probabilities : numpy.ndarray
        The tissue probabilities, white matter first.
    M0 : numpy.ndarray
        The truth's M0 (tissue where positive).
    snr : float or None
        None: no noise.

    Returns
    -------
    float
        0 without noise.
    """
    if snr is None:
        return 0.0
    white = probabilities[0] > 0.9
    reference = pdw[white] if white.any() else pdw[M0 > 0]
    return float(reference.mean()) / snr


def read_out_echoes(scans: dict, times: dict, R2star: np.ndarray) -> dict:
    """Replaces each scan by its echoes, S(TE) = S(0) exp(-R2* TE).

    Parameters
    ----------
    scans : dict
        From :func:`ideal_scans`; changed in place, the echoes in scan
        order, then "ref".
    times : dict
        Scan to its echo times in s (:func:`echo_times`).
    R2star : numpy.ndarray
        Per voxel, 1/s.

    Returns
    -------
    dict
        Each scan's series: "pdw" to ["pdw_echo-1", ...], "ref" to ["ref"].
    """
    series = {name: [name] for name in scans}
    for name, scan_times in times.items():
        S0 = scans.pop(name)
        series[name] = [echo_name(name, k) for k in range(1, len(scan_times) + 1)]
        for echo, TE in zip(series[name], scan_times):
            scans[echo] = S0 * np.exp(-R2star * TE)
    scans["ref"] = scans.pop("ref")
    return series


def move(
    scans: dict,
    series: dict,
    probabilities: np.ndarray,
    affine: np.ndarray,
    motion: tuple[float, float],
    auto_align: bool = False,
) -> tuple[dict, dict]:
    """The head moved between the MT-weighted scan and the others.

    Parameters
    ----------
    scans : dict
        Volume name to image; the moved scans' are resampled in place
        unless ``auto_align``.
    series : dict
        Each scan's volumes (:func:`read_out_echoes`).
    probabilities : numpy.ndarray
        The tissue probabilities: the head turns about the brain's centre.
    affine : numpy.ndarray
        The scans' grid.
    motion : (float, float)
        Degrees and mm (``acquisition.motions``).
    auto_align : bool
        The scanner followed the head: the moved scans keep their voxels
        under moved affines.

    Returns
    -------
    motions : dict
        ``acquisition.motions``, for ``motion.json``.
    affines : dict
        Volume name to its own affine (with ``auto_align``).
    """
    grid = probabilities.shape[1:]
    total = probabilities[:3].sum(axis=0, dtype=np.float64)
    x, y, z = anatomies.world_coordinates(affine, grid)
    centre = [float((total * c).sum() / total.sum()) for c in (x, y, z)]
    motions = acquisition.motions(*motion, centre, auto_align)
    affines = {}
    for scan, moving in motions.items():
        for name in series[scan]:  # every echo of the scan, the head as it lay then
            if auto_align:  # the field of view moved with the head
                affines[name] = np.asarray(moving["matrix"]) @ affine
            else:
                scans[name] = acquisition.moved(scans[name], affine, moving["matrix"])
    return motions, affines


def add_noise(scans: dict, sigma: float, seed: int) -> None:
    """Rician noise of ``sigma`` per channel on every image, in place, each
    drawn in turn from one generator of ``seed``.

    Parameters
    ----------
    scans : dict
    sigma : float
    seed : int
    """
    rng = np.random.default_rng([seed, 0x5EED])
    for name in scans:
        scans[name] = rician(scans[name], sigma, rng)


def scale(scans: dict, series: dict, factors: tuple[float, float, float]) -> dict:
    """Each scan multiplied by its factor (ref by the MTw scan's), in place,
    as a vendor's per-series scaling does.

    Parameters
    ----------
    scans : dict
    series : dict
        Each scan's volumes (:func:`read_out_echoes`).
    factors : (float, float, float)
        The PDw, T1w and MTw scans'.

    Returns
    -------
    dict
        Scan to factor, for ``scale.json``.
    """
    by_scan = dict(zip(ROLES, (float(s) for s in factors)))
    for scan, factor in dict(by_scan, ref=by_scan["mtw"]).items():
        for name in series[scan]:
            scans[name] = scans[name] * factor
    return by_scan
