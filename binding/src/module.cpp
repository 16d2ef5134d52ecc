// binding/src/module.cpp: the module _kestrix, its function table and the
// argument handling of every entry point.
#include "python.hpp"

#include <cstdint>
#include <optional>

#include "arguments.hpp"
#include "encodings.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace kestrix::py {
namespace {

// The fast-call signature is spelled differently across 3.10-3.13 headers.
using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kFastCallKeywords = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;  // 0xA2
constexpr int kNoArgs = METH_NOARGS | METH_STATIC;                              // 0x24

const char* const kDeserializeNames[] = {"source", "target_type", "strict"};
const char* const kIterparseNames[] = {"source", "target_type", "tag", "strict"};
const char* const kSerializeNames[] = {"obj", "indent"};

// `strict` is keyword-only.
const Signature kDeserialize{"deserialize", kDeserializeNames, 3, 2, 2};
const Signature kIterparse{"iterparse", kIterparseNames, 4, 2, 3};
const Signature kSerialize{"serialize", kSerializeNames, 2, 1};

// The widest indentation step accepted: beyond it, deep documents would spend
// their memory on spaces.
constexpr unsigned long long kMaxIndent = 1024;

// A TypeError from converting a parameter, reworded to name the parameter.
PyObject* raise_argument_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (!text) {
        Py_XDECREF(value);
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, text.get());
    Py_XDECREF(value);
    return nullptr;
}

// The `strict` argument: None (absent) or a bool. False with TypeError set.
bool parse_strict(PyObject* given, bool& strict) {
    if (given == nullptr || given == Py_None) return true;
    if (!PyBool_Check(given)) {
        PyErr_Format(PyExc_TypeError, "argument 'strict' must be a bool, not %s",
                     type_name(given).c_str());
        return false;
    }
    strict = given == Py_True;
    return true;
}

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_arguments(kDeserialize, args, nargs, kwnames, a)) return nullptr;
    const char* data = nullptr;
    std::size_t size = 0;
    if (!source_bytes(a[0], &data, &size)) return nullptr;
    if (!check_target_type(a[1])) return nullptr;
    bool strict = false;
    if (!parse_strict(a[2], strict)) return nullptr;
    return deserialize_document(data, size, a[1], strict);
}

PyObject* iterparse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!parse_arguments(kIterparse, args, nargs, kwnames, a)) return nullptr;
    const char* data = nullptr;
    std::size_t size = 0;
    if (!source_bytes(a[0], &data, &size)) return nullptr;
    if (!check_record_types(a[1], a[2])) return nullptr;
    PyObject* tag = a[2] == Py_None ? nullptr : a[2];
    bool strict = false;
    if (!parse_strict(a[3], strict)) return nullptr;
    return create_iterator(data, size, a[1], tag, strict);
}

}  // namespace

bool parse_indent(PyObject* given, std::optional<std::uint64_t>& indent) {
    if (given == nullptr || given == Py_None) return true;
    Ref number = Ref::steal(PyNumber_Index(given));
    if (!number) {
        raise_argument_error("indent");
        return false;
    }
    unsigned long long step = PyLong_AsUnsignedLongLong(number.get());
    if (step == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (step > kMaxIndent) {
        PyErr_Format(PyExc_ValueError, "indent must be at most %d, got %llu", int(kMaxIndent),
                     step);
        return false;
    }
    indent = step;
    return true;
}

namespace {

PyObject* serialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_arguments(kSerialize, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::uint64_t> indent;
    if (!parse_indent(a[1], indent)) return nullptr;
    return serialize_object(a[0], indent);
}

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(KESTRIX_VERSION); }

PyMethodDef kFunctions[] = {
    {"deserialize", as_cfunction(static_cast<FastCallKw>(deserialize)), kFastCallKeywords,
     "deserialize(source, target_type, *, strict=False)\n--\n\n"},
    {"iterparse", as_cfunction(static_cast<FastCallKw>(iterparse)), kFastCallKeywords,
     "iterparse(source, target_type, tag=None, *, strict=False)\n--\n\n"},
    {"serialize", as_cfunction(static_cast<FastCallKw>(serialize)), kFastCallKeywords,
     "serialize(obj, indent=None)\n--\n\n"},
    {"version", version, kNoArgs, "version()\n--\n\n"},
    {"_schema_description", schema_description, METH_O, kSchemaDescriptionDoc},
    {"_iterstream", create_stream_iterator, METH_VARARGS,
     "_iterstream(read, target_type, tag=None, close=None, follow_declaration=None, "
     "strict=False)\n--\n\n"
     "Records read from a stream in bounded chunks (behind kestrix.iterload)."},
    {"_serialize_with", serialize_with, METH_VARARGS,
     "_serialize_with(obj, indent, short_empty_elements, encodable)\n--\n\n"
     "serialize with the writing options (behind kestrix.serialize's keywords)."},
    {"_write_records", write_records, METH_VARARGS,
     "_write_records(records, write, root, attributes, indent, short_empty_elements, "
     "encodable, chunk_size)\n--\n\n"
     "Records written inside a root element in chunks (behind kestrix.dump_records)."},
    {"_declared_encoding", declared_encoding_of, METH_O,
     "_declared_encoding(head)\n--\n\n"
     "The encoding a document's first bytes name, or '' for none (UTF-8)."},
    {nullptr, nullptr, 0, nullptr},
};

int add_object(PyObject* module, const char* name, PyObject* value) {
    // PyModule_AddObject steals only on success.
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_XDECREF(value);
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError,
                        "module exec slot received an object that is not a module");
        return -1;
    }
    PyObject* iterator_type = xml_iterator_type();
    if (iterator_type == nullptr) return -1;
    Py_INCREF(iterator_type);
    if (add_object(module, "XmlIterator", iterator_type) < 0) return -1;

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def = kFunctions; def->ml_name != nullptr; ++def) {
        PyObject* function = PyCFunction_NewEx(def, module, module_name.get());
        if (function == nullptr) return -1;
        if (add_object(module, def->ml_name, function) < 0) return -1;
    }

    PyObject* panic = panic_exception_type();
    if (panic == nullptr) return -1;
    Py_INCREF(panic);
    return add_object(module, "PanicException", panic);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_kestrix",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods: the exec slot adds the functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrix::py

PyMODINIT_FUNC PyInit__kestrix(void) { return PyModuleDef_Init(&kestrix::py::kModule); }
