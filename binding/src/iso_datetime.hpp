// binding/src/iso_datetime.hpp: XML Schema date/time text in the form every
// supported Python's fromisoformat takes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::py {

/// The text of an xs:date, xs:time or xs:dateTime value rewritten where the
/// oldest supported `fromisoformat` (CPython 3.10) would refuse it: a trailing
/// `Z` becomes `+00:00`, and fractional seconds of any length become six
/// digits (padded with zeros, or cut as later Pythons cut them). Nothing when
/// the text needs no change; any other text is left for fromisoformat to judge.
inline std::optional<std::string> iso_from_xml_schema(std::string_view text) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::optional<std::string> out;
    // Fractional seconds: "hh:mm:ss." followed by one or more digits.
    const std::size_t point = text.find('.');
    if (point != std::string_view::npos && point >= 3 && text[point - 3] == ':' &&
        digit(text[point - 2]) && digit(text[point - 1])) {
        std::size_t end = point + 1;
        while (end < text.size() && digit(text[end])) ++end;
        const std::size_t digits = end - point - 1;
        if (digits > 0 && digits != 6) {
            std::string fraction(text.substr(point + 1, digits < 6 ? digits : 6));
            fraction.resize(6, '0');
            out.emplace(text.substr(0, point + 1));
            *out += fraction;
            *out += text.substr(end);
        }
    }
    std::string_view current = out ? std::string_view(*out) : text;
    if (current.size() > 1 && current.back() == 'Z' && digit(current[current.size() - 2])) {
        std::string zoned(current.substr(0, current.size() - 1));
        zoned += "+00:00";
        out = std::move(zoned);
    }
    return out;
}

}  // namespace kestrix::py
