// binding/src/convert_scalar.cpp: scalar values to enum members, Decimal,
// date/time objects or plain Python values, chosen by the field's annotation.
#include "convert_scalar.hpp"

#include <charconv>
#include <cstdint>
#include <string_view>

#include "errors.hpp"
#include "pyref.hpp"

namespace kestrix::py {
namespace {

// Interned names used on every conversion: created once, kept for the life of
// the process (they are names, not the modules or classes they find, so
// nothing observable is cached).
struct Names {
    PyObject* enum_module;
    PyObject* enum_class;
    PyObject* decimal_module;
    PyObject* decimal_class;
    PyObject* datetime_module;
    PyObject* date;
    PyObject* time;
    PyObject* datetime;
    PyObject* datatype_module;
    PyObject* from_string;
    PyObject* fromisoformat;
    PyObject* dunder_name;
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
        {&n.enum_module, "enum"},
        {&n.enum_class, "Enum"},
        {&n.decimal_module, "decimal"},
        {&n.decimal_class, "Decimal"},
        {&n.datetime_module, "datetime"},
        {&n.date, "date"},
        {&n.time, "time"},
        {&n.datetime, "datetime"},
        {&n.datatype_module, "tarnwell.models.datatype"},
        {&n.from_string, "from_string"},
        {&n.fromisoformat, "fromisoformat"},
        {&n.dunder_name, "__name__"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) *e.slot = PyUnicode_InternFromString(e.text);
        if (*e.slot == nullptr) return nullptr;
    }
    ready = true;
    return &n;
}

// The module `name`, found in the interpreter's module table when it is already
// imported, else imported now. Looked up on every use, so a module installed or
// removed later is seen at once. Null with an error set when it is not there
// (a None entry in the module table blocks the import, as for `import`).
Ref import_module(PyObject* name) {
    // sys.modules is read directly: the lookup runs for nearly every scalar.
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

// `callable(arg)`; a failure is cleared and gives null.
Ref try_call(PyObject* callable, PyObject* arg) {
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callable, arg, nullptr));
    if (!result) PyErr_Clear();
    return result;
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

// An enum member for the text: by value, by integer value, then by name.
Ref enum_member(PyObject* declared, PyObject* text, std::string_view raw) {
    if (Ref member = try_call(declared, text)) return member;
    std::int64_t number = 0;
    if (parse_decimal_int(raw, &number)) {
        Ref as_int = Ref::steal(PyLong_FromLongLong(number));
        if (!as_int) {
            PyErr_Clear();
        } else if (Ref member = try_call(declared, as_int.get())) {
            return member;
        }
    }
    Ref member = Ref::steal(PyObject_GetItem(declared, text));
    if (!member) PyErr_Clear();
    return member;
}

// XmlDate, XmlTime, XmlDateTime: the class's own from_string, the companion
// package's class of that name, the class's constructor, then `datetime`.
Ref date_like(const Names& n, PyObject* declared, PyObject* name, PyObject* text,
              PyObject* stdlib_class) {
    if (Ref r = try_call_method(declared, n.from_string, text)) return r;
    if (Ref cls = try_module_attr(n.datatype_module, name)) {
        if (Ref r = try_call_method(cls.get(), n.from_string, text)) return r;
    }
    if (Ref r = try_call(declared, text)) return r;
    if (Ref cls = try_module_attr(n.datetime_module, stdlib_class)) {
        if (Ref r = try_call_method(cls.get(), n.fromisoformat, text)) return r;
    }
    return Ref();
}

// Text with a declared type. New reference to the converted object, or to
// `text` itself when no conversion applies or every way failed.
PyObject* convert_text(PyObject* text, std::string_view raw, PyObject* declared) {
    if (is_enum_class(declared)) {
        if (Ref member = enum_member(declared, text, raw)) return member.release();
    }
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(declared, n->dunder_name));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return Ref::borrow(text).release();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return Ref::borrow(text).release();
    }
    std::string_view kind(utf8, static_cast<std::size_t>(size));
    Ref result;
    if (kind == "Decimal") {
        // No fallback: an invalid decimal is the caller's error.
        Ref module = import_module(n->decimal_module);
        if (!module) return nullptr;
        Ref cls = Ref::steal(PyObject_GetAttr(module.get(), n->decimal_class));
        if (!cls) return nullptr;
        PyObject* value = PyObject_CallFunctionObjArgs(cls.get(), text, nullptr);
        return value != nullptr ? value : ensure_error();
    } else if (kind == "XmlDate") {
        result = date_like(*n, declared, name.get(), text, n->date);
    } else if (kind == "XmlTime") {
        result = date_like(*n, declared, name.get(), text, n->time);
    } else if (kind == "XmlDateTime") {
        result = date_like(*n, declared, name.get(), text, n->datetime);
    } else if (kind == "XmlDuration") {
        result = try_call(declared, text);
        if (!result) {
            if (Ref cls = try_module_attr(n->datatype_module, name.get())) {
                result = try_call(cls.get(), text);
            }
        }
    }
    return result ? result.release() : Ref::borrow(text).release();
}

}  // namespace

bool is_enum_class(PyObject* declared) {
    if (!PyType_Check(declared)) return false;
    const Names* n = names();
    if (n == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref enum_class = try_module_attr(n->enum_module, n->enum_class);
    if (!enum_class || !PyType_Check(enum_class.get())) return false;
    int subclass = PyObject_IsSubclass(declared, enum_class.get());
    if (subclass < 0) PyErr_Clear();
    return subclass == 1;
}

PyObject* convert_scalar(const Value& value, PyObject* declared) {
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
            if (!number || declared == nullptr || is_plain_builtin(declared)) {
                return number.release();
            }
            if (is_enum_class(declared)) {
                if (Ref member = try_call(declared, number.get())) return member.release();
            }
            return number.release();
        }
        case Value::Kind::Str: {
            const std::string& raw = value.as_str();
            Ref text = Ref::steal(
                PyUnicode_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
            if (!text || declared == nullptr || is_plain_builtin(declared)) return text.release();
            return convert_text(text.get(), raw, declared);
        }
        case Value::Kind::List:
        case Value::Kind::Object:
        case Value::Kind::Absent:
            break;
    }
    return raise_panic("scalar conversion reached a value that is not a scalar");
}

}  // namespace kestrix::py
