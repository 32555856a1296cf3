// The verdict of a fraction fit on one voxel: the bound-pool fraction and
// what became of the voxel.
#pragma once

#include <cstdint>

namespace tavni::mt_map {

// What became of one voxel.
enum FitStatus : std::uint8_t {
    fit_solved = 0,         // f found (a zero at a bracket end included)
    fit_below_bracket = 1,  // no zero in the bracket; the end nearer a
                            // zero is the lower one
    fit_above_bracket = 2,  // no zero in the bracket; the upper end is nearer
    fit_invalid_input = 3,  // an input outside the physical domain, or the
                            // residual not finite where the search looked
    fit_masked = 4,         // excluded by the mask, not looked at
    fit_two_roots = 5,      // two zeros in the bracket; f is the smaller one
};

struct FractionFit {
    double f;  // NaN unless solved (or clipped)
    FitStatus status;
};

}  // namespace tavni::mt_map
