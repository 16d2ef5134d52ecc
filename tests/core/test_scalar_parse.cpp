// tests/core/test_scalar_parse.cpp: scalar text into Values, UTF-8 checks and lossy text.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/scalar_parse.hpp"

namespace kestrix {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view EXPECTED_BOOL = "boolean ('true', 'false', '1', '0')";

TEST(TrimXmlSpace, RemovesOnlyTheFiveXmlSpaceBytesFromBothEnds) {
    EXPECT_EQ(trim_xml_space("\t\n\f\r x y \r\f\n\t"), "x y");
    EXPECT_EQ(trim_xml_space(" \t\n"), "");
    EXPECT_EQ(trim_xml_space("\v7\v"), "\v7\v");          // vertical tab stays
    EXPECT_EQ(trim_xml_space("\xC2\xA0z"), "\xC2\xA0z");  // so does a no-break space
}

TEST(ParseScalar, IntegersInTheWholeRange) {
    const std::pair<std::string_view, std::int64_t> cases[] = {
        {" 42\n", 42},
        {"+7", 7},
        {"-0", 0},
        {"007", 7},
        {"\t-15\r", -15},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"+0009223372036854775807", INT64_MAX}};
    for (const auto& [text, expected] : cases) {
        Result<Value> r = parse_scalar(ScalarKind::Int, text, "n");
        ASSERT_TRUE(r.ok()) << text;
        EXPECT_EQ(r.value().as_int(), expected) << text;
    }
}

TEST(ParseScalar, FloatsCorrectlyRoundedWithSpecialsAndOutOfRange) {
    const std::pair<std::string_view, double> cases[] = {
        {"1.5", 1.5},
        {"-.5", -0.5},
        {"5.", 5.0},
        {"+2e+2", 200.0},
        {" 1E-3 ", 1e-3},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"2.4703282292062328e-324", 5e-324},       // just above half way: rounds up
        {"9007199254740993", 9007199254740992.0},  // tie goes to even
        {"-Infinity", -INFINITY},
        {"INF", INFINITY},
        {"+iNf", INFINITY},
        // Beyond the double range: infinity or zero of the same sign, no error.
        {"1e400", INFINITY},
        {"-1e400", -INFINITY},
        {"-1e-400", -0.0},
        {"1e-400", 0.0},
        {"123456789e999999999999999999999", INFINITY},
        {"0.00000000000000000000000001e-300", 0.0},
        {"0e99999999999999999999", 0.0},
        {"-0.0", -0.0},
        {"-.0e5", -0.0}};
    for (const auto& [text, expected] : cases) {
        Result<Value> r = parse_scalar(ScalarKind::Float, text, "x");
        ASSERT_TRUE(r.ok()) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().as_float()),
                  std::bit_cast<std::uint64_t>(expected))
            << text;
    }
    for (std::string_view text : {"NaN", "-nAn", "+NAN"}) {
        EXPECT_TRUE(std::isnan(parse_scalar(ScalarKind::Float, text, "x").value().as_float()));
    }
}

TEST(ParseScalar, BooleanSpellings) {
    const std::pair<std::string_view, bool> cases[] = {
        {"true", true}, {" 1 ", true}, {"false", false}, {"\n0\t", false}};
    for (const auto& [text, expected] : cases) {
        Result<Value> r = parse_scalar(ScalarKind::Bool, text, "flag");
        ASSERT_TRUE(r.ok()) << text;
        EXPECT_EQ(r.value().as_bool(), expected) << text;
    }
}

// Every failure names the field and carries the text as passed in, untrimmed.
TEST(ParseScalar, RejectedTextsReportTheExpectedForm) {
    const struct {
        ScalarKind kind;
        std::string_view expected;
        std::vector<std::string_view> texts;
    } groups[] = {
        {ScalarKind::Int,
         "integer",
         {"9223372036854775808", "-9223372036854775809", "18446744073709551616", "4.0", "1e3",
          "1_000", "0x10", " 1 2 ", "+", "--1", "", "  ", "\v1", "\xD9\xA3" /* non-ASCII digit */}},
        {ScalarKind::Float,
         "float",
         {"1e", "e5", ".", "-.", "1.2.3", "0x1p3", "1,5", "infinit", "nanx", "nan(1)", "infinityx",
          "+-1", "1e+", "1_0", " \t ", "\v1.0", "1.0f"}},
        {ScalarKind::Bool, EXPECTED_BOOL, {"True", "TRUE", "yes", "01", "", "-0"}},
    };
    for (const auto& group : groups) {
        for (std::string_view text : group.texts) {
            Result<Value> r = parse_scalar(group.kind, text, "field");
            ASSERT_FALSE(r.ok()) << text;
            EXPECT_EQ(r.error().kind(), BindError::Kind::ScalarParse);
            EXPECT_EQ(r.error().text(), "field");
            EXPECT_EQ(r.error().expected(), group.expected);
            EXPECT_EQ(r.error().got(), text);
        }
    }
    EXPECT_EQ(parse_scalar(ScalarKind::Int, " 12a ", "count").error().message(),
              "Scalar parse error for field 'count': expected integer, got ' 12a '");
}

TEST(ParseScalar, StrKeepsTheWholeTextAndTextKeptKindsTrim) {
    Result<Value> s = parse_scalar(ScalarKind::Str, "  ", "s");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.value().as_str(), "  ");
    EXPECT_EQ(parse_scalar(ScalarKind::Str, "\0a\0"sv, "s").value().as_str(), "\0a\0"sv);
    for (ScalarKind kind : {ScalarKind::Decimal, ScalarKind::XmlDate, ScalarKind::XmlDateTime,
                            ScalarKind::XmlTime, ScalarKind::XmlDuration, ScalarKind::Other}) {
        Result<Value> r = parse_scalar(kind, " 2024-01-31 \n", "d");
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().as_str(), "2024-01-31");
        EXPECT_EQ(parse_scalar(kind, "", "d").value().as_str(), "");
        EXPECT_EQ(parse_scalar(kind, " not a date ", "d").value().as_str(), "not a date");
    }
}

TEST(ParseScalar, InvalidUtf8ByKind) {
    // Str checks the whole text, a text-kept kind its trimmed text; the
    // converted kinds report the syntax instead, with U+FFFD in the got text.
    Result<Value> s = parse_scalar(ScalarKind::Str, "ab\xFF", "s");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(),
              "Invalid UTF-8 in XML document: invalid utf-8 sequence of 1 "
              "bytes from index 2");
    Result<Value> d = parse_scalar(ScalarKind::Decimal, "  1\xE2\x82", "d");
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message(),
              "Invalid UTF-8 in XML document: incomplete utf-8 byte sequence from index 1");
    Result<Value> i = parse_scalar(ScalarKind::Int, " 4\xFF", "n");
    ASSERT_FALSE(i.ok());
    EXPECT_EQ(i.error().message(),
              "Scalar parse error for field 'n': expected integer, got ' 4\xEF\xBF\xBD'");
}

// `lossy` spells U+FFFD as '?'; `len` -1 means the text ends inside the bad
// sequence. Error lengths follow the maximal-subpart rule: the bytes that still
// formed a valid prefix of some sequence count as one error.
TEST(Utf8, CheckAndLossyReplacement) {
    struct Case {
        std::string_view text;
        int valid_up_to;  // -1: valid
        int len;
        std::string_view lossy;
    };
    const Case cases[] = {
        {"", -1, 0, ""},
        {"z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", -1, 0, ""},
        {"\x80", 0, 1, "?"},
        {"ok\xFFz", 2, 1, "ok?z"},
        {"\xC0\xAF", 0, 1, "??"},            // overlong two-byte lead
        {"\xE0\x80\x80", 0, 1, "???"},       // overlong three-byte form
        {"\xED\xA0\x80", 0, 1, "???"},       // surrogate
        {"\xF4\x90\x80\x80", 0, 1, "????"},  // above U+10FFFF
        {"\xC3z", 0, 1, "?z"},
        {"x\xE2\x82y", 1, 2, "x?y"},
        {"\xF0\x9F\x98y", 0, 3, "?y"},
        {"ok\xE2\x82", 2, -1, "ok?"},
        {"\xF0", 0, -1, "?"},
        {"\xFF\xE2\x82\xFF\xC3", 0, 1, "????"},
    };
    for (const Case& c : cases) {
        const std::optional<Utf8Error> error = check_utf8(c.text);
        std::string lossy;
        for (char ch : c.lossy)
            lossy += ch == '?' ? std::string("\xEF\xBF\xBD") : std::string(1, ch);
        if (c.valid_up_to < 0) {
            EXPECT_FALSE(error.has_value()) << c.text;
            EXPECT_EQ(lossy_utf8(c.text), c.text);
            continue;
        }
        ASSERT_TRUE(error.has_value()) << c.text;
        EXPECT_EQ(error->valid_up_to, static_cast<std::uint64_t>(c.valid_up_to)) << c.text;
        EXPECT_EQ(error->error_len.value_or(0xFF), c.len < 0 ? 0xFF : c.len) << c.text;
        EXPECT_EQ(lossy_utf8(c.text), lossy) << c.text;
    }
}

}  // namespace
}  // namespace kestrix
