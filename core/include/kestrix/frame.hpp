// core/include/kestrix/frame.hpp: Frame, the values gathered for one open class element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "kestrix/attribute_view.hpp"
#include "kestrix/error.hpp"
#include "kestrix/qname.hpp"
#include "kestrix/scalar_parse.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// The fields of one class element while it is open.
///
/// The frame fills, in place, the object it becomes: its slots are allocated in
/// the tree's arena when the element opens, so finishing the frame only adds the
/// parsed text. List fields gather their items in their own slot as a
/// `Value::List`, created by the first item, so a list field that never
/// receives an item has no entry.
///
/// The frame borrows its schema and arena: whoever drives the frame keeps the
/// root schema (which owns every schema nested in it) and the arena alive.
class Frame {
public:
    /// A frame with every field unset; it gathers text when the class has a
    /// text field. QName values are resolved through `scope` (null: only
    /// `xml` is bound), which the reader keeps current. `checked_utf8`: the
    /// reader checks that its texts are UTF-8 (see parse_scalar).
    Frame(const ClassSchema& schema, Arena& arena, const InScopeNamespaces* scope = nullptr,
          bool checked_utf8 = false)
        : object_(ObjectValue::make(schema, arena)),
          arena_(&arena),
          scope_(scope),
          checked_utf8_(checked_utf8) {}

    Frame(Frame&&) noexcept = default;
    Frame& operator=(Frame&&) noexcept = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    const ClassSchema& schema() const noexcept { return *object_->schema; }
    /// The arena the frame's values are allocated in.
    Arena& arena() const noexcept { return *arena_; }

    /// Records where the element's start tag stands (see ObjectValue::offset).
    void place(std::uint64_t offset, std::uint32_t line, std::uint32_t column) noexcept {
        object_->offset = offset;
        object_->line = line;
        object_->column = column;
    }

    /// Stores the value of a non-list field, replacing an earlier one.
    void set(std::size_t field, Value value) noexcept { object_->slots[field] = value; }

    /// Appends one item to a list field, in arrival order.
    void append(std::size_t field, Value item) { object_->slots[field].append(item, *arena_); }

    /// The current value of a field (absent when unset; a `Value::List` for a list
    /// field that has items).
    const Value& slot(std::size_t field) const noexcept { return object_->slots[field]; }

    /// The value of one scalar text of `field` (an attribute, the text content,
    /// an element's text) by its kind: parse_scalar, or parse_qname through
    /// the frame's scope.
    Result<Value> scalar(ScalarKind kind, std::string_view text, const FieldSchema& field) const {
        if (kind == ScalarKind::QName) return parse_qname(text, scope_, field.name, *arena_);
        return parse_scalar(kind, text, field.name, *arena_, checked_utf8_);
    }

    /// The element's direct character data, or null when the class has no
    /// text field and no mixed content.
    std::string* text() noexcept {
        const ClassSchema& schema = *object_->schema;
        return schema.text_field || schema.mixed_field ? &text_ : nullptr;
    }

    /// Ends the run of text gathered so far when the class has mixed content:
    /// the run becomes the next item of its mixed field. Called before each
    /// child element, so runs and elements keep document order.
    void end_text_run() {
        if (!text_.empty() && object_->schema->mixed_field) push_text_run();
    }

private:
    friend Result<Value> finish_frame(Frame&& frame);
    void push_text_run();

    ObjectValue* object_;
    Arena* arena_;
    const InScopeNamespaces* scope_;
    bool checked_utf8_;
    std::string text_;
};

/// True when some attribute's local name is "nil" (or "xsi:nil", which a doubly
/// prefixed name yields) and its value is exactly "true" or "1". Values are
/// already entity-decoded.
bool is_nil(std::span<const AttributeView> attributes) noexcept;

/// Binds the attributes of a class element to the frame's scalar attribute
/// fields, matched on the attribute's local name (`xmlns:p` is looked up as `p`).
/// Unknown attributes and attributes of non-scalar fields are skipped; a later
/// attribute of the same field replaces an earlier one. Fails with the error of
/// `parse_scalar` for a value that does not parse.
Status apply_attributes(std::span<const AttributeView> attributes, Frame& frame);

/// is_nil for attributes read with namespace processing (their names split
/// into URI, local part and prefix): an attribute whose local name is "nil", in the XML
/// Schema instance namespace or any other.
bool is_nil_expanded(std::span<const AttributeView> attributes) noexcept;

/// apply_attributes for expanded attribute names: an attribute field matches
/// by local name and namespace (an unprefixed attribute is in no namespace;
/// see NsRule).
Status apply_expanded_attributes(std::span<const AttributeView> attributes, Frame& frame);

/// Turns a closed frame into a `Value::Object`: the set slots and gathered lists,
/// and, when the class has a text field and the gathered text is not empty, that
/// text parsed for the text field (once, as a one-item list for a list field).
Result<Value> finish_frame(Frame&& frame);

}  // namespace kestrix
