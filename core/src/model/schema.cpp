// core/src/model/schema.cpp: the name indices of a class schema, and choice items.
#include "kestrix/schema.hpp"

#include <algorithm>

#include "kestrix/namespaces.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

namespace {

void index_name(NameIndex& index, const std::string& xml_name, std::size_t position) {
    index.insert_or_assign(xml_name, position);
    auto colon = xml_name.find(':');
    if (colon != std::string::npos) index.insert_or_assign(xml_name.substr(colon + 1), position);
}

void set_local_at(FieldSchema& f) {
    const auto colon = f.xml_name.find(':');
    f.local_at = colon == std::string::npos ? 0 : static_cast<std::uint32_t>(colon + 1);
}

}  // namespace

void ClassSchema::build_indices() {
    element_index.clear();
    attribute_index.clear();
    text_field.reset();
    has_choices = false;
    mixed_field.reset();
    mixed_member = 0;
    any_elements.reset();
    any_member = UINT32_MAX;
    any_attributes.reset();
    first_element = fields.size();
    first_attribute = fields.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldSchema& f = fields[i];
        set_local_at(f);
        switch (f.role) {
            case FieldRole::Element:
                index_name(element_index, f.xml_name, i);
                first_element = std::min(first_element, i);
                break;
            case FieldRole::Attribute:
                index_name(attribute_index, f.xml_name, i);
                first_attribute = std::min(first_attribute, i);
                break;
            case FieldRole::Text:
                text_field = i;
                break;
            case FieldRole::Choice:
                has_choices = true;
                for (std::size_t m = 0; m < f.choices.size(); ++m) {
                    set_local_at(f.choices[m]);
                    if (f.choices[m].role == FieldRole::Text) {
                        mixed_field = i;
                        mixed_member = static_cast<std::uint32_t>(m);
                    } else if (f.choices[m].role == FieldRole::AnyElements) {
                        any_elements = i;
                        any_member = static_cast<std::uint32_t>(m);
                    }
                }
                break;
            case FieldRole::AnyElements:
                any_elements = i;
                any_member = UINT32_MAX;
                break;
            case FieldRole::AnyAttributes:
                any_attributes = i;
                break;
        }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldSchema& f = fields[i];
        if (f.role != FieldRole::Element && f.role != FieldRole::Attribute) continue;
        const NameIndex& index = f.role == FieldRole::Element ? element_index : attribute_index;
        const auto wins = [&](std::string_view key) { return index.find(key)->second == i; };
        f.last_of_its_names = wins(f.xml_name) && (f.local_at == 0 || wins(f.local()));
    }
}

bool ClassSchema::namespace_aware() const noexcept {
    return namespaces != nullptr && namespaces->used;
}

const ClassSchema* find_type(const ClassSchema& schema, std::string_view uri,
                             std::string_view local) noexcept {
    if (!schema.type_name.empty() && schema.type_name == local && schema.type_ns == uri) {
        return &schema;
    }
    for (const Substitute& substitute : schema.substitutes) {
        if (substitute.type_name == local && substitute.type_ns == uri) {
            return &substitute.type.schema();
        }
    }
    return nullptr;
}

const Substitute* find_substitute(const ClassSchema& schema, const ClassSchema* actual) noexcept {
    for (const Substitute& substitute : schema.substitutes) {
        if (&substitute.type.schema() == actual) return &substitute;
    }
    return nullptr;
}

Value choice_item(std::uint32_t member, Value value, Arena& arena) {
    auto* pair = static_cast<Value*>(arena.allocate(2 * sizeof(Value)));
    pair[0] = Value::integer(member);
    pair[1] = value;
    return Value::list(pair, 2);
}

bool read_choice_item(const Value& item, std::size_t& member, Value& value) noexcept {
    if (item.kind() != Value::Kind::List) return false;
    const ValueList pair = item.as_list();
    if (pair.size() != 2 || pair[0].kind() != Value::Kind::Int || pair[0].as_int() < 0) {
        return false;
    }
    member = static_cast<std::size_t>(pair[0].as_int());
    value = pair[1];
    return true;
}

}  // namespace kestrix
