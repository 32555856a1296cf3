// The echo fit (see echoes.hpp) on runs of neighbouring voxels at once: the
// echoes of a run are laid out echo by echo, voxel by voxel, so that every
// step is a loop over voxels without branches that the compiler keeps in
// vector registers (four voxels per instruction with AVX2, two with SSE2,
// no fused multiply-add either way: the same bits). The logarithm is the
// polynomial of vector_log.hpp; the library's exponential and square root
// come after the loops, once per voxel.
#include "echoes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "float_bits.hpp"
#include "vector_log.hpp"

namespace tavni::mt_map {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t max_rows = max_contrasts * max_echoes;

// A run of voxels: row j is the protocol's j-th echo (contrast by contrast,
// echo by echo), lane i a voxel.
struct EchoRun {
    static constexpr std::size_t size = 32;
    double S[max_rows][size];  // the signals in, then their weights (S / S_max)^2,
                               // 0 for an echo left out
    double y[max_rows][size];  // ln S (0 for an echo left out)
};

// What the loops leave for the scalar end of each voxel.
struct RunSums {
    double R2star[EchoRun::size], Sxx[EchoRun::size], rss[EchoRun::size];
    double used[EchoRun::size];              // echoes with signal, N
    double empty[EchoRun::size];             // 1 where a contrast has none
    double a[max_contrasts][EchoRun::size];  // ln S_c(0)
};

// Per contrast and lane: the first echo with signal, against which echo
// times and logarithms are taken (u = TE - TE_first, d = y - y_first), and
// the weighted means of u and d. Taken so, echoes of one TE give u = 0 and
// a signal that does not decay d = 0 exactly, whatever the rounding of a
// weighted mean would make of them: no spread stays no spread, and a
// constant signal gives R2* = 0, not a sign of rounding noise. The small
// u and d also keep the sums of their products, from which the centred
// sums follow in the same pass, far from cancelling.
struct Centre {
    double t[EchoRun::size], y[EchoRun::size], u[EchoRun::size], d[EchoRun::size];
};

// An echo with signal: positive, finite and a normal double.
inline bool has_signal(double s) {
    return (s >= std::numeric_limits<double>::min()) & (s <= std::numeric_limits<double>::max());
}

[[gnu::target_clones("avx2", "default")]] void fit_run(const EchoProtocol &p, EchoRun &run,
                                                       std::size_t n, RunSums &out) {
    std::size_t rows = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        rows += p.echoes[c];
    }
    // ln S, and the weights relative to each voxel's largest signal: S^2 in
    // the data's own unit could overflow (or underflow), and the fit does not
    // depend on the weights' scale.
    double scale[EchoRun::size];
    for (std::size_t i = 0; i < n; ++i) {
        scale[i] = 0.0;
    }
    for (std::size_t j = 0; j < rows; ++j) {
        const double *S = run.S[j];
        double *y = run.y[j];
        for (std::size_t i = 0; i < n; ++i) {
            const bool ok = has_signal(S[i]);
            const double top = scale[i], candidate = pick(ok, S[i], 0.0);
            scale[i] = top < candidate ? candidate : top;
            y[i] = log_of_positive(pick(ok, S[i], 1.0));
        }
    }
    double Sxx[EchoRun::size], Sxy[EchoRun::size];
    for (std::size_t i = 0; i < n; ++i) {
        scale[i] = 1.0 / scale[i];
        Sxx[i] = 0.0;
        Sxy[i] = 0.0;
        out.used[i] = 0.0;
        out.empty[i] = 0.0;
    }

    // Per contrast, in one pass: the weights, the first echo with signal
    // (before it every weight is 0, so the sums do not depend on it until
    // it is found), and the weighted sums of u, d and their products; then
    //     Sxx_c = sum w (u - u_c)^2 = sum w u^2 - u_c sum w u,
    //     Sxy_c = sum w (u - u_c)(d - d_c) = sum w u d - d_c sum w u.
    Centre centre[max_contrasts];
    std::size_t first_row = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        const double *TE = p.TE[c];
        Centre &m = centre[c];
        double found[EchoRun::size], W[EchoRun::size], Wuu[EchoRun::size], Wud[EchoRun::size];
        for (std::size_t i = 0; i < n; ++i) {
            found[i] = 0.0;
            m.t[i] = 0.0;
            m.y[i] = 0.0;
            W[i] = 0.0;
            m.u[i] = 0.0;
            m.d[i] = 0.0;
            Wuu[i] = 0.0;
            Wud[i] = 0.0;
        }
        for (std::size_t k = 0; k < p.echoes[c]; ++k) {
            const double te = TE[k];
            double *w = run.S[first_row + k];
            const double *y = run.y[first_row + k];
            for (std::size_t i = 0; i < n; ++i) {
                const bool on = has_signal(w[i]);
                const double relative = w[i] * scale[i];
                w[i] = pick(on, relative * relative, 0.0);
                const bool first = on & (found[i] == 0.0);
                m.t[i] = pick(first, te, m.t[i]);
                m.y[i] = pick(first, y[i], m.y[i]);
                found[i] = pick(on, 1.0, found[i]);
                out.used[i] += pick(on, 1.0, 0.0);
                const double u = te - m.t[i], d = y[i] - m.y[i];
                const double wu = w[i] * u;
                W[i] += w[i];
                m.u[i] += wu;
                m.d[i] += w[i] * d;
                Wuu[i] += wu * u;
                Wud[i] += wu * d;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double Wu = m.u[i];
            m.u[i] = Wu / W[i];  // NaN for a contrast without signal
            m.d[i] = m.d[i] / W[i];
            Sxx[i] += Wuu[i] - m.u[i] * Wu;
            Sxy[i] += Wud[i] - m.d[i] * Wu;
            out.empty[i] = pick(found[i] == 0.0, 1.0, out.empty[i]);
        }
        first_row += p.echoes[c];
    }

    // R2* and, with it, each intercept and the weighted residuals (summed
    // as such: the sd of a good fit is the small difference of large sums
    // otherwise). The sum 0.0 turns the -0 of a signal that does not decay
    // into 0.
    for (std::size_t i = 0; i < n; ++i) {
        out.R2star[i] = -Sxy[i] / Sxx[i] + 0.0;
        out.Sxx[i] = Sxx[i];
        out.rss[i] = 0.0;
    }
    first_row = 0;
    for (std::size_t c = 0; c < p.contrasts; ++c) {
        const double *TE = p.TE[c];
        const Centre &m = centre[c];
        for (std::size_t i = 0; i < n; ++i) {
            out.a[c][i] = (m.y[i] + m.d[i]) + out.R2star[i] * (m.t[i] + m.u[i]);
        }
        for (std::size_t k = 0; k < p.echoes[c]; ++k) {
            const double te = TE[k], *w = run.S[first_row + k], *y = run.y[first_row + k];
            for (std::size_t i = 0; i < n; ++i) {
                const double r =
                    ((y[i] - m.y[i]) - m.d[i]) + out.R2star[i] * ((te - m.t[i]) - m.u[i]);
                out.rss[i] += w[i] * r * r;
            }
        }
        first_row += p.echoes[c];
    }
}

// The verdict on lane i of a run: S0 (C values), R2*, its sd and the
// status of that voxel written (each may be null).
void finish(const EchoProtocol &p, const RunSums &sums, std::size_t i, double *S0, double *R2star,
            double *R2star_sd, std::uint8_t *status) {
    const double C = static_cast<double>(p.contrasts);
    const double N = sums.used[i];
    const bool too_few = sums.empty[i] != 0.0 || N < C + 1.0 || !(sums.Sxx[i] > 0.0);
    const double R2 = sums.R2star[i];
    if (S0 != nullptr) {
        for (std::size_t c = 0; c < p.contrasts; ++c) {
            S0[c] = too_few ? nan : std::exp(sums.a[c][i]);
        }
    }
    if (R2star != nullptr) {
        *R2star = too_few ? nan : R2;
    }
    if (R2star_sd != nullptr) {
        const double dof = N - C - 1.0;
        *R2star_sd = too_few || dof < 1.0 ? nan : std::sqrt(sums.rss[i] / dof / sums.Sxx[i]);
    }
    if (status != nullptr) {
        *status = too_few ? echo_too_few_echoes : R2 < 0.0 ? echo_negative_r2star : echo_solved;
    }
}

// A voxel's echoes of one contrast, `count` of them `stride` bytes apart
// from `from`, into lane i of consecutive rows.
template <typename T>
void gather(const char *from, std::ptrdiff_t stride, std::size_t count,
            double (*rows)[EchoRun::size], std::size_t i) {
    for (std::size_t k = 0; k < count; ++k, from += stride) {
        T x;
        std::memcpy(&x, from, sizeof x);
        rows[k][i] = static_cast<double>(x);
    }
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
    RunSums sums;
    fit_run(protocol, run, 1, sums);
    EchoFit fit;
    std::uint8_t status;
    finish(protocol, sums, 0, S0, &fit.R2star, &fit.R2star_sd, &status);
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
    return parallel_blocks(
        n, 4096, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            StridedCursor<max_contrasts> at(in.shape, arrays, begin);
            EchoRun run;
            RunSums sums;
            for (std::size_t first = begin; first < end; first += EchoRun::size) {
                const std::size_t lanes = std::min(EchoRun::size, end - first);
                for (std::size_t i = 0; i < lanes; ++i, at.advance()) {
                    std::size_t row = 0;
                    for (std::size_t c = 0; c < C; ++c) {
                        const char *base = static_cast<const char *>(in.signal[c].data) + at[c];
                        if (in.signal[c].type == StridedArray::float32) {
                            gather<float>(base, in.echo_stride[c], p.echoes[c], run.S + row, i);
                        } else {
                            gather<double>(base, in.echo_stride[c], p.echoes[c], run.S + row, i);
                        }
                        row += p.echoes[c];
                    }
                }
                fit_run(p, run, lanes, sums);
                for (std::size_t i = 0; i < lanes; ++i) {
                    const std::size_t voxel = first + i;
                    finish(p, sums, i, S0 != nullptr ? S0 + voxel * C : nullptr,
                           R2star != nullptr ? R2star + voxel : nullptr,
                           R2star_sd != nullptr ? R2star_sd + voxel : nullptr,
                           status != nullptr ? status + voxel : nullptr);
                }
            }
        },
        keep_going);
}

}  // namespace tavni::mt_map
