// libFuzzer target: the catalogue scanner of tle_scanner.hpp on any bytes.
//
// The first byte picks the reading (strict or tolerant, duplicates dropped or
// kept, a window or none), the second the size of the chunks the rest is fed
// in, so that lines cut at every position are read. The same text is also
// read in one chunk. Besides memory and undefined-behaviour faults (ASan,
// UBSan), the run stops on a broken property:
//   - the chunking never changes what is read or rejected;
//   - every line that is not blank (a byte-order mark at the start counts as
//     nothing) ends up in a record or a rejection: a
//     record accounts for two or three lines, a rejection for one to three;
//   - a record's catalogue number is what its line 1 holds, and every record
//     of a satellite sits in that satellite's group, in reading order;
//   - rejections come in line order and keep a bounded text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "astrokite/catalogue/tle_row_fields.hpp"
#include "astrokite/catalogue/tle_scanner.hpp"
#include "fuzz_support.hpp"

namespace cat = astrokite::catalogue;
namespace tl = astrokite::tle_lines;

namespace {

cat::Options options_of(std::uint8_t flags) {
    cat::Options options;
    options.strict = flags & 1;
    if (flags & 4) {
        options.has_start = true;
        options.start = 1'600'000'000'000'000'000;  // 2020-09-13
    }
    if (flags & 8) {
        options.has_stop = true;
        options.stop = 1'700'000'000'000'000'000;  // 2023-11-14
    }
    if (flags & 16) {
        options.select_satnos = true;
        options.satnos = {5, 25544, 100000};
    }
    return options;
}

void read(cat::Scanner &scanner, std::string_view text, std::size_t chunk) {
    scanner.begin(0);
    for (std::size_t position = 0; position < text.size(); position += chunk)
        scanner.feed(text.data() + position, std::min(chunk, text.size() - position));
    scanner.end();
}

std::size_t text_lines(std::string_view text) {
    std::size_t count = 0, position = 0;
    if (text.starts_with("\xef\xbb\xbf"))  // a byte-order mark at the start is not text
        position = 3;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(position, end - position);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        count += !line.empty() || end - position > cat::max_line;
        position = end + 1;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint8_t flags = data[0];
    const std::size_t chunk = 1 + data[1] % 97;
    const std::string_view text(reinterpret_cast<const char *>(data) + 2, size - 2);
    const cat::Options options = options_of(flags);

    cat::Scanner pieces(options, 1 + (flags >> 6)), whole(options, 1);
    read(pieces, text, chunk);
    read(whole, text, text.size() + 1);
    if (flags & 2) {
        pieces.drop_duplicates();
        whole.drop_duplicates();
    }

    require(pieces.records().size() == whole.records().size(), "chunking changes the records");
    for (std::size_t i = 0; i < whole.records().size(); ++i)
        require(std::string_view(pieces.records()[i].lines, cat::row_size) ==
                    std::string_view(whole.records()[i].lines, cat::row_size),
                "chunking changes a record");
    const std::vector<cat::Rejection> &rejections = whole.rejections();
    require(rejections.size() == pieces.rejections().size(), "chunking changes the rejections");
    for (std::size_t i = 0; i < rejections.size(); ++i) {
        require(rejections[i].line == pieces.rejections()[i].line &&
                    rejections[i].reason == pieces.rejections()[i].reason,
                "chunking changes a rejection");
        require(i == 0 || rejections[i - 1].line <= rejections[i].line, "rejections out of line order");
        require(rejections[i].text.size() <= 3 * (cat::quoted_limit + 4), "rejection text unbounded");
    }

    // Without filters every line is accounted for.
    if (!(flags & (2 | 4 | 8 | 16))) {
        const std::size_t lines = text_lines(text);
        const std::size_t records = whole.records().size();
        std::size_t covered = 0;  // lines the rejections stand for, at most
        for (const cat::Rejection &rejection : rejections)
            covered += rejection.last_single ? rejection.last_single - rejection.line + 1 : 3;
        require(2 * records + rejections.size() <= lines, "more sets and rejections than lines");
        require(3 * records + covered >= lines, "lines read without a trace");
    }

    std::vector<cat::Satellite> satellites;
    const cat::Grouping grouping = whole.grouped(satellites);
    std::vector<std::size_t> order(grouping.size);
    for (std::size_t i = 0; i < grouping.size; ++i)
        order[i] = grouping.records[i].position;
    require(order.size() == whole.records().size(), "grouping loses records");
    for (std::size_t s = 0; s < satellites.size(); ++s) {
        require(s == 0 || satellites[s - 1].satno < satellites[s].satno, "satellites out of order");
        for (std::size_t i = satellites[s].first; i < satellites[s].last; ++i) {
            const cat::Record &record = whole.records()[order[i]];
            require(record.satno == satellites[s].satno, "a record in another satellite's group");
            require(grouping.records[i].epoch == record.epoch, "a grouped epoch that is not its record's");
            if (i > satellites[s].first) {
                const cat::Record &before = whole.records()[order[i - 1]];
                require(before.epoch < record.epoch || (before.epoch == record.epoch && order[i - 1] < order[i]),
                        "a group out of epoch order, or equal epochs out of reading order");
            }
            require(tl::decode_satno(std::string_view(record.lines + 2, 5)) == record.satno,
                    "catalogue number not that of line 1");
        }
    }
    if (!whole.records().empty()) {
        std::string rows;
        for (std::size_t i = 0; i < whole.records().size(); ++i)
            rows.append(whole.records()[i].lines, cat::row_size);
        const cat::RowFields fields = cat::row_fields(rows.data(), whole.records().size());
        require(fields.epoch.size() == whole.records().size(), "row fields lose rows");
    }
    return 0;
}
