// tests/core/test_reader_input.cpp: declared encodings and error locations.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "kestrix/encoding.hpp"
#include "kestrix/parser.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;
using namespace std::string_literals;
using enum ScalarKind;

/// `ascii` as UTF-16 code units, little- or big-endian, after an optional BOM.
std::string utf16(std::string_view ascii, bool little, bool bom) {
    std::string out = bom ? (little ? "\xFF\xFE"s : "\xFE\xFF"s) : ""s;
    for (char c : ascii) out += little ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
}

TEST(Encoding, DeclaredNames) {
    const std::pair<std::string, std::string_view> rows[] = {
        {"<a/>", ""},
        {"<?xml version='1.0'?><a/>", ""},
        {"<?xml version=\"1.0\" encoding = \"windows-1252\" ?><a/>", "windows-1252"},
        {"\xEF\xBB\xBF<?xml version='1.0' encoding='KOI8-R'?>", "KOI8-R"},
        {"<?xml version='1.0'?><a encoding='x'/>", ""},  // only the declaration counts
        {"<?xmlx encoding='x'?>", ""},
        {utf16("<?xml version='1.0' encoding='UTF-16'?>", true, false), "UTF-16"},
        {utf16("<a/>", false, true), "UTF-16"},
    };
    for (const auto& [head, name] : rows) EXPECT_EQ(declared_encoding(head), name) << head;
    EXPECT_TRUE(names_utf8("utf8") && names_utf8("UTF-8") && !names_utf8("UTF-16"));
    EXPECT_TRUE(reader_decodes("iso-8859-1") && !reader_decodes("windows-1252"));
    // Documents held in memory follow their declaration only when UTF-8 cannot read them.
    EXPECT_FALSE(needs_declared_encoding("<?xml version='1.0' encoding='latin1'?><a>\xC3\xA9</a>"));
    EXPECT_TRUE(needs_declared_encoding("<?xml version='1.0' encoding='latin1'?><a>\xE9</a>"));
    EXPECT_FALSE(needs_declared_encoding("<a>\xE9</a>"));
    EXPECT_TRUE(needs_declared_encoding(
        utf16("<?xml version='1.0' encoding='UTF-16'?><a/>", false, false)));
}

TEST(Encoding, DocumentsReadAsDeclared) {
    auto schema = make_class("r", attribute("a"), element("name"), element("n"));
    ByteTable table;
    for (int i = 0; i < 256; ++i) table[i] = i;
    table[0x80] = 0x20AC;  // as windows-1252 has it
    table[0x81] = -1;
    const ReaderOptions declared{true, nullptr};
    const ReaderOptions with_table{true, std::make_shared<const ByteTable>(table)};
    const std::string body = "<r a='x'><n/><name>e</name></r>";
    const struct {
        std::string document;
        ReaderOptions options;
        std::string_view expected;
    } rows[] = {
        {"<?xml version='1.0' encoding='ISO-8859-1'?><r><name>\xE9</name></r>", declared,
         "{name=\"\xC3\xA9\"}"},
        {"<?xml version='1.0' encoding='x-test'?><r a='\x80'><name>\xE9</name></r>", with_table,
         "{a=\"\xE2\x82\xAC\",name=\"\xC3\xA9\"}"},
        {"<?xml version='1.0' encoding='x-test'?><r>\x81</r>", with_table,
         "XML reader error at position 42: not well-formed (invalid token)"},
        {"<?xml version='1.0' encoding='x-test'?><r/>", declared,
         "XML reader error at position 30: unknown encoding"},
        // Self-closing tags are told apart in every byte order.
        {utf16(body, true, true), declared, R"({a="x",name="e",n=""})"},
        {utf16(body, false, true), declared, R"({a="x",name="e",n=""})"},
        {utf16("<?xml version='1.0' encoding='UTF-16'?>" + body, true, false), declared,
         R"({a="x",name="e",n=""})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.document);
        Result<ValueTree> value = parse_document(row.document, *schema, 256, row.options);
        EXPECT_EQ(value ? dump(value.value()) : value.error().message(), row.expected);
    }
}

TEST(ErrorLocation, LineColumnAndEntity) {
    auto schema = make_class("r", element("name"), element("n", scalar(Int)), attribute("a"));
    const ReaderOptions declared{true, nullptr};
    const struct {
        std::string document;
        std::string_view expected;  // line:column entity
        ReaderOptions options = {};
    } rows[] = {
        {"<r>\n <r a='&lt;&caf\xC3\xA9;'/>", "2:2 caf\xC3\xA9"},  // the tag holding it
        {utf16("<r>\n<name>&amp;&zz;</name></r>", false, true), "2:12 zz", declared},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><r>&\xE9;</r>", "1:47 \xC3\xA9", declared},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.document);
        Result<ValueTree> value = parse_document(row.document, *schema, 256, row.options);
        ASSERT_FALSE(value.ok());
        const auto& at = value.error().location();
        ASSERT_TRUE(at.has_value());
        EXPECT_EQ(std::to_string(at->line) + ":" + std::to_string(at->column) + " " + at->entity,
                  row.expected);
    }
}

}  // namespace
}  // namespace kestrix
