"""Acquisition and model parameters: their groups, where values come from,
and their one validation.

The parameters themselves are the rows of the registry
(:data:`tavni.mt_map.registry.PARAMETERS`). This module groups them (the
lineshape, the pulse, the scans, the tissue constants and their defaults),
reads protocol files (``read_protocol``), checks values (``validate``)
and converts them to the model's units (``model_values``), so that a
value is judged the same way wherever it is given (an option, a protocol
file, a sidecar, a Python keyword), and every complaint names where the
value came from. The command line's options over the registry are in
``cli.parameters``.

Units: times in seconds, offsets in Hz, the saturation amplitude in rad/s,
R1 in 1/s, flip angles in degrees as scanners state them (``model_values``
converts to the radians the model takes).
"""

import math
import os
import stat
from collections import namedtuple

from tavni.mt_map.pulses import SHAPES
from tavni.mt_map.registry import PARAMETERS

__all__ = [
    "ECHO_COMBINATIONS",
    "PROTOCOL_MAX_BYTES",
    "PROTOCOL_MAX_DIGITS",
    "ParameterError",
    "LINESHAPE",
    "PULSE",
    "PULSE_SHAPE",
    "MT_PULSE",
    "TISSUE",
    "TISSUE_DEFAULTS",
    "OPTIONAL",
    "SEQUENCE",
    "SCANS",
    "SCAN_KEYS",
    "METAVARS",
    "PROTOCOL_KEYS",
    "Given",
    "tissue_default",
    "read_protocol",
    "require",
    "as_given",
    "as_one_given",
    "validate",
    "model_values",
]

PROTOCOL_MAX_BYTES = 1 << 20
"""Largest protocol file read, bytes; real ones are a few hundred."""
PROTOCOL_MAX_DIGITS = 30
"""Longest integer literal accepted in a protocol file."""


class ParameterError(Exception):
    """A parameter that is missing, malformed or unphysical; the message says
    which, and where it came from.

    Parameters
    ----------
    message : str
        One line.
    parameter : str, optional
        The Python name of the keyword argument at fault when the message
        starts with it, so that a front end can name its own option instead
        (the command line says ``--threads`` where Python says
        ``threads``). Kept as the attribute ``parameter``.
    """

    def __init__(self, message, parameter=None):
        super().__init__(message)
        self.parameter = parameter


LINESHAPE = ("T2b", "G")
"""The bound pool's lineshape, given one way: G itself, or T2b for G to be
computed from."""
PULSE = ("omega_1_rms", "mt_flip_angle_deg")
"""The saturation amplitude, given one way: omega_1_rms itself, or the MT
pulse's flip angle (with its shape, bandwidth and number per TR) for
omega_1_rms to be computed from."""
PULSE_SHAPE = ("mt_flip_angle_deg", "mt_pulse_shape", "mt_bandwidth")
"""The pulse's own description, from which omega_1_rms is computed."""
MT_PULSE = PULSE_SHAPE + ("mt_pulses",)
"""The pulse's description and the number of pulses per TR."""
TISSUE = ("T2_free",)
"""The tissue's constants besides the lineshape: no scanner records them."""
# The single-point method fixes the constants of the two-pool model that the
# one MT-weighted measurement cannot separate from the fraction: the bound
# pool's T2, which sets its super-Lorentzian lineshape, and the free pool's
# T2, on which the fraction depends only weakly at offsets of kilohertz.
# Values for brain tissue; the phantom's heads are simulated with the same.
TISSUE_DEFAULTS = {
    "T2_free": (
        0.04,
        "a value typical of the free pool's T2 in brain, as two-pool fits report it "
        "(e.g. Sled JG, Pike GB. Quantitative imaging of magnetization transfer exchange "
        "and relaxation properties in vivo using MRI. Magn Reson Med 2001;46:923-931)",
    ),
    "T2b": (
        12e-6,
        "Yarnykh VL. Fast macromolecular proton fraction mapping from a single "
        "off-resonance magnetization transfer measurement. Magn Reson Med "
        "2012;68:166-178.",
    ),
}
"""Tissue constant key to (value in the unit of its row, the reference it is
taken from): T2 of the free pool 0.04 s, typical of brain parenchyma in
two-pool fits (tens of milliseconds), and T2 of the bound pool 12 us, the
value the single-point method fixes. Used where neither a sidecar, a
protocol file nor an option gives the constant."""
OPTIONAL = ("mt_pulse_shape", "mt_bandwidth", "mt_pulses")
"""Parameters never reported missing: they have defaults or serve one case."""
SEQUENCE = ("delta_omega", "omega_1_rms", "duration", "TR", "flip_angle_deg", "T2_free") + MT_PULSE
"""What a map of the fraction needs from the protocol (with one of
:data:`LINESHAPE`)."""
SCANS = ("pdw_flip_angle_deg", "pdw_TR", "t1w_flip_angle_deg", "t1w_TR")
"""The PD- and T1-weighted scans of the three-scan chain."""
SCAN_KEYS = SCANS + ("flip_angle_deg", "TR")
"""The three scans alone (MTsat, the synthetic reference): their angles and TRs."""
ECHO_COMBINATIONS = ("te0", "mean", "first")
"""How the echoes of multi-echo scans become one image each, the default
first (see ``workflows.echoes``)."""
METAVARS = {"Hz": "HZ", "rad/s": "RAD_PER_S", "s": "S", "deg": "DEG", "1/s": "PER_S", "": "VALUE"}
"""Unit symbol to the metavar of an option in that unit."""
PROTOCOL_KEYS = tuple(key for key, p in PARAMETERS.items() if p.in_protocol)
"""The keys a protocol file may hold."""


class Given(namedtuple("Given", "value name source", defaults=("",))):
    """A parameter's value as given, and where.

    Attributes
    ----------
    value : float or str
        The value, in the unit of its row of :data:`~tavni.mt_map.registry.PARAMETERS` (a word for
        a choice).
    name : str
        Where it was given: the option (``'--TR'``), the protocol key or
        the sidecar field.
    source : str
        Appended to ``name`` in messages: ``''``, or where the key was
        found, such as ``" in protocol 'p.json'"``.
    """

    __slots__ = ()

    def describe(self, unit=""):
        """The value and where it came from, for messages.

        Parameters
        ----------
        unit : str
            Unit written after the value.

        Returns
        -------
        str
            ``'--TR = 28 s'`` or ``"TR = 28 s in protocol 'p.json'"``.
        """
        value = self.value if isinstance(self.value, str) else f"{self.value:g}"
        return f"{self.name} = {value}{' ' + unit if unit else ''}{self.source}"


def tissue_default(key):
    """A tissue constant's default value, named as such with its reference.

    Parameters
    ----------
    key : str
        A key of :data:`TISSUE_DEFAULTS` ("T2_free" or "T2b").

    Returns
    -------
    Given
        Its source reads ``" (default, from <reference>)"``.
    """
    value, reference = TISSUE_DEFAULTS[key]
    return Given(value, key, f" (default, from {reference})")


def _reject_constant(name):
    raise ValueError(f"{name} is not a number here; give a finite number")


def _bounded_int(text):
    if len(text.lstrip("-")) > PROTOCOL_MAX_DIGITS:
        raise ValueError(f"integer of {len(text)} digits")
    return int(text)


def _unique_keys(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"key '{key}' appears twice")
        seen[key] = value
    return seen


def read_protocol(path):
    """The parameters in a protocol file.

    Parameters
    ----------
    path : path-like
        A regular file of at most ``PROTOCOL_MAX_BYTES`` holding one JSON
        object of finite numbers under keys of ``PROTOCOL_KEYS``, in the
        units of ``PARAMETERS`` (s, Hz, rad/s, degrees).

    Returns
    -------
    dict of str to Given

    Raises
    ------
    ParameterError
        One line for anything else: an unknown key (naming the nearest
        known one), a key given twice, NaN or Infinity, an integer of more
        than ``PROTOCOL_MAX_DIGITS`` digits, a non-number, T2b and G
        together, deep nesting, a FIFO or directory, an unreadable file.
    """
    import json  # here, not at the top: `mt-map --help` should not pay for it

    def fail(reason):
        raise ParameterError(f"protocol '{path}': {reason}")

    try:
        # Non-blocking, so that a FIFO or device is refused instead of waited on.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise ParameterError(f"cannot read protocol '{path}': {error.strerror}") from None
    # Checked before the descriptor becomes a file object: Python refuses a
    # directory's with an error naming the descriptor's number, not the path.
    mode = os.fstat(descriptor).st_mode
    if not stat.S_ISREG(mode):
        os.close(descriptor)
        fail("a directory, not a protocol file" if stat.S_ISDIR(mode) else "not a regular file")
    with os.fdopen(descriptor, "rb") as handle:
        try:
            raw = handle.read(PROTOCOL_MAX_BYTES + 1)
        except OSError as error:
            fail(error.strerror)
    if len(raw) > PROTOCOL_MAX_BYTES:
        fail(f"larger than {PROTOCOL_MAX_BYTES} bytes; not a protocol file")
    try:
        content = json.loads(
            raw.decode("utf-8"),
            parse_constant=_reject_constant,
            parse_int=_bounded_int,
            object_pairs_hook=_unique_keys,
        )
    except UnicodeDecodeError:
        fail("not UTF-8 text")
    except RecursionError:
        fail("nested too deeply; not a protocol file")
    except ValueError as error:
        fail(f"not valid JSON: {str(error).splitlines()[0]}")
    if not isinstance(content, dict):
        fail("must hold a JSON object of parameters")
    given = {}
    for key, value in content.items():
        if key not in PROTOCOL_KEYS:
            import difflib

            nearest = difflib.get_close_matches(
                key.lower(), [k.lower() for k in PROTOCOL_KEYS], n=1, cutoff=0.0
            )
            nearest_key = next(k for k in PROTOCOL_KEYS if k.lower() == nearest[0])
            fail(f"unknown key '{key}' (did you mean '{nearest_key}'?)")
        choices = PARAMETERS[key].choices
        if choices:
            if value not in choices:
                fail(f"{key} must be one of {', '.join(choices)}, not {json.dumps(value)[:40]}")
            given[key] = Given(value, key, f" in protocol '{path}'")
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            fail(f"{key} must be a number, not {json.dumps(value)[:40]}")
        if not math.isfinite(value):
            fail(f"{key} must be a finite number, not {value}")
        given[key] = Given(float(value), key, f" in protocol '{path}'")
    if all(key in given for key in LINESHAPE):
        fail("give T2b or G, not both")
    if all(key in given for key in PULSE):
        fail("give omega_1_rms or the MT pulse (mt_flip_angle_deg), not both")
    return given


def require(given, keys, name=lambda key: key, hint="give them"):
    """Raises ParameterError naming the parameters of keys missing in given.

    Parameters
    ----------
    given : dict
        The parameters at hand, by key.
    keys : sequence of str
        The keys needed. Of each alternative (``LINESHAPE``, ``PULSE``) one
        is needed; the keys of ``OPTIONAL`` never are.
    name : callable
        ``name(key)``: how a key is called in the message (its option, say).
    hint : str
        The message's last words, in parentheses.

    Raises
    ------
    ParameterError
        One line naming every missing parameter.
    """
    alternatives = (LINESHAPE, PULSE)
    missing = [
        name(k)
        for k in keys
        if k not in given and k not in OPTIONAL and not any(k in a for a in alternatives)
    ]
    for group in alternatives:
        if any(k in keys for k in group) and not any(k in given for k in group):
            missing.append(" or ".join(name(k) for k in group if k in keys))
    if missing:
        raise ParameterError(
            f"missing parameter{'s' if len(missing) > 1 else ''} {', '.join(missing)} ({hint})"
        )


def as_given(parameters, keys):
    """Plain parameters as Given, for callers that merged them themselves.

    Parameters
    ----------
    parameters : dict
        Key of :data:`~tavni.mt_map.registry.PARAMETERS` to a number in its unit (or a word for a
        choice); values that are Given already stay as they are.
    keys : sequence of str
        The keys needed (see ``require``).

    Returns
    -------
    dict of str to Given
        Named by their keys; not yet validated.

    Raises
    ------
    ParameterError
        An unknown key, a value that is not a number, or a missing key.
    """
    given = {}
    for key, value in parameters.items():
        if key not in PARAMETERS:
            raise ParameterError(f"unknown parameter '{key}'")
        if not isinstance(value, Given):
            if not isinstance(value, str):
                try:
                    value = float(value)
                except (TypeError, ValueError):
                    raise ParameterError(f"{key} must be a number, not {value!r}") from None
            value = Given(value, key)
        given[key] = value
    require(given, keys)
    return given


def as_one_given(value, name):
    """One value as Given named ``name``, unless it is Given already.

    Parameters
    ----------
    value : float or Given
        A number in the parameter's unit.
    name : str
        What messages call it.

    Returns
    -------
    Given
    """
    return value if isinstance(value, Given) else Given(float(value), name)


def _single(value):
    import numpy as np

    with np.errstate(over="ignore"):
        return float(np.float32(value))


def validate(given):
    """Checks parameters against the rules of ``PARAMETERS``.

    The one validation of acquisition and model parameters, whatever the
    command: each value finite, finite and non-zero in single precision (as
    the model computes), and within its rule (TR, duration, T2_free, T2b,
    G, omega_1_rms, R1 > 0; delta_omega != 0; 0 < flip angle < 90
    degrees); the saturation pulse no longer than TR.

    Parameters
    ----------
    given : dict of str to Given

    Returns
    -------
    list of str
        One-line warnings for values physical but atypical of a human
        scanner, each naming the likely unit mistake.

    Raises
    ------
    ParameterError
        For the first violation, naming where the value came from.
    """
    warnings = []
    for key, g in given.items():
        p = PARAMETERS[key]
        where = g.describe(p.unit)
        if p.rule == "choice":
            if g.value not in p.choices:
                raise ParameterError(f"{where}: must be one of {', '.join(p.choices)}")
            continue
        if not isinstance(g.value, (int, float)) or not math.isfinite(g.value):
            raise ParameterError(f"{where}: must be a finite number")
        single = _single(g.value)
        if not math.isfinite(single):
            raise ParameterError(
                f"{where}: too large for single precision, which the model computes in"
            )
        if p.rule != "finite" and single == 0.0:
            raise ParameterError(
                f"{where}: must not be zero"
                if g.value == 0.0
                else f"{where}: rounds to 0 in single precision, which the model computes in"
            )
        if p.rule == "positive" and g.value < 0:
            raise ParameterError(f"{where}: must be positive")
        if p.rule == "angle" and not 0.0 < g.value < 90.0:
            raise ParameterError(f"{where}: the flip angle must lie between 0 and 90 degrees")
        if p.rule == "count" and not (g.value >= 1 and g.value == int(g.value)):
            raise ParameterError(f"{where}: must be a whole number, at least 1")
        low, high = p.typical
        size = abs(g.value)
        if low is not None and size < low:
            warnings.append(f"{where} is unusually small for a human scanner; {p.hint_low}")
        elif high is not None and size > high:
            warnings.append(f"{where} is unusually large for a human scanner; {p.hint_high}")
    if "duration" in given and "TR" in given and given["duration"].value > given["TR"].value:
        d, tr = given["duration"], given["TR"]
        raise ParameterError(
            f"{d.describe('s')} is longer than {tr.describe('s')}; the "
            "saturation pulse must fit in the repetition time"
        )
    if all(key in given for key in PULSE):
        raise ParameterError(
            f"{given['omega_1_rms'].describe('rad/s')} and "
            f"{given['mt_flip_angle_deg'].describe('deg')}: give the "
            "saturation amplitude or the MT pulse, not both"
        )
    shape = given.get("mt_pulse_shape")
    # The shapes that take a bandwidth say so in the pulse registry.
    banded = shape is not None and "bandwidth" in SHAPES[shape.value].needs
    if "mt_flip_angle_deg" in given and banded and "mt_bandwidth" not in given:
        raise ParameterError(
            f"{shape.describe()}: a {shape.value.capitalize()} MT pulse needs "
            f"its bandwidth ({PARAMETERS['mt_bandwidth'].option} or "
            "mt_bandwidth)"
        )
    if "mt_bandwidth" in given and not banded:
        raise ParameterError(
            f"{given['mt_bandwidth'].describe('Hz')}: a bandwidth applies "
            "to a Gaussian MT pulse only (mt_pulse_shape gaussian)"
        )
    return warnings


def model_values(given):
    """The validated parameters as the model takes them.

    Parameters
    ----------
    given : dict of str to Given
        Validated by ``validate``.

    Returns
    -------
    dict of str to float
        The same keys, but radians for every angle in degrees (``flip_angle``
        for ``flip_angle_deg``, ``pdw_flip_angle`` for ``pdw_flip_angle_deg``,
        ...), ``omega_1_rms`` (rad/s) computed from the MT pulse
        (``mt_flip_angle_deg``, ``mt_pulse_shape``, ``mt_bandwidth``,
        ``mt_pulses``) where that is given, and ``G`` (s) computed with the
        super-Lorentzian lineshape for ``T2b``.

    Raises
    ------
    ParameterError
        When G from T2b is not finite and positive in single precision.
    """
    values = {key: g.value for key, g in given.items()}
    for key in [k for k in values if k.endswith("_deg")]:
        values[key[: -len("_deg")]] = math.radians(values.pop(key))
    if "mt_flip_angle" in values:
        from tavni.mt_map.pulses import omega_1_rms_from_pulse

        # omega_1_rms over one pulse is its RMS over all of them: duration
        # is their number times the pulse's.
        pulses = int(values.pop("mt_pulses", 1))
        shape = values.pop("mt_pulse_shape", "hard")
        values["omega_1_rms"] = omega_1_rms_from_pulse(
            values.pop("mt_flip_angle"),
            values["duration"] / pulses,
            shape,
            values.pop("mt_bandwidth", None),
        )
    for key in MT_PULSE:
        values.pop(key, None)
    if "T2b" in values:
        from tavni.mt_map import super_lorentzian

        values["G"] = float(super_lorentzian(values["delta_omega"], values.pop("T2b")))
        if not 0.0 < _single(values["G"]) < math.inf:
            T2b = given["T2b"]
            raise ParameterError(
                f"{T2b.describe('s')} gives a lineshape value G = "
                f"{values['G']:g} s the model cannot use"
            )
    return values
