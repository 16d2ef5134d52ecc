// core/src/write/element_names.cpp: the errors of naming and escaping, kept out of
// line so that they do not weigh on the tree walk, and the root declarations
// of well-known prefixes.
#include "element_names.hpp"

#include "kestrix/qname.hpp"

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

bool QNamePrefixes::taken(std::string_view prefix) const noexcept {
    for (const auto* list : {&plan_.declarations, &added_, &plan_.well_known, &reserved_}) {
        for (const auto& entry : *list) {
            if (entry.first == prefix) return true;
        }
    }
    return false;
}

bool QNamePrefixes::text(std::string_view clark, std::string_view default_ns, std::string& out,
                         std::string& error) {
    const std::optional<ClarkName> name = split_clark(clark);
    if (!name) {
        error = "'" + std::string(clark) + "' is not a QName ({namespace}local or local)";
        return false;
    }
    out.clear();
    if (name->uri.empty()) {
        if (!default_ns.empty()) {
            error = "the QName '" + std::string(name->local) +
                    "' in no namespace cannot be written where the default namespace is " +
                    std::string(default_ns);
            return false;
        }
        out = name->local;
        return true;
    }
    const std::string* prefix = nullptr;
    std::string_view chosen;
    if (name->uri == XML_NAMESPACE) {
        chosen = "xml";
    } else if (plan_.used && (prefix = plan_.prefix_of(name->uri)) != nullptr) {
        chosen = *prefix;
    } else {
        for (const auto& [added_prefix, uri] : added_) {
            if (uri == name->uri) {
                chosen = added_prefix;
                break;
            }
        }
    }
    if (chosen.empty() && name->uri == default_ns) {
        out = name->local;
        return true;
    }
    if (chosen.empty()) {
        std::string fresh;
        for (const auto& [bound_prefix, uri] : plan_.bound) {
            if (uri == name->uri && !taken(bound_prefix)) {
                fresh = bound_prefix;
                break;
            }
        }
        if (fresh.empty() && name->uri == XSI_NAMESPACE && !taken("xsi")) fresh = "xsi";
        if (fresh.empty() && name->uri == XLINK_NAMESPACE && !taken("xlink")) fresh = "xlink";
        while (fresh.empty() || taken(fresh)) fresh = "ns" + std::to_string(generated_++);
        added_.emplace_back(std::move(fresh), std::string(name->uri));
        chosen = added_.back().first;
    }
    out.reserve(chosen.size() + 1 + name->local.size());
    out = chosen;
    out += ':';
    out += name->local;
    return true;
}

std::optional<std::string_view> QNamePrefixes::bound(std::string_view prefix) const noexcept {
    if (prefix == "xml") return XML_NAMESPACE;
    for (const auto* list : {&plan_.declarations, &added_}) {
        for (const auto& [bound_prefix, uri] : *list) {
            if (bound_prefix == prefix) return std::string_view(uri);
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> QNamePrefixes::prefixes_for(std::string_view uri) const {
    std::vector<std::string_view> prefixes;
    for (const auto* list : {&plan_.declarations, &added_}) {
        for (const auto& [bound_prefix, bound_uri] : *list) {
            if (bound_uri == uri) prefixes.push_back(bound_prefix);
        }
    }
    return prefixes;
}

bool QNamePrefixes::adopt(std::string_view prefix, std::string_view uri) {
    if (const std::optional<std::string_view> root = bound(prefix)) return *root == uri;
    if (prefix.empty() || prefix == "xmlns" || taken(prefix)) return false;
    added_.emplace_back(std::string(prefix), std::string(uri));
    return true;
}

void QNamePrefixes::finish(XmlWriter& writer, std::size_t at) const {
    if (added_.empty()) return;
    std::string declarations;
    for (const auto& [prefix, uri] : added_) {
        declarations += " xmlns:" + prefix + "=\"";
        for (const char c : uri) {  // a URI may hold markup characters
            if (c == '&') {
                declarations += "&amp;";
            } else if (c == '"') {
                declarations += "&quot;";
            } else if (c == '<') {
                declarations += "&lt;";
            } else {
                declarations += c;
            }
        }
        declarations += '"';
    }
    writer.insert(at, declarations);
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
