// binding/src/errors.cpp: Python exceptions of the binding layer.
#include "errors.hpp"

#include <string>
#include <string_view>

#include "pyref.hpp"

namespace kestrix::py {

PyObject* panic_exception_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "kestrix.PanicException",
            "An internal fault of kestrix that no input should reach. Derived from "
            "BaseException so that ordinary 'except Exception' handlers do not hide it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_bind_error(const BindError& error) {
    std::string message = error.message();
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text.get());
    if (const auto& at = error.location()) {
        std::string note =
            "at line " + std::to_string(at->line) + ", column " + std::to_string(at->column);
        if (!at->entity.empty()) note += " (entity '" + at->entity + "')";
        add_note(note.c_str());
    }
    return nullptr;
}

std::string type_name(PyObject* obj) {
    Ref name =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "object";
}

PyObject* raise_type_mismatch(PyObject* obj, const char* expected) {
    std::string message =
        "'" + type_name(obj) + "' object is not an instance of '" + expected + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

namespace {

/// An interned attribute name kept for the process. Looking a method up by a
/// fresh str each time would leave a copy of the name in every slot of the
/// interpreter's method cache that the copies' addresses hash to.
PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) PyErr_Clear();
    return name;
}

}  // namespace

void add_note(const char* note) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    // The notes list lives in the exception's __dict__ under "__notes__", where
    // add_note() keeps it; it is kept there by hand because CPython 3.10 has no
    // add_note() (its tracebacks do not print notes, but code can read them).
    // Going through the dict also spares building an AttributeError for an
    // exception that has no notes yet.
    static PyObject* const key = interned("__notes__");
    Ref text = Ref::steal(PyUnicode_FromString(note));
    Ref dict = value != nullptr ? Ref::steal(PyObject_GenericGetDict(value, nullptr)) : Ref();
    if (key != nullptr && text && dict && PyDict_Check(dict.get())) {
        Ref notes = Ref::borrow(PyDict_GetItemWithError(dict.get(), key));
        if (!notes && PyErr_Occurred() == nullptr) {
            notes = Ref::steal(PyList_New(0));
            if (notes && PyDict_SetItem(dict.get(), key, notes.get()) < 0) notes.reset();
        }
        // A foreign __notes__ that is no list is left alone, as add_note() does.
        if (notes && PyList_Check(notes.get()) && PyList_Size(notes.get()) < kMaxNotes) {
            PyList_Append(notes.get(), text.get());
        }
    }
    PyErr_Clear();  // a note that cannot be added never replaces the exception
    PyErr_Restore(type, value, tb);
}

void add_field_note(const char* action, std::string_view field, std::string_view cls,
                    std::optional<std::size_t> item) {
    std::string note = "while ";
    note += action;
    note += " field '";
    note += field;
    note += "' of ";
    note += cls;
    if (item) note += " (item " + std::to_string(*item) + ")";
    add_note(note.c_str());
}

bool error_is_attribute_error() { return PyErr_ExceptionMatches(PyExc_AttributeError) != 0; }

PyObject* ensure_error() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

}  // namespace kestrix::py
