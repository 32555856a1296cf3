// The ratio residual of one voxel, model(f, S_ratio, ...) of mpf_core, as a
// function of f: the function whose zero in f is the bound-pool fraction.
//
// Plain numbers in and out; no interpreter types. The residual is the very
// same as model()'s, bit for bit, only with every term that does not
// depend on f computed once per voxel; its closed form in exact arithmetic
// starts the search and gives the fast way and the derivatives.
#pragma once

#include <cmath>

#include "mpf_core.hpp"

namespace tavni::mt_map {

// The measurement and protocol of one voxel, already in single precision
// (model() takes its parameters so).
struct FractionProblem {
    float S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;

    // The parameters of the signal: all but the measured ratio.
    SignalParameters signal() const noexcept {
        return signal_parameters(R1, T2_free, delta_omega, omega_1_rms, G, TR, duration,
                                 flip_angle);
    }
};

// Whether a voxel describes tissue and a sequence the model is meant for,
// judged on the single-precision values the model sees (after the transmit
// field b1 has scaled flip angle and saturation amplitude): every input
// finite, R1 > 0, T2_free > 0, TR > 0, 0 <= duration <= TR, G >= 0, an
// offset delta_omega != 0, b1 > 0 and 0 < |flip_angle| < pi/2 (the single
// nearest pi/2 lies above it and is outside). model() itself evaluates any
// input; the solver looks only at voxels inside.
inline bool in_physical_domain(const FractionProblem &p, double b1 = 1.0) noexcept {
    // Every test is made (& rather than &&): without branches, a loop over
    // voxels can make them in vector registers.
    const bool finite = std::isfinite(p.S_ratio) & std::isfinite(p.R1) & std::isfinite(p.T2_free) &
                        std::isfinite(p.delta_omega) & std::isfinite(p.omega_1_rms) &
                        std::isfinite(p.G) & std::isfinite(p.TR) & std::isfinite(p.duration) &
                        std::isfinite(p.flip_angle);
    // Rates, relaxation times and the lineshape are positive (G may vanish
    // far off resonance); the saturation pulse fits in its repetition; an
    // offset of zero leaves the free pool's saturation undefined; an
    // excitation of zero has no signal, and one of pi/2 or more a negative
    // (or zero) cosine in the loss rate beta. The double pi/2 lies between
    // the two singles around it, so the comparison in double excludes the
    // single nearest pi/2.
    constexpr double half_pi = signal_steps::pi / 2.0;
    return finite & (b1 > 0.0) & (p.R1 > 0.0f) & (p.T2_free > 0.0f) & (p.TR > 0.0f) &
           (p.duration >= 0.0f) & (p.duration <= p.TR) & (p.G >= 0.0f) & (p.delta_omega != 0.0f) &
           (p.flip_angle != 0.0f) & (std::fabs(signal_steps::widen(p.flip_angle)) < half_pi);
}

// The residual model(f, S_ratio, ...) of one voxel as a function of f, with
// every term that does not depend on f computed once (mpf_core's
// ResidualTerms).
class FractionResidual {
public:
    explicit FractionResidual(const FractionProblem &p) noexcept;
    // With the excitation terms of p.flip_angle and p.TR already at hand
    // (voxels that share flip angle and TR can share them).
    FractionResidual(const FractionProblem &p, const Excitation &e) noexcept;

    // Equal to the bit to model(f, S_ratio, R1, ...).
    double operator()(float f) const noexcept { return residual(terms_, f); }

    // Whether a residual value is within single-precision rounding of zero:
    // finite, and within `units` units in the last single-precision place
    // of the predicted ratio. S_ratio itself is rounded to single, and so
    // are both signals whose quotient it is compared with: two units by
    // default. An infinite residual is never near zero.
    bool near_zero(double residual, double units = 2.0) const noexcept;

    // The same model in exact arithmetic, where it has a closed form: with
    // k the forward exchange rate, each signal is proportional to
    // (1 - f) (k + c) / (d + e k), and the predicted ratio is a ratio of
    // quadratics in k; the residual has the sign of -Q(k) for a quadratic
    // Q. The single-precision roundings of model() move a zero of the
    // computed residual by a few units in the last place of f only, so the
    // exact zeros start the search next to their ends.
    struct Exact {
        double f;          // the smaller zero in [lo, hi]; NaN when none
        double f_upper;    // the larger one when both zeros of Q lie in
                           // [lo, hi]; NaN otherwise
        double f_vertex;   // where Q turns, between the two zeros
        bool clear;        // the residual changes sign between the ends and
                           // is at both at least 32 units in the last place
                           // of the predicted ratio away from zero
        bool lo_positive;  // the residual is positive at lo
    };
    // Without for_search only the zeros (f and f_upper): the rest is NaN or
    // false.
    Exact exact(double lo, double hi, bool for_search = true) const noexcept;

    // Where in [lo, hi] the exact residual has the sign opposite to
    // `positive`, or lies within `units` units in the last single-precision
    // place of the ratio of zero: the only values of f where the computed
    // residual, which rounding moves a few units from the exact one, can
    // have that opposite sign. At most two intervals, written to spans;
    // returns how many. Everywhere, where the closed form overflows.
    struct Span {
        double lo, hi;
    };
    int rounding_reach(double lo, double hi, bool positive, double units,
                       Span spans[2]) const noexcept;

    // The residual at f in exact arithmetic: S_ratio - N(k)/D(k).
    double exact_residual(double f) const noexcept;

    // How the zero f moves with the measurement and the two maps, to first
    // order, at a solution f: by the implicit function theorem on the exact-
    // arithmetic residual r = S_ratio - N(k)/D(k) above,
    //     df/dx = -(dr/dx) / (dr/df).
    // Analytic: the logarithmic derivatives of the four linear factors of
    // N/D. b1 scales the flip angle and omega_1_rms together; the derivative
    // is taken with respect to ln b1, so it needs no b1 (df/db1 is it over
    // b1). `flip_angle` and `TR` are the voxel's (b1 applied). NaN where f
    // does not move with the ratio (a flat residual).
    struct Derivatives {
        double S_ratio;  // df/dS_ratio
        double R1;       // df/dR1, s
        double log_b1;   // df/d(ln b1)
    };
    Derivatives derivatives(double f, float flip_angle, float TR) const noexcept;

    // Both signals as (1 - f) (k + c) / (d + e k), 0 the reference and 1 the
    // saturated one, and Q = q2 k^2 + q1 k + q0.
    struct Quadratic {
        double c0, c1, d0, d1, e0, e1, q2, q1, q0;
    };
    // Q from the terms of a voxel (inline: the fast map evaluates it for
    // whole runs of voxels at once).
    static inline Quadratic quadratic(const ResidualTerms &terms) noexcept;

    // The residual in exact arithmetic at f, S_ratio - N(k)/D(k), for Q of a
    // voxel whose measured ratio is S_ratio; and whether a residual value
    // is within `units` units in the last single-precision place of the
    // predicted ratio (near_zero, without a FractionResidual).
    static double exact_residual(const Quadratic &q, double f) noexcept {
        const double k = signal_steps::exchange_rate_constant * f / (1.0 - f);
        const double Q = (q.q2 * k + q.q1) * k + q.q0;
        const double D = (q.d1 + q.e1 * k) * (k + q.c0);
        return -Q / D;
    }
    static bool within_rounding(double residual, double S_ratio, double units = 2.0) noexcept {
        // The predicted ratio is S_ratio - residual; a unit in its last
        // single-precision place is 2^-23 of it (at most). An infinite
        // residual would make the bound infinite too: it is no zero.
        return std::isfinite(residual) &
               (std::fabs(residual) <= units * 0x1p-23 * std::fabs(S_ratio - residual));
    }

    // This voxel's Q, and its measured ratio widened from single.
    Quadratic quadratic() const noexcept { return quadratic(terms_); }
    double S_ratio() const noexcept { return terms_.S_ratio; }

private:
    ResidualTerms terms_;
};

// Exact arithmetic: k/F = R and R1b = R1f, so for either signal Y1 = k + c
// and Y2 = d + e k with c = A + R, d = H (A + R), e = A/R1, and the
// predicted ratio is N(k)/D(k) = (k + c1)(d0 + e0 k) / ((d1 + e1 k)(k + c0)).
// S_ratio - N/D = -Q/D with the quadratic Q = N - S_ratio D. D > 0 for
// physical inputs, so the residual has the sign of -Q: it changes sign at
// each zero of Q, and where both lie in the bracket the vertex of Q lies
// between them.
inline FractionResidual::Quadratic FractionResidual::quadratic(const ResidualTerms &t) noexcept {
    const double R = signal_steps::exchange_rate_constant;
    const double r1 = t.R1;
    const double S = t.S_ratio;
    const double A0 = t.reference.A, A1 = t.saturated.A;
    Quadratic q;
    q.c0 = A0 + R;
    q.c1 = A1 + R;
    q.d0 = t.reference.H * q.c0;
    q.d1 = t.saturated.H * q.c1;
    q.e0 = A0 / r1;
    q.e1 = A1 / r1;
    q.q2 = q.e0 - S * q.e1;
    q.q1 = q.d0 + q.c1 * q.e0 - S * (q.d1 + q.e1 * q.c0);
    q.q0 = q.c1 * q.d0 - S * q.d1 * q.c0;
    return q;
}

}  // namespace tavni::mt_map
