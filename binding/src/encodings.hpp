// binding/src/encodings.hpp: how a document's bytes are decoded, decided before reading.
#pragma once

#include "python.hpp"

#include <string_view>

#include "kestrix/reader_options.hpp"

namespace kestrix::py {

/// Reader options for a document held whole in memory: UTF-8 whatever it
/// declares, unless it names another encoding and UTF-8 cannot read its bytes.
/// False with ValueError set when that encoding cannot be read.
bool document_reader_options(std::string_view document, ReaderOptions& out);

/// Reader options for a stream whose first bytes are `head`: as it declares.
/// False with ValueError set when that encoding cannot be read.
bool stream_reader_options(std::string_view head, ReaderOptions& out);

/// _declared_encoding(head): the encoding a document's first bytes name, ""
/// for none. New reference or null.
PyObject* declared_encoding_of(PyObject* module, PyObject* head);

}  // namespace kestrix::py
