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
    /// Refuse what the classes do not model instead of skipping it: an
    /// element or attribute no field takes (namespace declarations and nil
    /// markers aside), a child element in another namespace than its
    /// field's, and text other than white space in a class without a text
    /// field. Each fails with a Schema error naming it.
    bool strict = false;
};

}  // namespace kestrix
