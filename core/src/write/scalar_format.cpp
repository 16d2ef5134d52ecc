// core/src/write/scalar_format.cpp: the XML text of one scalar Value.
#include "kestrix/scalar_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kestrix {

namespace {

std::string_view format_int(std::int64_t value, FormatScratch& scratch) noexcept {
    // to_chars covers the whole range, INT64_MIN included, two digits a step.
    const auto result = std::to_chars(scratch.data(), scratch.data() + scratch.size(), value);
    return {scratch.data(), static_cast<std::size_t>(result.ptr - scratch.data())};
}

/// Shortest round-trip digits with fixed notation for magnitudes in [1e-5, 1e10)
/// and d.ddde±E otherwise; always a digit after the point.
std::string_view format_float(double value, FormatScratch& scratch) noexcept {
    if (std::isnan(value)) return "NaN";
    char* const begin = scratch.data();
    char* out = begin;
    if (std::signbit(value)) {
        *out++ = '-';
        value = -value;
    }
    if (std::isinf(value)) {
        std::memcpy(out, "inf", 3);
        return {begin, static_cast<std::size_t>(out + 3 - begin)};
    }
    if (value == 0.0) {
        std::memcpy(out, "0.0", 3);
        return {begin, static_cast<std::size_t>(out + 3 - begin)};
    }

    // Shortest digits in scientific form, "d[.ddd]e±XX", written past the
    // area the final text may occupy (at most 24 bytes), then laid out anew.
    char* const raw = begin + 32;
    const auto sci =
        std::to_chars(raw, begin + scratch.size(), value, std::chars_format::scientific);
    char digits[17];
    int count = 0;
    const char* p = raw;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p++ == '-';
    int exponent = 0;
    for (; p != sci.ptr; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    if (exponent >= 0 && exponent <= 9) {
        const int integer_digits = exponent + 1;
        for (int i = 0; i < integer_digits; ++i) *out++ = i < count ? digits[i] : '0';
        *out++ = '.';
        if (count > integer_digits) {
            std::memcpy(out, digits + integer_digits,
                        static_cast<std::size_t>(count - integer_digits));
            out += count - integer_digits;
        } else {
            *out++ = '0';
        }
    } else if (exponent >= -5 && exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -exponent - 1; ++i) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
    } else {
        *out++ = digits[0];
        *out++ = '.';
        if (count > 1) {
            std::memcpy(out, digits + 1, static_cast<std::size_t>(count - 1));
            out += count - 1;
        } else {
            *out++ = '0';
        }
        *out++ = 'e';
        out = std::to_chars(out, raw, exponent).ptr;
    }
    return {begin, static_cast<std::size_t>(out - begin)};
}

}  // namespace

std::optional<std::string_view> format_scalar(const Value& value, FormatScratch& scratch) noexcept {
    switch (value.kind()) {
        case Value::Kind::Bool:
            return value.as_bool() ? std::string_view("true") : std::string_view("false");
        case Value::Kind::Int:
            return format_int(value.as_int(), scratch);
        case Value::Kind::Float:
            return format_float(value.as_float(), scratch);
        case Value::Kind::Str:
            return std::string_view(value.as_str());
        case Value::Kind::Null:
        case Value::Kind::List:
        case Value::Kind::Object:
        case Value::Kind::Absent:
            break;
    }
    return std::nullopt;
}

}  // namespace kestrix
