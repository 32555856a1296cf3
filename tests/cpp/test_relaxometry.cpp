// R1 and M0 from two SPGR scans of different TR: exact recovery from the
// steady-state equation, verdicts on voxels without a solution, whole maps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/relaxometry.hpp"

namespace mt = tavni::mt_map;

namespace {

constexpr double deg = 3.141592653589793 / 180.0;

// The steady state written out plainly, independently of the core's.
double spgr(double M0, double R1, double flip, double TR) {
    const double E1 = std::exp(-R1 * TR);
    return M0 * std::sin(flip) * (1.0 - E1) / (1.0 - E1 * std::cos(flip));
}

struct Protocol {
    double flip_a, TR_a, flip_b, TR_b;
    double R1_max = 50.0;  // the R1 up to which the ratio has one root in the interval
};

class TwoScans : public ::testing::TestWithParam<Protocol> {};

// PDw and T1w scans of one TR (the closed form), TRs that differ either
// way round, one pair that differs in TR only, and the larger angle with the
// longer TR, whose ratio turns near 42 /s: below the turn the root is unique.
TEST_P(TwoScans, RecoverR1AndM0) {
    const Protocol p = GetParam();
    for (double R1 : {0.01, 0.25, 0.3, 0.7, 1.1, 3.0, 12.0, 45.0}) {
        if (R1 > p.R1_max) {
            continue;
        }
        for (double M0 : {0.3, 1.0, 2500.0}) {
            const mt::R1Fit fit =
                mt::fit_r1_two_scans({spgr(M0, R1, p.flip_a, p.TR_a), p.flip_a, p.TR_a},
                                     {spgr(M0, R1, p.flip_b, p.TR_b), p.flip_b, p.TR_b});
            ASSERT_EQ(fit.status, mt::r1_solved) << R1;
            EXPECT_NEAR(fit.R1 / R1, 1.0, 1e-10) << R1;
            EXPECT_NEAR(fit.M0 / M0, 1.0, 1e-10) << R1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, TwoScans,
                         ::testing::Values(Protocol{4 * deg, 0.025, 25 * deg, 0.025},
                                           Protocol{4 * deg, 0.025, 25 * deg, 0.011},
                                           Protocol{25 * deg, 0.018, 6 * deg, 0.0245},
                                           Protocol{4 * deg, 0.02, 25 * deg, 0.03},
                                           Protocol{10 * deg, 0.01, 10 * deg, 0.05},
                                           Protocol{4 * deg, 0.006, 12 * deg, 0.042, 12.0},
                                           Protocol{12 * deg, 0.042, 4 * deg, 0.006, 12.0}));

// Past the turn of that ratio (near 42 /s) the signals of R1 = 45 /s are
// explained by a smaller R1 as well: two roots, the smaller returned.
TEST(TwoScans, RatioThatTurnsHasTwoRoots) {
    const double a = 4 * deg, b = 12 * deg, TR_a = 0.006, TR_b = 0.042;
    const double S_a = spgr(1.0, 45.0, a, TR_a), S_b = spgr(1.0, 45.0, b, TR_b);
    for (const bool swap : {false, true}) {
        const mt::SpgrScan first{S_a, a, TR_a}, second{S_b, b, TR_b};
        const mt::R1Fit fit =
            swap ? mt::fit_r1_two_scans(second, first) : mt::fit_r1_two_scans(first, second);
        ASSERT_EQ(fit.status, mt::r1_two_roots);
        EXPECT_LT(fit.R1, 42.0);
        EXPECT_GT(fit.R1, mt::r1_search_lo);
        const double ratio = spgr(1.0, fit.R1, b, TR_b) / spgr(1.0, fit.R1, a, TR_a);
        EXPECT_NEAR(ratio / (S_b / S_a), 1.0, 1e-10);
        EXPECT_NEAR(spgr(fit.M0, fit.R1, a, TR_a) / S_a, 1.0, 1e-6);
    }
}

TEST(TwoScans, Verdicts) {
    const double a = 4 * deg, b = 25 * deg, TR_a = 0.025, TR_b = 0.011;
    const double S_a = spgr(1.0, 1.0, a, TR_a), S_b = spgr(1.0, 1.0, b, TR_b);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        mt::SpgrScan first, second;
        mt::R1Status status;
    } cases[] = {
        {{-S_a, a, TR_a}, {S_b, b, TR_b}, mt::r1_invalid_input},
        {{0.0, a, TR_a}, {S_b, b, TR_b}, mt::r1_invalid_input},
        {{S_a, a, TR_a}, {nan, b, TR_b}, mt::r1_invalid_input},
        {{S_a, 0.0, TR_a}, {S_b, b, TR_b}, mt::r1_invalid_input},
        {{S_a, a, TR_a}, {S_b, 1.6, TR_b}, mt::r1_invalid_input},
        {{S_a, a, 0.0}, {S_b, b, TR_b}, mt::r1_invalid_input},
        {{S_a, a, TR_a}, {S_b, a, TR_a}, mt::r1_invalid_input},  // one contrast twice
        // T1w far brighter than any R1 makes it: R1 beyond the interval.
        {{S_a, a, TR_a},
         {0.999 * spgr(1.0, 60.0, b, TR_b) / spgr(1.0, 60.0, a, TR_a) * S_a, b, TR_b},
         mt::r1_above_range},
        {{S_a, a, TR_a},
         {1.001 * spgr(1.0, 1e-4, b, TR_b) / spgr(1.0, 1e-4, a, TR_a) * S_a, b, TR_b},
         mt::r1_below_range},
    };
    for (const Case &c : cases) {
        const mt::R1Fit fit = mt::fit_r1_two_scans(c.first, c.second);
        EXPECT_EQ(fit.status, c.status) << c.first.signal << " " << c.second.signal;
        EXPECT_TRUE(std::isnan(fit.R1) && std::isnan(fit.M0));
    }
}

// A map: the transmit field scales both nominal angles, the mask skips.
TEST(TwoScans, MapAppliesTransmitFieldAndMask) {
    const double a = 4 * deg, b = 25 * deg, TR_a = 0.025, TR_b = 0.011, M0 = 2.0, R1 = 0.8;
    const std::vector<double> b1 = {0.7, 1.0, 1.3, 1.1};
    const std::vector<std::uint8_t> mask = {1, 1, 1, 0};
    std::vector<double> S_a(4), S_b(4);
    for (int i = 0; i < 4; ++i) {
        const double b1_single = static_cast<float>(b1[i]);  // as the map reads it
        S_a[i] = spgr(M0, R1, b1_single * a, TR_a);
        S_b[i] = spgr(M0, R1, b1_single * b, TR_b);
    }
    // On a 2 x 2 map, the transmit field in single precision.
    const std::size_t extent[2] = {2, 2};
    const std::ptrdiff_t doubles[2] = {2 * sizeof(double), sizeof(double)};
    const std::ptrdiff_t floats[2] = {2 * sizeof(float), sizeof(float)};
    const std::ptrdiff_t bytes[2] = {2, 1};
    const std::vector<float> b1_single(b1.begin(), b1.end());
    mt::R1MapInputs in;
    in.shape = {2, extent};
    in.signal[0] = {S_a.data(), mt::StridedArray::float64, doubles};
    in.signal[1] = {S_b.data(), mt::StridedArray::float64, doubles};
    in.flip_angle[0] = a;
    in.flip_angle[1] = b;
    in.TR[0] = TR_a;
    in.TR[1] = TR_b;
    in.b1 = {b1_single.data(), mt::StridedArray::float32, floats};
    in.masks[0] = {mask.data(), mt::StridedArray::byte, bytes};
    in.mask_count = 1;
    std::vector<double> R1_out(4), M0_out(4);
    std::vector<std::uint8_t> status(4);
    ASSERT_TRUE(mt::fit_r1_map(in, 2, R1_out.data(), M0_out.data(), status.data()));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(status[i], mt::r1_solved);
        EXPECT_NEAR(R1_out[i] / R1, 1.0, 1e-10);
        EXPECT_NEAR(M0_out[i] / M0, 1.0, 1e-10);
    }
    EXPECT_EQ(status[3], mt::r1_masked);
    EXPECT_TRUE(std::isnan(R1_out[3]) && std::isnan(M0_out[3]));
}

}  // namespace
