// OMM in JSON: an array of messages, or one message, each an object of the
// upper-case keys. Values may be texts (as catalogue services write them) or
// numbers, read from their text as written; null is a key not given; true and
// false are texts ("True", "False"), never numbers.
//
// simdjson's On-Demand parser finds the structure and unescapes the texts; its
// depth limit (1024) bounds nesting, and a number is never converted by it,
// only passed on as text.
// Plain C++: no Python in here.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "astrokite/catalogue/omm_reading.hpp"

namespace astrokite::omm {

namespace json_detail {

namespace od = simdjson::ondemand;

[[noreturn]] inline void fail(simdjson::error_code error) {
    throw DocumentError(std::string("not JSON: ") + simdjson::error_message(error));
}

inline void check(simdjson::error_code error) {
    if (error)
        fail(error);
}

inline const char *kind_name(od::json_type type, od::value &value) {
    switch (type) {
    case od::json_type::array: return "list";
    case od::json_type::object: return "dict";
    case od::json_type::string: return "str";
    case od::json_type::boolean: return "bool";
    case od::json_type::null: return "NoneType";
    case od::json_type::number: {
        const std::string_view token = value.raw_json_token();
        return token.find_first_of(".eE") == std::string_view::npos ? "int" : "float";
    }
    }
    return "object";
}

// Whether a text holds an escape, eight bytes at a time: a byte equal to the
// backslash leaves a zero byte in word ^ pattern, which (word - ones) & ~word
// & highs marks (and may mark bytes above a marked one, never below: so the
// bytes past the text's end are simply masked off). The text lies in a padded
// document: the 7 bytes after it may be read.
inline bool has_escape(std::string_view text) {
    static_assert(std::endian::native == std::endian::little, "the text's first byte is the word's lowest");
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u, backslashes = ones * '\\';
    for (std::size_t i = 0; i < text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        word ^= backslashes;
        std::uint64_t marked = (word - ones) & ~word & highs;
        if (const std::size_t left = text.size() - i; left < 8)
            marked &= (std::uint64_t(1) << (8 * left)) - 1;
        if (marked)
            return true;
    }
    return false;
}

// A key's text as written, from `first` (just past its opening quote) to its
// closing quote, found back from `value` (where the key's value starts): the
// quote before the colon, blanks aside. It may hold escapes. A null view when
// the text there is not so (never, for the structure simdjson checked).
inline std::string_view key_text(const char *first, const char *value) {
    const char *last = value;
    while (last > first && is_blank(last[-1]))
        --last;
    if (last == first || last[-1] != ':')
        return {};
    --last;
    while (last > first && is_blank(last[-1]))
        --last;
    if (last == first || last[-1] != '"')
        return {};
    return std::string_view(first, static_cast<std::size_t>(last - 1 - first));
}

// Where the iteration stands in the document (its end when done).
inline const char *location(od::document &document, std::string_view text) {
    const char *at = nullptr;
    if (document.current_location().get(at))
        return text.data() + text.size();
    return at;
}

// One value of the document (an element of its array, or the root): a message.
inline void read_message(od::value value, std::int64_t number, const char *start, od::document &document,
                         std::string_view text, Reading &reading) {
    od::json_type type;
    check(value.type().get(type));
    auto text_until_here = [&] {
        const char *end = location(document, text);
        while (end > start && (end[-1] == ',' || end[-1] == ']' || is_blank(end[-1])))
            --end;
        return std::string_view(start, static_cast<std::size_t>(std::max(end - start, std::ptrdiff_t(1))));
    };
    if (type != od::json_type::object) {
        const char *kind = kind_name(type, value);
        if (type == od::json_type::array) {  // passed over, to find where it ends
            od::array array;
            std::string_view skipped;
            check(value.get_array().get(array));
            check(array.raw_json().get(skipped));
        }
        reading.reject(number, text_until_here(), kind_reason(kind));
        return;
    }
    od::object object;
    check(value.get_object().get(object));
    Message &message = reading.start();
    for (auto field_result : object) {
        od::field field;
        check(std::move(field_result).get(field));
        od::value item = field.value();
        const std::string_view raw_token = item.raw_json_token();
        const std::string_view token = stripped(raw_token);
        // Keys and texts without escapes are viewed where they stand, not
        // copied out: that is nearly all of them. A key of the record has none.
        std::string_view key = key_text(field.key().raw(), raw_token.data());
        Key known = key_of(key);
        if (known == not_held && (key.data() == nullptr || has_escape(key))) {
            check(field.unescaped_key().get(key));
            known = key_of(key);
        }
        switch (token.empty() ? 0 : token.front()) {
        case '"': {
            std::string_view string = token.size() >= 2 && token.back() == '"'
                                          ? std::string_view(token.data() + 1, token.size() - 2)
                                          : std::string_view();
            if (string.data() == nullptr || has_escape(string))
                check(item.get_string().get(string));
            message.set(known, key, string);
            break;
        }
        case 't':
        case 'f': {
            bool flag;
            check(item.get_bool().get(flag));
            message.set(known, key, flag ? "True" : "False");
            break;
        }
        case 'n':
            check(item.is_null().error());
            message.unset(known, key);
            break;
        case '[': {
            // Never a value of a field: kept as its text, which no number reads.
            od::array array;
            std::string_view raw;
            check(item.get_array().get(array));
            check(array.raw_json().get(raw));
            message.set(known, key, stripped(raw));
            break;
        }
        case '{': {
            od::object inner;
            std::string_view raw;
            check(item.get_object().get(inner));
            check(inner.raw_json().get(raw));
            message.set(known, key, stripped(raw));
            break;
        }
        default:  // a number, passed on as written
            message.set(known, key, token);
        }
    }
    reading.take(number, text_until_here());
}

// The whole document of `padded`, its messages numbered after `before`;
// gives the number of messages it held. `parser` may have read others before.
inline std::int64_t read_whole(od::parser &parser, simdjson::padded_string_view padded, Reading &reading,
                               std::int64_t before = 0) {
    const std::string_view copy(padded.data(), padded.size());
    od::document document;
    check(parser.iterate(padded).get(document));
    od::json_type type;
    check(document.type().get(type));
    std::int64_t number = before + 1;
    if (type == od::json_type::array) {
        od::array array;
        check(document.get_array().get(array));
        number = before;
        for (auto element : array) {
            const char *start = location(document, copy);
            od::value value;
            check(element.get(value));
            read_message(value, ++number, start, document, copy, reading);
        }
    } else if (type == od::json_type::object) {
        od::value value;
        check(document.get_value().get(value));
        read_message(value, number, copy.data(), document, copy, reading);
    } else {
        std::string_view scalar;
        check(document.raw_json_token().get(scalar));
        const char *kind = type == od::json_type::string ? "str"
                           : type == od::json_type::boolean ? "bool"
                           : type == od::json_type::null ? "NoneType"
                           : scalar.find_first_of(".eE") == std::string_view::npos ? "int" : "float";
        reading.reject(number, stripped(scalar), kind_reason(kind));
    }
    const char *after = nullptr;
    if (!document.current_location().get(after))
        fail(simdjson::TRAILING_CONTENT);
    reading.flush();  // while the texts the messages view are there
    return number - before;
}

// Where an array of objects may be cut near each of `parts` - 1 even places:
// the '{' of an element that follows "}," (blanks aside). Such a place may lie
// inside a text or a nested value; read_in_parts finds that out.
inline std::vector<std::size_t> cuts_of(std::string_view text, std::size_t parts) {
    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < parts; ++k) {
        std::size_t at = std::max(text.size() * k / parts, cuts.empty() ? 0 : cuts.back() + 1);
        for (; (at = text.find('{', at)) != std::string_view::npos; ++at) {
            std::size_t before = at;
            while (before > 0 && is_blank(text[before - 1]))
                --before;
            if (before == 0 || text[before - 1] != ',')
                continue;
            --before;
            while (before > 0 && is_blank(text[before - 1]))
                --before;
            if (before > 0 && text[before - 1] == '}')
                break;
        }
        if (at == std::string_view::npos)
            break;
        cuts.push_back(at);
    }
    return cuts;
}

// What a thread reading parts keeps from one to the next: the parser and the
// padded copy of the part, both grown to the largest part read so far.
struct PartScratch {
    od::parser parser;
    std::unique_ptr<char[]> buffer;
    std::size_t capacity = 0;
};

// The array read as the arrays between its cuts, in parts (read_in_parts).
// Every part must be a whole JSON array for this to count: a part cut inside
// a text or a nested value is not, and then false (nothing kept) sends the
// document to be read whole.
inline bool read_parts(std::string_view text, const std::vector<std::size_t> &cuts, Reading &reading) {
    const std::size_t parts = cuts.size() + 1;
    return read_in_parts<PartScratch>(parts, 0, text.size() / 256, reading, [&](PartScratch &scratch, std::size_t k, Reading &into,
                                                                std::int64_t before) {
        // The part's elements, without the comma before the next cut, as an array.
        const std::size_t begin = k == 0 ? 0 : cuts[k - 1];
        std::size_t end = k + 1 < parts ? cuts[k] : text.size();
        if (k + 1 < parts) {
            while (text[end - 1] != ',')
                --end;
            --end;
        }
        const std::size_t open = k == 0 ? 0 : 1, close = k + 1 < parts ? 1 : 0;
        const std::size_t size = open + (end - begin) + close;
        if (scratch.capacity < size + simdjson::SIMDJSON_PADDING) {
            scratch.capacity = size + simdjson::SIMDJSON_PADDING;
            scratch.buffer.reset(new char[scratch.capacity]);
        }
        char *out = scratch.buffer.get();
        if (open)
            *out++ = '[';
        std::memcpy(out, text.data() + begin, end - begin);
        if (close)
            out[end - begin] = ']';
        std::memset(scratch.buffer.get() + size, ' ', simdjson::SIMDJSON_PADDING);
        return read_whole(scratch.parser, simdjson::padded_string_view(scratch.buffer.get(), size, scratch.capacity),
                          into, before);
    });
}

}  // namespace json_detail

inline void read_json(std::string_view text, Reading &reading) {
    if (text.starts_with("\xef\xbb\xbf"))
        text.remove_prefix(3);
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (reading.threads() > 1 && text.size() >= parts_from && start != std::string_view::npos && text[start] == '[') {
        const std::vector<std::size_t> cuts = json_detail::cuts_of(text, text.size() / part_bytes + reading.threads());
        if (!cuts.empty() && json_detail::read_parts(text, cuts, reading))
            return;
    }
    // simdjson reads a padded copy: its vector loads may run past the text's end.
    json_detail::od::parser parser;
    json_detail::read_whole(parser, simdjson::padded_string(text.data(), text.size()), reading);
}

}  // namespace astrokite::omm
