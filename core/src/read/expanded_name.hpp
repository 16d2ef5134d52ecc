// core/src/read/expanded_name.hpp: the parts of a name as expat reports it with namespace
// processing.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace kestrix::detail {

/// What expat puts between the URI, the local name and the prefix of a name
/// when it processes namespaces. A control character, so it never occurs in
/// a well-formed name or URI.
inline constexpr char NS_SEPARATOR = '\x1f';

/// A name read namespace-aware: `uri` empty for a name in no namespace,
/// `prefix` empty for an unprefixed one.
struct ExpandedName {
    std::string_view uri;
    std::string_view local;
    std::string_view prefix;

    /// The name as the document wrote it: "prefix:local" or "local".
    std::string written() const {
        if (prefix.empty()) return std::string(local);
        std::string text(prefix);
        text.push_back(':');
        text.append(local);
        return text;
    }
};

/// Splits expat's "uri<sep>local<sep>prefix", "uri<sep>local" or "local".
inline ExpandedName split_expanded(std::string_view whole) noexcept {
    const std::size_t first = whole.find(NS_SEPARATOR);
    if (first == std::string_view::npos) return {{}, whole, {}};
    const std::string_view rest = whole.substr(first + 1);
    const std::size_t second = rest.find(NS_SEPARATOR);
    if (second == std::string_view::npos) return {whole.substr(0, first), rest, {}};
    return {whole.substr(0, first), rest.substr(0, second), rest.substr(second + 1)};
}

}  // namespace kestrix::detail
