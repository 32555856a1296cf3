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
#include <cstring>

#include "float_bits.hpp"

namespace tavni::mt_map {

// Four doubles, and their bits as four 64-bit words (unsigned) or as the
// masks a comparison makes (all ones or all zeros, signed), for loops
// written in vector registers with GCC's vector extensions: element-wise
// IEEE arithmetic, one instruction per operation with AVX2, two with SSE2,
// no fused multiply-add either way (so the same bits as scalar code doing
// the same operations). A scalar operand stands for four equal ones.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // passed in registers only once inlined
typedef double Doubles __attribute__((vector_size(32)));
typedef std::uint64_t Words __attribute__((vector_size(32)));
typedef std::int64_t Masks __attribute__((vector_size(32)));

[[gnu::always_inline]] inline Words bits_of(Doubles x) noexcept {
    Words b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

[[gnu::always_inline]] inline Doubles double_of(Words b) noexcept {
    Doubles x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// c ? a : b lane by lane (a blend, no branch).
[[gnu::always_inline]] inline Doubles pick(Masks c, Doubles a, Doubles b) noexcept {
    return c ? a : b;
}

// x in every lane of D (a double or Doubles).
template <typename D>
[[gnu::always_inline]] inline D splat(double x) noexcept {
    return D{} + x;
}

// ln x for a positive normal x, within an ulp: fdlibm's e_log.c. With
// x = 2^k (1 + m), sqrt(2)/2 <= 1 + m < sqrt(2), and s = m / (2 + m),
// ln(1 + m) = 2 atanh s = m - m^2/2 + s (m^2/2 + R(s^2)). Exponent and
// mantissa come from the bits: the high word, shifted so that mantissas
// from sqrt(2)/2 up carry into the exponent, gives k + 1023, and 1 + m is x
// with k taken off its exponent. k reaches a double through the bits too
// (2^52 + k + 1023 has k + 1023 as its low bits), as vector units without
// 64-bit integer conversions need. D: a double, or Doubles (four at once,
// the same bits lane by lane).
template <typename D>
[[gnu::always_inline]] inline D log_of_positive(D x) noexcept {
    constexpr double ln2_hi = 6.93147180369123816490e-01;
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    const auto b = bits_of(x);
    const auto biased_k = ((b >> 32) + std::uint64_t{0x3ff00000u - 0x3fe6a09eu}) >> 20;
    const D m = double_of(b - (biased_k << 52) + (std::uint64_t{1023} << 52)) - 1.0;
    const D k = double_of(std::uint64_t{0x4330000000000000u} | biased_k) - (0x1p52 + 1023.0);
    const D s = m / (2.0 + m), z = s * s, w = z * z;
    const D t1 = w * (3.999999999940941908e-01 +
                      w * (2.222219843214978396e-01 + w * 1.531383769920937332e-01));
    const D t2 = z * (6.666666666666735130e-01 +
                      w * (2.857142874366239149e-01 +
                           w * (1.818357216161805012e-01 + w * 1.479819860511658591e-01)));
    const D half_m2 = 0.5 * m * m;
    return k * ln2_hi - ((half_m2 - (s * (half_m2 + (t1 + t2)) + k * ln2_lo)) - m);
}
#pragma GCC diagnostic pop

}  // namespace tavni::mt_map
