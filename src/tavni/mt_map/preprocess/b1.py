"""The relative transmit field (B1, 1 = nominal) from what a B1 mapping
sequence writes: a map in its own units, or the sequence's own images.

Array functions on NumPy arrays, no file I/O: the BIDS App reads the images
and their sidecars and writes the result. The arithmetic is in float64;
where a voxel's values lie outside what the method can produce (no signal,
a ratio beyond the cosine's range, noise where there is no tissue) the
result is NaN, which the maps read as "no transmit field here". No warning
of NumPy's reaches the terminal.
"""

import numpy as np

__all__ = [
    "UNITS",
    "units_kind",
    "relative_from_units",
    "b1_from_dam",
    "b1_from_afi",
    "b1_from_tfl",
]

UNITS = {
    "relative": "relative",
    "1": "relative",
    "ratio": "relative",
    "percent": "percent",
    "%": "percent",
    "degrees": "degrees",
    "degree": "degrees",
    "deg": "degrees",
}
"""Spellings of a B1 map's ``Units`` (lower case) to the three kinds
understood: relative (1 = nominal), percent (100 = nominal) and degrees
(the flip angle reached where the nominal angle was asked for)."""


def _units_fix():
    return (
        'give Units "percent" (100 = nominal), "relative" (1 = nominal) or "degrees" '
        "(with FlipAngle, the nominal angle)"
    )


def units_kind(units):
    """The kind of a B1 map's ``Units``: "relative", "percent" or "degrees".

    Parameters
    ----------
    units : str or None
        The sidecar's ``Units``.

    Returns
    -------
    str

    Raises
    ------
    ValueError
        Missing or not understood, with the fix.
    """
    if units is None or not str(units).strip():
        raise ValueError(f"the B1 map's Units are missing; {_units_fix()}")
    kind = UNITS.get(str(units).strip().lower())
    if kind is None:
        raise ValueError(f"the B1 map's Units {units!r} are not understood; {_units_fix()}")
    return kind


def relative_from_units(values, units, nominal_deg=None):
    """A B1 map in its own units as relative B1 (1 = nominal).

    ::

        relative:  B1 = value
        percent:   B1 = value / 100
        degrees:   B1 = value / nominal_deg

    Parameters
    ----------
    values : array_like
        The map.
    units : str or None
        Its ``Units``: "relative" (also "1", "ratio"), "percent" ("%") or
        "degrees" ("deg"), in any case.
    nominal_deg : float, optional
        The B1 sequence's nominal flip angle, deg; needed for degrees.

    Returns
    -------
    numpy.ndarray
        float64; NaN where the value is not finite and positive (no
        transmit field measured there).

    Raises
    ------
    ValueError
        Units missing or not understood, or degrees without a positive
        nominal angle; the message says what to give.
    """
    kind = units_kind(units)
    if kind == "degrees":
        if nominal_deg is None or not np.isfinite(nominal_deg) or nominal_deg <= 0:
            raise ValueError(
                "a B1 map in degrees needs the nominal flip angle (FlipAngle, deg, "
                f"positive; got {nominal_deg!r}) to be made relative"
            )
        divisor = float(nominal_deg)
    else:
        divisor = {"relative": 1.0, "percent": 100.0}[kind]
    values = np.asarray(values, dtype=np.float64)
    with np.errstate(all="ignore"):
        valid = np.isfinite(values) & (values > 0)
    return np.where(valid, values / divisor, np.nan)


def b1_from_dam(s1, s2, alpha1_deg):
    """Relative B1 by the double-angle method (Insko & Bolinger 1993;
    Stollberger & Wach 1996).

    Two images with nominal flip angles α1 and α2 = 2 α1, each with full
    relaxation between excitations (TR ≥ 5 T1), so that S ∝ sin(B1 α)::

        S2 / S1 = sin(2 B1 α1) / sin(B1 α1) = 2 cos(B1 α1)
        B1 = arccos(S2 / (2 S1)) / α1        (α1 in radians)

    Parameters
    ----------
    s1, s2 : array_like
        The images at α1 and 2 α1.
    alpha1_deg : float
        α1, deg.

    Returns
    -------
    numpy.ndarray
        float64; NaN where S1 ≤ 0, a value is not finite or
        ``|S2 / (2 S1)| > 1``.
    """
    s1 = np.asarray(s1, dtype=np.float64)
    s2 = np.asarray(s2, dtype=np.float64)
    alpha1 = np.radians(float(alpha1_deg))
    with np.errstate(all="ignore"):
        cosine = s2 / (2.0 * s1)
        valid = (s1 > 0) & np.isfinite(s1) & np.isfinite(s2) & (np.abs(cosine) <= 1.0)
        return np.where(valid, np.arccos(np.where(valid, cosine, 1.0)) / alpha1, np.nan)


def b1_from_afi(s1, s2, tr1, tr2, nominal_deg):
    """Relative B1 by actual flip-angle imaging (Yarnykh 2007, Magn Reson Med
    57:192).

    Two interleaved spoiled gradient echoes of one flip angle α after
    delays TR1 < TR2. With r = S2 / S1 and n = TR2 / TR1, to first order in
    TR / T1 (the closed form the method is built on)::

        cos α = (r n - 1) / (n - r)
        B1 = α / nominal

    Parameters
    ----------
    s1, s2 : array_like
        The images after TR1 and TR2.
    tr1, tr2 : float
        The two delays, s (only their ratio counts); tr1 < tr2.
    nominal_deg : float
        The nominal flip angle, deg.

    Returns
    -------
    numpy.ndarray
        float64; NaN where S1 ≤ 0 or S2 ≤ 0, a value is not finite,
        ``n - r ≤ 0`` or the cosine falls outside [-1, 1].

    Raises
    ------
    ValueError
        tr1 not shorter than tr2, or a nominal angle that is not positive.
    """
    tr1, tr2, nominal = float(tr1), float(tr2), float(nominal_deg)
    if not (0 < tr1 < tr2):
        raise ValueError(f"AFI needs 0 < TR1 < TR2 (got TR1 {tr1:g} s, TR2 {tr2:g} s)")
    if not nominal > 0:
        raise ValueError(f"AFI needs a positive nominal flip angle (got {nominal:g} deg)")
    s1 = np.asarray(s1, dtype=np.float64)
    s2 = np.asarray(s2, dtype=np.float64)
    n = tr2 / tr1
    with np.errstate(all="ignore"):
        r = s2 / s1
        cosine = (r * n - 1.0) / (n - r)
        finite = np.isfinite(s1) & np.isfinite(s2)
        valid = finite & (s1 > 0) & (s2 > 0) & (n - r > 0) & (np.abs(cosine) <= 1.0)
        angle = np.degrees(np.arccos(np.where(valid, cosine, 1.0)))
        return np.where(valid, angle / nominal, np.nan)


def b1_from_tfl(famp, nominal_deg):
    """Relative B1 from Siemens' TFL flip-angle map (the ``famp`` image).

    The image holds the flip angle reached in tenths of a degree::

        B1 = famp / (10 nominal)

    Parameters
    ----------
    famp : array_like
        The flip-angle map, 0.1 deg.
    nominal_deg : float
        The B1 sequence's nominal flip angle, deg.

    Returns
    -------
    numpy.ndarray
        float64; NaN where the value is not finite and positive.

    Raises
    ------
    ValueError
        A nominal angle that is not positive.
    """
    nominal = float(nominal_deg)
    if not nominal > 0:
        raise ValueError(f"TFL needs a positive nominal flip angle (got {nominal:g} deg)")
    famp = np.asarray(famp, dtype=np.float64)
    with np.errstate(all="ignore"):
        valid = np.isfinite(famp) & (famp > 0)
    return np.where(valid, famp / (10.0 * nominal), np.nan)
