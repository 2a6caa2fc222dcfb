// Rows of normalised line pairs, row_size bytes each as a catalogue reading
// gives them, read back into columns.
//
// Plain C++: no Python in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "astrokite/catalogue/tle_record_store.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::catalogue {

// The fields of n rows of normalised line pairs, column by column, for tables.
struct RowFields {
    std::vector<std::int64_t> epoch;  // counts of Time
    std::vector<double> ndot, nddot, bstar;
    std::vector<std::int32_t> ephtype, elnum, revnum;
    std::string classification;  // one byte per row
    std::string intldes;         // eight bytes per row
};

inline RowFields row_fields(const char *rows, std::size_t n) {
    RowFields fields;
    fields.epoch.resize(n);
    fields.ndot.resize(n);
    fields.nddot.resize(n);
    fields.bstar.resize(n);
    fields.ephtype.resize(n);
    fields.elnum.resize(n);
    fields.revnum.resize(n);
    fields.classification.resize(n);
    fields.intldes.resize(8 * n);
    for (std::size_t i = 0; i < n; ++i) {
        tle_lines::LineStore line1, line2;
        std::memcpy(line1, rows + i * row_size, tle_lines::line_length);
        std::memcpy(line2, rows + i * row_size + tle_lines::line_length, tle_lines::line_length);
        line1[tle_lines::line_length] = line2[tle_lines::line_length] = '\0';
        const tle_lines::ElementSet set = tle_lines::parse_element_set(line1, line2);
        std::int64_t epoch = 0;
        if (time::ns_from_jd(time::year_start_jd(set.epoch_year) - 1.0 + set.epoch_day, epoch) != time::Convert::ok)
            epoch = time::min_ns - 1;  // not a time
        fields.epoch[i] = epoch;
        fields.ndot[i] = set.ndot;
        fields.nddot[i] = set.nddot;
        fields.bstar[i] = set.bstar;
        fields.ephtype[i] = set.ephtype;
        fields.elnum[i] = set.elnum;
        fields.revnum[i] = set.revnum;
        fields.classification[i] = set.classification;
        std::memcpy(&fields.intldes[8 * i], set.intldes, 8);
    }
    return fields;
}

}  // namespace astrokite::catalogue
