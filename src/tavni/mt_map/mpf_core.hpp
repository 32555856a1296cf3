// Numerical core of the two-pool magnetization-transfer model.
//
// Plain numbers in, plain numbers out: no interpreter types, no failure
// path. Every parameter is a single-precision value; the routines fix the
// precision of each intermediate step, so that a result is reproducible to
// the last bit on any IEEE 754 machine with the same math library.
#pragma once

#include <cfloat>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavni::mt_map {

// Rounds a double to the nearest single, ties to even, as IEEE 754 does:
// magnitudes past the single range become +-infinity, NaN stays NaN. Unlike
// a bare cast this has no undefined behaviour for out-of-range values.
inline float to_single(double value) noexcept {
#if defined(__SSE2__)
    // The SSE conversion is that IEEE rounding, overflow included, in one
    // instruction and without a branch; it runs a dozen times per residual.
    return _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(value)));
#else
    // FLT_MAX plus half its ulp: from here on round-to-nearest overflows.
    constexpr double overflow_threshold = 0x1.ffffffp127;
    const double magnitude = std::fabs(value);
    if (magnitude <= static_cast<double>(FLT_MAX) || std::isnan(value)) {
        return static_cast<float>(value);
    }
    const float rounded = magnitude < overflow_threshold
                              ? FLT_MAX
                              : std::numeric_limits<float>::infinity();
    return std::signbit(value) ? -rounded : rounded;
#endif
}

// Integrand of the super-Lorentzian absorption lineshape of the bound pool
// at orientation variable u, for an offset Delta (cycles per unit time) and
// bound-pool T2 T2b:
//     1/|3u^2 - 1| * exp(-2 * (2 pi Delta T2b / (3u^2 - 1))^2).
// Neither a normalising constant nor T2b multiplies it.
double super_lorentzian_differential(float u, float Delta, float T2b) noexcept;

// Terms of the steady-state signal that do not depend on the saturation
// amplitude; a residual evaluates the signal twice with the same ones.
struct SignalTerms {
    float R1f, R1b, R;    // relaxation rates of both pools, exchange constant
    float k;              // forward exchange rate, free to bound
    float backward_rate;  // k/F: exchange rate from bound to free
    float beta;           // free-pool loss rate caused by the excitation pulses
    float s;              // duty cycle of the saturation
    float exchange_term;  // R1b k / R1f: the first term of Y1
    float k_over_R1f;     // k / R1f: the exchange factor of Y2
    double beta_term;     // beta / R1f, widened: the excitation's share of Y2
    double one_minus_f;   // free-pool share of the equilibrium magnetization
    double sin_flip;
};

SignalTerms signal_terms(float f, float R1, float duration, float TR,
                         float flip_angle) noexcept;

// Steady-state signal for the saturation amplitude omega_1_rms, given the
// amplitude-independent terms of signal_terms().
float steady_state_signal(const SignalTerms &t, float T2_free,
                          float delta_omega, float omega_1_rms,
                          float G) noexcept;

// Pulsed steady-state signal of a spoiled gradient echo with off-resonance
// saturation in every repetition, for free and bound pools exchanging
// magnetization (the bound pool holding the fraction f).
float newRamani_corr(float f, float R1, float T2_free, float duration,
                     float delta_omega, float TR, float flip_angle,
                     float omega_1_rms, float G) noexcept;

// Measured MT ratio minus the predicted one, S_mt/S_ref; its zero in f is
// the bound-pool fraction that explains the measurement. NaN when the
// reference signal is zero.
double model(float f, float S_ratio, float R1, float T2_free,
             float delta_omega, float omega_1_rms, float G, float TR,
             float duration, float flip_angle) noexcept;

}  // namespace tavni::mt_map
