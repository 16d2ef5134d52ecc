// core/src/read/xml_chars.hpp: character and name classes of XML 1.0 (fifth edition), UTF-8
// decoding.
#pragma once

#include <expat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::detail {

/// Classes of an ASCII byte, as flags of one 256-entry table; bytes 0x80 and
/// above have none (they start or continue a multi-byte character).
enum AsciiClass : std::uint8_t {
    NAME_START = 1,   ///< may start a name (letters, '_', ':')
    NAME = 2,         ///< may continue a name (also digits, '-', '.')
    SPACE = 4,        ///< white space: space, tab, LF, CR
    CHAR = 8,         ///< a character XML allows at all (not a control character)
    NAME_PLAIN = 16,  ///< may continue a name and is no colon
};

constexpr std::array<std::uint8_t, 256> make_ascii_classes() {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0x20; c < 0x80; ++c) table[c] = CHAR;  // DEL included, as XML 1.0 allows it
    for (const int c : {'\t', '\n', '\r', ' '}) table[c] = CHAR | SPACE;
    for (int c = 'a'; c <= 'z'; ++c) table[c] |= NAME_START | NAME;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] |= NAME_START | NAME;
    for (const int c : {'_', ':'}) table[c] |= NAME_START | NAME;
    for (int c = '0'; c <= '9'; ++c) table[c] |= NAME;
    for (const int c : {'-', '.'}) table[c] |= NAME;
    for (int c = 0; c < 0x80; ++c) {
        if ((table[c] & NAME) != 0 && c != ':') table[c] |= NAME_PLAIN;
    }
    return table;
}

inline constexpr std::array<std::uint8_t, 256> ASCII_CLASS = make_ascii_classes();

inline bool is_space(unsigned char c) noexcept { return (ASCII_CLASS[c] & SPACE) != 0; }

/// True for a code point XML allows in a document (the Char production).
inline bool is_xml_char(std::uint32_t c) noexcept {
    if (c < 0x80) return (ASCII_CLASS[c] & CHAR) != 0;
    return (c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

/// Name characters of the fifth edition, for code points above ASCII.
inline bool is_name_start_above_ascii(std::uint32_t c) noexcept {
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

inline bool is_name_char_above_ascii(std::uint32_t c) noexcept {
    return is_name_start_above_ascii(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
           (c >= 0x203F && c <= 0x2040);
}

/// Decodes the UTF-8 character at `p` (before `end`), which starts with a byte
/// of 0x80 or above: its code point and length, or length 0 when the bytes
/// are not a well-formed UTF-8 character (overlong forms and surrogates
/// included), and -1 as length when the input ends inside a character that
/// was well-formed so far.
struct Decoded {
    std::uint32_t code;
    int length;
};

inline Decoded decode_utf8(const char* p, const char* end) noexcept {
    const auto b0 = static_cast<unsigned char>(p[0]);
    int length;
    std::uint32_t code;
    std::uint32_t low = 0x80;  // bounds of the second byte
    std::uint32_t high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
        if (b0 == 0xE0) low = 0xA0;   // no overlong form
        if (b0 == 0xED) high = 0x9F;  // no surrogate
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return {0, 0};
    }
    for (int i = 1; i < length; ++i) {
        if (p + i >= end) return {0, -1};
        const auto b = static_cast<unsigned char>(p[i]);
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return {0, 0};
        code = code << 6 | (b & 0x3F);
    }
    return {code, length};
}

/// True when the character at `p` (before `end`) may start a name.
inline bool starts_name(const char* p, const char* end) noexcept {
    const auto u = static_cast<unsigned char>(*p);
    if (u < 0x80) return (ASCII_CLASS[u] & NAME_START) != 0;
    const Decoded d = decode_utf8(p, end);
    return d.length > 0 && is_name_start_above_ascii(d.code);
}

/// How a run of name characters at `p` (before `end`) ends.
struct NameRun {
    const char* end;  ///< the first character after the run
    XML_Error fault;  ///< XML_ERROR_NONE, or why the bytes at `end` are no character
    bool non_ascii;   ///< whether the run met a byte of 0x80 or above, its last one included
};

/// Reads name characters from `p` up to the first that is none: a character
/// that is no name character ends the run cleanly; bytes that are no UTF-8
/// character end it with XML_ERROR_INVALID_TOKEN, and input that ends inside
/// one with XML_ERROR_PARTIAL_CHAR. Each caller decides what such a fault
/// means where it reads.
inline NameRun name_run(const char* p, const char* end) noexcept {
    bool non_ascii = false;
    while (p < end) {
        const auto u = static_cast<unsigned char>(*p);
        if (u < 0x80) {
            if ((ASCII_CLASS[u] & NAME) == 0) break;
            ++p;
            continue;
        }
        non_ascii = true;
        const Decoded d = decode_utf8(p, end);
        if (d.length < 0) return {p, XML_ERROR_PARTIAL_CHAR, true};
        if (d.length == 0) return {p, XML_ERROR_INVALID_TOKEN, true};
        if (!is_name_char_above_ascii(d.code)) break;
        p += d.length;
    }
    return {p, XML_ERROR_NONE, non_ascii};
}

/// Writes `c` (a valid code point) as UTF-8 at `w`, which it moves past it
/// (room for four bytes is the caller's).
inline void write_utf8(char*& w, std::uint32_t c) noexcept {
    if (c < 0x80) {
        *w++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *w++ = static_cast<char>(0xC0 | (c >> 6));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (c >> 12));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *w++ = static_cast<char>(0xF0 | (c >> 18));
        *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    }
}

/// Appends `c` (a valid code point) as UTF-8.
inline void append_utf8(std::string& out, std::uint32_t c) {
    char bytes[4];
    char* end = bytes;
    write_utf8(end, c);
    out.append(bytes, static_cast<std::size_t>(end - bytes));
}

}  // namespace kestrix::detail
