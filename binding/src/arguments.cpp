// binding/src/arguments.cpp: our own parsing of fast-call arguments.
#include "arguments.hpp"

#include <string>

#include "errors.hpp"

namespace kestrix::py {

namespace {

PyObject* type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

bool unicode_equals(PyObject* s, const char* name) {
    return PyUnicode_CompareWithASCIIString(s, name) == 0;
}

void report_missing(const Signature& sig, PyObject** out) {
    std::string names;
    int missing = 0;
    std::string listed[8];
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr && missing < 8)
            listed[missing++] = std::string("'") + sig.names[i] + "'";
    }
    for (int i = 0; i < missing; ++i) {
        if (i > 0) names += (i == missing - 1) ? (missing > 2 ? ", and " : " and ") : ", ";
        names += listed[i];
    }
    type_error(std::string(sig.function) + "() missing " + std::to_string(missing) +
               " required positional argument" + (missing == 1 ? "" : "s") + ": " + names);
}

}  // namespace

bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    const int positional = sig.positional < 0 ? sig.count : sig.positional;
    if (nargs > positional) {
        std::string takes = sig.required == positional ? std::to_string(positional)
                                                       : "from " + std::to_string(sig.required) +
                                                             " to " + std::to_string(positional);
        type_error(std::string(sig.function) + "() takes " + takes + " positional arguments but " +
                   std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (key == nullptr) return false;
        int index = -1;
        for (int i = 0; i < sig.count; ++i) {
            if (unicode_equals(key, sig.names[i])) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            if (text == nullptr) return false;
            type_error(std::string(sig.function) + "() got an unexpected keyword argument '" +
                       std::string(text, static_cast<std::size_t>(size)) + "'");
            return false;
        }
        if (out[index] != nullptr) {
            type_error(std::string(sig.function) + "() got multiple values for argument '" +
                       sig.names[index] + "'");
            return false;
        }
        out[index] = args[nargs + k];
    }

    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            report_missing(sig, out);
            return false;
        }
    }
    return true;
}

bool source_bytes(PyObject* source, const char** data, std::size_t* size) {
    if (!PyType_HasFeature(Py_TYPE(source), Py_TPFLAGS_BYTES_SUBCLASS)) {
        raise_type_mismatch(source, "bytes");
        add_note("while processing 'source'");
        return false;
    }
    char* buffer = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(source, &buffer, &length) < 0) return false;
    *data = buffer;
    *size = static_cast<std::size_t>(length);
    return true;
}

bool check_target_type(PyObject* target_type) {
    if (!PyType_HasFeature(Py_TYPE(target_type), Py_TPFLAGS_TYPE_SUBCLASS)) {
        raise_type_mismatch(target_type, "type");
        add_note("while processing 'target_type'");
        return false;
    }
    return true;
}

namespace {

bool check_tag(PyObject* tag) {
    if (tag == nullptr || tag == Py_None || PyUnicode_Check(tag)) return true;
    raise_type_mismatch(tag, "str");
    add_note("while processing 'tag'");
    return false;
}

}  // namespace

bool check_record_types(PyObject* target_type, PyObject* tag) {
    if (!PyTuple_Check(target_type)) return check_target_type(target_type) && check_tag(tag);
    const Py_ssize_t count = PyTuple_Size(target_type);
    if (count == 0) {
        PyErr_SetString(PyExc_TypeError, "target_type must name at least one class");
        add_note("while processing 'target_type'");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!check_target_type(PyTuple_GetItem(target_type, i))) return false;
    }
    if (tag == nullptr || !PyTuple_Check(tag)) return check_tag(tag);
    if (PyTuple_Size(tag) != count) {
        PyErr_Format(PyExc_ValueError, "tag gives %zd tags for %zd classes", PyTuple_Size(tag),
                     count);
        add_note("while processing 'tag'");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!check_tag(PyTuple_GetItem(tag, i))) return false;
    }
    return true;
}

}  // namespace kestrix::py
