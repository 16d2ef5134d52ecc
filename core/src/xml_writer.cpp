// core/src/xml_writer.cpp: the byte-level XML writer: escaping tables,
// references, tags and indentation, into one growing buffer.
#include "kestrix/xml_writer.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace kestrix {

namespace {

// What the escaping pass does with each byte: bit 0 replaces it by a reference
// in text, bit 1 in attribute values; bit 2 marks a control character that
// XML 1.0 cannot carry at all; bit 3 a lead byte that may begin U+FFFE or
// U+FFFF. Tab and line feed are kept in text but referenced in attributes,
// where a reader would otherwise normalize them to spaces.
constexpr std::uint8_t kInText = 1;
constexpr std::uint8_t kInAttribute = 2;
constexpr std::uint8_t kForbidden = 4;
constexpr std::uint8_t kNonCharacterLead = 8;
constexpr std::uint8_t kTextMask = kInText | kForbidden | kNonCharacterLead;
constexpr std::uint8_t kAttributeMask = kInAttribute | kForbidden | kNonCharacterLead;

constexpr std::array<std::uint8_t, 256> make_escape_table() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 0x20; ++c) t[c] = kForbidden;
    for (unsigned char c : {'&', '<', '>', '"', '\'', '\r'}) t[c] = kInText | kInAttribute;
    t['\t'] = kInAttribute;
    t['\n'] = kInAttribute;
    t[0xEF] = kNonCharacterLead;  // U+FFFE and U+FFFF are EF BF BE and EF BF BF
    return t;
}
constexpr std::array<std::uint8_t, 256> kEscape = make_escape_table();

std::string_view reference_for(unsigned char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&apos;";
        case '\r':
            return "&#13;";
        case '\t':
            return "&#9;";
        default:
            return "&#10;";
    }
}

}  // namespace

XmlWriter::XmlWriter(std::optional<std::uint64_t> indent)
    : indented_(indent.has_value()), step_(indent.value_or(0)) {
    grow(512);
}

std::string XmlWriter::take() {
    std::string text(out_.get(), used_);
    used_ = 0;
    return text;
}

void XmlWriter::grow(std::size_t n) {
    const std::size_t capacity = std::max(capacity_ * 2, used_ + n);
    void* const grown = std::realloc(out_.get(), capacity);
    if (grown == nullptr) throw std::bad_alloc();
    (void)out_.release();
    out_.reset(static_cast<char*>(grown));
    capacity_ = capacity;
}

inline void XmlWriter::put_name(std::string_view prefix, std::string_view local) {
    if (!prefix.empty()) {
        put(prefix);
        put(':');
    }
    put(local);
}

inline bool XmlWriter::put_escaped(std::string_view s, std::uint8_t mask) {
    // Most texts hold no byte to replace: one table test a byte, one copy.
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end && (kEscape[static_cast<unsigned char>(*p)] & mask) == 0) ++p;
    if (p != end) return put_escaped_from(s.data(), p, end, mask);
    put(s);
    return true;
}

/// The rest of put_escaped from the first selected byte `p` on: markup
/// characters are replaced, runs between them copied in one piece, and the
/// first character XML 1.0 cannot carry stops the text (out_ is left partly
/// written).
[[gnu::noinline]] bool XmlWriter::put_escaped_from(const char* run, const char* p, const char* end,
                                                   std::uint8_t mask) {
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const std::uint8_t action = kEscape[c] & mask;
        if (action == 0) continue;
        if (action & kForbidden) {
            rejected_ = c;
            return false;
        }
        if (action & kNonCharacterLead) {
            if (end - p >= 3 && static_cast<unsigned char>(p[1]) == 0xBF &&
                (static_cast<unsigned char>(p[2]) & 0xFE) == 0xBE) {
                rejected_ =
                    static_cast<char32_t>(0xFFFE + (static_cast<unsigned char>(p[2]) - 0xBE));
                return false;
            }
            continue;
        }
        put({run, static_cast<std::size_t>(p - run)});
        put(reference_for(c));
        run = p + 1;
    }
    put({run, static_cast<std::size_t>(end - run)});
    return true;
}

void XmlWriter::insert(std::size_t at, std::string_view text) {
    room(text.size());
    char* const base = out_.get();
    std::memmove(base + at + text.size(), base + at, used_ - at);
    std::memcpy(base + at, text.data(), text.size());
    used_ += text.size();
}

void XmlWriter::line_break() {
    if (!indented_ || !pending_break_ || compact_ != 0) return;
    char* const d = room(width_ + 1);
    d[0] = '\n';
    std::memset(d + 1, ' ', width_);
    used_ += width_ + 1;
}

void XmlWriter::open_start_tag(std::string_view name) { open_start_tag({}, name); }

void XmlWriter::open_start_tag(std::string_view prefix, std::string_view local) {
    line_break();
    put('<');
    put_name(prefix, local);
}

bool XmlWriter::attribute(std::string_view name, std::string_view value) {
    return attribute({}, name, value);
}

bool XmlWriter::attribute(std::string_view prefix, std::string_view local, std::string_view value) {
    put(' ');
    put_name(prefix, local);
    put("=\"");
    if (!put_escaped(value, kAttributeMask)) return false;
    put('"');
    return true;
}

void XmlWriter::close_start_tag() {
    put('>');
    width_ += step_;
    pending_break_ = true;
}

bool XmlWriter::text(std::string_view text) {
    if (!put_escaped(text, kTextMask)) return false;
    pending_break_ = false;
    return true;
}

bool XmlWriter::text_element(std::string_view name, std::string_view text) {
    // open_start_tag, close_start_tag, text and end_tag in one: the
    // indentation width comes back to where it was and no break falls inside.
    line_break();
    put('<');
    put(name);
    put('>');
    if (!put_escaped(text, kTextMask)) return false;
    put("</");
    put(name);
    put('>');
    pending_break_ = true;
    return true;
}

void XmlWriter::end_tag(std::string_view name) { end_tag({}, name); }

void XmlWriter::end_tag(std::string_view prefix, std::string_view local) {
    width_ = width_ > step_ ? width_ - step_ : 0;
    line_break();
    put("</");
    put_name(prefix, local);
    put('>');
    pending_break_ = true;
}

}  // namespace kestrix
