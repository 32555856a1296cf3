"""The two-pool magnetization-transfer signal model (extension module).

Every parameter is converted to a float and rounded to single precision
before the computation; the result is a Python float.
"""

from typing import SupportsFloat

__test__: dict[str, object]

def super_lorentzian_differential(
    u: SupportsFloat, Delta: SupportsFloat, T2b: SupportsFloat
) -> float:
    """Integrand of the super-Lorentzian lineshape at orientation variable u."""

def model(
    f: SupportsFloat,
    S_ratio: SupportsFloat,
    R1: SupportsFloat,
    T2_free: SupportsFloat,
    delta_omega: SupportsFloat,
    omega_1_rms: SupportsFloat,
    G: SupportsFloat,
    TR: SupportsFloat,
    duration: SupportsFloat,
    flip_angle: SupportsFloat,
) -> float:
    """Measured MT ratio minus the ratio the model predicts at f."""
