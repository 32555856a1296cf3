// R1 and M0 from two spoiled gradient-echo (SPGR) scans of different
// repetition times: in every voxel, the R1 at which the ratio of the two
// steady-state signals equals the measured one.
//
// Plain numbers in and out, in double precision; no interpreter types.
// Scans that share TR have R1 in closed form (a line through the points
// (S/tan a, S/sin a)); that case is the Python layer's business.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fraction_core.hpp"

namespace tavni::mt_map {

// One SPGR scan of one voxel: its signal, its actual flip angle (radians,
// already scaled by the transmit field) and its repetition time (s).
struct SpgrScan {
    double signal, flip_angle, TR;
};

// The interval of R1 (1/s) searched for a root: from a T1 of 1000 s to one
// of 20 ms, wider than any tissue, contrast agent included. Above it the
// ratio of two scans whose larger angle has the longer TR can turn (see
// relaxometry_core.cpp); below it the signals carry no usable R1.
constexpr double r1_search_lo = 1e-3;
constexpr double r1_search_hi = 50.0;

struct R1Fit {
    double R1;        // 1/s; NaN unless solved
    double M0;        // signal units; NaN unless solved
    FitStatus status; // fit_solved; fit_below_bracket (the measured ratio
                      // asks for an R1 below the interval: none, or too
                      // long a T1), fit_above_bracket (above it),
                      // fit_invalid_input (a signal not positive and
                      // finite, a flip angle outside (0, pi/2), a TR not
                      // positive, two scans of one contrast, or a ratio
                      // that turns inside the interval)
};

// R1 and M0 that explain both signals exactly:
//     S = M0 sin(a) (1 - E1) / (1 - E1 cos(a)),  E1 = exp(-R1 TR).
// R1 is found to the last few bits of a double; M0 is then the least-
// squares amplitude of both scans.
R1Fit fit_r1_two_scans(const SpgrScan &a, const SpgrScan &b) noexcept;

// A whole map. Signals are arrays of doubles read with a stride of 1
// element, or of 0 for one value shared by all voxels; the nominal flip
// angles and TRs are one value per scan.
struct R1MapInputs {
    const double *signal[2];
    std::ptrdiff_t signal_stride[2];
    double flip_angle[2];  // nominal, radians
    double TR[2];          // s
    const double *b1 = nullptr;  // relative transmit field; none: 1
    std::ptrdiff_t b1_stride = 0;
    const std::uint8_t *mask = nullptr;  // nonzero: fit the voxel; none: all
    std::ptrdiff_t mask_stride = 0;
};

// Fits voxels [begin, end) into R1, M0 and status (each may be null).
void fit_r1_range(const R1MapInputs &in, std::size_t begin, std::size_t end, double *R1,
                  double *M0, std::uint8_t *status) noexcept;

// Fits n voxels on up to `threads` threads, the calling one included.
void fit_r1_map(const R1MapInputs &in, std::size_t n, unsigned threads, double *R1, double *M0,
                std::uint8_t *status) noexcept;

}  // namespace tavni::mt_map
