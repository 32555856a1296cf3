// Time per call of the core routines, without the interpreter: the
// super-Lorentzian integrand, one steady-state signal and the ratio
// residual (two signals sharing their amplitude-independent terms).
#include <benchmark/benchmark.h>

#include "mpf_core.hpp"

namespace {

namespace core = tavni::mt_map;

// A white-matter-like tissue and a typical MT-weighted spoiled gradient echo.
struct Inputs {
    float f = 0.1f, S_ratio = 0.5f, R1 = 1.0f, T2_free = 0.05f;
    float delta_omega = 2000.0f, omega_1_rms = 2000.0f, G = 1e-5f;
    float TR = 0.03f, duration = 0.01f, flip_angle = 0.2f;
    float u = 0.3f, Delta = 1000.0f, T2b = 1e-5f;
};

// The inputs pass through DoNotOptimize on every iteration, so the compiler
// can neither fold the call nor hoist it out of the loop.
void integrand(benchmark::State &state) {
    Inputs in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        benchmark::DoNotOptimize(core::super_lorentzian_differential(in.u, in.Delta, in.T2b));
    }
}

void signal(benchmark::State &state) {
    Inputs in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        benchmark::DoNotOptimize(
            core::newRamani_corr(in.f, {in.R1, in.T2_free, in.delta_omega, in.omega_1_rms, in.G,
                                        in.TR, in.duration, in.flip_angle}));
    }
}

void residual(benchmark::State &state) {
    Inputs in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        benchmark::DoNotOptimize(core::model(in.f, in.S_ratio, in.R1, in.T2_free, in.delta_omega,
                                             in.omega_1_rms, in.G, in.TR, in.duration,
                                             in.flip_angle));
    }
}

}  // namespace

BENCHMARK(integrand);
BENCHMARK(signal);
BENCHMARK(residual);

BENCHMARK_MAIN();
