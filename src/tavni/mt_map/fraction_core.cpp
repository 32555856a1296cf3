#include "fraction_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "mpf_core.hpp"
#include "parallel_core.hpp"

namespace tavni::mt_map {

namespace {

using signal_steps::exchange_rate_constant;
using signal_steps::widen;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Non-negative floats ordered as their bit patterns: consecutive integers
// are consecutive single-precision values.
inline std::uint32_t bits_of(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline float float_of(std::uint32_t b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

}  // namespace

// ---------------------------------------------------------------------------
// The residual: model()'s own steps, only grouped differently (everything
// but the exchange once per voxel instead of once per f).

FractionResidual::FractionResidual(const FractionProblem &p) noexcept
    : FractionResidual(p, excitation_terms(p.flip_angle, p.TR)) {}

FractionResidual::FractionResidual(const FractionProblem &p, const Excitation &e) noexcept
    : S_ratio_(widen(p.S_ratio)), R1_(p.R1), sin_flip_(e.sin_flip) {
    const float s = p.duration / p.TR;
    reference_ = saturation_terms(R1_, s, e.beta, p.T2_free, p.delta_omega, 0.0f, p.G);
    saturated_ = saturation_terms(R1_, s, e.beta, p.T2_free, p.delta_omega, p.omega_1_rms, p.G);
}

double FractionResidual::operator()(float f) const noexcept {
    const Exchange exchange = exchange_terms(f, R1_);
    const float S_ref = steady_state_signal(reference_, exchange, R1_, sin_flip_);
    const float S_mt = steady_state_signal(saturated_, exchange, R1_, sin_flip_);
    if (S_ref == 0.0f) {
        return nan;
    }
    return S_ratio_ - widen(S_mt) / widen(S_ref);
}

bool FractionResidual::near_zero(double residual, double units) const noexcept {
    // The predicted ratio is S_ratio - residual; a unit in its last single-
    // precision place is 2^-23 of it (at most).
    return std::fabs(residual) <= units * 0x1p-23 * std::fabs(S_ratio_ - residual);
}

// Exact arithmetic: k/F = R and R1b = R1f, so for either signal Y1 = k + c
// and Y2 = d + e k with c = A + R, d = H (A + R), e = A/R1, and the
// predicted ratio is N(k)/D(k) = (k + c1)(d0 + e0 k) / ((d1 + e1 k)(k + c0)).
// S_ratio - N/D = -Q/D with the quadratic Q = N - S_ratio D.
FractionResidual::Exact FractionResidual::exact(double lo, double hi) const noexcept {
    const double R = exchange_rate_constant;
    const double r1 = R1_;
    const double S = S_ratio_;
    const double A0 = reference_.A, A1 = saturated_.A;
    const double c0 = A0 + R, c1 = A1 + R;
    const double d0 = reference_.H * c0, d1 = saturated_.H * c1;
    const double e0 = A0 / r1, e1 = A1 / r1;
    const double q2 = e0 - S * e1;
    const double q1 = d0 + c1 * e0 - S * (d1 + e1 * c0);
    const double q0 = c1 * d0 - S * d1 * c0;

    Exact result{nan, false, false};
    // The residual at the ends, without dividing: its sign is that of
    // -Q D, and |residual| > t |N/D| is |Q| > t |N|.
    constexpr double clear_margin = 32.0 * 0x1p-23;
    bool clear = true;
    int signs[2];
    const double ends[2] = {lo, hi};
    for (int i = 0; i < 2; ++i) {
        const double k = R * ends[i] / (1.0 - ends[i]);
        const double Q = (q2 * k + q1) * k + q0;
        const double N = (k + c1) * (d0 + e0 * k);
        const double D = (d1 + e1 * k) * (k + c0);
        const double minus_QD = -Q * D;
        signs[i] = minus_QD > 0.0 ? 1 : minus_QD < 0.0 ? -1 : 0;
        clear = clear && std::isfinite(minus_QD) && std::fabs(Q) > clear_margin * std::fabs(N);
    }
    result.clear = clear && signs[0] * signs[1] < 0;
    result.lo_positive = signs[0] > 0;

    double roots[2] = {nan, nan};
    if (q2 == 0.0) {
        roots[0] = -q0 / q1;
    } else {
        const double discriminant = q1 * q1 - 4.0 * q2 * q0;
        if (!(discriminant >= 0.0)) {
            result.clear = false;
            return result;
        }
        // The two roots without cancellation.
        const double t = -0.5 * (q1 + std::copysign(std::sqrt(discriminant), q1));
        roots[0] = t / q2;
        roots[1] = q0 / t;
    }
    for (const double k : roots) {
        const double f = k / (R + k);  // k = R f / (1 - f)
        if (f >= lo && f <= hi) {
            result.f = f;
            break;
        }
    }
    result.clear = result.clear && !std::isnan(result.f);
    return result;
}

// ---------------------------------------------------------------------------
// The search.
//
// A residual evaluated in single precision is not monotone on the scale of
// one unit in the last place of f: the rounding of both signals makes it
// wobble by a few units around its zero. Bisection on adjacent values would
// find a sign change between f and its upper neighbour, but not necessarily
// between both neighbours of the returned f. So the search only ever
// evaluates values an even number of steps apart, and ends with two of
// opposite sign two steps apart: the value between them has them as its
// neighbours.

namespace {

FractionFit no_sign_change(double r_lo, double r_hi, float lo, float hi, bool clip) {
    // A zero, if any, lies beyond the end where the residual is smaller.
    const bool below = std::fabs(r_lo) <= std::fabs(r_hi);
    const double end = below ? widen(lo) : widen(hi);
    return {clip ? end : nan, below ? fit_below_bracket : fit_above_bracket};
}

inline bool same_sign(double x, double y) { return (x > 0.0) == (y > 0.0); }

inline FractionFit solved_at(std::uint32_t b) { return {widen(float_of(b)), fit_solved}; }

constexpr FractionFit invalid{nan, fit_invalid_input};

// Bisection on values a < b an even number of steps apart whose residuals
// ra, rb have opposite signs, neither zero.
FractionFit bisect(const FractionResidual &residual, std::uint32_t a, double ra,
                   std::uint32_t b) {
    while (b - a > 2) {
        std::uint32_t m;
        if (b - a < (1u << 22)) {
            m = a + (b - a) / 2;  // within a binade or so: the middle value
        } else {
            // Far apart (as 0 and 0.5 are): the middle in value, not in bits.
            m = bits_of(static_cast<float>(0.5 * (widen(float_of(a)) + widen(float_of(b)))));
            m = std::clamp(m, a + 2, b - 2);
        }
        m -= (m - a) % 2;
        const double r = residual(float_of(m));
        if (std::isnan(r)) {
            return invalid;
        }
        if (r == 0.0) {
            return solved_at(m);
        }
        if (same_sign(r, ra)) {
            a = m;
            ra = r;
        } else {
            b = m;
        }
    }
    return solved_at(a + 1);
}

// Steps from start, whose residual is r_start, towards the zero (direction
// +1 or -1) by 2, 8, 32, ... values, staying strictly between the limits,
// until the sign changes; then bisects. Returns false when it reached a
// limit first.
bool step_and_bisect(const FractionResidual &residual, std::uint32_t start, double r_start,
                     int direction, std::uint32_t lower_limit, std::uint32_t upper_limit,
                     FractionFit &fit) {
    std::uint32_t last = start, step = 2;
    double r_last = r_start;
    for (;;) {
        const bool room = direction > 0 ? upper_limit - last > step : last - lower_limit > step;
        if (!room) {
            return false;
        }
        const std::uint32_t p = direction > 0 ? last + step : last - step;
        const double r = residual(float_of(p));
        if (std::isnan(r)) {
            fit = invalid;
            return true;
        }
        if (r == 0.0) {
            fit = solved_at(p);
            return true;
        }
        if (!same_sign(r, r_last)) {
            fit = direction > 0 ? bisect(residual, last, r_last, p)
                                : bisect(residual, p, r, last);
            return true;
        }
        last = p;
        r_last = r;
        step = step < (1u << 28) ? step * 4 : step;
    }
}

}  // namespace

FractionFit solve_fraction(const FractionResidual &residual, float lo, float hi,
                           bool clip) noexcept {
    // Non-negative values are ordered as their bit patterns; -0 is not.
    if (lo == 0.0f) {
        lo = 0.0f;
    }
    const FractionResidual::Exact exact = residual.exact(widen(lo), widen(hi));
    const std::uint32_t lo_bits = bits_of(lo), hi_bits = bits_of(hi);
    FractionFit fit;

    // Fast path: the exact residual changes sign inside the bracket and is
    // far from zero at both ends (16 times the rounding allowance), so the
    // computed one is too: neither end can hold a zero within rounding, and
    // a sign change found inside is one in the bracket. Search from the
    // exact zero without evaluating the ends.
    if (exact.clear && hi_bits - lo_bits >= 6) {
        // The zero is mostly within a step or two of the exact one: look at
        // three values around it at once. Independent of each other, the
        // three evaluations overlap in the processor where a search one
        // after the other would wait for each.
        const std::uint32_t m =
            std::clamp(bits_of(static_cast<float>(exact.f)), lo_bits + 3, hi_bits - 3);
        const double r_below = residual(float_of(m - 2));
        const double r = residual(float_of(m));
        const double r_above = residual(float_of(m + 2));
        if (r == 0.0) {
            return solved_at(m);
        }
        const bool finite = !std::isnan(r_below) && !std::isnan(r) && !std::isnan(r_above);
        if (finite && r_below != 0.0 && r_above != 0.0) {
            if (!same_sign(r_below, r)) {
                return solved_at(m - 1);
            }
            if (!same_sign(r, r_above)) {
                return solved_at(m + 1);
            }
            const int toward = (r > 0.0) == exact.lo_positive ? +1 : -1;
            const std::uint32_t start = toward > 0 ? m + 2 : m - 2;
            if (step_and_bisect(residual, start, toward > 0 ? r_above : r_below, toward, lo_bits,
                                hi_bits, fit)) {
                return fit;
            }
        }
        // The computed residual disagrees with the exact one: the careful way.
    }

    const double r_lo = residual(lo);
    const double r_hi = residual(hi);
    if (std::isnan(r_lo) || std::isnan(r_hi)) {
        return invalid;
    }
    // A zero at an end within rounding is a zero: fluid has f = 0 exactly.
    if (residual.near_zero(r_lo)) {
        return {widen(lo), fit_solved};
    }
    if (residual.near_zero(r_hi)) {
        return {widen(hi), fit_solved};
    }
    if (same_sign(r_lo, r_hi)) {
        return no_sign_change(r_lo, r_hi, lo, hi, clip);
    }

    std::uint32_t a = lo_bits, b = hi_bits;
    double ra = r_lo, rb = r_hi;
    if ((b - a) % 2 != 0) {
        // Bring the bracket to an even number of steps.
        if (b - a == 1) {
            return solved_at(std::fabs(ra) < std::fabs(rb) ? a : b);
        }
        const double r = residual(float_of(b - 1));
        if (std::isnan(r)) {
            return invalid;
        }
        if (r == 0.0) {
            return solved_at(b - 1);
        }
        if (!same_sign(r, rb)) {
            // The sign changes in the last step below hi, whose upper
            // neighbour lies outside the bracket: the better of the two.
            return solved_at(std::fabs(r) < std::fabs(rb) ? b - 1 : b);
        }
        b = b - 1;
        rb = r;
    }
    if (b - a > 2 && !std::isnan(exact.f)) {
        std::uint32_t m = std::clamp(bits_of(static_cast<float>(exact.f)), a + 2, b - 2);
        m -= (m - a) % 2;
        const double r = residual(float_of(m));
        if (std::isnan(r)) {
            return invalid;
        }
        if (r == 0.0) {
            return solved_at(m);
        }
        const int toward = same_sign(r, ra) ? +1 : -1;
        if (step_and_bisect(residual, m, r, toward, a, b, fit)) {
            return fit;
        }
    }
    return bisect(residual, a, ra, b);
}

// ---------------------------------------------------------------------------
// Maps.

void single_bracket(double lo, double hi, float &lo_single, float &hi_single) noexcept {
    lo_single = to_single(lo);
    if (widen(lo_single) < lo) {
        lo_single = std::nextafter(lo_single, std::numeric_limits<float>::infinity());
    }
    hi_single = to_single(hi);
    if (widen(hi_single) > hi) {
        hi_single = std::nextafter(hi_single, -std::numeric_limits<float>::infinity());
    }
    if (hi_single < lo_single) {
        // No single-precision value in between: the nearest one to both.
        hi_single = lo_single = to_single(lo);
    }
}

void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end,
                        double *f, std::uint8_t *status) noexcept {
    float lo, hi;
    single_bracket(in.lo, in.hi, lo, hi);
    using I = FractionMapInputs;
    // Every array the voxels are read from, walked through together.
    constexpr std::size_t b1_at = I::count, masks_at = I::count + 1;
    constexpr std::size_t array_count = masks_at + I::max_masks;
    const StridedArray *arrays[array_count];
    for (int j = 0; j < I::count; ++j) {
        arrays[j] = &in.values[j];
    }
    arrays[b1_at] = &in.b1;
    for (std::size_t k = 0; k < I::max_masks; ++k) {
        arrays[masks_at + k] = &in.masks[k];
    }
    StridedCursor<array_count> at(in.shape, arrays, begin);
    // Neighbouring voxels mostly share flip angle and TR (and so the cosine,
    // sine and logarithm of the excitation terms), unless a transmit field
    // map scales the angle.
    Excitation excitation{};
    float excitation_flip_angle = 0.0f, excitation_TR = 0.0f;
    bool have_excitation = false;
    for (std::size_t i = begin; i < end; ++i, at.advance()) {
        bool fitted = true;
        for (std::size_t k = 0; k < in.mask_count; ++k) {
            fitted = fitted && in.masks[k].nonzero(at[masks_at + k]);
        }
        FractionFit fit;
        if (!fitted) {
            fit = {nan, fit_masked};
        } else {
            double v[I::count];
            for (int j = 0; j < I::count; ++j) {
                v[j] = in.values[j].value(at[static_cast<std::size_t>(j)]);
            }
            if (in.b1.present()) {
                const double b1 = in.b1.value(at[b1_at]);
                v[I::flip_angle] *= b1;
                v[I::omega_1_rms] *= b1;
            }
            float s[I::count];
            bool finite = true;
            for (int j = 0; j < I::count; ++j) {
                s[j] = to_single(v[j]);
                finite = finite && std::isfinite(s[j]);
            }
            if (!finite) {
                fit = {nan, fit_invalid_input};
            } else {
                const FractionProblem problem{s[I::S_ratio], s[I::R1], s[I::T2_free],
                                              s[I::delta_omega], s[I::omega_1_rms], s[I::G],
                                              s[I::TR], s[I::duration], s[I::flip_angle]};
                if (!have_excitation || bits_of(excitation_flip_angle) != bits_of(problem.flip_angle) ||
                    bits_of(excitation_TR) != bits_of(problem.TR)) {
                    excitation = excitation_terms(problem.flip_angle, problem.TR);
                    excitation_flip_angle = problem.flip_angle;
                    excitation_TR = problem.TR;
                    have_excitation = true;
                }
                fit = solve_fraction(FractionResidual(problem, excitation), lo, hi, in.clip);
                if (in.clip && fit.status != fit_solved && fit.status != fit_invalid_input) {
                    // The bracket end as given, not its single-precision value.
                    fit.f = fit.status == fit_below_bracket ? in.lo : in.hi;
                }
            }
        }
        f[i] = fit.f;
        if (status != nullptr) {
            status[i] = fit.status;
        }
    }
}

bool fit_fraction_map(const FractionMapInputs &in, unsigned threads, double *f,
                      std::uint8_t *status, KeepGoing keep_going) noexcept {
    return parallel_blocks(
        in.shape.size(), 1024, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            fit_fraction_range(in, begin, end, f, status);
        },
        keep_going);
}

}  // namespace tavni::mt_map
