// Super-Lorentzian absorption lineshape of the bound pool, in double
// precision: the value G that the two-pool signal model takes as an input.
//
// Plain numbers in and out; no interpreter types.
#pragma once

#include <cstddef>

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

// G[i] = super_lorentzian(Delta[i * Delta_stride], T2b[i * T2b_stride]) for
// i < n, on up to `threads` threads. A stride of 0 shares one value; when
// both are 0 the lineshape is computed once.
void super_lorentzian_map(const double *Delta, std::ptrdiff_t Delta_stride, const double *T2b,
                          std::ptrdiff_t T2b_stride, std::size_t n, unsigned threads,
                          double *G) noexcept;

}  // namespace tavni::mt_map
