"""The MT saturation pulse as the two-pool model sees it: its RMS amplitude.

Scanners state an off-resonance MT pulse by its flip angle, duration, shape
and bandwidth; the model takes the root-mean-square amplitude
``omega_1_rms`` (rad/s) over the saturation time. For the chain from
scans to a fraction map and anyone holding a scanner's protocol.

The pulse shapes are one registry, :data:`SHAPES`: a shape's name, the
function that gives its RMS amplitude from the flip angle, the pulse's
duration and whatever else the shape needs, and the names of those extra
values. A new shape is a new row and its RMS function; the command line's
choices, the protocol's checks and the BIDS App take it from here.
"""

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    from tavni.mt_map.array_inputs import Floats, RealArrayLike

__all__ = ["SHAPES", "PulseShape", "omega_1_rms_from_pulse"]


class PulseShape(NamedTuple):
    """One MT pulse shape.

    Attributes
    ----------
    name : str
        As protocols and sidecars spell it (lower case).
    rms : callable
        ``rms(flip_angle, pulse_duration, *needs)``: omega_1_rms (rad/s) of
        one pulse from its flip angle (rad), duration (s) and the values
        named by ``needs``, for scalars.
    needs : tuple of str
        Further parameters of the shape, by their keyword in
        :func:`omega_1_rms_from_pulse` (``"bandwidth"``, Hz).
    """

    name: str
    rms: Callable[..., Any]
    needs: tuple[str, ...] = ()


def _hard_rms(flip_angle: float, pulse_duration: float) -> float:
    # A constant amplitude: omega_1 = theta / tau throughout, its own RMS.
    return flip_angle / pulse_duration


def _gaussian_rms(flip_angle: float, pulse_duration: float, bandwidth: float) -> float:
    # Envelope a(t) = exp(-(t - tau/2)^2 / (2 sigma^2)) on [0, tau], with
    # sigma from the spectral FWHM: a Gaussian of time width sigma has a
    # spectrum of width 1/(2 pi sigma) (Hz, one standard deviation), whose
    # FWHM is 2 sqrt(2 ln 2) times that. Both integrals in closed form:
    #     int a dt   = sigma sqrt(2 pi) erf(tau / (2 sqrt(2) sigma)),
    #     int a^2 dt = sigma sqrt(pi)   erf(tau / (2 sigma)).
    # omega_1(t) = theta a(t) / int a dt, so
    #     omega_1_rms = theta sqrt(int a^2 dt / tau) / int a dt.
    sigma = math.sqrt(2.0 * math.log(2.0)) / (math.pi * bandwidth)
    area = (
        sigma * math.sqrt(2.0 * math.pi) * math.erf(pulse_duration / (2.0 * math.sqrt(2.0) * sigma))
    )
    energy = sigma * math.sqrt(math.pi) * math.erf(pulse_duration / (2.0 * sigma))
    return flip_angle * math.sqrt(energy / pulse_duration) / area


SHAPES = {
    shape.name: shape
    for shape in (
        PulseShape("hard", _hard_rms),
        PulseShape("gaussian", _gaussian_rms, ("bandwidth",)),
    )
}
"""The MT pulse shapes by name: the registry of :class:`PulseShape` rows
that ``omega_1_rms_from_pulse``, the protocol's ``mt_pulse_shape`` and the
BIDS field ``MTPulseShape`` take their choices from."""


def omega_1_rms_from_pulse(
    flip_angle: "RealArrayLike",
    pulse_duration: "RealArrayLike",
    shape: str = "hard",
    bandwidth: "RealArrayLike | None" = None,
) -> "float | Floats":
    """RMS amplitude of an MT pulse, over the pulse, from its flip angle.

    With the pulse envelope a(t) on [0, tau], the amplitude is
    omega_1(t) = theta a(t) / integral(a dt) (so that it turns the
    magnetization by theta) and::

        omega_1_rms = sqrt((1/tau) integral(omega_1(t)^2 dt))

    The two-pool model applies this amplitude over the saturation time
    ``duration`` of each TR: with several pulses per TR, ``duration`` is
    their number times ``pulse_duration``, and the RMS is the same.

    Parameters
    ----------
    flip_angle : float or array_like
        Flip angle theta of one MT pulse, radians (on resonance).
    pulse_duration : float or array_like
        Duration tau of one pulse, s.
    shape : {"hard", "gaussian"}
        "hard": constant amplitude, omega_1_rms = theta / tau.
        "gaussian": a Gaussian centred in [0, tau] and truncated there,
        whose standard deviation in time is
        sigma = sqrt(2 ln 2) / (pi * bandwidth); both integrals are in
        closed form with the error function.
    bandwidth : float or array_like, optional
        For "gaussian" only: full width at half maximum of the pulse's
        spectrum, Hz.

    Returns
    -------
    float or ndarray
        omega_1_rms in rad/s, not negative (a negative angle gives the
        amplitude of its magnitude); a float for scalar input, NaN where an
        input is masked (``numpy.ma``).

    Raises
    ------
    TypeError
        An input that is not real numbers (strings, complex, objects).
    ValueError
        For an unknown shape, a missing (or, for "hard", a superfluous)
        bandwidth, or a duration or bandwidth that is not positive.

    Examples
    --------
    >>> omega_1_rms_from_pulse(math.radians(500.0), 0.012)  # hard, rad/s
    727.22...
    """
    import numpy as np

    from tavni.mt_map.array_inputs import real_array

    if shape not in SHAPES:
        raise ValueError(f"MT pulse shape must be one of {', '.join(SHAPES)}, not {shape!r}")
    pulse = SHAPES[shape]
    arrays, masked = {}, None
    given = {"flip_angle": flip_angle, "pulse_duration": pulse_duration, "bandwidth": bandwidth}
    for name, value in given.items():
        if value is not None:
            array, where = real_array(value, name)
            arrays[name] = array.astype(np.float64, copy=False)
            if where is not None:
                masked = where if masked is None else masked | where
    # An amplitude's RMS is a magnitude: a pulse turning the other way (a
    # negative angle) saturates as much.
    theta = np.abs(arrays["flip_angle"])
    tau = arrays["pulse_duration"]
    if not np.all(tau > 0):
        raise ValueError("MT pulse duration must be positive (s)")
    if "bandwidth" not in pulse.needs:
        if bandwidth is not None:
            raise ValueError("a bandwidth applies to a Gaussian MT pulse only")
        result = pulse.rms(theta, tau)
    else:
        if bandwidth is None:
            raise ValueError(f"a {shape.capitalize()} MT pulse needs its bandwidth (Hz)")
        width = arrays["bandwidth"]
        if not np.all(width > 0):
            raise ValueError("MT pulse bandwidth must be positive (Hz)")
        result = np.vectorize(pulse.rms, otypes=[np.float64])(theta, tau, width)
    if masked is not None:
        result = np.array(result, dtype=np.float64)
        result[np.broadcast_to(masked, result.shape)] = np.nan
    return float(result) if np.ndim(result) == 0 else result
