// core/src/expat_reader.hpp: an owned expat parser fed in chunks from a borrowed document.
#pragma once

#include <expat.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "kestrix/error.hpp"

namespace kestrix::detail {

/// Owns one expat parser that reads `document` (borrowed; it must outlive the
/// reader) as UTF-8, without any external entity loading, and with namespace
/// processing only when asked (names then arrive as expanded names, see
/// expanded_name.hpp; an unbound prefix is a reader error). The document is handed to expat in
/// bounded chunks straight from its own memory, so a large document is never copied whole.
class ExpatReader {
public:
    /// How a call of `run` ended.
    enum class Stop {
        Suspended,  ///< a handler suspended the parser; `run` resumes it
        Failed,     ///< the parser failed or a handler stopped it for good
        Finished,   ///< the whole document was read
    };

    explicit ExpatReader(std::string_view document, bool namespaces = false);

    XML_Parser handle() const noexcept { return parser_.get(); }
    /// True when names arrive as expanded names.
    bool namespaces() const noexcept { return namespaces_; }
    std::string_view document() const noexcept { return document_; }

    /// Parses on, resuming a suspended parser first, until a handler suspends or
    /// stops it, the parser fails, or the document ends.
    Stop run();

    /// The failure of the parser after `run` returned `Failed` on its own account.
    /// An end of input before the document element is complete becomes
    /// "Unexpected end of XML stream".
    BindError error() const;

    /// True when the failure was the end of input before the document element closed.
    bool failed_at_end_of_input() const noexcept;

    /// True when the current start-tag event is a self-closing tag (`<a/>`),
    /// judged from the tag's own bytes.
    bool current_tag_is_empty() const noexcept;

private:
    struct Free {
        void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
    };

    std::unique_ptr<std::remove_pointer_t<XML_Parser>, Free> parser_;
    std::string_view document_;
    std::size_t offset_ = 0;  ///< bytes handed to expat so far
    bool namespaces_;
};

}  // namespace kestrix::detail
