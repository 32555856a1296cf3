#include "mpf_core.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

// Single-precision steps must be carried out in single precision: no
// excess precision on the way (x87), and -ffp-contract=off in the build
// keeps multiplications and additions from being fused.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not use a wider format");
static_assert(std::numeric_limits<float>::is_iec559 &&
                  std::numeric_limits<double>::is_iec559,
              "IEEE 754 single and double precision are required");

namespace tavni::mt_map {

namespace {
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr float exchange_rate_constant = 19.0f;

inline double widen(float x) { return static_cast<double>(x); }
}  // namespace

double super_lorentzian_differential(float u, float Delta, float T2b) noexcept {
    const float u_squared = u * u;                       // in single
    const double d = widen(u_squared) * 3.0 - 1.0;       // exact: never 0
    const double x = two_pi * widen(Delta) * widen(T2b) / d;
    const double e = std::exp(x * x * -2.0);
    return (1.0 / std::fabs(d)) * e;
}

SignalTerms signal_terms(float f, float R1, float duration, float TR,
                         float flip_angle) noexcept {
    SignalTerms t;
    // Both pools relax with the one measured rate.
    t.R1f = R1;
    t.R1b = R1;
    t.R = exchange_rate_constant;
    const double one_minus_f = 1.0 - widen(f);
    t.one_minus_f = one_minus_f;
    // k = R f / (1 - f): the product in single, the quotient in double.
    t.k = to_single(widen(t.R * f) / one_minus_f);
    // The excitation pulses drain the free pool like a continuous loss
    // rate: -ln(cos(flip_angle)) per repetition time. sin and cos of the
    // same argument, which the compiler may fetch with one sincos call.
    const double flip = widen(flip_angle);
    const double cos_flip = std::cos(flip);
    t.sin_flip = std::sin(flip);
    t.beta = to_single(-std::log(cos_flip) / widen(TR));
    t.s = duration / TR;  // in single
    // Pool-size ratio, bound to free.
    const float F = to_single(widen(f) / one_minus_f);
    // The backward exchange rate k/F equals R by definition (k = R F).
    // Evaluated as a quotient it is 0/0 when there is no bound pool, so
    // there the defining value is used: the signal at f = 0 is then the
    // single-pool one, and continuous with small f.
    t.backward_rate = F == 0.0f ? t.R : t.k / F;
    // The quotients by R1f that the saturation does not enter.
    t.exchange_term = t.R1b * t.k / t.R1f;
    t.k_over_R1f = t.k / t.R1f;
    t.beta_term = widen(t.beta / t.R1f);
    return t;
}

float steady_state_signal(const SignalTerms &t, float T2_free,
                          float delta_omega, float omega_1_rms,
                          float G) noexcept {
    // Saturation rates at full power: the free pool's from its Lorentzian
    // line, the bound pool's from its lineshape value G.
    const double w_over_offset = widen(omega_1_rms) / (two_pi * widen(delta_omega));
    const float Wf = to_single(w_over_offset * w_over_offset / widen(T2_free));
    const float Wb = to_single(widen(omega_1_rms * omega_1_rms) * pi * widen(G));

    // Closed-form steady state of the two coupled longitudinal rate
    // equations: Y1/Y2 is the free-pool magnetization per unit free pool.
    // Every term stays as written (R1b k / R1f is not reduced to k): the
    // grouping fixes the rounding.
    const float Y1 = t.exchange_term + Wb * t.s + t.R1b + t.backward_rate;
    const float A = Wb * t.s + t.R1b;
    const float P = t.k_over_R1f * A;
    const float B = A + t.backward_rate;
    const double H = (1.0 + widen(Wf * t.s / t.R1f)) + t.beta_term;
    const float Y2 = to_single(H * widen(B) + widen(P));

    const float Mzf = to_single(t.one_minus_f * widen(Y1) / widen(Y2));
    return to_single(widen(Mzf) * t.sin_flip);
}

float newRamani_corr(float f, float R1, float T2_free, float duration,
                     float delta_omega, float TR, float flip_angle,
                     float omega_1_rms, float G) noexcept {
    const SignalTerms t = signal_terms(f, R1, duration, TR, flip_angle);
    return steady_state_signal(t, T2_free, delta_omega, omega_1_rms, G);
}

double model(float f, float S_ratio, float R1, float T2_free,
             float delta_omega, float omega_1_rms, float G, float TR,
             float duration, float flip_angle) noexcept {
    // The reference scan is the same sequence without saturation power;
    // everything but the saturation rates is shared by both signals.
    const SignalTerms t = signal_terms(f, R1, duration, TR, flip_angle);
    const float S_ref = steady_state_signal(t, T2_free, delta_omega, 0.0f, G);
    const float S_mt = steady_state_signal(t, T2_free, delta_omega, omega_1_rms, G);
    if (S_ref == 0.0f) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return widen(S_ratio) - widen(S_mt) / widen(S_ref);
}

}  // namespace tavni::mt_map
