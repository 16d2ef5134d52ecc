// tests/core/test_error.cpp: the fields and user-facing messages of BindError.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "kestrix/error.hpp"

namespace kestrix {
namespace {

// The message is chosen by the held kind; strings go in verbatim, unescaped.
TEST(BindError, MessagesAndFieldsOfEveryKind) {
    const std::pair<BindError, const char*> cases[] = {
        {BindError::xml_reader(17, "mismatched tag"),
         "XML reader error at position 17: mismatched tag"},
        {BindError::invalid_utf8({3, 2}),
         "Invalid UTF-8 in XML document: invalid utf-8 sequence of 2 bytes from index 3"},
        {BindError::invalid_utf8({4, std::nullopt}),
         "Invalid UTF-8 in XML document: incomplete utf-8 byte sequence from index 4"},
        {BindError::scalar_parse("f'", "a\n'b'", "integer"),
         "Scalar parse error for field 'f'': expected integer, got 'a\n'b''"},
        {BindError::schema("Unexpected end of XML stream"),
         "Schema error: Unexpected end of XML stream"},
        {BindError::serialization("Expected Object value for model"),
         "Serialization error: Expected Object value for model"},
        {BindError::depth_exceeded(256, 257),
         "Maximum XML recursion depth exceeded: current 257 >= limit 256"},
        {BindError::xml_parse("reference to invalid character number"),
         "XML parsing error: reference to invalid character number"},
        {BindError::unescape("undefined entity"), "XML unescape error: undefined entity"},
    };
    for (const auto& [error, message] : cases) EXPECT_EQ(error.message(), message);

    const BindError depth = BindError::depth_exceeded(256, 300);
    EXPECT_TRUE(depth.kind() == BindError::Kind::DepthExceeded && depth.limit() == 256 &&
                depth.current() == 300);
    EXPECT_EQ(BindError::xml_reader(5, "e").position(), 5u);
    const Utf8Error utf8 = BindError::invalid_utf8({9, std::nullopt}).utf8();
    EXPECT_TRUE(utf8.valid_up_to == 9 && !utf8.error_len);
    const BindError parse = BindError::scalar_parse("f", "g", "integer");
    EXPECT_TRUE(parse.text() == "f" && parse.got() == "g" && parse.expected() == "integer");
}

}  // namespace
}  // namespace kestrix
