#include "fraction_core.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "mpf_core.hpp"

namespace tavni::mt_map {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr float exchange_rate_constant = 19.0f;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline double widen(float x) { return static_cast<double>(x); }

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
// The residual. Every expression below is the one model() evaluates, with
// the same operands in the same order and precision; only where it is
// evaluated differs (once per voxel instead of once per f).

FractionResidual::FractionResidual(const FractionProblem &p) noexcept
    : S_ratio_(widen(p.S_ratio)), R1_(p.R1) {
    const float s = p.duration / p.TR;
    const double flip = widen(p.flip_angle);
    const double cos_flip = std::cos(flip);
    sin_flip_ = std::sin(flip);
    const float beta = to_single(-std::log(cos_flip) / widen(p.TR));
    const double beta_term = widen(beta / R1_);
    auto pool = [&](float omega_1_rms) {
        const double w_over_offset = widen(omega_1_rms) / (two_pi * widen(p.delta_omega));
        const float Wf = to_single(w_over_offset * w_over_offset / widen(p.T2_free));
        const float Wb = to_single(widen(omega_1_rms * omega_1_rms) * pi * widen(p.G));
        Pool pl;
        pl.Wb_s = Wb * s;
        pl.A = pl.Wb_s + R1_;
        pl.H = (1.0 + widen(Wf * s / R1_)) + beta_term;
        return pl;
    };
    reference_ = pool(0.0f);
    saturated_ = pool(p.omega_1_rms);
}

float FractionResidual::signal(const Pool &pool, double one_minus_f, float exchange_term,
                               float k_over_R1f, float backward_rate) const noexcept {
    const float Y1 = exchange_term + pool.Wb_s + R1_ + backward_rate;
    const float P = k_over_R1f * pool.A;
    const float B = pool.A + backward_rate;
    const float Y2 = to_single(pool.H * widen(B) + widen(P));
    const float Mzf = to_single(one_minus_f * widen(Y1) / widen(Y2));
    return to_single(widen(Mzf) * sin_flip_);
}

double FractionResidual::operator()(float f) const noexcept {
    const float R = exchange_rate_constant;
    const double one_minus_f = 1.0 - widen(f);
    const float k = to_single(widen(R * f) / one_minus_f);
    const float F = to_single(widen(f) / one_minus_f);
    const float backward_rate = F == 0.0f ? R : k / F;
    const float exchange_term = R1_ * k / R1_;
    const float k_over_R1f = k / R1_;
    const float S_ref = signal(reference_, one_minus_f, exchange_term, k_over_R1f, backward_rate);
    const float S_mt = signal(saturated_, one_minus_f, exchange_term, k_over_R1f, backward_rate);
    if (S_ref == 0.0f) {
        return nan;
    }
    return S_ratio_ - widen(S_mt) / widen(S_ref);
}

bool FractionResidual::near_zero(double residual) const noexcept {
    // The predicted ratio is S_ratio - residual; two units of its last
    // single-precision place.
    return std::fabs(residual) <= 0x1p-22 * std::fabs(S_ratio_ - residual);
}

double FractionResidual::first_guess(double lo, double hi) const noexcept {
    // In exact arithmetic, with k the forward exchange rate (f = k/(R + k))
    // and the backward rate k/F = R, each signal is proportional to
    // (1 - f) (k + c) / (d + e k) with c = A + R, d = H (A + R), e = A/R1.
    // The predicted ratio S_mt/S_ref is then a ratio of quadratics in k,
    // and S_ratio = S_mt/S_ref a quadratic equation q2 k^2 + q1 k + q0 = 0.
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
    double roots[2] = {nan, nan};
    if (q2 == 0.0) {
        roots[0] = -q0 / q1;
    } else {
        const double discriminant = q1 * q1 - 4.0 * q2 * q0;
        if (!(discriminant >= 0.0)) {
            return nan;
        }
        // The two roots without cancellation.
        const double t = -0.5 * (q1 + std::copysign(std::sqrt(discriminant), q1));
        roots[0] = t / q2;
        roots[1] = q0 / t;
    }
    for (const double k : roots) {
        const double f = k / (R + k);
        if (f >= lo && f <= hi) {
            return f;
        }
    }
    return nan;
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

constexpr int max_evaluations = 200;  // a bisection needs fewer than 64

}  // namespace

FractionFit solve_fraction(const FractionResidual &residual, float lo, float hi,
                           bool clip) noexcept {
    const double r_lo = residual(lo);
    const double r_hi = residual(hi);
    if (std::isnan(r_lo) || std::isnan(r_hi)) {
        return {nan, fit_invalid_input};
    }
    // A zero at an end within rounding is a zero: fluid has f = 0 exactly.
    if (residual.near_zero(r_lo)) {
        return {widen(lo), fit_solved};
    }
    if (residual.near_zero(r_hi)) {
        return {widen(hi), fit_solved};
    }
    if ((r_lo > 0.0) == (r_hi > 0.0)) {
        return no_sign_change(r_lo, r_hi, lo, hi, clip);
    }

    std::uint32_t a = bits_of(lo), b = bits_of(hi);
    double ra = r_lo, rb = r_hi;
    if ((b - a) % 2 != 0) {
        // Bring the bracket to an even number of steps.
        if (b - a == 1) {
            return {widen(float_of(std::fabs(ra) < std::fabs(rb) ? a : b)), fit_solved};
        }
        const double r = residual(float_of(b - 1));
        if (std::isnan(r)) {
            return {nan, fit_invalid_input};
        }
        if (r == 0.0) {
            return {widen(float_of(b - 1)), fit_solved};
        }
        if ((r > 0.0) == (rb > 0.0)) {
            b = b - 1;
            rb = r;
        } else {
            // The sign changes in the last step below hi, whose upper
            // neighbour lies outside the bracket: the better of the two.
            return {widen(float_of(std::fabs(r) < std::fabs(rb) ? b - 1 : b)), fit_solved};
        }
    }

    // Start next to the closed-form zero and step away from it, by 2, 8,
    // 32, ... values, until the sign changes; then bisect. Without a guess,
    // bisect from the start.
    const double guess = residual.first_guess(widen(lo), widen(hi));
    const bool have_guess = !std::isnan(guess);
    bool first = have_guess;
    bool bisecting = !have_guess;
    int direction = 0;  // +1: the zero lies above the last value
    std::uint32_t last = 0, step = 2;
    for (int evaluations = 2; b - a > 2; ++evaluations) {
        if (evaluations >= max_evaluations) {
            return {nan, fit_invalid_input};  // not reached for finite residuals
        }
        std::uint32_t m;
        if (first) {
            m = bits_of(static_cast<float>(guess));
            first = false;
        } else if (!bisecting) {
            m = direction > 0 ? (b - last > step ? last + step : b)
                              : (last - a > step ? last - step : a);
            step = step < (1u << 28) ? step * 4 : step;
        } else if (b - a < (1u << 22)) {
            m = a + (b - a) / 2;  // within a binade or so: the middle value
        } else {
            m = bits_of(static_cast<float>(0.5 * (widen(float_of(a)) + widen(float_of(b)))));
        }
        // Strictly inside, an even number of steps from both ends.
        m = std::clamp(m, a + 2, b - 2);
        m -= (m - a) % 2;
        const double r = residual(float_of(m));
        if (std::isnan(r)) {
            return {nan, fit_invalid_input};
        }
        if (r == 0.0) {
            return {widen(float_of(m)), fit_solved};
        }
        const int toward = (r > 0.0) == (ra > 0.0) ? +1 : -1;
        if (toward > 0) {
            a = m;
            ra = r;
        } else {
            b = m;
            rb = r;
        }
        if (direction != 0 && toward != direction) {
            bisecting = true;  // stepped across the zero
        }
        direction = toward;
        last = m;
    }
    return {widen(float_of(a + 1)), fit_solved};
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
    for (std::size_t i = begin; i < end; ++i) {
        const auto index = static_cast<std::ptrdiff_t>(i);
        FractionFit fit;
        if (in.mask != nullptr && in.mask[index * in.mask_stride] == 0) {
            fit = {nan, fit_masked};
        } else {
            double v[I::count];
            for (int j = 0; j < I::count; ++j) {
                v[j] = in.values[j][index * in.strides[j]];
            }
            if (in.b1 != nullptr) {
                const double b1 = in.b1[index * in.b1_stride];
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
                fit = solve_fraction(FractionResidual(problem), lo, hi, in.clip);
            }
        }
        f[i] = fit.f;
        if (status != nullptr) {
            status[i] = fit.status;
        }
    }
}

void fit_fraction_map(const FractionMapInputs &in, std::size_t n, unsigned threads,
                      double *f, std::uint8_t *status) noexcept {
    // Voxels are handed out in blocks from a shared counter, so that a
    // thread that draws masked background does not sit idle at the end.
    constexpr std::size_t block = 1024;
    const std::size_t blocks = (n + block - 1) / block;
    std::atomic<std::size_t> next{0};
    auto work = [&]() noexcept {
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
            fit_fraction_range(in, k * block, std::min(n, (k + 1) * block), f, status);
        }
    };
    const std::size_t helpers = std::min<std::size_t>(threads > 0 ? threads - 1 : 0,
                                                      blocks > 0 ? blocks - 1 : 0);
    std::vector<std::thread> pool;
    try {
        pool.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t) {
            pool.emplace_back(work);
        }
    } catch (...) {
        // No (more) threads to be had: the ones running and this one do it.
    }
    work();
    for (std::thread &t : pool) {
        t.join();
    }
}

}  // namespace tavni::mt_map
