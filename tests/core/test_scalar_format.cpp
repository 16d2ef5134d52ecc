// tests/core/test_scalar_format.cpp: text of scalar Values, float layout and round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "kestrix/scalar_format.hpp"

namespace kestrix {
namespace {

/// The text of `v`, or "(none)" when it has none.
std::string format(const Value& v) {
    FormatScratch scratch{};
    std::optional<std::string_view> text = format_scalar(v, scratch);
    return text ? std::string(*text) : "(none)";
}

std::string format(double d) { return format(Value::floating(d)); }

/// The texts of `values` joined by spaces.
template <class T>
std::string format_all(std::initializer_list<T> values) {
    std::string out;
    for (const T& v : values) out += (out.empty() ? "" : " ") + format(v);
    return out;
}

TEST(FormatScalar, TextOfEachKind) {
    EXPECT_EQ(format_all({Value::boolean(true), Value::boolean(false), Value::integer(-42),
                          Value::integer(INT64_MAX), Value::integer(INT64_MIN),
                          Value::string("a <b> & c"), Value::string("")}),
              "true false -42 9223372036854775807 -9223372036854775808 a <b> & c ");
    Value one[] = {Value::integer(1)};
    const ObjectValue empty;
    EXPECT_EQ(format_all({Value::null(), Value::list(one, 1), Value::object(&empty), Value()}),
              "(none) (none) (none) (none)");
    const Value kept = Value::string("kept");  // returned in place, not copied
    FormatScratch scratch{};
    EXPECT_EQ(format_scalar(kept, scratch)->data(), kept.as_str().data());
    // Floats: shortest round-trip digits, in fixed notation for magnitudes in
    // [1e-5, 1e10) and d.ddde±E outside.
    constexpr double nan = NAN, inf = INFINITY;
    EXPECT_EQ(
        format_all({nan, -nan, std::bit_cast<double>(0xFFF0000000000123ULL), inf, -inf, 0.0, -0.0}),
        "NaN NaN NaN inf -inf 0.0 -0.0");
    EXPECT_EQ(format_all({1.0, 0.1 + 0.2, 1e9, 1234567890.125, 9999999999.999998}),
              "1.0 0.30000000000000004 1000000000.0 1234567890.125 9999999999.999998");
    EXPECT_EQ(format_all({1e10, 12345678901.0, 1.7976931348623157e308, -1.7976931348623157e308}),
              "1.0e10 1.2345678901e10 1.7976931348623157e308 -1.7976931348623157e308");
    EXPECT_EQ(format_all({0.00001, -0.000012345678901234567, 1e-5 * 0.9999999999999999, 5e-324}),
              "0.00001 -0.000012345678901234568 9.999999999999999e-6 5.0e-324");
}

// Random doubles (fixed seed) read back to the same bits, laid out as their
// magnitude calls for, with no more digits than needed to read back.
TEST(FormatFloat, RandomDoublesRoundTripWithTheRightLayout) {
    std::mt19937_64 rng(20240131);
    for (int n = 0; n < 5000; ++n) {
        const double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        const std::string text = format(value);
        SCOPED_TRACE(text);
        double back = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_TRUE(text.size() <= 24 && r.ptr == text.data() + text.size());
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value));
        const std::size_t e = text.find('e'), point = text.find('.');
        const bool fixed = std::fabs(value) >= 1e-5 && std::fabs(value) < 1e10;
        ASSERT_EQ(e == std::string::npos, fixed);
        ASSERT_TRUE(point != std::string::npos && point + 1 < std::min(e, text.size()) &&
                    (fixed || (point == (value < 0 ? 2u : 1u) && text[e + 1] != '+')));

        std::string digits = text.substr(0, e);
        std::erase_if(digits, [](char c) { return c < '0' || c > '9'; });
        digits.erase(0, digits.find_first_not_of('0'));
        digits.erase(digits.find_last_not_of('0') + 1);  // padding and the "d.0" filler
        char shorter[40];
        std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(digits.size()) - 2, value);
        EXPECT_TRUE(digits.size() <= 1 || std::strtod(shorter, nullptr) != value) << shorter;
    }
}

}  // namespace
}  // namespace kestrix
