// core/include/kestrix/attribute_view.hpp: names and attributes of a start tag as a reader
// reports them.
#pragma once

#include <string>
#include <string_view>

namespace kestrix {

/// A name of a start tag. With namespace processing: its namespace URI (empty
/// for none), its local part and its prefix as written (empty for none).
/// Without it, `local` is the name as written ("p:item") and the others are
/// empty.
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

/// One attribute of a start tag: its name and its value, references replaced
/// and white space normalised. Both are valid only during the event that
/// carries them, and none of their parts is NUL-terminated.
struct AttributeView {
    ExpandedName name;
    std::string_view value;
};

}  // namespace kestrix
