// The echo fit (see echoes.hpp) of one voxel and of whole maps: the
// protocol checked once, then, block by block on the threads, the echoes of
// runs of neighbouring voxels gathered from the arrays' layouts into the
// rows of an EchoRun and fitted there (fit_run, echo_run.cpp). Echoes that
// lie next to each other (echoes last, as a multi-echo volume comes) are
// read four at a time and transposed in registers, and the run after next
// is asked for from memory while a run is worked on.
#include "echoes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "echo_run.hpp"
#include "vector_log.hpp"

// Four doubles pass between functions here only once inlined, never through
// an interface whose convention could differ between the two builds.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tavni::mt_map {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

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
