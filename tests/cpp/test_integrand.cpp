// Super-Lorentzian integrand: reference values and IEEE edge behaviour.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "kernels/float_bits.hpp"
#include "mpf_core.hpp"

using tavni::mt_map::super_lorentzian_differential;

namespace {

using tavni::mt_map::bits_of;
using tavni::mt_map::float_of;

// Single-precision value nearest 1/sqrt(3), where 3u^2 - 1 comes closest to 0.
const float magic_u = static_cast<float>(1.0 / std::sqrt(3.0));

struct Reference {
    float u, Delta, T2b;
    double expected;
};

class IntegrandReference : public ::testing::TestWithParam<Reference> {};

TEST_P(IntegrandReference, MatchesToTheLastBit) {
    const Reference r = GetParam();
    EXPECT_EQ(bits_of(super_lorentzian_differential(r.u, r.Delta, r.T2b)), bits_of(r.expected))
        << super_lorentzian_differential(r.u, r.Delta, r.T2b);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntegrandReference,
    ::testing::Values(Reference{0.3f, 1000.0f, 1e-5f, 1.3497161551331618},
                      Reference{0.0f, 1000.0f, 1e-5f, 0.9921354059071832},
                      Reference{1.0f, 1000.0f, 1e-5f, 0.4990140130599585},
                      Reference{0.3f, 0.0f, 1e-5f, 1.369863033831556},
                      // No offset or no width: only 1/|3u^2 - 1| is left, and
                      // it stays finite next to the singular orientation.
                      Reference{magic_u, 0.0f, 1e-5f, 16777216.0},
                      Reference{magic_u, 1000.0f, 0.0f, 16777216.0},
                      // Far from resonance, or next to the singular
                      // orientation, the Gaussian underflows to exactly 0.
                      Reference{magic_u, 1000.0f, 1e-5f, 0.0},
                      Reference{std::nextafter(magic_u, 0.0f), 1000.0f, 1e-5f, 0.0},
                      Reference{std::nextafter(magic_u, 1.0f), 1000.0f, 1e-5f, 0.0},
                      Reference{0.3f, 1e7f, 1e-5f, 0.0}),
    [](const ::testing::TestParamInfo<Reference> &info) { return std::to_string(info.index); });

TEST(Integrand, ClosedFormsAtZeroAndOne) {
    for (float Delta : {0.0f, 100.0f, 1000.0f, 5000.0f}) {
        const double a = 2.0 * M_PI * Delta * 1e-5f;
        EXPECT_NEAR(super_lorentzian_differential(0.0f, Delta, 1e-5f), std::exp(-2.0 * a * a),
                    1e-15);
        const double b = M_PI * Delta * 1e-5f;
        EXPECT_NEAR(super_lorentzian_differential(1.0f, Delta, 1e-5f), 0.5 * std::exp(-2.0 * b * b),
                    1e-15);
    }
}

TEST(Integrand, EvenInEveryArgumentAndNeverNaNForFiniteInput) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<std::uint32_t> any_bits;
    int checked = 0;
    while (checked < 200000) {
        const float u = float_of(any_bits(rng));
        const float Delta = float_of(any_bits(rng));
        const float T2b = float_of(any_bits(rng));
        if (!std::isfinite(u) || !std::isfinite(Delta) || !std::isfinite(T2b)) {
            continue;
        }
        const double r = super_lorentzian_differential(u, Delta, T2b);
        ASSERT_FALSE(std::isnan(r)) << u << " " << Delta << " " << T2b;
        ASSERT_EQ(bits_of(r), bits_of(super_lorentzian_differential(-u, Delta, T2b)));
        ASSERT_EQ(bits_of(r), bits_of(super_lorentzian_differential(u, -Delta, T2b)));
        ASSERT_EQ(bits_of(r), bits_of(super_lorentzian_differential(u, Delta, -T2b)));
        ++checked;
    }
}

TEST(Integrand, NonFiniteArguments) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(std::isnan(super_lorentzian_differential(nan, 1000.0f, 1e-5f)));
    EXPECT_TRUE(std::isnan(super_lorentzian_differential(0.3f, nan, 1e-5f)));
    EXPECT_TRUE(std::isnan(super_lorentzian_differential(0.3f, 1000.0f, nan)));
    // An infinite offset saturates the Gaussian to 0; an infinite u gives
    // 0 * inf/inf in the exponent's argument and 1/inf outside.
    EXPECT_EQ(super_lorentzian_differential(0.3f, inf, 1e-5f), 0.0);
    EXPECT_EQ(super_lorentzian_differential(0.3f, 1000.0f, -inf), 0.0);
    EXPECT_EQ(super_lorentzian_differential(inf, 1000.0f, 1e-5f), 0.0);
    EXPECT_TRUE(std::isnan(super_lorentzian_differential(inf, inf, 1e-5f)));
    EXPECT_TRUE(std::isnan(super_lorentzian_differential(0.3f, inf, 0.0f)));
}

TEST(Integrand, NoRangeCheckOnU) {
    // |u| > 1 is evaluated by the same formula: at u = 2, 3u^2 - 1 = 11.
    EXPECT_EQ(super_lorentzian_differential(2.0f, 0.0f, 1e-5f), 1.0 / 11.0);
}

}  // namespace
