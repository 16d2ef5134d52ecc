// core/include/kestrix/element_facts.hpp: what one element of a held document
// holds, looked up again by its start tag's offset when an error needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"

namespace kestrix {

/// A direct child element: its name as written and where its start tag stands.
struct ChildFacts {
    std::string name;
    ErrorLocation at;
};

/// One element as the document wrote it.
struct ElementFacts {
    std::string name;                     ///< "prefix:local" or "local"
    ErrorLocation at;                     ///< line and column of its start tag
    std::vector<std::string> attributes;  ///< attribute names, in document order
    std::vector<ChildFacts> children;     ///< direct children in document order (bounded)
};

/// The most children an ElementFacts lists.
inline constexpr std::size_t MAX_CHILD_FACTS = 100000;

/// Reads `document` again (decoded as `options` say) up to the element whose
/// start tag begins at byte `offset` and through its content; nullopt when no
/// start tag begins there or the document fails before it. Meant for error
/// paths only: the binder keeps just the offset of each class element, and
/// this recovers the rest when something about that element must be said.
std::optional<ElementFacts> describe_element(std::string_view document,
                                             const ReaderOptions& options, std::uint64_t offset);

}  // namespace kestrix
