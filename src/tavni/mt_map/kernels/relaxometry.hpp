// Relaxometry of spoiled gradient-echo (SPGR) scans, voxel by voxel: the
// steady-state signal, R1 and M0 from two flip angles (shared or differing
// TR), and the MT saturation of Helms et al. 2008.
//
// Plain numbers in and out, in double precision; no interpreter types.
// Angles in radians, times in s, rates in 1/s, signals in any one unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel.hpp"
#include "strided.hpp"

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
// The ratio of two scans whose larger angle has the longer TR can turn
// inside it (see relaxometry.cpp), and then explain the signals twice.
constexpr double r1_search_lo = 1e-3;
constexpr double r1_search_hi = 50.0;

// What became of one voxel's R1 fit. The codes are those the fraction fit
// uses for the like verdicts, so that maps of either read alike.
enum R1Status : std::uint8_t {
    r1_solved = 0,         // R1 and M0 found
    r1_below_range = 1,    // the signals ask for E1 = exp(-R1 TR) >= 1, an R1
                           // that is not positive (or, with differing TRs,
                           // one below the searched interval)
    r1_above_range = 2,    // the signals ask for E1 <= 0, an infinite R1 (or
                           // one above the searched interval)
    r1_invalid_input = 3,  // a signal not positive and finite, a flip angle
                           // outside (0, pi/2), a TR not positive, one
                           // contrast twice
    r1_masked = 4,         // excluded by a mask, not looked at
    r1_two_roots = 5,      // differing TRs whose ratio turns inside the
                           // searched interval and explains the signals on
                           // both sides of the turn: R1 the smaller root
};

struct R1Fit {
    double R1;  // NaN unless solved (or two roots)
    double M0;  // NaN unless solved (or two roots)
    R1Status status;
};

// R1 and M0 that explain both signals exactly. Shared TR: the closed form
// of DESPOT1; differing TRs: the root of the signal ratio in R1 (to a
// relative error of about 1e-12), and M0 the least-squares amplitude of
// both scans. Where the ratio turns inside the searched interval, each side
// of the turn is searched: a root on one side is solved, roots on both are
// r1_two_roots with the smaller.
R1Fit fit_r1_two_scans(const SpgrScan &a, const SpgrScan &b) noexcept;

// MT saturation (a fraction, not percent) from the PD-, T1- and
// MT-weighted signals with their actual flip angles and TRs; NaN unless
// all three signals are positive.
double mt_saturation(const SpgrScan &pd, const SpgrScan &t1, const SpgrScan &mt) noexcept;

// ---------------------------------------------------------------------------
// Whole maps. Outputs are C-contiguous of `shape`; each input is read where
// it lies, in its own layout and precision (see strided.hpp); an absent
// transmit field is 1. Each runs on up to `threads` threads, the calling one
// included, which asks keep_going between its blocks; false when that said
// stop (outputs then partly unwritten), true when every voxel is done.

// S = spgr_signal(M0, R1, b1 * flip_angle, TR); NaN where M0 or R1 is NaN.
bool spgr_signal_map(const MapShape &shape, const StridedArray &M0, const StridedArray &R1,
                     const StridedArray &flip_angle, const StridedArray &TR, const StridedArray &b1,
                     unsigned threads, double *S, KeepGoing keep_going = {}) noexcept;

// How the SPGR signal of each voxel moves with R1 and the transmit field,
// relative to the signal (the uncertainty's first-order chain), with
// a = b1 flip_angle and E = exp(-R1 TR):
//     d ln S / d R1    = TR E (1 - cos a) / ((1 - E) (1 - cos a E)),
//     d ln S / d ln b1 = a (cot a - E sin a / (1 - cos a E)).
// d_log_b1 may be null (it costs a sine per voxel).
bool spgr_log_derivatives_map(const MapShape &shape, const StridedArray &R1,
                              const StridedArray &flip_angle, const StridedArray &TR,
                              const StridedArray &b1, unsigned threads, double *d_R1,
                              double *d_log_b1, KeepGoing keep_going = {}) noexcept;

struct R1MapInputs {
    static constexpr std::size_t max_masks = 4;
    MapShape shape;
    StridedArray signal[2];
    double flip_angle[2];  // nominal
    double TR[2];
    StridedArray b1;
    StridedArray masks[max_masks];  // a voxel is fitted where every one is nonzero
    std::size_t mask_count = 0;
};

// R1, M0 and status (each may be null) of every voxel.
bool fit_r1_map(const R1MapInputs &in, unsigned threads, double *R1, double *M0,
                std::uint8_t *status, KeepGoing keep_going = {}) noexcept;

// 100 * mt_saturation(...) (percent units) with the nominal angles scaled
// by b1 and, for C >= 0, the empirical correction (1 - C) / (1 - C b1) of
// Weiskopf et al. 2013.
struct MTsatMapInputs {
    MapShape shape;
    StridedArray signal[3];  // PD-, T1-, MT-weighted
    double flip_angle[3];    // nominal
    double TR[3];
    StridedArray b1;
    double correction = -1.0;  // C; negative: none
};
bool mtsat_map(const MTsatMapInputs &in, unsigned threads, double *saturation,
               KeepGoing keep_going = {}) noexcept;

}  // namespace tavni::mt_map
