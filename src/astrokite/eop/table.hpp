// Earth orientation at any instant from daily values: UT1 - UTC and the pole's
// coordinates, interpolated linearly between days as NumPy's interp does (the
// same formula, so that native searches and Python agree to the bit). Plain
// C++ with no Python; the columns are views the caller keeps alive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace astrokite::eop {

// Earth orientation at one instant: UT1 - UTC [s] and the pole's coordinates
// xp, yp [rad] (as the IERS publishes them). All zero is the model without
// data: UT1 = UTC and no polar motion.
struct Orientation {
    double ut1_utc = 0, xp = 0, yp = 0;
};

// Daily values: `mjd` (UTC, increasing), UT1 - UTC with its leap-second jumps
// taken out (`smooth`) and the jumps counted up to each day (`leaps`), the
// pole's x and y. Before the first day and after the last the nearest value
// is held. No days: the model without data.
struct DailyTable {
    const double *mjd = nullptr, *smooth = nullptr, *leaps = nullptr, *x = nullptr, *y = nullptr;
    size_t days = 0;

    // The Modified Julian Date (UTC) of a count of ns since 1970.
    static double mjd_of(int64_t ns) {
        constexpr int64_t ns_per_day = 86'400'000'000'000;
        int64_t day = ns / ns_per_day, rest = ns % ns_per_day;
        if (rest < 0)
            rest += ns_per_day, --day;
        return (double(day) + 40587.0) + double(rest) / double(ns_per_day);
    }

    Orientation at(int64_t ns) const {
        if (days == 0)
            return {};
        const double t = mjd_of(ns);
        // Days at or before t (the day in force), as searchsorted(side="right").
        const size_t after = size_t(std::upper_bound(mjd, mjd + days, t) - mjd);
        const size_t day = after == 0 ? 0 : after - 1;
        const auto interpolate = [&](const double *f) {
            if (after == 0)
                return f[0];
            if (after == days)
                return f[days - 1];
            const double slope = (f[after] - f[day]) / (mjd[after] - mjd[day]);
            return slope * (t - mjd[day]) + f[day];
        };
        return {interpolate(smooth) + leaps[day], interpolate(x), interpolate(y)};
    }
};

}  // namespace astrokite::eop
