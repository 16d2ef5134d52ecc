// binding/src/placeholders.cpp: entry points whose work is not built yet.
#include "entry_points.hpp"

namespace kestrix::py {

namespace {
PyObject* not_implemented(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", what);
    return nullptr;
}
}  // namespace

PyObject* create_iterator(const char*, std::size_t, PyObject*, PyObject*) {
    return not_implemented("iterparse");
}

}  // namespace kestrix::py
