// OMM in KVN: "KEY = value" lines, a message beginning at its CCSDS_OMM_VERS
// line or at a key its message already holds (so that messages written
// without version lines are never merged). COMMENT lines are kept with their
// message (those before a file's first key with the first message); a unit
// in brackets after a value ("15.5 [rev/day]") is dropped, except from the
// names, where brackets are part of the text.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "astrokite/catalogue/omm_reading.hpp"

namespace astrokite::omm {

// The value without a trailing unit in brackets. One scan back from the end:
// linear in the value's length however many brackets or blanks it holds.
inline std::string_view without_unit(std::string_view value) {
    if (value.empty() || value.back() != ']')
        return value;
    const std::size_t close = value.size() < 2 ? std::string_view::npos : value.rfind(']', value.size() - 2);
    const std::size_t open = value.find('[', close == std::string_view::npos ? 0 : close + 1);
    if (open == std::string_view::npos)
        return value;
    return stripped(value.substr(0, open));
}

// The lines of `text` in turn (a line ends at "\n", "\r\n" or "\r"), each with
// its 1-based number, counted after `before` lines.
class Lines {
public:
    explicit Lines(std::string_view text, std::int64_t before = 0) : text_(text), count_(before) {}
    bool next(std::string_view &line, std::int64_t &number) {
        if (position_ >= text_.size())
            return false;
        const char *start = text_.data() + position_;
        const std::size_t rest = text_.size() - position_;
        const void *newline = std::memchr(start, '\n', rest);
        std::size_t length = newline ? static_cast<const char *>(newline) - start : rest;
        // A lone "\r" ends a line too.
        if (const void *cr = std::memchr(start, '\r', length)) {
            const std::size_t at = static_cast<const char *>(cr) - start;
            if (at + 1 < length || !newline) {
                line = std::string_view(start, at);
                position_ += at + 1 + (at + 1 < rest && start[at + 1] == '\n');
                number = ++count_;
                return true;
            }
        }
        line = std::string_view(start, length);
        position_ += length + 1;
        number = ++count_;
        return true;
    }
    std::size_t position() const { return position_; }
    std::int64_t count() const { return count_; }

private:
    std::string_view text_;
    std::size_t position_ = 0;
    std::int64_t count_;
};

inline constexpr std::string_view version_key = "CCSDS_OMM_VERS";

// The messages of `text`, its lines numbered after `before`; gives the lines it held.
inline std::int64_t read_kvn_lines(std::string_view text, std::int64_t before, Reading &reading) {
    Message *message = &reading.start();
    std::int64_t first = 0;
    const char *start = nullptr, *end = nullptr;  // the message's text
    bool keyed = false;  // the message holds a key besides its comments
    auto close = [&] {
        if (!message->empty()) {
            reading.take(first, std::string_view(start, static_cast<std::size_t>(end - start)));
            message = &reading.start();
        }
        first = 0;
        keyed = false;
    };
    Lines lines(text, before);
    std::string_view line;
    std::int64_t number;
    while (lines.next(line, number)) {
        const std::string_view content = stripped(line);
        if (content.empty())
            continue;
        if (content.starts_with(comment_key)) {
            const std::string_view comment = stripped(content.substr(comment_key.size()));
            if (!first) {
                first = number;
                start = content.data();
            }
            message->set(comment_key, comment);
            end = content.data() + content.size();
            continue;
        }
        const std::size_t equals = content.find('=');
        if (equals == std::string_view::npos) {
            reading.reject(number, content, "not a KEY = value line: " + quoted(content));
            continue;
        }
        const std::string_view key = stripped(content.substr(0, equals));
        // Comments before a message's first key (at the top of a file) are its own.
        if ((key == version_key || message->has(key)) && keyed)
            close();
        if (!first) {
            first = number;
            start = content.data();
        }
        const std::string_view value = stripped(content.substr(equals + 1));
        message->set(key, key == "OBJECT_NAME" || key == "OBJECT_ID" ? value : without_unit(value));
        keyed = true;
        end = content.data() + content.size();
    }
    close();
    reading.flush();
    return lines.count() - before;
}

// Where `text` may be cut near each of `parts` - 1 even places: at a line that
// starts with the version key and its '=', where a message begins whatever
// came before it (comments before the line stay with the message before).
inline std::vector<std::size_t> kvn_cuts(std::string_view text, std::size_t parts) {
    std::vector<std::size_t> cuts{0};
    for (std::size_t k = 1; k < parts; ++k) {
        std::size_t at = std::max(text.size() * k / parts, cuts.back() + 1);
        for (; (at = text.find(version_key, at)) != std::string_view::npos; at += version_key.size()) {
            std::size_t after = at + version_key.size();
            while (after < text.size() && (text[after] == ' ' || text[after] == '\t'))
                ++after;
            if (at > 0 && text[at - 1] == '\n' && after < text.size() && text[after] == '=')
                break;
        }
        if (at == std::string_view::npos)
            break;
        cuts.push_back(at);
    }
    cuts.push_back(text.size());
    return cuts;
}

inline void read_kvn(std::string_view text, Reading &reading) {
    if (text.starts_with("\xef\xbb\xbf"))
        text.remove_prefix(3);
    if (reading.threads() > 1 && text.size() >= parts_from) {
        const std::vector<std::size_t> cuts = kvn_cuts(text, text.size() / part_bytes + reading.threads());
        read_in_parts<NoScratch>(cuts.size() - 1, 0, text.size() / 320, reading,
                                 [&](NoScratch &, std::size_t k, Reading &into, std::int64_t before) {
                                     return read_kvn_lines(text.substr(cuts[k], cuts[k + 1] - cuts[k]), before, into);
                                 });
        return;
    }
    read_kvn_lines(text, 0, reading);
}

}  // namespace astrokite::omm
