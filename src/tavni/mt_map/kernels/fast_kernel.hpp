// The fast way on whole maps: closed_form_fraction on runs of neighbouring
// voxels at once, in a loop that the compiler keeps in vector registers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fraction_maps.hpp"

namespace tavni::mt_map {

// The fast way on a run of neighbouring voxels: each one's inputs as the
// model sees them (in single precision, the transmit field applied), its
// transmit field and whether it is fitted (not masked).
struct ClosedFormRun {
    static constexpr std::size_t size = 256;
    float values[FractionMapInputs::count][size];
    double b1[size];
    std::uint32_t fitted[size];  // 0 or 1; as wide as a float, as the loop's
                                 // narrowest type sets how many voxels go
                                 // in one vector register
};

// closed_form_fraction on the first n voxels of a run (n <= size), f and
// status of each: masked, invalid (outside in_physical_domain) or the
// verdict. The excitation's cosine and logarithm are evaluated in the run's
// own vector code, so f may differ from closed_form_fraction's on a
// FractionResidual by a few units in the last place of beta's rounding;
// the processor's vector width does not change a bit.
void closed_form_run(const ClosedFormRun &run, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept;

// The most common layout, read in place: the measured ratio, R1 and b1 per
// voxel as contiguous doubles (b1 all 1 where there is no transmit field
// map), every protocol value shared, in double as given (b1 scales flip
// angle and omega_1_rms before they are rounded to single). No mask.
struct ClosedFormMap {
    const double *S_ratio, *R1, *b1;
    double T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;
};

// closed_form_run on n voxels laid out so, f and status of each: the same
// bits as closed_form_run gives for the same values.
void closed_form_map(const ClosedFormMap &map, std::size_t n, double lo, double hi, bool clip,
                     double *f, std::uint8_t *status) noexcept;

// The builds of the two loops above, one per instruction set, the widest
// the processor runs chosen at the first call; all give the same bits.
enum class FastKernel : int { baseline, avx2, avx512 };
constexpr FastKernel fast_kernels[] = {FastKernel::avx512, FastKernel::avx2, FastKernel::baseline};

// "avx512", "avx2" or "baseline".
const char *name_of(FastKernel kernel) noexcept;

// Whether this processor (and its operating system) runs the build.
bool can_run(FastKernel kernel) noexcept;

// The build in use.
FastKernel fast_kernel() noexcept;

// Uses that build from now on, in every thread (for tests and benchmarks of
// each one); false, and no change, where this processor cannot run it.
bool use_fast_kernel(FastKernel kernel) noexcept;

}  // namespace tavni::mt_map
