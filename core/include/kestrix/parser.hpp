// core/include/kestrix/parser.hpp: parse_document, one XML document into a Value tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// Reads `document` (UTF-8, borrowed for the call) and binds its document
/// element, whatever its name, to `root`: a `Value::Object` tree, or the first
/// error met. At most `limit` class elements may be open at once, the document
/// element included. Nothing after the document element's end tag is read.
Result<Value> parse_document(std::string_view document, const ClassSchema& root,
                             std::uint64_t limit);

}  // namespace kestrix
