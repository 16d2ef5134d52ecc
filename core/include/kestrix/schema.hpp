// core/include/kestrix/schema.hpp: the compiled description of one model class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrix {

struct ClassSchema;
class Value;
class Arena;

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
    /// A prefixed name resolved to `{uri}local` through the declarations in
    /// scope where it stands (see qname.hpp).
    QName,
    Other,
};

/// Where a field's value stands in the XML. A Choice field takes child
/// elements of several names, one per member (FieldSchema::choices). The
/// catch-all roles take what no other field of the class takes: AnyElements
/// the child elements, as generic nodes (see catch_all.hpp), AnyAttributes
/// the attributes.
enum class FieldRole : std::uint8_t {
    Attribute,
    Element,
    Text,
    Choice,
    AnyElements,
    AnyAttributes
};

/// The value type of a field: a scalar, a list of some item type, a class, or
/// the items of a choice field, whose members say what each item is.
class TypeDesc {
public:
    enum class Kind : std::uint8_t { Scalar, List, Nested, Choice };

    static TypeDesc scalar(ScalarKind k) { return TypeDesc(Kind::Scalar, k, nullptr, nullptr); }
    static TypeDesc list(TypeDesc item) {
        return TypeDesc(Kind::List, ScalarKind::Other, std::make_unique<TypeDesc>(std::move(item)),
                        nullptr);
    }
    static TypeDesc nested(std::shared_ptr<const ClassSchema> schema) {
        return TypeDesc(Kind::Nested, ScalarKind::Other, nullptr, std::move(schema));
    }
    static TypeDesc choice() { return TypeDesc(Kind::Choice, ScalarKind::Other, nullptr, nullptr); }

    TypeDesc(TypeDesc&&) noexcept = default;
    TypeDesc& operator=(TypeDesc&&) noexcept = default;

    Kind kind() const noexcept { return kind_; }
    bool is_scalar() const noexcept { return kind_ == Kind::Scalar; }
    bool is_list() const noexcept { return kind_ == Kind::List; }
    bool is_nested() const noexcept { return kind_ == Kind::Nested; }
    bool is_choice() const noexcept { return kind_ == Kind::Choice; }
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

/// Which namespace URI a field's element or attribute is in, when a class tree
/// is read and written namespace-aware.
enum class NsRule : std::uint8_t {
    /// An element: the namespace of the element it stands in. An attribute: no
    /// namespace, as XML says of an unprefixed attribute.
    Inherit,
    /// Exactly `FieldSchema::ns` (empty: no namespace).
    Fixed,
    /// A prefixed name whose prefix the class does not bind: matched by local
    /// name in any namespace, written under the URI the class tree binds the
    /// prefix to.
    AnyPrefix,
};

/// One field of a class.
struct FieldSchema {
    std::string name;      ///< Python attribute name.
    std::string xml_name;  ///< Element or attribute name, prefix kept as written.
    TypeDesc type;
    FieldRole role;
    std::string ns = {};               ///< namespace URI under NsRule::Fixed
    NsRule ns_rule = NsRule::Inherit;  ///< how the namespace is found
    std::uint32_t local_at = 0;        ///< where the local part of xml_name starts
    /// True when no later field of the same role answers to a name this one
    /// answers to (set by build_indices): a match on this field is then the
    /// answer of the whole lookup, whatever fields come after it.
    bool last_of_its_names = false;
    /// A scalar element field whose None (or None item, for a list of
    /// scalars) is written as an empty element marked xsi:nil="true" instead
    /// of being left out.
    bool nillable = false;
    /// A text or scalar element field whose text is written as CDATA sections.
    bool cdata = false;
    /// The members of a Choice field, each an Element field of its own name
    /// and type (a scalar or a class), or the one Text member that receives
    /// the text runs of ordered mixed content. Empty for other fields.
    std::vector<FieldSchema> choices = {};

    /// The part of xml_name after its first colon (set by build_indices).
    std::string_view local() const noexcept { return std::string_view(xml_name).substr(local_at); }
    /// The prefix of xml_name, empty when it has none.
    std::string_view prefix() const noexcept {
        return local_at == 0 ? std::string_view()
                             : std::string_view(xml_name).substr(0, local_at - 1);
    }
};

struct NamespacePlan;

/// A class that stands in for another where the document names its type
/// (`xsi:type`): a subclass, read and written with its own schema.
struct Substitute {
    std::string type_ns;    ///< namespace URI of the type name (empty: none)
    std::string type_name;  ///< the local type name
    TypeDesc type;          ///< Nested: the subclass's schema
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
    /// The declared element name (empty: none declared). Written as the root
    /// element's name instead of `name`, and checked on the document element.
    std::string element_name;
    /// The declared namespace URI of the class's element, if any.
    std::optional<std::string> ns;
    /// The prefix the class's element is written with instead of the default
    /// namespace (empty: none); bound to `ns` first in `prefixes`.
    std::string element_prefix;
    /// Preferred prefixes for namespace URIs (prefix, URI), in declaration order.
    std::vector<std::pair<std::string, std::string>> prefixes;
    /// True when the class declares a namespace, preferred prefixes or a field
    /// namespace: a class tree holding such a class is read and written
    /// namespace-aware.
    bool declares_namespaces = false;
    /// The namespace layout of the tree rooted here (see plan_namespaces); null
    /// or unused for a tree that declares no namespace.
    std::shared_ptr<const NamespacePlan> namespaces;
    std::vector<FieldSchema> fields;
    NameIndex element_index;
    NameIndex attribute_index;
    std::optional<std::size_t> text_field;
    /// True when some field is a Choice field (set by build_indices).
    bool has_choices = false;
    /// The Choice field with a Text member, which receives the text runs
    /// between child elements in document order, and that member's position
    /// (set by build_indices).
    std::optional<std::size_t> mixed_field;
    std::uint32_t mixed_member = 0;
    /// The field that receives the child elements no other field takes (a
    /// catch-all field, or a choice field with a catch-all member:
    /// `any_member`), and the one that receives the attributes no other field
    /// takes (set by build_indices).
    std::optional<std::size_t> any_elements;
    std::uint32_t any_member = UINT32_MAX;
    std::optional<std::size_t> any_attributes;
    /// The first field of the Element role and of the Attribute role (the
    /// field count when there is none; set by build_indices): where the
    /// hinted lookup of an element's first child and first attribute starts.
    std::size_t first_element = 0;
    std::size_t first_attribute = 0;
    /// A class made up for the wrapper element of a wrapped list: one list
    /// field, and no Python class behind it.
    bool list_wrapper = false;
    /// The type name the class declares (empty: none), in `type_ns`: what an
    /// `xsi:type` names to choose it.
    std::string type_name;
    std::string type_ns;
    /// The subclasses that declare a type name: an element of this class whose
    /// `xsi:type` names one of them is bound to it, and an instance of one is
    /// written with its `xsi:type`. Empty for most classes.
    std::vector<Substitute> substitutes;
    /// Opaque back-reference set by whoever owns the schema (the binding layer
    /// points it at its own record of the class); the core never reads it.
    const void* owner = nullptr;

    /// Fills the indices from `fields`: element and attribute fields under their
    /// whole xml_name and, when it has a colon, also under the part after the
    /// first colon, a later field replacing an earlier one; the last Text field
    /// becomes `text_field`. Also sets each field's `local_at` and
    /// `last_of_its_names`.

    void build_indices();

    /// The name written for the class as a document element: the declared
    /// element name, else the class's name.
    const std::string& root_name() const noexcept {
        return element_name.empty() ? name : element_name;
    }
    /// True when the tree rooted here is read and written namespace-aware.
    bool namespace_aware() const noexcept;

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

/// The schema the type name `{uri}local` selects: `schema` itself when it
/// declares that type name, else the substitute that does; null when none.
const ClassSchema* find_type(const ClassSchema& schema, std::string_view uri,
                             std::string_view local) noexcept;

/// The substitute of `schema` whose schema is `actual`, or null.
const Substitute* find_substitute(const ClassSchema& schema, const ClassSchema* actual) noexcept;

/// An item of a Choice field, as the value tree holds it: a two-item list of
/// the member's position (an Int) and the item's value, built in `arena`.
Value choice_item(std::uint32_t member, Value value, Arena& arena);

/// The member position and value of a choice item; false when `item` is not
/// one (the position is then left alone).
bool read_choice_item(const Value& item, std::size_t& member, Value& value) noexcept;

/// The part of a qualified name after its first ':' ("a:b:c" gives "b:c"); the
/// whole name when it has none.
inline std::string_view local_name(std::string_view name) noexcept {
    auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace kestrix
