// binding/src/iterator.cpp: the XmlIterator type returned by iterparse.
#include "entry_points.hpp"

namespace kestrix::py {

namespace {

struct IteratorObject {
    PyObject_HEAD
    void* state;
};

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* iterator_iter(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* iterator_next(PyObject*) { return nullptr; }

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "kestrix._kestrix.XmlIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* xml_iterator_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return type;
}

}  // namespace kestrix::py
