// core/include/kestrix/encoding.hpp: what a document says about its own encoding.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrix {

/// Code point of every byte of a single-byte encoding, -1 for a byte the
/// encoding leaves undefined.
using ByteTable = std::array<std::int32_t, 256>;

/// How many of a document's first bytes are looked at for the encoding it
/// names: long enough for any real XML declaration.
inline constexpr std::size_t DECLARATION_HEAD = 512;

/// The encoding a document names for itself in its first bytes: "UTF-16" for a
/// UTF-16 byte-order mark or a declaration written in UTF-16, otherwise the
/// `encoding` of an XML declaration in ASCII bytes (after an optional UTF-8
/// byte-order mark), as written. Empty when the document names none, which
/// means UTF-8. Only the first DECLARATION_HEAD bytes are looked at.
std::string declared_encoding(std::string_view head);

/// True when two encoding names are equal but for ASCII letter case.
bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept;

/// True for the names of UTF-8 ("UTF-8", "UTF8"), in any letter case.
bool names_utf8(std::string_view name) noexcept;

/// True for "UTF-16", "UTF-16LE" and "UTF-16BE", in any letter case.
bool names_utf16(std::string_view name) noexcept;

/// True for the encodings the reader decodes without a byte table: UTF-8,
/// UTF-16 (BE, LE), ISO-8859-1 and US-ASCII, named in any letter case.
bool reader_decodes(std::string_view name) noexcept;

/// True when a document held whole in memory is to be decoded as it declares:
/// it names an encoding other than UTF-8 and its bytes cannot be read as UTF-8
/// (they are not valid UTF-8, or hold a NUL, which no XML document does and
/// every UTF-16 document written in ASCII characters does). Documents that do
/// not name another encoding are not scanned at all.
bool needs_declared_encoding(std::string_view document);

}  // namespace kestrix
