// The first stage of reading two-line element sets (see tle_scanner.hpp):
// one walk over the bytes, fed in chunks of any size, that cuts lines, tells
// line 1, line 2 and name lines apart and pairs each line 1 with the line 2
// that follows it. Each pair goes on, as views of the chunk, to the second
// stage (tle_checks.hpp); lines left without a partner are rejected here. No
// line is kept beyond `max_line` bytes.
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/catalogue/tle_record_store.hpp"

namespace astrokite::catalogue {

inline constexpr std::size_t max_line = 4096;     // longest line kept, in bytes
inline constexpr std::size_t quoted_limit = 160;  // bytes of a line kept in a rejection

// A line or record that was not read, with the reason.
struct Rejection {
    std::uint32_t source = 0;
    std::uint64_t line = 0;  // 1-based line number in its source
    std::string text;        // the lines concerned, joined by "\n", each cut to quoted_limit bytes
    std::string reason;
    // A run of single lines rejected one after the other for the same reason
    // (pages of garbage) is kept as one rejection: the text of its first line
    // and the number of its last. 0 for a rejection of several lines together.
    std::uint64_t last_single = 0;
};

// A name line (optional), line 1 and line 2 paired by the first stage, views
// of the chunk; the second stage writes its record and the rest.
struct Pending {
    std::string_view name, line1, line2;
    std::uint32_t source = 0;
    std::uint64_t line = 0;    // number of its first line: the name line, else line 1
    bool named = false;        // has a name line with a name
    Record *record = nullptr;  // where the second stage writes it
    bool keep = false;
    std::string fault;  // empty when the set is read
};

namespace detail {

enum class Kind { blank, line1, line2, name };

inline std::string_view trim_right(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return text.substr(0, end);
}

inline constexpr std::string_view byte_order_mark = "\xef\xbb\xbf";

// A byte a blank line may hold: its newline, or what trim_right takes off.
inline bool is_blank_byte(char c) { return c == '\n' || c == ' ' || c == '\t' || c == '\r'; }

inline Kind kind_of(std::string_view line) {
    if (line.empty())
        return Kind::blank;
    if (line.size() >= 2 && line[1] == ' ') {
        if (line[0] == '1')
            return Kind::line1;
        if (line[0] == '2')
            return Kind::line2;
    }
    return Kind::name;
}

// The name a name line gives: without a leading "0 " and without blanks around it.
inline std::string_view name_of(std::string_view line) {
    if (line.size() >= 2 && line[0] == '0' && line[1] == ' ')
        line.remove_prefix(2);
    const std::size_t first = line.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view() : line.substr(first);
}

// The text is well-formed UTF-8 with no control character.
inline bool is_clean_utf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                return false;
            ++p;
            continue;
        }
        std::size_t extra;
        std::uint32_t code;
        if (c >= 0xc2 && c <= 0xdf)
            extra = 1, code = c & 0x1f;
        else if (c >= 0xe0 && c <= 0xef)
            extra = 2, code = c & 0x0f;
        else if (c >= 0xf0 && c <= 0xf4)
            extra = 3, code = c & 0x07;
        else
            return false;
        if (static_cast<std::size_t>(end - p) <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[k] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (p[k] & 0x3f);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10ffff)) ||
            (code >= 0xd800 && code <= 0xdfff))
            return false;
        p += extra + 1;
    }
    return true;
}

inline std::string cut(std::string_view text) {
    return std::string(text.substr(0, quoted_limit)) + (text.size() > quoted_limit ? "..." : "");
}

}  // namespace detail

// The pairs found go to a sink: `sink.next_pending()` gives room for the next
// one, and `sink.chunk_paired()` is called once a chunk's pairs are all
// found, while the chunk they are views of is still there.
class LinePairing {
public:
    // Start reading source number `source`; the line count starts again.
    void begin(std::uint32_t source) {
        source_ = source;
        line_number_ = 0;
        carry_.clear();
        overlong_ = false;
    }

    // Read the next bytes of the current source. A line cut by the end of the
    // chunk waits for the next one.
    template <typename Sink>
    void feed(const char *data, std::size_t size, Sink &&sink) {
        std::size_t position = 0;
        std::string joined;  // a line begun in an earlier chunk, completed here
        if (!carry_.empty() || overlong_) {
            const void *newline = std::memchr(data, '\n', size);
            if (!newline) {
                keep_partial(std::string_view(data, size));
                return;
            }
            position = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
            keep_partial(std::string_view(data, position));
            joined.swap(carry_);
            const bool overlong = overlong_;
            overlong_ = false;
            finish_line(joined, overlong, sink);
            ++position;
        }
        while (position < size) {
            if (detail::is_blank_byte(data[position])) {
                position = skip_blank_lines(data, position, size);
                if (position == size)
                    break;
            }
            const void *newline = std::memchr(data + position, '\n', size - position);
            if (!newline)
                break;
            const std::size_t end = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
            const std::string_view line(data + position, end - position);
            finish_line(line.size() > max_line ? line.substr(0, max_line) : line, line.size() > max_line, sink);
            position = end + 1;
        }
        sink.chunk_paired();
        keep_held_lines();
        keep_partial(std::string_view(data + position, size - position));
    }

    // The end of the current source: a last line without a newline is read,
    // and lines still waiting for their partner are rejected.
    template <typename Sink>
    void end(Sink &&sink) {
        std::string last;
        last.swap(carry_);
        if (!last.empty() || overlong_) {
            const bool overlong = overlong_;
            overlong_ = false;
            finish_line(last, overlong, sink);
        }
        if (has_line1_)
            reject_held("the text ends after line 1, before its line 2");
        else if (has_name_)
            reject({name_}, "the text ends after a name line, before its element set");
        has_line1_ = has_name_ = false;
        sink.chunk_paired();
    }

    std::vector<Rejection> &rejections() { return rejections_; }

private:
    // A line waiting for its partner: a view of its text and its number.
    struct HeldLine {
        std::string_view text;
        std::uint64_t number = 0;
    };

    // Blank lines (empty, or blanks and carriage returns only) say nothing and
    // hold nothing: a run of them from `position` is counted and passed over
    // at once, up to the newline ending its last line. Gives where the next
    // line starts. Pages of empty lines go eight at a time.
    std::size_t skip_blank_lines(const char *data, std::size_t position, std::size_t size) {
        constexpr std::uint64_t newlines = 0x0a0a0a0a0a0a0a0aULL;
        std::size_t at = position, after_last = position, count = 0;
        while (at < size) {
            std::uint64_t word;
            if (size - at >= sizeof word && (std::memcpy(&word, data + at, sizeof word), word == newlines)) {
                at += sizeof word;
                count += sizeof word;
                after_last = at;
            } else if (data[at] == '\n') {
                ++at;
                ++count;
                after_last = at;
            } else if (detail::is_blank_byte(data[at]) && at - after_last < max_line) {
                ++at;  // a longer line is the normal path's to reject
            } else {
                break;
            }
        }
        line_number_ += count;
        return after_last;
    }

    // The first stage for one line: `raw` without its newline, at most
    // max_line bytes; `overlong` when the line went on beyond them.
    template <typename Sink>
    void finish_line(std::string_view raw, bool overlong, Sink &sink) {
        ++line_number_;
        // A byte-order mark some editors put at the start of UTF-8 text is not part of the line.
        if (line_number_ == 1 && raw.starts_with(detail::byte_order_mark))
            raw.remove_prefix(detail::byte_order_mark.size());
        const std::string_view line = detail::trim_right(raw);
        if (overlong) {
            interrupt("an overlong line");
            reject({{line, line_number_}}, "the line is longer than " + std::to_string(max_line) + " bytes");
            return;
        }
        switch (detail::kind_of(line)) {
        case detail::Kind::blank:
            return;
        case detail::Kind::name:
            if (!detail::is_clean_utf8(line)) {
                interrupt("a line that is not text");
                reject({{line, line_number_}},
                       "the line is neither an element set line nor a name: it holds control characters "
                       "or bytes that are not UTF-8");
                return;
            }
            interrupt("a name line");
            name_ = {detail::name_of(line), line_number_};
            has_name_ = true;
            return;
        case detail::Kind::line1:
            if (has_line1_)
                reject_held("line 1 is followed by another line 1, not by its line 2");
            line1_ = {line, line_number_};
            has_line1_ = true;
            return;
        case detail::Kind::line2:
            if (!has_line1_) {
                if (has_name_)
                    reject({name_, {line, line_number_}}, "line 2 without its line 1");
                else
                    reject({{line, line_number_}}, "line 2 without its line 1");
                has_name_ = false;
                return;
            }
            Pending &pending = sink.next_pending();
            pending.name = has_name_ ? name_.text : std::string_view();
            pending.line1 = line1_.text;
            pending.line2 = line;
            pending.source = source_;
            pending.line = has_name_ ? name_.number : line1_.number;
            pending.named = has_name_ && !name_.text.empty();  // the name is taken by the second stage
            has_line1_ = has_name_ = false;
            return;
        }
    }

    void keep_partial(std::string_view piece) {
        if (overlong_)
            return;
        const std::size_t room = max_line - std::min(max_line, carry_.size());
        carry_.append(piece.substr(0, room));
        if (piece.size() > room)
            overlong_ = true;
    }

    // The held name and line 1 outlive the chunk they are views of: copy them.
    void keep_held_lines() {
        if (has_name_ && name_.text.data() != name_store_.data()) {
            name_store_.assign(name_.text);
            name_.text = name_store_;
        }
        if (has_line1_ && line1_.text.data() != line1_store_.data()) {
            line1_store_.assign(line1_.text);
            line1_.text = line1_store_;
        }
    }

    void reject(std::initializer_list<HeldLine> lines, std::string reason) {
        const std::uint64_t number = lines.begin()->number;
        if (lines.size() == 1 && !rejections_.empty()) {
            Rejection &last = rejections_.back();
            if (last.last_single && last.source == source_ && last.last_single + 1 == number &&
                last.reason == reason) {
                last.last_single = number;
                return;
            }
        }
        Rejection rejection{source_, number, {}, std::move(reason), lines.size() == 1 ? number : 0};
        for (const HeldLine &line : lines) {
            if (!rejection.text.empty())
                rejection.text += '\n';
            rejection.text += detail::cut(line.text);
        }
        rejections_.push_back(std::move(rejection));
    }

    // Reject the held line 1 (with its name line, if it has one).
    void reject_held(std::string reason) {
        if (has_name_)
            reject({name_, line1_}, std::move(reason));
        else
            reject({line1_}, std::move(reason));
        has_line1_ = has_name_ = false;
    }

    // Something other than a line 2 came: a held line 1 or name line has lost
    // its partner.
    void interrupt(const char *what) {
        if (has_line1_)
            reject_held(std::string("line 1 is followed by ") + what + ", not by its line 2");
        else if (has_name_)
            reject({name_}, std::string("the name line is followed by ") + what + ", not by an element set");
        has_name_ = false;
    }

    std::uint32_t source_ = 0;
    std::uint64_t line_number_ = 0;
    std::string carry_;      // the start of a line cut by the end of a chunk
    bool overlong_ = false;  // the line being carried passed max_line bytes
    HeldLine name_, line1_;  // views of the chunk, or of the stores below once it is gone
    bool has_name_ = false, has_line1_ = false;
    std::string name_store_, line1_store_;
    std::vector<Rejection> rejections_;
};

}  // namespace astrokite::catalogue
