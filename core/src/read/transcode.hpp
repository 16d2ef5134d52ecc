// core/src/read/transcode.hpp: documents in UTF-16, Latin-1, US-ASCII or a byte table,
// turned into UTF-8 for XmlReader, and the offsets of its errors turned back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <expat.h>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"

namespace kestrix::detail {

class XmlReader;

/// The encodings a document decoded as it declares is transcoded from.
enum class SourceEncoding : std::uint8_t { Utf16Le, Utf16Be, Latin1, Ascii, Table };

/// UTF-8 from one of the source encodings, held whole or fed in chunks: a code
/// unit or surrogate pair cut by a chunk's end is kept for the next one.
///
/// What cannot be decoded becomes a byte that the reader refuses just where
/// expat refuses the source: a byte US-ASCII or the table leaves undefined, or
/// an unpaired surrogate, becomes F8, which no UTF-8 holds (an invalid
/// token; expat takes a lone lead surrogate and the code unit after it as
/// one character). Input that ends inside a character ends the UTF-8 before it, and
/// `error_at_cut` says what expat reports for it. A UTF-16 byte-order mark
/// becomes UTF-8's, which the reader passes over and counts as one column,
/// as expat counts both.
class Transcoder {
public:
    /// The transcoder of a document read as it declares
    /// (`options.follow_declaration`) whose first bytes are `head`, its
    /// encoding chosen from the same bytes expat chooses by: a first NUL
    /// byte or FE FF is UTF-16BE, a second NUL byte or FF FE is UTF-16LE,
    /// anything else the single-byte encoding its declaration names.
    /// Nullopt where expat is left to read it: a UTF-8 byte-order mark, a
    /// UTF-16 name declared in single bytes, fewer than two bytes, or no
    /// declaration found in `head`.
    static std::optional<Transcoder> of(std::string_view head, const ReaderOptions& options);

    Transcoder(SourceEncoding encoding, std::shared_ptr<const ByteTable> table,
               std::string declared = {});

    SourceEncoding encoding() const noexcept { return encoding_; }

    /// Appends the UTF-8 of `chunk` to `out`; `final` ends the input.
    void feed(std::string_view chunk, bool final, std::string& out);

    /// True when the input ended inside a character (a UTF-16 code unit, or
    /// a pair whose trail surrogate is missing).
    bool cut_short() const noexcept { return cut_ != XML_ERROR_NONE; }
    /// What expat calls input cut inside a character: an unclosed token
    /// after an odd byte, a partial character after a lead surrogate.
    XML_Error cut_error() const noexcept { return cut_; }
    /// True once an unpaired lead surrogate was read (see Transcoder).
    bool met_unpaired_lead() const noexcept { return unpaired_lead_; }

    /// When the input ended inside a character, the error expat reports for
    /// it, given where `reader` ended reading the UTF-8 before it: in a
    /// token, an unclosed token (a partial character when the bytes read
    /// were whole code units) at the token; between tokens or after the
    /// document, the same at the character cut short. Nullopt when the
    /// reader's own outcome stands (it failed before the end).
    std::optional<BindError> error_at_cut(const XmlReader& reader) const;

    /// True when an XML declaration may name the encoding `name` for the
    /// source: any case of UTF-16 or the byte order read for UTF-16, the
    /// declared name itself for a single-byte encoding.
    bool accepts_declared(std::string_view name) const noexcept;
    /// True when the source must name its encoding in an XML declaration
    /// (a single-byte encoding: only a declaration chose it).
    bool needs_declaration() const noexcept {
        return encoding_ != SourceEncoding::Utf16Le && encoding_ != SourceEncoding::Utf16Be;
    }

    /// A reader error met in the UTF-8 as expat reports it on the source:
    /// at the source offset of its UTF-8 offset, given `tail`, the last bytes
    /// written so far, which start at UTF-8 offset `tail_offset`. Other
    /// errors are returned as they are.
    BindError located(BindError error, std::string_view tail, std::uint64_t tail_offset) const;

private:
    /// The source offset of UTF-8 offset `offset` (see located; an offset
    /// before the tail counts as its start).
    std::uint64_t source_offset(std::string_view tail, std::uint64_t tail_offset,
                                std::uint64_t offset) const noexcept;
    void utf16(std::string_view chunk, bool final, std::string& out);

    SourceEncoding encoding_;
    std::shared_ptr<const ByteTable> table_;
    std::string declared_;            ///< single-byte encodings: the declared name
    bool started_ = false;            ///< the first bytes (a byte-order mark) were looked at
    XML_Error cut_ = XML_ERROR_NONE;  ///< see error_at_cut
    bool unpaired_lead_ = false;
    std::string kept_;  ///< bytes of a code unit or pair cut by a chunk's end
    /// Source bytes the UTF-8 written so far stands for, as source_offset
    /// counts them.
    std::uint64_t source_ = 0;
};

}  // namespace kestrix::detail
