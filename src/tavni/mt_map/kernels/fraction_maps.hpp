// Bound-pool fraction maps: in every voxel, the f at which the ratio
// residual model(f, ...) of mpf_core is zero, on many threads.
//
// Plain numbers in and out; no interpreter types. Each input is read where
// it lies, in its own layout and precision (see strided.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel.hpp"
#include "strided.hpp"

namespace tavni::mt_map {

// A whole map. Each input is read where it lies, in its own layout (a
// broadcast input has stride 0 along the axes it is repeated over), in
// double or single precision; a value shared by every voxel has null
// strides.
struct FractionMapInputs {
    enum { S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle, count };
    // The mask proper, and one for each input that has voxels of its own
    // masked out (the transmit field included).
    static constexpr std::size_t max_masks = count + 2;
    MapShape shape;                 // of the map, and of f and status
    StridedArray values[count];     // float64 or float32
    StridedArray b1;                // relative transmit field; absent: 1
    StridedArray masks[max_masks];  // a voxel is fitted where every one is nonzero
    std::size_t mask_count = 0;
    double lo = 0.0, hi = 0.5;  // the bracket, 0 <= lo < hi < 1
    bool clip = false;          // no sign change: lo or hi as given, not NaN
    bool exact = true;          // false: closed_form_fraction, not solve_fraction
};

// Where the first derivatives of f at the solution go, C-contiguous of
// in.shape like f (FractionResidual::derivatives, with df/db1 per unit of
// b1); NaN where the voxel is not solved (clipped ones included).
struct FractionDerivativeMaps {
    double *S_ratio, *R1, *b1;
};

// Fits the voxels of flat indices [begin, end) (C order over in.shape)
// into f[begin, end) (and status, and the derivatives, unless null). The
// transmit field scales flip_angle and omega_1_rms (the products in
// double, then rounded to single like every other input).
void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end, double *f,
                        std::uint8_t *status,
                        const FractionDerivativeMaps *derivatives = nullptr) noexcept;

// Fits the whole map, f and status C-contiguous of in.shape, on up to
// `threads` threads, the calling one included, which asks keep_going
// between its blocks. Returns false when that said stop (some voxels are
// then left unwritten), true when every voxel is done.
bool fit_fraction_map(const FractionMapInputs &in, unsigned threads, double *f,
                      std::uint8_t *status, KeepGoing keep_going = {},
                      const FractionDerivativeMaps *derivatives = nullptr) noexcept;

}  // namespace tavni::mt_map
