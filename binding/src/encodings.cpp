// binding/src/encodings.cpp: reader options from a document's declaration, and
// the byte tables of single-byte encodings, computed from Python's codecs.
#include "encodings.hpp"

#include <memory>
#include <string>

#include "errors.hpp"
#include "kestrix/encoding.hpp"
#include "pyref.hpp"

namespace kestrix::py {

namespace {

/// The table of a single-byte encoding from kestrix._encodings.byte_table,
/// which raises ValueError naming an encoding it cannot read.
std::shared_ptr<const ByteTable> byte_table(const std::string& name) {
    Ref module = Ref::steal(PyImport_ImportModule("kestrix._encodings"));
    if (!module) return nullptr;
    // The name is the document's bytes, which need not be UTF-8: each byte
    // becomes one character, so a name that is no encoding's is refused by
    // byte_table rather than by the decoding.
    Ref text = Ref::steal(
        PyUnicode_DecodeLatin1(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!text) return nullptr;
    Ref table = Ref::steal(PyObject_CallMethod(module.get(), "byte_table", "O", text.get()));
    if (!table) return nullptr;
    if (!PyTuple_Check(table.get()) || PyTuple_Size(table.get()) != 256) {
        PyErr_SetString(PyExc_SystemError, "byte_table() must return 256 code points");
        return nullptr;
    }
    auto out = std::make_shared<ByteTable>();
    for (Py_ssize_t i = 0; i < 256; ++i) {
        const long c = PyLong_AsLong(PyTuple_GetItem(table.get(), i));
        if (c == -1 && PyErr_Occurred()) return nullptr;
        (*out)[static_cast<std::size_t>(i)] = c < 0 || c > 0x10FFFF ? -1 : static_cast<int>(c);
    }
    return out;
}

bool follow(const std::string& name, ReaderOptions& out) {
    out.follow_declaration = true;
    if (reader_decodes(name)) return true;
    out.byte_table = byte_table(name);
    return out.byte_table != nullptr;
}

}  // namespace

bool document_reader_options(std::string_view document, ReaderOptions& out) {
    if (!needs_declared_encoding(document)) return true;
    return follow(declared_encoding(document), out);
}

bool stream_reader_options(std::string_view head, ReaderOptions& out) {
    const std::string name = declared_encoding(head);
    if (name.empty() || names_utf8(name)) return true;
    return follow(name, out);
}

PyObject* declared_encoding_of(PyObject*, PyObject* head) {
    if (!PyBytes_Check(head)) return raise_type_mismatch(head, "bytes");
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(head, &data, &size) < 0) return nullptr;
    const std::string name =
        declared_encoding(std::string_view(data, static_cast<std::size_t>(size)));
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

}  // namespace kestrix::py
