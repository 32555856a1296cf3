// Super-Lorentzian lineshape: against an independent quadrature, its
// symmetries, its logarithmic divergence and its edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernels/lineshape.hpp"

using tavni::mt_map::super_lorentzian;
using tavni::mt_map::StridedArray;
using tavni::mt_map::super_lorentzian_map;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
const double magic_u = 1.0 / std::sqrt(3.0);

// The lineshape's integrand in double precision, written out plainly.
double integrand(double u, double Delta, double T2b) {
    const double d = 3.0 * u * u - 1.0;
    const double x = 2.0 * M_PI * Delta * T2b / d;
    return std::exp(-2.0 * x * x) / std::fabs(d);
}

// Composite Simpson rule on [lo, hi] with n (even) panels.
double simpson(double lo, double hi, int n, double Delta, double T2b) {
    const double h = (hi - lo) / n;
    double sum = integrand(lo, Delta, T2b) + integrand(hi, Delta, T2b);
    for (int i = 1; i < n; ++i) {
        sum += (i % 2 == 1 ? 4.0 : 2.0) * integrand(lo + i * h, Delta, T2b);
    }
    return sum * h / 3.0;
}

struct Offset {
    double Delta, T2b;
};

class LineshapeAgainstSimpson : public ::testing::TestWithParam<Offset> {};

// Away from zero offset the integrand is smooth and vanishes to all orders
// at the magic angle, so a fine Simpson rule on the two halves of [0, 1]
// converges without any help.
TEST_P(LineshapeAgainstSimpson, AgreesToOnePartInABillion) {
    const Offset o = GetParam();
    const int panels = 400000;
    const double integral = simpson(0.0, magic_u, panels, o.Delta, o.T2b) +
                            simpson(magic_u, 1.0, panels, o.Delta, o.T2b);
    const double expected = std::sqrt(2.0 / M_PI) * o.T2b * integral;
    EXPECT_NEAR(super_lorentzian(o.Delta, o.T2b) / expected, 1.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Offsets, LineshapeAgainstSimpson,
                         ::testing::Values(Offset{1000.0, 12e-6}, Offset{4000.0, 12e-6},
                                           Offset{-2500.0, 10e-6}, Offset{20000.0, 15e-6},
                                           Offset{300.0, 8e-6}, Offset{50.0, 1e-3}),
                         [](const ::testing::TestParamInfo<Offset> &info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(Lineshape, DependsOnTheOffsetOnlyThroughDeltaT2b) {
    // G(Delta, T2b) = T2b * g(Delta T2b): scaling Delta up and T2b down by
    // the same factor scales G down by it.
    for (const double c : {0.5, 3.0, 1e3}) {
        const double G = super_lorentzian(2000.0, 12e-6);
        EXPECT_NEAR(super_lorentzian(2000.0 * c, 12e-6 / c) * c / G, 1.0, 1e-11) << c;
        EXPECT_EQ(super_lorentzian(-2000.0 * c, 12e-6 / c),
                  super_lorentzian(2000.0 * c, 12e-6 / c));
    }
}

TEST(Lineshape, DivergesLogarithmicallyTowardsZeroOffset) {
    // Near the magic angle 3u^2 - 1 ~ 2 sqrt(3) (u - 1/sqrt(3)), so each side
    // contributes log(1/a) / (2 sqrt(3)) + const: a tenfold smaller offset
    // adds log(10)/sqrt(3) to the integral. Far below anything a double
    // could resolve in u itself.
    const double T2b = 1e-5;
    const double scale = std::sqrt(2.0 / M_PI) * T2b;
    for (const double Delta : {1e-6, 1e-60, 1e-250}) {
        const double step =
            (super_lorentzian(Delta / 10.0, T2b) - super_lorentzian(Delta, T2b)) / scale;
        EXPECT_NEAR(step, std::log(10.0) / std::sqrt(3.0), 1e-9) << Delta;
    }
}

TEST(Lineshape, Edges) {
    EXPECT_EQ(super_lorentzian(0.0, 12e-6), inf);
    EXPECT_EQ(super_lorentzian(-0.0, 12e-6), inf);
    EXPECT_EQ(super_lorentzian(inf, 12e-6), 0.0);
    EXPECT_EQ(super_lorentzian(-inf, 12e-6), 0.0);
    // 2 pi Delta T2b = 63: exp(-a^2/2) is far below the double range.
    EXPECT_EQ(super_lorentzian(1e6, 1e-5), 0.0);
    for (const double T2b : {0.0, -1e-5, inf, nan}) {
        EXPECT_TRUE(std::isnan(super_lorentzian(1000.0, T2b))) << T2b;
    }
    EXPECT_TRUE(std::isnan(super_lorentzian(nan, 12e-6)));
    // Tiny but nonzero offsets stay finite and positive.
    const double G = super_lorentzian(1e-300, 1e-300);
    EXPECT_TRUE(std::isfinite(G) && G > 0.0);
}

TEST(LineshapeMap, EqualsElementByElementOnAnyNumberOfThreads) {
    const std::size_t n = 300;
    std::vector<double> Delta(n), G(n, -1.0);
    for (std::size_t i = 0; i < n; ++i) {
        Delta[i] = -15000.0 + 100.0 * static_cast<double>(i);  // through 0
    }
    const double T2b = 11e-6;
    const std::ptrdiff_t step = sizeof(double);
    for (const unsigned threads : {1u, 3u}) {
        super_lorentzian_map({1, &n}, {Delta.data(), StridedArray::float64, &step},
                             {&T2b, StridedArray::float64, nullptr}, threads, G.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(G[i], super_lorentzian(Delta[i], T2b)) << i;
        }
    }
    // One shared offset and T2b: one value everywhere.
    super_lorentzian_map({1, &n}, {&Delta[7], StridedArray::float64, nullptr},
                         {&T2b, StridedArray::float64, nullptr}, 2, G.data());
    for (const double g : G) {
        ASSERT_EQ(g, super_lorentzian(Delta[7], T2b));
    }
}

}  // namespace
