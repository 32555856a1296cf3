// The echo fit (see echoes.hpp) on runs of neighbouring voxels at once: the
// echoes of a run are laid out echo by echo, voxel by voxel, and fitted four
// voxels at a time in vector registers (one instruction per step with AVX2,
// two with SSE2, no fused multiply-add either way: the same bits), each
// contrast's sums kept in registers over its echoes. The logarithms of a
// run's echoes are taken first, eight at a time in single precision (see
// fit_run); the exponential is the polynomial of vector_exp.hpp, the square
// root one instruction. Echoes that lie next to each other (echoes
// last, as a multi-echo volume comes) are read four at a time and
// transposed in registers, and the run after next is asked for from memory
// while a run is worked on.
#include "echoes.hpp"

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
constexpr std::size_t max_rows = max_contrasts * max_echoes;

// A run of voxels: row j is the protocol's j-th echo (contrast by contrast,
// echo by echo), lane i a voxel.
struct EchoRun {
    static constexpr std::size_t size = 32;
    double S[max_rows][size];  // the signals
    double y[max_rows][size];  // their logarithms (see fit_run)
};

// Where a run's results go: each array (any may be null) from the run's
// first voxel on, S0 with the contrasts of a voxel together.
struct RunOutputs {
    double *S0, *R2star, *R2star_sd;
    std::uint8_t *status;
};

// The bytes that hold the echoes of a later run, one range per contrast
// (empty: none known), asked for a slice at a time while this run is worked
// on: a run's echoes are read in a burst, and memory delivers the next ones
// meanwhile if asked early enough, and not all at once (a burst of requests
// waits for free slots instead).
struct Ahead {
    std::size_t ranges = 0;
    std::uintptr_t from[max_contrasts];
    std::size_t lines[max_contrasts], each[max_contrasts];  // in all, and per slice

    // Adds the bytes [begin, end), to be asked for in `parts` slices.
    void add(std::uintptr_t begin, std::uintptr_t end, std::size_t parts) {
        from[ranges] = begin & ~std::uintptr_t{63};
        lines[ranges] = (end - from[ranges] + 63) / 64;
        each[ranges] = (lines[ranges] + parts - 1) / parts;
        ++ranges;
    }

    // Slice `part` of every range.
    [[gnu::always_inline]] void ask(std::size_t part) const {
        for (std::size_t r = 0; r < ranges; ++r) {
            const std::size_t end = std::min(lines[r], (part + 1) * each[r]);
            for (std::size_t k = part * each[r]; k < end; ++k) {
                __builtin_prefetch(reinterpret_cast<const void *>(from[r] + 64 * k));
            }
        }
    }
};

// How many runs ahead the echoes of a flat layout are asked for.
constexpr std::size_t prefetch_distance = 2;

// Four lanes of a run's row, and back.
[[gnu::always_inline]] inline Doubles load(const double *from) {
    Doubles x;
    std::memcpy(&x, from, sizeof x);
    return x;
}

[[gnu::always_inline]] inline void store(double *to, Doubles x) {
    std::memcpy(to, &x, sizeof x);
}

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

// Four consecutive echoes of one voxel, as doubles (float32 widened
// exactly).
template <typename T>
[[gnu::always_inline]] inline Doubles four_echoes(const char *from) {
    if constexpr (sizeof(T) == sizeof(double)) {
        Doubles x;
        std::memcpy(&x, from, sizeof x);
        return x;
    } else {
        typedef float Floats __attribute__((vector_size(16)));
        Floats x;
        std::memcpy(&x, from, sizeof x);
        return __builtin_convertvector(x, Doubles);
    }
}

// The echoes of one contrast of `lanes` voxels of a flat layout whose
// echoes lie next to each other (echoes last, as a multi-echo volume
// comes), voxel i's starting `step` * i bytes from `from`: four echoes of
// four voxels at a time read as four vectors and transposed in registers.
template <typename T>
[[gnu::always_inline]] inline void gather_adjacent(const char *from, std::ptrdiff_t step,
                                                   std::size_t count, std::size_t lanes,
                                                   double (*rows)[EchoRun::size]) {
    std::size_t i = 0;
    for (; i + 4 <= lanes; i += 4) {
        const char *v0 = from + static_cast<std::ptrdiff_t>(i) * step, *v1 = v0 + step;
        const char *v2 = v1 + step, *v3 = v2 + step;
        std::size_t k = 0;
        for (; k + 4 <= count; k += 4) {
            const std::size_t at = k * sizeof(T);
            const Doubles r0 = four_echoes<T>(v0 + at), r1 = four_echoes<T>(v1 + at);
            const Doubles r2 = four_echoes<T>(v2 + at), r3 = four_echoes<T>(v3 + at);
            const Words low = {0, 4, 2, 6}, high = {1, 5, 3, 7};
            const Words front = {0, 1, 4, 5}, back = {2, 3, 6, 7};
            const Doubles t0 = __builtin_shuffle(r0, r1, low), t1 = __builtin_shuffle(r0, r1, high);
            const Doubles t2 = __builtin_shuffle(r2, r3, low), t3 = __builtin_shuffle(r2, r3, high);
            store(rows[k] + i, __builtin_shuffle(t0, t2, front));
            store(rows[k + 1] + i, __builtin_shuffle(t1, t3, front));
            store(rows[k + 2] + i, __builtin_shuffle(t0, t2, back));
            store(rows[k + 3] + i, __builtin_shuffle(t1, t3, back));
        }
        for (; k < count; ++k) {
            const std::size_t at = k * sizeof(T);
            for (std::size_t lane = 0; lane < 4; ++lane) {
                T x;
                std::memcpy(&x, v0 + static_cast<std::ptrdiff_t>(lane) * step + at, sizeof x);
                rows[k][i + lane] = static_cast<double>(x);
            }
        }
    }
    for (; i < lanes; ++i) {
        const char *v = from + static_cast<std::ptrdiff_t>(i) * step;
        for (std::size_t k = 0; k < count; ++k) {
            T x;
            std::memcpy(&x, v + k * sizeof(T), sizeof x);
            rows[k][i] = static_cast<double>(x);
        }
    }
}

[[gnu::target_clones("avx2", "default")]] void gather_adjacent(const StridedArray &array,
                                                               std::ptrdiff_t offset,
                                                               std::ptrdiff_t step,
                                                               std::size_t count, std::size_t lanes,
                                                               double (*rows)[EchoRun::size]) {
    const char *from = static_cast<const char *>(array.data) + offset;
    if (array.type == StridedArray::float32) {
        gather_adjacent<float>(from, step, count, lanes, rows);
    } else {
        gather_adjacent<double>(from, step, count, lanes, rows);
    }
}

// The echoes of one contrast at `lanes` voxels, voxel i's echo k lying
// offsets[i] + k * stride bytes from `from`, into lane i of consecutive
// rows: the type settled once per run, not per voxel.
template <typename T>
void gather(const char *from, const std::ptrdiff_t *offsets, std::ptrdiff_t stride,
            std::size_t count, std::size_t lanes, double (*rows)[EchoRun::size]) {
    for (std::size_t i = 0; i < lanes; ++i) {
        const char *at = from + offsets[i];
        for (std::size_t k = 0; k < count; ++k, at += stride) {
            T x;
            std::memcpy(&x, at, sizeof x);
            rows[k][i] = static_cast<double>(x);
        }
    }
}

// Whether an array's element at flat index v of the map lies v * step
// bytes from its first, as in a C-contiguous array or one shared by every
// voxel (step 0), and that step: such arrays need no cursor.
bool flat(const MapShape &shape, const std::ptrdiff_t *strides, std::ptrdiff_t &step) {
    step = 0;
    if (strides == nullptr) {
        return true;
    }
    bool first = true;
    std::ptrdiff_t span = 1;  // elements below the axis
    for (std::size_t d = shape.ndim; d-- > 0;) {
        if (shape.extent[d] == 1) {
            continue;
        }
        if (first) {
            step = strides[d];
            first = false;
        } else if (strides[d] != step * span) {
            return false;
        }
        span *= static_cast<std::ptrdiff_t>(shape.extent[d]);
    }
    return true;
}

}  // namespace

bool valid_protocol(const EchoProtocol &p) noexcept {
    if (p.contrasts < 1 || p.contrasts > max_contrasts) {
        return false;
    }
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        if (p.echoes[c] < 1 || p.echoes[c] > max_echoes || p.TE[c] == nullptr) {
            return false;
        }
        for (std::size_t k = 0; k < p.echoes[c]; ++k) {
            if (!(std::isfinite(p.TE[c][k]) && p.TE[c][k] >= 0.0)) {
                return false;
            }
        }
    }
    return true;
}

EchoFit fit_echoes(const EchoProtocol &protocol, const double *const *signals,
                   double *S0) noexcept {
    if (!valid_protocol(protocol)) {
        for (std::size_t c = 0; S0 != nullptr && c < protocol.contrasts && c < max_contrasts; ++c) {
            S0[c] = nan;
        }
        return {nan, nan, echo_invalid_input};
    }
    EchoRun run;
    std::size_t row = 0;
    for (std::size_t c = 0; c < protocol.contrasts; ++c) {
        for (std::size_t k = 0; k < protocol.echoes[c]; ++k, ++row) {
            run.S[row][0] = signals[c][k];
        }
    }
    EchoFit fit;
    std::uint8_t status;
    fit_run(protocol, run, 1, {S0, &fit.R2star, &fit.R2star_sd, &status}, Ahead{});
    fit.status = static_cast<EchoStatus>(status);
    return fit;
}

bool fit_echoes_map(const EchoMapInputs &in, unsigned threads, double *S0, double *R2star,
                    double *R2star_sd, std::uint8_t *status, KeepGoing keep_going) noexcept {
    const EchoProtocol &p = in.protocol;
    const std::size_t n = in.shape.size();
    if (!valid_protocol(p)) {
        // Checked once for the whole map, not per voxel.
        const std::size_t C = p.contrasts;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; S0 != nullptr && c < C; ++c) {
                S0[i * C + c] = nan;
            }
            if (R2star != nullptr) {
                R2star[i] = nan;
            }
            if (R2star_sd != nullptr) {
                R2star_sd[i] = nan;
            }
            if (status != nullptr) {
                status[i] = echo_invalid_input;
            }
        }
        return true;
    }
    const StridedArray *const arrays[max_contrasts] = {
        &in.signal[0], &in.signal[1], &in.signal[2], &in.signal[3],
        &in.signal[4], &in.signal[5], &in.signal[6], &in.signal[7],
    };
    const std::size_t C = p.contrasts;
    bool all_flat = true;
    std::ptrdiff_t step[max_contrasts];
    for (std::size_t c = 0; c < C; ++c) {
        all_flat = flat(in.shape, in.signal[c].strides, step[c]) && all_flat;
    }
    // Which contrasts have their echoes next to each other in such a layout.
    bool adjacent[max_contrasts];
    for (std::size_t c = 0; c < C; ++c) {
        const std::ptrdiff_t size =
            in.signal[c].type == StridedArray::float32 ? sizeof(float) : sizeof(double);
        adjacent[c] = all_flat && in.echo_stride[c] == size;
    }
    return parallel_blocks(
        n, 4096, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            StridedCursor<max_contrasts> at(in.shape, arrays, all_flat ? 0 : begin);
            EchoRun run;
            std::ptrdiff_t offsets[max_contrasts][EchoRun::size];
            for (std::size_t first = begin; first < end; first += EchoRun::size) {
                const std::size_t lanes = std::min(EchoRun::size, end - first);
                Ahead ahead;
                if (all_flat) {
                    const std::size_t later = first + prefetch_distance * EchoRun::size;
                    for (std::size_t c = 0; c < C; ++c) {
                        for (std::size_t i = 0; i < lanes; ++i) {
                            offsets[c][i] = static_cast<std::ptrdiff_t>(first + i) * step[c];
                        }
                        if (adjacent[c] && step[c] > 0 && later < n) {
                            // Addresses only: no byte of them is read here.
                            const std::size_t voxels = std::min(EchoRun::size, n - later);
                            const auto data = reinterpret_cast<std::uintptr_t>(in.signal[c].data);
                            const auto bytes = static_cast<std::size_t>(step[c]);
                            ahead.add(data + later * bytes, data + (later + voxels) * bytes,
                                      (lanes + 3) / 4);
                        }
                    }
                } else {
                    for (std::size_t i = 0; i < lanes; ++i, at.advance()) {
                        for (std::size_t c = 0; c < C; ++c) {
                            offsets[c][i] = at[c];
                        }
                    }
                }
                std::size_t row = 0;
                for (std::size_t c = 0; c < C; ++c) {
                    const char *base = static_cast<const char *>(in.signal[c].data);
                    if (adjacent[c]) {
                        gather_adjacent(in.signal[c], offsets[c][0], step[c], p.echoes[c], lanes,
                                        run.S + row);
                    } else if (in.signal[c].type == StridedArray::float32) {
                        gather<float>(base, offsets[c], in.echo_stride[c], p.echoes[c], lanes,
                                      run.S + row);
                    } else {
                        gather<double>(base, offsets[c], in.echo_stride[c], p.echoes[c], lanes,
                                       run.S + row);
                    }
                    row += p.echoes[c];
                }
                fit_run(p, run, lanes,
                        {S0 != nullptr ? S0 + first * C : nullptr,
                         R2star != nullptr ? R2star + first : nullptr,
                         R2star_sd != nullptr ? R2star_sd + first : nullptr,
                         status != nullptr ? status + first : nullptr},
                        ahead);
            }
        },
        keep_going);
}

}  // namespace tavni::mt_map
