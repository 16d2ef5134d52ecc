// core/src/read/reader_namespaces.hpp: the namespace bindings in scope while XmlReader reads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrix::detail {

inline constexpr std::string_view XML_NAMESPACE = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view XMLNS_NAMESPACE = "http://www.w3.org/2000/xmlns/";

/// Prefix-to-URI bindings as a stack per prefix (the default namespace's
/// prefix is empty), with the order they were made in, so that an element's
/// end undoes its own. A lookup costs one hash, whatever the depth.
class NamespaceScope {
public:
    NamespaceScope() { stacks_[std::string("xml")].emplace_back(XML_NAMESPACE); }

    void bind(std::string_view prefix, std::string_view uri) {
        auto it = stacks_.find(prefix);
        if (it == stacks_.end()) it = stacks_.emplace(std::string(prefix), Uris()).first;
        it->second.emplace_back(uri);
        order_.push_back(&it->first);
    }

    /// The prefix of the binding made `back` bindings before the last one.
    std::string_view recent(std::size_t back) const noexcept {
        return *order_[order_.size() - 1 - back];
    }

    /// Undoes the last binding made.
    void unbind() {
        const std::string& prefix = *order_.back();
        stacks_.find(prefix)->second.pop_back();
        order_.pop_back();
    }

    /// The URI `prefix` is bound to (empty for an undeclared default
    /// namespace), or null when it is not bound.
    const std::string* find(std::string_view prefix) const {
        const auto it = stacks_.find(prefix);
        if (it == stacks_.end() || it->second.empty()) return nullptr;
        return &it->second.back();
    }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>()(s);
        }
    };
    using Uris = std::vector<std::string>;
    // Node-based: the keys stay where they are while the map grows.
    std::unordered_map<std::string, Uris, Hash, std::equal_to<>> stacks_;
    std::vector<const std::string*> order_;
};

}  // namespace kestrix::detail
