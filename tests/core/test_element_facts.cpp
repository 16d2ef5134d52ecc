// tests/core/test_element_facts.cpp: looking an element up again by its start tag's offset.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "kestrix/element_facts.hpp"
#include "kestrix/parser.hpp"
#include "kestrix/record_stream.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

/// "name@line:column [attributes] {child@line:column ...}", or "none".
std::string describe(std::string_view document, std::uint64_t offset) {
    const std::optional<ElementFacts> facts = describe_element(document, {}, offset);
    if (!facts) return "none";
    std::string out = facts->name + "@" + std::to_string(facts->at.line) + ":" +
                      std::to_string(facts->at.column) + " [";
    for (const std::string& a : facts->attributes) out += a + " ";
    out += "] {";
    for (const ChildFacts& c : facts->children) {
        out += c.name + "@" + std::to_string(c.at.line) + ":" + std::to_string(c.at.column) + " ";
    }
    return out + "}";
}

TEST(ElementFacts, FindsTheElementAtItsOffsetWithItsDirectChildren) {
    const std::string_view doc =
        "<r xmlns:p=\"u\">\n  <a x=\"1\" p:y=\"2\"><b/><p:c><d/></p:c>\n<b>t</b></a><a/></r>";
    struct Row {
        std::uint64_t offset;
        const char* expected;
    };
    const Row rows[] = {
        {0, "r@1:1 [] {a@2:3 a@3:13 }"},  // namespace declarations are no attributes
        {18, "a@2:3 [x p:y ] {b@2:20 p:c@2:24 b@3:1 }"},  // grandchildren are not listed
        {doc.find("<a/>"), "a@3:13 [] {}"},
        {1, "none"},  // no start tag begins there
        {doc.size() + 5, "none"},
    };
    for (const Row& row : rows) EXPECT_EQ(describe(doc, row.offset), row.expected) << row.offset;
}

TEST(ElementFacts, OffsetsAreThoseTheParserKeeps) {
    auto s = make_class("R", element("n", scalar(ScalarKind::Int)));
    const std::string doc = "<?xml version=\"1.0\"?>\n<!-- c -->\n  <R><n>1</n></R>";
    Result<ValueTree> tree = parse_document(doc, *s, MAX_DEPTH);
    ASSERT_TRUE(tree);
    const ObjectValue& root = tree.value().root.as_object();
    EXPECT_EQ(root.offset, doc.find("<R>"));
    EXPECT_EQ(root.line, 0u);  // a whole document keeps no positions on the way
    EXPECT_EQ(describe(doc, root.offset), "R@3:3 [] {n@3:6 }");
}

TEST(ElementFacts, FedStreamsKeepPositionsAndTheNamesBeforeTheFirstRecord) {
    auto s = make_class("R", element("n"));
    // A fed stream cannot be read again: its records keep their line and column.
    RecordStream stream(s, "R", MAX_DEPTH, {});
    stream.feed("<f>\n <g/><g/><h>\n  <R/></h><R/></f>", true);
    Result<ValueTree> first = stream.next();
    ASSERT_TRUE(first);
    const ObjectValue& record = first.value().root.as_object();
    EXPECT_EQ((std::pair{record.line, record.column}), (std::pair{3u, 3u}));
    EXPECT_EQ(stream.names_before_record(), (std::vector<std::string>{"f", "g", "h"}));
    ASSERT_TRUE(stream.next());  // later records add no names
    EXPECT_EQ(stream.names_before_record().size(), 3u);
}

}  // namespace
}  // namespace kestrix
