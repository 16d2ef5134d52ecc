// core/include/kestrix/parser.hpp: reading one XML document into a Value tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// A document read by read_document. Its tree lives in `arena`, so it is valid
/// exactly as long as this object.
struct ParsedDocument {
    Value root;           ///< the document element bound to the root class
    std::string element;  ///< the document element's name as written ("p:local" or "local")
    Arena arena;          ///< the memory of the tree under `root`
    /// The document as it was read, in UTF-8 made from another encoding, when
    /// it was transcoded to be read; empty otherwise. Offsets in the tree
    /// count its bytes, so it is what describe_element reads again (as UTF-8).
    std::string transcoded;
};

/// Reads `document` (borrowed for the call; UTF-8 unless `options` say to
/// decode as it declares) and binds its document element to `root`: a `Value::Object` tree, or the
/// first error met. At most `limit` class elements may be open at once, the document element
/// included. After the document element's end tag only comments, processing instructions and
/// white space may follow: anything else is a reader error, met after the element is bound.
///
/// A class that declares an element name (or a namespace) accepts only a
/// document element of that local name (and namespace); any other fails with
/// a Schema error naming both. A tree that is namespace-aware (see
/// ClassSchema::namespace_aware) is read with namespace processing.
Result<ParsedDocument> read_document(std::string_view document, const ClassSchema& root,
                                     std::uint64_t limit, const ReaderOptions& options = {});

/// read_document without the document element's name.
Result<ValueTree> parse_document(std::string_view document, const ClassSchema& root,
                                 std::uint64_t limit, const ReaderOptions& options = {});

}  // namespace kestrix
