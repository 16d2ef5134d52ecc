// core/src/read/entities.hpp: what XmlReader keeps of a document type declaration: its general
// entities and its attribute declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrix::detail {

/// Collapses runs of spaces in `value` to one and trims both ends, as for
/// an attribute of a declared type other than CDATA: the new length.
std::size_t collapse_spaces(char* value, std::size_t length) noexcept;

/// A general entity. Only an internal one has replacement text; references
/// to an external one are skipped in content (it is never loaded) and
/// refused in attribute values, and an unparsed one is refused anywhere.
struct Entity {
    std::string name;
    std::string text;  ///< replacement text: line ends normalized, character references replaced
    bool external = false;
    bool unparsed = false;
    bool open = false;  ///< being replaced now: a reference to it is recursion
};

/// One attribute an ATTLIST declares for an element: whether its values are
/// CDATA (otherwise spaces are collapsed), and its default, if any.
struct AttributeDecl {
    std::string name;
    std::string value;  ///< the default, normalized
    bool cdata = true;
    bool has_default = false;
};

/// The attributes declared for one element type, in declaration order.
struct ElementDecls {
    std::vector<AttributeDecl> attributes;
    bool any_default = false;
    bool any_typed = false;  ///< some attribute is not CDATA
};

/// Entities and attribute declarations of the internal subset. The first
/// declaration of an entity or of an element's attribute is binding; later
/// ones are read and ignored.
class Dtd {
public:
    /// The entity named `name`, or null.
    Entity* entity(std::string_view name) noexcept {
        const auto found = entities_.find(name);
        return found == entities_.end() ? nullptr : found->second;
    }
    /// Declares `entity` unless its name is declared already (false then).
    bool declare(Entity entity);

    /// The declarations for element `element`, or null.
    const ElementDecls* element(std::string_view element) const noexcept {
        const auto found = elements_.find(element);
        return found == elements_.end() ? nullptr : &found->second;
    }
    /// Declares `decl` for `element` unless that attribute is declared already.
    void declare_attribute(std::string_view element, AttributeDecl decl);

private:
    std::deque<Entity> entity_store_;        // stable addresses: keys and open entities point in
    std::deque<std::string> element_names_;  // keys of elements_
    std::unordered_map<std::string_view, Entity*> entities_;
    std::unordered_map<std::string_view, ElementDecls> elements_;
};

}  // namespace kestrix::detail
