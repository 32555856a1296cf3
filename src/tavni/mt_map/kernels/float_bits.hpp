// Floating-point values as bit patterns and back, and choices made on bits
// rather than by branches.
#pragma once

#include <cstdint>
#include <cstring>

namespace tavni::mt_map {

// The bit patterns of IEEE single and double values, and back (copied, so
// that no aliasing rule is broken). Non-negative floats are ordered as their
// bit patterns: consecutive integers are consecutive single-precision values.
inline std::uint32_t bits_of(float x) noexcept {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline std::uint64_t bits_of(double x) noexcept {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline float float_of(std::uint32_t b) noexcept {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

inline double double_of(std::uint64_t b) noexcept {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// c ? a : b, picked bit by bit: both are computed whatever c is, so that
// the compiler cannot move either into a branch of its own (where a
// floating-point operation that may raise a flag has to stay) and a loop
// over voxels stays free of branches.
inline double pick(bool c, double a, double b) noexcept {
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(c);
    return double_of((bits_of(a) & mask) | (bits_of(b) & ~mask));
}

inline std::uint32_t pick(bool c, std::uint32_t a, std::uint32_t b) noexcept {
    const std::uint32_t mask = 0 - static_cast<std::uint32_t>(c);
    return (a & mask) | (b & ~mask);
}

}  // namespace tavni::mt_map
