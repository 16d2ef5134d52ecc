// binding/src/convert_scalar.cpp: choosing each field's conversion when its
// class is compiled, and turning scalar values into enum members, Decimal,
// date/time objects or plain Python values by that choice.
#include "convert_scalar.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "iso_datetime.hpp"
#include "kestrix/scalar_parse.hpp"
#include "text.hpp"

namespace kestrix::py {
namespace {

// Interned names, created once and kept for the life of the process.
struct Names {
    PyObject* datatype_module;  // "tarnwell.models.datatype"
    PyObject* from_string;
    PyObject* fromisoformat;
    PyObject* isoformat;
    PyObject* xml_date;
    PyObject* xml_time;
    PyObject* xml_datetime;
    PyObject* xml_duration;
};

const Names* names() {
    static Names n{};
    static bool ready = false;
    if (ready) return &n;
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&n.datatype_module, "tarnwell.models.datatype"},
        {&n.from_string, "from_string"},
        {&n.fromisoformat, "fromisoformat"},
        {&n.isoformat, "isoformat"},
        {&n.xml_date, "XmlDate"},
        {&n.xml_time, "XmlTime"},
        {&n.xml_datetime, "XmlDateTime"},
        {&n.xml_duration, "XmlDuration"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) *e.slot = PyUnicode_InternFromString(e.text);
        if (*e.slot == nullptr) return nullptr;
    }
    ready = true;
    return &n;
}

// The standard classes the conversions rely on. Standard modules cannot come
// and go, so they are imported once and kept for the life of the process.
struct Stdlib {
    PyObject* enum_class;
    PyObject* enum_call;     // the stock metaclass's __call__
    PyObject* enum_new;      // Enum.__new__, which every enum class is given
    PyObject* enum_missing;  // the function of Enum._missing_, which finds nothing
    PyObject* decimal_class;
    PyObject* date;
    PyObject* time;
    PyObject* datetime;
    PyObject* qname;
};

const Stdlib* stdlib() {
    static Stdlib s{};
    static bool ready = false;
    if (ready) return &s;
    struct Entry {
        PyObject** slot;
        const char* module;
        const char* name;
    };
    const Entry entries[] = {
        {&s.enum_class, "enum", "Enum"},       {&s.decimal_class, "decimal", "Decimal"},
        {&s.date, "datetime", "date"},         {&s.time, "datetime", "time"},
        {&s.datetime, "datetime", "datetime"}, {&s.qname, "kestrix.qname", "QName"},
    };
    for (const Entry& e : entries) {
        if (*e.slot != nullptr) continue;
        Ref module = Ref::steal(PyImport_ImportModule(e.module));
        if (!module) return nullptr;
        *e.slot = PyObject_GetAttrString(module.get(), e.name);
        if (*e.slot == nullptr) return nullptr;
    }
    if (s.enum_call == nullptr) {
        PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(s.enum_class));
        s.enum_call = PyObject_GetAttrString(metaclass, "__call__");
        if (s.enum_call == nullptr) return nullptr;
    }
    if (s.enum_new == nullptr) {
        s.enum_new = PyObject_GetAttrString(s.enum_class, "__new__");
        if (s.enum_new == nullptr) return nullptr;
    }
    if (s.enum_missing == nullptr) {
        Ref method = Ref::steal(PyObject_GetAttrString(s.enum_class, "_missing_"));
        if (!method) return nullptr;
        s.enum_missing = PyObject_GetAttrString(method.get(), "__func__");
        if (s.enum_missing == nullptr) return nullptr;
    }
    ready = true;
    return &s;
}

// The module `name`, found in the interpreter's module table when it is already
// imported, else imported now. Looked up on every use, so a module installed or
// removed later is seen at once. Null with an error set when it is not there
// (a None entry in the module table blocks the import, as for `import`).
Ref import_module(PyObject* name) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    if (modules != nullptr && PyDict_Check(modules)) {
        PyObject* module = PyDict_GetItemWithError(modules, name);  // borrowed
        if (module != nullptr && module != Py_None) return Ref::borrow(module);
        if (module == nullptr && PyErr_Occurred() != nullptr) return Ref();
    }
    return Ref::steal(PyImport_Import(name));
}

// Annotations that are exactly one of the builtin scalar types always yield the
// plain value: they are no enum class and their names match no conversion.
bool is_plain_builtin(PyObject* declared) {
    return declared == reinterpret_cast<PyObject*>(&PyUnicode_Type) ||
           declared == reinterpret_cast<PyObject*>(&PyLong_Type) ||
           declared == reinterpret_cast<PyObject*>(&PyFloat_Type) ||
           declared == reinterpret_cast<PyObject*>(&PyBool_Type);
}

// issubclass(cls, base) for a class `cls`; false (error cleared) on any doubt.
bool derives_from(PyObject* cls, PyObject* base) {
    if (!PyType_Check(cls)) return false;
    const int result = PyObject_IsSubclass(cls, base);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

// `cls.attr is expected`; false (error cleared) when it cannot be read.
bool attribute_is(PyObject* cls, const char* attr, PyObject* expected) {
    Ref value = Ref::steal(PyObject_GetAttrString(cls, attr));
    if (!value) PyErr_Clear();
    return value.get() == expected;
}

// For an enum class whose call looks a value up in its `_value2member_map_`
// first and returns what it finds there (the stock metaclass `__call__` with
// the stock `Enum.__new__`), that map, and whether a value missing from it is
// refused by the call (the stock `_missing_`, which finds nothing). Any other
// class keeps no map and is always called.
void choose_value_map(const Stdlib& s, PyObject* cls, Converter& out) {
    if (!attribute_is(reinterpret_cast<PyObject*>(Py_TYPE(cls)), "__call__", s.enum_call) ||
        !attribute_is(cls, "__new__", s.enum_new)) {
        return;
    }
    Ref map = Ref::steal(PyObject_GetAttrString(cls, "_value2member_map_"));
    if (!map || !PyDict_CheckExact(map.get())) {
        PyErr_Clear();
        return;
    }
    out.value_map = std::move(map);
    Ref missing = Ref::steal(PyObject_GetAttrString(cls, "_missing_"));
    out.value_map_decides = missing && attribute_is(missing.get(), "__func__", s.enum_missing);
    PyErr_Clear();
}

// `callable(arg)`; a failure is cleared and gives null.
Ref try_call(PyObject* callable, PyObject* arg) {
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callable, arg, nullptr));
    if (!result) PyErr_Clear();
    return result;
}

// The enum member of value `value`, as calling the class gives it: from the
// converter's value map where that gives the same, else by the call; a
// failure is cleared and gives null.
Ref member_by_value(const Converter& c, PyObject* value) {
    if (c.value_map) {
        PyObject* member = PyDict_GetItemWithError(c.value_map.get(), value);  // borrowed
        if (member != nullptr) return Ref::borrow(member);
        if (PyErr_Occurred() == nullptr) {
            if (c.value_map_decides) return Ref();
        } else {
            PyErr_Clear();  // a value whose comparison fails: the call decides
        }
    }
    return try_call(c.declared.get(), value);
}

// `obj.method(arg)`; a failure (including a missing method) is cleared and
// gives null.
Ref try_call_method(PyObject* obj, PyObject* method, PyObject* arg) {
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(obj, method, arg, nullptr));
    if (!result) PyErr_Clear();
    return result;
}

// `module.attr` of the module named `module_name`; failures are cleared and
// give null.
Ref try_module_attr(PyObject* module_name, PyObject* attr) {
    Ref module = import_module(module_name);
    if (!module) {
        PyErr_Clear();
        return Ref();
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), attr));
    if (!value) PyErr_Clear();
    return value;
}

Ref str_of(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// A decimal integer as text: one optional sign, then ASCII digits only, within
// the signed 64-bit range.
bool parse_decimal_int(std::string_view s, std::int64_t* out) {
    std::size_t start = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (start == s.size()) return false;
    for (std::size_t i = start; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    const char* first = s.data() + (s[0] == '+' ? 1 : 0);
    const char* last = s.data() + s.size();
    auto [end, ec] = std::from_chars(first, last, *out);
    return ec == std::errc() && end == last;
}

// An enum member for the text `raw`: by value as written (enum values may
// carry edge whitespace), then, for the text without its edge whitespace, by
// value, by integer value and by name. `text` is left holding the trimmed
// text that later steps convert.
Ref enum_member(const Converter& c, Ref& text, std::string_view raw) {
    if (Ref member = member_by_value(c, text.get())) return member;
    const std::string_view trimmed = trim_xml_space(raw);
    if (trimmed.size() != raw.size()) {
        Ref shorter = str_of(trimmed);
        if (!shorter) {
            PyErr_Clear();
            return Ref();
        }
        text = std::move(shorter);
        if (Ref member = member_by_value(c, text.get())) return member;
    }
    std::int64_t number = 0;
    if (parse_decimal_int(trimmed, &number)) {
        Ref as_int = Ref::steal(PyLong_FromLongLong(number));
        if (!as_int) {
            PyErr_Clear();
        } else if (Ref member = member_by_value(c, as_int.get())) {
            return member;
        }
    }
    Ref member = Ref::steal(PyObject_GetItem(c.declared.get(), text.get()));
    if (!member) PyErr_Clear();
    return member;
}

// `cls.fromisoformat` of the text, taking the XML Schema forms that older
// Pythons refuse (a trailing Z, fractions of any length). Null when refused.
Ref from_iso(const Names& n, PyObject* cls, PyObject* text) {
    std::string_view raw;
    if (!utf8_of(text, raw)) return Ref();
    Ref argument = Ref::borrow(text);
    if (std::optional<std::string> rewritten = iso_from_xml_schema(raw)) {
        argument = str_of(*rewritten);
        if (!argument) {
            PyErr_Clear();
            return Ref();
        }
    }
    return try_call_method(cls, n.fromisoformat, argument.get());
}

// XmlDate, XmlTime, XmlDateTime: the class's own from_string, the companion
// package's class of that name, the class's constructor, then `datetime`.
Ref date_like(const Names& n, const Converter& c, PyObject* name, PyObject* text) {
    PyObject* declared = c.declared.get();
    if (Ref r = try_call_method(declared, n.from_string, text)) return r;
    if (Ref cls = try_module_attr(n.datatype_module, name)) {
        if (Ref r = try_call_method(cls.get(), n.from_string, text)) return r;
    }
    if (Ref r = try_call(declared, text)) return r;
    return from_iso(n, c.helper.get(), text);
}

// Text with a converter that is not plain. New reference to the converted
// object, or to the text itself when every way failed.
PyObject* convert_text(Ref text, std::string_view raw, const Converter& c) {
    if (c.is_enum) {
        if (Ref member = enum_member(c, text, raw)) return member.release();
    }
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref result;
    switch (c.conversion) {
        case Conversion::Plain:
            break;
        case Conversion::Decimal: {
            // No fallback: an invalid decimal is the caller's error.
            PyObject* value = PyObject_CallFunctionObjArgs(c.helper.get(), text.get(), nullptr);
            if (value == nullptr) {
                ensure_error();
                note_unconverted(raw, "Decimal");
            }
            return value;
        }
        case Conversion::IsoDate:
        case Conversion::IsoTime:
        case Conversion::IsoDateTime:
            result = from_iso(*n, c.helper.get(), text.get());
            break;
        case Conversion::XmlDate:
            result = date_like(*n, c, n->xml_date, text.get());
            break;
        case Conversion::XmlTime:
            result = date_like(*n, c, n->xml_time, text.get());
            break;
        case Conversion::XmlDateTime:
            result = date_like(*n, c, n->xml_datetime, text.get());
            break;
        case Conversion::QName: {
            // The reader gives the `{uri}local` form the class is built from.
            PyObject* value = PyObject_CallFunctionObjArgs(c.declared.get(), text.get(), nullptr);
            return value != nullptr ? value : ensure_error();
        }
        case Conversion::XmlDuration:
            result = try_call(c.declared.get(), text.get());
            if (!result) {
                if (Ref cls = try_module_attr(n->datatype_module, n->xml_duration)) {
                    result = try_call(cls.get(), text.get());
                }
            }
            break;
    }
    return result ? result.release() : text.release();
}

}  // namespace

void note_unconverted(std::string_view text, std::string_view target) {
    // Long texts are cut, at a character boundary, to keep the note one line.
    constexpr std::size_t kShown = 40;
    std::string shown(text.substr(0, kShown));
    if (text.size() > kShown) {
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) {
            shown.pop_back();
        }
        if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) shown.pop_back();
        shown += "...";
    }
    // The exception being raised is set aside while the text is quoted.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    std::string note;
    {
        Ref quoted = Ref::steal(
            PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace"));
        Ref repr = quoted ? Ref::steal(PyObject_Repr(quoted.get())) : Ref();
        std::string_view repr_text;
        if (repr && utf8_of(repr.get(), repr_text)) {
            note = "cannot convert the text " + std::string(repr_text) + " to ";
            note += target;
        }
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    if (!note.empty()) add_note(note.c_str());
}

bool choose_converter(PyObject* annotation, Converter& out) {
    out = Converter();
    if (annotation == nullptr || is_plain_builtin(annotation)) return true;
    const Stdlib* s = stdlib();
    if (s == nullptr) return false;
    out.is_enum = derives_from(annotation, s->enum_class);
    if (derives_from(annotation, s->qname)) {
        out.conversion = Conversion::QName;
        out.declared = Ref::borrow(annotation);
        return true;
    }

    // By name first, as every class bearing one of these names is read so;
    // then the standard date and time classes by descent.
    Ref holder = Ref::steal(PyObject_GetAttrString(annotation, "__name__"));
    std::string_view name;
    if (!holder) PyErr_Clear();
    if (holder && utf8_of(holder.get(), name)) {
        struct Entry {
            std::string_view name;
            Conversion conversion;
            PyObject* helper;
        };
        const Entry kNamed[] = {
            {"Decimal", Conversion::Decimal, s->decimal_class},
            {"XmlDate", Conversion::XmlDate, s->date},
            {"XmlTime", Conversion::XmlTime, s->time},
            {"XmlDateTime", Conversion::XmlDateTime, s->datetime},
            {"XmlDuration", Conversion::XmlDuration, nullptr},
        };
        for (const Entry& e : kNamed) {
            if (e.name != name) continue;
            out.conversion = e.conversion;
            out.helper = Ref::borrow(e.helper);
            break;
        }
    }
    if (out.conversion == Conversion::Plain) {
        // datetime derives from date, so it is tested first.
        if (derives_from(annotation, s->datetime)) {
            out.conversion = Conversion::IsoDateTime;
        } else if (derives_from(annotation, s->date)) {
            out.conversion = Conversion::IsoDate;
        } else if (derives_from(annotation, s->time)) {
            out.conversion = Conversion::IsoTime;
        }
        if (out.conversion != Conversion::Plain) out.helper = Ref::borrow(annotation);
    }
    if (out.is_enum || out.conversion != Conversion::Plain) out.declared = Ref::borrow(annotation);
    if (out.is_enum) choose_value_map(*s, annotation, out);
    return true;
}

PyObject* convert_scalar(const Value& value, const Converter* convert) {
    switch (value.kind()) {
        case Value::Kind::Null:
            Py_INCREF(Py_None);
            return Py_None;
        case Value::Kind::Bool:
            return PyBool_FromLong(value.as_bool() ? 1 : 0);
        case Value::Kind::Float:
            return PyFloat_FromDouble(value.as_float());
        case Value::Kind::Int: {
            Ref number = Ref::steal(PyLong_FromLongLong(value.as_int()));
            if (number && convert != nullptr && convert->is_enum) {
                if (Ref member = member_by_value(*convert, number.get())) {
                    return member.release();
                }
            }
            return number.release();
        }
        case Value::Kind::Str: {
            const std::string_view raw = value.as_str();
            Ref text = str_of(raw);
            if (!text || convert == nullptr ||
                (!convert->is_enum && convert->conversion == Conversion::Plain)) {
                return text.release();
            }
            return convert_text(std::move(text), raw, *convert);
        }
        case Value::Kind::List:
        case Value::Kind::Object:
        case Value::Kind::Absent:
            break;
    }
    return raise_panic("scalar conversion reached a value that is not a scalar");
}

Ref iso_text(PyObject* v) {
    const Stdlib* s = stdlib();
    const Names* n = names();
    if (s == nullptr || n == nullptr) return Ref();  // the error is set
    for (PyObject* cls : {s->date, s->time}) {
        const int is = PyObject_IsInstance(v, cls);
        if (is < 0) return Ref();
        if (is == 1) return Ref::steal(PyObject_CallMethodObjArgs(v, n->isoformat, nullptr));
    }
    return Ref();
}

}  // namespace kestrix::py
