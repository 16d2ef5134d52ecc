// core/include/kestrix/reader_options.hpp: ReaderOptions, how the XML reader decodes a document.
#pragma once

#include <memory>

#include "kestrix/encoding.hpp"

namespace kestrix {

/// How a document's bytes are decoded. The default reads UTF-8 whatever the
/// document declares, which is the fast path every UTF-8 document takes.
struct ReaderOptions {
    /// Decode as the byte-order mark or the XML declaration says.
    bool follow_declaration = false;
    /// The table of the declared encoding when the reader does not decode it
    /// itself (see `reader_decodes`); only used with `follow_declaration`.
    std::shared_ptr<const ByteTable> byte_table;
};

}  // namespace kestrix
