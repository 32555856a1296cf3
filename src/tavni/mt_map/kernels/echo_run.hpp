// The echo fit's run of voxels, shared by its two halves: the map level
// (echoes.cpp) gathers the echoes of neighbouring voxels into the rows of an
// EchoRun, echo by echo, voxel by voxel, and the fit (echo_run.cpp) takes
// them four voxels at a time in vector registers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "echoes.hpp"
#include "vector_log.hpp"

// Four doubles pass between functions here only once inlined, never through
// an interface whose convention could differ between the two builds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tavni::mt_map {

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

// A run of n voxels (1 to EchoRun::size), its results written to `out`,
// the slices of `ahead` asked for meanwhile: built for AVX2 and for x86-64's
// baseline, the one the processor runs chosen when the library loads.
void fit_run(const EchoProtocol &p, EchoRun &run, std::size_t n, const RunOutputs &out,
             const Ahead &ahead);

}  // namespace tavni::mt_map

#pragma GCC diagnostic pop
