// tests/core/test_error.cpp: the fields and user-facing messages of BindError.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "kestrix/error.hpp"

namespace kestrix {
namespace {

// The message is chosen by the held kind; strings go in verbatim, unescaped. (The
// messages of the reader, UTF-8, serialization and depth errors are checked where
// those errors arise: test_record_stream, test_scalar_parse, test_emitter, test_parser.)
TEST(BindError, MessagesAndFieldsOfEveryKind) {
    const std::pair<BindError, const char*> cases[] = {
        {BindError::scalar_parse("f'", "a\n'b'", "integer"),
         "Scalar parse error for field 'f'': expected integer, got 'a\n'b''"},
        {BindError::schema("Unexpected end of XML stream"),
         "Schema error: Unexpected end of XML stream"},
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
