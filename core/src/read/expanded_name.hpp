// core/src/read/expanded_name.hpp: the parts of a name as expat reports it with namespace
// processing.
#pragma once

#include <string_view>

#include "kestrix/attribute_view.hpp"

namespace kestrix::detail {

/// What expat puts between the URI, the local name and the prefix of a name
/// when it processes namespaces. A control character, so it never occurs in
/// a well-formed name or URI.
inline constexpr char NS_SEPARATOR = '\x1f';

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
