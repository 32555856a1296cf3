// Where the time of the bit-exact fraction solver goes, per voxel, on one
// thread: each line adds a stage of the work every voxel needs, up to the
// least any bit-exact solver must do, then the whole solve.
//
//   solver_floor RATIO.f64 R1.f64 B1.f64 T2_free delta_omega omega_1_rms G TR duration flip_angle
//
// The three files hold one double per voxel (the solver's per-voxel inputs);
// the protocol values follow as numbers. Built by volume_speed.py with the
// flags of the package build.
//
//   excitation   cosine, sine and logarithm of the voxel's flip angle
//   + terms      the saturation terms of both signals and the closed-form
//                zero of the model in exact arithmetic
//   + certify    the residual at the two single-precision neighbours of
//                that zero: what proves a zero when the exact one is right
//   solve        solve_fraction, as fit_fraction runs it
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernels/residual.hpp"
#include "kernels/search.hpp"
#include "mpf_core.hpp"

namespace {

namespace core = tavni::mt_map;

std::vector<double> read_doubles(const char *path) {
    std::vector<double> values;
    if (FILE *file = std::fopen(path, "rb")) {
        double buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, sizeof(double), 4096, file)) > 0;) {
            values.insert(values.end(), buffer, buffer + n);
        }
        std::fclose(file);
    }
    return values;
}

volatile double sink;

}  // namespace

int main(int argc, char **argv) {
    if (argc != 11) {
        std::fprintf(stderr,
                     "usage: %s RATIO R1 B1 T2_free delta_omega omega_1_rms G TR "
                     "duration flip_angle\n",
                     argv[0]);
        return 2;
    }
    const std::vector<double> S = read_doubles(argv[1]), R1 = read_doubles(argv[2]),
                              b1 = read_doubles(argv[3]);
    double p[7];
    for (int j = 0; j < 7; ++j) {
        p[j] = std::strtod(argv[4 + j], nullptr);
    }
    const std::size_t n = S.size();
    if (n == 0 || R1.size() != n || b1.size() != n) {
        std::fprintf(stderr, "inputs missing or of different sizes\n");
        return 1;
    }
    std::vector<core::FractionProblem> problems(n);
    for (std::size_t i = 0; i < n; ++i) {
        problems[i] = {
            core::to_single(S[i]), core::to_single(R1[i]),        core::to_single(p[0]),
            core::to_single(p[1]), core::to_single(p[2] * b1[i]), core::to_single(p[3]),
            core::to_single(p[4]), core::to_single(p[5]),         core::to_single(p[6] * b1[i])};
    }

    const auto per_voxel = [n](auto &&work) {
        double best = INFINITY;
        for (int round = 0; round < 3; ++round) {
            const auto start = std::chrono::steady_clock::now();
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                sum += work(i);
            }
            sink = sum;
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::fmin(best, took.count() / static_cast<double>(n) * 1e9);
        }
        return best;
    };
    const double excitation = per_voxel([&](std::size_t i) {
        const core::Excitation e = core::excitation_terms(problems[i].flip_angle, problems[i].TR);
        return e.beta + e.sin_flip;
    });
    const double terms = per_voxel(
        [&](std::size_t i) { return core::FractionResidual(problems[i]).exact(0.0, 0.5).f; });
    const double certify = per_voxel([&](std::size_t i) {
        const core::FractionResidual residual(problems[i]);
        const float f = static_cast<float>(residual.exact(0.0, 0.5).f);
        return residual(std::nextafter(f, 0.0f)) + residual(std::nextafter(f, 1.0f));
    });
    const double solve = per_voxel([&](std::size_t i) {
        return core::solve_fraction(core::FractionResidual(problems[i]), 0.0f, 0.5f, false).f;
    });
    std::printf("excitation %.1f\nterms %.1f\ncertify %.1f\nsolve %.1f\n", excitation, terms,
                certify, solve);
    return 0;
}
