#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "closed_form.hpp"
#include "float_bits.hpp"
#include "mpf_core.hpp"

namespace tavni::mt_map {

namespace {

using signal_steps::widen;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

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

inline bool same_sign(double x, double y) {
    return (x > 0.0) == (y > 0.0);
}

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
    // Where the exact residual also crosses zero inside the bracket (low
    // offsets, where it turns back), that is a second zero: at lo, lo is
    // the smaller; at hi, the crossing, which lies between lo and where Q
    // turns (its sign there is clear of rounding, as it is at lo).
    if (residual.near_zero(r_lo) || residual.near_zero(r_hi)) {
        const bool at_lo = residual.near_zero(r_lo);
        const FractionResidual::Quadratic q = residual.quadratic();
        const EndCrossings crossings = crossings_beside_ends(
            q, residual.S_ratio(), widen(lo), widen(hi), FractionResidual::exact_residual(q, lo),
            FractionResidual::exact_residual(q, hi));
        const bool crossing = at_lo ? crossings.beside_lo : crossings.beside_hi;
        const double f_vertex = crossings.f_vertex;
        if (at_lo || !crossing || U - L < 2) {
            return {at_lo ? widen(lo) : widen(hi), at_lo && crossing ? fit_two_roots : fit_solved};
        }
        const Ordinal v = std::clamp(ordinal_of(to_single(f_vertex)), L + 1, U - 1);
        const double r_v = residual(float_at(v));
        if (std::isfinite(r_v) && r_v != 0.0 && !same_sign(r_v, r_lo)) {
            Search(residual, fit_two_roots).locate(L, r_lo, v, r_v, r_lo > 0.0, exact.f, fit);
            return fit;
        }
        return {widen(hi), fit_solved};  // rounding hides the crossing after all
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
    int span_count =
        residual.rounding_reach(widen(lo), widen(hi), r_lo > 0.0, rounding_units, spans);
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

}  // namespace tavni::mt_map
