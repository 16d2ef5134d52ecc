// core/src/bind/frame.cpp: binding attributes, nil markers and text of one class element.
#include "kestrix/frame.hpp"

#include <string_view>

#include "field_lookup.hpp"
#include "kestrix/scalar_parse.hpp"

namespace kestrix {

namespace {

/// True when some attribute that `names_nil` accepts has the value "true" or "1".
template <class NamesNil>
bool any_nil(std::span<const AttributeView> attributes, NamesNil names_nil) noexcept {
    for (const AttributeView& a : attributes) {
        if (names_nil(a.name) && (a.value == "true" || a.value == "1")) return true;
    }
    return false;
}

/// Binds each attribute to the scalar attribute field `find` selects for its
/// name (an optional position), skipping the others.
template <class Find>
Status bind_attributes(std::span<const AttributeView> attributes, Frame& frame, Find find) {
    const ClassSchema& schema = frame.schema();
    if (schema.attribute_index.empty()) return {};
    for (const AttributeView& a : attributes) {
        const std::optional<std::size_t> position = find(schema, a.name);
        if (!position) continue;
        const FieldSchema& field = schema.fields[*position];
        if (!field.type.is_scalar()) continue;
        Result<Value> value = frame.scalar(field.type.scalar_kind(), a.value, field);
        if (!value) return std::move(value).error();
        frame.set(*position, value.value());
    }
    return {};
}

}  // namespace

bool is_nil(std::span<const AttributeView> attributes) noexcept {
    return any_nil(attributes, [](const ExpandedName& name) {
        const std::string_view local = local_name(name.local);
        return local == "nil" || local == "xsi:nil";
    });
}

Status apply_attributes(std::span<const AttributeView> attributes, Frame& frame) {
    std::size_t hint = frame.schema().first_attribute;
    return bind_attributes(
        attributes, frame, [&hint](const ClassSchema& schema, const ExpandedName& name) {
            return detail::find_written_field_near(schema, FieldRole::Attribute, name.local, hint);
        });
}

bool is_nil_expanded(std::span<const AttributeView> attributes) noexcept {
    return any_nil(attributes, [](const ExpandedName& name) { return name.local == "nil"; });
}

Status apply_expanded_attributes(std::span<const AttributeView> attributes, Frame& frame) {
    return bind_attributes(
        attributes, frame, [](const ClassSchema& schema, const ExpandedName& name) {
            return detail::find_expanded_field(schema, FieldRole::Attribute, {}, name);
        });
}

void Frame::push_text_run() {
    const ClassSchema& schema = *object_->schema;
    const Value run = Value::string(arena_->copy(text_));
    object_->slots[*schema.mixed_field].append(choice_item(schema.mixed_member, run, *arena_),
                                               *arena_);
    text_.clear();
}

Result<Value> finish_frame(Frame&& frame) {
    ObjectValue& object = *frame.object_;
    const ClassSchema& schema = *object.schema;
    if (schema.mixed_field) {
        // Mixed content takes the text: the last run ends with the element.
        frame.end_text_run();
        return Value::object(&object);
    }
    if (schema.text_field && !frame.text_.empty()) {
        const std::size_t position = *schema.text_field;
        const FieldSchema& field = schema.fields[position];
        if (field.type.is_scalar()) {
            Result<Value> value = frame.scalar(field.type.scalar_kind(), frame.text_, field);
            if (!value) return std::move(value).error();
            object.slots[position] = value.value();
        } else if (field.type.is_list() && field.type.item().is_scalar()) {
            // The whole text is one item: text content is not split into words.
            Result<Value> value = frame.scalar(field.type.item().scalar_kind(), frame.text_, field);
            if (!value) return std::move(value).error();
            Value items;
            items.append(value.value(), *frame.arena_);
            object.slots[position] = items;
        }
    }
    return Value::object(&object);
}

}  // namespace kestrix
