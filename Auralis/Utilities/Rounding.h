#pragma once

#include <cmath>
#include <concepts>

namespace auralis {

// x rounded to `places` decimal places: round(x * 10^places) / 10^places, halves away from
// zero, computed in x's own precision (float values stay float arithmetic).
template <std::floating_point T> T roundedToDecimalPlaces(T x, int places)
{
    const T scale = static_cast<T>(std::pow(T(10), places));
    return std::round(x * scale) / scale;
}

} // namespace auralis
