#include "fraction_maps.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fast_kernel.hpp"
#include "float_bits.hpp"
#include "mpf_core.hpp"
#include "parallel.hpp"
#include "residual.hpp"
#include "search.hpp"
#include "status.hpp"

namespace tavni::mt_map {

namespace {

using signal_steps::widen;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

namespace {

// Whether an input's voxels lie one after the other in memory, in the map's
// C order, at aligned addresses: then voxel i is element i.
bool flat(const StridedArray &a, const MapShape &shape, std::size_t item_size) noexcept {
    if (a.strides == nullptr || reinterpret_cast<std::uintptr_t>(a.data) % item_size != 0) {
        return false;
    }
    auto step = static_cast<std::ptrdiff_t>(item_size);
    for (std::size_t d = shape.ndim; d-- > 0;) {
        if (shape.extent[d] > 1 && a.strides[d] != step) {
            return false;
        }
        step *= static_cast<std::ptrdiff_t>(shape.extent[d]);
    }
    return true;
}

// The fast way: runs of voxels gathered into a ClosedFormRun, each input
// read where it lies (contiguous ones directly, the others through a
// cursor), and closed_form_run on each.
void closed_form_range(const FractionMapInputs &in, std::size_t begin, std::size_t end, double *f,
                       std::uint8_t *status, const FractionDerivativeMaps *derivatives) noexcept {
    using I = FractionMapInputs;
    constexpr std::size_t b1_at = I::count, masks_at = I::count + 1;
    constexpr std::size_t array_count = masks_at + I::max_masks;
    // What each array is: shared (one value), flat (read in place) or read
    // through the cursor, which walks only over the last kind.
    enum Kind : std::uint8_t { absent, shared, flat64, flat32, flat8, strided };
    const StridedArray *arrays[array_count];
    Kind kind[array_count];
    const StridedArray none{};
    const StridedArray *walked[array_count];
    bool any_strided = false;
    for (std::size_t k = 0; k < array_count; ++k) {
        arrays[k] = k < I::count ? &in.values[k] : k == b1_at ? &in.b1 : &in.masks[k - masks_at];
        const StridedArray &a = *arrays[k];
        const std::size_t size = a.type == StridedArray::float64   ? 8
                                 : a.type == StridedArray::float32 ? 4
                                                                   : 1;
        const bool used = k < masks_at || k - masks_at < in.mask_count;
        kind[k] = !used || !a.present()      ? absent
                  : a.strides == nullptr     ? shared
                  : !flat(a, in.shape, size) ? strided
                  : size == 8                ? flat64
                  : size == 4                ? flat32
                                             : flat8;
        walked[k] = kind[k] == strided ? &a : &none;
        any_strided = any_strided || kind[k] == strided;
    }
    StridedCursor<array_count> at(in.shape, walked, any_strided ? begin : 0);
    const bool scaled = in.b1.present();

    std::uint8_t own_status[ClosedFormRun::size];  // where the caller wants none
    bool common = derivatives == nullptr && in.mask_count == 0 && kind[I::S_ratio] == flat64 &&
                  kind[I::R1] == flat64 && (kind[b1_at] == flat64 || kind[b1_at] == absent);
    for (std::size_t j = I::T2_free; j < I::count; ++j) {
        common = common && kind[j] == shared;
    }
    if (common) {
        // Read in place, without a run's copies.
        double ones[ClosedFormRun::size];
        std::fill(ones, ones + ClosedFormRun::size, 1.0);
        ClosedFormMap map{};
        map.T2_free = in.values[I::T2_free].value(0);
        map.delta_omega = in.values[I::delta_omega].value(0);
        map.omega_1_rms = in.values[I::omega_1_rms].value(0);
        map.G = in.values[I::G].value(0);
        map.TR = in.values[I::TR].value(0);
        map.duration = in.values[I::duration].value(0);
        map.flip_angle = in.values[I::flip_angle].value(0);
        for (std::size_t first = begin; first < end; first += ClosedFormRun::size) {
            const std::size_t n = std::min(ClosedFormRun::size, end - first);
            map.S_ratio = static_cast<const double *>(in.values[I::S_ratio].data) + first;
            map.R1 = static_cast<const double *>(in.values[I::R1].data) + first;
            map.b1 = kind[b1_at] == absent ? ones : static_cast<const double *>(in.b1.data) + first;
            closed_form_map(map, n, in.lo, in.hi, in.clip, f + first,
                            status != nullptr ? status + first : own_status);
        }
        return;
    }

    ClosedFormRun run;
    double x[I::count + 1][ClosedFormRun::size];  // the inputs as doubles, b1 last
    for (std::size_t first = begin; first < end; first += ClosedFormRun::size) {
        const std::size_t n = std::min(ClosedFormRun::size, end - first);
        // Where each input's values of the run are read from as doubles:
        // in place, or copied into x first.
        const double *from[I::count + 1];
        for (std::size_t k = 0; k <= b1_at; ++k) {
            const char *data = static_cast<const char *>(arrays[k]->data);
            double *to = x[k];
            from[k] = to;
            switch (kind[k]) {
            case absent:  // only b1 can be: the field as planned
                std::fill(to, to + n, 1.0);
                break;
            case shared:  // read once, unless multiplied by b1 voxel by voxel
                std::fill(
                    to,
                    to + (k == b1_at || (scaled && (k == I::flip_angle || k == I::omega_1_rms))
                              ? n
                              : 1),
                    arrays[k]->value(0));
                break;
            case flat64:
                from[k] = reinterpret_cast<const double *>(data) + first;
                break;
            case flat32:
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = widen(reinterpret_cast<const float *>(data)[first + i]);
                }
                break;
            default:
                break;
            }
        }
        std::fill(run.fitted, run.fitted + n, std::uint32_t{1});
        for (std::size_t m = 0; m < in.mask_count; ++m) {
            const std::size_t k = masks_at + m;
            if (kind[k] == shared || kind[k] == flat8) {
                const std::size_t step = kind[k] == shared ? 0 : 1;
                for (std::size_t i = 0; i < n; ++i) {
                    run.fitted[i] &= static_cast<std::uint32_t>(
                        arrays[k]->nonzero(static_cast<std::ptrdiff_t>(step * (first + i))));
                }
            }
        }
        if (any_strided) {
            for (std::size_t i = 0; i < n; ++i, at.advance()) {
                for (std::size_t k = 0; k < array_count; ++k) {
                    if (kind[k] != strided) {
                        continue;
                    }
                    if (k < masks_at) {
                        x[k][i] = arrays[k]->value(at[k]);
                    } else {
                        run.fitted[i] &= static_cast<std::uint32_t>(arrays[k]->nonzero(at[k]));
                    }
                }
            }
        }
        // What the model sees: the transmit field scales flip angle and
        // saturation amplitude (the products in double), then every input
        // is rounded to single.
        const double *b1 = from[b1_at];
        for (std::size_t j = 0; j < I::count; ++j) {
            float *to = run.values[j];
            const double *x_j = from[j];
            if (scaled && (j == I::flip_angle || j == I::omega_1_rms)) {
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = to_single(x_j[i] * b1[i]);
                }
            } else if (kind[j] == shared) {
                std::fill(to, to + n, to_single(x_j[0]));
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    to[i] = to_single(x_j[i]);
                }
            }
        }
        std::copy(b1, b1 + n, run.b1);
        std::uint8_t *run_status = status != nullptr ? status + first : own_status;
        closed_form_run(run, n, in.lo, in.hi, in.clip, f + first, run_status);

        for (std::size_t i = 0; derivatives != nullptr && i < n; ++i) {
            FractionResidual::Derivatives d{nan, nan, nan};
            const std::uint8_t s = run_status[i];
            if (s == fit_solved || s == fit_two_roots) {
                const auto &v = run.values;
                const FractionProblem p{
                    v[I::S_ratio][i],     v[I::R1][i],          v[I::T2_free][i],
                    v[I::delta_omega][i], v[I::omega_1_rms][i], v[I::G][i],
                    v[I::TR][i],          v[I::duration][i],    v[I::flip_angle][i]};
                d = FractionResidual(p).derivatives(f[first + i], p.flip_angle, p.TR);
                d.log_b1 /= run.b1[i];  // d ln b1 = d b1 / b1
            }
            derivatives->S_ratio[first + i] = d.S_ratio;
            derivatives->R1[first + i] = d.R1;
            derivatives->b1[first + i] = d.log_b1;
        }
    }
}

}  // namespace

void fit_fraction_range(const FractionMapInputs &in, std::size_t begin, std::size_t end, double *f,
                        std::uint8_t *status, const FractionDerivativeMaps *derivatives) noexcept {
    if (!in.exact) {
        closed_form_range(in, begin, end, f, status, derivatives);
        return;
    }
    float lo, hi;
    single_bracket(in.lo, in.hi, lo, hi);
    using I = FractionMapInputs;
    // Every array the voxels are read from, walked through together.
    constexpr std::size_t b1_at = I::count, masks_at = I::count + 1;
    constexpr std::size_t array_count = masks_at + I::max_masks;
    const StridedArray *arrays[array_count];
    for (int j = 0; j < I::count; ++j) {
        arrays[j] = &in.values[j];
    }
    arrays[b1_at] = &in.b1;
    for (std::size_t k = 0; k < I::max_masks; ++k) {
        arrays[masks_at + k] = &in.masks[k];
    }
    StridedCursor<array_count> at(in.shape, arrays, begin);
    // Protocol values are mostly one for all voxels: read those once.
    bool shared[I::count];
    double shared_value[I::count];
    for (int j = 0; j < I::count; ++j) {
        shared[j] = in.values[j].strides == nullptr;
        shared_value[j] = shared[j] ? in.values[j].value(0) : 0.0;
    }
    // Neighbouring voxels mostly share flip angle and TR (and so the cosine,
    // sine and logarithm of the excitation terms), unless a transmit field
    // map scales the angle.
    Excitation excitation{};
    float excitation_flip_angle = 0.0f, excitation_TR = 0.0f;
    bool have_excitation = false;
    for (std::size_t i = begin; i < end; ++i, at.advance()) {
        bool fitted = true;
        for (std::size_t k = 0; k < in.mask_count; ++k) {
            fitted = fitted && in.masks[k].nonzero(at[masks_at + k]);
        }
        FractionFit fit;
        FractionResidual::Derivatives d{nan, nan, nan};
        if (!fitted) {
            fit = {nan, fit_masked};
        } else {
            double v[I::count];
            for (int j = 0; j < I::count; ++j) {
                v[j] = shared[j] ? shared_value[j]
                                 : in.values[j].value(at[static_cast<std::size_t>(j)]);
            }
            const double b1 = in.b1.present() ? in.b1.value(at[b1_at]) : 1.0;
            if (in.b1.present()) {
                v[I::flip_angle] *= b1;
                v[I::omega_1_rms] *= b1;
            }
            float s[I::count];
            for (int j = 0; j < I::count; ++j) {
                s[j] = to_single(v[j]);
            }
            const FractionProblem problem{s[I::S_ratio],     s[I::R1],          s[I::T2_free],
                                          s[I::delta_omega], s[I::omega_1_rms], s[I::G],
                                          s[I::TR],          s[I::duration],    s[I::flip_angle]};
            if (!in_physical_domain(problem, b1)) {
                fit = {nan, fit_invalid_input};
            } else {
                if (!have_excitation ||
                    bits_of(excitation_flip_angle) != bits_of(problem.flip_angle) ||
                    bits_of(excitation_TR) != bits_of(problem.TR)) {
                    excitation = excitation_terms(problem.flip_angle, problem.TR);
                    excitation_flip_angle = problem.flip_angle;
                    excitation_TR = problem.TR;
                    have_excitation = true;
                }
                const FractionResidual residual(problem, excitation);
                fit = solve_fraction(residual, lo, hi, in.clip);
                if (derivatives != nullptr &&
                    (fit.status == fit_solved || fit.status == fit_two_roots)) {
                    d = residual.derivatives(fit.f, problem.flip_angle, problem.TR);
                    d.log_b1 /= b1;  // d ln b1 = d b1 / b1
                }
                if (in.clip &&
                    (fit.status == fit_below_bracket || fit.status == fit_above_bracket)) {
                    // The bracket end as given, not its single-precision value.
                    fit.f = fit.status == fit_below_bracket ? in.lo : in.hi;
                }
            }
        }
        f[i] = fit.f;
        if (status != nullptr) {
            status[i] = fit.status;
        }
        if (derivatives != nullptr) {
            derivatives->S_ratio[i] = d.S_ratio;
            derivatives->R1[i] = d.R1;
            derivatives->b1[i] = d.log_b1;
        }
    }
}

bool fit_fraction_map(const FractionMapInputs &in, unsigned threads, double *f,
                      std::uint8_t *status, KeepGoing keep_going,
                      const FractionDerivativeMaps *derivatives) noexcept {
    return parallel_blocks(
        in.shape.size(), 1024, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            fit_fraction_range(in, begin, end, f, status, derivatives);
        },
        keep_going);
}

}  // namespace tavni::mt_map
