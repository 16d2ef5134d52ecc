// binding/src/iterator.cpp: iterparse and the XmlIterator type it returns.
#include "python.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "build_object.hpp"
#include "collector_pause.hpp"
#include "compiled_class.hpp"
#include "element_notes.hpp"
#include "encodings.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "kestrix/record_stream.hpp"
#include "model_checks.hpp"
#include "pyref.hpp"
#include "released_lock.hpp"

namespace kestrix::py {

namespace {

/// Bytes asked of a stream's read() per call.
constexpr Py_ssize_t READ_SIZE = 256 * 1024;
/// Bytes gathered before a stream's encoding is judged from its declaration.
constexpr std::size_t HEAD_SIZE = 512;
/// The scan runs ahead of the records handed out, with the interpreter lock
/// released, by batches of at most this many outcomes or this much input,
/// whichever comes first: one release (and one wait to get the lock back
/// while other threads run Python, up to a switch interval) per batch rather
/// than per record. A batch of 1 MiB takes 10 to 20 ms to scan, well above
/// that wait; the records it holds, each in memory of its own (8 KiB at
/// least), stay bounded.
constexpr std::size_t BATCH_RECORDS = 1024;
constexpr std::uint64_t BATCH_BYTES = 1024 * 1024;

/// The input of an iterator that reads a stream: its read() and close(), and
/// the bytes fed last, kept alive until the reader has taken them.
struct StreamSource {
    Ref read;
    Ref close;            ///< called once, at the end or when the iterator goes; may be null
    int follow = -1;      ///< -1: as the stream declares; 0: UTF-8; 1: as declared
    bool strict = false;  ///< see ReaderOptions::strict
    std::string head;     ///< the first bytes, until the reader has taken them
    Ref chunk;            ///< the bytes object fed last
};

/// Everything an iterator owns: its reader (over a private copy of the
/// document, or fed from a stream), the class it instantiates and the
/// exclusive-use flag.
struct IteratorState {
    IteratorState(std::shared_ptr<const ClassSchema> s, std::string t, Ref c)
        : schema(s),
          tag(std::move(t)),
          record_type(TypeDesc::nested(std::move(s))),
          cls(std::move(c)) {}

    /// A further kind of record, when the iterator reads several classes.
    struct OtherKind {
        std::string tag;
        TypeDesc record_type;
        Ref cls;
    };

    /// The kinds of record the stream reads, the first one's first.
    std::vector<RecordStream::Kind> kinds() const {
        std::vector<RecordStream::Kind> all{{schema, tag}};
        for (const OtherKind& other : others)
            all.push_back({other.record_type.schema_ref(), other.tag});
        return all;
    }

    std::shared_ptr<const ClassSchema> schema;
    std::string tag;
    /// The kinds after the first (empty for one class).
    std::vector<OtherKind> others;
    /// Created at once for a document in memory, at the first __next__ for a stream.
    std::optional<RecordStream> stream;
    std::optional<StreamSource> source;
    /// How the held document is decoded, to look an element up again in it.
    ReaderOptions options;
    /// Outcomes handed out (records and per-record errors): none by the end
    /// means the tag found nothing, which a warning says once.
    std::uint64_t handed_out = 0;
    bool warned = false;
    TypeDesc record_type;  ///< the descriptor every record is built under
    Ref cls;
    /// Outcomes scanned and not yet handed out, in document order: records,
    /// per-record errors, and last the end (an absent Value) or a reader error.
    std::deque<Result<ValueTree>> ahead;
    /// Bytes the reader holds to scan: the whole document, or the chunk fed
    /// last. The lock is released for a scan only when they are many enough
    /// to outweigh a wait for the lock (see RELEASE_LOCK_FROM).
    std::size_t input_size = 0;
    /// 0 idle, -1 while a __next__ (or the collector's finalize) runs, > 0
    /// while shared uses run. A model constructor that calls back into the
    /// same iterator finds it taken.
    std::atomic<long> borrow{0};
};

/// Calls the source's close() once. False with the error of close() set.
bool close_source(StreamSource& source) {
    Ref close = std::move(source.close);
    source.read.reset();
    if (!close || close.get() == Py_None) return true;
    Ref result = Ref::steal(PyObject_CallNoArgs(close.get()));
    return static_cast<bool>(result);
}

/// One read() of the source as a bytes object. Null with an error set.
Ref read_chunk(StreamSource& source) {
    if (!source.read) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));  // closed
    Ref data = Ref::steal(PyObject_CallFunction(source.read.get(), "n", READ_SIZE));
    if (!data || PyBytes_Check(data.get())) return data;
    if (PyUnicode_Check(data.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "the source was read as str: open the file in binary mode ('rb')");
        return Ref();
    }
    Ref bytes = Ref::steal(PyBytes_FromObject(data.get()));
    if (!bytes) {
        PyErr_Clear();
        raise_type_mismatch(data.get(), "bytes");
        add_note("while reading the source: read() must return bytes");
    }
    return bytes;
}

std::string_view view_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return {};
    return std::string_view(data, static_cast<std::size_t>(size));
}

/// The first __next__ of a stream: gathers its first bytes, judges its
/// encoding from them and feeds them to a new reader. False with an error set.
bool start_stream(IteratorState& state) {
    StreamSource& source = *state.source;
    bool ended = false;
    while (!ended && source.head.size() < HEAD_SIZE) {
        Ref chunk = read_chunk(source);
        if (!chunk) return false;
        const std::string_view bytes = view_of(chunk.get());
        ended = bytes.empty();
        source.head.append(bytes);
    }
    ReaderOptions options;
    if (source.follow != 0 && !stream_reader_options(source.head, options)) {
        // An encoding that cannot be read is raised once: with nothing more
        // to read, the next __next__ finds the stream at its end and stops,
        // rather than raise the same error again forever to a caller that
        // goes on after a failed record.
        source.read.reset();
        std::string().swap(source.head);
        return false;
    }
    options.strict = source.strict;
    state.stream.emplace(state.kinds(), MAX_DEPTH, options);
    state.stream->feed(source.head, ended);
    state.input_size = source.head.size();
    return true;
}

/// The object of one record, built with the collector paused; the record's
/// memory then goes back to the stream for a later record.
PyObject* build_record(IteratorState& state, ValueTree&& record) {
    const TypeDesc* type = &state.record_type;
    PyObject* cls = state.cls.get();
    if (!state.others.empty() && record.root.kind() == Value::Kind::Object &&
        record.root.as_object().schema != &state.record_type.schema()) {
        // Several kinds: the record's schema says which class it is.
        const ClassSchema* schema = record.root.as_object().schema;
        for (const IteratorState::OtherKind& other : state.others) {
            if (schema == &other.record_type.schema()) {
                type = &other.record_type;
                cls = other.cls.get();
                break;
            }
        }
    }
    PyObject* built = nullptr;
    {
        const CollectorPause pause;
        const DocumentScope scope(state.stream->held_document(), state.stream->held_options());
        built = build_object(record.root, *type, cls, nullptr);
    }
    state.stream->recycle(std::move(record));
    return built;
}

/// Scans on, without the interpreter lock when the iterator allows, until a
/// batch of outcomes is queued or the stream ends or needs input. Touches
/// only the reader, whose input stays alive and unchanged meanwhile (the
/// iterator's own copy, or the chunk it holds), and the read-only schema.
void scan_ahead(IteratorState& state) {
    const ReleasedLock released(state.input_size);
    const std::uint64_t start = state.stream->bytes_read();
    while (state.ahead.size() < BATCH_RECORDS && state.stream->bytes_read() - start < BATCH_BYTES) {
        Result<ValueTree> outcome = state.stream->next();
        const bool last = outcome && outcome.value().root.is_absent();
        state.ahead.push_back(std::move(outcome));
        if (last) break;
    }
}

/// The end of the records: StopIteration (null, no error), after a warning
/// when the iteration handed out nothing at all. Null with an error set when
/// that warning is raised as an error.
PyObject* end_of_records(IteratorState& state) {
    if (state.handed_out > 0 || state.warned || PyErr_Occurred() != nullptr) return nullptr;
    state.warned = true;
    const std::vector<std::string> none;
    std::string tags = state.tag;
    for (const IteratorState::OtherKind& other : state.others) tags += "> or <" + other.tag;
    warn_no_records(state.cls.get(), tags,
                    state.stream ? state.stream->names_before_record() : none);
    return nullptr;
}

/// __next__: the next outcome scanned, reading on from a stream when the
/// reader has used up its input and every outcome before is handed out.
PyObject* next_record(IteratorState& state) {
    if (state.source && !state.stream && !start_stream(state)) {
        ++state.handed_out;  // the stream's error stands for its records
        return nullptr;
    }
    while (true) {
        if (state.ahead.empty()) scan_ahead(state);
        Result<ValueTree> outcome = std::move(state.ahead.front());
        state.ahead.pop_front();
        if (!outcome) {
            ++state.handed_out;
            return raise_bind_error(outcome.error());
        }
        if (!outcome.value().root.is_absent()) {
            ++state.handed_out;
            return build_record(state, std::move(outcome).value());
        }
        if (!state.source) return end_of_records(state);  // StopIteration
        StreamSource& source = *state.source;
        if (!state.stream->needs_input()) {
            if (!close_source(source)) return nullptr;  // the error of close()
            return end_of_records(state);               // StopIteration
        }
        Ref chunk = read_chunk(source);
        if (!chunk) return nullptr;
        source.chunk = std::move(chunk);
        std::string().swap(source.head);  // the reader has taken it
        const std::string_view bytes = view_of(source.chunk.get());
        state.stream->feed(bytes, bytes.empty());
        state.input_size = bytes.size();
    }
}

struct IteratorObject {
    PyObject_HEAD IteratorState* state;
};

IteratorState* state_of(PyObject* self) { return reinterpret_cast<IteratorObject*>(self)->state; }

/// Takes the exclusive-use flag for one __next__ (or for the collector's
/// finalize or clear) and gives it back on every path.
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

/// Calls the source's close() once, reporting a failure as unraisable; the
/// error set on entry, if any, is kept.
void close_quietly(PyObject* self, StreamSource& source) {
    SavedError saved;
    if (!close_source(source)) PyErr_WriteUnraisable(self);
    saved.restore();
}

/// Detaches the state from the iterator before freeing it, so that Python
/// code run by the references it releases finds the iterator empty.
void release_state(PyObject* self) {
    IteratorState* state = std::exchange(reinterpret_cast<IteratorObject*>(self)->state, nullptr);
    delete state;  // the reader and the document copy, then the Python references
}

// The iterator holds Python references that may lead back to it: the source's
// read() and close() (the bound methods of a file that user code can reach
// the iterator from), the chunk fed last and the class. The records queued
// ahead are plain values that hold none. The collector sees these through
// traverse, runs finalize on a cycle that became garbage (closing the source
// as dealloc would, while everything in the cycle is still intact) and then
// clear, which drops them. A scan ahead that runs with the lock released
// touches only the reader and the queue, never these references, and both
// only ever change with the lock held; a __next__ in progress has its caller's
// reference, so its iterator is never garbage, and finalize and clear leave a
// busy iterator alone all the same.

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of a heap type hold their type
    const IteratorState* state = state_of(self);
    if (state == nullptr) return 0;
    Py_VISIT(state->cls.get());
    for (const IteratorState::OtherKind& other : state->others) Py_VISIT(other.cls.get());
    if (state->source) {
        Py_VISIT(state->source->read.get());
        Py_VISIT(state->source->close.get());
        Py_VISIT(state->source->chunk.get());
    }
    return 0;
}

void iterator_finalize(PyObject* self) {
    IteratorState* state = state_of(self);
    if (state == nullptr || !state->source) return;
    ExclusiveUse use(state->borrow);
    if (use.taken()) close_quietly(self, *state->source);
}

int iterator_clear(PyObject* self) {
    IteratorState* state = state_of(self);
    if (state == nullptr) return 0;
    {
        ExclusiveUse use(state->borrow);
        if (!use.taken()) return 0;
    }
    // The reader goes with the chunk it reads from: the whole state is released.
    release_state(self);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    IteratorState* state = state_of(self);
    if (state != nullptr && state->source) close_quietly(self, *state->source);
    release_state(self);
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
    return next_record(*state);
}

// XmlIterator[Line] in annotations evaluated at run time, as the stubs
// declare the class generic.
PyMethodDef kMethods[] = {
    {"__class_getitem__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Py_GenericAlias)),
     METH_O | METH_CLASS, PyDoc_STR("See PEP 585.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(iterator_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "kestrix._kestrix.XmlIterator",
    sizeof(IteratorObject),
    0,
    // Instances come only from iterparse; the collector tracks them, as the
    // references they hold may form cycles.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* xml_iterator_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return type;
}

namespace {

/// The compiled class of one kind of record and its tag: `tag` (a str), else
/// the element the class is written as: its declared element name (or class
/// name), in its declared namespace if any. Null with an error set.
const CompiledClass* record_kind(PyObject* cls, PyObject* tag, std::string& tag_text) {
    // The class is compiled before any of the document is read.
    const CompiledClass* compiled = compile_class(cls);
    if (compiled == nullptr) return nullptr;
    if (tag != nullptr && tag != Py_None) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(tag, &length);
        if (utf8 == nullptr) return nullptr;
        tag_text.assign(utf8, static_cast<std::size_t>(length));
        return compiled;
    }
    const ClassSchema& schema = *compiled->schema;
    tag_text = schema.ns ? "{" + *schema.ns + "}" + schema.root_name() : schema.root_name();
    return compiled;
}

/// A new XmlIterator over `target_type` (a class, or a tuple of classes with
/// `tag` a tuple of as many tags or one tag for all) compiled, holding
/// `state` once made. Null with an error set.
PyObject* new_iterator(PyObject* target_type, PyObject* tag, IteratorState** state) {
    const bool several = PyTuple_Check(target_type);
    const Py_ssize_t count = several ? PyTuple_Size(target_type) : 1;
    const auto class_at = [&](Py_ssize_t i) {
        return several ? PyTuple_GetItem(target_type, i) : target_type;
    };
    const auto tag_at = [&](Py_ssize_t i) {
        return tag != nullptr && PyTuple_Check(tag) ? PyTuple_GetItem(tag, i) : tag;
    };
    std::string first_tag;
    const CompiledClass* first = record_kind(class_at(0), tag_at(0), first_tag);
    if (first == nullptr) return nullptr;
    std::vector<IteratorState::OtherKind> others;
    for (Py_ssize_t i = 1; i < count; ++i) {
        std::string other_tag;
        const CompiledClass* compiled = record_kind(class_at(i), tag_at(i), other_tag);
        if (compiled == nullptr) return nullptr;
        others.push_back(
            {std::move(other_tag), TypeDesc::nested(compiled->schema), Ref::borrow(class_at(i))});
    }

    PyObject* type = xml_iterator_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (self == nullptr) return nullptr;
    *state = new IteratorState(first->schema, std::move(first_tag), Ref::borrow(class_at(0)));
    (*state)->others = std::move(others);
    reinterpret_cast<IteratorObject*>(self)->state = *state;
    return self;
}

}  // namespace

PyObject* create_iterator(const char* data, std::size_t size, PyObject* target_type, PyObject* tag,
                          bool strict) {
    IteratorState* state = nullptr;
    Ref self = Ref::steal(new_iterator(target_type, tag, &state));
    if (!self) return nullptr;
    std::string document(data, size);
    ReaderOptions options;
    if (!document_reader_options(document, options)) return nullptr;
    options.strict = strict;
    state->options = options;
    state->stream.emplace(std::move(document), state->kinds(), MAX_DEPTH, options);
    state->input_size = size;
    return self.release();
}

PyObject* create_stream_iterator(PyObject*, PyObject* args) {
    PyObject *read = nullptr, *target_type = nullptr, *tag = Py_None, *close = Py_None;
    PyObject* follow = Py_None;
    int strict = 0;
    if (!PyArg_ParseTuple(args, "OO|OOOp:_iterstream", &read, &target_type, &tag, &close, &follow,
                          &strict)) {
        return nullptr;
    }
    if (!check_record_types(target_type, tag)) return nullptr;
    IteratorState* state = nullptr;
    Ref self = Ref::steal(new_iterator(target_type, tag == Py_None ? nullptr : tag, &state));
    if (!self) return nullptr;
    StreamSource& source = state->source.emplace();
    source.read = Ref::borrow(read);
    source.close = Ref::borrow(close);
    source.follow = follow == Py_None ? -1 : PyObject_IsTrue(follow) ? 1 : 0;
    source.strict = strict != 0;
    return self.release();
}

}  // namespace kestrix::py
