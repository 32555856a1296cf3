// Bound-pool fraction maps: in every voxel, the f at which the ratio
// residual model(f, ...) of mpf_core is zero.
//
// Plain numbers in and out; no interpreter types. The solver works on the
// single-precision values of f that model() itself sees, and evaluates the
// very same residual, bit for bit, only with every term that does not
// depend on f computed once per voxel.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "mpf_core.hpp"
#include "parallel.hpp"
#include "strided.hpp"

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
inline bool in_physical_domain(const FractionProblem &p, double b1 = 1.0) noexcept {
    // Every test is made (& rather than &&): without branches, a loop over
    // voxels can make them in vector registers.
    const bool finite = std::isfinite(p.S_ratio) & std::isfinite(p.R1) &
                        std::isfinite(p.T2_free) & std::isfinite(p.delta_omega) &
                        std::isfinite(p.omega_1_rms) & std::isfinite(p.G) &
                        std::isfinite(p.TR) & std::isfinite(p.duration) &
                        std::isfinite(p.flip_angle);
    // Rates, relaxation times and the lineshape are positive (G may vanish
    // far off resonance); the saturation pulse fits in its repetition; an
    // offset of zero leaves the free pool's saturation undefined; an
    // excitation of zero has no signal, and one of pi/2 or more a negative
    // (or zero) cosine in the loss rate beta. The double pi/2 lies between
    // the two singles around it, so the comparison in double excludes the
    // single nearest pi/2.
    constexpr double half_pi = signal_steps::pi / 2.0;
    return finite & (b1 > 0.0) & (p.R1 > 0.0f) & (p.T2_free > 0.0f) & (p.TR > 0.0f) &
           (p.duration >= 0.0f) & (p.duration <= p.TR) & (p.G >= 0.0f) &
           (p.delta_omega != 0.0f) & (p.flip_angle != 0.0f) &
           (std::fabs(signal_steps::widen(p.flip_angle)) < half_pi);
}

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

    // Both signals as (1 - f) (k + c) / (d + e k), 0 the reference and 1 the
    // saturated one, and Q = q2 k^2 + q1 k + q0.
    struct Quadratic {
        double c0, c1, d0, d1, e0, e1, q2, q1, q0;
    };
    // Q from the terms of a voxel (inline: the fast map evaluates it for
    // whole runs of voxels at once).
    static inline Quadratic quadratic(const ResidualTerms &terms) noexcept;

    // The residual in exact arithmetic at f, S_ratio - N(k)/D(k), for Q of a
    // voxel whose measured ratio is S_ratio; and whether a residual value
    // is within `units` units in the last single-precision place of the
    // predicted ratio (near_zero, without a FractionResidual).
    static double exact_residual(const Quadratic &q, double f) noexcept {
        const double k = signal_steps::exchange_rate_constant * f / (1.0 - f);
        const double Q = (q.q2 * k + q.q1) * k + q.q0;
        const double D = (q.d1 + q.e1 * k) * (k + q.c0);
        return -Q / D;
    }
    static bool within_rounding(double residual, double S_ratio, double units = 2.0) noexcept {
        // The predicted ratio is S_ratio - residual; a unit in its last
        // single-precision place is 2^-23 of it (at most). An infinite
        // residual would make the bound infinite too: it is no zero.
        return std::isfinite(residual) &
               (std::fabs(residual) <= units * 0x1p-23 * std::fabs(S_ratio - residual));
    }

    // This voxel's Q, and its measured ratio widened from single.
    Quadratic quadratic() const noexcept { return quadratic(terms_); }
    double S_ratio() const noexcept { return terms_.S_ratio; }

private:

    ResidualTerms terms_;
};

// Exact arithmetic: k/F = R and R1b = R1f, so for either signal Y1 = k + c
// and Y2 = d + e k with c = A + R, d = H (A + R), e = A/R1, and the
// predicted ratio is N(k)/D(k) = (k + c1)(d0 + e0 k) / ((d1 + e1 k)(k + c0)).
// S_ratio - N/D = -Q/D with the quadratic Q = N - S_ratio D. D > 0 for
// physical inputs, so the residual has the sign of -Q: it changes sign at
// each zero of Q, and where both lie in the bracket the vertex of Q lies
// between them.
inline FractionResidual::Quadratic FractionResidual::quadratic(const ResidualTerms &t) noexcept {
    const double R = signal_steps::exchange_rate_constant;
    const double r1 = t.R1;
    const double S = t.S_ratio;
    const double A0 = t.reference.A, A1 = t.saturated.A;
    Quadratic q;
    q.c0 = A0 + R;
    q.c1 = A1 + R;
    q.d0 = t.reference.H * q.c0;
    q.d1 = t.saturated.H * q.c1;
    q.e0 = A0 / r1;
    q.e1 = A1 / r1;
    q.q2 = q.e0 - S * q.e1;
    q.q1 = q.d0 + q.c1 * q.e0 - S * (q.d1 + q.e1 * q.c0);
    q.q0 = q.c1 * q.d0 - S * q.d1 * q.c0;
    return q;
}

// c ? a : b, picked bit by bit: both are computed whatever c is, so that
// the compiler cannot move either into a branch of its own (where a
// floating-point operation that may raise a flag has to stay) and a loop
// over voxels stays free of branches.
inline double pick(bool c, double a, double b) noexcept {
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(c);
    return double_of((bits_of(a) & mask) | (bits_of(b) & ~mask));
}

inline std::uint32_t pick(bool c, std::uint32_t a, std::uint32_t b) noexcept {
    const std::uint32_t mask = 0 - static_cast<std::uint32_t>(c);
    return (a & mask) | (b & ~mask);
}

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

// closed_form_fraction on Q of a voxel whose measured ratio is S_ratio;
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
    const S status_end =
        pick(invalid, S{fit_invalid_input},
             pick(at_lo | at_hi, S{fit_solved},
                  pick(below, S{fit_below_bracket}, S{fit_above_bracket})));
    const double f = pick(one, zeros.f, pick(invalid, nan, f_end));
    const S status = pick(two, S{fit_two_roots}, pick(one, S{fit_solved}, status_end));
    return {f, static_cast<FitStatus>(status)};
}

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

// The fast way on a run of neighbouring voxels: each one's inputs as the
// model sees them (in single precision, the transmit field applied), its
// transmit field and whether it is fitted (not masked).
struct ClosedFormRun {
    static constexpr std::size_t size = 256;
    float values[FractionMapInputs::count][size];
    double b1[size];
    std::uint32_t fitted[size];  // 0 or 1; as wide as a float, as the loop's
                                 // narrowest type sets how many voxels go
                                 // in one vector register
};

// closed_form_fraction on the first n voxels of a run (n <= size), f and
// status of each: masked, invalid (outside in_physical_domain) or the
// verdict. The excitation's cosine and logarithm are evaluated in the run's
// own vector code, so f may differ from closed_form_fraction's on a
// FractionResidual by a few units in the last place of beta's rounding;
// the processor's vector width does not change a bit.
void closed_form_run(const ClosedFormRun &run, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept;

// The most common layout, read in place: the measured ratio, R1 and b1 per
// voxel as contiguous doubles (b1 all 1 where there is no transmit field
// map), every protocol value shared, in double as given (b1 scales flip
// angle and omega_1_rms before they are rounded to single). No mask.
struct ClosedFormMap {
    const double *S_ratio, *R1, *b1;
    double T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;
};

// closed_form_run on n voxels laid out so, f and status of each: the same
// bits as closed_form_run gives for the same values.
void closed_form_map(const ClosedFormMap &map, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept;

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
