// From the fields of one OMM message to an element-set record: the keys a
// record holds, a message's keys and values as a scanner found them, and the
// rules that turn them into a record or a reason. The reading that collects
// what a document gives is omm_reading.hpp.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/catalogue/omm_text.hpp"
#include "astrokite/elements/record.hpp"

namespace astrokite::omm {

// A document no message can be read from (not JSON, a DTD, ...).
struct DocumentError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The keys a record holds, with OBJECT_NAME (kept per satellite).
enum Key : int {
    OBJECT_NAME, OBJECT_ID, EPOCH, MEAN_MOTION, ECCENTRICITY, INCLINATION, RA_OF_ASC_NODE, ARG_OF_PERICENTER,
    MEAN_ANOMALY, EPHEMERIS_TYPE, CLASSIFICATION_TYPE, NORAD_CAT_ID, ELEMENT_SET_NO, REV_AT_EPOCH, BSTAR,
    MEAN_MOTION_DOT, MEAN_MOTION_DDOT, key_count, not_held = -1
};

inline constexpr std::array<std::string_view, key_count> key_names = {
    "OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
    "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
    "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT"};

// The key `name` stands for: one candidate by its length and first letters,
// then one comparison.
inline Key key_of(std::string_view name) {
    Key candidate;
    switch (name.size()) {
    case 5: candidate = name[0] == 'E' ? EPOCH : BSTAR; break;
    case 9: candidate = OBJECT_ID; break;
    case 11: candidate = name[0] == 'O' ? OBJECT_NAME : name[0] == 'M' ? MEAN_MOTION : INCLINATION; break;
    case 12:
        candidate = name[0] == 'E' ? ECCENTRICITY : name[0] == 'M' ? MEAN_ANOMALY : name[0] == 'N' ? NORAD_CAT_ID
                                                                                                   : REV_AT_EPOCH;
        break;
    case 14: candidate = name[0] == 'R' ? RA_OF_ASC_NODE : name[1] == 'P' ? EPHEMERIS_TYPE : ELEMENT_SET_NO; break;
    case 15: candidate = MEAN_MOTION_DOT; break;
    case 16: candidate = MEAN_MOTION_DDOT; break;
    case 17: candidate = ARG_OF_PERICENTER; break;
    case 19: candidate = CLASSIFICATION_TYPE; break;
    default: return not_held;
    }
    const std::string_view known = key_names[candidate];
    if (known.size() != name.size())
        return not_held;
    // A few words that overlap cover a key of 5 to 24 bytes: cheaper than a
    // call to memcmp or a byte at a time.
    auto word = [](const char *at) {
        std::uint64_t value;
        std::memcpy(&value, at, 8);
        return value;
    };
    auto half = [](const char *at) {
        std::uint32_t value;
        std::memcpy(&value, at, 4);
        return value;
    };
    const char *a = name.data(), *b = known.data();
    const std::size_t n = name.size();
    const bool same = n < 8 ? half(a) == half(b) && half(a + n - 4) == half(b + n - 4)
                            : word(a) == word(b) && word(a + n - 8) == word(b + n - 8) &&
                                  (n <= 16 || word(a + 8) == word(b + 8));
    return same ? candidate : not_held;
}

// A message's comments gather under this key, one line each.
inline constexpr std::string_view comment_key = "COMMENT";

// One message's keys and values as its scanner found them. Values are views
// into the document, or into `owned` where the scanner had to decode them
// (escapes, entities); both outlive the message.
struct Message {
    std::array<std::string_view, key_count> values{};
    std::array<bool, key_count> given{};
    std::vector<std::pair<std::string_view, std::string_view>> extras;

    void clear() {
        given.fill(false);
        extras.clear();
        comments.clear();
        owned.clear();
    }
    bool empty() const {
        for (bool g : given)
            if (g)
                return false;
        return extras.empty();
    }
    bool has(std::string_view name) const {
        const Key key = key_of(name);
        if (key != not_held)
            return given[key];
        for (const auto &[k, v] : extras)
            if (k == name)
                return true;
        return false;
    }
    void set(Key key, std::string_view value) {
        values[key] = value;
        given[key] = true;
    }
    // A value given again replaces the first; comments add up.
    void set(std::string_view name, std::string_view value) { set(key_of(name), name, value); }
    // ... where `key` is key_of(name), found already.
    void set(Key key, std::string_view name, std::string_view value) {
        if (key != not_held)
            set(key, value);
        else
            set_other(name, value);
    }
    // A key given as null: not given at all.
    void unset(std::string_view name) { unset(key_of(name), name); }
    void unset(Key key, std::string_view name) {
        if (key != not_held) {
            given[key] = false;
            return;
        }
        for (std::size_t i = 0; i < extras.size(); ++i)
            if (extras[i].first == name) {
                extras.erase(extras.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
    }
    // A decoded text kept as long as the message.
    std::string_view own(std::string &&text) { return owned.emplace_back(std::move(text)); }
    // The comments' view, which set() may have left pointing at an older buffer.
    void seal_comments() {
        if (comments.empty())
            return;
        for (auto &[k, v] : extras)
            if (k == comment_key)
                v = comments;
    }

private:
    void set_other(std::string_view name, std::string_view value) {
        if (name == comment_key) {
            comments += comments.empty() ? "" : "\n";
            comments.append(value);
            value = comments;  // refreshed below once all are in
        }
        for (auto &[k, v] : extras)
            if (k == name) {
                v = value;
                return;
            }
        extras.emplace_back(name, value);
    }

    std::string comments;
    std::deque<std::string> owned;
};

// Python's names of the value kinds a message may wrongly be.
inline std::string kind_reason(std::string_view kind) {
    return "a message is an object of keys, not " + std::string(kind);
}

// ---------------------------------------------------------------------------- fields to a record

// The value of `key`, or the empty view when not given (or blank).
inline std::string_view given_value(const Message &m, Key key) {
    return m.given[key] ? stripped(m.values[key]) : std::string_view();
}

// A number of the message; `fallback` when not given and it has one, else a
// reason. The reasons quote the value as written.
inline bool number_of(const Message &m, Key key, const double *fallback, double &value, std::string &reason) {
    const std::string_view text = given_value(m, key);
    const std::string_view name = key_names[key];
    if (text.empty()) {
        if (!fallback) {
            reason = std::string(name) + " is missing";
            return false;
        }
        value = *fallback;
        return true;
    }
    switch (read_number(text, value)) {
    case Number::ok:
        return true;
    case Number::not_number:
        reason = std::string(name) + " is not a number: " + quoted(text);
        return false;
    case Number::not_finite:
        reason = std::string(name) + " is not a finite number: " + quoted(text);
        return false;
    }
    return false;
}

// A count of the message in [0, high]; 0 when not given.
inline bool count_of(const Message &m, Key key, std::int64_t high, std::int64_t &value, std::string &reason) {
    const std::string_view text = given_value(m, key);
    const std::string name = text.empty() ? std::string() : std::string(key_names[key]);
    value = 0;
    if (text.empty())
        return true;
    switch (read_integer(text, value)) {
    case Integer::ok:
        break;
    case Integer::not_number:
        reason = name + " is not a number: " + quoted(text);
        return false;
    case Integer::not_finite:
        reason = name + " is not a finite number: " + quoted(text);
        return false;
    case Integer::not_integer:
        reason = name + " is not an integer: " + quoted(text);
        return false;
    case Integer::too_large:
        value = high + 1;
        break;
    }
    if (value < 0) {
        reason = name + " " + std::to_string(value) + " is negative";
        return false;
    }
    if (value > high) {
        reason = name + " " + quoted(text) + " is above " + std::to_string(high);
        if (key == NORAD_CAT_ID)
            reason += ", the largest catalogue number";
        return false;
    }
    return true;
}

inline bool epoch_of(const Message &m, elements::Record &r, std::string &reason) {
    const std::string_view text = given_value(m, EPOCH);
    Epoch epoch;
    int year = 0;
    const char *fault = nullptr;
    switch (read_epoch(text, epoch, year)) {
    case EpochFault::none:
        r.epoch_midnight_ns = epoch.midnight_ns;
        r.epoch_ps = epoch.ps;
        r.epoch_fraction = epoch.fraction;
        r.epoch_decimals = static_cast<std::int8_t>(epoch.decimals);
        return true;
    case EpochFault::not_iso:
        reason = "EPOCH is not an ISO 8601 time: " + quoted(text);
        return false;
    case EpochFault::year_range:
        reason = "EPOCH year " + std::to_string(year) + " is outside " + std::to_string(first_epoch_year) + " to " +
                 std::to_string(last_epoch_year) + ", which a Time holds";
        return false;
    case EpochFault::day_of_year:
        reason = "EPOCH day of year is outside its year: " + quoted(text);
        return false;
    case EpochFault::month: fault = "month must be in 1..12"; break;
    case EpochFault::day: fault = "day is out of range for month"; break;
    case EpochFault::hour: fault = "hour must be in 0..23"; break;
    case EpochFault::minute: fault = "minute must be in 0..59"; break;
    case EpochFault::second: fault = "second must be in 0..59"; break;
    }
    reason = "EPOCH is not a valid time: " + quoted(text) + " (" + fault + ")";
    return false;
}

// Whether `text` holds a control character (C0, DEL, or C1 in UTF-8).
inline bool has_control(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f)
            return true;
        if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0 &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80)
            return true;
    }
    return false;
}

// The record of one message; false with the reason when it cannot be made.
inline bool record_of(const Message &m, elements::Record &r, std::string &reason) {
    for (const Key key : {EPOCH, MEAN_MOTION, ECCENTRICITY, INCLINATION, RA_OF_ASC_NODE, ARG_OF_PERICENTER,
                          MEAN_ANOMALY, NORAD_CAT_ID})
        if (given_value(m, key).empty()) {
            reason = std::string(key_names[key]) + " is missing";
            return false;
        }
    std::memset(&r, 0, sizeof r);
    std::int64_t satno, ephtype, elnum, revnum;
    if (!count_of(m, NORAD_CAT_ID, elements::max_satno, satno, reason))
        return false;
    const std::string_view classification = given_value(m, CLASSIFICATION_TYPE);
    r.classification = classification.empty() ? 'U' : classification.front();
    if (r.classification < ' ' || r.classification > '~') {
        reason = "CLASSIFICATION_TYPE is not a letter: " + quoted(classification.substr(0, 4));
        return false;
    }
    if (!count_of(m, EPHEMERIS_TYPE, INT8_MAX, ephtype, reason) ||
        !count_of(m, ELEMENT_SET_NO, INT32_MAX, elnum, reason) || !count_of(m, REV_AT_EPOCH, INT32_MAX, revnum, reason))
        return false;
    double ecc, inc, raa, arp, mea, mnm, ndot, nddot, bstar;
    constexpr double zero = 0.0;
    if (!number_of(m, ECCENTRICITY, nullptr, ecc, reason))
        return false;
    if (!(ecc >= 0.0 && ecc < 1.0)) {
        reason = "ECCENTRICITY " + quoted(given_value(m, ECCENTRICITY)) + " lies outside [0, 1)";
        return false;
    }
    const std::string_view object_id = given_value(m, OBJECT_ID);
    if (object_id.size() > sizeof r.intldes - 1) {
        reason = "OBJECT_ID " + quoted(object_id) + " is longer than 12 characters";
        return false;
    }
    if (std::any_of(object_id.begin(), object_id.end(), [](char c) { return c < ' ' || c > '~'; })) {
        reason = "OBJECT_ID is not printable ASCII: " + quoted(object_id);
        return false;
    }
    if (!epoch_of(m, r, reason) || !number_of(m, MEAN_MOTION_DOT, &zero, ndot, reason) ||
        !number_of(m, MEAN_MOTION_DDOT, &zero, nddot, reason) || !number_of(m, BSTAR, &zero, bstar, reason) ||
        !number_of(m, INCLINATION, nullptr, inc, reason) || !number_of(m, RA_OF_ASC_NODE, nullptr, raa, reason) ||
        !number_of(m, ARG_OF_PERICENTER, nullptr, arp, reason) || !number_of(m, MEAN_ANOMALY, nullptr, mea, reason) ||
        !number_of(m, MEAN_MOTION, nullptr, mnm, reason))
        return false;
    const std::string_view name = given_value(m, OBJECT_NAME);
    if (has_control(name)) {
        reason = "OBJECT_NAME holds control characters: " + quoted(name);
        return false;
    }
    r.ecc = ecc;
    r.inc = elements::angle_of_degrees(inc);
    r.raa = elements::angle_of_degrees(raa);
    r.arp = elements::angle_of_degrees(arp);
    r.mea = elements::angle_of_degrees(mea);
    r.mnm = elements::mean_motion_of_rev_per_day(mnm);
    r.bstar = bstar;
    r.ndot = elements::ndot_of_field(ndot);
    r.nddot = elements::nddot_of_field(nddot);
    r.satno = static_cast<std::int32_t>(satno);
    r.elnum = static_cast<std::int32_t>(elnum);
    r.revnum = static_cast<std::int32_t>(revnum);
    r.ephtype = static_cast<std::int8_t>(ephtype);
    r.extras_row = -1;
    if (!object_id.empty())
        std::memcpy(r.intldes, object_id.data(), object_id.size());
    return true;
}

}  // namespace astrokite::omm
