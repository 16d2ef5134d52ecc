// core/src/write/xml_writer.cpp: the byte-level XML writer: escaping tables,
// references, tags and indentation, into one growing buffer.
#include "kestrix/xml_writer.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

namespace kestrix {

namespace {

// What the escaping pass does with each byte: bit 0 replaces it by a reference
// in text, bit 1 in attribute values; bit 2 marks a control character that
// XML 1.0 cannot carry at all; bit 3 a lead byte that may begin U+FFFE or
// U+FFFF; bit 4 a byte of a character beyond ASCII, which is looked at only
// when the encoding cannot carry every character. Tab and line feed are kept
// in text but referenced in attributes, where a reader would otherwise
// normalize them to spaces.
constexpr std::uint8_t kInText = 1;
constexpr std::uint8_t kInAttribute = 2;
constexpr std::uint8_t kForbidden = 4;
constexpr std::uint8_t kNonCharacterLead = 8;
constexpr std::uint8_t kBeyondAscii = 16;
constexpr std::uint8_t kTextMask = kInText | kForbidden | kNonCharacterLead;
constexpr std::uint8_t kAttributeMask = kInAttribute | kForbidden | kNonCharacterLead;

constexpr std::array<std::uint8_t, 256> make_escape_table() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 0x20; ++c) t[c] = kForbidden;
    for (unsigned char c : {'&', '<', '>', '"', '\'', '\r'}) t[c] = kInText | kInAttribute;
    t['\t'] = kInAttribute;
    t['\n'] = kInAttribute;
    for (unsigned c = 0x80; c < 0x100; ++c) t[c] = kBeyondAscii;
    t[0xEF] |= kNonCharacterLead;  // U+FFFE and U+FFFF are EF BF BE and EF BF BF
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

/// The code point of the UTF-8 sequence at `p` (before `end`) and its length
/// in bytes; the texts written are valid UTF-8, a truncated sequence gives
/// what its bytes hold.
std::pair<char32_t, std::size_t> decode_utf8(const char* p, const char* end) {
    const auto lead = static_cast<unsigned char>(*p);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, static_cast<std::size_t>(end - p));
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) {
        c = (c << 6) | (static_cast<unsigned char>(p[i]) & 0x3F);
    }
    return {c, length};
}

}  // namespace

XmlWriter::XmlWriter(std::optional<std::uint64_t> indent)
    : indented_(indent.has_value()),
      step_(indent.value_or(0)),
      text_mask_(kTextMask),
      attribute_mask_(kAttributeMask) {
    grow(512);
}

XmlWriter::XmlWriter(const WriteOptions& options) : XmlWriter(options.indent) {
    short_empty_ = options.short_empty_elements;
    encodable_ = options.encodable;
    if (encodable_ != nullptr) {
        text_mask_ |= kBeyondAscii;
        attribute_mask_ |= kBeyondAscii;
    }
}

std::string XmlWriter::take() {
    std::string text(out_.get(), used_);
    clear();
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
        }
        if (action & kBeyondAscii) {
            // Only set under a restricted encoding: a whole character at a time.
            const auto [code, length] = decode_utf8(p, end);
            if (!encodable_->contains(code)) {
                put({run, static_cast<std::size_t>(p - run)});
                put_reference(code);
                run = p + length;
            }
            p += length - 1;
            continue;
        }
        if (action & kNonCharacterLead) continue;
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

void XmlWriter::put_reference(char32_t c) {
    char text[16];
    char* d = text + sizeof text;
    *--d = ';';
    do {
        *--d = "0123456789ABCDEF"[c & 0xF];
        c >>= 4;
    } while (c != 0);
    *--d = 'x';
    *--d = '#';
    *--d = '&';
    put({d, static_cast<std::size_t>(text + sizeof text - d)});
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
    if (!put_escaped(value, attribute_mask_)) return false;
    put('"');
    return true;
}

void XmlWriter::close_start_tag() {
    put('>');
    start_tag_end_ = used_;
    width_ += step_;
    pending_break_ = true;
}

void XmlWriter::end_empty_tag() {
    put("/>");
    pending_break_ = true;
}

bool XmlWriter::shortened() {
    --used_;  // the ">" of the start tag
    put("/>");
    start_tag_end_ = kNoStartTag;
    pending_break_ = true;
    return true;
}

bool XmlWriter::text(std::string_view text) {
    if (!put_escaped(text, text_mask_)) return false;
    pending_break_ = false;
    return true;
}

bool XmlWriter::text_element(std::string_view name, std::string_view text) {
    // open_start_tag, close_start_tag, text and end_tag in one: the
    // indentation width comes back to where it was and no break falls inside.
    line_break();
    put('<');
    put(name);
    if (text.empty() && short_empty_) [[unlikely]] {
        put("/>");
        pending_break_ = true;
        return true;
    }
    put('>');
    if (!put_escaped(text, text_mask_)) return false;
    put("</");
    put(name);
    put('>');
    pending_break_ = true;
    return true;
}

void XmlWriter::end_tag(std::string_view name) { end_tag({}, name); }

void XmlWriter::end_tag(std::string_view prefix, std::string_view local) {
    width_ = width_ > step_ ? width_ - step_ : 0;
    if (short_empty_ && used_ == start_tag_end_ && shortened()) [[unlikely]]
        return;
    line_break();
    put("</");
    put_name(prefix, local);
    put('>');
    pending_break_ = true;
}

bool XmlWriter::cdata(std::string_view text) {
    // Sections are opened only around bytes to hold, so a text that begins
    // or ends with a reference writes no empty section.
    bool open = false;
    auto section = [&](const char* from, const char* to) {
        if (from == to) return;
        if (!open) put("<![CDATA[");
        open = true;
        put({from, static_cast<std::size_t>(to - from)});
    };
    auto close = [&] {
        if (open) put("]]>");
        open = false;
    };
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == ']' && end - p >= 3 && p[1] == ']' && p[2] == '>') {
            // "]]" ends this section, ">" begins the next one.
            section(run, p + 2);
            close();
            run = p + 2;
            ++p;
            continue;
        }
        const std::uint8_t action = kEscape[c] & (kForbidden | kNonCharacterLead | kBeyondAscii);
        if (c != '\r' && action == 0) continue;
        if (action & kForbidden) {
            rejected_ = c;
            return false;
        }
        if (action & kNonCharacterLead && end - p >= 3 &&
            static_cast<unsigned char>(p[1]) == 0xBF &&
            (static_cast<unsigned char>(p[2]) & 0xFE) == 0xBE) {
            rejected_ = static_cast<char32_t>(0xFFFE + (static_cast<unsigned char>(p[2]) - 0xBE));
            return false;
        }
        char32_t code = c;
        std::size_t length = 1;
        if (action & kBeyondAscii) {
            std::tie(code, length) = decode_utf8(p, end);
            if (encodable_ == nullptr || encodable_->contains(code)) {
                p += length - 1;
                continue;
            }
        }
        // A carriage return (a reader would make it a line feed) or a
        // character the encoding cannot carry: a reference between sections.
        section(run, p);
        close();
        put_reference(code);
        p += length - 1;
        run = p + 1;
    }
    section(run, end);
    close();
    pending_break_ = false;
    return true;
}

}  // namespace kestrix
