"""Bound-pool fraction from one measured MT ratio.

    python -m tavni.mt_map --S-ratio 0.5 --R1 1.0 --T2-free 0.05 \\
        --delta-omega 2000 --omega-1-rms 2000 --G 1e-5 \\
        --TR 0.03 --duration 0.01 --flip-angle 0.2

finds the fraction f at which the two-pool model explains the ratio of the
MT-weighted to the reference signal, and prints it.
"""
import argparse
import math
import sys

from scipy.optimize import brentq

from tavni.mt_map import mpf

# (option, model parameter, help) in the model's parameter order after f.
PARAMETERS = [
    ("--S-ratio", "S_ratio", "measured ratio S_mt/S_ref of MT-weighted to reference signal"),
    ("--R1", "R1", "longitudinal relaxation rate, 1/s"),
    ("--T2-free", "T2_free", "transverse relaxation time of the free pool, s"),
    ("--delta-omega", "delta_omega", "offset frequency of the saturation pulse, Hz"),
    ("--omega-1-rms", "omega_1_rms", "RMS amplitude of the saturation pulse, rad/s"),
    ("--G", "G", "bound-pool absorption lineshape at the offset, s"),
    ("--TR", "TR", "repetition time, s"),
    ("--duration", "duration", "duration of the saturation pulse, s"),
    ("--flip-angle", "flip_angle", "excitation flip angle, radians"),
]


def bound_pool_fraction(S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration,
                        flip_angle, bracket=(0.0, 0.5)):
    """The fraction f in bracket at which model(f, ...) is zero, or None when
    the model explains the ratio with no f in the bracket."""
    args = (S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle)
    low, high = (mpf.model(f, *args) for f in bracket)
    # S_ratio reaches the model rounded to single precision: a residual within
    # that rounding of zero at an end of the bracket is a zero there (fluid
    # has f = 0 exactly).
    rounding = abs(S_ratio) * 2.0**-23
    for end, value in zip(bracket, (low, high)):
        if abs(value) <= rounding:
            return end
    if not (math.isfinite(low) and math.isfinite(high)) or (low > 0) == (high > 0):
        return None
    return brentq(mpf.model, *bracket, args=args, xtol=1e-9)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tavni.mt_map",
        description="Estimate the bound-pool (macromolecular proton) fraction f from one "
                    "MT-weighted measurement with the two-pool pulsed steady-state model.")
    for option, name, help_text in PARAMETERS:
        parser.add_argument(option, dest=name, type=float, required=True, help=help_text)
    parser.add_argument("--bracket", type=float, nargs=2, default=(0.0, 0.5),
                        metavar=("LOW", "HIGH"), help="interval searched for f (default 0 0.5)")
    options = parser.parse_args(argv)
    values = {name: getattr(options, name) for _, name, _ in PARAMETERS}
    f = bound_pool_fraction(**values, bracket=tuple(options.bracket))
    if f is None:
        print(f"no bound-pool fraction in [{options.bracket[0]}, {options.bracket[1]}] "
              f"explains S_ratio = {options.S_ratio}", file=sys.stderr)
        return 1
    print(f"f = {f:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
