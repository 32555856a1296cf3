#include "fraction_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mpf_core.hpp"
#include "parallel.hpp"

namespace tavni::mt_map {

namespace {

using signal_steps::exchange_rate_constant;
using signal_steps::widen;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// ---------------------------------------------------------------------------
// The residual: model()'s own terms and step (mpf_core), with everything but
// the exchange computed once per voxel instead of once per f.

FractionResidual::FractionResidual(const FractionProblem &p) noexcept
    : FractionResidual(p, excitation_terms(p.flip_angle, p.TR)) {}

FractionResidual::FractionResidual(const FractionProblem &p, const Excitation &e) noexcept
    : terms_(residual_terms(p.S_ratio, p.R1, p.T2_free, p.delta_omega, p.omega_1_rms, p.G, p.TR,
                            p.duration, e)) {}

bool FractionResidual::near_zero(double residual, double units) const noexcept {
    return within_rounding(residual, terms_.S_ratio, units);
}

double FractionResidual::exact_residual(double f) const noexcept {
    return exact_residual(quadratic(), f);
}

FractionResidual::Exact FractionResidual::exact(double lo, double hi,
                                                bool for_search) const noexcept {
    const double R = exchange_rate_constant;
    const Quadratic q = quadratic();
    const auto [c0, c1, d0, d1, e0, e1, q2, q1, q0] = q;

    Exact result{nan, nan, nan, false, false};
    // The residual at the ends, without dividing: its sign is that of
    // -Q D, and |residual| > t |N/D| is |Q| > t |N|.
    constexpr double clear_margin = 32.0 * 0x1p-23;
    bool clear = for_search;
    int signs[2] = {0, 0};
    const double ends[2] = {lo, hi};
    for (int i = 0; i < (for_search ? 2 : 0); ++i) {
        const double k = R * ends[i] / (1.0 - ends[i]);
        const double Q = (q2 * k + q1) * k + q0;
        const double N = (k + c1) * (d0 + e0 * k);
        const double D = (d1 + e1 * k) * (k + c0);
        const double minus_QD = -Q * D;
        signs[i] = minus_QD > 0.0 ? 1 : minus_QD < 0.0 ? -1 : 0;
        clear = clear && std::isfinite(minus_QD) && std::fabs(Q) > clear_margin * std::fabs(N);
    }
    result.lo_positive = signs[0] > 0;

    const ClosedFormZeros zeros = closed_form_zeros(q, lo, hi);
    result.f = zeros.f;
    result.f_upper = zeros.f_upper;
    if (!std::isnan(zeros.f_upper)) {
        // Both in the bracket: where Q turns lies between them.
        const double k_vertex = -q1 / (2.0 * q2);
        result.f_vertex = k_vertex / (R + k_vertex);
    }
    result.clear = clear && signs[0] * signs[1] < 0 && !std::isnan(result.f);
    return result;
}

int FractionResidual::rounding_reach(double lo, double hi, bool positive, double units,
                                     Span spans[2]) const noexcept {
    // With s the sign and t the allowance, s r <= t is s (N - (S - s t) D)
    // >= 0 (D > 0): where a quadratic g(k) = a k^2 + b k + c is not
    // negative.
    const double s = positive ? 1.0 : -1.0;
    const double t = units * 0x1p-23 * std::fabs(terms_.S_ratio);
    ResidualTerms shifted = terms_;
    shifted.S_ratio -= s * t;
    const Quadratic q = quadratic(shifted);
    const double a = s * q.q2, b = s * q.q1, c = s * q.q0;
    constexpr double inf = std::numeric_limits<double>::infinity();
    double k_spans[2][2];
    int n = 0;
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) {
        k_spans[n][0] = -inf, k_spans[n++][1] = inf;  // no telling: everywhere
    } else if (a == 0.0) {
        if (b != 0.0) {
            const double root = -c / b;
            k_spans[n][0] = b > 0.0 ? root : -inf, k_spans[n++][1] = b > 0.0 ? inf : root;
        } else if (c >= 0.0) {
            k_spans[n][0] = -inf, k_spans[n++][1] = inf;
        }
    } else {
        const double discriminant = b * b - 4.0 * a * c;
        if (!(discriminant >= 0.0)) {
            if (a > 0.0) {
                k_spans[n][0] = -inf, k_spans[n++][1] = inf;
            }
        } else {
            const double w = -0.5 * (b + std::copysign(std::sqrt(discriminant), b));
            const double r0 = w / a, r1 = w == 0.0 ? 0.0 : c / w;
            const double k_lo = std::min(r0, r1), k_hi = std::max(r0, r1);
            if (a > 0.0) {
                k_spans[n][0] = -inf, k_spans[n++][1] = k_lo;
                k_spans[n][0] = k_hi, k_spans[n++][1] = inf;
            } else {
                k_spans[n][0] = k_lo, k_spans[n++][1] = k_hi;
            }
        }
    }
    // f = k / (R + k) rises with k from f = 0 at k = 0 to 1 at infinity.
    const double R = exchange_rate_constant;
    const auto f_of = [R](double k) { return k <= 0.0 ? 0.0 : std::isinf(k) ? 1.0 : k / (R + k); };
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const double from = std::max(lo, f_of(k_spans[i][0])), to = std::min(hi, f_of(k_spans[i][1]));
        if (from <= to) {
            spans[count++] = {from, to};
        }
    }
    return count;
}

namespace {

// One signal's exact-arithmetic factors at the exchange rate k: Y1 = k + c
// and Y2 = d + e k, with c = A + R, d = H c, e = A / R1 (R1f = R1b = R1,
// k/F = R), kept with their reciprocals (each used several times).
struct Factors {
    double c, d, e, H;
    double inv_Y1, inv_Y2;
};

inline Factors factors_of(const Saturation &sat, double inv_r1, double k) {
    const double c = sat.A + widen(exchange_rate_constant);
    const double d = sat.H * c, e = sat.A * inv_r1;
    return {c, d, e, sat.H, 1.0 / (k + c), 1.0 / (d + e * k)};
}

// d ln(Y1/Y2) of one signal for changes dA and dH of its terms and de of
// e = A / R1 (which R1 also moves directly): Y1/Y2 is the signal up to
// factors both signals share, which cancel in the ratio.
inline double log_signal_change(const Factors &x, double dA, double dH, double de, double k) {
    const double dd = dH * x.c + x.H * dA;  // d = H c
    return dA * x.inv_Y1 - (dd + de * k) * x.inv_Y2;
}

}  // namespace

FractionResidual::Derivatives FractionResidual::derivatives(double f, float flip_angle,
                                                            float TR) const noexcept {
    // The predicted ratio N/D = (Y1/Y2)_saturated / (Y1/Y2)_reference as a
    // function of k = R f / (1 - f) and of the inputs through the terms A
    // and H of each signal; its logarithm splits into the four factors.
    const double R = exchange_rate_constant;
    const double r1 = terms_.R1, inv_r1 = 1.0 / r1;
    const double k = R * f / (1.0 - f);
    const double dk_df = R / ((1.0 - f) * (1.0 - f));
    const Factors ref = factors_of(terms_.reference, inv_r1, k),
                  sat = factors_of(terms_.saturated, inv_r1, k);
    const double ratio = (k + sat.c) * (ref.d + ref.e * k) * sat.inv_Y2 * ref.inv_Y1;

    // Along f, through k (c, d and e stay).
    const double dlog_df = (sat.inv_Y1 - sat.e * sat.inv_Y2 - (ref.inv_Y1 - ref.e * ref.inv_Y2)) *
                           dk_df;
    if (!(dlog_df != 0.0)) {
        return {nan, nan, nan};
    }
    const double inv_dlog_df = 1.0 / dlog_df;

    // Along R1: A = Wb s + R1 gains 1, H - 1 = (Wf s + beta) / R1 falls as
    // 1/R1, and e = A / R1 moves by (1 - e) / R1.
    const double dlog_dR1 =
        log_signal_change(sat, 1.0, -(sat.H - 1.0) * inv_r1, (1.0 - sat.e) * inv_r1, k) -
        log_signal_change(ref, 1.0, -(ref.H - 1.0) * inv_r1, (1.0 - ref.e) * inv_r1, k);

    // Along ln b1: both saturation rates grow with omega_1_rms squared (the
    // reference has none), and the pulses' loss rate beta = -ln(cos a)/TR
    // with the flip angle a: d beta / d ln a = a tan(a) / TR.
    const double a = widen(flip_angle);
    const double dbeta_over_r1 = a * std::tan(a) / widen(TR) * inv_r1;
    const double dWb_s = 2.0 * widen(terms_.saturated.Wb_s);
    const double dWf_s_over_r1 = 2.0 * (sat.H - ref.H);  // both hold 1 + beta / R1
    const double dlog_dlog_b1 =
        log_signal_change(sat, dWb_s, dWf_s_over_r1 + dbeta_over_r1, dWb_s * inv_r1, k) -
        log_signal_change(ref, 0.0, dbeta_over_r1, 0.0, k);

    // r = S_ratio - N/D: dr/df = -(N/D) dlog_df, dr/dS_ratio = 1 and
    // dr/dx = -(N/D) dlog_dx otherwise.
    return {inv_dlog_df / ratio, -dlog_dR1 * inv_dlog_df, -dlog_dlog_b1 * inv_dlog_df};
}

// ---------------------------------------------------------------------------
// The search.
//
// A residual evaluated in single precision is not monotone on the scale of
// one unit in the last place of f: the rounding of both signals makes it
// wobble by a few units around its zero. Bisection on adjacent values would
// find a sign change between f and its upper neighbour, but not necessarily
// between both neighbours of the returned f. So the search evaluates values
// an even number of steps apart, and ends with two of opposite sign two
// steps apart: the value between them has them as its neighbours.
//
// One loop, in phases: the ends (skipped when the exact residual vouches
// for their signs), a probe around the exact zero, steps outward from it,
// and bisection.

namespace {

// Single-precision values as integers in their order: consecutive integers
// are neighbouring values; 0 is +0 and -1 the negative value next to it.
using Ordinal = std::int64_t;

inline Ordinal ordinal_of(float x) {
    const auto b = static_cast<Ordinal>(bits_of(std::fabs(x)));
    return std::signbit(x) ? -b : b;
}

inline float float_at(Ordinal n) {
    return n >= 0 ? float_of(static_cast<std::uint32_t>(n))
                  : -float_of(static_cast<std::uint32_t>(-n));
}

FractionFit no_sign_change(double r_lo, double r_hi, float lo, float hi, bool clip) {
    // A zero, if any, lies beyond the end where the residual is smaller.
    const bool below = std::fabs(r_lo) <= std::fabs(r_hi);
    const double end = below ? widen(lo) : widen(hi);
    return {clip ? end : nan, below ? fit_below_bracket : fit_above_bracket};
}

inline bool same_sign(double x, double y) { return (x > 0.0) == (y > 0.0); }

constexpr FractionFit invalid{nan, fit_invalid_input};

class Search {
public:
    Search(const FractionResidual &residual, FitStatus found) noexcept
        : residual_(residual), found_(found) {}

    double at(Ordinal n) const noexcept { return residual_(float_at(n)); }
    FractionFit at_zero(Ordinal n) const noexcept { return {widen(float_at(n)), found_}; }

    // Between a < b, whose residuals ra, rb are finite, of opposite signs
    // and neither zero.
    FractionFit close_in(Ordinal a, double ra, Ordinal b, double rb) const noexcept {
        return (b - a) % 2 == 0 ? bisect(a, ra, b) : close_odd(a, ra, b, rb);
    }

    // Probe around the exact zero z, step outward, bisect: a sign change
    // in [A, B], where the residual at A has the sign lo_positive and at B
    // the other. rA, rB: the residuals there, NaN when not evaluated (the
    // signs then come from the exact residual). False when the computed
    // residual has at an end the sign of the other.
    bool locate(Ordinal A, double rA, Ordinal B, double rB, bool A_positive, double z,
                FractionFit &fit) const noexcept;

private:
    FractionFit bisect(Ordinal a, double ra, Ordinal b) const noexcept;
    FractionFit close_odd(Ordinal a, double ra, Ordinal b, double rb) const noexcept;

    const FractionResidual &residual_;
    FitStatus found_;
};

// Bisection on values a < b an even number of steps apart whose residuals
// have opposite signs, neither zero; ra is the residual at a.
FractionFit Search::bisect(Ordinal a, double ra, Ordinal b) const noexcept {
    while (b - a > 2) {
        Ordinal m;
        if (b - a < (Ordinal{1} << 22)) {
            m = a + (b - a) / 2;  // within a binade or so: the middle value
        } else {
            // Far apart (as 0 and 0.5 are): the middle in value, not in bits.
            m = ordinal_of(to_single(0.5 * (widen(float_at(a)) + widen(float_at(b)))));
            m = std::clamp(m, a + 2, b - 2);
        }
        m -= (m - a) % 2;
        const double r = at(m);
        if (!std::isfinite(r)) {
            return invalid;
        }
        if (r == 0.0) {
            return at_zero(m);
        }
        if (same_sign(r, ra)) {
            a = m;
            ra = r;
        } else {
            b = m;
        }
    }
    return at_zero(a + 1);
}

// An odd number of steps from a to b: the last step has no middle value.
// With one value past an end of the same sign as that end, the pair is an
// even number of steps wide and the value bisection returns lies in
// [a, b]. Where the sign alternates at both ends, move inward two values
// at a time.
FractionFit Search::close_odd(Ordinal a, double ra, Ordinal b, double rb) const noexcept {
    const double r_past_b = at(b + 1);
    if (std::isfinite(r_past_b) && r_past_b != 0.0 && same_sign(r_past_b, rb)) {
        return bisect(a, ra, b + 1);
    }
    const double r_past_a = at(a - 1);
    if (std::isfinite(r_past_a) && r_past_a != 0.0 && same_sign(r_past_a, ra)) {
        return bisect(a - 1, r_past_a, b);
    }
    for (int i = 0; i < 8 && b - a > 1; ++i) {
        const double r_a1 = at(a + 1);
        if (!std::isfinite(r_a1)) {
            return invalid;
        }
        if (r_a1 == 0.0) {
            return at_zero(a + 1);
        }
        if (same_sign(r_a1, ra)) {
            return bisect(a + 1, r_a1, b);
        }
        const double r_b1 = at(b - 1);
        if (!std::isfinite(r_b1)) {
            return invalid;
        }
        if (r_b1 == 0.0) {
            return at_zero(b - 1);
        }
        if (same_sign(r_b1, rb)) {
            return bisect(a, ra, b - 1);
        }
        // a + 1 has b's sign and b - 1 has a's: the same again, inside.
        a += 1;
        ra = r_a1;
        b -= 1;
        rb = r_b1;
    }
    // The residual's sign alternates with every value of f: rounding noise
    // without a value whose neighbours differ in sign.
    return invalid;
}

// Inlined into each caller: the probe is most voxels' whole search.
[[gnu::always_inline]] inline bool Search::locate(Ordinal A, double rA, Ordinal B, double rB,
                                                  bool A_positive, double z,
                                                  FractionFit &fit) const noexcept {
    const auto end_value = [&](Ordinal end) {
        double &r = end == A ? rA : rB;
        if (std::isnan(r)) {
            r = at(end);
        }
        return r;
    };
    if (std::isnan(z) || B - A < 6) {
        // No exact zero to start from, or hardly any room: bisect at once.
        const double ra = end_value(A), rb = end_value(B);
        if (!std::isfinite(ra) || !std::isfinite(rb)) {
            fit = invalid;
        } else if (ra == 0.0 || rb == 0.0) {
            fit = at_zero(ra == 0.0 ? A : B);
        } else if (same_sign(ra, rb)) {
            return false;
        } else {
            fit = close_in(A, ra, B, rb);
        }
        return true;
    }

    // Probe. The zero is mostly within a step or two of the exact one: look
    // at three values around it at once. Independent of each other, the
    // three evaluations overlap in the processor where a search one after
    // the other would wait for each.
    const Ordinal m = std::clamp(ordinal_of(to_single(z)), A + 3, B - 3);
    const double r_below = at(m - 2);
    const double r = at(m);
    const double r_above = at(m + 2);
    if (!std::isfinite(r_below) || !std::isfinite(r) || !std::isfinite(r_above)) {
        fit = invalid;
        return true;
    }
    if (r == 0.0 || r_below == 0.0 || r_above == 0.0) {
        fit = at_zero(r == 0.0 ? m : r_below == 0.0 ? m - 2 : m + 2);
        return true;
    }
    if (!same_sign(r_below, r)) {
        fit = at_zero(m - 1);
        return true;
    }
    if (!same_sign(r, r_above)) {
        fit = at_zero(m + 1);
        return true;
    }

    // Step outward, towards the end of the other sign, by 2, 8, 32, ...
    // values; at the end itself at the latest.
    const int toward = (r > 0.0) == A_positive ? +1 : -1;
    Ordinal last = toward > 0 ? m + 2 : m - 2;
    double r_last = toward > 0 ? r_above : r_below;
    Ordinal step = 2;
    for (;;) {
        Ordinal p = last + toward * step;
        double r_p;
        if (toward > 0 ? p >= B : p <= A) {
            p = toward > 0 ? B : A;
            r_p = end_value(p);
        } else {
            r_p = at(p);
        }
        if (!std::isfinite(r_p)) {
            fit = invalid;
            return true;
        }
        if (r_p == 0.0) {
            fit = at_zero(p);
            return true;
        }
        if (!same_sign(r_p, r_last)) {
            // Bisect.
            fit = toward > 0 ? close_in(last, r_last, p, r_p) : close_in(p, r_p, last, r_last);
            return true;
        }
        if (p == A || p == B) {
            return false;  // the exact residual's sign at this end was not the computed one
        }
        last = p;
        r_last = r_p;
        step = step < (Ordinal{1} << 28) ? step * 4 : step;
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
    const Ordinal L = ordinal_of(lo), U = ordinal_of(hi);
    FractionFit fit;

    // The exact residual changes sign inside the bracket and is far from
    // zero at both ends (16 times the rounding allowance), so the computed
    // one is too: neither end can hold a zero within rounding. The search
    // starts from the exact zero without evaluating the ends, and looks at
    // them only if the computed residual disagrees after all.
    if (exact.clear && U - L >= 6 &&
        Search(residual, fit_solved).locate(L, nan, U, nan, exact.lo_positive, exact.f, fit)) {
        return fit;
    }

    const double r_lo = residual(lo);
    const double r_hi = residual(hi);
    if (!std::isfinite(r_lo) || !std::isfinite(r_hi)) {
        return invalid;
    }
    // A zero at an end within rounding is a zero: fluid has f = 0 exactly.
    if (residual.near_zero(r_lo)) {
        return {widen(lo), fit_solved};
    }
    if (residual.near_zero(r_hi)) {
        return {widen(hi), fit_solved};
    }
    if (!same_sign(r_lo, r_hi)) {
        // The ends are evaluated and differ in sign: locate cannot fail.
        Search(residual, fit_solved).locate(L, r_lo, U, r_hi, r_lo > 0.0, exact.f, fit);
        return fit;
    }
    // The same sign at both ends: no zero, or two. Where the exact residual
    // has both in the bracket, the computed one at the vertex between them
    // mostly tells that rounding has left them apart; the smaller lies
    // between lo and the vertex.
    const Search search(residual, fit_two_roots);
    if (!std::isnan(exact.f_upper) && U - L >= 2) {
        const Ordinal v = std::clamp(ordinal_of(to_single(exact.f_vertex)), L + 1, U - 1);
        const double r_v = residual(float_at(v));
        if (!std::isfinite(r_v)) {
            return invalid;
        }
        if (r_v == 0.0) {
            return search.at_zero(v);
        }
        if (!same_sign(r_v, r_lo)) {
            search.locate(L, r_lo, v, r_v, r_lo > 0.0, exact.f, fit);
            return fit;
        }
    }
    // Otherwise the exact residual stays on the ends' side, or leaves it
    // only within rounding (the two zeros nearly one, at a near-tangent).
    // Rounding moves the computed residual by a few units in the last place
    // of the ratio from the exact one (under 4 in a sweep of tissue), so it
    // can cross zero only where the exact one comes within that of zero:
    // look at every value there, up to about a million (some 25 ms). Longer
    // stretches (a residual flat to within rounding over a wide range, or
    // the dense values next to f = 0, where the residual no longer changes
    // with f) are left to the ends' verdict.
    constexpr double rounding_units = 8.0;
    constexpr Ordinal most_values = Ordinal{1} << 20;
    FractionResidual::Span spans[2];
    int span_count = residual.rounding_reach(widen(lo), widen(hi), r_lo > 0.0, rounding_units,
                                             spans);
    Ordinal from[2], to[2], values = 0;
    for (int i = 0; i < span_count; ++i) {
        // The single-precision values in the span, and one more each side.
        from[i] = std::max(L, ordinal_of(to_single(spans[i].lo)) - 1);
        to[i] = std::min(U, ordinal_of(to_single(spans[i].hi)) + 1);
        values += to[i] - from[i] + 1;
    }
    if (values > most_values) {
        span_count = 0;
    }
    for (int i = 0; i < span_count; ++i) {
        for (Ordinal m = from[i]; m <= to[i]; ++m) {
            const double r = search.at(m);
            if (!std::isfinite(r)) {
                return invalid;
            }
            if (r == 0.0) {
                return search.at_zero(m);
            }
            if (!same_sign(r, r_lo)) {
                // The first value of the other sign: every one below it has
                // the ends' sign, so the smaller zero is just below it.
                return search.close_in(L, r_lo, m, r);
            }
        }
    }
    return no_sign_change(r_lo, r_hi, lo, hi, clip);
}

FractionFit closed_form_fraction(const FractionResidual &residual, double lo, double hi,
                                 bool clip) noexcept {
    return closed_form_fraction(residual.quadratic(), residual.S_ratio(), lo, hi, clip);
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

namespace {

// Whether an input's voxels lie one after the other in memory, in the map's
// C order, at aligned addresses: then voxel i is element i.
bool flat(const StridedArray &a, const MapShape &shape, std::size_t item_size) noexcept {
    if (a.strides == nullptr ||
        reinterpret_cast<std::uintptr_t>(a.data) % item_size != 0) {
        return false;
    }
    auto step = static_cast<std::ptrdiff_t>(item_size);
    for (std::size_t d = shape.ndim; d-- > 0;) {
        if (shape.extent[d] > 1 && a.strides[d] != step) {
            return false;
        }
        step *= static_cast<std::ptrdiff_t>(shape.extent[d]);
    }
    return true;
}

// The fast way: runs of voxels gathered into a ClosedFormRun, each input
// read where it lies (contiguous ones directly, the others through a
// cursor), and closed_form_run on each.
void closed_form_range(const FractionMapInputs &in, std::size_t begin, std::size_t end,
                       double *f, std::uint8_t *status,
                       const FractionDerivativeMaps *derivatives) noexcept {
    using I = FractionMapInputs;
    constexpr std::size_t b1_at = I::count, masks_at = I::count + 1;
    constexpr std::size_t array_count = masks_at + I::max_masks;
    // What each array is: shared (one value), flat (read in place) or read
    // through the cursor, which walks only over the last kind.
    enum Kind : std::uint8_t { absent, shared, flat64, flat32, flat8, strided };
    const StridedArray *arrays[array_count];
    Kind kind[array_count];
    const StridedArray none{};
    const StridedArray *walked[array_count];
    bool any_strided = false;
    for (std::size_t k = 0; k < array_count; ++k) {
        arrays[k] = k < I::count ? &in.values[k] : k == b1_at ? &in.b1 : &in.masks[k - masks_at];
        const StridedArray &a = *arrays[k];
        const std::size_t size = a.type == StridedArray::float64   ? 8
                                 : a.type == StridedArray::float32 ? 4
                                                                   : 1;
        const bool used = k < masks_at || k - masks_at < in.mask_count;
        kind[k] = !used || !a.present() ? absent
                  : a.strides == nullptr ? shared
                  : !flat(a, in.shape, size) ? strided
                  : size == 8 ? flat64 : size == 4 ? flat32 : flat8;
        walked[k] = kind[k] == strided ? &a : &none;
        any_strided = any_strided || kind[k] == strided;
    }
    StridedCursor<array_count> at(in.shape, walked, any_strided ? begin : 0);
    const bool scaled = in.b1.present();

    std::uint8_t own_status[ClosedFormRun::size];  // where the caller wants none
    bool common = derivatives == nullptr && in.mask_count == 0 && kind[I::S_ratio] == flat64 &&
                  kind[I::R1] == flat64 && (kind[b1_at] == flat64 || kind[b1_at] == absent);
    for (std::size_t j = I::T2_free; j < I::count; ++j) {
        common = common && kind[j] == shared;
    }
    if (common) {
        // Read in place, without a run's copies.
        double ones[ClosedFormRun::size];
        std::fill(ones, ones + ClosedFormRun::size, 1.0);
        ClosedFormMap map{};
        map.T2_free = in.values[I::T2_free].value(0);
        map.delta_omega = in.values[I::delta_omega].value(0);
        map.omega_1_rms = in.values[I::omega_1_rms].value(0);
        map.G = in.values[I::G].value(0);
        map.TR = in.values[I::TR].value(0);
        map.duration = in.values[I::duration].value(0);
        map.flip_angle = in.values[I::flip_angle].value(0);
        for (std::size_t first = begin; first < end; first += ClosedFormRun::size) {
            const std::size_t n = std::min(ClosedFormRun::size, end - first);
            map.S_ratio = static_cast<const double *>(in.values[I::S_ratio].data) + first;
            map.R1 = static_cast<const double *>(in.values[I::R1].data) + first;
            map.b1 = kind[b1_at] == absent ? ones : static_cast<const double *>(in.b1.data) + first;
            closed_form_map(map, n, in.lo, in.hi, in.clip, f + first,
                            status != nullptr ? status + first : own_status);
        }
        return;
    }

    ClosedFormRun run;
    double x[I::count + 1][ClosedFormRun::size];  // the inputs as doubles, b1 last
    for (std::size_t first = begin; first < end; first += ClosedFormRun::size) {
        const std::size_t n = std::min(ClosedFormRun::size, end - first);
        // Where each input's values of the run are read from as doubles:
        // in place, or copied into x first.
        const double *from[I::count + 1];
        for (std::size_t k = 0; k <= b1_at; ++k) {
            const char *data = static_cast<const char *>(arrays[k]->data);
            double *to = x[k];
            from[k] = to;
            switch (kind[k]) {
            case absent:  // only b1 can be: the field as planned
                std::fill(to, to + n, 1.0);
                break;
            case shared:  // read once, unless multiplied by b1 voxel by voxel
                std::fill(to, to + (k == b1_at || (scaled && (k == I::flip_angle ||
                                                              k == I::omega_1_rms))
                                        ? n
                                        : 1),
                          arrays[k]->value(0));
                break;
            case flat64:
                from[k] = reinterpret_cast<const double *>(data) + first;
                break;
            case flat32:
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = widen(reinterpret_cast<const float *>(data)[first + i]);
                }
                break;
            default:
                break;
            }
        }
        std::fill(run.fitted, run.fitted + n, std::uint32_t{1});
        for (std::size_t m = 0; m < in.mask_count; ++m) {
            const std::size_t k = masks_at + m;
            if (kind[k] == shared || kind[k] == flat8) {
                const std::size_t step = kind[k] == shared ? 0 : 1;
                for (std::size_t i = 0; i < n; ++i) {
                    run.fitted[i] &= static_cast<std::uint32_t>(arrays[k]->nonzero(
                        static_cast<std::ptrdiff_t>(step * (first + i))));
                }
            }
        }
        if (any_strided) {
            for (std::size_t i = 0; i < n; ++i, at.advance()) {
                for (std::size_t k = 0; k < array_count; ++k) {
                    if (kind[k] != strided) {
                        continue;
                    }
                    if (k < masks_at) {
                        x[k][i] = arrays[k]->value(at[k]);
                    } else {
                        run.fitted[i] &= static_cast<std::uint32_t>(arrays[k]->nonzero(at[k]));
                    }
                }
            }
        }
        // What the model sees: the transmit field scales flip angle and
        // saturation amplitude (the products in double), then every input
        // is rounded to single.
        const double *b1 = from[b1_at];
        for (std::size_t j = 0; j < I::count; ++j) {
            float *to = run.values[j];
            const double *x_j = from[j];
            if (scaled && (j == I::flip_angle || j == I::omega_1_rms)) {
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = to_single(x_j[i] * b1[i]);
                }
            } else if (kind[j] == shared) {
                std::fill(to, to + n, to_single(x_j[0]));
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = to_single(x_j[i]);
                }
            }
        }
        std::copy(b1, b1 + n, run.b1);
        std::uint8_t *run_status = status != nullptr ? status + first : own_status;
        closed_form_run(run, n, in.lo, in.hi, in.clip, f + first, run_status);

        for (std::size_t i = 0; derivatives != nullptr && i < n; ++i) {
            FractionResidual::Derivatives d{nan, nan, nan};
            const std::uint8_t s = run_status[i];
            if (s == fit_solved || s == fit_two_roots) {
                const auto &v = run.values;
                const FractionProblem p{v[I::S_ratio][i], v[I::R1][i], v[I::T2_free][i],
                                        v[I::delta_omega][i], v[I::omega_1_rms][i], v[I::G][i],
                                        v[I::TR][i], v[I::duration][i], v[I::flip_angle][i]};
                d = FractionResidual(p).derivatives(f[first + i], p.flip_angle, p.TR);
                d.log_b1 /= run.b1[i];  // d ln b1 = d b1 / b1
            }
            derivatives->S_ratio[first + i] = d.S_ratio;
            derivatives->R1[first + i] = d.R1;
            derivatives->b1[first + i] = d.log_b1;
        }
    }
}

}  // namespace

void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end,
                        double *f, std::uint8_t *status,
                        const FractionDerivativeMaps *derivatives) noexcept {
    if (!in.exact) {
        closed_form_range(in, begin, end, f, status, derivatives);
        return;
    }
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
    // Protocol values are mostly one for all voxels: read those once.
    bool shared[I::count];
    double shared_value[I::count];
    for (int j = 0; j < I::count; ++j) {
        shared[j] = in.values[j].strides == nullptr;
        shared_value[j] = shared[j] ? in.values[j].value(0) : 0.0;
    }
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
        FractionResidual::Derivatives d{nan, nan, nan};
        if (!fitted) {
            fit = {nan, fit_masked};
        } else {
            double v[I::count];
            for (int j = 0; j < I::count; ++j) {
                v[j] = shared[j] ? shared_value[j]
                                 : in.values[j].value(at[static_cast<std::size_t>(j)]);
            }
            const double b1 = in.b1.present() ? in.b1.value(at[b1_at]) : 1.0;
            if (in.b1.present()) {
                v[I::flip_angle] *= b1;
                v[I::omega_1_rms] *= b1;
            }
            float s[I::count];
            for (int j = 0; j < I::count; ++j) {
                s[j] = to_single(v[j]);
            }
            const FractionProblem problem{s[I::S_ratio], s[I::R1], s[I::T2_free],
                                          s[I::delta_omega], s[I::omega_1_rms], s[I::G],
                                          s[I::TR], s[I::duration], s[I::flip_angle]};
            if (!in_physical_domain(problem, b1)) {
                fit = {nan, fit_invalid_input};
            } else {
                if (!have_excitation || bits_of(excitation_flip_angle) != bits_of(problem.flip_angle) ||
                    bits_of(excitation_TR) != bits_of(problem.TR)) {
                    excitation = excitation_terms(problem.flip_angle, problem.TR);
                    excitation_flip_angle = problem.flip_angle;
                    excitation_TR = problem.TR;
                    have_excitation = true;
                }
                const FractionResidual residual(problem, excitation);
                fit = solve_fraction(residual, lo, hi, in.clip);
                if (derivatives != nullptr &&
                    (fit.status == fit_solved || fit.status == fit_two_roots)) {
                    d = residual.derivatives(fit.f, problem.flip_angle, problem.TR);
                    d.log_b1 /= b1;  // d ln b1 = d b1 / b1
                }
                if (in.clip &&
                    (fit.status == fit_below_bracket || fit.status == fit_above_bracket)) {
                    // The bracket end as given, not its single-precision value.
                    fit.f = fit.status == fit_below_bracket ? in.lo : in.hi;
                }
            }
        }
        f[i] = fit.f;
        if (status != nullptr) {
            status[i] = fit.status;
        }
        if (derivatives != nullptr) {
            derivatives->S_ratio[i] = d.S_ratio;
            derivatives->R1[i] = d.R1;
            derivatives->b1[i] = d.log_b1;
        }
    }
}

bool fit_fraction_map(const FractionMapInputs &in, unsigned threads, double *f,
                      std::uint8_t *status, KeepGoing keep_going,
                      const FractionDerivativeMaps *derivatives) noexcept {
    return parallel_blocks(
        in.shape.size(), 1024, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            fit_fraction_range(in, begin, end, f, status, derivatives);
        },
        keep_going);
}

}  // namespace tavni::mt_map
