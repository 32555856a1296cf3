// Reading arrays of any layout in the element order of a C-contiguous map.
//
// A whole-image kernel writes its results into a C-contiguous array of the
// map's shape, but each input keeps its own layout: a broadcast input has
// stride 0 along the axes it is repeated over (so a (6000, 1) array and a
// (1, 6000) one cover a 6000 x 6000 map without being copied to its size),
// a slice has strides of any sign and size, and single-precision inputs
// stay single. Plain numbers only; no interpreter types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavni::mt_map {

// The shape of a map: extent[0] x ... x extent[ndim - 1] elements, the last
// axis varying fastest. ndim 0 is one element.
struct MapShape {
    std::size_t ndim = 0;
    const std::size_t *extent = nullptr;

    std::size_t size() const noexcept {
        std::size_t n = 1;
        for (std::size_t d = 0; d < ndim; ++d) {
            n *= extent[d];
        }
        return n;
    }
};

// One input over the map: the element at index (i0, ..., i_{ndim-1}) lies
// sum_d i_d * strides[d] bytes from data. Null strides: one value shared
// by every element. Elements are read byte-wise, so neither the data nor
// the strides need be aligned.
struct StridedArray {
    enum Type : std::uint8_t { float64, float32, byte };
    const void *data = nullptr;  // null: no such input
    Type type = float64;
    const std::ptrdiff_t *strides = nullptr;

    bool present() const noexcept { return data != nullptr; }

    // The element at byte offset `offset`, as a double (float32 widened
    // exactly, a byte as 0 or 1 and above).
    double value(std::ptrdiff_t offset) const noexcept {
        const char *p = static_cast<const char *>(data) + offset;
        if (type == float64) {
            double x;
            std::memcpy(&x, p, sizeof x);
            return x;
        }
        if (type == float32) {
            float x;
            std::memcpy(&x, p, sizeof x);
            return static_cast<double>(x);
        }
        std::uint8_t x;
        std::memcpy(&x, p, sizeof x);
        return static_cast<double>(x);
    }

    bool nonzero(std::ptrdiff_t offset) const noexcept { return value(offset) != 0.0; }
};

// The byte offsets of up to K arrays at consecutive elements of a map, in C
// order, from a given flat index on: one addition per array with strides
// and element, with a carry into the next axis at the end of each row.
// Shared values (null strides) stay at offset 0 and cost nothing.
template <std::size_t K>
class StridedCursor {
public:
    static constexpr std::size_t max_dims = 64;

    // The arrays must outlive the cursor; shape.ndim <= max_dims.
    StridedCursor(const MapShape &shape, const StridedArray *const (&arrays)[K],
                  std::size_t start) noexcept
        : shape_(shape) {
        for (std::size_t k = 0; k < K; ++k) {
            offsets_[k] = 0;
            if (arrays[k]->strides != nullptr) {
                moving_[moving_count_] = k;
                strides_[moving_count_] = arrays[k]->strides;
                ++moving_count_;
            }
        }
        // Unravel the flat start index into the multi-index, last axis fastest.
        for (std::size_t d = shape.ndim; d-- > 0;) {
            index_[d] = shape.extent[d] > 0 ? start % shape.extent[d] : 0;
            start = shape.extent[d] > 0 ? start / shape.extent[d] : 0;
            for (std::size_t m = 0; m < moving_count_; ++m) {
                offsets_[moving_[m]] += static_cast<std::ptrdiff_t>(index_[d]) * strides_[m][d];
            }
        }
    }

    std::ptrdiff_t operator[](std::size_t k) const noexcept { return offsets_[k]; }

    // On to the next element in C order.
    void advance() noexcept {
        for (std::size_t d = shape_.ndim; d-- > 0;) {
            const bool carry = ++index_[d] == shape_.extent[d];
            const std::ptrdiff_t steps = carry ? 1 - static_cast<std::ptrdiff_t>(index_[d]) : 1;
            for (std::size_t m = 0; m < moving_count_; ++m) {
                offsets_[moving_[m]] += steps * strides_[m][d];
            }
            if (!carry) {
                return;
            }
            index_[d] = 0;
        }
    }

private:
    MapShape shape_;
    std::size_t moving_count_ = 0;      // arrays with strides,
    std::size_t moving_[K];             // which they are,
    const std::ptrdiff_t *strides_[K];  // and their strides
    std::ptrdiff_t offsets_[K];
    std::size_t index_[max_dims];
};

}  // namespace tavni::mt_map
