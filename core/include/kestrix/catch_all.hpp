// core/include/kestrix/catch_all.hpp: generic nodes, the value a catch-all
// field holds of content its class does not model.
#pragma once

#include <cstddef>

#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// The layouts of generic nodes in a value tree. Each is an ObjectValue whose
/// schema is one of the fixed schemas below (compared by address), with these
/// slots; an absent slot reads as the empty text or the empty list.
///
/// - element: tag (`{uri}local`, or the name as written when it is in no
///   namespace or its prefix is bound to nothing), attributes (a list of
///   Str, name and value by turns, names in the tag's form), text (before the
///   first child), children (a list of nodes), tail (the text after it),
///   namespaces (a list of Str, prefix and URI by turns: the declarations in
///   scope for the element a field caught, those made on it for the elements
///   inside; kept so that values naming things by prefix still resolve);
/// - comment: text, tail;
/// - processing instruction: target, text, tail;
/// - attributes (the value of an AnyAttributes field): the list of Str, name
///   and value by turns.
namespace node {

enum ElementSlot : std::size_t { TAG, ATTRIBUTES, TEXT, CHILDREN, TAIL, NAMESPACES, ELEMENT_SLOTS };
enum CommentSlot : std::size_t { COMMENT_TEXT, COMMENT_TAIL, COMMENT_SLOTS };
enum InstructionSlot : std::size_t { PI_TARGET, PI_TEXT, PI_TAIL, PI_SLOTS };
enum AttributesSlot : std::size_t { PAIRS, ATTRIBUTES_SLOTS };

const ClassSchema& element_schema() noexcept;
const ClassSchema& comment_schema() noexcept;
const ClassSchema& instruction_schema() noexcept;
const ClassSchema& attributes_schema() noexcept;

/// True when `object` is a generic node or an attributes value.
inline bool is_generic(const ObjectValue& object) noexcept {
    return object.schema == &element_schema() || object.schema == &comment_schema() ||
           object.schema == &instruction_schema() || object.schema == &attributes_schema();
}

/// The text in `slot` of `object`: empty when absent or not a string.
inline std::string_view text_of(const ObjectValue& object, std::size_t slot) noexcept {
    const Value& v = object.slots[slot];
    return v.kind() == Value::Kind::Str ? v.as_str() : std::string_view();
}

/// The list in `slot` of `object`: empty when absent or not a list.
inline ValueList list_of(const ObjectValue& object, std::size_t slot) noexcept {
    const Value& v = object.slots[slot];
    return v.kind() == Value::Kind::List ? v.as_list() : ValueList();
}

}  // namespace node

}  // namespace kestrix
