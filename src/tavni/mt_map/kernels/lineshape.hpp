// Super-Lorentzian absorption lineshape of the bound pool, in double
// precision: the value G that the two-pool signal model takes as an input.
//
// Plain numbers in and out; no interpreter types.
#pragma once

#include <cstddef>

#include "parallel.hpp"
#include "strided.hpp"

namespace tavni::mt_map {

// G(Delta) = sqrt(2/pi) * T2b * integral over u in [0, 1] of the integrand,
// for an offset Delta in cycles per unit time and the bound pool's T2b, in
// the same time unit as T2b. Normalised so that the integral of G over the
// angular offset 2 pi Delta is 1.
//
// Computed by adaptive 21-point Gauss-Kronrod quadrature, split at the
// magic angle u = 1/sqrt(3) where 3u^2 - 1 vanishes, to a relative accuracy
// of about 1e-12 (the error estimate it stops at, 1e-11, is pessimistic).
// Even in Delta. At Delta = 0 the integral diverges
// logarithmically and the result is +inf; at infinite Delta it is 0. NaN for
// a NaN input and for a T2b that is not positive and finite.
double super_lorentzian(double Delta, double T2b) noexcept;

// G = super_lorentzian(Delta, T2b) element by element over a map, G
// C-contiguous of that shape, on up to `threads` threads, the calling one
// included, which asks keep_going between its blocks. When both inputs are
// shared values the lineshape is computed once. Returns false when
// keep_going said stop (some values are then left unwritten).
bool super_lorentzian_map(const MapShape &shape, const StridedArray &Delta, const StridedArray &T2b,
                          unsigned threads, double *G, KeepGoing keep_going = {}) noexcept;

}  // namespace tavni::mt_map
