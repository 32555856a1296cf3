// Relaxometry of spoiled gradient-echo (SPGR) scans, voxel by voxel: the
// steady-state signal, R1 and M0 from two flip angles (shared or differing
// TR), and the MT saturation of Helms et al. 2008.
//
// Plain numbers in and out, in double precision; no interpreter types.
// Angles in radians, times in s, rates in 1/s, signals in any one unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fraction_core.hpp"

namespace tavni::mt_map {

// SPGR steady state: S = M0 sin(a) (1 - E1) / (1 - E1 cos a), E1 = exp(-R1 TR).
double spgr_signal(double M0, double R1, double flip_angle, double TR) noexcept;

// One SPGR scan of one voxel: its signal, its actual flip angle (already
// scaled by the transmit field) and its repetition time.
struct SpgrScan {
    double signal, flip_angle, TR;
};

// The interval of R1 (1/s) searched when the two TRs differ: from a T1 of
// 1000 s to one of 20 ms, wider than any tissue, contrast agent included.
// Above it the ratio of two scans whose larger angle has the longer TR can
// turn (see relaxometry_core.cpp).
constexpr double r1_search_lo = 1e-3;
constexpr double r1_search_hi = 50.0;

struct R1Fit {
    double R1;         // NaN unless solved
    double M0;         // NaN unless solved
    FitStatus status;  // fit_solved; fit_below_bracket (the signals ask for
                       // an R1 that is not positive, or below the searched
                       // interval), fit_above_bracket (E1 <= 0, or above
                       // it); fit_invalid_input (a signal not positive and
                       // finite, a flip angle outside (0, pi/2), a TR not
                       // positive, one contrast twice, a ratio that turns
                       // inside the interval)
};

// R1 and M0 that explain both signals exactly. Shared TR: the closed form
// of DESPOT1; differing TRs: the root of the signal ratio in R1, to the
// last bits of a double, and M0 the least-squares amplitude of both scans.
R1Fit fit_r1_two_scans(const SpgrScan &a, const SpgrScan &b) noexcept;

// MT saturation (a fraction, not percent) from the PD-, T1- and
// MT-weighted signals with their actual flip angles and TRs; NaN unless
// all three signals are positive.
double mt_saturation(const SpgrScan &pd, const SpgrScan &t1, const SpgrScan &mt) noexcept;

// ---------------------------------------------------------------------------
// Whole maps. Each input is an array of doubles read with a stride in
// elements: 1 for one value per voxel, 0 for one value shared by all.
struct Column {
    const double *values = nullptr;
    std::ptrdiff_t stride = 0;
    double operator[](std::size_t i) const noexcept {
        return values[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

// S[i] = spgr_signal(M0, R1, b1 * flip_angle, TR) (no b1: 1).
void spgr_signal_map(Column M0, Column R1, Column flip_angle, Column TR, Column b1,
                     std::size_t n, unsigned threads, double *S) noexcept;

struct R1MapInputs {
    Column signal[2];
    double flip_angle[2];  // nominal
    double TR[2];
    Column b1;                           // relative transmit field; none: 1
    const std::uint8_t *mask = nullptr;  // nonzero: fit the voxel; none: all
    std::ptrdiff_t mask_stride = 0;
};

// R1, M0 and status (each may be null) of n voxels.
void fit_r1_map(const R1MapInputs &in, std::size_t n, unsigned threads, double *R1, double *M0,
                std::uint8_t *status) noexcept;

// saturation[i] = 100 * mt_saturation(...) (percent units), the nominal
// angles scaled by b1 (no b1: 1) and, with C >= 0, by the empirical
// correction (1 - C) / (1 - C b1) of Weiskopf et al. 2013.
struct MTsatMapInputs {
    Column signal[3];      // PD-, T1-, MT-weighted
    double flip_angle[3];  // nominal
    double TR[3];
    Column b1;
    double correction = -1.0;  // C; negative: none
};
void mtsat_map(const MTsatMapInputs &in, std::size_t n, unsigned threads,
               double *saturation) noexcept;

}  // namespace tavni::mt_map
