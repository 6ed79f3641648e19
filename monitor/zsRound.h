// Rounding as the graph and the log need it: to the nearest integer, halves to the even
// neighbour (2.5 -> 2, 3.5 -> 4).
#pragma once

#include <cmath>
#include <limits>

// Values outside the int range, infinities and NaN come back clamped (NaN as the lowest int) so
// that callers can treat them as "far outside" instead of invoking undefined conversions.
inline int RoundHalfEven(double Value) {
    if (std::isnan(Value)) {
        return std::numeric_limits<int>::min();
    }
    double R;
    if (std::fabs(Value) < 2251799813685248.0) { // 2^51
        // Value + 1.5 * 2^52 lies in [2^52, 2^53), where doubles have no fraction bits, so the
        // sum is rounded by the default mode, to nearest with ties to even: what nearbyint
        // does, without the library call.
        constexpr double Shift = 6755399441055744.0;
        const double Sum = Value + Shift;
        R = Sum - Shift;
    } else {
        R = Value; // already whole
    }
    if (R <= double(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    if (R >= double(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(R);
}
