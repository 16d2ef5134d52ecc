// binding/src/write_options.cpp: the writing options of serialize and the
// record writer, read from their Python arguments.
#include "write_options.hpp"

#include <cstdint>
#include <optional>

#include "entry_points.hpp"
#include "pyref.hpp"

namespace kestrix::py {

bool read_write_options(PyObject* indent, PyObject* short_empty, PyObject* encodable,
                        OwnedWriteOptions& out) {
    if (!parse_indent(indent, out.options.indent)) return false;
    const int truth = PyObject_IsTrue(short_empty);
    if (truth < 0) return false;
    out.options.short_empty_elements = truth > 0;
    if (encodable == Py_None) return true;
    Ref iterator = Ref::steal(PyObject_GetIter(encodable));
    if (!iterator) return false;
    out.encodable = std::make_unique<EncodableSet>();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        const long code = PyLong_AsLong(item.get());
        if (code == -1 && PyErr_Occurred()) return false;
        if (code >= 0) out.encodable->add(static_cast<char32_t>(code));
    }
    if (PyErr_Occurred() != nullptr) return false;
    out.options.encodable = out.encodable.get();
    return true;
}

}  // namespace kestrix::py
