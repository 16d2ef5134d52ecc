// core/src/element_names.cpp: the errors of naming and escaping, kept out of
// line so that they do not weigh on the tree walk, and the root declarations
// of well-known prefixes.
#include "element_names.hpp"

#include <cstdio>
#include <string>

namespace kestrix::detail {

[[gnu::noinline]] BindError unwritable(char32_t c, const FieldSchema& field,
                                       const ClassSchema& owner) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return BindError::serialization("character " + std::string(code) + " in field '" + field.name +
                                    "' of " + owner.name + " cannot be written in XML 1.0");
}

[[gnu::noinline]] BindError unwritable_namespace(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return BindError::serialization("character " + std::string(code) +
                                    " in a namespace URI cannot be written in XML 1.0");
}

void WellKnownNames::finish(XmlWriter& writer) const {
    std::string declarations;
    for (std::size_t i = 0; i < plan_.well_known.size(); ++i) {
        if ((written_ & ~declared_ & (1u << i)) == 0) continue;
        const auto& [prefix, uri] = plan_.well_known[i];
        declarations += " xmlns:" + prefix + "=\"" + uri + "\"";
    }
    if (!declarations.empty()) writer.insert(root_end_, declarations);
}

}  // namespace kestrix::detail
