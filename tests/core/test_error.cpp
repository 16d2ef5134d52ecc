// tests/core/test_error.cpp: the kinds, fields and user-facing messages of BindError.
#include <gtest/gtest.h>

#include <string>

#include "kestrix/error.hpp"

namespace kestrix {
namespace {

struct MessageCase {
    BindError error;
    BindError::Kind kind;
    const char* message;
};

TEST(BindError, MessageOfEveryKind) {
    const MessageCase cases[] = {
        {BindError::xml_reader(17, "mismatched tag"), BindError::Kind::XmlReader,
         "XML reader error at position 17: mismatched tag"},
        {BindError::invalid_utf8({3, 2}), BindError::Kind::InvalidUtf8,
         "Invalid UTF-8 in XML document: invalid utf-8 sequence of 2 bytes from index 3"},
        {BindError::invalid_utf8({18446744073709551615ULL, std::nullopt}),
         BindError::Kind::InvalidUtf8,
         "Invalid UTF-8 in XML document: incomplete utf-8 byte sequence from index "
         "18446744073709551615"},
        {BindError::scalar_parse("count", "abc", "integer"), BindError::Kind::ScalarParse,
         "Scalar parse error for field 'count': expected integer, got 'abc'"},
        {BindError::scalar_parse("on", "it's", "boolean ('true', 'false', '1', '0')"),
         BindError::Kind::ScalarParse,
         "Scalar parse error for field 'on': expected boolean ('true', 'false', '1', '0'), "
         "got 'it's'"},
        {BindError::scalar_parse("x", "", "float"), BindError::Kind::ScalarParse,
         "Scalar parse error for field 'x': expected float, got ''"},
        {BindError::schema("Unexpected end of XML stream"), BindError::Kind::Schema,
         "Schema error: Unexpected end of XML stream"},
        {BindError::serialization("Expected Object value for model"),
         BindError::Kind::Serialization, "Serialization error: Expected Object value for model"},
        {BindError::depth_exceeded(256, 257), BindError::Kind::DepthExceeded,
         "Maximum XML recursion depth exceeded: current 257 >= limit 256"},
        {BindError::xml_parse("reference to invalid character number"), BindError::Kind::XmlParse,
         "XML parsing error: reference to invalid character number"},
        {BindError::unescape("undefined entity"), BindError::Kind::Unescape,
         "XML unescape error: undefined entity"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind) << c.message;
        EXPECT_EQ(c.error.message(), c.message);
    }
}

TEST(BindError, FieldsAreKeptAndStringsInsertedVerbatim) {
    const BindError depth = BindError::depth_exceeded(256, 300);
    EXPECT_EQ(depth.limit(), 256u);
    EXPECT_EQ(depth.current(), 300u);
    EXPECT_EQ(BindError::xml_reader(5, "e").position(), 5u);
    const BindError utf8 = BindError::invalid_utf8({9, std::nullopt});
    EXPECT_EQ(utf8.utf8().valid_up_to, 9u);
    EXPECT_FALSE(utf8.utf8().error_len.has_value());

    // No quoting or escaping of quotes and newlines.
    const BindError parse = BindError::scalar_parse("f'", "a\n'b'", "integer");
    EXPECT_EQ(parse.text(), "f'");
    EXPECT_EQ(parse.got(), "a\n'b'");
    EXPECT_EQ(parse.message(), "Scalar parse error for field 'f'': expected integer, got 'a\n'b''");
}

}  // namespace
}  // namespace kestrix
