// Fraction solver: the precomputed residual and the predicted ratio against
// model(), the search's
// guarantees, its verdicts on voxels without a solution, and whole maps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernels/closed_form.hpp"
#include "kernels/fast_kernel.hpp"
#include "kernels/float_bits.hpp"
#include "kernels/fraction_maps.hpp"
#include "kernels/predicted_ratio.hpp"
#include "kernels/residual.hpp"
#include "kernels/search.hpp"
#include "kernels/status.hpp"
#include "mpf_core.hpp"

namespace mt = tavni::mt_map;

namespace {

using tavni::mt_map::bits_of;
using tavni::mt_map::float_of;

const float inf_f = std::numeric_limits<float>::infinity();
const float nan_f = std::numeric_limits<float>::quiet_NaN();

double model_at(const mt::FractionProblem &p, float f) {
    return mt::model(f, p.S_ratio, p.R1, p.T2_free, p.delta_omega, p.omega_1_rms, p.G, p.TR,
                     p.duration, p.flip_angle);
}

// A 3 T white-matter-like protocol.
mt::FractionProblem protocol(float S_ratio) {
    return {S_ratio, 1.1f, 0.04f, 4000.0f, 1500.0f, 6.7e-6f, 0.028f, 0.012f, 0.17f};
}

// The measured ratio a voxel of fraction f would give: the model's own
// signals, divided in double.
float ratio_at(mt::FractionProblem p, float f) {
    mt::SignalParameters reference = p.signal();
    reference.omega_1_rms = 0.0f;
    const float S_mt = mt::newRamani_corr(f, p.signal());
    const float S_ref = mt::newRamani_corr(f, reference);
    return static_cast<float>(static_cast<double>(S_mt) / S_ref);
}

// The solver's promise for a found f: a single-precision value in the
// bracket where the residual is exactly zero, or whose neighbours give
// finite residuals of opposite signs, or a bracket end where the residual
// is finite and within rounding of zero.
::testing::AssertionResult keeps_promise(const mt::FractionProblem &p, const mt::FractionFit &fit,
                                         float lo, float hi) {
    const float f = static_cast<float>(fit.f);
    if (!(f >= lo && f <= hi && static_cast<double>(f) == fit.f)) {
        return ::testing::AssertionFailure() << "f " << fit.f << " not a single in the bracket";
    }
    const double r = model_at(p, f);
    const double below = model_at(p, std::nextafter(f, -inf_f));
    const double above = model_at(p, std::nextafter(f, inf_f));
    const bool end_zero = (f == lo || f == hi) && mt::FractionResidual(p).near_zero(r);
    if (r == 0.0 || end_zero ||
        (std::isfinite(below) && std::isfinite(above) && below * above < 0.0)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "f " << f << ": " << below << ", " << r << ", " << above;
}

TEST(FractionResidual, IsModelToTheBit) {
    std::mt19937 random(20261207);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    // Ordinary protocols, and values that drive the model into its corners.
    const float specials[] = {0.0f,  -0.0f,  1.0f,  -1.0f,      1e-30f, 1e30f,
                              inf_f, -inf_f, nan_f, 1.5707964f, 2.0f};
    using Ratios = mt::PredictedRatioInputs;
    std::vector<float> columns[Ratios::count];
    std::vector<double> ratios;
    for (int i = 0; i < 20000; ++i) {
        mt::FractionProblem p{
            0.2f + unit(random),          0.2f + 2.0f * unit(random), 0.01f + 0.1f * unit(random),
            200.0f + 1e4f * unit(random), 3000.0f * unit(random),     3e-5f * unit(random),
            0.01f + 0.1f * unit(random),  0.02f * unit(random),       0.6f * unit(random)};
        if (i % 4 == 0) {
            float *fields = &p.S_ratio;
            fields[random() % 9] = specials[random() % std::size(specials)];
        }
        const float f = i % 7 == 0 ? specials[random() % std::size(specials)] : unit(random);
        const double expected = model_at(p, f);
        const double actual = mt::FractionResidual(p)(f);
        ASSERT_TRUE(bits_of(actual) == bits_of(expected) ||
                    (std::isnan(actual) && std::isnan(expected)))
            << "case " << i << ": f " << f << ", " << actual << " != " << expected;
        // The forward model: the ratio that a measured ratio of 0 leaves, negated.
        p.S_ratio = 0.0f;
        const double ratio = -model_at(p, f);
        const double predicted = mt::predicted_ratio(f, p.signal());
        ASSERT_TRUE(bits_of(predicted) == bits_of(ratio) ||
                    (std::isnan(predicted) && std::isnan(ratio)))
            << "case " << i << ": f " << f << ", " << predicted << " != " << ratio;
        const float row[] = {f,   p.R1, p.T2_free,  p.delta_omega, p.omega_1_rms,
                             p.G, p.TR, p.duration, p.flip_angle};
        for (int j = 0; j < Ratios::count; ++j) {
            columns[j].push_back(row[j]);
        }
        ratios.push_back(ratio);
    }
    // The same voxels as a map of float32 columns, on three threads.
    Ratios in;
    const std::size_t extent[] = {ratios.size()};
    const std::ptrdiff_t strides[] = {sizeof(float)};
    in.shape = {1, extent};
    for (int j = 0; j < Ratios::count; ++j) {
        in.values[j] = {columns[j].data(), mt::StridedArray::float32, strides};
    }
    std::vector<double> map(ratios.size());
    ASSERT_TRUE(mt::predicted_ratio_map(in, 3, map.data()));
    for (std::size_t i = 0; i < map.size(); ++i) {
        ASSERT_TRUE(bits_of(map[i]) == bits_of(ratios[i]) ||
                    (std::isnan(map[i]) && std::isnan(ratios[i])))
            << "element " << i << ": " << map[i] << " != " << ratios[i];
    }
}

struct Bracket {
    float lo, hi;
};

class FractionSolve : public ::testing::TestWithParam<Bracket> {};

// Over a grid of fractions and tissues: the returned f has residuals of
// opposite signs (or an exact zero) at its single-precision neighbours, and
// is the fraction the ratio was made from to within the model's rounding.
TEST_P(FractionSolve, SignChangesAcrossTheNeighboursOfF) {
    const Bracket b = GetParam();
    int solved = 0;
    for (float R1 : {0.3f, 0.7f, 1.1f, 2.0f}) {
        for (int i = 1; i < 400; ++i) {
            const float f_true = 0.001f * static_cast<float>(i);
            if (f_true <= b.lo || f_true >= b.hi) {
                continue;
            }
            mt::FractionProblem p = protocol(0.0f);
            p.R1 = R1;
            p.S_ratio = ratio_at(p, f_true);
            const mt::FractionFit fit =
                mt::solve_fraction(mt::FractionResidual(p), b.lo, b.hi, false);
            ASSERT_EQ(fit.status, mt::fit_solved) << f_true;
            EXPECT_NEAR(fit.f, f_true, 1e-5);
            ASSERT_TRUE(keeps_promise(p, fit, b.lo, b.hi)) << f_true;
            solved += fit.f != b.lo && fit.f != b.hi;  // not a zero within rounding at an end
        }
    }
    EXPECT_GT(solved, 100);
}

// The default bracket, one whose ends lie an odd number of single-precision
// steps apart, and a narrow one.
INSTANTIATE_TEST_SUITE_P(Brackets, FractionSolve,
                         ::testing::Values(Bracket{0.0f, 0.5f}, Bracket{0.0f, 0.4f},
                                           Bracket{0.05f, 0.3f}, Bracket{0.12f, 0.15f}),
                         [](const ::testing::TestParamInfo<Bracket> &info) {
                             return "bracket" + std::to_string(info.index);
                         });

// Whatever the inputs, the search ends, and its verdict is one the residual
// bears out: a sign change across the neighbours of a solved f (or an
// exact zero, or a zero within rounding at an end), the same sign at both
// ends without one.
TEST(FractionSolve, VerdictsHoldForArbitraryInputs) {
    std::mt19937 random(99);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto log_uniform = [&](float lo, float hi) {
        return std::exp(std::log(lo) + (std::log(hi) - std::log(lo)) * unit(random));
    };
    auto signed_ = [&](float x) { return unit(random) < 0.2f ? -x : x; };
    int counts[6] = {};
    int fast_compared = 0, fast_disagrees = 0, fast_solved_apart = 0;
    // The map's fast way, a run of voxels at a time, against the closed form
    // one voxel at a time: they differ only in how the excitation's cosine
    // and logarithm are evaluated.
    static mt::ClosedFormRun run;
    std::vector<mt::FractionFit> one_by_one;
    int run_apart = 0;
    for (int i = 0; i < 30000; ++i) {
        const mt::FractionProblem p{
            -0.5f + 2.0f * unit(random),       signed_(log_uniform(1e-3f, 1e3f)),
            log_uniform(1e-4f, 1.0f),          signed_(log_uniform(1.0f, 1e6f)),
            signed_(log_uniform(1e-2f, 1e5f)), log_uniform(1e-9f, 1e-3f),
            log_uniform(1e-4f, 1.0f),          log_uniform(1e-5f, 0.1f),
            signed_(log_uniform(1e-3f, 3.0f))};
        const float lo = 0.0f, hi = 0.5f;
        const mt::FractionResidual residual(p);
        const mt::FractionFit fit = mt::solve_fraction(residual, lo, hi, false);
        ++counts[fit.status];
        const double r_lo = model_at(p, lo), r_hi = model_at(p, hi);
        // The closed form comes to the same verdicts, and to the same f within
        // the model's rounding, on physical voxels; where the residual is the
        // same at both ends to within rounding (no saturation to speak of),
        // below or above is a tie that rounding breaks either way.
        const mt::FractionFit fast = mt::closed_form_fraction(residual, lo, hi, false);
        const bool tie = std::fabs(r_lo - r_hi) <= 16 * 0x1p-23 * std::fabs(p.S_ratio - r_lo);
        const float inputs[] = {p.S_ratio, p.R1, p.T2_free,  p.delta_omega, p.omega_1_rms,
                                p.G,       p.TR, p.duration, p.flip_angle};
        const std::size_t at = one_by_one.size();
        for (int j = 0; j < 9; ++j) {
            run.values[j][at] = inputs[j];
        }
        run.b1[at] = 1.0;
        run.fitted[at] = i % 7 != 0;
        one_by_one.push_back(!run.fitted[at] ? mt::FractionFit{NAN, mt::fit_masked}
                             : !mt::in_physical_domain(p)
                                 ? mt::FractionFit{NAN, mt::fit_invalid_input}
                             : tie ? mt::FractionFit{NAN, mt::fit_masked}
                                   : fast);
        if (one_by_one.size() == mt::ClosedFormRun::size) {
            double f[mt::ClosedFormRun::size];
            std::uint8_t status[mt::ClosedFormRun::size];
            mt::closed_form_run(run, one_by_one.size(), lo, hi, false, f, status);
            for (std::size_t k = 0; k < one_by_one.size(); ++k) {
                const mt::FractionFit &expected = one_by_one[k];
                const bool tied = run.fitted[k] && expected.status == mt::fit_masked;
                run_apart += !tied && (status[k] != expected.status ||
                                       std::isnan(f[k]) != std::isnan(expected.f) ||
                                       std::fabs(f[k] - expected.f) > 1e-9);
            }
            one_by_one.clear();
        }
        if (mt::in_physical_domain(p) && !tie) {
            ++fast_compared;
            fast_disagrees += fast.status != fit.status;
            fast_solved_apart += fast.status == fit.status && !std::isnan(fit.f) &&
                                 !(std::fabs(fast.f - fit.f) <= 1e-6);
        }
        switch (fit.status) {
        case mt::fit_solved:
            ASSERT_TRUE(keeps_promise(p, fit, lo, hi)) << i;
            break;
        case mt::fit_two_roots: {
            // The smaller zero; the residual turns back between it and hi,
            // or a zero within rounding at an end comes with a crossing.
            ASSERT_TRUE(keeps_promise(p, fit, lo, hi)) << i;
            ASSERT_TRUE((r_lo > 0.0) == (r_hi > 0.0) || residual.near_zero(r_lo) ||
                        residual.near_zero(r_hi))
                << i;
            break;
        }
        case mt::fit_below_bracket:
        case mt::fit_above_bracket:
            ASSERT_TRUE(std::isnan(fit.f)) << i;
            ASSERT_EQ(r_lo > 0.0, r_hi > 0.0) << i;
            ASSERT_FALSE(residual.near_zero(r_lo) || residual.near_zero(r_hi)) << i;
            ASSERT_TRUE(std::isnan(residual.exact(lo, hi).f_upper) ||
                        (model_at(p, static_cast<float>(residual.exact(lo, hi).f_vertex)) > 0.0) ==
                            (r_lo > 0.0))
                << i << ": two zeros missed";
            break;
        case mt::fit_invalid_input:
            ASSERT_TRUE(std::isnan(fit.f)) << i;
            break;
        default:
            FAIL() << i << ": status " << static_cast<int>(fit.status);
        }
    }
    EXPECT_GT(fast_compared, 5000);
    EXPECT_EQ(fast_disagrees, 0);
    EXPECT_EQ(run_apart, 0);
    EXPECT_EQ(fast_solved_apart, 0);
    // The draws reach every verdict.
    EXPECT_GT(counts[mt::fit_solved], 500);
    EXPECT_GT(counts[mt::fit_below_bracket] + counts[mt::fit_above_bracket], 1000);
    EXPECT_GT(counts[mt::fit_invalid_input], 100);
}

// Brackets a few values around a known zero put it in each branch of the
// search: a bracket one step wide, the last step of a bracket an odd number
// of steps wide, and the probe next to an end. Strong saturation at f near
// 0.9 moves the residual by several rounding units per step, so that the
// ends of such narrow brackets escape the zero-at-the-end rule.
class ZeroNearTheEnds : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ZeroNearTheEnds, KeepsThePromise) {
    const auto [lo_offset, hi_offset] = GetParam();
    const mt::FractionProblem protocol{0.0f,  0.3f,  0.05f,  4000.0f, 30000.0f,
                                       3e-5f, 0.03f, 0.005f, 1.0f};
    int reached = 0;
    for (int i = 0; i < 300; ++i) {
        // A ratio between those of two neighbouring fractions: the zero
        // lies between them, a few rounding units from either.
        mt::FractionProblem p = protocol;
        const float f_true = 0.88f + 0.0002f * static_cast<float>(i);
        p.S_ratio = 0.5f * (ratio_at(p, f_true) + ratio_at(p, std::nextafter(f_true, 1.0f)));
        const mt::FractionResidual residual(p);
        const mt::FractionFit wide = mt::solve_fraction(residual, 0.8f, 0.99f, false);
        ASSERT_EQ(wide.status, mt::fit_solved);
        const std::uint32_t z = bits_of(static_cast<float>(wide.f));
        const float lo = float_of(z + lo_offset);
        const float hi = float_of(z + hi_offset);
        const double r_lo = model_at(p, lo), r_hi = model_at(p, hi);
        if (r_lo * r_hi >= 0.0 || residual.near_zero(r_lo) || residual.near_zero(r_hi)) {
            continue;  // the end rule, or no sign change between the ends
        }
        ++reached;
        const mt::FractionFit fit = mt::solve_fraction(residual, lo, hi, false);
        ASSERT_EQ(fit.status, mt::fit_solved) << i;
        ASSERT_TRUE(keeps_promise(p, fit, lo, hi)) << i;
    }
    EXPECT_GT(reached, 20);
}

INSTANTIATE_TEST_SUITE_P(Brackets, ZeroNearTheEnds,
                         ::testing::Values(std::pair{0, 1}, std::pair{-1, 0}, std::pair{-2, 1},
                                           std::pair{-1, 2}, std::pair{-4, 1}, std::pair{-7, 0},
                                           std::pair{-6, 1}, std::pair{-101, 1},
                                           std::pair{0, 101}));

// The closed form locates both zeros where the residual turns back inside
// the bracket (a low offset): the smaller one, with its own status.
TEST(FractionSolve, TwoZerosInTheBracket) {
    const mt::FractionProblem p{
        0.6935065233793654f,   1.342754151140006f,     0.01636376884910431f,
        97.45514429902745f,    911.943494824667f,      9.363293577327524e-08f,
        0.001305588610072329f, 0.0006584667303661364f, 0.612817010523531f};
    const mt::FractionFit fit = mt::solve_fraction(mt::FractionResidual(p), 0.0f, 0.5f, true);
    EXPECT_EQ(fit.status, mt::fit_two_roots);
    EXPECT_NEAR(fit.f, 0.4013, 1e-4);
    EXPECT_TRUE(keeps_promise(p, fit, 0.0f, 0.5f));
    // A bracket that holds only the larger zero.
    const mt::FractionFit upper = mt::solve_fraction(mt::FractionResidual(p), 0.42f, 0.5f, false);
    EXPECT_EQ(upper.status, mt::fit_solved);
    EXPECT_GT(upper.f, 0.42);
    EXPECT_TRUE(keeps_promise(p, upper, 0.42f, 0.5f));
}

// At 50-100 Hz, ratios made at a bracket end (f = 0, and f = 0.5) whose
// residual, within rounding of zero there, also crosses zero inside the
// bracket: the end's zero and the crossing are two, in both modes, the
// smaller returned. The crossing as an independent root search in 40-digit
// arithmetic on the model's formulas finds it (f_inside; the model's
// single-precision terms move it by up to some 3e-5).
TEST(FractionSolve, ZeroAtAnEndAndACrossingInside) {
    const struct {
        mt::FractionProblem p;
        double f, f_inside;
    } cases[] = {
        {{0.03209538f, 2.3851233f, 0.026795594f, 60.05182f, 763.9615f, 1.1697073e-05f, 0.09440533f,
          0.08290258f, 0.60500628f},
         0.0,
         0.072801848},
        {{0.0061654374f, 2.4236398f, 0.03752748f, 82.99422f, 2185.625f, 1.6710614e-05f,
          0.048041385f, 0.04207769f, 0.10721415f},
         0.0,
         0.15724721},
        {{0.048418991f, 0.756989f, 0.078707382f, 87.60964f, 1118.6954f, 1.9975564e-06f, 0.07797067f,
          0.07223094f, 0.50590925f},
         0.0,
         0.42724301},
        {{0.6657591f, 2.2531173f, 0.013548228f, 92.55170f, 314.6073f, 1.4252356e-05f, 0.03984236f,
          0.0082405098f, 0.69722337f},
         0.066119064,
         0.066119064},
        {{0.0019025165f, 1.2067645f, 0.044427615f, 63.201683f, 2824.689f, 4.2274469e-06f,
          0.031563703f, 0.025321102f, 0.1890336f},
         0.16374073,
         0.16374073},
    };
    for (const auto &c : cases) {
        const mt::FractionResidual residual(c.p);
        const mt::FractionFit fit = mt::solve_fraction(residual, 0.0f, 0.5f, false);
        EXPECT_EQ(fit.status, mt::fit_two_roots) << c.f_inside;
        EXPECT_NEAR(fit.f, c.f, c.f == 0.0 ? 0.0 : 5e-5) << c.f_inside;
        EXPECT_TRUE(keeps_promise(c.p, fit, 0.0f, 0.5f)) << c.f_inside;
        const mt::FractionFit fast = mt::closed_form_fraction(residual, 0.0, 0.5, false);
        EXPECT_EQ(fast.status, mt::fit_two_roots) << c.f_inside;
        EXPECT_NEAR(fast.f, fit.f, 1e-5) << c.f_inside;
        // A bracket that leaves out the zero at the end holds the crossing alone.
        const float lo = c.f == 0.0 ? 0.01f : 0.0f, hi = c.f == 0.0 ? 0.5f : 0.45f;
        const mt::FractionFit inside = mt::solve_fraction(residual, lo, hi, false);
        EXPECT_EQ(inside.status, mt::fit_solved) << c.f_inside;
        EXPECT_NEAR(inside.f, c.f_inside, 5e-5) << c.f_inside;
    }
}

// Where the two zeros all but meet, rounding alone may carry the computed
// residual a few units across zero although the exact one stays on one
// side: a crossing found by a narrow bracket is found by the wide one too.
TEST(FractionSolve, CrossingsNearADoubleZero) {
    mt::FractionProblem p{0.6935065233793654f,   1.342754151140006f,     0.01636376884910431f,
                          97.45514429902745f,    911.943494824667f,      9.363293577327524e-08f,
                          0.001305588610072329f, 0.0006584667303661364f, 0.612817010523531f};
    // The ratio at which the zeros meet: the top of the predicted ratio.
    const float vertex = static_cast<float>(mt::FractionResidual(p).exact(0.0, 0.5).f_vertex);
    const float top = ratio_at(p, vertex);
    int crossings = 0;
    for (int units = -24; units <= 24; ++units) {
        p.S_ratio = float_of(bits_of(top) + units);
        const mt::FractionResidual residual(p);
        const mt::FractionFit wide = mt::solve_fraction(residual, 0.0f, 0.5f, false);
        // Every value around the vertex where the residual has the other
        // sign than at the wide ends is the end of a narrow bracket with a
        // sign change.
        const bool lo_positive = model_at(p, 0.0f) > 0.0;
        bool crossed = false;
        for (int step = -30000; step <= 30000 && !crossed; ++step) {
            const double r = model_at(p, float_of(bits_of(vertex) + step));
            crossed = r == 0.0 || (r > 0.0) != lo_positive;
        }
        crossings += crossed && std::isnan(residual.exact(0.0, 0.5).f_upper);
        EXPECT_EQ(crossed, wide.status == mt::fit_two_roots) << units;
        if (crossed) {
            EXPECT_TRUE(keeps_promise(p, wide, 0.0f, 0.5f)) << units;
        }
    }
    EXPECT_GT(crossings, 0);  // crossings the exact zeros do not announce
}

// An infinite residual is no zero (the bound for "within rounding" is
// infinite with it).
TEST(FractionSolve, InfiniteResidualIsNoZero) {
    // R1 = -2 beta and the free pool's saturation Wf s = beta cancel the
    // 1 in H: the saturated signal is infinite at f = 0.
    mt::FractionProblem p = protocol(0.5f);
    p.R1 = -2.0f * mt::excitation_terms(p.flip_angle, p.TR).beta;
    p.duration = p.TR;
    p.T2_free = 0.00686894403770566f;
    ASSERT_TRUE(std::isinf(model_at(p, 0.0f)));
    const mt::FractionFit fit = mt::solve_fraction(mt::FractionResidual(p), 0.0f, 0.5f, false);
    EXPECT_EQ(fit.status, mt::fit_invalid_input);
    EXPECT_FALSE(mt::FractionResidual(p).near_zero(-std::numeric_limits<double>::infinity()));
}

// One input changed from the protocol (TR 0.028, flip angle 0.17), or b1.
struct DomainCase {
    float mt::FractionProblem::*field;
    float value;
    double b1;
    bool inside;
};

class PhysicalDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(PhysicalDomain, OnTheValuesTheModelSees) {
    const DomainCase c = GetParam();
    mt::FractionProblem p = protocol(0.5f);
    p.*c.field = c.value;
    EXPECT_EQ(mt::in_physical_domain(p, c.b1), c.inside) << c.value << ", b1 " << c.b1;
}

using P = mt::FractionProblem;
INSTANTIATE_TEST_SUITE_P(
    Cases, PhysicalDomain,
    ::testing::Values(
        DomainCase{&P::R1, 1.1f, 1.0, true}, DomainCase{&P::R1, 0.0f, 1.0, false},
        DomainCase{&P::R1, -1.0f, 1.0, false}, DomainCase{&P::T2_free, 0.0f, 1.0, false},
        DomainCase{&P::TR, -0.028f, 1.0, false}, DomainCase{&P::duration, 0.0f, 1.0, true},
        DomainCase{&P::duration, 0.028f, 1.0, true},
        DomainCase{&P::duration, std::nextafter(0.028f, 1.0f), 1.0, false},
        DomainCase{&P::duration, -1e-3f, 1.0, false}, DomainCase{&P::G, 0.0f, 1.0, true},
        DomainCase{&P::G, -1e-6f, 1.0, false}, DomainCase{&P::delta_omega, -0.0f, 1.0, false},
        DomainCase{&P::delta_omega, -4000.0f, 1.0, true},
        DomainCase{&P::omega_1_rms, 0.0f, 1.0, true},
        DomainCase{&P::omega_1_rms, inf_f, 1.0, false}, DomainCase{&P::S_ratio, nan_f, 1.0, false},
        DomainCase{&P::R1, 1.1f, -1.0, false}, DomainCase{&P::R1, 1.1f, 0.0, false},
        DomainCase{&P::flip_angle, -0.0f, 1.0, false},
        DomainCase{&P::flip_angle, -0.17f, 1.0, true},
        // The single nearest pi/2 lies above it; the one below is inside.
        DomainCase{&P::flip_angle, 1.5707964f, 1.0, false},
        DomainCase{&P::flip_angle, 1.5707962f, 1.0, true},
        DomainCase{&P::flip_angle, -1.5707964f, 1.0, false}));

TEST(FractionMap, ThreadsMaskTransmitFieldAndSharedValues) {
    const std::size_t n = 5000;
    std::vector<double> S_ratio(n), R1(n), b1(n), f1(n), f3(n);
    std::vector<std::uint8_t> mask(n), status1(n), status3(n);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double T2_free = 0.04, delta_omega = 4000.0, omega = 1500.0, G = 6.7e-6, TR = 0.028,
                 duration = 0.012, flip = 0.17;
    for (std::size_t i = 0; i < n; ++i) {
        const float f = static_cast<float>(0.4 * unit(random));
        R1[i] = 0.5 + unit(random);
        b1[i] = static_cast<float>(0.8 + 0.4 * unit(random));  // read in single below
        mask[i] = i % 5 != 0;
        // The ratio as the scanner sees it: nominal angle and power times b1.
        mt::FractionProblem p{0.0f,
                              static_cast<float>(R1[i]),
                              static_cast<float>(T2_free),
                              static_cast<float>(delta_omega),
                              static_cast<float>(omega * b1[i]),
                              static_cast<float>(G),
                              static_cast<float>(TR),
                              static_cast<float>(duration),
                              static_cast<float>(flip * b1[i])};
        S_ratio[i] = ratio_at(p, f);
    }
    S_ratio[3] = std::nan("");
    const double shared[] = {T2_free, delta_omega, omega, G, TR, duration, flip};
    // The per-voxel arrays in double, one shared value each for the rest,
    // the transmit field in single precision, on a 2-d map.
    const std::size_t extent[2] = {n / 8, 8};
    const std::ptrdiff_t doubles[2] = {8 * sizeof(double), sizeof(double)};
    const std::ptrdiff_t floats[2] = {8 * sizeof(float), sizeof(float)};
    const std::ptrdiff_t bytes[2] = {8, 1};
    std::vector<float> b1_single(b1.begin(), b1.end());
    mt::FractionMapInputs in;
    in.shape = {2, extent};
    in.values[0] = {S_ratio.data(), mt::StridedArray::float64, doubles};
    in.values[1] = {R1.data(), mt::StridedArray::float64, doubles};
    for (int j = 0; j < 7; ++j) {
        in.values[2 + j] = {&shared[j], mt::StridedArray::float64, nullptr};
    }
    in.b1 = {b1_single.data(), mt::StridedArray::float32, floats};
    in.masks[0] = {mask.data(), mt::StridedArray::byte, bytes};
    in.mask_count = 1;
    ASSERT_TRUE(mt::fit_fraction_map(in, 1, f1.data(), status1.data()));
    ASSERT_TRUE(mt::fit_fraction_map(in, 3, f3.data(), status3.data()));
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits_of(f1[i]), bits_of(f3[i])) << i;
        ASSERT_EQ(status1[i], status3[i]) << i;
        const mt::FitStatus expected = !mask[i] ? mt::fit_masked
                                       : i == 3 ? mt::fit_invalid_input
                                                : mt::fit_solved;
        ASSERT_EQ(status1[i], expected) << i;
        if (expected == mt::fit_solved) {
            // Solved with the scaled angle and power: the residual there
            // is the model's with those.
            const mt::FractionProblem p{static_cast<float>(S_ratio[i]),
                                        static_cast<float>(R1[i]),
                                        static_cast<float>(T2_free),
                                        static_cast<float>(delta_omega),
                                        static_cast<float>(omega * b1[i]),
                                        static_cast<float>(G),
                                        static_cast<float>(TR),
                                        static_cast<float>(duration),
                                        static_cast<float>(flip * b1[i])};
            ASSERT_TRUE(keeps_promise(p, {f1[i], mt::fit_solved}, 0.0f, 0.5f)) << i;
        } else {
            ASSERT_TRUE(std::isnan(f1[i]));
        }
    }
    // The fast way, on the same threads: the exact way's verdicts, f within
    // the model's rounding.
    in.exact = false;
    ASSERT_TRUE(mt::fit_fraction_map(in, 1, f3.data(), status3.data()));
    std::vector<double> f_fast(n);
    ASSERT_TRUE(mt::fit_fraction_map(in, 3, f_fast.data(), status3.data()));
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits_of(f3[i]), bits_of(f_fast[i])) << i;
        ASSERT_EQ(status3[i], status1[i]) << i;
        ASSERT_TRUE(std::isnan(f1[i]) ? std::isnan(f3[i]) : std::fabs(f3[i] - f1[i]) <= 1e-6) << i;
    }
}

// Every build of the fast way this processor runs gives the baseline's bits,
// on runs (arbitrary inputs, signs, masks, NaN and infinities among them)
// and on maps in the common layout, lengths that leave partial vectors.
TEST(FastKernel, EveryBuildGivesTheSameBits) {
    std::mt19937 random(2027);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    static mt::ClosedFormRun run;
    const float specials[] = {nan_f, inf_f, -inf_f, 0.0f, -0.0f, 1e-40f};
    for (std::size_t i = 0; i < mt::ClosedFormRun::size; ++i) {
        const float scale[] = {1.5f, 3.0f, 0.1f, 1e4f, 3000.0f, 3e-5f, 0.1f, 0.01f, 0.8f};
        for (int j = 0; j < 9; ++j) {
            run.values[j][i] = i % 17 == 0  ? specials[(i + j) % 6]
                               : i % 5 == 0 ? -scale[j] * unit(random)
                                            : scale[j] * unit(random);
        }
        run.b1[i] = 0.7 + 0.6 * unit(random);
        run.fitted[i] = i % 11 != 0;
    }
    std::vector<double> S(1000), R1(1000), b1(1000);
    for (std::size_t i = 0; i < S.size(); ++i) {
        S[i] = i % 13 == 0 ? 1.2 : 0.3 + 0.6 * unit(random);
        R1[i] = 0.2 + 2.0 * unit(random);
        b1[i] = 0.7 + 0.6 * unit(random);
    }
    const mt::ClosedFormMap map{S.data(), R1.data(), b1.data(), 0.04,  4000.0,
                                1500.0,   1.4e-5,    0.028,     0.012, 0.17};
    const mt::FastKernel chosen = mt::fast_kernel();
    const std::size_t run_length = mt::ClosedFormRun::size - 3, n = run_length + S.size();
    std::vector<double> f[2] = {std::vector<double>(n), std::vector<double>(n)};
    std::vector<std::uint8_t> status[2] = {std::vector<std::uint8_t>(n),
                                           std::vector<std::uint8_t>(n)};
    for (const mt::FastKernel k : mt::fast_kernels) {
        const int at = k != mt::FastKernel::baseline;  // 0: the baseline's own
        if (!mt::use_fast_kernel(k)) {
            std::printf("this processor cannot run the %s build\n", mt::name_of(k));
            continue;
        }
        for (const bool clip : {false, true}) {
            mt::closed_form_run(run, run_length, 0.0, 0.5, clip, f[at].data(), status[at].data());
            mt::closed_form_map(map, S.size(), 0.05, 0.45, clip, f[at].data() + run_length,
                                status[at].data() + run_length);
            if (k == mt::FastKernel::baseline) {
                continue;  // the last: every other has been compared
            }
            mt::use_fast_kernel(mt::FastKernel::baseline);
            mt::closed_form_run(run, run_length, 0.0, 0.5, clip, f[0].data(), status[0].data());
            mt::closed_form_map(map, S.size(), 0.05, 0.45, clip, f[0].data() + run_length,
                                status[0].data() + run_length);
            mt::use_fast_kernel(k);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(bits_of(f[1][i]), bits_of(f[0][i])) << mt::name_of(k) << " " << i;
                ASSERT_EQ(status[1][i], status[0][i]) << mt::name_of(k) << " " << i;
            }
        }
    }
    mt::use_fast_kernel(chosen);
}

}  // namespace

namespace {

// The zero of the exact-arithmetic residual, which the derivatives
// describe; the bracket is wide enough for every case below.
double exact_zero(const mt::FractionProblem &p) {
    return mt::FractionResidual(p).exact(0.0, 0.9).f;
}

struct DerivativeCase {
    float f, R1, b1;
};

class FractionDerivatives : public ::testing::TestWithParam<DerivativeCase> {};

// Against central differences of the exact zero, each input moved by 0.1%
// (the problem stores singles, which limits the differences to about 1e-4).
TEST_P(FractionDerivatives, MatchCentralDifferencesOfTheExactZero) {
    const DerivativeCase c = GetParam();
    mt::FractionProblem p = protocol(0.0f);
    p.R1 = c.R1;
    p.omega_1_rms *= c.b1;
    p.flip_angle *= c.b1;
    p.S_ratio = ratio_at(p, c.f);
    const double f = exact_zero(p);
    const auto d = mt::FractionResidual(p).derivatives(f, p.flip_angle, p.TR);

    const float h = 1e-3f;
    auto moved = [&](float scale, int which) {
        mt::FractionProblem q = p;
        if (which == 0) {
            q.S_ratio *= scale;
        } else if (which == 1) {
            q.R1 *= scale;
        } else {
            q.omega_1_rms *= scale;  // b1 scales both
            q.flip_angle *= scale;
        }
        return q;
    };
    const double expected[3] = {d.S_ratio, d.R1, d.log_b1};
    for (int which = 0; which < 3; ++which) {
        const mt::FractionProblem up = moved(1.0f + h, which), down = moved(1.0f - h, which);
        const double step = (which == 0   ? double(up.S_ratio) - down.S_ratio
                             : which == 1 ? double(up.R1) - down.R1
                                          : double(up.flip_angle) / p.flip_angle -
                                                double(down.flip_angle) / p.flip_angle);
        const double difference = (exact_zero(up) - exact_zero(down)) / step;
        EXPECT_NEAR(expected[which], difference, 2e-3 * std::fabs(difference) + 1e-6)
            << "input " << which;
        EXPECT_TRUE(std::isfinite(expected[which]));
    }
}

INSTANTIATE_TEST_SUITE_P(Voxels, FractionDerivatives,
                         ::testing::Values(DerivativeCase{0.005f, 0.3f, 1.0f},
                                           DerivativeCase{0.05f, 0.6f, 0.8f},
                                           DerivativeCase{0.12f, 1.1f, 1.0f},
                                           DerivativeCase{0.2f, 1.6f, 1.25f},
                                           DerivativeCase{0.35f, 2.0f, 0.9f}));

}  // namespace
