#include "residual.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "closed_form.hpp"
#include "mpf_core.hpp"

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
    : terms_(residual_terms(p.S_ratio, p.signal(), e)) {}

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
        const double from = std::max(lo, f_of(k_spans[i][0])),
                     to = std::min(hi, f_of(k_spans[i][1]));
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
    const double dlog_df =
        (sat.inv_Y1 - sat.e * sat.inv_Y2 - (ref.inv_Y1 - ref.e * ref.inv_Y2)) * dk_df;
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

}  // namespace tavni::mt_map
