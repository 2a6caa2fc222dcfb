// The _omm extension: OMM documents read natively into element-set records
// (omm_read.hpp), seen from Python. Records come out as one NumPy array of the
// record layout, the other fields as coded columns; nothing per record is a
// Python object.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string_view.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/catalogue/omm_read.hpp"
#include "astrokite/common/args.hpp"
#include "astrokite/common/arrays.hpp"

namespace nb = nanobind;

namespace astrokite::omm {
namespace {

nb::handle record_dtype;

nb::str text_of(std::string_view text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!decoded)
        args::throw_pending();
    return nb::steal<nb::str>(decoded);
}

Form form_of(nb::handle form) {
    args::require_exact_type(form, &PyUnicode_Type, "form");
    const std::string_view name = nb::cast<std::string_view>(form);
    if (name == "xml") return Form::xml;
    if (name == "kvn") return Form::kvn;
    if (name == "json") return Form::json;
    if (name == "csv") return Form::csv;
    throw nb::value_error(("form must be one of xml, kvn, json, csv, not '" + std::string(name) + "'").c_str());
}

nb::tuple read(nb::handle data, nb::handle form) {
    const Form chosen = form_of(form);
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_CONTIG_RO) < 0)
        args::throw_pending();
    Reading reading;
    try {
        nb::gil_scoped_release released;
        read_document(std::string_view(static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len)),
                      chosen, reading);
    } catch (const DocumentError &error) {
        PyBuffer_Release(&view);
        throw nb::value_error(error.what());
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);

    // The records handed to NumPy as they are: bytes viewed as the record layout.
    const std::size_t n = reading.records().size();
    auto *kept = new std::vector<elements::Record>(std::move(reading.records()));
    nb::capsule owner(kept, [](void *p) noexcept { delete static_cast<std::vector<elements::Record> *>(p); });
    const std::size_t size = n * sizeof(elements::Record);
    nb::object array = nb::cast(nb::ndarray<nb::numpy, std::uint8_t>(reinterpret_cast<std::uint8_t *>(kept->data()),
                                                                      {size}, owner))
                           .attr("view")(record_dtype);

    nb::dict names;
    for (const auto &[satno, name] : reading.names())
        names[nb::int_(satno)] = text_of(name);

    nb::dict extras;
    auto column = reading.extra_columns().begin();
    for (const std::string &key : reading.extra_keys()) {
        nb::list values;
        for (const std::string &value : column->values)
            values.append(text_of(value));
        extras[text_of(key)] = nb::make_tuple(arrays::to_array(std::move(column->codes)), values);
        ++column;
    }

    nb::list rejected;
    for (const Rejection &rejection : reading.rejections())
        rejected.append(nb::make_tuple(rejection.number, text_of(rejection.text), text_of(rejection.reason)));
    return nb::make_tuple(array, n, names, extras, rejected);
}

}  // namespace
}  // namespace astrokite::omm

NB_MODULE(_omm, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Native reader of CCSDS OMM documents (XML, KVN, JSON, CSV) into element-set records.";
    astrokite::omm::record_dtype = astrokite::args::import_name_for_process("astrokite.elements.records", "RECORD");
    m.attr("MAX_DOCUMENT") = astrokite::omm::max_document;
    m.def("read", &astrokite::omm::read, nb::arg("data"), nb::arg("form"),
          nb::sig("def read(data: bytes | bytearray | memoryview, form: str) -> tuple[numpy.ndarray, int, "
                  "dict[int, str], dict[str, tuple[numpy.ndarray, list[str]]], list[tuple[int, str, str]]]"),
          "Read one OMM document of `form` (\"xml\", \"kvn\", \"json\" or \"csv\"): (records, n, names,\n"
          "extras, rejected). records: n records of astrokite.elements.records.RECORD; names: the last\n"
          "OBJECT_NAME of each catalogue number; extras: the other fields, each as (int32 codes per\n"
          "record, -1 where a record lacks it; the distinct texts); rejected: (line or message number,\n"
          "text, reason) per message no record could be made of. A document that is not of the form,\n"
          "or is larger than MAX_DOCUMENT bytes, raises ValueError.");
}
