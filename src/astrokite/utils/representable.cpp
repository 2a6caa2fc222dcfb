// astrokite.utils.representable: the Representable base type, which turns an
// object's header and body into a framed, optionally styled console box, with
// the look read from settings.json beside this module. Also the form and table
// helpers that bodies are built with, and pickling of bare instances.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "astrokite/common/args.hpp"
#include "astrokite/utils/representable.hpp"
#include "astrokite/utils/text_layout.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace args = astrokite::args;
namespace text = astrokite::text;

namespace {

// What the module binds at load. Allocated once and never freed, so nothing is
// released after the interpreter has shut down.
struct Bound {
    nb::object json_loads;
    nb::object data_frame;     // pandas.DataFrame
    nb::object int64_dtype;    // pandas.Int64Dtype
    nb::dict colors;           // Representable._available_colors
    nb::object reconstructor;  // _reconstruct_representable
    std::string settings_file;   // file-system encoding, for open
    nb::object settings_path;    // the same path as str, for error messages
    std::string settings_text;   // the file as last decoded ...
    nb::object settings;         // ... and its document
    bool styling = true;         // colours and bold of the settings applied (set_styling)
};
Bound *bound = nullptr;

// Checksums a pickled Representable may carry: the first seven hex digits of
// the SHA-256, SHA-1 and MD5 digests of the empty text (no stored fields).
constexpr long long pickle_checksum = 0xe3b0c44;
constexpr long long accepted_checksums[] = {0xe3b0c44, 0xda39a3e, 0xd41d8cd};

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        args::throw_pending();
    return result != 0;
}

void require_str(nb::handle value, const char *argument) {
    args::require_exact_type(value, &PyUnicode_Type, argument);
}

// UTF-8 view of a str; lone surrogates are carried through, in which case the
// view points into an encoded copy held by `owner`.
struct Utf8 {
    nb::object owner;
    std::string_view view;
};

Utf8 utf8_of(nb::handle str) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size))
        return {nb::borrow(str), {data, static_cast<std::size_t>(size)}};
    PyErr_Clear();
    nb::object encoded = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    if (!encoded.is_valid())
        args::throw_pending();
    std::string_view view(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return {std::move(encoded), view};
}

nb::str str_from_utf8(std::string_view utf8) {
    PyObject *result = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (!result)
        args::throw_pending();
    return nb::steal<nb::str>(result);
}

std::size_t length_of(nb::handle str) { return static_cast<std::size_t>(PyUnicode_GetLength(str.ptr())); }

// ---------------------------------------------------------------------------
// Options and styling

// The whole settings file; OSError (FileNotFoundError, ...) naming it if it
// cannot be read. Plain open/read/close: every option lookup reads the file,
// and stdio's buffer set-up would cost as much again as the reading.
std::string read_settings_file() {
    std::string content;
    int error = 0;
    const int fd = ::open(bound->settings_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
    } else {
        char buffer[4096];
        while (true) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count > 0)
                content.append(buffer, static_cast<std::size_t>(count));
            else if (count == 0)
                break;
            else if (errno != EINTR) {
                error = errno;
                break;
            }
        }
        ::close(fd);
    }
    if (error) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, bound->settings_path.ptr());
        args::throw_pending();
    }
    return content;
}

// JSON text is UTF-8.
nb::object decode_settings(const std::string &content) {
    PyObject *decoded = PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict");
    if (!decoded)
        args::throw_pending();
    return bound->json_loads(nb::steal(decoded));
}

nb::object item(nb::handle document, nb::handle tag) {
    PyObject *value = PyObject_GetItem(document.ptr(), tag.ptr());
    if (!value)
        args::throw_pending();
    return nb::steal(value);
}

// The value stored under `tag` in settings.json, read anew at every call so
// that an edit shows at the next rendering. A rendering makes a score of
// lookups of one unchanged file, so the document decoded from the same bytes
// last time is used again; a list or object value, which a caller could
// change, comes from a fresh decoding.
nb::object option(nb::handle tag) {
    const std::string content = read_settings_file();
    if (!bound->settings.is_valid() || content != bound->settings_text) {
        bound->settings = decode_settings(content);
        bound->settings_text = content;
    }
    nb::object value = item(bound->settings, tag);
    if (PyList_Check(value.ptr()) || PyDict_Check(value.ptr()))
        return item(decode_settings(content), tag);
    return value;
}

nb::object option(const char *tag) { return option(nb::str(tag)); }

nb::object colour_text(nb::handle text, nb::handle color) {
    require_str(text, "text");
    require_str(color, "color");
    PyObject *format = PyDict_GetItemWithError(bound->colors.ptr(), color.ptr());
    if (!format) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, color.ptr());
        args::throw_pending();
    }
    return nb::handle(format).attr("format")(text);
}

nb::object bold_text(nb::handle text) {
    require_str(text, "text");
    PyObject *result = PyUnicode_FromFormat("\x1b[1m%U\x1b[0m", text.ptr());
    if (!result)
        args::throw_pending();
    return nb::steal(result);
}

// Colour first, then bold around it, each when its option is set and styling is on.
nb::object styled(nb::handle text, const char *color_tag, const char *bold_tag) {
    nb::object result = nb::borrow(text);
    if (!bound->styling)
        return result;
    nb::object color = option(color_tag);
    if (truthy(color))
        result = colour_text(result, color);
    if (truthy(option(bold_tag)))
        result = bold_text(result);
    return result;
}

nb::object format_as_property(nb::handle text) {
    require_str(text, "text");
    return styled(text, "properties_color", "properties_bold");
}

// A horizontal rule: the option `char_tag` repeated `length` times, styled.
nb::object rule(long long length, const char *char_tag, const char *color_tag, const char *bold_tag) {
    nb::object piece = option(char_tag);
    if (!PyUnicode_Check(piece.ptr())) {
        PyErr_Format(PyExc_TypeError, "The option '%s' must be a string, not %.200s", char_tag,
                     Py_TYPE(piece.ptr())->tp_name);
        args::throw_pending();
    }
    PyObject *repeated = PySequence_Repeat(piece.ptr(), static_cast<Py_ssize_t>(length < 0 ? 0 : length));
    if (!repeated)
        args::throw_pending();
    return styled(nb::steal(repeated), color_tag, bold_tag);
}

nb::object wall(long long length) { return rule(length, "wall_char", "wall_color", "wall_bold"); }
nb::object fence(long long length) { return rule(length, "fence_char", "fence_color", "fence_bold"); }

nb::object parse_color(nb::handle color) {
    require_str(color, "color");
    nb::object lowered = color.attr("lower")();
    int known = PyDict_Contains(bound->colors.ptr(), lowered.ptr());
    if (known < 0)
        args::throw_pending();
    if (!known) {
        PyErr_Format(PyExc_ValueError, "There is no color named %U available", color.ptr());
        args::throw_pending();
    }
    return lowered;
}

// ---------------------------------------------------------------------------
// The box

nb::object protocol_text(nb::handle self, const char *method) {
    nb::object result = self.attr(method)();
    if (!PyUnicode_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s() must return str, not %.200s", method, Py_TYPE(result.ptr())->tp_name);
        args::throw_pending();
    }
    return result;
}

nb::object render_box(nb::handle self) {
    nb::object header = protocol_text(self, "_get_header");
    std::size_t width = length_of(header);
    nb::object header_styled = styled(header, "header_color", "header_bold");
    nb::object body = protocol_text(self, "_get_body");
    const Utf8 body_utf8 = utf8_of(body);
    width = std::max(width, text::body_width(body_utf8.view));
    nb::object wall_rule = wall(static_cast<long long>(width));
    nb::object fence_rule = fence(static_cast<long long>(width));

    // The field is widened by the styling sequences the header options added,
    // so that the visible header sits centred or right over the box.
    nb::object alignment = option("header_alignment");
    const bool centre = PyUnicode_Check(alignment.ptr()) && PyUnicode_CompareWithASCIIString(alignment.ptr(), "centre") == 0;
    const bool right = PyUnicode_Check(alignment.ptr()) && PyUnicode_CompareWithASCIIString(alignment.ptr(), "right") == 0;
    if (centre || right) {
        const std::size_t styled_length = length_of(header_styled);
        const Utf8 styled_utf8 = utf8_of(header_styled);
        header_styled = str_from_utf8(text::pad(styled_utf8.view, styled_length,
                                                width + (styled_length - length_of(header)),
                                                centre ? text::Alignment::centre : text::Alignment::right));
    }
    // Placeholders in the body are filled too, and its doubled braces undone.
    nb::object box = str_from_utf8(text::box_template(body_utf8.view));
    return box.attr("format")("header"_a = header_styled, "wall"_a = wall_rule, "fence"_a = fence_rule);
}

// ---------------------------------------------------------------------------
// Forms

nb::object create_formatted_form(nb::handle data, nb::handle order, long long min_gap, bool uppercase,
                                 bool capitalise) {
    auto displayed = [&](nb::handle name) {
        nb::object shown = uppercase    ? name.attr("upper")()
                           : capitalise ? name.attr("capitalize")()
                                        : nb::borrow(name);
        return format_as_property(shown);
    };
    // Names that come out alike keep the first one's place and the last value.
    nb::dict entries;
    if (order.is_none()) {
        nb::list items = nb::steal<nb::list>(PyDict_Items(data.ptr()));
        for (nb::handle item : items)
            entries[displayed(item[0])] = item[1];
    } else {
        nb::tuple names = nb::steal<nb::tuple>(PySequence_Tuple(order.ptr()));
        for (nb::handle name : names) {
            nb::object key = displayed(name);
            PyObject *value = PyObject_GetItem(data.ptr(), name.ptr());
            if (!value)
                args::throw_pending();
            entries[key] = nb::steal(value);
        }
    }
    if (entries.size() == 0)
        throw nb::value_error("A form needs at least one field");

    std::vector<Utf8> names, values;
    for (auto [name, value] : entries) {
        names.push_back(utf8_of(name));
        PyObject *value_text = PyObject_Format(value.ptr(), nullptr);
        if (!value_text)
            args::throw_pending();
        values.push_back(utf8_of(nb::steal(value_text)));
    }
    std::vector<text::FormField> fields;
    for (std::size_t i = 0; i < names.size(); ++i)
        fields.push_back({names[i].view, values[i].view});
    return str_from_utf8(text::form_lines(fields, min_gap));
}

// ---------------------------------------------------------------------------
// Tables

// Alignment word `key` of a column entry ("header" or "values"), absent = "".
text::Alignment entry_alignment(nb::handle entry, const char *key, const char *message) {
    nb::object word = entry.attr("get")(key, "").attr("lower")();
    std::optional<text::Alignment> alignment;
    if (PyUnicode_Check(word.ptr()))
        alignment = text::alignment_from_word(utf8_of(word).view);
    if (!alignment) {
        PyErr_Format(PyExc_ValueError, message, word.ptr());
        args::throw_pending();
    }
    return *alignment;
}

// Characters of the longest cell text of a column. A missing cell (pandas 3
// keeps it missing after the conversion to text) counts as pandas shows it.
std::size_t column_width(nb::handle frame, nb::handle column) {
    nb::object cells = frame[column].attr("tolist")();
    if (nb::len(cells) == 0) {
        PyErr_Format(PyExc_ValueError, "Cannot align column %R of a table without rows", column.ptr());
        args::throw_pending();
    }
    std::size_t widest = 0;
    for (nb::handle cell : cells)
        widest = std::max(widest, length_of(PyUnicode_Check(cell.ptr()) ? nb::borrow(cell) : nb::str(cell)));
    return widest;
}

nb::object aligned_cell(nb::handle value, std::size_t width, text::Alignment alignment) {
    nb::object cell = PyUnicode_Check(value.ptr()) ? nb::borrow(value) : nb::str(value);
    return str_from_utf8(text::column_cell(utf8_of(cell).view, length_of(cell), width, alignment));
}

nb::object create_formatted_frame(nb::handle data, nb::handle columns, nb::handle sort_values_by,
                                  nb::handle alignment, bool index, long long index_offset,
                                  long long max_colwidth, long long max_rows) {
    nb::object frame = columns.is_none() ? bound->data_frame(data) : bound->data_frame(data, "columns"_a = columns);
    frame = frame.attr("astype")(nb::handle((PyObject *) &PyUnicode_Type));
    if (truthy(sort_values_by))
        frame = frame.attr("sort_values")(sort_values_by);  // compares the texts
    // Rows of a nullable-integer index are renumbered in their sorted order.
    if (nb::isinstance(frame.attr("index").attr("dtype"), bound->int64_dtype)) {
        frame = frame.attr("reset_index")("drop"_a = true);
        PyObject *renumbered = PyNumber_Add(frame.attr("index").ptr(), nb::int_(index_offset).ptr());
        if (!renumbered)
            args::throw_pending();
        nb::setattr(frame, "index", nb::steal(renumbered));
    }

    // The caller's alignment mapping is only read, so it can serve many calls.
    const bool aligned = !alignment.is_none() && truthy(alignment);
    nb::list labels;
    nb::dict formatters;
    for (nb::handle column : frame.attr("columns")) {
        nb::object entry;
        if (aligned) {
            PyObject *found = PyDict_GetItemWithError(alignment.ptr(), column.ptr());
            if (!found && PyErr_Occurred())
                args::throw_pending();
            entry = nb::borrow(found);
        }
        if (!entry.is_valid() || !truthy(entry)) {
            labels.append(column);
            continue;
        }
        const text::Alignment header =
            entry_alignment(entry, "header", "Unexpected value for header alignment: %S");
        const std::size_t width = column_width(frame, column);
        if (!PyUnicode_Check(column.ptr())) {
            PyErr_Format(PyExc_ValueError, "Cannot align column %R: its name is not a string", column.ptr());
            args::throw_pending();
        }
        labels.append(aligned_cell(column, width, header));
        const text::Alignment cells =
            entry_alignment(entry, "values", "Unexpected value for values alignment: %S");
        formatters[column] = nb::cpp_function(
            [width, cells](nb::handle value) { return aligned_cell(value, width, cells); });
    }

    nb::object table = frame.attr("to_string")("header"_a = labels, "formatters"_a = formatters, "index"_a = index,
                                               "max_colwidth"_a = max_colwidth, "max_rows"_a = max_rows);
    nb::tuple parts = nb::borrow<nb::tuple>(table.attr("partition")("\n"));
    nb::object first = format_as_property(parts[0]);
    return first + parts[1] + parts[2];
}

// ---------------------------------------------------------------------------
// Pickling

void apply_state(nb::handle self, nb::handle state) {
    args::require_exact_type(state, &PyTuple_Type, "state");
    if (PyTuple_GET_SIZE(state.ptr()) > 0 && truthy(PyTuple_GET_ITEM(state.ptr(), 0)))
        self.attr("__dict__").attr("update")(nb::handle(PyTuple_GET_ITEM(state.ptr(), 0)));
}

// Only Representable itself and Python subclasses of it have no C++ state
// beyond the attribute dictionary; any other native type cannot be rebuilt
// from that dictionary alone.
bool has_bare_layout(nb::handle type) {
    return PyType_Check(type.ptr()) && nb::type_check(type) && nb::type_info(type) == typeid(astrokite::Representable);
}

nb::tuple reduce(nb::handle self) {
    nb::handle type = self.type();
    if (!has_bare_layout(type))
        throw nb::type_error(args::pickle_refused_message);
    nb::object dict = self.attr("__dict__");
    if (truthy(dict))
        return nb::make_tuple(bound->reconstructor, nb::make_tuple(type, pickle_checksum, nb::none()),
                              nb::make_tuple(dict));
    return nb::make_tuple(bound->reconstructor, nb::make_tuple(type, pickle_checksum, nb::tuple()));
}

nb::object reconstruct(nb::handle type, nb::handle checksum_object, nb::handle state) {
    const long long checksum = args::integer_argument(checksum_object, "checksum");
    if (std::find(std::begin(accepted_checksums), std::end(accepted_checksums), checksum) ==
        std::end(accepted_checksums)) {
        nb::object pickle_error = nb::module_::import_("pickle").attr("PickleError");
        nb::object message = nb::str("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))")
            .attr("__mod__")(nb::make_tuple(checksum, accepted_checksums[0], accepted_checksums[1],
                                            accepted_checksums[2], ""));
        PyErr_SetObject(pickle_error.ptr(), message.ptr());
        args::throw_pending();
    }
    if (!has_bare_layout(type)) {
        PyErr_Format(PyExc_TypeError, "Cannot reconstruct %R: not Representable or a Python subclass of it",
                     type.ptr());
        args::throw_pending();
    }
    nb::object self = nb::inst_alloc_zero(type);  // no initialiser runs
    if (!state.is_none())
        apply_state(self, state);
    return self;
}

// ---------------------------------------------------------------------------
// Binding helpers: Python-style argument binding with the standard messages.

template <std::size_t N, typename Body>
auto with_arguments(const char *function, const char *const (&names)[N], std::size_t required, Body body,
                    std::initializer_list<nb::object> defaults = {}) {
    std::vector<nb::object> initial(defaults);
    return [function, &names, required, body, initial](nb::args positional, nb::kwargs keywords) {
        nb::object values[N];
        for (std::size_t i = 0; i < initial.size(); ++i)
            values[required + i] = initial[i];
        args::bind_arguments(function, positional, keywords, names, required, values);
        return body(values);
    };
}

// A static method of `cls` taking its arguments as a Python function would.
template <std::size_t N, typename Body>
void static_method(nb::class_<astrokite::Representable> &cls, const char *name, const char *signature,
                   const char *const (&names)[N], std::size_t required, Body body, const char *doc,
                   std::initializer_list<nb::object> defaults = {}) {
    cls.def_static(name, with_arguments(name, names, required, body, defaults), nb::sig(signature), doc);
}

const char *const text_names[] = {"text"};
const char *const text_color_names[] = {"text", "color"};
const char *const color_names[] = {"color"};
const char *const enabled_names[] = {"enabled"};
const char *const length_names[] = {"length"};
const char *const option_names[] = {"option_tag"};
const char *const form_names[] = {"data", "order", "min_gap", "uppercase", "capitalise", "capitalize"};
const char *const frame_names[] = {"data", "columns", "sort_values_by", "alignment",
                                   "index", "index_offset", "max_colwidth", "max_rows"};
const char *const reconstruct_names[] = {"type", "checksum", "state"};

// The reconstructor is a built-in function rather than a nanobind one because
// pickles refer to it by name, which pickle does for built-in functions only.
PyObject *reconstruct_entry(PyObject *, PyObject *positional, PyObject *keywords) {
    try {
        nb::object values[3];
        args::bind_arguments("_reconstruct_representable", nb::borrow<nb::args>(positional),
                             keywords ? nb::borrow<nb::kwargs>(keywords) : nb::kwargs(), reconstruct_names, 3,
                             values);
        return reconstruct(values[0], values[1], values[2]).release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

PyMethodDef module_functions[] = {
    {"_reconstruct_representable", (PyCFunction) (void (*)()) reconstruct_entry, METH_VARARGS | METH_KEYWORDS,
     "_reconstruct_representable(type, checksum, state)\n\n"
     "Rebuilds a pickled Representable (or Python subclass of it) from its type, checksum and state."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

NB_MODULE(representable, m) {
    args::LoadOnce once(m);
    m.doc() = "Console text of the package's objects: a framed, optionally styled box made of a header and a body, "
              "with the look read from settings.json beside this module.";
    nb::module_ pandas = nb::module_::import_("pandas");
    bound = new Bound{};
    bound->json_loads = nb::module_::import_("json").attr("loads");
    bound->data_frame = pandas.attr("DataFrame");
    bound->int64_dtype = pandas.attr("Int64Dtype");

    nb::object file = m.attr("__file__");
    nb::object file_bytes = nb::steal(PyUnicode_EncodeFSDefault(file.ptr()));
    if (!file_bytes.is_valid())
        args::throw_pending();
    const std::filesystem::path settings =
        std::filesystem::path(PyBytes_AS_STRING(file_bytes.ptr())).parent_path() / "settings.json";
    bound->settings_file = settings.string();
    bound->settings_path = nb::steal(PyUnicode_DecodeFSDefault(bound->settings_file.c_str()));
    if (!bound->settings_path.is_valid())
        args::throw_pending();

    for (const text::Colour &colour : text::colours) {
        std::string format(colour.sequence);
        format.append("{}").append(text::reset_sequence);
        bound->colors[str_from_utf8(colour.name)] = str_from_utf8(format);
    }

    nb::class_<astrokite::Representable> cls(m, "Representable", nb::dynamic_attr(),
                                             "Objects with a nice representation on console");
    // The initialiser builds only the base part, so it refuses a native derived
    // type (TLE, ELSET, or a Python subclass of one): marked as built, such an
    // instance would be read with C++ fields its own constructor never set.
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<astrokite::Representable> self) {
            if (!has_bare_layout(self.h.type())) {
                PyErr_Format(PyExc_TypeError,
                             "Representable.__init__() cannot initialise an instance of %s: call its own constructor",
                             Py_TYPE(self.h.ptr())->tp_name);
                args::throw_pending();
            }
            new (self.p) astrokite::Representable();
        },
        nb::sig("def __init__(self) -> None"));
    cls.attr("_available_colors") = bound->colors;

    cls.def("_get_header", [](nb::handle) -> nb::object {
        PyErr_SetNone(PyExc_NotImplementedError);
        args::throw_pending();
    }, nb::sig("def _get_header(self) -> str"), "The header of the report representation");
    cls.def("_get_body", [](nb::handle) -> nb::object {
        PyErr_SetNone(PyExc_NotImplementedError);
        args::throw_pending();
    }, nb::sig("def _get_body(self) -> str"), "The body of the report representation");
    cls.def("__str__", &render_box, nb::sig("def __str__(self) -> str"),
            "The header and body framed by walls and a fence");
    cls.def("__repr__", [](nb::handle self) { return nb::str(self); }, "The same text as str()");

    using Values = nb::object *;
    static_method(cls, "_Representable__get_option", "def _Representable__get_option(option_tag: str) -> object",
                  option_names, 1,
                  [](Values v) {
                      require_str(v[0], "option_tag");
                      return option(v[0]);
                  },
                  "Value of an option of settings.json, read anew at every call");
    static_method(cls, "_Representable__get_color_formatted_text",
                  "def _Representable__get_color_formatted_text(text: str, color: str) -> str", text_color_names,
                  2, [](Values v) { return colour_text(v[0], v[1]); },
                  "Text wrapped in the sequences of a colour of _available_colors");
    static_method(cls, "_Representable__get_bold_formatted_text",
                  "def _Representable__get_bold_formatted_text(text: str) -> str", text_names, 1,
                  [](Values v) { return bold_text(v[0]); }, "Text wrapped in the bold sequences");
    static_method(cls, "_Representable__wall", "def _Representable__wall(length: int) -> str", length_names, 1,
                  [](Values v) { return wall(args::integer_argument(v[0], "length")); },
                  "The wall (top and bottom rule) of a box of the given width");
    static_method(cls, "_Representable__fence", "def _Representable__fence(length: int) -> str", length_names, 1,
                  [](Values v) { return fence(args::integer_argument(v[0], "length")); },
                  "The fence (separator rule) of a box of the given width");
    static_method(cls, "_format_as_property", "def _format_as_property(text: str) -> str", text_names, 1,
                  [](Values v) { return format_as_property(v[0]); }, "Formats text as property");
    static_method(cls, "set_styling", "def set_styling(enabled: bool) -> bool", enabled_names, 1,
                  [](Values v) {
                      const bool previous = bound->styling;
                      bound->styling = truthy(v[0]);
                      return nb::bool_(previous);
                  },
                  "Turns the colours and bold of the settings on or off in the console text of every object "
                  "of this process (on by default); returns the previous setting. Programs writing to a "
                  "file or pipe, or run with NO_COLOR set, turn it off.");
    static_method(cls, "parse_color", "def parse_color(color: str) -> str", color_names, 1,
                  [](Values v) { return parse_color(v[0]); }, "Parses color name");
    static_method(
        cls, "_create_formatted_form",
        "def _create_formatted_form(data: dict, order: list[str] | None = None, min_gap: int = 4, "
        "uppercase: bool = False, capitalise: bool = False, capitalize: bool = False) -> str",
        form_names, 1,
        [](Values v) {
            args::require_exact_type(v[0], &PyDict_Type, "data");
            args::require_exact_type(v[1], &PyList_Type, "order", true);
            const long long min_gap = args::integer_argument(v[2], "min_gap");
            return create_formatted_form(v[0], v[1], min_gap, truthy(v[3]), truthy(v[4]) || truthy(v[5]));
        },
        "Name-value lines with the values in one column.\n\n"
        "data: Data to be represented as form\n"
        "order: List of field names in the desired order\n"
        "min_gap: Minimum number of white spaces between field names and values\n"
        "uppercase: Uppercase the field names\n"
        "capitalise, capitalize: Capitalise the field names",
        {nb::none(), nb::int_(4), nb::bool_(false), nb::bool_(false), nb::bool_(false)});
    static_method(
        cls, "_create_formatted_frame",
        "def _create_formatted_frame(data: dict | pandas.DataFrame, columns: list[str] | None = None, "
        "sort_values_by: str | list[str] | None = None, alignment: dict | None = None, index: bool = True, "
        "index_offset: int = 1, max_colwidth: int = 50, max_rows: int = 30) -> str",
        frame_names, 1,
        [](Values v) {
            args::require_exact_type(v[1], &PyList_Type, "columns", true);
            args::require_exact_type(v[3], &PyDict_Type, "alignment", true);
            const bool index = truthy(v[4]);
            const long long index_offset = args::integer_argument(v[5], "index_offset");
            const long long max_colwidth = args::integer_argument(v[6], "max_colwidth");
            const long long max_rows = args::integer_argument(v[7], "max_rows");
            return create_formatted_frame(v[0], v[1], v[2], v[3], index, index_offset, max_colwidth, max_rows);
        },
        "Table text of the data, laid out by pandas, its heading line styled as property names.\n\n"
        "data: Data to be represented as table (a DataFrame or what its constructor takes)\n"
        "columns: column names in the desired order\n"
        "sort_values_by: column or columns to sort the rows by (as text)\n"
        "alignment: column name -> {'header': word, 'values': word}, words left/l, centre/center/c, right/r\n"
        "index: show the row labels\n"
        "index_offset: first row label when a nullable-integer index is renumbered\n"
        "max_colwidth, max_rows: passed to DataFrame.to_string",
        {nb::none(), nb::none(), nb::none(), nb::bool_(true), nb::int_(1), nb::int_(50), nb::int_(30)});

    cls.def("__reduce__", &reduce);
    cls.def("__setstate__", [](nb::handle self, nb::handle state) { apply_state(self, state); }, "state"_a,
            nb::sig("def __setstate__(self, state: tuple) -> None"));

    if (PyModule_AddFunctions(m.ptr(), module_functions) < 0)
        args::throw_pending();
    bound->reconstructor = m.attr("_reconstruct_representable");
}
