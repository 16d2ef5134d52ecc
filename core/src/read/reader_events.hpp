// core/src/read/reader_events.hpp: the events a reader sends to the binder.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "kestrix/attribute_view.hpp"

namespace kestrix::detail {

/// What a reader sends its sink, in document order. Names come as written
/// ("p:item"), or in namespace mode as their URI, local part and prefix (see
/// ExpandedName), as views with their lengths: a name or value is not
/// NUL-terminated, and is valid only during the call. Texts of comments,
/// processing instructions and namespace declarations are NUL-terminated.
/// The sink answers through ReaderControl.
///
/// ExpatReader calls a sink of a known final type, so these calls are direct;
/// XmlReader calls through this interface, once per element or text piece.
class ReaderEvents {
public:
    /// A start tag: its name, its attributes in document order, and whether
    /// it is self-closing (its end event follows at once).
    virtual void on_start(const ExpandedName& name, std::span<const AttributeView> attributes,
                          bool empty) noexcept = 0;
    virtual void on_end() noexcept = 0;
    /// Character data, possibly in several pieces.
    virtual void on_text(const char* text, std::size_t length) noexcept = 0;
    /// True when the sink wants namespace declarations reported (namespace
    /// mode only): each before the start event of its element, its end after
    /// the element's end event. The default namespace's prefix is empty, as
    /// is the URI of an undeclaration.
    virtual bool wants_namespace_events() const noexcept = 0;
    virtual void on_namespace_start(const char* prefix, const char* uri) = 0;
    virtual void on_namespace_end(const char* prefix) = 0;
    /// A comment or processing instruction (its text may be empty), reported
    /// only between ReaderControl::report_nodes(true) and (false).
    virtual void on_comment(const char*) noexcept {}
    virtual void on_instruction(const char*, const char*) noexcept {}

protected:
    ~ReaderEvents() = default;
};

}  // namespace kestrix::detail
