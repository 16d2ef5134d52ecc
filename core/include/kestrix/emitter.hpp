// core/include/kestrix/emitter.hpp: writes a Value::Object tree as XML text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"
#include "kestrix/xml_writer.hpp"

namespace kestrix {

/// Writes `value`, which must be a Value::Object, as the element `name` against
/// `schema`: attributes, then the text content, then child elements in field
/// order; an indented writer adds no whitespace inside an element whose class
/// has a text field. Fails with Serialization "Expected Object value for model" when
/// `value` (or a nested class value) is not an object, with Serialization
/// "character U+0001 in field 'f' of C cannot be written in XML 1.0" when a
/// text holds a character XML 1.0 cannot carry, and with DepthExceeded when
/// class elements nest deeper than MAX_DEPTH.
Status write_element(XmlWriter& writer, std::string_view name, const Value& value,
                     const ClassSchema& schema);

/// Writes `root` into `writer` as the document element `root_name`, named and
/// declared as write_document writes it. Records written one after another
/// into one writer use this.
Status write_root(XmlWriter& writer, std::string_view root_name, const Value& root,
                  const ClassSchema& schema);

/// The whole document for `root`: no declaration before it, no line feed after
/// it. `indent` absent gives one line; a step of 0 gives line breaks only.
/// A tree that is not namespace-aware writes names as given, and declares on
/// the root the well-known prefixes (NamespacePlan::well_known) the document
/// writes, unless the root element declares them itself.
///
/// A namespace-aware schema (ClassSchema::namespace_aware) is written
/// namespace-well-formed after its NamespacePlan: the root element declares the
/// default namespace and every prefix of the plan; an element in the namespace
/// in scope as default is unprefixed, one in another namespace prefixed, one
/// in no namespace undeclares the default (`xmlns=""`); attributes in a
/// namespace are prefixed (`xml:` never declared). Fails with Serialization
/// when the plan has an error.
Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, std::optional<std::uint64_t> indent);

/// The same with the indentation, the empty-element form and the encodable
/// characters of `options`.
Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, const WriteOptions& options);

}  // namespace kestrix
