#pragma once

#include "control/RuntimeError.h"

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <utility>

// Integer arithmetic that fails instead of wrapping: every operation whose
// exact result leaves the range of its type raises the overflow error.
namespace qd::control {

template <std::signed_integral T> T guardedFit(long long exact) {
    if (exact < std::numeric_limits<T>::min() || exact > std::numeric_limits<T>::max()) {
        throw RuntimeError::overflow();
    }
    return static_cast<T>(exact);
}

inline std::int16_t guardedAdd16(std::int16_t a, std::int16_t b) {
    return guardedFit<std::int16_t>(static_cast<long long>(a) + b);
}
inline std::int16_t guardedMul16(std::int16_t a, std::int16_t b) {
    return guardedFit<std::int16_t>(static_cast<long long>(a) * b);
}
inline std::int32_t guardedAdd32(std::int32_t a, std::int32_t b) {
    return guardedFit<std::int32_t>(static_cast<long long>(a) + b);
}
inline std::int32_t guardedMul32(std::int32_t a, std::int32_t b) {
    return guardedFit<std::int32_t>(static_cast<long long>(a) * b);
}

// Floating point to integer rounds half to even, the classic conversion rule,
// and fails for anything (NaN included) that does not fit.
template <std::signed_integral T> T guardedFromDouble(double value) {
    const double rounded = std::nearbyint(value);
    if (!(rounded >= static_cast<double>(std::numeric_limits<T>::min()) &&
          rounded <= static_cast<double>(std::numeric_limits<T>::max()))) {
        throw RuntimeError::overflow();
    }
    return static_cast<T>(rounded);
}

// Narrowing between integer types, e.g. a count into a 16-bit counter.
template <std::signed_integral T, std::integral U> T guardedNarrow(U value) {
    if (!std::in_range<T>(value)) {
        throw RuntimeError::overflow();
    }
    return static_cast<T>(value);
}

// Index into a fixed array with its bounds checked.
template <typename Array> auto& guardedAt(Array& array, long long index) {
    if (index < 0 || static_cast<unsigned long long>(index) >= std::size(array)) {
        throw RuntimeError::subscriptOutOfRange();
    }
    return array[static_cast<std::size_t>(index)];
}

} // namespace qd::control
