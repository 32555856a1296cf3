#include "predicted_ratio.hpp"

#include <cstddef>

#include "float_bits.hpp"
#include "mpf_core.hpp"
#include "parallel.hpp"
#include "strided.hpp"

namespace tavni::mt_map {

namespace {

void predicted_ratio_range(const PredictedRatioInputs &in, std::size_t begin, std::size_t end,
                           double *ratio) noexcept {
    using I = PredictedRatioInputs;
    const StridedArray *arrays[I::count];
    for (int j = 0; j < I::count; ++j) {
        arrays[j] = &in.values[j];
    }
    StridedCursor<I::count> at(in.shape, arrays, begin);
    // Neighbouring elements mostly share flip angle and TR, and so the
    // cosine, sine and logarithm of the excitation terms.
    Excitation excitation{};
    float excitation_flip_angle = 0.0f, excitation_TR = 0.0f;
    bool have_excitation = false;
    for (std::size_t i = begin; i < end; ++i, at.advance()) {
        float s[I::count];
        for (int j = 0; j < I::count; ++j) {
            s[j] = to_single(in.values[j].value(at[static_cast<std::size_t>(j)]));
        }
        if (!have_excitation || bits_of(excitation_flip_angle) != bits_of(s[I::flip_angle]) ||
            bits_of(excitation_TR) != bits_of(s[I::TR])) {
            excitation = excitation_terms(s[I::flip_angle], s[I::TR]);
            excitation_flip_angle = s[I::flip_angle];
            excitation_TR = s[I::TR];
            have_excitation = true;
        }
        SignalParameters p{};
        p.R1 = s[I::R1];
        p.T2_free = s[I::T2_free];
        p.delta_omega = s[I::delta_omega];
        p.omega_1_rms = s[I::omega_1_rms];
        p.G = s[I::G];
        p.TR = s[I::TR];
        p.duration = s[I::duration];
        p.flip_angle = s[I::flip_angle];
        ratio[i] = predicted_ratio(s[I::f], p, excitation);
    }
}

}  // namespace

bool predicted_ratio_map(const PredictedRatioInputs &in, unsigned threads, double *ratio,
                         KeepGoing keep_going) noexcept {
    return parallel_blocks(
        in.shape.size(), 1024, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            predicted_ratio_range(in, begin, end, ratio);
        },
        keep_going);
}

}  // namespace tavni::mt_map
