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

// Eight floats, and four as half of them.
typedef float Floats __attribute__((vector_size(32)));
typedef float HalfFloats __attribute__((vector_size(16)));

// ln x of eight positive normal doubles, from[0..7], into to[0..7] (the
// two may be the same), with the logarithm of the mantissa in single
// precision, eight lanes an instruction: within 5e-8 of ln x (absolute;
// 3e-8 for an x that is a float), and 0 for x = 1. Exponent and mantissa
// come from the double's bits as in log_of_positive, so that the whole
// range of doubles is covered (no float to overflow or underflow):
// x = 2^k (1 + m), sqrt(2)/2 <= 1 + m < sqrt(2), m exact in double, then
// rounded to a float (exactly, where x is a float). With s = m / (2 + m),
// z = s^2,
//     ln(1 + m) = m - m^2/2 + s (m^2/2 + z P(z)),
// P of degree 3 (fdlibm's e_logf.c, as refined in FreeBSD's libm: within
// 2^-34 of the series), in float, and then in double
//     ln x = k ln 2 + ln(1 + m),
// so that the float error stays that of a number below ln(2)/2 however
// large |k ln 2|. Each lane's value depends on that lane alone. The floats
// are widened through `to`: GCC splits a conversion of four floats to four
// doubles held in registers into halves, not one it makes of stored ones.
[[gnu::always_inline]] inline void narrow_log_of_positive(const double *from, double *to) noexcept {
    constexpr double ln2 = 0x1.62e42fefa39efp-1;
    Doubles k[2];
    HalfFloats half[2];
    for (int h = 0; h < 2; ++h) {
        Doubles x;
        std::memcpy(&x, from + 4 * h, sizeof x);
        const Words b = bits_of(x);
        const Words biased_k = ((b >> 32) + std::uint64_t{0x3ff00000u - 0x3fe6a09eu}) >> 20;
        k[h] = double_of(std::uint64_t{0x4330000000000000u} | biased_k) - (0x1p52 + 1023.0);
        const Doubles m = double_of(b - (biased_k << 52) + (std::uint64_t{1023} << 52)) - 1.0;
        half[h] = __builtin_convertvector(m, HalfFloats);
    }
    const Floats m = __builtin_shufflevector(half[0], half[1], 0, 1, 2, 3, 4, 5, 6, 7);
    const Floats s = m / (2.0f + m), z = s * s, w = z * z;
    const Floats t1 = w * (0xccce13.0p-25f + w * 0xf89e26.0p-26f);
    const Floats t2 = z * (0xaaaaaa.0p-24f + w * 0x91e9ee.0p-25f);
    const Floats half_m2 = 0.5f * m * m;
    const Floats l = m - (half_m2 - s * (half_m2 + (t1 + t2)));
    for (int i = 0; i < 8; ++i) {
        to[i] = static_cast<double>(l[i]);
    }
    for (int h = 0; h < 2; ++h) {
        Doubles y;
        std::memcpy(&y, to + 4 * h, sizeof y);
        y = k[h] * ln2 + y;
        std::memcpy(to + 4 * h, &y, sizeof y);
    }
}
#pragma GCC diagnostic pop

}  // namespace tavni::mt_map
