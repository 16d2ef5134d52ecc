// core/src/read/encoding.cpp: byte-order marks, encoding declarations and the UTF-8 test.
#include "kestrix/encoding.hpp"

#include <algorithm>

#include "kestrix/scalar_parse.hpp"

namespace kestrix {

namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string declared_encoding(std::string_view head) {
    head = head.substr(0, std::min(head.size(), DECLARATION_HEAD));
    using namespace std::string_view_literals;
    if (head.starts_with("\xFE\xFF"sv) || head.starts_with("\xFF\xFE"sv) ||
        head.starts_with("<\0?\0"sv) || head.starts_with("\0<\0?"sv)) {
        return "UTF-16";
    }
    if (head.starts_with("\xEF\xBB\xBF"sv)) head.remove_prefix(3);
    if (!head.starts_with("<?xml") || head.size() < 6 || !is_space(head[5])) return {};
    const std::size_t end = head.find("?>");
    const std::string_view declaration = head.substr(0, end);
    for (std::size_t at = declaration.find("encoding"); at != std::string_view::npos;
         at = declaration.find("encoding", at + 1)) {
        if (!is_space(declaration[at - 1])) continue;
        std::size_t i = at + 8;
        while (i < declaration.size() && is_space(declaration[i])) ++i;
        if (i >= declaration.size() || declaration[i] != '=') continue;
        ++i;
        while (i < declaration.size() && is_space(declaration[i])) ++i;
        if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) continue;
        const std::size_t close = declaration.find(declaration[i], i + 1);
        if (close == std::string_view::npos) return {};
        return std::string(declaration.substr(i + 1, close - i - 1));
    }
    return {};
}

bool names_utf8(std::string_view name) noexcept {
    return equals_ignoring_case(name, "UTF-8") || equals_ignoring_case(name, "UTF8");
}

bool names_utf16(std::string_view name) noexcept {
    return equals_ignoring_case(name, "UTF-16") || equals_ignoring_case(name, "UTF-16LE") ||
           equals_ignoring_case(name, "UTF-16BE");
}

bool reader_decodes(std::string_view name) noexcept {
    for (std::string_view known :
         {"UTF-8", "UTF-16", "UTF-16BE", "UTF-16LE", "ISO-8859-1", "US-ASCII"}) {
        if (equals_ignoring_case(name, known)) return true;
    }
    return false;
}

bool needs_declared_encoding(std::string_view document) {
    const std::string name = declared_encoding(document);
    if (name.empty() || names_utf8(name)) return false;
    return document.find('\0') != std::string_view::npos || check_utf8(document).has_value();
}

}  // namespace kestrix
