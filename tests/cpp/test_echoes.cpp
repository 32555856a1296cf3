// The echo fit: exact recovery of R2* and every S_c(0) from noiseless
// decays, the same bits voxel by voxel and over a map, and the verdicts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/echoes.hpp"
#include "kernels/vector_exp.hpp"
#include "kernels/vector_log.hpp"

namespace mt = tavni::mt_map;

// Four doubles are passed by value to inlined functions only.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Echo times 2.3 ms apart from 2.3 ms, each contrast shifted by 0.1 ms.
struct Protocol {
    std::vector<std::vector<double>> TE;
    mt::EchoProtocol p{};

    explicit Protocol(const std::vector<std::size_t> &counts) {
        p.contrasts = counts.size();
        for (std::size_t c = 0; c < counts.size(); ++c) {
            TE.emplace_back();
            for (std::size_t k = 0; k < counts[c]; ++k) {
                TE[c].push_back(0.0023 * static_cast<double>(k + 1) +
                                1e-4 * static_cast<double>(c));
            }
        }
        for (std::size_t c = 0; c < counts.size(); ++c) {
            p.echoes[c] = counts[c];
            p.TE[c] = TE[c].data();
        }
    }
    double S0(std::size_t c) const { return 800.0 + 350.0 * static_cast<double>(c); }
};

class EchoCounts : public ::testing::TestWithParam<std::vector<std::size_t>> {};

// R2* from 0 to 100 /s, one voxel each, in single precision and one row
// per contrast of a 2 x 41 map whose echoes lie along the slow axis, and
// the same numbers with the echoes last; every fifth voxel with its first
// echo 0 where its contrast keeps two: both maps give R2* and S_c(0) back
// and the same bits as the voxel alone.
TEST_P(EchoCounts, RecoverDecayOverAMap) {
    const Protocol pr(GetParam());
    const std::size_t C = pr.p.contrasts, n = 41;
    std::vector<std::vector<float>> data(C), last(C);
    for (std::size_t c = 0; c < C; ++c) {
        const std::size_t E = pr.p.echoes[c];
        data[c].resize(E * n);
        last[c].resize(E * n);
        for (std::size_t k = 0; k < E; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                const double R2 = 2.5 * static_cast<double>(i);
                const bool zero = k == 0 && E > 2 && i % 5 == 0;
                data[c][k * n + i] =
                    zero ? 0.0f : static_cast<float>(pr.S0(c) * std::exp(-R2 * pr.TE[c][k]));
                last[c][i * E + k] = data[c][k * n + i];
            }
        }
    }
    const std::size_t extent[1] = {n};
    const std::ptrdiff_t stride[1] = {sizeof(float)};
    std::ptrdiff_t steps[mt::max_contrasts][1];
    mt::EchoMapInputs in, in_last;
    in.shape = in_last.shape = {1, extent};
    in.protocol = in_last.protocol = pr.p;
    for (std::size_t c = 0; c < C; ++c) {
        in.signal[c] = {data[c].data(), mt::StridedArray::float32, stride};
        in.echo_stride[c] = static_cast<std::ptrdiff_t>(n * sizeof(float));
        steps[c][0] = static_cast<std::ptrdiff_t>(pr.p.echoes[c] * sizeof(float));
        in_last.signal[c] = {last[c].data(), mt::StridedArray::float32, steps[c]};
        in_last.echo_stride[c] = sizeof(float);
    }
    std::vector<double> S0(n * C), R2(n), sd(n), S0_last(n * C), R2_last(n), sd_last(n);
    std::vector<std::uint8_t> status(n), status_last(n);
    ASSERT_TRUE(mt::fit_echoes_map(in, 2, S0.data(), R2.data(), sd.data(), status.data()));
    ASSERT_TRUE(mt::fit_echoes_map(in_last, 1, S0_last.data(), R2_last.data(), sd_last.data(),
                                   status_last.data()));
    EXPECT_EQ(status, status_last);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(R2[i], R2_last[i]) << i;
        EXPECT_TRUE(sd[i] == sd_last[i] || (std::isnan(sd[i]) && std::isnan(sd_last[i]))) << i;
        for (std::size_t c = 0; c < C; ++c) {
            EXPECT_EQ(S0[i * C + c], S0_last[i * C + c]) << i;
        }
    }
    std::size_t N = 0;
    for (std::size_t c = 0; c < C; ++c) {
        N += pr.p.echoes[c];
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::vector<double>> echoes(C);
        std::vector<const double *> rows;
        for (std::size_t c = 0; c < C; ++c) {
            for (std::size_t k = 0; k < pr.p.echoes[c]; ++k) {
                echoes[c].push_back(data[c][k * n + i]);
            }
            rows.push_back(echoes[c].data());
        }
        double alone_S0[mt::max_contrasts];
        const mt::EchoFit alone = mt::fit_echoes(pr.p, rows.data(), alone_S0);
        ASSERT_EQ(status[i], mt::echo_solved) << i;
        EXPECT_EQ(alone.status, mt::echo_solved);
        EXPECT_NEAR(R2[i], 2.5 * static_cast<double>(i), 2e-4) << i;  // float32 data
        EXPECT_EQ(alone.R2star, R2[i]);
        EXPECT_TRUE(N > C + 1 ? sd[i] < 1e-3 : std::isnan(sd[i])) << sd[i];
        EXPECT_TRUE(std::isnan(sd[i]) ? std::isnan(alone.R2star_sd) : alone.R2star_sd == sd[i]);
        for (std::size_t c = 0; c < C; ++c) {
            EXPECT_NEAR(S0[i * C + c] / pr.S0(c), 1.0, 1e-6);
            EXPECT_EQ(alone_S0[c], S0[i * C + c]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, EchoCounts,
                         ::testing::Values(std::vector<std::size_t>{8, 8, 6},
                                           std::vector<std::size_t>{2},
                                           std::vector<std::size_t>{1, 4},
                                           std::vector<std::size_t>{5, 1, 3, 8},
                                           std::vector<std::size_t>{1, 1, 1, 1, 1, 1, 1, 8}));

// Double-precision decays recover to the precision of the float logarithm
// (5e-8 in ln S: R2* to 1e-5 /s over these 7 ms of echoes, S_c(0) to 1e-7,
// an sd of that size); verdicts where the echoes do not make a decay.
TEST(Echoes, Verdicts) {
    struct Case {
        const char *what;
        std::vector<std::size_t> counts;
        double R2;           // of the decay made
        int zero, all_zero;  // echo set to 0 (-1: none); contrast set to 0 (-1: none)
        bool single_TE;      // every echo of a contrast at one TE
        mt::EchoStatus status;
    } cases[] = {
        {"decay", {4, 3}, 30.0, -1, -1, false, mt::echo_solved},
        {"no decay", {4, 3}, 0.0, -1, -1, false, mt::echo_solved},
        {"a zero echo", {4, 3}, 30.0, 2, -1, false, mt::echo_solved},
        {"growth", {4, 3}, -20.0, -1, -1, false, mt::echo_negative_r2star},
        {"a contrast all zero", {4, 3}, 30.0, -1, 1, false, mt::echo_too_few_echoes},
        {"one TE", {4, 3}, 30.0, -1, -1, true, mt::echo_too_few_echoes},
        {"C + 1 echoes less one", {1, 1}, 30.0, -1, -1, false, mt::echo_too_few_echoes},
        {"a zero echo leaves C", {2, 1}, 30.0, 0, -1, false, mt::echo_too_few_echoes},
    };
    for (const Case &t : cases) {
        Protocol pr(t.counts);
        std::vector<std::vector<double>> S(pr.p.contrasts);
        std::vector<const double *> rows;
        for (std::size_t c = 0; c < pr.p.contrasts; ++c) {
            for (std::size_t k = 0; k < pr.p.echoes[c]; ++k) {
                if (t.single_TE) {
                    pr.TE[c][k] = 0.005;
                }
                S[c].push_back(c == static_cast<std::size_t>(t.all_zero)
                                   ? 0.0
                                   : pr.S0(c) * std::exp(-t.R2 * pr.TE[c][k]));
            }
            rows.push_back(S[c].data());
        }
        if (t.zero >= 0) {
            S[0][static_cast<std::size_t>(t.zero)] = 0.0;
        }
        double S0[mt::max_contrasts];
        const mt::EchoFit fit = mt::fit_echoes(pr.p, rows.data(), S0);
        EXPECT_EQ(fit.status, t.status) << t.what;
        if (t.status == mt::echo_too_few_echoes) {
            EXPECT_TRUE(std::isnan(fit.R2star) && std::isnan(fit.R2star_sd) && std::isnan(S0[0]))
                << t.what;
            continue;
        }
        EXPECT_NEAR(fit.R2star, t.R2, 1e-5) << t.what;
        EXPECT_TRUE(t.R2 != 0.0 || (fit.R2star == 0.0 && !std::signbit(fit.R2star))) << t.what;
        EXPECT_LT(fit.R2star_sd, 1e-5) << t.what;
        for (std::size_t c = 0; c < pr.p.contrasts; ++c) {
            EXPECT_NEAR(S0[c] / pr.S0(c), 1.0, 1e-7) << t.what;
        }
    }
}

// The echo times are checked once for the whole map: every voxel invalid.
TEST(Echoes, InvalidEchoTimes) {
    for (const double bad : {nan, -0.001, std::numeric_limits<double>::infinity()}) {
        Protocol pr({3, 3});
        pr.TE[1][2] = bad;
        const std::vector<double> S = {100.0, 90.0, 80.0, 100.0, 90.0, 80.0};
        const std::size_t extent[1] = {2};
        mt::EchoMapInputs in;
        in.shape = {1, extent};
        in.protocol = pr.p;
        for (std::size_t c = 0; c < 2; ++c) {
            in.signal[c] = {S.data() + 3 * c, mt::StridedArray::float64, nullptr};  // shared
            in.echo_stride[c] = sizeof(double);
        }
        std::vector<double> S0(4), R2(2), sd(2);
        std::vector<std::uint8_t> status(2);
        ASSERT_TRUE(mt::fit_echoes_map(in, 1, S0.data(), R2.data(), sd.data(), status.data()));
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(status[i], mt::echo_invalid_input);
            EXPECT_TRUE(std::isnan(R2[i]) && std::isnan(sd[i]) && std::isnan(S0[2 * i]));
        }
    }
}

// The vector exponential: within an ulp of the library's over the whole
// range of normal results, the same bits four at a time as one at a time,
// and overflow, underflow and NaN as the library's.
TEST(Echoes, VectorExp) {
    std::vector<double> x = {0.0,
                             -0.0,
                             1e-300,
                             -1e-17,
                             0.5,
                             -0.34657359,
                             0.34657360,
                             1.0,
                             6.9,
                             -708.39,
                             709.78,
                             -745.0,
                             709.8,
                             710.5,
                             -746.5,
                             -1e300,
                             1e300,
                             nan,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    for (int k = 0; k <= 20000; ++k) {
        x.push_back(-708.0 + 1417.7 * k / 20000.0);  // normal results
    }
    for (std::size_t i = 0; i + 4 <= x.size(); i += 4) {
        const mt::Doubles four = {x[i], x[i + 1], x[i + 2], x[i + 3]};
        const mt::Doubles e4 = mt::exp_of(four);
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double v = x[i + lane], e = mt::exp_of(v), reference = std::exp(v);
            EXPECT_TRUE(e == e4[lane] || (std::isnan(e) && std::isnan(e4[lane]))) << v;
            if (std::isnan(reference) || std::isinf(reference) || reference == 0.0) {
                EXPECT_TRUE(e == reference || (std::isnan(e) && std::isnan(reference))) << v;
            } else if (reference >= std::numeric_limits<double>::min()) {
                const double ulp = reference - std::nextafter(reference, 0.0);
                EXPECT_LE(std::fabs(e - reference), ulp) << v;
            }
        }
    }
}

// The float logarithm of the echo fit: within 5e-8 of the library's from
// the least to the largest normal double, 3e-8 for floats (a mantissa the
// float holds whole), 0 for 1, and a lane's value whatever its neighbours.
TEST(Echoes, NarrowLog) {
    std::vector<double> x = {1.0,
                             0x1p-1022,
                             0x1.fffffffffffffp1023,
                             0x1.6a09e667f3bccp-1,
                             0x1.6a09e667f3bcdp-1,
                             0x1.6a09e6p-1,
                             0x1.6a09e8p-1,
                             0x1p-149,
                             0x1.fffffep127,
                             0x1.0000000000001p0,
                             0x1.fffffffffffffp-1};
    for (int k = 0; k <= 80000; ++k) {
        const double v = std::exp(-708.0 + 1417.0 * k / 80000.0);  // every exponent
        x.push_back(k % 2 == 0 ? v : static_cast<float>(std::fmod(v, 1e30) + 1e-30));
    }
    x.resize(x.size() + 16, 1.0);
    std::vector<double> y(x.size()), shifted(x.size());
    for (std::size_t i = 0; i + 11 <= x.size(); i += 8) {
        mt::narrow_log_of_positive(x.data() + i, y.data() + i);
        mt::narrow_log_of_positive(x.data() + i + 3, shifted.data() + i + 3);  // into the pad
    }
    for (std::size_t i = 0; i + 16 < x.size(); ++i) {
        const bool is_float = static_cast<float>(x[i]) == x[i];
        EXPECT_NEAR(y[i], std::log(x[i]), is_float ? 3e-8 : 5e-8) << x[i];
        EXPECT_TRUE(i < 3 || y[i] == shifted[i]) << x[i];
    }
    EXPECT_EQ(y[0], 0.0);
}

}  // namespace
