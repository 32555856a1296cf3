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

namespace tavni::mt_map {

// What became of one voxel.
enum FitStatus : std::uint8_t {
    fit_solved = 0,          // f found (a zero at a bracket end included)
    fit_below_bracket = 1,   // no sign change in the bracket; the end nearer
                             // a zero is the lower one
    fit_above_bracket = 2,   // no sign change; the upper end is nearer
    fit_invalid_input = 3,   // an input not finite, or the model undefined
    fit_masked = 4,          // excluded by the mask, not looked at
};

// The measurement and protocol of one voxel, already in single precision
// (model() takes its parameters so).
struct FractionProblem {
    float S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;
};

// The residual model(f, S_ratio, ...) of one voxel as a function of f.
class FractionResidual {
public:
    explicit FractionResidual(const FractionProblem &p) noexcept;
    // With the excitation terms of p.flip_angle and p.TR already at hand
    // (voxels that share flip angle and TR can share them).
    FractionResidual(const FractionProblem &p, const Excitation &e) noexcept;

    // Equal to the bit to model(f, S_ratio, R1, ...).
    double operator()(float f) const noexcept;

    // Whether a residual value is within single-precision rounding of zero:
    // within `units` units in the last single-precision place of the
    // predicted ratio. S_ratio itself is rounded to single, and so are both
    // signals whose quotient it is compared with: two units by default.
    bool near_zero(double residual, double units = 2.0) const noexcept;

    // The same model in exact arithmetic, where it has a closed form: with
    // k the forward exchange rate, each signal is proportional to
    // (1 - f) (k + c) / (d + e k), and the predicted ratio is a ratio of
    // quadratics in k. The single-precision roundings of model() move the
    // zero of the computed residual by a few units in the last place of f
    // only, so the exact zero starts the search next to its end.
    struct Exact {
        double f;          // zero in [lo, hi]; NaN when there is none
        bool clear;        // the residual changes sign between the ends and
                           // is at both at least 32 units in the last place
                           // of the predicted ratio away from zero
        bool lo_positive;  // the residual is positive at lo
    };
    Exact exact(double lo, double hi) const noexcept;

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
    double S_ratio_;
    float R1_;
    double sin_flip_;
    Saturation reference_, saturated_;  // the two signals' terms without f
};

struct FractionFit {
    double f;  // NaN unless solved (or clipped)
    FitStatus status;
};

// Finds f in [lo, hi] (single-precision values with 0 <= lo <= hi < 1)
// where the residual changes sign: the residual at the single-precision
// neighbours of the returned f differs in sign, unless the residual is
// exactly zero at f or f is a bracket end where the residual is within
// rounding of zero. Without a sign change the result is NaN, or with
// clip the bracket end nearer a zero.
FractionFit solve_fraction(const FractionResidual &residual, float lo, float hi,
                           bool clip) noexcept;

// A whole map. Each input is an array of doubles read with a stride of 1
// element, or of 0 for one value shared by all voxels.
struct FractionMapInputs {
    enum { S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle, count };
    const double *values[count];
    std::ptrdiff_t strides[count];
    const double *b1 = nullptr;  // relative transmit field; none: 1
    std::ptrdiff_t b1_stride = 0;
    const std::uint8_t *mask = nullptr;  // nonzero: fit the voxel; none: all
    std::ptrdiff_t mask_stride = 0;
    double lo = 0.0, hi = 0.5;  // the bracket, 0 <= lo < hi < 1
    bool clip = false;          // no sign change: lo or hi as given, not NaN
};

// Where the first derivatives of f at the solution go, one value per voxel
// (FractionResidual::derivatives, with df/db1 per unit of b1); NaN where
// the voxel is not solved (clipped ones included).
struct FractionDerivativeMaps {
    double *S_ratio, *R1, *b1;
};

// Fits voxels [begin, end) into f (and status, and the derivatives, unless
// null). The transmit field scales flip_angle and omega_1_rms (the products
// in double, then rounded to single like every other input).
void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end,
                        double *f, std::uint8_t *status,
                        const FractionDerivativeMaps *derivatives = nullptr) noexcept;

// Fits n voxels on up to `threads` threads, the calling one included.
void fit_fraction_map(const FractionMapInputs &in, std::size_t n, unsigned threads,
                      double *f, std::uint8_t *status,
                      const FractionDerivativeMaps *derivatives = nullptr) noexcept;

// The bracket as single-precision values inside [lo, hi]: lo rounded up,
// hi rounded down.
void single_bracket(double lo, double hi, float &lo_single, float &hi_single) noexcept;

}  // namespace tavni::mt_map
