// OMM in CSV: a header row of the keys (any case), then a message a row.
// Fields are read as spreadsheets write them: separated by commas, quoted with
// '"' where they hold commas, quotes ("" inside) or line ends; a line ends at
// "\n", "\r\n" or "\r". Rows with fewer fields lack the keys left over; fields
// past the header's are ignored; empty lines hold no row.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "astrokite/catalogue/omm_reading.hpp"

namespace astrokite::omm {

// The longest field read: a longer one is no OMM value, and refusing it bounds
// the memory a hostile document costs.
inline constexpr std::size_t csv_field_limit = 131072;

class CsvRows {
public:
    // Rows of `text`, its lines counted after `line` lines before it.
    explicit CsvRows(std::string_view text, std::int64_t line = 0) : text_(text), line_(line) {}

    std::string_view rest() const { return text_.substr(position_); }
    std::int64_t line() const { return line_; }

    // The next row's fields (quoted ones decoded, kept until the next call),
    // the line it ends on and its text; false at the end.
    bool next(std::vector<std::string_view> &fields, std::int64_t &line, std::string_view &row_text) {
        fields.clear();
        owned_.clear();
        while (position_ < text_.size()) {
            const std::size_t start = position_;
            if (read_row(fields)) {
                line = line_;
                row_text = text_.substr(start, position_ - start);
                return true;
            }
        }
        return false;
    }

private:
    bool at_line_end(std::size_t i) const { return i >= text_.size() || text_[i] == '\n' || text_[i] == '\r'; }

    // Past the line end at `i`, counting the line.
    std::size_t after_line_end(std::size_t i) {
        ++line_;
        if (i < text_.size() && text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n')
            return i + 2;
        return i + 1;
    }

    void check(std::size_t length) const {
        if (length > csv_field_limit)
            throw DocumentError("not CSV: field larger than field limit (" + std::to_string(csv_field_limit) +
                                ") (after line " + std::to_string(line_) + ")");
    }

    // One row from position_; false for an empty line.
    bool read_row(std::vector<std::string_view> &fields) {
        std::size_t i = position_;
        if (at_line_end(i)) {
            position_ = after_line_end(i);
            return false;
        }
        for (;;) {
            if (i < text_.size() && text_[i] == '"') {
                i = quoted_field(i + 1, fields);
            } else {
                std::size_t end = i;
                while (end < text_.size() && text_[end] != ',' && text_[end] != '\n' && text_[end] != '\r' &&
                       text_[end] != '"')
                    ++end;
                if (end < text_.size() && text_[end] == '"') {  // a quote inside is kept as written
                    std::string field(text_.substr(i, end - i));
                    while (end < text_.size() && text_[end] != ',' && text_[end] != '\n' && text_[end] != '\r')
                        field += text_[end++];
                    check(field.size());
                    fields.push_back(owned_.emplace_back(std::move(field)));
                } else {
                    check(end - i);
                    fields.push_back(text_.substr(i, end - i));
                }
                i = end;
            }
            if (i < text_.size() && text_[i] == ',') {
                ++i;
                continue;
            }
            position_ = i < text_.size() ? after_line_end(i) : (++line_, i);
            return true;
        }
    }

    // A quoted field from `i` (past its opening quote): to the closing quote,
    // "" standing for one, line ends kept; then whatever follows up to the
    // comma or line end, as written.
    std::size_t quoted_field(std::size_t i, std::vector<std::string_view> &fields) {
        std::string field;
        for (;;) {
            if (i >= text_.size())
                break;
            const char c = text_[i];
            if (c == '"') {
                if (i + 1 < text_.size() && text_[i + 1] == '"') {
                    field += '"';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            if (c == '\n' || (c == '\r' && !(i + 1 < text_.size() && text_[i + 1] == '\n')))
                ++line_;
            field += c;
            ++i;
            check(field.size());
        }
        while (i < text_.size() && text_[i] != ',' && text_[i] != '\n' && text_[i] != '\r')
            field += text_[i++];
        check(field.size());
        fields.push_back(owned_.emplace_back(std::move(field)));
        return i;
    }

    std::string_view text_;
    std::size_t position_ = 0;
    std::int64_t line_;
    std::deque<std::string> owned_;
};

// The header row's keys in upper case, and the record's key each stands for.
struct CsvHeader {
    std::deque<std::string> keys;
    std::vector<Key> held;
};

// The rows of `rows` as messages of `header`; `text` is what `rows` reads.
inline void read_csv_rows(CsvRows &rows, const CsvHeader &header, std::string_view text, Reading &reading) {
    std::vector<std::string_view> fields;
    std::int64_t line;
    std::string_view row_text;
    while (rows.next(fields, line, row_text)) {
        Message &message = reading.start();
        const std::size_t count = std::min(fields.size(), header.keys.size());
        for (std::size_t k = 0; k < count; ++k) {
            // A decoded field goes with the message: the rows' own copy is gone at the next row.
            if (fields[k].data() < text.data() || fields[k].data() > text.data() + text.size())
                fields[k] = message.own(std::string(fields[k]));
            if (header.held[k] != not_held)
                message.set(header.held[k], fields[k]);
            else if (!header.keys[k].empty())
                message.set(header.keys[k], fields[k]);
        }
        reading.take(line, row_text);
    }
    reading.flush();
}

// The rows after the header cut into parts at line ends, each read on its own
// (read_in_parts). Only where no field is quoted: a quoted field may hold a
// line end, where no cut may fall.
inline bool read_csv_parts(std::string_view body, std::int64_t header_lines, const CsvHeader &header,
                           Reading &reading) {
    if (body.find('"') != std::string_view::npos)
        return false;
    std::vector<std::size_t> cuts{0};
    const std::size_t parts = body.size() / part_bytes + reading.threads();
    for (std::size_t k = 1; k < parts; ++k) {
        const std::size_t end = body.find('\n', std::max(body.size() * k / parts, cuts.back()));
        if (end == std::string_view::npos)
            break;
        cuts.push_back(end + 1);
    }
    cuts.push_back(body.size());
    return read_in_parts<NoScratch>(cuts.size() - 1, header_lines, body.size() / 128, reading,
                                    [&](NoScratch &, std::size_t k, Reading &into, std::int64_t before) {
                                        const std::string_view part = body.substr(cuts[k], cuts[k + 1] - cuts[k]);
                                        CsvRows rows(part, before);
                                        read_csv_rows(rows, header, part, into);
                                        return rows.line() - before;
                                    });
}

inline void read_csv(std::string_view text, Reading &reading) {
    if (text.starts_with("\xef\xbb\xbf"))
        text.remove_prefix(3);
    CsvRows rows(text);
    std::vector<std::string_view> fields;
    std::int64_t line;
    std::string_view row_text;
    if (!rows.next(fields, line, row_text))
        return;
    // The header: its keys in upper case, kept for the whole reading, and
    // the record's key each stands for, found once.
    CsvHeader header;
    for (const std::string_view field : fields) {
        std::string key(stripped(field));
        for (char &c : key)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        header.held.push_back(key_of(key));
        header.keys.push_back(std::move(key));
    }
    if (reading.threads() > 1 && text.size() >= parts_from && read_csv_parts(rows.rest(), rows.line(), header, reading))
        return;
    read_csv_rows(rows, header, text, reading);
}

}  // namespace astrokite::omm
