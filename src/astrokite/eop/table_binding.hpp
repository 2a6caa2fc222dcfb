// The daily Earth orientation columns that an EOPTable hands to native code,
// read in a binding: None for the model without data, else the tuple (mjd,
// smooth, leaps, x, y) of one-dimensional float64 arrays of one length. The
// table is a view: the tuple must outlive its use.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "astrokite/eop/table.hpp"

namespace astrokite::eop {

inline DailyTable daily_table(nanobind::handle columns) {
    namespace nb = nanobind;
    using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
    if (columns.is_none())
        return {};
    if (!nb::isinstance<nb::tuple>(columns) || nb::len(columns) != 5)
        throw nb::type_error("Earth orientation columns must be a tuple (mjd, smooth, leaps, x, y) or None");
    const double *data[5];
    size_t days = 0;
    for (size_t i = 0; i < 5; ++i) {
        Column column;
        if (!nb::try_cast(columns[i], column, false))
            throw nb::type_error("each Earth orientation column must be a contiguous float64 array");
        if (i == 0)
            days = column.shape(0);
        else if (column.shape(0) != days)
            throw nb::value_error("the Earth orientation columns must have one length");
        data[i] = column.data();
    }
    if (days == 0)
        throw nb::value_error("an Earth orientation table needs at least one day");
    return {data[0], data[1], data[2], data[3], data[4], days};
}

}  // namespace astrokite::eop
