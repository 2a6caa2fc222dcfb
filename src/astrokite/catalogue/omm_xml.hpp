// OMM in XML (CCSDS NDM/OMM): every <omm> element is a message (the root
// itself when it is one), its fields the elements below it that hold no
// other element, by local name (a namespace prefix is dropped). The omm
// element's version attribute is kept as CCSDS_OMM_VERS, a USER_DEFINED
// element as USER_DEFINED_<its parameter>.
//
// A scanner of its own, in one pass: UTF-8 text, elements, attributes,
// comments, processing instructions, CDATA, character references and the five
// predefined entities. A document type declaration is refused outright, so no
// entity is ever defined or expanded and nothing outside the document is ever
// read; any other entity is an error. Nesting deeper than xml_depth_limit is
// refused. Memory: the views of one message's values, nothing per element.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "astrokite/catalogue/omm_reading.hpp"

namespace astrokite::omm {

inline constexpr std::size_t xml_depth_limit = 256;

inline constexpr const char *doctype_refused =
    "the XML document carries a document type declaration, which is refused (entities are never expanded)";

class XmlScanner {
public:
    XmlScanner(std::string_view text, Reading &reading) : text_(text), reading_(reading) {}

    void run() {
        std::size_t i = text_.starts_with("\xef\xbb\xbf") ? 3 : 0;
        while (i < text_.size()) {
            const void *found = std::memchr(text_.data() + i, '<', text_.size() - i);
            const std::size_t open = found ? static_cast<const char *>(found) - text_.data() : text_.size();
            if (open > i)
                characters(i, text_.substr(i, open - i));
            if (open == text_.size())
                break;
            i = markup(open);
        }
        if (!stack_.empty())
            fail(text_.size(), "the document ends inside <" + std::string(stack_.back().name) + ">");
        if (!root_seen_)
            fail(text_.size(), "the document holds no element");
        if (!messages_)
            throw DocumentError("the XML document holds no OMM message (its root is <" + std::string(root_) + ">)");
        reading_.flush();
    }

private:
    struct Open {
        std::string_view name;  // as written, with any prefix
        std::string_view key;   // the field's name
        bool has_child = false;
    };

    [[noreturn]] void fail(std::size_t at, const std::string &what) const {
        const std::size_t line = 1 + static_cast<std::size_t>(std::count(text_.begin(), text_.begin() + at, '\n'));
        throw DocumentError("not XML: " + what + ", line " + std::to_string(line));
    }

    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    // The bytes that end a name, as a table: names are scanned a byte at a time.
    static constexpr std::array<bool, 256> name_ends = [] {
        std::array<bool, 256> table{};
        for (const char c : {' ', '\t', '\n', '\r', '/', '>', '='})
            table[static_cast<unsigned char>(c)] = true;
        return table;
    }();
    static bool ends_name(char c) { return name_ends[static_cast<unsigned char>(c)]; }

    static std::string_view local(std::string_view name) {
        const std::size_t colon = name.rfind(':');
        return colon == std::string_view::npos ? name : name.substr(colon + 1);
    }

    std::size_t find(std::size_t from, std::string_view what, const char *unterminated) const {
        const std::size_t at = text_.find(what, from);
        if (at == std::string_view::npos)
            fail(from, unterminated);
        return at;
    }

    // Text between markup: kept for the element that holds it when that may
    // be a field, else only checked to be blank outside the root.
    void characters(std::size_t at, std::string_view piece) {
        if (stack_.empty()) {
            if (!stripped(piece).empty())
                fail(at, "text outside the root element");
            return;
        }
        if (in_message_ && !stack_.back().has_child)
            add_text(at, piece, true);
    }

    void add_text(std::size_t at, std::string_view piece, bool decode) {
        if (decode && piece.find('&') != std::string_view::npos) {
            if (!text_is_owned_) {
                text_buffer_.assign(text_view_);
                text_is_owned_ = true;
            }
            decode_references(at, piece, text_buffer_);
            return;
        }
        if (text_is_owned_) {
            text_buffer_.append(piece);
        } else if (text_view_.empty()) {
            text_view_ = piece;
        } else {
            text_buffer_.assign(text_view_);
            text_buffer_.append(piece);
            text_is_owned_ = true;
        }
    }

    void reset_text() {
        text_view_ = {};
        text_buffer_.clear();
        text_is_owned_ = false;
    }

    // Character references and the predefined entities of `piece`, appended
    // decoded to `out`.
    void decode_references(std::size_t at, std::string_view piece, std::string &out) const {
        for (std::size_t i = 0; i < piece.size();) {
            if (piece[i] != '&') {
                out += piece[i++];
                continue;
            }
            const std::size_t semicolon = piece.find(';', i);
            if (semicolon == std::string_view::npos)
                fail(at + i, "an '&' that begins no reference");
            const std::string_view name = piece.substr(i + 1, semicolon - i - 1);
            i = semicolon + 1;
            if (name == "lt") out += '<';
            else if (name == "gt") out += '>';
            else if (name == "amp") out += '&';
            else if (name == "quot") out += '"';
            else if (name == "apos") out += '\'';
            else if (name.starts_with('#'))
                append_utf8(at, name, out);
            else
                fail(at + i, "entity '" + std::string(name.substr(0, quoted_limit)) + "' not defined");
        }
    }

    void append_utf8(std::size_t at, std::string_view reference, std::string &out) const {
        const bool hex = reference.size() > 1 && reference[1] == 'x';
        const std::string_view digits = reference.substr(hex ? 2 : 1);
        std::uint32_t code = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || code == 0 ||
            code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            fail(at, "an invalid character reference");
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // The markup at `at` ('<'); gives the position after it.
    std::size_t markup(std::size_t at) {
        const char second = at + 1 < text_.size() ? text_[at + 1] : '\0';
        if (second != '?' && second != '!')  // elements, the common case
            return second == '/' ? end_tag(at + 2) : start_tag(at + 1);
        const std::string_view rest = text_.substr(at);
        if (rest.starts_with("<?"))
            return find(at + 2, "?>", "an unterminated processing instruction") + 2;
        if (rest.starts_with("<!--"))
            return find(at + 4, "-->", "an unterminated comment") + 3;
        if (rest.starts_with("<![CDATA[")) {
            const std::size_t end = find(at + 9, "]]>", "an unterminated CDATA section");
            if (stack_.empty())
                fail(at, "CDATA outside the root element");
            if (in_message_ && !stack_.back().has_child)
                add_text(at, text_.substr(at + 9, end - at - 9), false);
            return end + 3;
        }
        if (rest.starts_with("<!DOCTYPE"))
            throw DocumentError(doctype_refused);
        fail(at, "a declaration that is not allowed here");
    }

    std::size_t name_end(std::size_t i) const {
        while (i < text_.size() && !ends_name(text_[i]))
            ++i;
        return i;
    }

    std::size_t skip_space(std::size_t i) const {
        while (i < text_.size() && is_space(text_[i]))
            ++i;
        return i;
    }

    std::size_t start_tag(std::size_t i) {
        const std::size_t start = i;
        i = name_end(i);
        const std::string_view name = text_.substr(start, i - start);
        if (name.empty() || name.front() == '<')
            fail(start, "a '<' that begins no element");
        if (stack_.empty() && root_seen_)
            fail(start, "extra content at the end of the document");
        if (stack_.size() >= xml_depth_limit)
            fail(start, "elements nested deeper than " + std::to_string(xml_depth_limit));
        Open open{name, local(name)};
        const bool starts_message = !in_message_ && open.key == "omm";
        std::string_view version, parameter;
        bool self_closing = false;
        for (;;) {
            i = skip_space(i);
            if (i >= text_.size())
                fail(i, "an unterminated start tag <" + std::string(name.substr(0, quoted_limit)) + ">");
            if (text_[i] == '>') {
                ++i;
                break;
            }
            if (text_[i] == '/') {
                if (i + 1 >= text_.size() || text_[i + 1] != '>')
                    fail(i, "a '/' inside a start tag");
                self_closing = true;
                i += 2;
                break;
            }
            const std::size_t attribute_start = i;
            i = name_end(i);
            const std::string_view attribute = text_.substr(attribute_start, i - attribute_start);
            i = skip_space(i);
            if (attribute.empty() || i >= text_.size() || text_[i] != '=')
                fail(i, "an attribute without a value");
            i = skip_space(i + 1);
            if (i >= text_.size() || (text_[i] != '"' && text_[i] != '\''))
                fail(i, "an attribute value without quotes");
            const std::size_t close = text_.find(text_[i], i + 1);
            if (close == std::string_view::npos)
                fail(i, "an unterminated attribute value");
            const std::string_view value = text_.substr(i + 1, close - i - 1);
            if (value.find('<') != std::string_view::npos)
                fail(i, "a '<' in an attribute value");
            if (starts_message && local(attribute) == "version")
                version = value;
            else if (open.key == "USER_DEFINED" && local(attribute) == "parameter")
                parameter = value;
            i = close + 1;
        }
        if (stack_.empty()) {
            root_seen_ = true;
            root_ = open.key;
        } else {
            stack_.back().has_child = true;
        }
        if (starts_message) {
            in_message_ = true;
            message_depth_ = stack_.size();
            message_start_ = start - 1;
            message_ = &reading_.start();
            ++messages_;
            if (!version.empty())
                message_->set("CCSDS_OMM_VERS", decoded(start, version));
        }
        if (in_message_ && !parameter.empty())
            open.key = message_->own("USER_DEFINED_" + std::string(decoded(start, parameter)));
        stack_.push_back(open);
        reset_text();
        if (self_closing)
            close_element(i);
        return i;
    }

    std::string_view decoded(std::size_t at, std::string_view value) {
        if (value.find('&') == std::string_view::npos)
            return value;
        std::string out;
        decode_references(at, value, out);
        return message_->own(std::move(out));
    }

    std::size_t end_tag(std::size_t i) {
        const std::size_t start = i;
        i = name_end(i);
        const std::string_view name = text_.substr(start, i - start);
        i = skip_space(i);
        if (i >= text_.size() || text_[i] != '>')
            fail(start, "an unterminated end tag");
        if (stack_.empty() || stack_.back().name != name)
            fail(start, "the end tag </" + std::string(name.substr(0, quoted_limit)) + "> matches no open element");
        close_element(i + 1);
        return i + 1;
    }

    // The element on top of the stack ends just before `end`.
    void close_element(std::size_t end) {
        const Open open = stack_.back();
        stack_.pop_back();
        if (!in_message_)
            return;
        if (stack_.size() == message_depth_) {
            in_message_ = false;
            reading_.take(static_cast<std::int64_t>(messages_), text_.substr(message_start_, end - message_start_));
            return;
        }
        if (!open.has_child) {
            message_->set(open.key, text_is_owned_ ? message_->own(std::string(text_buffer_)) : text_view_);
        }
        reset_text();
    }

    std::string_view text_;
    Reading &reading_;
    std::vector<Open> stack_;
    bool root_seen_ = false;
    std::string_view root_;
    std::size_t messages_ = 0;
    bool in_message_ = false;
    std::size_t message_depth_ = 0, message_start_ = 0;
    Message *message_ = nullptr;
    std::string_view text_view_;
    std::string text_buffer_;
    bool text_is_owned_ = false;
};

inline void read_xml(std::string_view text, Reading &reading) { XmlScanner(text, reading).run(); }

}  // namespace astrokite::omm
