// The natural logarithm as a polynomial that a vector loop can hold, where
// the library's would be a call per element: for the loops over voxels of
// the fast fraction kernel and of the echo fit.
//
// The polynomial kernel follows fdlibm, which carries this notice:
//   Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//   Developed at SunPro, a Sun Microsystems, Inc. business.
//   Permission to use, copy, modify, and distribute this
//   software is freely granted, provided that this notice
//   is preserved.
#pragma once

#include <cstdint>

#include "float_bits.hpp"

namespace tavni::mt_map {

// ln x for a positive normal x, within an ulp: fdlibm's e_log.c. With
// x = 2^k (1 + m), sqrt(2)/2 <= 1 + m < sqrt(2), and s = m / (2 + m),
// ln(1 + m) = 2 atanh s = m - m^2/2 + s (m^2/2 + R(s^2)). Exponent and
// mantissa come from the bits; k reaches a double through the bits too
// (2^52 + k + 1023 has k + 1023 as its low bits), as vector units without
// 64-bit integer conversions need.
inline double log_of_positive(double x) noexcept {
    constexpr double ln2_hi = 6.93147180369123816490e-01;
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    const std::uint64_t b = bits_of(x);
    // The high word, shifted so that mantissas from sqrt(2)/2 up carry into
    // the exponent: k counts from there.
    const std::uint64_t high = (b >> 32) + (0x3ff00000u - 0x3fe6a09eu);
    const std::uint64_t biased_k = (high >> 20) & 0x7ffu;
    const std::uint64_t mantissa_high = (high & 0x000fffffu) + 0x3fe6a09eu;
    const double m = double_of((mantissa_high << 32) | (b & 0xffffffffu)) - 1.0;
    const double k = double_of(0x4330000000000000u | biased_k) - (0x1p52 + 1023.0);
    const double s = m / (2.0 + m), z = s * s, w = z * z;
    const double t1 = w * (3.999999999940941908e-01 +
                           w * (2.222219843214978396e-01 + w * 1.531383769920937332e-01));
    const double t2 = z * (6.666666666666735130e-01 +
                           w * (2.857142874366239149e-01 +
                                w * (1.818357216161805012e-01 + w * 1.479819860511658591e-01)));
    const double half_m2 = 0.5 * m * m;
    return k * ln2_hi - ((half_m2 - (s * (half_m2 + (t1 + t2)) + k * ln2_lo)) - m);
}

}  // namespace tavni::mt_map
