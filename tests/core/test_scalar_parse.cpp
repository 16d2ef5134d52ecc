// tests/core/test_scalar_parse.cpp: scalar text into Values, UTF-8 checks and lossy text.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/scalar_parse.hpp"

namespace kestrix {
namespace {

using namespace std::string_view_literals;
using enum ScalarKind;

/// The dump of the parsed value, or the error message.
std::string parse(ScalarKind kind, std::string_view text) {
    Arena arena;
    Result<Value> r = parse_scalar(kind, text, "f", arena);
    return r ? testing::dump(r.value()) : r.error().message();
}

TEST(ParseScalar, ValuesAndErrors) {
    const std::tuple<ScalarKind, std::string_view, std::string_view> cases[] = {
        {Int, "+7", "7"},
        {Int, "\t-15\r", "-15"},
        {Int, "9223372036854775807", "9223372036854775807"},
        {Int, "-9223372036854775808", "-9223372036854775808"},
        {Int, "+0009223372036854775807", "9223372036854775807"},
        {Float, "-.5", "-0.5f"},
        {Float, " +2E-3 ", "0.002f"},
        {Float, "1.7976931348623157e308", "1.7976931348623157e+308f"},
        {Float, "2.4703282292062328e-324", "5e-324f"},     // just above half way: rounds up
        {Float, "9007199254740993", "9007199254740992f"},  // a tie goes to even
        {Float, "-Infinity", "-inff"},
        {Float, "INF", "inff"},
        {Float, "+nAn", "nanf"},
        // Beyond the double range: infinity or zero of the same sign, no error.
        {Float, "-1e400", "-inff"},
        {Float, "-1e-400", "-0f"},
        {Float, "1e-400", "0f"},
        {Float, "123456789e999999999999999999999", "inff"},
        {Float, "0.00000000000000000000000001e-300", "0f"},
        {Bool, "true", "true"},
        {Bool, " 1 ", "true"},
        {Bool, "false", "false"},
        {Bool, "\n0\t", "false"},
        // Str keeps the whole text; the other kinds trim the five XML space bytes only.
        {Str, "  ", "\"  \""},
        {Str, "\0a\0"sv, "\"\0a\0\""sv},
        {Decimal, "\t\n\f\r 1 2 \r\f\n\t", "\"1 2\""},
        {XmlDate, " 2024-01-31 ", "\"2024-01-31\""},
        {XmlDateTime, " \t\n", "\"\""},
        {XmlTime, "\v7\v", "\"\v7\v\""},
        {XmlDuration, "\xC2\xA0z", "\"\xC2\xA0z\""},
        {Other, " not a date ", "\"not a date\""},
        // Str checks the whole text, the other text kinds their trimmed text; the
        // converted kinds report the syntax instead, with U+FFFD in the got text.
        {Str, "ab\xFF",
         "Invalid UTF-8 in XML document: invalid utf-8 sequence of 1 bytes from index 2"},
        {Decimal, "  1\xE2\x82",
         "Invalid UTF-8 in XML document: incomplete utf-8 byte sequence from index 1"},
        {Int, " 4\xFF",
         "Scalar parse error for field 'f': expected integer, got ' 4\xEF\xBF\xBD'"}};
    for (const auto& [kind, text, expected] : cases) EXPECT_EQ(parse(kind, text), expected) << text;
}

// The got text is the text as passed in, untrimmed.
TEST(ParseScalar, RejectedTexts) {
    const std::tuple<ScalarKind, std::string, std::vector<std::string>> groups[] = {
        {Int,
         "integer",
         {"9223372036854775808", "-9223372036854775809", "18446744073709551616", "4.0", "1e3",
          "1_000", "0x10", " 1 2 ", "+", "--1", "", "  ", "\v1", "\xD9\xA3" /* non-ASCII digit */}},
        {Float,
         "float",
         {"1e", "e5", ".", "-.", "1.2.3", "0x1p3", "1,5", "infinit", "nanx", "nan(1)", "infinityx",
          "+-1", "1e+", "1_0", " \t ", "\v1.0", "1.0f"}},
        {Bool, "boolean ('true', 'false', '1', '0')", {"True", "yes", "01", "", "-0"}},
    };
    for (const auto& [kind, expected, texts] : groups)
        for (const std::string& text : texts)
            EXPECT_EQ(parse(kind, text), "Scalar parse error for field 'f': expected " + expected +
                                             ", got '" + text + "'");
}

/// Boundaries of the exactly computable range (2^53, 10^22, powers moved into
/// the digits) and zeros in every place, then random decimal texts: 1-20
/// digits with leading and trailing zeros, a point anywhere or none, an
/// exponent in either case and with any sign, sometimes cut short or with a
/// stray byte. Fixed seed: the same texts on every run.
std::vector<std::string> decimal_texts(std::size_t count) {
    std::mt19937_64 rng(20261207);
    auto below = [&](std::uint64_t n) { return static_cast<int>(rng() % n); };
    std::istringstream fixed(
        "9007199254740991 9007199254740992 9007199254740993 1e22 1e23 4.35 0.1 -0.0 0e5 .5 5. "
        "1.7976931348623157e308 00012.50 5.e3 123456.5 1000000000000000000000000000000000000 "
        "9007199254740991e15 9007199254740991e16 900719925474099.1e-22 9007199254740991e-22 "
        "9007199254740991e-23 52341.70000000000000000000000000000000000 "
        "0.0000000000000000000052341");
    std::vector<std::string> texts{std::istream_iterator<std::string>(fixed), {}};
    for (std::size_t n = texts.size(); n < count; ++n) {
        std::string t;
        if (below(4) == 0) t += below(2) ? "-" : "+";
        if (below(4) == 0) t.append(below(4), '0');
        const int digits = 1 + below(20);
        for (int i = 0; i < digits; ++i) t += static_cast<char>('0' + below(10));
        if (below(4) == 0) t.append(1 + below(6), '0');
        if (below(3) != 0) {
            const std::size_t start = t[0] == '-' || t[0] == '+' ? 1 : 0;
            t.insert(start + below(t.size() - start + 1), ".");
        }
        if (below(2) == 0) {
            t += below(2) ? 'e' : 'E';
            if (below(2) == 0) t += below(2) ? "-" : "+";
            if (below(5) == 0) t += '0';
            t += std::to_string(below(8) == 0 ? below(330) : below(45));
        }
        if (below(20) == 0) t.resize(1 + below(t.size()));
        if (below(16) == 0) {
            constexpr char stray[] = {'.',  '/',  ':',    'e',    '+',   '-',
                                      '\v', '\0', '\x7F', '\x80', '\xFF'};
            t[below(t.size())] = stray[below(sizeof stray)];
        }
        texts.push_back(std::move(t));
    }
    return texts;
}

// Every float read agrees bit for bit with from_chars, whichever way the
// reader takes to the value; a text from_chars does not read whole, or a
// second sign, is refused.
TEST(ParseScalar, FloatsMatchFromChars) {
    Arena arena;
    for (const std::string& text : decimal_texts(300000)) {
        const bool negative = text[0] == '-';
        const std::size_t start = negative || text[0] == '+' ? 1 : 0;
        double expected = 0;
        const char* last = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data() + start, last, expected);
        if (ec == std::errc::result_out_of_range) continue;  // covered by ValuesAndErrors
        const Result<Value> r = parse_scalar(Float, text, "f", arena);
        if (ptr != last || ec != std::errc{} || text[start] == '-') {
            EXPECT_FALSE(r) << text;
            continue;
        }
        ASSERT_TRUE(r) << text;
        ASSERT_EQ(r.value().kind(), Value::Kind::Float) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().as_float()),
                  std::bit_cast<std::uint64_t>(negative ? -expected : expected))
            << text;
    }
}

// An error is "index+length" with "?" for a text that ends inside the sequence.
// Lengths follow the maximal-subpart rule: the bytes that still formed a valid
// prefix of some sequence count as one error. `lossy` spells U+FFFD as '?'.
TEST(Utf8, CheckAndLossyReplacement) {
    const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
        {"", "valid", ""},
        {"z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "valid",
         "z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"ok\xFFz", "2+1", "ok?z"},
        {"\xF5\x80", "0+1", "??"},
        {"\xC0\xAF", "0+1", "??"},            // overlong two-byte lead
        {"\xE0\x80\x80", "0+1", "???"},       // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", "0+1", "????"},  // overlong four-byte form
        {"\xED\xA0\x80", "0+1", "???"},       // surrogate
        {"\xF4\x90\x80\x80", "0+1", "????"},  // above U+10FFFF
        {"\xC3z", "0+1", "?z"},
        {"x\xE2\x82y", "1+2", "x?y"},
        {"\xF0\x9F\x98y", "0+3", "?y"},
        {"ok\xE2\x82", "2+?", "ok?"},
        {"\xF0", "0+?", "?"},
        {"\xFF\xE2\x82\xFF\xC3", "0+1", "????"},
        // Past whole eight-byte runs of ASCII, and inside one.
        {"abcdefghijklmnop\xC3\xA9qrstuvwxyz\xFF", "28+1", "abcdefghijklmnop\xC3\xA9qrstuvwxyz?"},
        {"abcdefg\xE2\x82\xAC"
         "abcdefghi\xE2\x82",
         "19+?",
         "abcdefg\xE2\x82\xAC"
         "abcdefghi?"}};
    for (const auto& [text, error, lossy] : cases) {
        const std::optional<Utf8Error> e = check_utf8(text);
        EXPECT_EQ(!e ? "valid"
                     : std::to_string(e->valid_up_to) + "+" +
                           (e->error_len ? std::to_string(*e->error_len) : "?"),
                  error)
            << text;
        std::string replaced;
        for (char c : lossy) replaced += c == '?' ? "\xEF\xBF\xBD" : std::string(1, c);
        EXPECT_EQ(lossy_utf8(text), replaced) << text;
    }
}

}  // namespace
}  // namespace kestrix
