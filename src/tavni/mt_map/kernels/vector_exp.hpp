// The exponential as a polynomial that a vector loop can hold, where the
// library's would be a call per element: for the signals at TE = 0 of the
// echo fit.
//
// The polynomial kernel follows fdlibm, which carries this notice:
//   Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//   Developed at SunPro, a Sun Microsystems, Inc. business.
//   Permission to use, copy, modify, and distribute this
//   software is freely granted, provided that this notice
//   is preserved.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstdint>

#include "float_bits.hpp"
#include "vector_log.hpp"

namespace tavni::mt_map {

// e^x within an ulp for a normal result (fdlibm's e_exp.c: under one ulp;
// not always the library's bits), +inf above 709.79, 0 below -745.2 (a
// subnormal result rounded once), NaN for NaN; D a double or Doubles (four
// at once, the same bits lane by lane). With x = k ln 2 + r,
// |r| <= ln 2 / 2, k the nearest integer to x / ln 2:
//     e^r = 1 + r + r c / (2 - c),  c = r - r^2 P(r^2),
// and 2^k made in two factors from the bits, so that every k from a
// subnormal result to an overflow reaches a normal power of two. k comes
// from the bits too (x / ln 2 + 1.5 2^52 has k as its low bits), as vector
// units without 64-bit integer conversions need.
template <typename D>
[[gnu::always_inline]] inline D exp_of(D x) noexcept {
    constexpr double ln2_hi = 6.93147180369123816490e-01;
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    constexpr double inv_ln2 = 1.44269504088896338700e+00;
    constexpr double shift = 0x1.8p52;
    // Beyond these every result is inf or 0; the clamp keeps k's factors in
    // range (NaN passes: a comparison with it is false).
    x = pick(x > 710.0, splat<D>(710.0), x);
    x = pick(x < -746.0, splat<D>(-746.0), x);
    const D k = (x * inv_ln2 + shift) - shift;
    const D hi = x - k * ln2_hi, lo = k * ln2_lo;
    const D r = hi - lo, t = r * r;
    const D c =
        r - t * (1.66666666666666019037e-01 +
                 t * (-2.77777777770155933842e-03 +
                      t * (6.61375632143793436117e-05 +
                           t * (-1.65339022054652515390e-06 + t * 4.13813679705723846039e-08))));
    const D y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
    // 2^k = 2^k1 2^k2, k1 = k / 2 rounded, each from the low bits of
    // k_i + 1023 + 1.5 2^52 shifted into the exponent field.
    const D k1 = (k * 0.5 + shift) - shift, k2 = k - k1;
    const D p1 = double_of(bits_of(k1 + (shift + 1023.0)) << 52);
    const D p2 = double_of(bits_of(k2 + (shift + 1023.0)) << 52);
    return (y * p1) * p2;
}

}  // namespace tavni::mt_map

#pragma GCC diagnostic pop
