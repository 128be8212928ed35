#pragma once

// The statistic every benchmark program reports: the value at or below which a share q (0 to 1)
// of the measurements lie, by the nearest-rank rule; NaN for no measurements.
#include <algorithm>
#include <cmath>
#include <vector>

inline double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(q * double(values.size())));
    return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}
