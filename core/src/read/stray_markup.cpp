// core/src/read/stray_markup.cpp: the failure for what may not stand outside the document element.
#include "stray_markup.hpp"

#include <cstring>
#include <string_view>

#include "xml_chars.hpp"

namespace kestrix::detail {

namespace {

/// The failure, if any, for the character at `p` (before `end`) that must
/// start a name.
ReadFault name_start_fault(const char* p, const char* end) noexcept {
    const auto u = static_cast<unsigned char>(*p);
    if (u < 0x80) {
        if ((ASCII_CLASS[u] & NAME_START) != 0) return {XML_ERROR_NONE, p};
        return {XML_ERROR_INVALID_TOKEN, p};
    }
    const Decoded d = decode_utf8(p, end);
    if (d.length < 0) return {XML_ERROR_PARTIAL_CHAR, p};
    if (d.length == 0 || !is_name_start_above_ascii(d.code)) return {XML_ERROR_INVALID_TOKEN, p};
    return {XML_ERROR_NONE, p};
}

/// Characters that may follow a token of a declaration's markup, besides
/// white space: after a name, a name token that is no name, a reserved name,
/// a literal and a closing parenthesis.
constexpr std::string_view AFTER_NAME = "%)*+,>?[|";
constexpr std::string_view AFTER_NAME_TOKEN = "%),>[|";
constexpr std::string_view AFTER_RESERVED = "%)>|";
constexpr std::string_view AFTER_LITERAL = "%>[";
constexpr std::string_view AFTER_PARENTHESIS = ")*+,>?|";

ReadFault cut(const char* p, const char* end, bool after_root, bool namespaces) noexcept;

}  // namespace

ReadFault stray_markup(const char* p, const char* end, bool after_root, bool namespaces) noexcept {
    // Input that ends inside a character ends the whole piece.
    const ReadFault fault = cut(p, end, after_root, namespaces);
    return fault.code == XML_ERROR_PARTIAL_CHAR ? ReadFault{fault.code, p} : fault;
}

namespace {

ReadFault cut(const char* p, const char* end, bool after_root, bool namespaces) noexcept {
    const XML_Error misplaced = after_root ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT : XML_ERROR_SYNTAX;
    const char* const start = p;
    const auto u = static_cast<unsigned char>(*p);
    // Read with namespaces, a colon ends a reserved name, a parameter entity's
    // name and a declaration's keyword.
    const auto colon = [&](const char* from, const char* to) {
        return namespaces ? static_cast<const char*>(
                                std::memchr(from, ':', static_cast<std::size_t>(to - from)))
                          : nullptr;
    };
    // A name, or something read as one: it must end where a name may.
    const auto after_name = [&](const NameRun run, std::string_view followers) -> ReadFault {
        if (run.fault != XML_ERROR_NONE) return {run.fault, run.end};
        if (run.end == end || is_space(static_cast<unsigned char>(*run.end)) ||
            followers.find(*run.end) != std::string_view::npos) {
            return {misplaced, start};
        }
        return {XML_ERROR_INVALID_TOKEN, run.end};
    };
    switch (u) {
        case '<': {
            if (end - p < 2) return {XML_ERROR_UNCLOSED_TOKEN, p};
            const char* q = p + 1;
            if (*q == '/') return {XML_ERROR_INVALID_TOKEN, q};
            if (*q != '!') {  // another element after the document element
                const auto c = static_cast<unsigned char>(*q);
                const bool starts_name =
                    c >= 0x80 || ((ASCII_CLASS[c] & NAME_START) != 0 && !(namespaces && c == ':'));
                return starts_name ? ReadFault{misplaced, p}
                                   : ReadFault{XML_ERROR_INVALID_TOKEN, q};
            }
            ++q;
            if (q == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
            if (*q == '[') return {misplaced, p};
            // Declaration keywords are ASCII.
            if (static_cast<unsigned char>(*q) >= 0x80) return {XML_ERROR_INVALID_TOKEN, q};
            if (*q == '-') {  // a comment's start gone wrong
                if (q + 1 == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
                return {XML_ERROR_INVALID_TOKEN, q + 1};
            }
            // A declaration's keyword: name start characters, then white
            // space or a parameter entity reference.
            const char* r = q;
            while (r < end && (ASCII_CLASS[static_cast<unsigned char>(*r)] & NAME_START) != 0) ++r;
            if (const char* c = colon(q, r)) r = c;
            if (r == q) return {XML_ERROR_INVALID_TOKEN, q};
            if (r == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
            if (is_space(static_cast<unsigned char>(*r))) return {misplaced, p};
            if (*r != '%') return {XML_ERROR_INVALID_TOKEN, r};
            if (r + 1 == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
            // "%" before white space or another one declares a parameter entity.
            if (is_space(static_cast<unsigned char>(r[1])) || r[1] == '%') {
                return {XML_ERROR_INVALID_TOKEN, r};
            }
            return {misplaced, p};
        }
        case ']':  // "]]" may begin "]]>"
            if (end - p == 2 && p[1] == ']') return {XML_ERROR_UNCLOSED_TOKEN, p};
            return {misplaced, p};
        case '(':
        case ',':
        case '>':
        case '[':
        case '|':
            return {misplaced, p};
        case ')':
            return after_name({p + 1, XML_ERROR_NONE, false}, AFTER_PARENTHESIS);
        case '"':
        case '\'': {  // a literal: characters up to the same quote
            for (const char* q = p + 1; q < end;) {
                const auto c = static_cast<unsigned char>(*q);
                if (c == u) return after_name({q + 1, XML_ERROR_NONE, false}, AFTER_LITERAL);
                if (c < 0x80) {
                    if ((ASCII_CLASS[c] & CHAR) == 0) return {XML_ERROR_INVALID_TOKEN, q};
                    ++q;
                    continue;
                }
                const Decoded d = decode_utf8(q, end);
                if (d.length < 0) return {XML_ERROR_PARTIAL_CHAR, q};
                if (d.length == 0 || !is_xml_char(d.code)) return {XML_ERROR_INVALID_TOKEN, q};
                q += d.length;
            }
            return {XML_ERROR_UNCLOSED_TOKEN, p};
        }
        case '%':    // a parameter entity reference
        case '#': {  // a reserved name
            if (p + 1 == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
            // A percent sign before white space or another one is the token
            // that declares a parameter entity.
            if (u == '%' && (is_space(static_cast<unsigned char>(p[1])) || p[1] == '%')) {
                return {misplaced, p};
            }
            if (const ReadFault f = name_start_fault(p + 1, end); f.code != XML_ERROR_NONE) {
                return f;
            }
            NameRun run = name_run(p + 1, end);
            if (const char* c = colon(p + 1, run.end)) run = {c, XML_ERROR_NONE, run.non_ascii};
            if (u == '#') return after_name(run, AFTER_RESERVED);
            if (run.fault != XML_ERROR_NONE) return {run.fault, run.end};
            if (run.end == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
            if (*run.end != ';') return {XML_ERROR_INVALID_TOKEN, run.end};
            return {after_root ? misplaced : XML_ERROR_PARAM_ENTITY_REF, p};
        }
        default:
            break;
    }
    // A name, or a name token: one that starts with no name start, or, read
    // with namespaces, whose colons make no qualified name.
    bool name_start;
    if (u < 0x80) {
        if ((ASCII_CLASS[u] & NAME) == 0) return {XML_ERROR_INVALID_TOKEN, p};
        name_start = (ASCII_CLASS[u] & NAME_START) != 0;
    } else {
        const Decoded d = decode_utf8(p, end);
        if (d.length < 0) return {XML_ERROR_PARTIAL_CHAR, p};
        if (d.length == 0 || !is_name_char_above_ascii(d.code)) return {XML_ERROR_INVALID_TOKEN, p};
        name_start = is_name_start_above_ascii(d.code);
    }
    const NameRun run = name_run(p, end);
    if (const char* c = colon(p, run.end)) {
        const bool prefix = name_start && c != p && colon(c + 1, run.end) == nullptr;
        // A prefix the input ends after may still get its local part.
        if (prefix && c + 1 == end) return {XML_ERROR_UNCLOSED_TOKEN, p};
        name_start = prefix && c + 1 != run.end;
    }
    return after_name(run, name_start ? AFTER_NAME : AFTER_NAME_TOKEN);
}

}  // namespace

}  // namespace kestrix::detail
