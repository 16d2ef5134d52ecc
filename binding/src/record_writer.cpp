// binding/src/record_writer.cpp: _write_records, a stream of model instances
// written inside one root element, handed to a write callable chunk by chunk.
#include "python.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "compiled_class.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "kestrix/arena.hpp"
#include "kestrix/emitter.hpp"
#include "pyref.hpp"
#include "text.hpp"
#include "walker.hpp"
#include "write_options.hpp"

namespace kestrix::py {

namespace {

/// The root element and the chunks of one stream of records.
class RecordStreamWriter {
public:
    RecordStreamWriter(PyObject* write, const WriteOptions& options, std::size_t chunk)
        : write_(write), writer_(options), chunk_(chunk) {}

    /// Writes the root's start tag with its attributes (a sequence of
    /// (name, value) str pairs).
    bool open(std::string_view root, PyObject* attributes) {
        root_ = root;
        writer_.open_start_tag(root_);
        Ref pairs = Ref::steal(PySequence_Fast(attributes, "attributes must be a sequence"));
        if (!pairs) return false;
        const Py_ssize_t count = PySequence_Size(pairs.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref pair = Ref::steal(PySequence_GetItem(pairs.get(), i));
            if (!pair) return false;
            PyObject *name = nullptr, *value = nullptr;
            if (!PyArg_ParseTuple(pair.get(), "UU:attributes", &name, &value)) return false;
            std::string_view name_text, value_text;
            if (!utf8_of(name, name_text) || !utf8_of(value, value_text)) {
                PyErr_Format(PyExc_ValueError,
                             "attribute %R of the root element cannot be encoded as UTF-8", name);
                return false;
            }
            if (!writer_.attribute(name_text, value_text)) {
                PyErr_Format(PyExc_ValueError,
                             "character U+%04X in the value of attribute %R of the root element "
                             "cannot be written in XML 1.0",
                             static_cast<unsigned>(writer_.rejected()), name);
                return false;
            }
        }
        writer_.close_start_tag();
        return true;
    }

    /// Writes one record: the instance `obj` as its class's element.
    bool record(PyObject* obj) {
        const CompiledClass* compiled = compile_class(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        if (compiled == nullptr) {
            ensure_error();
            return false;
        }
        const ClassSchema& schema = *compiled->schema;
        arena_.reset();
        std::optional<Value> value = object_to_value(obj, schema, arena_);
        if (!value) return false;
        Status s = write_root(writer_, schema.root_name(), *value, schema);
        if (!s) {
            raise_bind_error(s.error());
            return false;
        }
        return writer_.written().size() < chunk_ || flush();
    }

    /// Writes the root's end tag and whatever is left.
    bool close() {
        writer_.end_tag(root_);
        return flush();
    }

private:
    bool flush() {
        const std::string_view text = writer_.written();
        if (text.empty()) return true;
        Ref bytes = Ref::steal(
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!bytes) return false;
        writer_.clear();
        return static_cast<bool>(
            Ref::steal(PyObject_CallFunctionObjArgs(write_, bytes.get(), nullptr)));
    }

    PyObject* write_;
    XmlWriter writer_;
    std::size_t chunk_;
    std::string root_;
    Arena arena_;
};

}  // namespace

PyObject* write_records(PyObject*, PyObject* args) {
    PyObject *records = nullptr, *write = nullptr, *root = nullptr, *attributes = nullptr;
    PyObject *indent = nullptr, *short_empty = nullptr, *encodable = nullptr;
    Py_ssize_t chunk = 0;
    if (!PyArg_ParseTuple(args, "OOUOOOOn:_write_records", &records, &write, &root, &attributes,
                          &indent, &short_empty, &encodable, &chunk)) {
        return nullptr;
    }
    OwnedWriteOptions options;
    if (!read_write_options(indent, short_empty, encodable, options)) return nullptr;
    std::string_view root_name;
    if (!utf8_of(root, root_name)) {
        PyErr_SetString(PyExc_ValueError, "the root name cannot be encoded as UTF-8");
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(records));
    if (!iterator) return nullptr;
    RecordStreamWriter stream(write, options.options, chunk > 0 ? std::size_t(chunk) : 1);
    if (!stream.open(root_name, attributes)) return nullptr;
    std::uint64_t count = 0;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!stream.record(item.get())) {
            char note[64];
            std::snprintf(note, sizeof note, "while writing record %llu",
                          static_cast<unsigned long long>(count));
            add_note(note);
            return nullptr;
        }
        ++count;
    }
    if (PyErr_Occurred() != nullptr || !stream.close()) return nullptr;
    return PyLong_FromUnsignedLongLong(count);
}

}  // namespace kestrix::py
