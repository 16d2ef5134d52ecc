// binding/src/class_lookup.hpp: reading attributes and metadata items of the
// Python objects a class is compiled from, with lookup failures as nulls.
#pragma once

#include "python.hpp"

#include "pyref.hpp"

namespace kestrix::py {

inline Ref attribute(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

/// Attribute `name` of `obj`, or null with the error cleared.
inline Ref attribute_or_null(PyObject* obj, const char* name) {
    Ref value = attribute(obj, name);
    if (!value) PyErr_Clear();
    return value;
}

/// Item `key` of `mapping`, or null with the error cleared (no mapping, a
/// missing key, an object that is no mapping at all).
inline Ref item_or_null(PyObject* mapping, const char* key) {
    if (mapping == nullptr) return {};
    Ref name = Ref::steal(PyUnicode_FromString(key));
    Ref value = name ? Ref::steal(PyObject_GetItem(mapping, name.get())) : Ref();
    if (!value) PyErr_Clear();
    return value;
}

}  // namespace kestrix::py
