// The echo fit (see echoes.hpp) of a run of neighbouring voxels
// (echo_run.hpp): the echoes of a run, laid out echo by echo, voxel by
// voxel, are fitted four voxels at a time in vector registers (one
// instruction per step with AVX2, two with SSE2, no fused multiply-add
// either way: the same bits), each contrast's sums kept in registers over
// its echoes. The logarithms of a run's echoes are taken first, eight at a
// time in single precision (see fit_run); the exponential is the polynomial
// of vector_exp.hpp, the square root one instruction (this file is built
// without errno for the library's square root, which otherwise keeps the
// loops scalar).
#include "echo_run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "float_bits.hpp"
#include "vector_exp.hpp"
#include "vector_log.hpp"

// Four doubles pass between functions here only once inlined, never through
// an interface whose convention could differ between the two builds.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tavni::mt_map {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The first `lanes` of four into consecutive doubles.
[[gnu::always_inline]] inline void write(double *to, Doubles x, std::size_t lanes) {
    if (lanes == 4) {
        store(to, x);
    } else {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            to[lane] = x[lane];
        }
    }
}

// The square root lane by lane: one instruction, as this file is built
// without errno for the library's square root.
[[gnu::always_inline]] inline Doubles sqrt_of(Doubles x) {
    Doubles root;
    for (int lane = 0; lane < 4; ++lane) {
        root[lane] = std::sqrt(x[lane]);
    }
    return root;
}

// An echo with signal: positive, finite and a normal double, so that its
// bits lie from 0x0010... to 0x7fef...: shifted up by 0x0010..., these and
// only these are (as signed integers) above 0x001f... (the others wrap
// below: zero and subnormals, or past the sign bit: infinities, NaNs and
// negative numbers, whose own wrap lands below 0x0020...).
[[gnu::always_inline]] inline Masks has_signal(Doubles s) {
    const Words shifted = bits_of(s) + std::uint64_t{0x0010000000000000};
    Masks b;
    std::memcpy(&b, &shifted, sizeof b);
    return b > std::int64_t{0x001fffffffffffff};
}

// Lanes `first` to first + 3 of a run, every step in vector registers: the
// sums of a contrast stay there over its echoes, and only ln S and the
// weights of the echoes go through memory (the stack, in the first-level
// cache).
//
// Per contrast and lane, echo times and logarithms are taken against the
// first echo with signal (u = TE - TE_first, d = y - y_first), and the
// weighted means u_c, d_c of u and d follow. Taken so, echoes of one TE give
// u = 0 and a signal that does not decay d = 0 exactly, whatever the
// rounding of a weighted mean would make of them: no spread stays no
// spread, and a constant signal gives R2* = 0, not a sign of rounding
// noise. The small u and d also keep the sums of their products, from
// which the centred sums follow in the same pass, far from cancelling:
//     Sxx_c = sum w (u - u_c)^2 = sum w u^2 - u_c sum w u,
//     Sxy_c = sum w (u - u_c)(d - d_c) = sum w u d - d_c sum w u.
[[gnu::always_inline]] inline void fit_lanes(const EchoProtocol &p, std::size_t rows,
                                             const EchoRun &run, std::size_t first, std::size_t n,
                                             const RunOutputs &out) {
    // ln S, and the weights relative to each voxel's largest signal: S^2 in
    // the data's own unit could overflow (or underflow), and the fit does not
    // depend on the weights' scale.
    Doubles y[max_rows], w[max_rows];
    // The logarithm of an echo without signal is of no use (and no harm: no
    // step of it traps), and the largest of all signals is the largest with
    // signal only if every echo has some; both are made good below where
    // not.
    Doubles top = splat<Doubles>(0.0);
    Masks every = {-1, -1, -1, -1};
    for (std::size_t j = 0; j < rows; ++j) {
        const Doubles S = load(run.S[j] + first);
        every &= has_signal(S);
        top = pick(top < S, S, top);
        y[j] = load(run.y[j] + first);
        w[j] = S;
    }
    // Whether every echo of the four voxels has signal, as in most of a
    // map: then each contrast's first echo is its reference in every lane,
    // the offsets u of the echo times are the same for all lanes, and the
    // sums need none of the choices of the general loop (with the same
    // arithmetic, so the same bits, as it does when the first echo has
    // signal).
    const bool all_signal = (every[0] & every[1] & every[2] & every[3]) != 0;
    if (!all_signal) {
        top = splat<Doubles>(0.0);
        for (std::size_t j = 0; j < rows; ++j) {
            const Masks ok = has_signal(w[j]);
            const Doubles candidate = pick(ok, w[j], splat<Doubles>(0.0));
            top = pick(top < candidate, candidate, top);
            y[j] = pick(ok, y[j], splat<Doubles>(0.0));  // ln 1
        }
    }
    const Doubles scale = 1.0 / top;

    Doubles t0[max_contrasts], y0[max_contrasts], u_c[max_contrasts], d_c[max_contrasts];
    Doubles Sxx = splat<Doubles>(0.0), Sxy = splat<Doubles>(0.0);
    Doubles used = splat<Doubles>(all_signal ? static_cast<double>(rows) : 0.0);
    Masks empty = {0, 0, 0, 0};
    std::size_t first_row = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        const double *TE = p.TE[c];
        const std::size_t count = p.echoes[c];
        Doubles W = splat<Doubles>(0.0), Wu = W, Wd = W, Wuu = W, Wud = W;
        if (all_signal) {
            t0[c] = splat<Doubles>(TE[0]);
            y0[c] = y[first_row];
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t j = first_row + k;
                const double u = TE[k] - TE[0];
                const Doubles relative = w[j] * scale;
                const Doubles wj = relative * relative;
                w[j] = wj;
                const Doubles d = y[j] - y0[c], wu = wj * u;
                W += wj;
                Wu += wu;
                Wd += wj * d;
                Wuu += wu * u;
                Wud += wu * d;
            }
        } else {
            // Before the first echo with signal every weight is 0, so the
            // sums do not depend on the reference until it is found.
            Masks found = {0, 0, 0, 0};
            t0[c] = splat<Doubles>(0.0);
            y0[c] = splat<Doubles>(0.0);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t j = first_row + k;
                const double te = TE[k];
                const Masks on = has_signal(w[j]);
                const Doubles relative = w[j] * scale;
                const Doubles wj = pick(on, relative * relative, splat<Doubles>(0.0));
                w[j] = wj;
                const Masks is_first = on & ~found;
                t0[c] = pick(is_first, splat<Doubles>(te), t0[c]);
                y0[c] = pick(is_first, y[j], y0[c]);
                found |= on;
                used += pick(on, splat<Doubles>(1.0), splat<Doubles>(0.0));
                const Doubles u = te - t0[c], d = y[j] - y0[c], wu = wj * u;
                W += wj;
                Wu += wu;
                Wd += wj * d;
                Wuu += wu * u;
                Wud += wu * d;
            }
            empty |= ~found;
        }
        u_c[c] = Wu / W;  // NaN for a contrast without signal
        d_c[c] = Wd / W;
        Sxx += Wuu - u_c[c] * Wu;
        Sxy += Wud - d_c[c] * Wu;
        first_row += count;
    }

    // R2* and, with it, each intercept and the weighted residuals (summed
    // as such: the sd of a good fit is the small difference of large sums
    // otherwise; contrast by contrast, so that the sums of the contrasts
    // proceed side by side). The sum 0.0 turns the -0 of a signal that does
    // not decay into 0.
    const Doubles R2 = -Sxy / Sxx + 0.0;
    Doubles rss = splat<Doubles>(0.0), a[max_contrasts];
    first_row = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        const double *TE = p.TE[c];
        a[c] = (y0[c] + d_c[c]) + R2 * (t0[c] + u_c[c]);
        Doubles part = splat<Doubles>(0.0);
        for (std::size_t k = 0; k < p.echoes[c]; ++k) {
            const std::size_t j = first_row + k;
            const Doubles r = ((y[j] - y0[c]) - d_c[c]) + R2 * ((TE[k] - t0[c]) - u_c[c]);
            part += w[j] * r * r;
        }
        rss += part;
        first_row += p.echoes[c];
    }

    // The verdicts, the sd of R2* and the signals at TE = 0, written for the
    // lanes that are voxels.
    const double C = static_cast<double>(p.contrasts);
    const Doubles nan4 = splat<Doubles>(nan), dof = used - C - 1.0;
    const Masks too_few = empty | (used < C + 1.0) | ~(Sxx > 0.0);
    const Doubles sd = pick(too_few | (dof < 1.0), nan4, sqrt_of(rss / dof / Sxx));
    const Masks code = (too_few & std::int64_t{echo_too_few_echoes}) |
                       (~too_few & (R2 < 0.0) & std::int64_t{echo_negative_r2star});
    Doubles S0[max_contrasts];
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        S0[c] = pick(too_few, nan4, exp_of(a[c]));
    }
    const Doubles R2star = pick(too_few, nan4, R2);
    const std::size_t lanes = std::min<std::size_t>(4, n - first);
    if (out.R2star != nullptr) {
        write(out.R2star + first, R2star, lanes);
    }
    if (out.R2star_sd != nullptr) {
        write(out.R2star_sd + first, sd, lanes);
    }
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        if (out.status != nullptr) {
            out.status[first + lane] = static_cast<std::uint8_t>(code[lane]);
        }
        for (std::size_t c = 0; out.S0 != nullptr && c < p.contrasts; ++c) {
            out.S0[(first + lane) * p.contrasts + c] = S0[c][lane];
        }
    }
}

}  // namespace

// A run of n voxels (1 to EchoRun::size), its results written to `out`.
[[gnu::target_clones("avx2", "default")]] void fit_run(const EchoProtocol &p, EchoRun &run,
                                                       std::size_t n, const RunOutputs &out,
                                                       const Ahead &ahead) {
    std::size_t rows = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        rows += p.echoes[c];
    }
    // Lanes past the last voxel, up to a whole vector of eight, get a
    // signal (of no consequence) rather than whatever was there.
    const std::size_t lanes = (n + 7) / 8 * 8;
    for (std::size_t j = 0; j < rows; ++j) {
        for (std::size_t i = n; i < lanes; ++i) {
            run.S[j][i] = 1.0;
        }
    }
    // ln S with the mantissa's logarithm in single precision, twice the
    // lanes of a double one per instruction. That loses nothing the data
    // hold: nearly every image stores its signals as float32 or as integers
    // (whose mantissas a float holds whole), and the log's error, under
    // 5e-8 in ln S (as much, relative, in S), moves R2* by at most about
    // 1e-5 /s over an echo spread of 16 ms, far below the noise (about 1 /s
    // at an SNR of 100). The sums, the intercepts and R2* stay in double.
    for (std::size_t j = 0; j < rows; ++j) {
        for (std::size_t i = 0; i < lanes; i += 8) {
            narrow_log_of_positive(run.S[j] + i, run.y[j] + i);
        }
    }
    for (std::size_t first = 0; first < (n + 3) / 4 * 4; first += 4) {
        ahead.ask(first / 4);
        fit_lanes(p, rows, run, first, n, out);
    }
}

}  // namespace tavni::mt_map
