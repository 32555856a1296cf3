#include "relaxometry.hpp"

#include <cmath>
#include <iterator>
#include <limits>

namespace tavni::mt_map {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double half_pi = 1.5707963267948966;

// The SPGR steady state of one scan as a function of R1:
//     S = M0 sin(a) g(R1),  g = (1 - E1) / (1 - E1 cos(a)),  E1 = exp(-R1 TR),
// with the first two derivatives of ln g in R1,
//     h  = d ln g / dR1 = TR E1 (1 - cos a) / ((1 - E1) (1 - E1 cos a)),
//     h' = dh / dR1 = -TR^2 E1 (1 - cos a) (1 - E1^2 cos a)
//                     / ((1 - E1) (1 - E1 cos a))^2.
// All in double; 1 - E1 through expm1, so that short TRs lose nothing to
// cancellation (E1 itself stays above exp(-50 TR) in the searched range).
struct SteadyState {
    double g, h, dh;
};

SteadyState steady_state(double R1, double cos_flip, double TR) {
    const double one_minus_E1 = -std::expm1(-R1 * TR);
    const double E1 = 1.0 - one_minus_E1;
    const double one_minus_E1_cos = 1.0 - E1 * cos_flip;
    const double denominator = one_minus_E1 * one_minus_E1_cos;
    const double h = TR * E1 * (1.0 - cos_flip) / denominator;
    const double dh = -TR * h * (1.0 - E1 * E1 * cos_flip) / denominator;
    return {one_minus_E1 / one_minus_E1_cos, h, dh};
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
//     r(R1) = g_a(R1) / g_b(R1) - (S_a / sin a_a) / (S_b / sin a_b),
// the signals' ratio predicted minus measured, M0 cancelled, and its slope
// has the sign of R1 d ln(g_a/g_b)/dR1 = psi(R1 TR_a, a_a) - psi(R1 TR_b,
// a_b) with
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
// 25-50 ms) beyond R1 = 80 /s, above the searched interval; for others
// (4 degrees and 6 ms against 12 degrees and 42 ms) near 42 /s, inside it.
// The solver then splits the interval at the turn and looks for a root on
// each side.
struct Residual {
    double cos_a, TR_a, cos_b, TR_b, measured;

    // r and its first two derivatives in R1: with rho = g_a / g_b,
    // rho' = rho (h_a - h_b) and rho'' = rho ((h_a - h_b)^2 + h_a' - h_b').
    void operator()(double R1, double &r, double &slope, double &curvature) const {
        const SteadyState a = steady_state(R1, cos_a, TR_a);
        const SteadyState b = steady_state(R1, cos_b, TR_b);
        const double rho = a.g / b.g;
        const double dlog = a.h - b.h;
        r = rho - measured;
        slope = rho * dlog;
        curvature = rho * (dlog * dlog + (a.dh - b.dh));
    }
};

constexpr R1Fit invalid{nan, nan, r1_invalid_input};

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
        return {nan, nan, r1_below_range};  // R1 <= 0
    }
    if (E1 <= 0.0) {
        return {nan, nan, r1_above_range};  // R1 infinite
    }
    return {-std::log(E1) / a.TR, (y_a - E1 * x_a) / (1.0 - E1), r1_solved};
}

}  // namespace

double spgr_signal(double M0, double R1, double flip_angle, double TR) noexcept {
    return M0 * std::sin(flip_angle) * steady_state_factor(R1, std::cos(flip_angle), TR);
}

namespace {

// The root of the residual in [lo, hi], starting at `start`. direction: +1
// or -1 where the residual is known to rise or fall on [lo, hi] and to
// change sign between its ends (ends_known); 0 to take it from the slope at
// the start, the ends then looked at only when the iteration heads past
// them. R1Fit::M0 is left to the caller.
R1Fit root_between(const Residual &residual, double lo, double hi, double start, double direction,
                   bool ends_known) {
    double R1 = start;
    double r, slope, curvature;
    residual(R1, r, slope, curvature);
    if (direction == 0.0) {
        if (!std::isfinite(r) || !(slope != 0.0)) {
            return invalid;
        }
        // Orient r to rise with R1.
        direction = slope > 0.0 ? 1.0 : -1.0;
    } else if (!std::isfinite(r)) {
        return invalid;
    }
    const double range_lo = lo, range_hi = hi;

    // Halley's method (cubically convergent: each step about triples the
    // correct digits) inside a shrinking bracket [lo, hi] that holds the
    // root if there is one; a step that would leave it bisects (in ln R1)
    // instead. The ends of the range are evaluated only when the iteration
    // heads past them (unless known): if r has the wrong sign there, the
    // root lies outside.
    bool lo_checked = ends_known, hi_checked = ends_known;
    for (int iteration = 0; iteration < 100; ++iteration) {
        r *= direction;
        slope *= direction;
        curvature *= direction;
        if (r == 0.0) {
            break;
        }
        if (r < 0.0) {
            lo = R1;
        } else {
            hi = R1;
        }
        double next = R1 - 2.0 * r * slope / (2.0 * slope * slope - r * curvature);
        if (!(next > lo && next < hi)) {
            const bool upward = r < 0.0;
            bool &checked = upward ? hi_checked : lo_checked;
            if (!checked) {
                checked = true;
                double r_end, slope_end, curvature_end;
                residual(upward ? range_hi : range_lo, r_end, slope_end, curvature_end);
                r_end *= direction;
                if (upward && r_end < 0.0) {
                    return {nan, nan, r1_above_range};
                }
                if (!upward && r_end > 0.0) {
                    return {nan, nan, r1_below_range};
                }
            }
            next = std::sqrt(lo * hi);
        }
        const double step = (next - R1) / R1;
        R1 = next;
        // After a relative step of 1e-4 the relative error of R1 is of the
        // order 1e-12, far below the single precision in which the
        // fraction fit reads it.
        if (std::fabs(step) < 1e-4 || hi - lo < 1e-15 * hi) {
            break;
        }
        residual(R1, r, slope, curvature);
    }
    return {R1, nan, r1_solved};
}

// Where the ratio turns inside [lo, hi], given that its slope has opposite
// signs at the ends (slope_lo the one at lo): bisection in ln R1 on the
// sign of the slope, to a relative width of 1e-12.
double turning_point(const Residual &residual, double lo, double hi, double slope_lo) {
    double r, slope, curvature;
    while (hi - lo > 1e-12 * hi) {
        const double middle = std::sqrt(lo * hi);
        residual(middle, r, slope, curvature);
        if (slope == 0.0) {
            return middle;
        }
        if ((slope > 0.0) == (slope_lo > 0.0)) {
            lo = middle;
        } else {
            hi = middle;
        }
    }
    return std::sqrt(lo * hi);
}

}  // namespace

R1Fit fit_r1_two_scans(const SpgrScan &a, const SpgrScan &b) noexcept {
    if (!usable(a) || !usable(b) || (a.flip_angle == b.flip_angle && a.TR == b.TR)) {
        return invalid;
    }
    if (a.TR == b.TR) {
        return line_through(a, b);
    }
    const double sin_a = std::sin(a.flip_angle), sin_b = std::sin(b.flip_angle);
    const Residual residual{std::cos(a.flip_angle), a.TR, std::cos(b.flip_angle), b.TR,
                            (a.signal * sin_b) / (b.signal * sin_a)};
    const bool proven = (a.flip_angle >= b.flip_angle && a.TR <= b.TR) ||
                        (b.flip_angle >= a.flip_angle && b.TR <= a.TR);

    // Start from the small-angle estimate of Helms et al. 2008 (see
    // mt_saturation), mostly within a few percent.
    const double guess = 0.5 * (b.signal * b.flip_angle / b.TR - a.signal * a.flip_angle / a.TR) /
                         (a.signal / a.flip_angle - b.signal / b.flip_angle);
    const auto start_in = [guess](double lo, double hi) {
        return guess > lo && guess < hi ? guess : std::sqrt(lo * hi);
    };
    R1Fit fit{nan, nan, r1_solved};
    double r_lo = 0.0, slope_lo = 0.0, r_hi = 0.0, slope_hi = 0.0, curvature;
    if (!proven) {
        residual(r1_search_lo, r_lo, slope_lo, curvature);
        residual(r1_search_hi, r_hi, slope_hi, curvature);
    }
    if (proven || (slope_lo > 0.0 && slope_hi > 0.0) || (slope_lo < 0.0 && slope_hi < 0.0)) {
        // Monotone on the whole interval: at most one root.
        fit = root_between(residual, r1_search_lo, r1_search_hi,
                           start_in(r1_search_lo, r1_search_hi), 0.0, false);
    } else {
        // The ratio turns once inside the interval (its slope, of the sign
        // of psi_a - psi_b above, changes sign once for R1 > 0: the
        // difference of two such curves crosses zero at most once, as a
        // sweep over angles in (0, pi/2) and TRs of 1 ms to 1 s finds).
        // Each side of the turn is monotone and holds at most one root:
        // look for it on each, and report both where both hold one.
        if (!std::isfinite(r_lo) || !std::isfinite(r_hi) || !(slope_lo != 0.0) ||
            !(slope_hi != 0.0)) {
            return invalid;
        }
        const double turn = turning_point(residual, r1_search_lo, r1_search_hi, slope_lo);
        double r_turn, slope_turn;
        residual(turn, r_turn, slope_turn, curvature);
        if (!std::isfinite(r_turn)) {
            return invalid;
        }
        const bool below_turn = r_turn == 0.0 || (r_lo > 0.0) != (r_turn > 0.0);
        const bool above_turn = r_turn != 0.0 && (r_hi > 0.0) != (r_turn > 0.0);
        if (r_turn == 0.0) {
            fit = {turn, nan, r1_solved};  // the ratio touches the measured one at its turn
        } else if (below_turn) {
            fit = root_between(residual, r1_search_lo, turn, start_in(r1_search_lo, turn),
                               r_turn > 0.0 ? 1.0 : -1.0, true);
        } else if (above_turn) {
            fit = root_between(residual, turn, r1_search_hi, start_in(turn, r1_search_hi),
                               r_hi > 0.0 ? 1.0 : -1.0, true);
        } else {
            // No crossing on either side: the root, if any, lies beyond the
            // end where the residual is smaller.
            return {nan, nan, std::fabs(r_lo) <= std::fabs(r_hi) ? r1_below_range : r1_above_range};
        }
        if (below_turn && above_turn && fit.status == r1_solved) {
            fit.status = r1_two_roots;  // the smaller root, as the fraction fit reports
        }
    }
    if (fit.status != r1_solved && fit.status != r1_two_roots) {
        return fit;
    }

    // M0: the least-squares amplitude of both scans at this R1.
    const double R1 = fit.R1;
    const double m_a = sin_a * steady_state_factor(R1, residual.cos_a, a.TR);
    const double m_b = sin_b * steady_state_factor(R1, residual.cos_b, b.TR);
    const double M0 = (a.signal * m_a + b.signal * m_b) / (m_a * m_a + m_b * m_b);
    return {R1, M0, fit.status};
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
    const double R1app =
        0.5 * (S_t1 * a_t1 / TR_t1 - S_pd * a_pd / TR_pd) / (S_pd / a_pd - S_t1 / a_t1);
    const double Aapp = S_pd * S_t1 * (TR_pd * a_t1 / a_pd - TR_t1 * a_pd / a_t1) /
                        (S_t1 * TR_pd * a_t1 - S_pd * TR_t1 * a_pd);
    const double a_mt = mt.flip_angle;
    return (Aapp * a_mt / mt.signal - 1.0) * R1app * mt.TR - a_mt * a_mt / 2.0;
}

// ---------------------------------------------------------------------------
// Maps: blocks of voxels on the worker threads.

namespace {

// Calls voxel(i, values) for every voxel, values[k] the k-th array's
// element there (1 where the array is absent: no transmit field, no mask).
template <std::size_t K, typename Voxel>
bool each_voxel(const MapShape &shape, const StridedArray *const (&arrays)[K], unsigned threads,
                KeepGoing keep_going, const Voxel &voxel) noexcept {
    return parallel_blocks(
        shape.size(), 4096, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            StridedCursor<K> at(shape, arrays, begin);
            double values[K];
            for (std::size_t i = begin; i < end; ++i, at.advance()) {
                for (std::size_t k = 0; k < K; ++k) {
                    values[k] = arrays[k]->present() ? arrays[k]->value(at[k]) : 1.0;
                }
                voxel(i, values);
            }
        },
        keep_going);
}

}  // namespace

bool spgr_signal_map(const MapShape &shape, const StridedArray &M0, const StridedArray &R1,
                     const StridedArray &flip_angle, const StridedArray &TR, const StridedArray &b1,
                     unsigned threads, double *S, KeepGoing keep_going) noexcept {
    const StridedArray *const arrays[] = {&M0, &R1, &flip_angle, &TR, &b1};
    return each_voxel(shape, arrays, threads, keep_going, [&](std::size_t i, const double *v) {
        // No M0 or R1 (background, a failed R1 fit): no signal, and no
        // trigonometry of the flip angle to find that out.
        S[i] =
            std::isnan(v[0]) || std::isnan(v[1]) ? nan : spgr_signal(v[0], v[1], v[4] * v[2], v[3]);
    });
}

bool spgr_log_derivatives_map(const MapShape &shape, const StridedArray &R1,
                              const StridedArray &flip_angle, const StridedArray &TR,
                              const StridedArray &b1, unsigned threads, double *d_R1,
                              double *d_log_b1, KeepGoing keep_going) noexcept {
    const StridedArray *const arrays[] = {&R1, &flip_angle, &TR, &b1};
    return each_voxel(shape, arrays, threads, keep_going, [&](std::size_t i, const double *v) {
        const double a = v[1] * v[3];
        const double TR_i = v[2];
        // 1 - E through expm1: no cancellation at short TR or small R1.
        const double E_minus_1 = std::expm1(-v[0] * TR_i);
        const double E = E_minus_1 + 1.0;
        const double cos_a = std::cos(a);
        const double one_minus_cos_E = 1.0 - cos_a * E;
        d_R1[i] = TR_i * E * (1.0 - cos_a) / (-E_minus_1 * one_minus_cos_E);
        if (d_log_b1 != nullptr) {
            const double sin_a = std::sin(a);
            d_log_b1[i] = a * (cos_a / sin_a - E * sin_a / one_minus_cos_E);
        }
    });
}

bool fit_r1_map(const R1MapInputs &in, unsigned threads, double *R1, double *M0,
                std::uint8_t *status, KeepGoing keep_going) noexcept {
    using I = R1MapInputs;
    const StridedArray *const arrays[] = {&in.signal[0], &in.signal[1], &in.b1,      &in.masks[0],
                                          &in.masks[1],  &in.masks[2],  &in.masks[3]};
    static_assert(std::size(arrays) == 3 + I::max_masks);
    return each_voxel(in.shape, arrays, threads, keep_going, [&](std::size_t i, const double *v) {
        bool fitted = true;
        for (std::size_t k = 0; k < in.mask_count; ++k) {
            fitted = fitted && v[3 + k] != 0.0;
        }
        const double b1 = v[2];
        const R1Fit fit = fitted ? fit_r1_two_scans({v[0], b1 * in.flip_angle[0], in.TR[0]},
                                                    {v[1], b1 * in.flip_angle[1], in.TR[1]})
                                 : R1Fit{nan, nan, r1_masked};
        if (R1 != nullptr) {
            R1[i] = fit.R1;
        }
        if (M0 != nullptr) {
            M0[i] = fit.M0;
        }
        if (status != nullptr) {
            status[i] = fit.status;
        }
    });
}

bool mtsat_map(const MTsatMapInputs &in, unsigned threads, double *saturation,
               KeepGoing keep_going) noexcept {
    const StridedArray *const arrays[] = {&in.signal[0], &in.signal[1], &in.signal[2], &in.b1};
    return each_voxel(in.shape, arrays, threads, keep_going, [&](std::size_t i, const double *v) {
        const double b1 = v[3];
        double delta = mt_saturation({v[0], b1 * in.flip_angle[0], in.TR[0]},
                                     {v[1], b1 * in.flip_angle[1], in.TR[1]},
                                     {v[2], b1 * in.flip_angle[2], in.TR[2]});
        if (in.correction >= 0.0) {
            delta = delta * (1.0 - in.correction) / (1.0 - in.correction * b1);
        }
        saturation[i] = 100.0 * delta;
    });
}

}  // namespace tavni::mt_map
