// tests/core/bind_fixtures.hpp: hand-built schemas and a one-line text form of Value trees.
#pragma once

#include <charconv>
#include <memory>
#include <string>
#include <utility>

#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::testing {

inline TypeDesc scalar(ScalarKind kind = ScalarKind::Str) { return TypeDesc::scalar(kind); }
inline TypeDesc list_of(TypeDesc item) { return TypeDesc::list(std::move(item)); }
inline TypeDesc nested(std::shared_ptr<const ClassSchema> schema) {
    return TypeDesc::nested(std::move(schema));
}
/// A class's reference to itself; it does not own the class, which would form a cycle.
inline TypeDesc self_ref(const ClassSchema& schema) {
    return TypeDesc::nested(std::shared_ptr<const ClassSchema>(std::shared_ptr<void>(), &schema));
}

/// Fields whose XML name is their name unless `xml_name` is given.
inline FieldSchema attribute(std::string name, TypeDesc type = scalar(),
                             std::string xml_name = {}) {
    std::string xml = xml_name.empty() ? name : std::move(xml_name);
    return FieldSchema{std::move(name), std::move(xml), std::move(type), FieldRole::Attribute};
}
inline FieldSchema element(std::string name, TypeDesc type = scalar(), std::string xml_name = {}) {
    std::string xml = xml_name.empty() ? name : std::move(xml_name);
    return FieldSchema{std::move(name), std::move(xml), std::move(type), FieldRole::Element};
}
inline FieldSchema text(std::string name, TypeDesc type = scalar()) {
    return FieldSchema{std::move(name), "", std::move(type), FieldRole::Text};
}

/// Appends `fields` to `schema` and rebuilds its indices.
template <class... F>
void add_fields(ClassSchema& schema, F&&... fields) {
    (schema.fields.push_back(std::forward<F>(fields)), ...);
    schema.build_indices();
}

template <class... F>
std::shared_ptr<ClassSchema> make_class(std::string name, F&&... fields) {
    auto schema = std::make_shared<ClassSchema>();
    schema->name = std::move(name);
    add_fields(*schema, std::forward<F>(fields)...);
    return schema;
}

/// Objects as {field=value,...} over their present entries in field order,
/// floats with a trailing f, strings in quotes.
inline std::string dump(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Absent:
            return "<absent>";
        case Value::Kind::Null:
            return "null";
        case Value::Kind::Bool:
            return value.as_bool() ? "true" : "false";
        case Value::Kind::Int:
            return std::to_string(value.as_int());
        case Value::Kind::Float: {
            char buffer[64];
            return std::string(buffer, std::to_chars(buffer, buffer + 64, value.as_float()).ptr) +
                   "f";
        }
        case Value::Kind::Str:
            return "\"" + std::string(value.as_str()) + "\"";
        case Value::Kind::List: {
            std::string out;
            for (const Value& item : value.as_list()) out += (out.empty() ? "" : ",") + dump(item);
            return "[" + out + "]";
        }
        case Value::Kind::Object: {
            const ObjectValue& object = value.as_object();
            if (object.slots.size() != object.schema->fields.size()) return "<bad slots>";
            std::string out;
            for (std::size_t i = 0; i < object.slots.size(); ++i) {
                if (object.slots[i].is_absent()) continue;
                out += (out.empty() ? "" : ",") + object.schema->fields[i].name + "=" +
                       dump(object.slots[i]);
            }
            return "{" + out + "}";
        }
    }
    return "?";
}

inline std::string dump(const ValueTree& tree) { return dump(tree.root); }

}  // namespace kestrix::testing
