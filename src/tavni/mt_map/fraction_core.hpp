// Bound-pool fraction maps: in every voxel, the f at which the ratio
// residual model(f, ...) of mpf_core is zero.
//
// Plain numbers in and out; no interpreter types. The solver works on the
// single-precision values of f that model() itself sees, and evaluates the
// very same residual, bit for bit, only with every term that does not
// depend on f computed once per voxel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mpf_core.hpp"
#include "parallel_core.hpp"
#include "strided_core.hpp"

namespace tavni::mt_map {

// What became of one voxel.
enum FitStatus : std::uint8_t {
    fit_solved = 0,          // f found (a zero at a bracket end included)
    fit_below_bracket = 1,   // no zero in the bracket; the end nearer a
                             // zero is the lower one
    fit_above_bracket = 2,   // no zero in the bracket; the upper end is nearer
    fit_invalid_input = 3,   // an input outside the physical domain, or the
                             // residual not finite where the search looked
    fit_masked = 4,          // excluded by the mask, not looked at
    fit_two_roots = 5,       // two zeros in the bracket; f is the smaller one
};

// The measurement and protocol of one voxel, already in single precision
// (model() takes its parameters so).
struct FractionProblem {
    float S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;
};

// Whether a voxel describes tissue and a sequence the model is meant for,
// judged on the single-precision values the model sees (after the transmit
// field b1 has scaled flip angle and saturation amplitude): every input
// finite, R1 > 0, T2_free > 0, TR > 0, 0 <= duration <= TR, G >= 0, an
// offset delta_omega != 0, b1 > 0 and 0 < |flip_angle| < pi/2 (the single
// nearest pi/2 lies above it and is outside). model() itself evaluates any
// input; the solver looks only at voxels inside.
bool in_physical_domain(const FractionProblem &p, double b1 = 1.0) noexcept;

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

private:
    // Both signals as (1 - f) (k + c) / (d + e k), 0 the reference and 1 the
    // saturated one, and Q = q2 k^2 + q1 k + q0.
    struct Quadratic {
        double c0, c1, d0, d1, e0, e1, q2, q1, q0;
    };
    // With S_ratio = S (the measured ratio, or a ratio near it).
    Quadratic quadratic(double S) const noexcept;

    ResidualTerms terms_;
};

struct FractionFit {
    double f;  // NaN unless solved (or clipped)
    FitStatus status;
};

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
// fit_two_roots. Without a zero in the bracket the result is NaN, or with
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
FractionFit closed_form_fraction(const FractionResidual &residual, double lo, double hi,
                                 bool clip) noexcept;

// A whole map. Each input is read where it lies, in its own layout (a
// broadcast input has stride 0 along the axes it is repeated over), in
// double or single precision; a value shared by every voxel has null
// strides.
struct FractionMapInputs {
    enum { S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle, count };
    // The mask proper, and one for each input that has voxels of its own
    // masked out (the transmit field included).
    static constexpr std::size_t max_masks = count + 2;
    MapShape shape;              // of the map, and of f and status
    StridedArray values[count];  // float64 or float32
    StridedArray b1;             // relative transmit field; absent: 1
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
void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end,
                        double *f, std::uint8_t *status,
                        const FractionDerivativeMaps *derivatives = nullptr) noexcept;

// Fits the whole map, f and status C-contiguous of in.shape, on up to
// `threads` threads, the calling one included, which asks keep_going
// between its blocks. Returns false when that said stop (some voxels are
// then left unwritten), true when every voxel is done.
bool fit_fraction_map(const FractionMapInputs &in, unsigned threads, double *f,
                      std::uint8_t *status, KeepGoing keep_going = {},
                      const FractionDerivativeMaps *derivatives = nullptr) noexcept;

// The bracket as single-precision values inside [lo, hi]: lo rounded up,
// hi rounded down.
void single_bracket(double lo, double hi, float &lo_single, float &hi_single) noexcept;

}  // namespace tavni::mt_map
