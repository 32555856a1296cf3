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
    const double f = pick(one, zeros.f, pick(invalid, nan, f_end));
    const S status = pick(two, S{fit_two_roots}, pick(one, S{fit_solved}, status_end));
    return {f, static_cast<FitStatus>(status)};
}

// The fast way: the zero in [lo, hi] of the model in exact arithmetic, from
// its closed form (FractionResidual::exact) evaluated in double precision,
// without a search on the single-precision residual. The verdicts are
// solve_fraction's, made on the exact residual: two zeros in the bracket
// give the smaller one and fit_two_roots; none gives a bracket end where
// the residual is within rounding of zero (near_zero), else NaN (with clip
// the end nearer a zero) and the end beyond which the zero lies. f differs
// from solve_fraction's by the few units in the last single-precision place
// that the model's roundings move the zero, and is not promised to be the
// same to the bit on another machine or in another version.
inline FractionFit closed_form_fraction(const FractionResidual &residual, double lo, double hi,
                                        bool clip) noexcept {
    return closed_form_fraction(residual.quadratic(), residual.S_ratio(), lo, hi, clip);
}

}  // namespace tavni::mt_map
