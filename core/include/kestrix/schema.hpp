// core/include/kestrix/schema.hpp: the compiled description of one model class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrix {

struct ClassSchema;

/// How the text of a scalar field is read and what it becomes.
enum class ScalarKind : std::uint8_t {
    Str,
    Int,
    Float,
    Bool,
    Decimal,
    XmlDate,
    XmlDateTime,
    XmlTime,
    XmlDuration,
    Other,
};

/// Where a field's value stands in the XML.
enum class FieldRole : std::uint8_t { Attribute, Element, Text };

/// The value type of a field: a scalar, a list of some item type, or a class.
class TypeDesc {
public:
    enum class Kind : std::uint8_t { Scalar, List, Nested };

    static TypeDesc scalar(ScalarKind k) { return TypeDesc(Kind::Scalar, k, nullptr, nullptr); }
    static TypeDesc list(TypeDesc item) {
        return TypeDesc(Kind::List, ScalarKind::Other, std::make_unique<TypeDesc>(std::move(item)),
                        nullptr);
    }
    static TypeDesc nested(std::shared_ptr<const ClassSchema> schema) {
        return TypeDesc(Kind::Nested, ScalarKind::Other, nullptr, std::move(schema));
    }

    TypeDesc(TypeDesc&&) noexcept = default;
    TypeDesc& operator=(TypeDesc&&) noexcept = default;

    Kind kind() const noexcept { return kind_; }
    bool is_scalar() const noexcept { return kind_ == Kind::Scalar; }
    bool is_list() const noexcept { return kind_ == Kind::List; }
    bool is_nested() const noexcept { return kind_ == Kind::Nested; }
    ScalarKind scalar_kind() const noexcept { return scalar_; }
    const TypeDesc& item() const noexcept { return *item_; }
    const ClassSchema& schema() const noexcept { return *schema_; }
    const std::shared_ptr<const ClassSchema>& schema_ref() const noexcept { return schema_; }

private:
    TypeDesc(Kind k, ScalarKind s, std::unique_ptr<TypeDesc> item,
             std::shared_ptr<const ClassSchema> schema)
        : kind_(k), scalar_(s), item_(std::move(item)), schema_(std::move(schema)) {}

    Kind kind_;
    ScalarKind scalar_;
    std::unique_ptr<TypeDesc> item_;
    std::shared_ptr<const ClassSchema> schema_;
};

/// One field of a class.
struct FieldSchema {
    std::string name;      ///< Python attribute name; key of the field's entry.
    std::string xml_name;  ///< Element or attribute name, prefix kept as written.
    TypeDesc type;
    FieldRole role;
};

/// Hash for string keys that also finds std::string_view without a copy.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
using NameIndex = std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>;

/// The compiled schema of one class. Built once, then only read; shared by
/// reference counting between caches, nested type descriptors and running calls.
struct ClassSchema {
    std::string name;  ///< The class's __name__; the root element name on output.
    std::vector<FieldSchema> fields;
    NameIndex element_index;
    NameIndex attribute_index;
    std::optional<std::size_t> text_field;
    /// Opaque back-reference set by whoever owns the schema (the binding layer
    /// points it at its own record of the class); the core never reads it.
    const void* owner = nullptr;

    /// Fills the indices from `fields`: element and attribute fields under their
    /// whole xml_name and, when it has a colon, also under the part after the
    /// first colon, a later field replacing an earlier one; the last Text field
    /// becomes `text_field`.
    void build_indices();

    /// Position of the element field for `name`, if any.
    std::optional<std::size_t> find_element(std::string_view name) const {
        auto it = element_index.find(name);
        if (it == element_index.end()) return std::nullopt;
        return it->second;
    }
    /// Position of the attribute field for `name`, if any.
    std::optional<std::size_t> find_attribute(std::string_view name) const {
        auto it = attribute_index.find(name);
        if (it == attribute_index.end()) return std::nullopt;
        return it->second;
    }
};

/// The part of a qualified name after its first ':' ("a:b:c" gives "b:c"); the
/// whole name when it has none.
inline std::string_view local_name(std::string_view name) noexcept {
    auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace kestrix
