// binding/src/errors.cpp: Python exceptions of the binding layer.
#include "errors.hpp"

#include <string>

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

void append_note(PyObject* exception, const char* note) {
    Ref text = Ref::steal(PyUnicode_FromString(note));
    Ref notes = Ref::steal(PyObject_GetAttrString(exception, "__notes__"));
    if (!notes) {
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (notes && PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) notes.reset();
    }
    if (!text || !notes || !PyList_Check(notes.get()) ||
        PyList_Append(notes.get(), text.get()) < 0) {
        PyErr_Clear();  // the exception is kept without the note
    }
}

}  // namespace

void add_note(const char* note) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        Ref result = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note));
        if (!result) {
            // Before Python 3.11 exceptions have no add_note: the note goes
            // into __notes__ directly, where 3.11's traceback display and
            // code written for notes look for it.
            PyErr_Clear();
            append_note(value, note);
        }
    }
    PyErr_Restore(type, value, tb);
}

bool error_is_attribute_error() { return PyErr_ExceptionMatches(PyExc_AttributeError) != 0; }

PyObject* ensure_error() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

}  // namespace kestrix::py
