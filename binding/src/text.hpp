// binding/src/text.hpp: reading Python str objects as UTF-8 views.
#pragma once

#include "python.hpp"

#include <string_view>

namespace kestrix::py {

/// `s` as UTF-8 when it is a str; false (error cleared) otherwise. The view
/// lives as long as `s`.
inline bool utf8_of(PyObject* s, std::string_view& out) {
    if (!PyUnicode_Check(s)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

}  // namespace kestrix::py
