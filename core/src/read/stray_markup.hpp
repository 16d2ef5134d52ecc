// core/src/read/stray_markup.hpp: the failure for what may not stand outside the document element.
#pragma once

#include <expat.h>

namespace kestrix::detail {

/// A failure of the reader: its error code and where it is located.
struct ReadFault {
    XML_Error code;
    const char* at;
};

/// The failure for the input at `p` (before `end`), met before the document
/// element (`after_root` false) or after it, that is neither white space, a
/// comment, a processing instruction nor (before it) the document element's
/// start tag or a document type declaration; `namespaces` when the document
/// is read with namespaces.
///
/// The input is first cut as the markup of a document type declaration is:
/// a name, a quoted literal, a parameter entity reference, a declaration
/// keyword after "<!" or one of the declarations' punctuation. A piece that
/// cuts cleanly is a syntax error at its start (junk after the document
/// element once that is read); one that does not is an invalid token where
/// the cut fails, or an unclosed token at its start when the input ends
/// first. Readers built on libexpat say the same of the same input.
ReadFault stray_markup(const char* p, const char* end, bool after_root, bool namespaces) noexcept;

}  // namespace kestrix::detail
