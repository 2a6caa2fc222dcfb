// One OMM document of a known form read into records: the size limit, then
// the form's scanner. Plain C++: no Python in here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "astrokite/catalogue/omm_csv.hpp"
#include "astrokite/catalogue/omm_reading.hpp"
#include "astrokite/catalogue/omm_json.hpp"
#include "astrokite/catalogue/omm_kvn.hpp"
#include "astrokite/catalogue/omm_xml.hpp"

namespace astrokite::omm {

enum class Form { xml, kvn, json, csv };

// Bytes of one document read at most. What a reading holds besides the
// document is its records and extras (about 130 to 250 bytes a message, for
// messages of 200 bytes or more) and, for JSON, a padded copy of the parts
// being read (or of the whole document, when it cannot be cut).
inline constexpr std::size_t max_document = std::size_t(1) << 31;

// Reads every message of `text` into `reading`; a document that is not of
// the form, or too large, is a DocumentError.
inline void read_document(std::string_view text, Form form, Reading &reading) {
    if (text.size() > max_document)
        throw DocumentError("the OMM document is larger than " + std::to_string(max_document) + " bytes");
    // A message takes 160 bytes or more in any form, in practice 400 or more
    // except in CSV: the records of a typical document fit here.
    reading.reserve(text.size() / 400);
    switch (form) {
    case Form::xml: read_xml(text, reading); break;
    case Form::kvn: read_kvn(text, reading); break;
    case Form::json: read_json(text, reading); break;
    case Form::csv: read_csv(text, reading); break;
    }
    reading.finish();
}

}  // namespace astrokite::omm
