// Pulsed steady-state two-pool signal and the ratio residual.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "kernels/float_bits.hpp"
#include "mpf_core.hpp"

using tavni::mt_map::model;
using tavni::mt_map::newRamani_corr;

namespace {

using tavni::mt_map::bits_of;
using tavni::mt_map::float_of;

const float nan_f = std::numeric_limits<float>::quiet_NaN();

// The signal written out step by step, each rounding spelled out, as a
// second opinion that the optimised routine must agree with bit for bit.
float reference_signal(float f, float R1, float T2_free, float duration, float delta_omega,
                       float TR, float flip_angle, float omega_1_rms, float G) {
    const double pi = 3.141592653589793, two_pi = 6.283185307179586;
    const float R1f = R1, R1b = R1, R = 19.0f;
    const float Rf = R * f;
    const float k = static_cast<float>(static_cast<double>(Rf) / (1.0 - static_cast<double>(f)));
    const double q = static_cast<double>(omega_1_rms) / (two_pi * static_cast<double>(delta_omega));
    const float Wf = static_cast<float>(q * q / static_cast<double>(T2_free));
    const float w2 = omega_1_rms * omega_1_rms;
    const float Wb = static_cast<float>(static_cast<double>(w2) * pi * static_cast<double>(G));
    const double c = std::cos(static_cast<double>(flip_angle));
    const float beta = static_cast<float>(-std::log(c) / static_cast<double>(TR));
    const float s = duration / TR;
    const float F = static_cast<float>(static_cast<double>(f) / (1.0 - static_cast<double>(f)));
    const float kF = F == 0.0f ? R : k / F;
    float Y1 = (R1b * k) / R1f;
    Y1 = Y1 + Wb * s;
    Y1 = Y1 + R1b;
    Y1 = Y1 + kF;
    const float A = Wb * s + R1b;
    const float P = (k / R1f) * A;
    const float B = A + kF;
    const float q1 = (Wf * s) / R1f;
    const float q2 = beta / R1f;
    const double H = (1.0 + static_cast<double>(q1)) + static_cast<double>(q2);
    const float Y2 = static_cast<float>(H * static_cast<double>(B) + static_cast<double>(P));
    const double m = (1.0 - static_cast<double>(f)) * static_cast<double>(Y1);
    const float Mzf = static_cast<float>(m / static_cast<double>(Y2));
    return static_cast<float>(static_cast<double>(Mzf) * std::sin(static_cast<double>(flip_angle)));
}

double reference_model(float f, float S_ratio, float R1, float T2_free, float delta_omega,
                       float omega_1_rms, float G, float TR, float duration, float flip_angle) {
    const float S_ref =
        reference_signal(f, R1, T2_free, duration, delta_omega, TR, flip_angle, 0.0f, G);
    const float S_mt =
        reference_signal(f, R1, T2_free, duration, delta_omega, TR, flip_angle, omega_1_rms, G);
    if (S_ref == 0.0f) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(S_ratio) - static_cast<double>(S_mt) / static_cast<double>(S_ref);
}

// A realistic white-matter protocol; tests vary one parameter at a time.
struct Tissue {
    float f = 0.1f, R1 = 1.0f, T2_free = 0.05f, duration = 0.01f, delta_omega = 2000.0f, TR = 0.03f,
          flip_angle = 0.2f, omega_1_rms = 2000.0f, G = 1e-5f;
    float signal() const {
        return newRamani_corr(f,
                              {R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle});
    }
    double residual(float S_ratio) const {
        return model(f, S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration,
                     flip_angle);
    }
};

Tissue with(float Tissue::*field, float value) {
    Tissue t;
    t.*field = value;
    return t;
}

struct SignalCase {
    const char *name;
    Tissue tissue;
    double expected;  // NaN: any NaN
};

class SignalValues : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalValues, Exact) {
    const SignalCase c = GetParam();
    const double S = c.tissue.signal();
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(S)) << S;
    } else {
        EXPECT_EQ(bits_of(S), bits_of(c.expected)) << S;
    }
}

const float above_half_pi = static_cast<float>(M_PI / 2);  // nearest single lies above pi/2
const double nan_d = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, SignalValues,
    ::testing::Values(
        SignalCase{"reference", Tissue{}, 0.05597968399524689},
        SignalCase{"no_power", with(&Tissue::omega_1_rms, 0.0f), 0.11125926673412323},
        SignalCase{"no_duration", with(&Tissue::duration, 0.0f), 0.11125926673412323},
        SignalCase{"no_bound_absorption", with(&Tissue::G, 0.0f), 0.10160242021083832},
        SignalCase{"no_flip", with(&Tissue::flip_angle, 0.0f), 0.0},
        SignalCase{"whole_bound_pool", with(&Tissue::f, 1.0f), nan_d},
        SignalCase{"flip_above_half_pi", with(&Tissue::flip_angle, above_half_pi), nan_d},
        SignalCase{"flip_two", with(&Tissue::flip_angle, 2.0f), nan_d},
        SignalCase{"no_TR", with(&Tissue::TR, 0.0f), nan_d},
        SignalCase{"no_R1", with(&Tissue::R1, 0.0f), nan_d},
        SignalCase{"on_resonance", with(&Tissue::delta_omega, 0.0f), 0.0},
        SignalCase{"no_T2_free", with(&Tissue::T2_free, 0.0f), 0.0},
        SignalCase{"power_squared_overflows", with(&Tissue::omega_1_rms, 1e20f), nan_d}),
    [](const ::testing::TestParamInfo<SignalCase> &info) { return std::string(info.param.name); });

TEST(Signal, OnResonanceWithoutPowerIsNaN) {
    Tissue t = with(&Tissue::omega_1_rms, 0.0f);
    t.delta_omega = 0.0f;
    EXPECT_TRUE(std::isnan(t.signal()));
    t.delta_omega = 2000.0f;
    t.T2_free = 0.0f;
    EXPECT_TRUE(std::isnan(t.signal()));
}

TEST(Signal, FlipJustBelowHalfPiIsFinite) {
    const float below = std::nextafter(above_half_pi, 0.0f);
    EXPECT_TRUE(std::isfinite(with(&Tissue::flip_angle, below).signal()));
}

TEST(Signal, NegativeParametersAreEvaluated) {
    for (float Tissue::*field : {&Tissue::f, &Tissue::R1, &Tissue::TR, &Tissue::G}) {
        Tissue t;
        t.*field = -(t.*field);
        EXPECT_TRUE(std::isfinite(t.signal()));
    }
}

TEST(Signal, Symmetries) {
    const Tissue base;
    const float S = base.signal();
    Tissue t = base;
    t.delta_omega = -t.delta_omega;
    EXPECT_EQ(bits_of(t.signal()), bits_of(S));
    t = base;
    t.omega_1_rms = -t.omega_1_rms;
    EXPECT_EQ(bits_of(t.signal()), bits_of(S));
    t = base;
    t.flip_angle = -t.flip_angle;
    EXPECT_EQ(bits_of(t.signal()), bits_of(-S));
}

// Without a bound pool the signal is the single-pool one:
// R1 / (R1 + Wf s + beta) * sin(flip_angle).
TEST(Signal, NoBoundPoolGivesTheSinglePoolSignal) {
    for (float omega_1_rms : {0.0f, 500.0f, 2000.0f, 5000.0f}) {
        for (float flip_angle : {0.05f, 0.2f, 0.5f, 1.2f}) {
            Tissue t;
            t.f = 0.0f;
            t.omega_1_rms = omega_1_rms;
            t.flip_angle = flip_angle;
            const double Wf = std::pow(omega_1_rms / (2 * M_PI * t.delta_omega), 2) / t.T2_free;
            const double s = static_cast<double>(t.duration) / t.TR;
            const double beta = -std::log(std::cos(static_cast<double>(flip_angle))) / t.TR;
            const double expected =
                t.R1 / (t.R1 + Wf * s + beta) * std::sin(static_cast<double>(flip_angle));
            const float S = t.signal();
            EXPECT_NEAR(S, expected, 4 * std::numeric_limits<float>::epsilon() * expected);
            // ... and continuous with a small bound pool.
            t.f = 1e-6f;
            EXPECT_NEAR(t.signal(), S, 1e-4 * S);
        }
    }
}

struct ResidualCase {
    const char *name;
    Tissue tissue;
    float S_ratio;
    double expected;  // NaN: any NaN
};

class ResidualValues : public ::testing::TestWithParam<ResidualCase> {};

TEST_P(ResidualValues, Exact) {
    const ResidualCase c = GetParam();
    const double r = c.tissue.residual(c.S_ratio);
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(r)) << r;
    } else {
        EXPECT_EQ(bits_of(r), bits_of(c.expected)) << r;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResidualValues,
    ::testing::Values(ResidualCase{"reference", Tissue{}, 0.5f, -0.0031462604281025097},
                      // S_ratio enters as its single value, 0.10000000149011612.
                      ResidualCase{"single_ratio", Tissue{}, 0.1f, -0.4031462589379864},
                      // Equal signals: the quotient is exactly 1.
                      ResidualCase{"no_power", with(&Tissue::omega_1_rms, 0.0f), 0.45f,
                                   -0.550000011920929},
                      ResidualCase{"no_flip", with(&Tissue::flip_angle, 0.0f), 0.5f, nan_d},
                      ResidualCase{"whole_bound_pool", with(&Tissue::f, 1.0f), 0.5f, nan_d},
                      ResidualCase{"no_TR", with(&Tissue::TR, 0.0f), 0.5f, nan_d},
                      ResidualCase{"on_resonance", with(&Tissue::delta_omega, 0.0f), 0.5f, nan_d},
                      ResidualCase{"no_T2_free", with(&Tissue::T2_free, 0.0f), 0.5f, nan_d}),
    [](const ::testing::TestParamInfo<ResidualCase> &info) {
        return std::string(info.param.name);
    });

TEST(Residual, ZeroReferenceSignalGivesTheQuietNaN) {
    const double r = with(&Tissue::flip_angle, 0.0f).residual(0.5f);
    EXPECT_EQ(bits_of(r), bits_of(std::numeric_limits<double>::quiet_NaN()));
}

TEST(Residual, FiniteWithoutBoundPool) {
    // Cerebrospinal fluid: a root finder bracketing f from 0 needs a value.
    const double at_zero = with(&Tissue::f, 0.0f).residual(0.5f);
    ASSERT_TRUE(std::isfinite(at_zero));
    EXPECT_NEAR(with(&Tissue::f, 1e-6f).residual(0.5f), at_zero, 1e-5);
}

TEST(Residual, RatioOnlyShiftsTheResult) {
    const Tissue t;
    const double base = t.residual(0.0f);
    for (float S_ratio : {0.1f, 0.45f, 0.5f, 0.9f}) {
        EXPECT_EQ(t.residual(S_ratio), static_cast<double>(S_ratio) + base);
    }
}

// Equal bits, or both NaN: which NaN payload survives an operation with two
// NaN operands depends on the operand order the compiler picks.
template <typename T>
bool same_value(T a, T b) {
    return std::isnan(a) ? std::isnan(b) : bits_of(a) == bits_of(b);
}

// Bit-for-bit agreement with the written-out steps, on realistic values and on
// arbitrary bit patterns (infinities, NaNs, subnormals and huge values).
class AgreesWithStepByStep : public ::testing::TestWithParam<bool> {};

TEST_P(AgreesWithStepByStep, SignalAndResidual) {
    const bool arbitrary_bits = GetParam();
    std::mt19937 rng(arbitrary_bits ? 7 : 11);
    std::uniform_int_distribution<std::uint32_t> any_bits;
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float scale[10] = {0.5f, 1.0f, 3.0f, 0.2f, 1e4f, 0.05f, 1e-4f, 0.1f, 0.05f, 1.5f};
    for (int n = 0; n < 300000; ++n) {
        float v[10];
        for (int i = 0; i < 10; ++i) {
            v[i] = arbitrary_bits ? float_of(any_bits(rng)) : unit(rng) * scale[i];
        }
        if (arbitrary_bits && n % 3 == 0) {
            v[n % 10] = n % 2 ? 0.0f : nan_f;  // exact zeros and NaNs, too
        }
        // Argument order of the residual: f, S_ratio, R1, T2_free,
        // delta_omega, omega_1_rms, G, TR, duration, flip_angle.
        const float S = newRamani_corr(v[0], {v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]});
        const float S_expected =
            reference_signal(v[0], v[2], v[3], v[8], v[4], v[7], v[9], v[5], v[6]);
        ASSERT_TRUE(same_value(S, S_expected)) << n << ": " << S << " vs " << S_expected;
        const double r = model(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
        const double r_expected =
            reference_model(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
        ASSERT_TRUE(same_value(r, r_expected)) << n << ": " << r << " vs " << r_expected;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, AgreesWithStepByStep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "ArbitraryBits" : "Realistic");
                         });

struct RoundingCase {
    double value;
    float expected;
};

class ToSingle : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(ToSingle, RoundsToNearestWithOverflowToInfinity) {
    const RoundingCase c = GetParam();
    EXPECT_EQ(bits_of(tavni::mt_map::to_single(c.value)), bits_of(c.expected));
}

const float inf_f = std::numeric_limits<float>::infinity();
const float max_f = std::numeric_limits<float>::max();

INSTANTIATE_TEST_SUITE_P(
    Values, ToSingle,
    ::testing::Values(RoundingCase{0.1, 0.1f}, RoundingCase{-0.0, -0.0f}, RoundingCase{1e39, inf_f},
                      RoundingCase{-1e39, -inf_f}, RoundingCase{1e300, inf_f},
                      // Just above the largest single: still rounds down to it,
                      // until half an ulp past it, where it overflows.
                      RoundingCase{0x1.fffffe8p127, max_f}, RoundingCase{-0x1.fffffe8p127, -max_f},
                      RoundingCase{0x1.ffffffp127, inf_f},
                      RoundingCase{std::numeric_limits<double>::infinity(), inf_f},
                      RoundingCase{1e-50, 0.0f}, RoundingCase{0x1p-149, 0x1p-149f}),
    [](const ::testing::TestParamInfo<RoundingCase> &info) { return std::to_string(info.index); });

TEST(ToSingle, KeepsNaN) {
    EXPECT_TRUE(std::isnan(tavni::mt_map::to_single(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
