// The bound-pool fraction of one voxel by a search on the model's own
// single-precision residual: reproducible to the bit.
#pragma once

#include "residual.hpp"
#include "status.hpp"

namespace tavni::mt_map {

// Finds f in [lo, hi] (single-precision values with 0 <= lo <= hi < 1).
// A solved f (fit_solved or fit_two_roots) is a single-precision value in
// the bracket where
//   - the residual is exactly zero, or
//   - the residual at its two single-precision neighbours is finite and of
//     opposite signs (a neighbour of lo or hi may lie one unit in the last
//     place outside the bracket), or
//   - f is a bracket end where the residual is finite and within rounding
//     of zero (near_zero).
// Non-finite residuals are never a zero nor one side of a sign change: met
// by the search, they make the voxel invalid. Both ends of the same sign
// with two zeros of the residual in between (possible at low offsets,
// where the residual is not monotone) give the smaller zero and
// fit_two_roots; so does a zero within rounding at an end (near_zero) where
// the exact residual also crosses zero inside the bracket
// (crossings_beside_ends): f is then lo, or at hi the crossing. Without a zero in the bracket the result is NaN, or with
// clip the bracket end nearer a zero. Rounding may carry the computed
// residual a few units across zero where the exact one only comes near it
// (two zeros all but one): such a crossing is two zeros, found wherever it
// lies unless the residual stays within rounding of zero over more than
// 2^20 single-precision values (a residual flat over a wide range; the
// dense values next to f = 0). A bracket so narrow, or a residual so flat,
// that the residual's sign alternates from one value of f to the next with
// no value in the bracket meeting the above is fit_invalid_input.
FractionFit solve_fraction(const FractionResidual &residual, float lo, float hi,
                           bool clip) noexcept;

// The bracket as single-precision values inside [lo, hi]: lo rounded up,
// hi rounded down.
void single_bracket(double lo, double hi, float &lo_single, float &hi_single) noexcept;

}  // namespace tavni::mt_map
