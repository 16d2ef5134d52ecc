// core/src/write/catch_all_writer.hpp: writes what catch-all fields hold:
// generic nodes, and attributes no other field takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "element_names.hpp"
#include "kestrix/error.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"
#include "kestrix/xml_writer.hpp"

namespace kestrix::detail {

/// Writes the generic nodes of one catch-all field, or its attributes.
///
/// A name in a namespace gets a prefix a caught element declares for it,
/// else the one the root declares, else one that `prefixes` declares on the
/// root once the document is written; an element in the default namespace
/// in scope is unprefixed, and one in no namespace where a default namespace
/// is in scope undeclares it. The declarations a caught element kept from
/// its document are declared on it again where the output binds their
/// prefix otherwise, so that values naming things by prefix still resolve.
/// A caught element is written on one line whole: indentation never changes
/// its text.
class CatchAllWriter {
public:
    CatchAllWriter(XmlWriter& writer, QNamePrefixes& prefixes, const FieldSchema& field,
                   const ClassSchema& owner)
        : writer_(writer), prefixes_(prefixes), field_(field), owner_(owner) {}

    /// Writes the attributes of a catch-all attribute value on the open start
    /// tag of an instance `object` of the owner.
    Status attributes(const Value& value, const ObjectValue& object);
    /// Writes one node (element, comment or processing instruction) inside an
    /// element whose default namespace in scope is `default_ns`. `tail` writes
    /// the text that follows it: a node directly inside a class element has
    /// none, as the class element holds no text there.
    Status node(const Value& value, std::string_view default_ns, bool tail = false);

private:
    using Declarations = std::vector<std::pair<std::string, std::string>>;

    /// The written form of the caught name `name` of an element (else an
    /// attribute) in `out`, for an element whose default namespace is
    /// `inside`; declarations it needs go to `declare` (an undeclared
    /// default namespace as ("", "")).
    Status written_name(std::string_view name, bool element, std::string_view& inside,
                        Declarations& declare, std::string& out);
    /// The URI `prefix` stands for where the next caught element is written.
    std::optional<std::string_view> bound(std::string_view prefix) const noexcept;
    Status element(const ObjectValue& node, std::string_view default_ns);
    Status text(std::string_view text);
    [[gnu::cold]] Status failure(const std::string& what) const;

    XmlWriter& writer_;
    QNamePrefixes& prefixes_;
    const FieldSchema& field_;
    const ClassSchema& owner_;
    /// Declarations in force for the open caught elements, innermost last:
    /// written on them, or on the root for them.
    Declarations scope_;
    std::string scratch_;
    std::string error_;
    std::size_t generated_ = 0;
};

}  // namespace kestrix::detail
