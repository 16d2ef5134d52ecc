// core/include/kestrix/attribute_view.hpp: one attribute of a start tag as a reader reports it.
#pragma once

#include <string_view>

namespace kestrix {

/// One attribute of a start tag: its name (qualified as written, or an
/// expanded name when namespaces are processed) and its value, references
/// replaced and white space normalised. Both are valid only during the event
/// that carries them, and neither is NUL-terminated.
struct AttributeView {
    std::string_view name;
    std::string_view value;
};

}  // namespace kestrix
