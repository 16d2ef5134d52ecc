// tests/core/bind_fixtures.hpp: hand-built schemas and a compact text form of Value trees.
#pragma once

#include <charconv>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::testing {

inline FieldSchema element(std::string name, std::string xml_name, TypeDesc type) {
    return FieldSchema{std::move(name), std::move(xml_name), std::move(type), FieldRole::Element};
}
inline FieldSchema attribute(std::string name, std::string xml_name, TypeDesc type) {
    return FieldSchema{std::move(name), std::move(xml_name), std::move(type), FieldRole::Attribute};
}
inline FieldSchema text(std::string name, TypeDesc type) {
    return FieldSchema{std::move(name), "", std::move(type), FieldRole::Text};
}
inline TypeDesc scalar(ScalarKind kind) { return TypeDesc::scalar(kind); }
inline TypeDesc list_of(TypeDesc item) { return TypeDesc::list(std::move(item)); }
inline TypeDesc nested(const std::shared_ptr<ClassSchema>& schema) {
    return TypeDesc::nested(schema);
}
/// A reference to a schema that does not own it, for a class that contains
/// itself: an owning one would form a cycle that is never freed.
inline TypeDesc self_ref(ClassSchema* schema) {
    return TypeDesc::nested(std::shared_ptr<const ClassSchema>(std::shared_ptr<void>(), schema));
}

/// A schema with `fields` (taken over, in order) and its indices built.
inline std::shared_ptr<ClassSchema> make_class(std::string name,
                                               std::vector<FieldSchema>&& fields) {
    auto schema = std::make_shared<ClassSchema>();
    schema->name = std::move(name);
    schema->fields = std::move(fields);
    schema->build_indices();
    return schema;
}

/// Builds a field list from move-only fields (an initializer list would copy).
template <class... F>
std::vector<FieldSchema> fields(F&&... f) {
    std::vector<FieldSchema> out;
    (out.push_back(std::forward<F>(f)), ...);
    return out;
}

/// A one-line text of a Value tree: objects as {field=value,...} over their
/// present entries in field order, floats with a trailing f, strings in quotes.
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
            auto end = std::to_chars(buffer, buffer + sizeof buffer, value.as_float()).ptr;
            return std::string(buffer, end) + "f";
        }
        case Value::Kind::Str:
            return "\"" + value.as_str() + "\"";
        case Value::Kind::List: {
            std::string out = "[";
            for (const Value& item : value.as_list()) {
                if (out.size() > 1) out += ",";
                out += dump(item);
            }
            return out + "]";
        }
        case Value::Kind::Object: {
            const ObjectValue& object = value.as_object();
            if (object.schema == nullptr || object.slots.size() != object.schema->fields.size())
                return "<object with bad slots>";
            std::string out = "{";
            for (std::size_t i = 0; i < object.slots.size(); ++i) {
                if (object.slots[i].is_absent()) continue;
                if (out.size() > 1) out += ",";
                out += object.schema->fields[i].name + "=" + dump(object.slots[i]);
            }
            return out + "}";
        }
    }
    return "?";
}

}  // namespace kestrix::testing
