// Helpers the core tests share: bit patterns of floating-point values.
#pragma once

#include <cstdint>
#include <cstring>

namespace test_support {

inline std::uint32_t bits(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline float float_from_bits(std::uint32_t b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

}  // namespace test_support
