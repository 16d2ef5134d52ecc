// binding/src/entry_points.hpp: what each module function does once its
// arguments are checked. module.cpp parses arguments and calls these.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrix::py {

/// deserialize: bytes read in place, a checked type, strict reading or not
/// (see ReaderOptions::strict). New reference or null.
PyObject* deserialize_document(const char* data, std::size_t size, PyObject* target_type,
                               bool strict = false);

/// serialize: `indent` absent for one-line output. New `bytes` or null.
PyObject* serialize_object(PyObject* obj, std::optional<std::uint64_t> indent);

/// The `indent` argument of the writing functions: None (absent) or an
/// integer from 0 to 1024. False with TypeError, OverflowError or ValueError set.
bool parse_indent(PyObject* given, std::optional<std::uint64_t>& indent);

/// _serialize_with(obj, indent, short_empty_elements, encodable): serialize
/// with the writing options; `encodable` is None (every character) or a
/// sequence of the code points the output encoding carries beyond ASCII.
/// New `bytes` or null.
PyObject* serialize_with(PyObject* module, PyObject* args);

/// _write_records(records, write, root, attributes, indent,
/// short_empty_elements, encodable, chunk_size): writes each object of the
/// iterable `records` inside the element `root` (a str) with `attributes` (a
/// sequence of (name, value) str pairs), passing `bytes` of about
/// `chunk_size` to `write` as they fill. Returns the number of records as an
/// int, or null.
PyObject* write_records(PyObject* module, PyObject* args);

/// iterparse: `tag` is a str or null (the class's name). New XmlIterator or null.
PyObject* create_iterator(const char* data, std::size_t size, PyObject* target_type, PyObject* tag,
                          bool strict = false);

/// _iterstream(read, target_type, tag=None, close=None, follow_declaration=None,
/// strict=False):
/// an XmlIterator over the bytes that read(n) returns, read in bounded chunks.
/// `close` is called once when the records end or the iterator goes;
/// `follow_declaration` None decodes as the stream declares, False as UTF-8,
/// True as declared. New reference or null.
PyObject* create_stream_iterator(PyObject* module, PyObject* args);

/// _schema_description(cls): a private debugging aid that compiles `cls` and
/// describes its schema as plain Python data (dicts, lists, str). New reference.
PyObject* schema_description(PyObject* module, PyObject* cls);
/// Its docstring.
extern const char kSchemaDescriptionDoc[];

/// The XmlIterator type, created once per process. Borrowed; null with an error
/// set if it cannot be created.
PyObject* xml_iterator_type();

}  // namespace kestrix::py
