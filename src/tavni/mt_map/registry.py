"""The parameter registry: every acquisition and model parameter, one row each.

A row gives the parameter's protocol key (also its name inside the
program), command-line option, unit, help text, the rule that makes it
physical and the range typical of a human scanner, with the unit mistake a
value outside that range most likely is. The command line declares its
options from these rows (``cli.parameters``), and ``protocol`` reads
protocol files, judges and converts values by them; the BIDS App reads
them too. A new parameter is a new row of :data:`PARAMETERS`.

Units: times in seconds, offsets in Hz, the saturation amplitude in rad/s,
R1 in 1/s, flip angles in degrees as scanners state them. Light on purpose
(no NumPy), so that ``mt-map --help`` can read it.
"""

from collections import namedtuple

from tavni.mt_map.pulses import SHAPES

__all__ = ["Parameter", "PARAMETERS"]


# A named tuple, not a dataclass: importing dataclasses would double what
# `mt-map --help` spends beyond the interpreter's own start.
class Parameter(
    namedtuple(
        "Parameter",
        "key option unit help rule typical hint_low hint_high in_protocol choices",
        defaults=((None, None), "", "", True, ()),
    )
):
    """One acquisition or model parameter: a row of :data:`PARAMETERS`.

    Attributes
    ----------
    key : str
        Protocol-file key and name inside the program.
    option : str
        Command-line option.
    unit : str
        Unit symbol (a key of :data:`~tavni.mt_map.protocol.METAVARS`);
        the option's metavar is made from it.
    help : str
        What the parameter is, for ``--help``.
    rule : str
        ``'positive'`` (> 0), ``'nonzero'`` (!= 0) or ``'angle'``
        (0 < value < 90 degrees), ``'count'`` (a whole number >= 1), or
        ``'finite'``. Every value must also be finite and non-zero in single
        precision, as the model sees it, except ``'finite'`` ones, which
        need only be finite there. ``'choice'``: a word of ``choices``.
    typical : (float or None, float or None)
        (low, high): the range typical of a human scanner, in ``unit``;
        ``None`` where there is no bound. Outside it (as a magnitude) a
        warning names ``hint_low`` or ``hint_high``, the likely unit mistake.
    hint_low, hint_high : str
        The likely unit mistake of a value below or above ``typical``.
    in_protocol : bool
        Whether a protocol file may hold it (measurements of one voxel,
        such as R1 for ``mt-map voxel``, may not).
    choices : tuple of str
        The words a ``'choice'`` parameter takes.
    """

    __slots__ = ()


PARAMETERS = {
    p.key: p
    for p in (
        Parameter(
            "delta_omega",
            "--delta-omega",
            "Hz",
            "offset frequency of the saturation pulse, Hz",
            "nonzero",
            (100.0, 1e5),
            "is it in kHz?",
            "is it in Hz, not rad/s or mHz?",
        ),
        Parameter(
            "omega_1_rms",
            "--omega-1-rms",
            "rad/s",
            "RMS amplitude of the saturation pulse, rad/s",
            "positive",
            (10.0, 1e5),
            "is it in microtesla? (1 uT is 267.5 rad/s)",
            "is it in rad/s?",
        ),
        Parameter(
            "duration",
            "--duration",
            "s",
            "duration of the saturation pulse, s",
            "positive",
            (1e-3, None),
            "is it in seconds?",
        ),
        Parameter(
            "TR",
            "--TR",
            "s",
            "repetition time, s",
            "positive",
            (1e-3, 1.0),
            "is it in seconds?",
            "is it in milliseconds?",
        ),
        Parameter(
            "flip_angle_deg",
            "--flip-angle",
            "deg",
            "excitation flip angle, degrees",
            "angle",
            (1.0, None),
            "is it in radians? (give degrees)",
        ),
        Parameter(
            "T2_free",
            "--T2-free",
            "s",
            "transverse relaxation time of the free pool, s",
            "positive",
            (1e-3, 1.0),
            "is it in seconds?",
            "is it in milliseconds?",
        ),
        Parameter(
            "T2b",
            "--T2b",
            "s",
            "transverse relaxation time of the bound pool, s; G is computed from it "
            "with the super-Lorentzian lineshape",
            "positive",
            (1e-6, 1e-4),
            "is it in seconds?",
            "is it in microseconds?",
        ),
        Parameter(
            "G",
            "--G",
            "s",
            "bound-pool absorption lineshape value at the offset, s",
            "positive",
            (None, 1e-3),
            "",
            "is it in seconds?",
        ),
        Parameter(
            "R1",
            "--R1",
            "1/s",
            "longitudinal relaxation rate, 1/s",
            "positive",
            (0.1, 20.0),
            "is it in 1/s, not 1/ms?",
            "is it T1 in milliseconds?",
            in_protocol=False,
        ),
        Parameter(
            "S_ratio", "--S-ratio", "", "measured ratio S_mt/S_ref", "finite", in_protocol=False
        ),
        # The PD- and T1-weighted scans of the three-scan chain (the MT-weighted
        # one has flip_angle_deg and TR).
        Parameter(
            "pdw_flip_angle_deg",
            "--pdw-flip-angle",
            "deg",
            "flip angle of the PD-weighted scan, degrees",
            "angle",
            (1.0, None),
            "is it in radians? (give degrees)",
        ),
        Parameter(
            "pdw_TR",
            "--pdw-TR",
            "s",
            "repetition time of the PD-weighted scan, s",
            "positive",
            (1e-3, 1.0),
            "is it in seconds?",
            "is it in milliseconds?",
        ),
        Parameter(
            "t1w_flip_angle_deg",
            "--t1w-flip-angle",
            "deg",
            "flip angle of the T1-weighted scan, degrees",
            "angle",
            (1.0, None),
            "is it in radians? (give degrees)",
        ),
        Parameter(
            "t1w_TR",
            "--t1w-TR",
            "s",
            "repetition time of the T1-weighted scan, s",
            "positive",
            (1e-3, 1.0),
            "is it in seconds?",
            "is it in milliseconds?",
        ),
        # The MT pulse as scanners state it, instead of omega_1_rms.
        Parameter(
            "mt_flip_angle_deg",
            "--mt-flip-angle",
            "deg",
            "flip angle of one MT saturation pulse (on resonance), degrees; "
            "omega_1_rms is computed from it",
            "positive",
            (20.0, 5000.0),
            "is it in radians? (give degrees)",
            "is it in degrees?",
        ),
        Parameter(
            "mt_pulse_shape",
            "--mt-pulse-shape",
            "",
            "shape of the MT pulse (default hard)",
            "choice",
            choices=tuple(SHAPES),
        ),
        Parameter(
            "mt_bandwidth",
            "--mt-bandwidth",
            "Hz",
            "bandwidth of a Gaussian MT pulse (FWHM of its spectrum), Hz",
            "positive",
            (10.0, 1e4),
            "is it in kHz?",
            "is it in Hz?",
        ),
        Parameter(
            "mt_pulses",
            "--mt-pulses",
            "",
            "MT pulses per TR (default 1); --duration is their total time",
            "count",
        ),
    )
}
"""Every acquisition and model parameter by key: the registry that the
options, the protocol files, the validation and the BIDS App read."""
