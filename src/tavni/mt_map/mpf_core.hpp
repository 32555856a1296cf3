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

namespace tavni::mt_map {

// Rounds a double to the nearest single, ties to even, as IEEE 754 does:
// magnitudes past the single range become +-infinity, NaN stays NaN.
// Elsewhere the range is handled by hand: there a conversion of a value
// beyond it would be undefined.
inline float to_single(double value) noexcept {
#if defined(__SSE2__) || defined(__STDC_IEC_559__)
    // Where float and double are IEEE 754 types the conversion is that
    // rounding, overflow to infinity included (SSE's cvtsd2ss, one
    // instruction without a branch; it runs a dozen times per residual). As
    // a plain conversion, a loop over many values rounds them in vector
    // registers, to the same bits.
    static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
    return static_cast<float>(value);
#else
    // FLT_MAX plus half its ulp: from here on round-to-nearest overflows.
    constexpr double overflow_threshold = 0x1.ffffffp127;
    const double magnitude = std::fabs(value);
    if (magnitude <= static_cast<double>(FLT_MAX) || std::isnan(value)) {
        return static_cast<float>(value);
    }
    const float rounded =
        magnitude < overflow_threshold ? FLT_MAX : std::numeric_limits<float>::infinity();
    return std::signbit(value) ? -rounded : rounded;
#endif
}

// Integrand of the super-Lorentzian absorption lineshape of the bound pool
// at orientation variable u, for an offset Delta (cycles per unit time) and
// bound-pool T2 T2b:
//     1/|3u^2 - 1| * exp(-2 * (2 pi Delta T2b / (3u^2 - 1))^2).
// Neither a normalising constant nor T2b multiplies it.
double super_lorentzian_differential(float u, float Delta, float T2b) noexcept;

// The steady-state signal, step by step, its steps grouped by what they
// depend on: a caller that evaluates the signal many times computes each
// group only as often as its inputs change. The residual shares all but the
// saturation between its two signals; the fraction solver shares all but
// the exchange between its many values of f. Each step rounds exactly where
// the model does, so every grouping gives the same bits.
namespace signal_steps {
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr float exchange_rate_constant = 19.0f;  // R
inline double widen(float x) noexcept {
    return static_cast<double>(x);
}
}  // namespace signal_steps

// The tissue and sequence of one voxel as the signal takes them: every
// parameter but the bound-pool fraction f (and, for the residual, the
// measured ratio), each in single precision, in the order of model(). They
// are read by name: TR and duration, both in s, or the offset and the
// saturation amplitude, cannot trade places unseen as positional floats can.
struct SignalParameters {
    float R1;           // longitudinal relaxation rate of both pools, 1/s
    float T2_free;      // transverse relaxation time of the free pool, s
    float delta_omega;  // offset frequency of the saturation, Hz
    float omega_1_rms;  // RMS amplitude of the saturation pulse, rad/s
    float G;            // bound-pool absorption lineshape at the offset, s
    float TR;           // repetition time, s
    float duration;     // saturation time per TR, s
    float flip_angle;   // excitation flip angle, rad
};

// The record from the parameters one by one, in the order of model() (which
// takes them so, as its Python binding does): the one place where
// positional parameters become named ones.
inline SignalParameters signal_parameters(float R1, float T2_free, float delta_omega,
                                          float omega_1_rms, float G, float TR, float duration,
                                          float flip_angle) noexcept {
    SignalParameters p{};
    p.R1 = R1;
    p.T2_free = T2_free;
    p.delta_omega = delta_omega;
    p.omega_1_rms = omega_1_rms;
    p.G = G;
    p.TR = TR;
    p.duration = duration;
    p.flip_angle = flip_angle;
    return p;
}

// What the excitation pulses contribute: flip angle and TR only.
struct Excitation {
    float beta;       // free-pool loss rate, -ln(cos(flip_angle)) / TR
    double sin_flip;  // the share of Mzf the readout sees
};

inline Excitation excitation_terms(float flip_angle, float TR) noexcept {
    using signal_steps::widen;
    // The pulses drain the free pool like a continuous loss rate. sin and
    // cos of one argument: the compiler fetches both with one sincos call.
    const double flip = widen(flip_angle);
    const double cos_flip = std::cos(flip);
    return {to_single(-std::log(cos_flip) / widen(TR)), std::sin(flip)};
}

// One signal's saturation, at amplitude omega_1_rms (the parameters' own for
// the MT-weighted scan, 0 for the reference): everything but f.
struct Saturation {
    float Wb_s;  // bound-pool saturation rate times the duty cycle s
    float A;     // Wb s + R1b
    double H;    // 1 + Wf s / R1f + beta / R1f
};

inline Saturation saturation_terms(const SignalParameters &p, float s, float beta,
                                   float omega_1_rms) noexcept {
    using namespace signal_steps;
    // Saturation rates at full power: the free pool's from its Lorentzian
    // line, the bound pool's from its lineshape value G. Both pools relax
    // with the one measured rate: R1f = R1b = R1.
    const double w_over_offset = widen(omega_1_rms) / (two_pi * widen(p.delta_omega));
    const float Wf = to_single(w_over_offset * w_over_offset / widen(p.T2_free));
    const float Wb = to_single(widen(omega_1_rms * omega_1_rms) * pi * widen(p.G));
    const float Wb_s = Wb * s;
    return {Wb_s, Wb_s + p.R1, (1.0 + widen(Wf * s / p.R1)) + widen(beta / p.R1)};
}

// The exchange between the pools: f and R1 only.
struct Exchange {
    double one_minus_f;   // free-pool share of the equilibrium magnetization
    float exchange_term;  // R1b k / R1f, the first term of Y1
    float k_over_R1f;     // the exchange factor of Y2
    float backward_rate;  // k/F: exchange rate from bound to free
};

inline Exchange exchange_terms(float f, float R1) noexcept {
    using namespace signal_steps;
    const float R = exchange_rate_constant;
    const double one_minus_f = 1.0 - widen(f);
    // Forward rate k = R f / (1 - f): the product in single, the quotient
    // in double; F = f / (1 - f), the pool-size ratio bound to free.
    const float k = to_single(widen(R * f) / one_minus_f);
    const float F = to_single(widen(f) / one_minus_f);
    // The backward rate k/F equals R by definition (k = R F). As a quotient
    // it is 0/0 when there is no bound pool, so there the defining value is
    // used: the signal at f = 0 is then the single-pool one, and continuous
    // with small f. R1b k / R1f stays unreduced: the grouping fixes the
    // rounding.
    return {one_minus_f, R1 * k / R1, k / R1, F == 0.0f ? R : k / F};
}

// Closed-form steady state of the two coupled longitudinal rate equations:
// Y1/Y2 is the free-pool magnetization per unit free pool.
inline float steady_state_signal(const Saturation &sat, const Exchange &ex, float R1,
                                 double sin_flip) noexcept {
    using signal_steps::widen;
    const float Y1 = ex.exchange_term + sat.Wb_s + R1 + ex.backward_rate;
    const float P = ex.k_over_R1f * sat.A;
    const float B = sat.A + ex.backward_rate;
    const float Y2 = to_single(sat.H * widen(B) + widen(P));
    const float Mzf = to_single(ex.one_minus_f * widen(Y1) / widen(Y2));
    return to_single(widen(Mzf) * sin_flip);
}

// The residual's terms that do not depend on f: the measured ratio, the
// excitation, and the saturation of both scans (the reference scan is the
// same sequence without saturation power). A caller that evaluates the
// residual at many f builds them once.
struct ResidualTerms {
    double S_ratio;  // widened from single
    float R1;        // R1f = R1b
    double sin_flip;
    Saturation reference;  // omega_1_rms = 0
    Saturation saturated;  // omega_1_rms as given
};

// The excitation is that of p.flip_angle and p.TR, computed by the caller
// (voxels that share both can share it).
inline ResidualTerms residual_terms(float S_ratio, const SignalParameters &p,
                                    const Excitation &excitation) noexcept {
    const float s = p.duration / p.TR;  // duty cycle of the saturation, in single
    return {signal_steps::widen(S_ratio), p.R1, excitation.sin_flip,
            saturation_terms(p, s, excitation.beta, 0.0f),
            saturation_terms(p, s, excitation.beta, p.omega_1_rms)};
}

// The same terms from the parameters one by one, in the order of model().
inline ResidualTerms residual_terms(float S_ratio, float R1, float T2_free, float delta_omega,
                                    float omega_1_rms, float G, float TR, float duration,
                                    const Excitation &excitation) noexcept {
    // The excitation carries the flip angle; these terms do not read it.
    const float unread = std::numeric_limits<float>::quiet_NaN();
    return residual_terms(
        S_ratio, signal_parameters(R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, unread),
        excitation);
}

// Measured ratio minus the predicted one, S_mt/S_ref, at f: the two signals
// in single, their quotient and the difference in double. NaN when the
// reference signal is zero (no excitation: there is no ratio).
inline double residual(const ResidualTerms &t, float f) noexcept {
    using signal_steps::widen;
    const Exchange exchange = exchange_terms(f, t.R1);
    const float S_ref = steady_state_signal(t.reference, exchange, t.R1, t.sin_flip);
    const float S_mt = steady_state_signal(t.saturated, exchange, t.R1, t.sin_flip);
    if (S_ref == 0.0f) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return t.S_ratio - widen(S_mt) / widen(S_ref);
}

// Pulsed steady-state signal of a spoiled gradient echo with off-resonance
// saturation in every repetition, for free and bound pools exchanging
// magnetization (the bound pool holding the fraction f).
float newRamani_corr(float f, const SignalParameters &p) noexcept;

// Measured MT ratio minus the predicted one, S_mt/S_ref; its zero in f is
// the bound-pool fraction that explains the measurement. NaN when the
// reference signal is zero.
double model(float f, float S_ratio, float R1, float T2_free, float delta_omega, float omega_1_rms,
             float G, float TR, float duration, float flip_angle) noexcept;

}  // namespace tavni::mt_map
