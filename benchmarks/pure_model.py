"""The MT ratio residual written in plain Python, in double precision.

This is what a user would write instead of calling the extension: the
two-pool pulsed steady-state signal as one function, called twice, once
without saturation power for the reference scan. It serves the call-speed
benchmark as the baseline that the extension has to beat, and the benchmark
checks that both agree to single precision before timing anything.
"""

import math

EXCHANGE_RATE_CONSTANT = 19.0


def steady_state_signal(f, R1, T2_free, duration, delta_omega, TR, flip_angle, omega_1_rms, G):
    """Spoiled gradient-echo signal with off-resonance saturation, two pools."""
    R1f = R1b = R1
    k = EXCHANGE_RATE_CONSTANT * f / (1.0 - f)
    F = f / (1.0 - f)
    Wf = (omega_1_rms / (2.0 * math.pi * delta_omega)) ** 2 / T2_free
    Wb = math.pi * omega_1_rms**2 * G
    beta = -math.log(math.cos(flip_angle)) / TR
    s = duration / TR
    Y1 = R1b * k / R1f + Wb * s + R1b + k / F
    Y2 = (k / R1f) * (Wb * s + R1b) + (1.0 + Wf * s / R1f + beta / R1f) * (Wb * s + R1b + k / F)
    Mzf = (1.0 - f) * Y1 / Y2
    return Mzf * math.sin(flip_angle)


def model(f, S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle):
    """Measured MT ratio minus the ratio the two-pool model predicts at f."""
    S_ref = steady_state_signal(f, R1, T2_free, duration, delta_omega, TR, flip_angle, 0.0, G)
    S_mt = steady_state_signal(
        f, R1, T2_free, duration, delta_omega, TR, flip_angle, omega_1_rms, G
    )
    if S_ref == 0.0:
        return math.nan
    return S_ratio - S_mt / S_ref
