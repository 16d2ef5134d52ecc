// binding/src/iterator.cpp: iterparse and the XmlIterator type it returns.
#include "python.hpp"

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "build_object.hpp"
#include "compiled_class.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "kestrix/record_stream.hpp"
#include "pyref.hpp"

namespace kestrix::py {

namespace {

/// Everything an iterator owns: its reader over a private copy of the document,
/// the class it instantiates and the exclusive-use flag.
struct IteratorState {
    IteratorState(RecordStream s, std::shared_ptr<const ClassSchema> schema, Ref c)
        : stream(std::move(s)),
          record_type(TypeDesc::nested(std::move(schema))),
          cls(std::move(c)) {}

    RecordStream stream;
    TypeDesc record_type;  ///< the descriptor every record is built under
    Ref cls;
    /// 0 idle, -1 while a __next__ runs, > 0 while shared uses run. A model
    /// constructor that calls back into the same iterator finds it taken.
    std::atomic<long> borrow{0};
};

struct IteratorObject {
    PyObject_HEAD IteratorState* state;
};

IteratorState* state_of(PyObject* self) { return reinterpret_cast<IteratorObject*>(self)->state; }

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete state_of(self);  // releases the document copy, the reader and the class
    reinterpret_cast<IteratorObject*>(self)->state = nullptr;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* iterator_iter(PyObject* self) {
    IteratorState* state = state_of(self);
    if (state != nullptr) {
        long idle = state->borrow.load();
        if (idle < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return nullptr;
        }
    }
    Py_INCREF(self);
    return self;
}

/// Takes the exclusive-use flag for one __next__ and gives it back on every path.
class ExclusiveUse {
public:
    explicit ExclusiveUse(std::atomic<long>& flag) : flag_(flag) {
        long idle = 0;
        taken_ = flag_.compare_exchange_strong(idle, -1);
    }
    ~ExclusiveUse() {
        if (taken_) flag_.store(0);
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    bool taken() const { return taken_; }

private:
    std::atomic<long>& flag_;
    bool taken_;
};

PyObject* iterator_next(PyObject* self) {
    IteratorState* state = state_of(self);
    if (state == nullptr) {
        PyErr_SetString(PyExc_TypeError, "XmlIterator objects are created only by iterparse()");
        return nullptr;
    }
    ExclusiveUse use(state->borrow);
    if (!use.taken()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    Result<Value> record = state->stream.next();
    if (!record) return raise_bind_error(record.error());
    if (record.value().is_absent()) return nullptr;  // StopIteration
    return build_object(record.value(), state->record_type, state->cls.get(), nullptr);
}

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
    // Instances come only from iterparse; the type holds no references that
    // could form cycles, so it stays out of the cyclic collector.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* xml_iterator_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return type;
}

PyObject* create_iterator(const char* data, std::size_t size, PyObject* target_type,
                          PyObject* tag) {
    std::string tag_text;
    if (tag != nullptr) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(tag, &length);
        if (utf8 == nullptr) return nullptr;
        tag_text.assign(utf8, static_cast<std::size_t>(length));
    }
    // The class is compiled before any of the document is read.
    const CompiledClass* compiled = compile_class(target_type);
    if (compiled == nullptr) return nullptr;
    // By default the records are the elements the class is written as: its
    // declared element name (or class name), in its declared namespace if any.
    if (tag == nullptr) {
        const ClassSchema& schema = *compiled->schema;
        tag_text = schema.ns ? "{" + *schema.ns + "}" + schema.root_name() : schema.root_name();
    }

    PyObject* type = xml_iterator_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    Ref self = Ref::steal(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (!self) return nullptr;
    std::shared_ptr<const ClassSchema> schema = compiled->schema;
    reinterpret_cast<IteratorObject*>(self.get())->state = new IteratorState(
        RecordStream(std::string(data, size), schema, std::move(tag_text), MAX_DEPTH), schema,
        Ref::borrow(target_type));
    return self.release();
}

}  // namespace kestrix::py
