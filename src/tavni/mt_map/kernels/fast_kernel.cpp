// The fast way on whole maps: the closed-form zero of the model in exact
// arithmetic (closed_form_fraction) for runs of neighbouring voxels at once,
// in a loop without branches that the compiler keeps in vector registers.
//
// The model's terms are its own (residual_terms, FractionResidual's
// quadratic); only the excitation's cosine and logarithm are evaluated here,
// by polynomials a vector loop can hold, where the library's would be a call
// per voxel. On processors with AVX-512 the loop runs eight voxels per
// instruction, with AVX2 four, elsewhere one: all without fused
// multiply-adds, so every voxel's bits are the same whichever runs. Built without errno for the
// square root (the only library function left; no result changes), which
// otherwise keeps the loop scalar.
//
// The polynomial kernel of cos_within_half_pi follows fdlibm (that of
// log_of_positive, in vector_log.hpp, too), which carries this notice:
//   Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//   Developed at SunPro, a Sun Microsystems, Inc. business.
//   Permission to use, copy, modify, and distribute this
//   software is freely granted, provided that this notice
//   is preserved.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "closed_form.hpp"
#include "fast_kernel.hpp"
#include "float_bits.hpp"
#include "mpf_core.hpp"
#include "residual.hpp"
#include "status.hpp"
#include "vector_log.hpp"

namespace tavni::mt_map {

namespace {

using signal_steps::widen;

// cos x for |x| <= pi/2, within an ulp or two. The kernels of fdlibm
// (Sun Microsystems, 1993: k_cos.c, k_sin.c) on [0, pi/4]; beyond pi/4,
// cos x = sin(pi/2 - |x|), where the subtraction from the double pi/2 is
// exact (Sterbenz) and its tail is added once.
inline double cos_within_half_pi(double x) noexcept {
    constexpr double quarter_pi = 7.85398163397448278999e-01;
    constexpr double half_pi_hi = 1.57079632679489655800e+00;
    constexpr double half_pi_lo = 6.12323399573676603587e-17;
    const double a = std::fabs(x);
    const bool complement = a > quarter_pi;
    const double y = pick(complement, (half_pi_hi - a) + half_pi_lo, a);
    const double z = y * y, w = z * z;
    // cos y = 1 - y^2/2 + y^4 (C1 + C2 y^2 + ...)
    const double rc = z * (4.16666666666666019037e-02 +
                           z * (-1.38888888888741095749e-03 + z * 2.48015872894767294178e-05)) +
                      w * w *
                          (-2.75573143513906633035e-07 +
                           z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11));
    const double hz = 0.5 * z, one_minus_hz = 1.0 - hz;
    const double cos_y = one_minus_hz + (((1.0 - one_minus_hz) - hz) + z * rc);
    // sin y = y + y^3 (S1 + y^2 (S2 + ...))
    const double rs = 8.33333333332248946124e-03 +
                      z * (-1.98412698298579493134e-04 + z * 2.75573137070700676789e-06) +
                      z * w * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10);
    const double sin_y = y + z * y * (-1.66666666666666324348e-01 + z * rs);
    return pick(complement, sin_y, cos_y);
}

// One voxel's verdict from the values the model sees, its transmit field
// and whether it is fitted: the body of both loops below.
[[gnu::always_inline]] inline void fit_voxel(const FractionProblem &p, double b1, bool fitted,
                                             double lo, double hi, bool clip, double &f,
                                             std::uint32_t &status) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const bool inside = fitted & in_physical_domain(p, b1);
    // The excitation's loss rate beta = -ln(cos(flip_angle)) / TR, rounded
    // to single as the model does (excitation_terms); the share sin_flip of
    // the signal the readout sees cancels in the ratio.
    const double cos_flip = cos_within_half_pi(widen(p.flip_angle));
    const Excitation excitation{to_single(-log_of_positive(cos_flip) / widen(p.TR)), 0.0};
    const ResidualTerms terms = residual_terms(p.S_ratio, p.signal(), excitation);
    const FractionFit fit =
        closed_form_fraction(FractionResidual::quadratic(terms), terms.S_ratio, lo, hi, clip);
    f = pick(inside, fit.f, nan);
    const std::uint32_t left_out =
        pick(fitted, std::uint32_t{fit_invalid_input}, std::uint32_t{fit_masked});
    status = pick(inside, std::uint32_t{fit.status}, left_out);
}

// The verdicts of a run's voxels, and of a stretch of a map in the common
// layout: the loops, inlined into one build of each for every instruction
// set below (the vectorizer works on them there, at that set's width).
[[gnu::always_inline]] inline void fit_run_loop(const ClosedFormRun &run, std::size_t n, double lo,
                                                double hi, bool clip, double *__restrict f,
                                                std::uint32_t *__restrict status) noexcept {
    using I = FractionMapInputs;
    const auto &v = run.values;
    for (std::size_t i = 0; i < n; ++i) {
        const FractionProblem p{v[I::S_ratio][i],     v[I::R1][i],          v[I::T2_free][i],
                                v[I::delta_omega][i], v[I::omega_1_rms][i], v[I::G][i],
                                v[I::TR][i],          v[I::duration][i],    v[I::flip_angle][i]};
        fit_voxel(p, run.b1[i], run.fitted[i] != 0, lo, hi, clip, f[i], status[i]);
    }
}

[[gnu::always_inline]] inline void fit_map_loop(const ClosedFormMap &map, std::size_t n, double lo,
                                                double hi, bool clip, double *__restrict f,
                                                std::uint32_t *__restrict status) noexcept {
    const float T2_free = to_single(map.T2_free), delta_omega = to_single(map.delta_omega),
                G = to_single(map.G), TR = to_single(map.TR), duration = to_single(map.duration);
    for (std::size_t i = 0; i < n; ++i) {
        const double b1 = map.b1[i];
        const FractionProblem p{to_single(map.S_ratio[i]),
                                to_single(map.R1[i]),
                                T2_free,
                                delta_omega,
                                to_single(map.omega_1_rms * b1),
                                G,
                                TR,
                                duration,
                                to_single(map.flip_angle * b1)};
        fit_voxel(p, b1, true, lo, hi, clip, f[i], status[i]);
    }
}

// One build of both loops per instruction set: x86-64's baseline (SSE2,
// where GCC keeps the loop scalar, a voxel at a time), AVX2 (four doubles
// an instruction) and AVX-512 (eight; F for the arithmetic, DQ for the
// conversions between doubles and 64-bit words, BW and VL for the narrower
// lanes of the statuses and the single-precision inputs; the mask
// registers and three-way logic make the bit-wise picks one instruction
// each, which is most of its gain: at 256 bits it ran as fast), at the full
// 512 bits (GCC otherwise prefers 256). None has fused multiply-adds
// (-ffp-contract=off), and each lane does what the scalar code does, so
// every build gives the same bits.
#define MT_MAP_FAST_BUILD(suffix, ...)                                                    \
    __VA_ARGS__ void fit_run_##suffix(const ClosedFormRun &run, std::size_t n, double lo, \
                                      double hi, bool clip, double *__restrict f,         \
                                      std::uint32_t *__restrict status) noexcept {        \
        fit_run_loop(run, n, lo, hi, clip, f, status);                                    \
    }                                                                                     \
    __VA_ARGS__ void fit_map_##suffix(const ClosedFormMap &map, std::size_t n, double lo, \
                                      double hi, bool clip, double *__restrict f,         \
                                      std::uint32_t *__restrict status) noexcept {        \
        fit_map_loop(map, n, lo, hi, clip, f, status);                                    \
    }
MT_MAP_FAST_BUILD(baseline, )
MT_MAP_FAST_BUILD(avx2, [[gnu::target("avx2")]])
#if defined(__clang__)  // its own spelling of the preference
MT_MAP_FAST_BUILD(avx512, [[gnu::target("avx512f,avx512dq,avx512bw,avx512vl"),
                            clang::min_vector_width(512)]])
#else
MT_MAP_FAST_BUILD(avx512,
                  [[gnu::target("avx512f,avx512dq,avx512bw,avx512vl,prefer-vector-width=512")]])
#endif
#undef MT_MAP_FAST_BUILD

// The build in use: the widest this processor runs, unless use_fast_kernel
// chose another. Read once per run of voxels.
std::atomic<int> chosen{-1};

FastKernel in_use() noexcept {
    int k = chosen.load(std::memory_order_relaxed);
    if (k < 0) {
        k = static_cast<int>(can_run(FastKernel::avx512) ? FastKernel::avx512
                             : can_run(FastKernel::avx2) ? FastKernel::avx2
                                                         : FastKernel::baseline);
        chosen.store(k, std::memory_order_relaxed);
    }
    return static_cast<FastKernel>(k);
}

// Each entry point's builds, in the order of FastKernel's values.
using RunFit = void (*)(const ClosedFormRun &, std::size_t, double, double, bool, double *,
                        std::uint32_t *) noexcept;
using MapFit = void (*)(const ClosedFormMap &, std::size_t, double, double, bool, double *,
                        std::uint32_t *) noexcept;
constexpr RunFit run_fits[] = {fit_run_baseline, fit_run_avx2, fit_run_avx512};
constexpr MapFit map_fits[] = {fit_map_baseline, fit_map_avx2, fit_map_avx512};

void fit_run(const ClosedFormRun &run, std::size_t n, double lo, double hi, bool clip, double *f,
             std::uint32_t *status) noexcept {
    run_fits[static_cast<int>(in_use())](run, n, lo, hi, clip, f, status);
}

void fit_map(const ClosedFormMap &map, std::size_t n, double lo, double hi, bool clip, double *f,
             std::uint32_t *status) noexcept {
    map_fits[static_cast<int>(in_use())](map, n, lo, hi, clip, f, status);
}

// Status codes from the loops' 32-bit lanes.
void narrow(const std::uint32_t *wide, std::size_t n, std::uint8_t *status) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        status[i] = static_cast<std::uint8_t>(wide[i]);
    }
}

}  // namespace

const char *name_of(FastKernel kernel) noexcept {
    switch (kernel) {
    case FastKernel::avx512:
        return "avx512";
    case FastKernel::avx2:
        return "avx2";
    default:
        return "baseline";
    }
}

bool can_run(FastKernel kernel) noexcept {
    __builtin_cpu_init();
    switch (kernel) {
    case FastKernel::avx512:
        // (Each also asks whether the system saves the registers it needs.)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    case FastKernel::avx2:
        return __builtin_cpu_supports("avx2");
    default:
        return true;
    }
}

FastKernel fast_kernel() noexcept {
    return in_use();
}

bool use_fast_kernel(FastKernel kernel) noexcept {
    if (!can_run(kernel)) {
        return false;
    }
    chosen.store(static_cast<int>(kernel), std::memory_order_relaxed);
    return true;
}

void closed_form_run(const ClosedFormRun &run, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept {
    std::uint32_t wide_status[ClosedFormRun::size];
    fit_run(run, n, lo, hi, clip, f, wide_status);
    narrow(wide_status, n, status);
}

void closed_form_map(const ClosedFormMap &map, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept {
    std::uint32_t wide_status[ClosedFormRun::size];
    for (std::size_t first = 0; first < n; first += ClosedFormRun::size) {
        const std::size_t m = std::min(ClosedFormRun::size, n - first);
        const ClosedFormMap part{map.S_ratio + first, map.R1 + first,  map.b1 + first, map.T2_free,
                                 map.delta_omega,     map.omega_1_rms, map.G,          map.TR,
                                 map.duration,        map.flip_angle};
        fit_map(part, m, lo, hi, clip, f + first, wide_status);
        narrow(wide_status, m, status + first);
    }
}

}  // namespace tavni::mt_map
