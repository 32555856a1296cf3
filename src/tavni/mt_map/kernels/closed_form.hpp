// The zero of the residual in exact arithmetic, from its closed form (a
// quadratic in the exchange rate), and the fast way's verdict on a voxel
// built on it: no search on the single-precision residual.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "float_bits.hpp"
#include "residual.hpp"
#include "status.hpp"

namespace tavni::mt_map {

// The zeros of the residual in exact arithmetic inside [lo, hi]: f the
// smaller (NaN when none), f_upper the larger when both lie inside (NaN
// otherwise). Without branches, so that a loop over voxels runs in vector
// registers; the roots of Q without cancellation.
struct ClosedFormZeros {
    double f, f_upper;
};

inline ClosedFormZeros closed_form_zeros(const FractionResidual::Quadratic &q, double lo,
                                         double hi) noexcept {
    const double R = signal_steps::exchange_rate_constant;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double discriminant = q.q1 * q.q1 - 4.0 * q.q2 * q.q0;
    const bool real = discriminant >= 0.0;  // false for NaN too
    // (Of |discriminant|: its root counts only where that is the discriminant.)
    const double t = -0.5 * (q.q1 + std::copysign(std::sqrt(std::fabs(discriminant)), q.q1));
    // Both quotients are taken, and the ones that count picked after. Where
    // Q is linear (q2 = 0), t = -q1: the first is infinite and no f, the
    // second -q0/q1, Q's one zero.
    const double k0 = pick(real, t / q.q2, nan), k1 = pick(real, q.q0 / t, nan);
    const double f0 = k0 / (R + k0), f1 = k1 / (R + k1);  // k = R f / (1 - f)
    const bool in0 = (f0 >= lo) & (f0 <= hi), in1 = (f1 >= lo) & (f1 <= hi);
    const bool both = in0 & in1, first_smaller = !(f1 < f0);  // std::min's choice
    const double smaller = pick(first_smaller, f0, f1), larger = pick(f0 < f1, f1, f0);
    const double one = pick(in0, f0, pick(in1, f1, nan));
    return {pick(both, smaller, one), pick(both, larger, nan)};
}

// Whether the exact residual, within rounding of zero at one end of
// [lo, hi], also crosses zero inside the bracket: then the end's zero and
// the crossing are two zeros. Q's vertex lies between Q's two zeros, so the
// residual has there the sign it has between them: a vertex inside the
// bracket where the residual lies clearly (beyond `crossing_units` rounding
// units) on the side opposite to the far end's means a zero between the
// vertex and the far end, apart from the one at the near end. A vertex
// within rounding of zero is the two all but meeting: one zero. From the
// exact residuals r_lo and r_hi at the ends: beside_lo for a zero at lo
// (r_hi the far end's), beside_hi for one at hi; f_vertex where Q turns
// (NaN where it does not). Without branches, as closed_form_fraction.
constexpr double crossing_units = 8.0;
struct EndCrossings {
    bool beside_lo, beside_hi;
    double f_vertex;
};
inline EndCrossings crossings_beside_ends(const FractionResidual::Quadratic &q, double S_ratio,
                                          double lo, double hi, double r_lo, double r_hi) noexcept {
    // In k, without dividing (the fast map runs this for every voxel): with
    // r = -Q/D and the predicted ratio S_ratio - r = N/D (D > 0), r lies
    // within t units of it exactly where |Q| <= t |N|, and has the sign of
    // -Q. At the vertex Q = q0 + k q1 / 2.
    const double R = signal_steps::exchange_rate_constant;
    const double k_vertex = -q.q1 / (2.0 * q.q2);
    const double k_lo = R * lo / (1.0 - lo), k_hi = R * hi / (1.0 - hi);
    const double Q_vertex = q.q0 + 0.5 * k_vertex * q.q1;
    const double N_vertex = (k_vertex + q.c1) * (q.d0 + q.e0 * k_vertex);
    const bool clear = (k_vertex > k_lo) & (k_vertex < k_hi) & std::isfinite(Q_vertex) &
                       std::isfinite(N_vertex) &
                       (std::fabs(Q_vertex) > crossing_units * 0x1p-23 * std::fabs(N_vertex));
    const auto across = [&](double r_far) -> bool {
        return clear & std::isfinite(r_far) &
               !FractionResidual::within_rounding(r_far, S_ratio, crossing_units) &
               ((Q_vertex < 0.0) != (r_far > 0.0));
    };
    const double f_vertex = k_vertex / (R + k_vertex);  // k = R f / (1 - f)
    return {across(r_hi), across(r_lo), f_vertex};
}

// closed_form_fraction (below) on Q of a voxel whose measured ratio is S_ratio;
// without branches (inline: the fast map runs it on many voxels at once).
inline FractionFit closed_form_fraction(const FractionResidual::Quadratic &q, double S_ratio,
                                        double lo, double hi, bool clip) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const ClosedFormZeros zeros = closed_form_zeros(q, lo, hi);
    const bool two = !std::isnan(zeros.f_upper), one = !std::isnan(zeros.f);
    // No zero inside: one within rounding of an end is a zero there, as for
    // the search (fluid: f = 0); else the zero lies beyond the end where
    // the residual is smaller.
    const double r_lo = FractionResidual::exact_residual(q, lo);
    const double r_hi = FractionResidual::exact_residual(q, hi);
    const bool invalid = std::isnan(r_lo) | std::isnan(r_hi);
    const bool at_lo = FractionResidual::within_rounding(r_lo, S_ratio);
    const bool at_hi = !at_lo & FractionResidual::within_rounding(r_hi, S_ratio);
    const bool below = std::fabs(r_lo) <= std::fabs(r_hi);
    const double end = pick(below, lo, hi);
    const double f_end = pick(at_lo, lo, pick(at_hi, hi, pick(clip, end, nan)));
    using S = std::uint32_t;
    const S status_end = pick(invalid, S{fit_invalid_input},
                              pick(at_lo | at_hi, S{fit_solved},
                                   pick(below, S{fit_below_bracket}, S{fit_above_bracket})));
    // A zero within rounding at an end and a crossing inside are two zeros
    // (the crossing may be Q's one zero inside): at lo, lo is the smaller;
    // at hi, the crossing. The end's zero is judged here with the model's
    // rounding added to the allowance: the search judges it on the computed
    // residual, which that rounding moves a few units from the exact one (a
    // ratio made at f = 0 is within rounding of the computed residual
    // there, not always of the exact one).
    const EndCrossings crossings = crossings_beside_ends(q, S_ratio, lo, hi, r_lo, r_hi);
    const bool near_lo = FractionResidual::within_rounding(r_lo, S_ratio, crossing_units);
    const bool near_hi = FractionResidual::within_rounding(r_hi, S_ratio, crossing_units);
    const bool beside_lo = near_lo & crossings.beside_lo;
    const bool beside_hi = !beside_lo & near_hi & crossings.beside_hi;
    const double f = pick(beside_lo & !two, lo, pick(one, zeros.f, pick(invalid, nan, f_end)));
    const S status = pick(two | beside_lo | (one & beside_hi), S{fit_two_roots},
                          pick(one, S{fit_solved}, status_end));
    return {f, static_cast<FitStatus>(status)};
}

// The fast way: the zero in [lo, hi] of the model in exact arithmetic, from
// its closed form (FractionResidual::exact) evaluated in double precision,
// without a search on the single-precision residual. The verdicts are
// solve_fraction's, made on the exact residual: two zeros in the bracket
// give the smaller one and fit_two_roots, and so does a zero within
// rounding at an end (near_zero) with a crossing inside
// (crossings_beside_ends); none gives a bracket end where the residual is
// within rounding of zero, else NaN (with clip the end nearer a zero) and
// the end beyond which the zero lies. f differs from solve_fraction's by
// the few units in the last single-precision place that the model's
// roundings move the zero, in f as much as such a change of the ratio
// moves f: where the residual is flat in f (offsets of several kHz, little
// saturation), far more than a unit of f. It is not promised to be the same
// to the bit on another machine or in another version.
inline FractionFit closed_form_fraction(const FractionResidual &residual, double lo, double hi,
                                        bool clip) noexcept {
    return closed_form_fraction(residual.quadratic(), residual.S_ratio(), lo, hi, clip);
}

}  // namespace tavni::mt_map
