// binding/src/write_options.hpp: the writing options of serialize and the
// record writer, read from their Python arguments.
#pragma once

#include "python.hpp"

#include <memory>

#include "kestrix/xml_writer.hpp"

namespace kestrix::py {

/// WriteOptions with the encodable set it points at.
struct OwnedWriteOptions {
    WriteOptions options;
    std::unique_ptr<EncodableSet> encodable;
};

/// Reads `indent` (None or 0 to 1024), `short_empty` (truth value) and
/// `encodable` (None, or an iterable of the int code points the encoding
/// carries beyond ASCII). False with the Python error set.
bool read_write_options(PyObject* indent, PyObject* short_empty, PyObject* encodable,
                        OwnedWriteOptions& out);

}  // namespace kestrix::py
