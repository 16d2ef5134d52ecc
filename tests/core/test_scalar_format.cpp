// tests/core/test_scalar_format.cpp: text of scalar Values, float layout and round trip.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "kestrix/scalar_format.hpp"

namespace kestrix {
namespace {

std::optional<std::string> format(const Value& v) {
    FormatScratch scratch{};
    std::optional<std::string_view> text = format_scalar(v, scratch);
    if (!text) return std::nullopt;
    return std::string(*text);
}

std::string format_double(double d) { return *format(Value::floating(d)); }

TEST(FormatScalar, NonFloatKinds) {
    EXPECT_EQ(format(Value::boolean(true)), "true");
    EXPECT_EQ(format(Value::boolean(false)), "false");
    const std::pair<std::int64_t, const char*> ints[] = {{0, "0"},
                                                         {7, "7"},
                                                         {-42, "-42"},
                                                         {1000000, "1000000"},
                                                         {INT64_MAX, "9223372036854775807"},
                                                         {INT64_MIN, "-9223372036854775808"}};
    for (const auto& [i, text] : ints) EXPECT_EQ(format(Value::integer(i)), text);
    EXPECT_EQ(format(Value::string("a <b> & c")), "a <b> & c");
    EXPECT_EQ(format(Value::string("")), "");  // empty text, not no text
    EXPECT_EQ(format(Value::null()), std::nullopt);
    EXPECT_EQ(format(Value::list({Value::integer(1)})), std::nullopt);
    EXPECT_EQ(format(Value::object(ObjectValue())), std::nullopt);
    EXPECT_EQ(format(Value()), std::nullopt);
}

TEST(FormatScalar, StringIsReturnedInPlace) {
    const Value v = Value::string("kept");
    FormatScratch scratch{};
    EXPECT_EQ(format_scalar(v, scratch)->data(), v.as_str().data());
}

TEST(FormatFloat, Specials) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(format_double(nan), "NaN");
    EXPECT_EQ(format_double(-nan), "NaN");
    EXPECT_EQ(format_double(std::bit_cast<double>(0xFFF0000000000123ULL)), "NaN");  // payload
    EXPECT_EQ(format_double(INFINITY), "inf");
    EXPECT_EQ(format_double(-INFINITY), "-inf");
    EXPECT_EQ(format_double(0.0), "0.0");
    EXPECT_EQ(format_double(-0.0), "-0.0");
}

// Expected texts are Python's repr digits laid out in fixed notation for
// magnitudes in [1e-5, 1e10) and d.ddde±E outside.
TEST(FormatFloat, LayoutTable) {
    const std::pair<double, const char*> cases[] = {
        {1.0, "1.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {123.456, "123.456"},
        {1e9, "1000000000.0"},
        {9999999999.5, "9999999999.5"},
        {1e10, "1.0e10"},
        {12345678901.0, "1.2345678901e10"},
        {0.00001, "0.00001"},
        {0.00001234, "0.00001234"},
        {0.000001, "1.0e-6"},
        {5e-324, "5.0e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {-1.7976931348623157e308, "-1.7976931348623157e308"},
        {9999999999.999998, "9999999999.999998"},
        {0.000009999, "9.999e-6"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1e23, "1.0e23"},
        {9007199254740993.0, "9.007199254740992e15"},
        {100.0, "100.0"},
        {1234567890.125, "1234567890.125"},
        {-0.5, "-0.5"},
        {1e16, "1.0e16"},
        {1.5e-7, "1.5e-7"},
        {-123e20, "-1.23e22"},
        {2.0 / 3.0, "0.6666666666666666"},
        {1e-5 * 0.9999999999999999, "9.999999999999999e-6"},
        {-0.000012345678901234567, "-0.000012345678901234568"},  // longest fixed text
        {299792458.0, "299792458.0"},
        {6.02214076e23, "6.02214076e23"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_double(value), text) << text;
}

// Random bit patterns (fixed seed): every finite text parses back to the same
// bits, uses the notation its magnitude calls for, and no shorter digit string
// rounded from the value would round-trip.
TEST(FormatFloat, RandomDoublesRoundTripWithTheRightLayout) {
    std::mt19937_64 rng(20240131);
    for (int n = 0; n < 5000; ++n) {
        const double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        const std::string text = format_double(value);
        ASSERT_LE(text.size(), 24u) << text;

        double back = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(r.ec, std::errc{}) << text;
        ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;

        const double magnitude = std::fabs(value);
        const std::size_t e = text.find('e');
        const bool fixed = magnitude >= 1e-5 && magnitude < 1e10;
        ASSERT_EQ(e == std::string::npos, fixed) << text;
        const std::string mantissa = text.substr(0, e);
        const std::size_t point = mantissa.find('.');
        ASSERT_NE(point, std::string::npos) << text;
        ASSERT_LT(point + 1, mantissa.size()) << text;  // a digit after the point
        if (!fixed) {
            ASSERT_EQ(point, value < 0 ? 2u : 1u) << text;
            ASSERT_NE(text[e + 1], '+') << text;
        }

        std::string digits;
        for (char c : mantissa) {
            if (c >= '0' && c <= '9') digits += c;
        }
        digits.erase(0, digits.find_first_not_of('0'));
        digits.erase(digits.find_last_not_of('0') + 1);  // padding and the "d.0" filler
        if (digits.size() > 1) {
            char shorter[40];
            std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(digits.size()) - 2,
                          value);
            EXPECT_NE(std::strtod(shorter, nullptr), value) << text << " vs " << shorter;
        }
    }
}

}  // namespace
}  // namespace kestrix
