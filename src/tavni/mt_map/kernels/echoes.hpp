// Multi-echo readouts combined by extrapolation to TE = 0: for every voxel,
// one R2* shared by up to eight contrasts (the PD-, T1- and MT-weighted
// scans, say), each with its own echoes and its own signal at TE = 0.
//
// Model, contrast c, echo time TE:
//     ln S_c(TE) = a_c - R2* TE,   S_c(0) = exp(a_c),
// fitted by weighted least squares over all echoes of all contrasts with
// the weights w = S^2: for magnitude data at a useful SNR the variance of
// ln S is about sigma^2 / S^2, sigma the noise of S. For a given R2* each
// intercept is the weighted mean of ln S + R2* TE over its contrast, and
// R2* itself is, in closed form,
//     R2* = -sum w (TE - T_c) (y - y_c) / sum w (TE - T_c)^2,
// y = ln S, T_c and y_c the weighted means of TE and y within contrast c.
// Its standard deviation comes from the weighted residuals r:
//     s^2 = sum w r^2 / (N - C - 1),   var R2* = s^2 / sum w (TE - T_c)^2,
// N the echoes used, C the contrasts (NaN when N - C - 1 < 1).
//
// Plain numbers in and out, in double precision (ln S is taken with its
// mantissa's logarithm in single precision: within 5e-8); no interpreter
// types.
// Echo times in s, R2* in 1/s, signals in any one unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parallel.hpp"
#include "strided.hpp"

namespace tavni::mt_map {

// What became of one voxel's echo fit. Solved and invalid input have the
// codes of the other fits.
enum EchoStatus : std::uint8_t {
    echo_solved = 0,           // S_c(0), R2* and its sd found
    echo_negative_r2star = 1,  // the fit gives R2* < 0, a signal that grows
                               // with TE: S_c(0), R2* and its sd returned
    echo_too_few_echoes = 2,   // too few echoes with signal (positive,
                               // finite, a normal double: 2.2e-308 or
                               // more): a contrast left with none, fewer
                               // than C + 1 in all, or no spread of TE
                               // within any contrast
    echo_invalid_input = 3,    // the echo times (not finite, negative), the
                               // contrast or echo counts out of range
};

constexpr std::size_t max_contrasts = 8;
constexpr std::size_t max_echoes = 32;  // per contrast

// The echo times of every contrast, shared by all voxels.
struct EchoProtocol {
    std::size_t contrasts = 0;          // C, 1 to max_contrasts
    std::size_t echoes[max_contrasts];  // n_c, 1 to max_echoes
    const double *TE[max_contrasts];    // n_c echo times each, s, finite, >= 0
};

// Whether the counts are in range and every echo time finite and >= 0.
bool valid_protocol(const EchoProtocol &protocol) noexcept;

struct EchoFit {
    double R2star;     // 1/s; NaN unless solved or negative
    double R2star_sd;  // 1/s; NaN as R2star, and where N - C - 1 < 1
    EchoStatus status;
};

// One voxel: signals[c][k] the signal of contrast c at echo k, S0[c]
// written with S_c(0) (NaN unless solved or negative); echo_invalid_input
// for a protocol that is not valid.
EchoFit fit_echoes(const EchoProtocol &protocol, const double *const *signals, double *S0) noexcept;

// A whole map. Contrast c's signal of echo k at a voxel lies k *
// echo_stride[c] bytes beyond that voxel's element of signal[c] (read in
// its own layout and precision, see strided.hpp). Outputs C-contiguous:
// S0 of shape (map..., C), the others of the map's shape; each may be null.
// An invalid protocol makes every voxel echo_invalid_input. Runs on up to
// `threads` threads, the calling one included, which asks keep_going
// between its blocks; false when that said stop (outputs then partly
// unwritten), true when every voxel is done.
struct EchoMapInputs {
    MapShape shape;
    EchoProtocol protocol;
    StridedArray signal[max_contrasts];
    std::ptrdiff_t echo_stride[max_contrasts];
};

bool fit_echoes_map(const EchoMapInputs &in, unsigned threads, double *S0, double *R2star,
                    double *R2star_sd, std::uint8_t *status, KeepGoing keep_going = {}) noexcept;

}  // namespace tavni::mt_map
