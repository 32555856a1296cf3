#include "relaxometry_core.hpp"

#include <cmath>
#include <limits>

#include "parallel_core.hpp"

namespace tavni::mt_map {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double half_pi = 1.5707963267948966;

// The SPGR steady state of one scan as a function of R1:
//     S = M0 sin(a) g(R1),  g = (1 - E1) / (1 - E1 cos(a)),  E1 = exp(-R1 TR),
// with ln g and its derivative in R1,
//     d ln g / dR1 = TR E1 (1 - cos a) / ((1 - E1) (1 - E1 cos a)).
// All in double; 1 - E1 through expm1, so that short TRs lose nothing to
// cancellation (E1 itself stays above exp(-50 TR) in the searched range).
struct SteadyState {
    double log_g, slope;
};

SteadyState steady_state(double R1, double cos_flip, double TR) {
    const double one_minus_E1 = -std::expm1(-R1 * TR);
    const double E1 = 1.0 - one_minus_E1;
    const double one_minus_E1_cos = 1.0 - E1 * cos_flip;
    const double log_g = std::log(one_minus_E1 / one_minus_E1_cos);
    const double slope = TR * E1 * (1.0 - cos_flip) / (one_minus_E1 * one_minus_E1_cos);
    return {log_g, slope};
}

// g alone, for the signal itself.
double steady_state_factor(double R1, double cos_flip, double TR) {
    const double one_minus_E1 = -std::expm1(-R1 * TR);
    return one_minus_E1 / (1.0 - (1.0 - one_minus_E1) * cos_flip);
}

bool usable(const SpgrScan &s) {
    return std::isfinite(s.signal) && s.signal > 0.0 && s.flip_angle > 0.0 &&
           s.flip_angle < half_pi && std::isfinite(s.TR) && s.TR > 0.0;
}

// Why one root: the residual below is
//     r(R1) = ln g_a(R1) - ln g_b(R1) - (ln(S_a / sin a_a) - ln(S_b / sin a_b)),
// and R1 dr/dR1 = psi(R1 TR_a, a_a) - psi(R1 TR_b, a_b) with
//     psi(x, a) = [x / (e^x - 1)] * [(1 - cos a) / (1 - e^-x cos a)].
// For 0 < a < pi/2 both factors are positive and fall as x grows (the
// first always; the second because its denominator rises towards 1), and
// the second rises with a at fixed x (d/dc of (1 - c)/(1 - c u) is
// (u - 1)/(1 - c u)^2 < 0 for u = e^-x < 1). So when scan a has the larger
// (or equal) angle and the shorter (or equal) TR, not both equal,
// psi_a > psi_b for every R1 > 0: r rises strictly and has at most one
// root anywhere. When the larger angle comes with the longer TR, psi_a -
// psi_b starts with the sign of TR_b / tan^2(a_b/2) - TR_a / tan^2(a_a/2)
// (the first order of psi in x is -x (1 + cos a) / (2 (1 - cos a))) and
// can turn only once exp(-R1 TR) of the shorter TR is far from 1: for the
// protocols in use (4-6 degrees and 20-30 ms against 20-30 degrees and
// 25-50 ms) beyond R1 = 80 /s, above the searched interval. The solver
// checks that the slope has one sign at both ends of the interval in that
// case, and calls the voxel invalid if not.
struct Residual {
    double cos_a, TR_a, cos_b, TR_b, target;

    // r and dr/du at u = ln R1: in ln R1 the residual is nearly straight
    // (R1 dr/dR1 = psi_a - psi_b varies slowly), so Newton's method
    // converges from far away.
    void operator()(double u, double &r, double &slope) const {
        const double R1 = std::exp(u);
        const SteadyState a = steady_state(R1, cos_a, TR_a);
        const SteadyState b = steady_state(R1, cos_b, TR_b);
        r = (a.log_g - b.log_g) - target;
        slope = R1 * (a.slope - b.slope);
    }
};

constexpr R1Fit invalid{nan, nan, fit_invalid_input};

// Shared TR: dividing the steady state by sin(a),
//     S / sin(a) = E1 S / tan(a) + M0 (1 - E1),
// is a line in (S/tan a, S/sin a) with slope E1 and intercept M0 (1 - E1)
// (DESPOT1, Deoni et al. 2003); two scans fix it.
R1Fit line_through(const SpgrScan &a, const SpgrScan &b) {
    const double y_a = a.signal / std::sin(a.flip_angle);
    const double y_b = b.signal / std::sin(b.flip_angle);
    const double x_a = y_a * std::cos(a.flip_angle);
    const double x_b = y_b * std::cos(b.flip_angle);
    const double E1 = (y_b - y_a) / (x_b - x_a);
    if (!std::isfinite(E1)) {
        return invalid;
    }
    if (E1 >= 1.0) {
        return {nan, nan, fit_below_bracket};  // R1 <= 0
    }
    if (E1 <= 0.0) {
        return {nan, nan, fit_above_bracket};  // R1 infinite
    }
    return {-std::log(E1) / a.TR, (y_a - E1 * x_a) / (1.0 - E1), fit_solved};
}

}  // namespace

double spgr_signal(double M0, double R1, double flip_angle, double TR) noexcept {
    return M0 * std::sin(flip_angle) * steady_state_factor(R1, std::cos(flip_angle), TR);
}

R1Fit fit_r1_two_scans(const SpgrScan &a, const SpgrScan &b) noexcept {
    if (!usable(a) || !usable(b) || (a.flip_angle == b.flip_angle && a.TR == b.TR)) {
        return invalid;
    }
    if (a.TR == b.TR) {
        return line_through(a, b);
    }
    const double sin_a = std::sin(a.flip_angle), sin_b = std::sin(b.flip_angle);
    const Residual residual{std::cos(a.flip_angle), a.TR, std::cos(b.flip_angle), b.TR,
                            std::log(a.signal / sin_a) - std::log(b.signal / sin_b)};
    const bool proven = (a.flip_angle >= b.flip_angle && a.TR <= b.TR) ||
                        (b.flip_angle >= a.flip_angle && b.TR <= a.TR);
    const double search_lo = std::log(r1_search_lo), search_hi = std::log(r1_search_hi);
    if (!proven) {
        double r_lo, slope_lo, r_hi, slope_hi;
        residual(search_lo, r_lo, slope_lo);
        residual(search_hi, r_hi, slope_hi);
        if (!((slope_lo > 0.0 && slope_hi > 0.0) || (slope_lo < 0.0 && slope_hi < 0.0))) {
            return invalid;
        }
    }

    // Start from the small-angle estimate of Helms et al. 2008 (see
    // mt_saturation), mostly within a few percent.
    const double guess = 0.5 * (b.signal * b.flip_angle / b.TR - a.signal * a.flip_angle / a.TR) /
                         (a.signal / a.flip_angle - b.signal / b.flip_angle);
    double u = guess > r1_search_lo && guess < r1_search_hi ? std::log(guess)
                                                             : 0.5 * (search_lo + search_hi);
    double r, slope;
    residual(u, r, slope);
    if (!std::isfinite(r) || !(slope != 0.0)) {
        return invalid;
    }
    // Orient r to rise with u.
    const double direction = slope > 0.0 ? 1.0 : -1.0;
    r *= direction;
    slope *= direction;

    // Newton's method in u inside a shrinking bracket [lo, hi] that holds
    // the root if there is one; a step that would leave it bisects
    // instead. The ends of the searched interval are evaluated only when
    // the iteration heads past them: if r has the wrong sign there, the root
    // lies outside.
    double lo = search_lo, hi = search_hi;
    bool lo_checked = false, hi_checked = false;
    for (int iteration = 0; iteration < 100 && r != 0.0; ++iteration) {
        if (r < 0.0) {
            lo = u;
        } else {
            hi = u;
        }
        double next = u - r / slope;
        if (!(next > lo && next < hi)) {
            const bool upward = r < 0.0;
            bool &checked = upward ? hi_checked : lo_checked;
            if (!checked) {
                checked = true;
                double r_end, slope_end;
                residual(upward ? search_hi : search_lo, r_end, slope_end);
                r_end *= direction;
                if (upward && r_end < 0.0) {
                    return {nan, nan, fit_above_bracket};
                }
                if (!upward && r_end > 0.0) {
                    return {nan, nan, fit_below_bracket};
                }
            }
            next = 0.5 * (lo + hi);
        }
        const double step = next - u;
        u = next;
        // Quadratic convergence: after a step of 1e-9 the error in u (the
        // relative error of R1) is of the order 1e-18.
        if (std::fabs(step) < 1e-9 || hi - lo < 1e-15) {
            break;
        }
        residual(u, r, slope);
        r *= direction;
        slope *= direction;
    }
    const double R1 = std::exp(u);

    // M0: the least-squares amplitude of both scans at this R1.
    const double m_a = sin_a * steady_state_factor(R1, residual.cos_a, a.TR);
    const double m_b = sin_b * steady_state_factor(R1, residual.cos_b, b.TR);
    const double M0 = (a.signal * m_a + b.signal * m_b) / (m_a * m_a + m_b * m_b);
    return {R1, M0, fit_solved};
}

// Helms et al. 2008, small-angle approximations of the SPGR steady state:
// every signal is S = A a R1 TR / (R1 TR + a^2/2 + delta), delta the MT
// saturation (0 without MT); the PD- and T1-weighted scans give the
// apparent R1 and A, the MT-weighted one delta.
double mt_saturation(const SpgrScan &pd, const SpgrScan &t1, const SpgrScan &mt) noexcept {
    if (!(pd.signal > 0.0 && t1.signal > 0.0 && mt.signal > 0.0)) {
        return nan;
    }
    const double S_pd = pd.signal, a_pd = pd.flip_angle, TR_pd = pd.TR;
    const double S_t1 = t1.signal, a_t1 = t1.flip_angle, TR_t1 = t1.TR;
    const double R1app = 0.5 * (S_t1 * a_t1 / TR_t1 - S_pd * a_pd / TR_pd) /
                         (S_pd / a_pd - S_t1 / a_t1);
    const double Aapp = S_pd * S_t1 * (TR_pd * a_t1 / a_pd - TR_t1 * a_pd / a_t1) /
                        (S_t1 * TR_pd * a_t1 - S_pd * TR_t1 * a_pd);
    const double a_mt = mt.flip_angle;
    return (Aapp * a_mt / mt.signal - 1.0) * R1app * mt.TR - a_mt * a_mt / 2.0;
}

// ---------------------------------------------------------------------------
// Maps: blocks of voxels on the worker threads.

namespace {

constexpr std::size_t block = 4096;

inline double transmit(const Column &b1, std::size_t i) {
    return b1.values != nullptr ? b1[i] : 1.0;
}

}  // namespace

void spgr_signal_map(Column M0, Column R1, Column flip_angle, Column TR, Column b1,
                     std::size_t n, unsigned threads, double *S) noexcept {
    parallel_blocks(n, block, threads, [&](std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) {
            S[i] = spgr_signal(M0[i], R1[i], transmit(b1, i) * flip_angle[i], TR[i]);
        }
    });
}

void fit_r1_map(const R1MapInputs &in, std::size_t n, unsigned threads, double *R1, double *M0,
                std::uint8_t *status) noexcept {
    parallel_blocks(n, block, threads, [&](std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) {
            R1Fit fit;
            if (in.mask != nullptr && in.mask[static_cast<std::ptrdiff_t>(i) * in.mask_stride] == 0) {
                fit = {nan, nan, fit_masked};
            } else {
                const double b1 = transmit(in.b1, i);
                fit = fit_r1_two_scans({in.signal[0][i], b1 * in.flip_angle[0], in.TR[0]},
                                       {in.signal[1][i], b1 * in.flip_angle[1], in.TR[1]});
            }
            if (R1 != nullptr) {
                R1[i] = fit.R1;
            }
            if (M0 != nullptr) {
                M0[i] = fit.M0;
            }
            if (status != nullptr) {
                status[i] = fit.status;
            }
        }
    });
}

void mtsat_map(const MTsatMapInputs &in, std::size_t n, unsigned threads,
               double *saturation) noexcept {
    parallel_blocks(n, block, threads, [&](std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) {
            const double b1 = transmit(in.b1, i);
            double delta = mt_saturation({in.signal[0][i], b1 * in.flip_angle[0], in.TR[0]},
                                         {in.signal[1][i], b1 * in.flip_angle[1], in.TR[1]},
                                         {in.signal[2][i], b1 * in.flip_angle[2], in.TR[2]});
            if (in.correction >= 0.0) {
                delta = delta * (1.0 - in.correction) / (1.0 - in.correction * b1);
            }
            saturation[i] = 100.0 * delta;
        }
    });
}

}  // namespace tavni::mt_map
