// The forward model over whole arrays: the ratio S_mt/S_ref that the
// two-pool model predicts for a bound-pool fraction f, element by element.
//
// Plain numbers in and out; no interpreter types. Each element is computed
// by the model's own steps in the model's own order: it is the residual
// model(f, 0, ...) of a measured ratio of 0, negated (which is exact), so
// the two agree to the bit, NaN included where the reference signal is
// zero.
#pragma once

#include <cstddef>

#include "mpf_core.hpp"
#include "parallel.hpp"
#include "strided.hpp"

namespace tavni::mt_map {

// S_mt/S_ref at f, with the excitation terms of p.flip_angle and p.TR
// already at hand (elements that share both can share them).
inline double predicted_ratio(float f, const SignalParameters &p,
                              const Excitation &excitation) noexcept {
    return -residual(residual_terms(0.0f, p, excitation), f);
}

// S_mt/S_ref at f: -model(f, 0, R1, ...), bit for bit.
inline double predicted_ratio(float f, const SignalParameters &p) noexcept {
    return predicted_ratio(f, p, excitation_terms(p.flip_angle, p.TR));
}

// The inputs over a map, each read where it lies, in its own layout and
// precision (see strided.hpp), and rounded to single as the model takes it.
struct PredictedRatioInputs {
    enum { f, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle, count };
    MapShape shape;              // of the map, and of the ratio
    StridedArray values[count];  // float64 or float32
};

// The ratio of every element, C-contiguous of in.shape, on up to `threads`
// threads, the calling one included, which asks keep_going between its
// blocks. Returns false when that said stop (some elements are then left
// unwritten), true when every element is done.
bool predicted_ratio_map(const PredictedRatioInputs &in, unsigned threads, double *ratio,
                         KeepGoing keep_going = {}) noexcept;

}  // namespace tavni::mt_map
