// core/src/model/qname.cpp: the namespace declarations in scope, and QName texts
// resolved through them.
#include "kestrix/qname.hpp"

#include "kestrix/namespaces.hpp"
#include "kestrix/scalar_parse.hpp"

namespace kestrix {

void InScopeNamespaces::declare(std::string_view prefix, std::string_view uri,
                                std::uint64_t depth) {
    bindings_.push_back(Binding{std::string(prefix), std::string(uri), depth});
}

void InScopeNamespaces::end_element(std::uint64_t depth) noexcept {
    while (!bindings_.empty() && bindings_.back().depth >= depth) bindings_.pop_back();
}

void InScopeNamespaces::end_prefix(std::string_view prefix) noexcept {
    for (std::size_t i = bindings_.size(); i-- > 0;) {
        if (bindings_[i].prefix == prefix) {
            bindings_.erase(bindings_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

std::optional<std::string_view> InScopeNamespaces::resolve(std::string_view prefix) const noexcept {
    if (prefix == "xml") return XML_NAMESPACE;
    for (std::size_t i = bindings_.size(); i-- > 0;) {
        if (bindings_[i].prefix == prefix) return std::string_view(bindings_[i].uri);
    }
    if (prefix.empty()) return std::string_view();
    return std::nullopt;
}

namespace {

bool is_local_part(std::string_view local) noexcept {
    return !local.empty() && local.find(':') == std::string_view::npos &&
           local.find_first_of("{} \t\r\n") == std::string_view::npos;
}

}  // namespace

Result<Value> parse_qname(std::string_view text, const InScopeNamespaces* scope,
                          std::string_view field_name, Arena& arena) {
    const std::string_view name = trim_xml_space(text);
    if (auto error = check_utf8(name)) return BindError::invalid_utf8(*error);
    const std::size_t colon = name.find(':');
    const std::string_view prefix =
        colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (!is_local_part(local) || (colon != std::string_view::npos && !is_local_part(prefix))) {
        return BindError::scalar_parse(std::string(field_name), std::string(name), "a QName");
    }
    std::optional<std::string_view> uri;
    if (scope != nullptr) {
        uri = scope->resolve(prefix);
    } else if (prefix.empty()) {
        uri = std::string_view();
    } else if (prefix == "xml") {
        uri = XML_NAMESPACE;
    }
    if (!uri) {
        return BindError::scalar_parse(std::string(field_name), std::string(name),
                                       "a QName whose prefix is declared");
    }
    if (uri->empty()) return Value::string(arena.copy(local));
    std::string clark;
    clark.reserve(uri->size() + local.size() + 2);
    clark += '{';
    clark += *uri;
    clark += '}';
    clark += local;
    return Value::string(arena.copy(clark));
}

std::optional<ClarkName> split_clark(std::string_view text) noexcept {
    ClarkName name{{}, text};
    if (!text.empty() && text.front() == '{') {
        const std::size_t close = text.rfind('}');
        if (close == std::string_view::npos) return std::nullopt;
        name.uri = text.substr(1, close - 1);
        name.local = text.substr(close + 1);
    }
    if (!is_local_part(name.local)) return std::nullopt;
    return name;
}

}  // namespace kestrix
