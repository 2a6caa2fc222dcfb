// Text layout of the console boxes, forms and table cells: measuring,
// padding and line assembly on UTF-8 text. Widths are counted in code points;
// the package's own styling sequences are left out where the box measures its
// body. No Python here.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace astrokite::text {

// The styling sequences the package emits (reset, bold, then the seven colour
// codes), in the order the measurement removes them. A colour added to the
// table of colours needs its sequence here too.
inline constexpr std::array<std::string_view, 9> styling_sequences = {
    "\x1b[0m", "\x1b[1m", "\x1b[36m", "\x1b[91m", "\x1b[92m",
    "\x1b[93m", "\x1b[94m", "\x1b[95m", "\x1b[96m"};

inline constexpr std::string_view reset_sequence = "\x1b[0m";

struct Colour {
    std::string_view name;
    std::string_view sequence;
};

// The colours text can be styled with, in the order the colour table lists them.
inline constexpr std::array<Colour, 7> colours = {{{"blue", "\x1b[94m"},
                                                   {"cyan", "\x1b[96m"},
                                                   {"darkcyan", "\x1b[36m"},
                                                   {"green", "\x1b[92m"},
                                                   {"purple", "\x1b[95m"},
                                                   {"red", "\x1b[91m"},
                                                   {"yellow", "\x1b[93m"}}};

consteval bool every_colour_is_measured_out() {
    for (const Colour &colour : colours)
        if (std::find(styling_sequences.begin(), styling_sequences.end(), colour.sequence) ==
            styling_sequences.end())
            return false;
    return true;
}
static_assert(every_colour_is_measured_out(), "a colour's sequence is missing from styling_sequences");

// The line of a body that stands for a fence; it never widens the box.
inline constexpr std::string_view fence_placeholder = "{fence}";

inline std::size_t code_point_count(std::string_view utf8) {
    // Every code point has exactly one byte that is not a continuation byte.
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// `text` without the styling sequences. Each sequence is removed everywhere
// before the next is looked for, so one that only forms once another has gone
// is removed as well when it comes later in the list.
inline std::string without_styling(std::string_view text) {
    std::string result(text);
    for (std::string_view sequence : styling_sequences) {
        std::size_t at = result.find(sequence);
        if (at == std::string::npos)
            continue;
        std::string kept;
        kept.reserve(result.size());
        std::size_t from = 0;
        for (; at != std::string::npos; at = result.find(sequence, from)) {
            kept.append(result, from, at - from);
            from = at + sequence.size();
        }
        kept.append(result, from);
        result = std::move(kept);
    }
    return result;
}

// Code points of a line of the box template as it prints: a doubled brace
// ("{{" or "}}", scanned from the left as str.format scans) prints as one.
inline std::size_t printed_length(std::string_view line) {
    std::size_t length = code_point_count(line);
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if ((line[i] == '{' || line[i] == '}') && line[i + 1] == line[i]) {
            --length;
            ++i;
        }
    }
    return length;
}

// Whether a line of the box template holds the fence placeholder as
// str.format reads it: "{fence}" outside doubled braces. "{{fence}}" is text
// (an element set line may hold anything) and prints as "{fence}".
inline bool holds_fence(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (i + 1 < line.size() && (line[i] == '{' || line[i] == '}') && line[i + 1] == line[i]) {
            ++i;
        } else if (line[i] == '{') {
            const std::size_t close = line.find('}', i);
            if (close == std::string_view::npos)
                return false;
            if (line.substr(i, close + 1 - i) == fence_placeholder)
                return true;
            i = close;
        }
    }
    return false;
}

// Visible width of a body: its widest line once the styling sequences are
// gone and doubled braces count once, leaving out lines that hold the fence
// placeholder.
inline std::size_t body_width(std::string_view body) {
    const std::string plain = without_styling(body);
    const std::string_view view(plain);
    std::size_t widest = 0, start = 0;
    while (true) {
        const std::size_t end = view.find('\n', start);
        const std::string_view line = view.substr(start, end == std::string_view::npos ? end : end - start);
        if (!holds_fence(line))
            widest = std::max(widest, printed_length(line));
        if (end == std::string_view::npos)
            return widest;
        start = end + 1;
    }
}

enum class Alignment { left, centre, right };

// Alignment named by a lower-case word of an alignment description; the empty
// word means right, as pandas aligns by default.
inline std::optional<Alignment> alignment_from_word(std::string_view word) {
    if (word == "left" || word == "l")
        return Alignment::left;
    if (word == "centre" || word == "center" || word == "c")
        return Alignment::centre;
    if (word == "right" || word == "r" || word.empty())
        return Alignment::right;
    return std::nullopt;
}

// `text` (of `length` code points) padded with spaces to `field` code points;
// centred text gets the odd space on the right. Longer text is never cut.
inline std::string pad(std::string_view text, std::size_t length, std::size_t field, Alignment alignment) {
    const std::size_t room = field > length ? field - length : 0;
    const std::size_t before = alignment == Alignment::right    ? room
                               : alignment == Alignment::centre ? room / 2
                                                                : 0;
    std::string result(before, ' ');
    result.append(text);
    result.append(room - before, ' ');
    return result;
}

// A table cell or heading label in a column `width` wide. Right-aligned
// columns keep two spaces in front, apart from pandas' own column spacing.
inline std::string column_cell(std::string_view text, std::size_t length, std::size_t width,
                               Alignment alignment) {
    std::string padded = pad(text, length, width, alignment);
    return alignment == Alignment::right ? "  " + padded : padded;
}

// The box around a body: wall, header, fence, body, wall, one per line. The
// placeholders are filled afterwards together with those inside the body,
// which is why literal braces in a body are doubled.
inline std::string box_template(std::string_view body) {
    std::string result = "{wall}\n{header}\n{fence}\n";
    result.append(body);
    result.append("\n{wall}\n");
    return result;
}

struct FormField {
    std::string_view name;  // displayed name, styling included
    std::string_view value;
};

// Lines "name:<spaces>value" with every value in one column: the longest name
// is followed by its colon and `min_gap` spaces (none when `min_gap` is
// negative). Styled names all carry the same sequences, so counting those as
// characters shifts every name alike.
inline std::string form_lines(const std::vector<FormField> &fields, long long min_gap) {
    std::vector<std::size_t> lengths;
    lengths.reserve(fields.size());
    long long longest = 0;
    for (const FormField &field : fields) {
        lengths.push_back(code_point_count(field.name));
        longest = std::max(longest, static_cast<long long>(lengths.back()));
    }
    // Saturate rather than overflow; so wide a form fails when it is built.
    const long long gap = min_gap > LLONG_MAX - longest ? LLONG_MAX : longest + min_gap;
    std::string result;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            result.push_back('\n');
        result.append(fields[i].name);
        result.push_back(':');
        const long long spaces = gap - static_cast<long long>(lengths[i]);
        if (spaces > static_cast<long long>(result.max_size() - result.size()))
            throw std::bad_alloc();
        if (spaces > 0)
            result.append(static_cast<std::size_t>(spaces), ' ');
        result.append(fields[i].value);
    }
    return result;
}

}  // namespace astrokite::text
