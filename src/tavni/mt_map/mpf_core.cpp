#include "mpf_core.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

// Single-precision steps must be carried out in single precision: no
// excess precision on the way (x87), and -ffp-contract=off in the build
// keeps multiplications and additions from being fused.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not use a wider format");
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE 754 single and double precision are required");
// Fast-math lets the compiler reassociate, drop NaN and infinity handling
// and flush subnormals: none of the model's bits would survive.
#ifdef __FAST_MATH__
#error "the model is bit-exact only without -ffast-math"
#endif

namespace tavni::mt_map {

using signal_steps::two_pi;
using signal_steps::widen;

double super_lorentzian_differential(float u, float Delta, float T2b) noexcept {
    const float u_squared = u * u;                  // in single
    const double d = widen(u_squared) * 3.0 - 1.0;  // exact: never 0
    const double x = two_pi * widen(Delta) * widen(T2b) / d;
    const double e = std::exp(x * x * -2.0);
    return (1.0 / std::fabs(d)) * e;
}

float newRamani_corr(float f, const SignalParameters &p) noexcept {
    const Excitation excitation = excitation_terms(p.flip_angle, p.TR);
    const float s = p.duration / p.TR;  // duty cycle of the saturation, in single
    const Saturation saturation = saturation_terms(p, s, excitation.beta, p.omega_1_rms);
    return steady_state_signal(saturation, exchange_terms(f, p.R1), p.R1, excitation.sin_flip);
}

double model(float f, float S_ratio, float R1, float T2_free, float delta_omega, float omega_1_rms,
             float G, float TR, float duration, float flip_angle) noexcept {
    return residual(residual_terms(S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration,
                                   excitation_terms(flip_angle, TR)),
                    f);
}

}  // namespace tavni::mt_map
