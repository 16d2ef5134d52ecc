// tests/core/test_namespaces.cpp: namespace plans, namespace-aware reading and writing.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "kestrix/emitter.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/parser.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

FieldSchema in(std::string ns, FieldSchema field) {
    field.ns = std::move(ns);
    field.ns_rule = NsRule::Fixed;
    return field;
}

/// Marks `schema` (and declares `ns`) and plans its tree, as class compilation does.
std::shared_ptr<ClassSchema> declared(
    std::shared_ptr<ClassSchema> schema, std::optional<std::string> ns,
    std::vector<std::pair<std::string, std::string>> prefixes = {}) {
    schema->ns = std::move(ns);
    schema->prefixes = std::move(prefixes);
    schema->declares_namespaces = true;
    schema->build_indices();
    schema->namespaces = plan_namespaces(*schema);
    return schema;
}

std::string plan_text(const NamespacePlan& plan) {
    std::string out = plan.default_ns;
    for (const auto& [prefix, uri] : plan.declarations) out += " " + prefix + "=" + uri;
    return plan.error.empty() ? out : out + " error: " + plan.error;
}

TEST(NamespacePlan, PrefixesPreferredThenHintedThenGenerated) {
    auto leaf = make_class("Leaf", in("urn:c", attribute("id")), element("v"),
                           attribute("href", scalar(), "hint:href"),
                           attribute("lang", scalar(), "xml:lang"));
    leaf->fields[2].ns = "urn:h";
    leaf->fields[2].ns_rule = NsRule::Fixed;
    leaf->fields[3].ns_rule = NsRule::AnyPrefix;
    auto root = declared(make_class("Root", in("urn:b", element("leaf", nested(leaf))),
                                    in("urn:d", attribute("x")), in("urn:a", attribute("own"))),
                         "urn:a", {{"bee", "urn:b"}, {"xsi", "urn:not-xsi"}});
    // urn:a is the default, but its attribute still needs a prefix; xml is never declared
    EXPECT_EQ(plan_text(*root->namespaces),
              "urn:a ns0=urn:a bee=urn:b ns1=urn:c hint=urn:h ns2=urn:d");
    EXPECT_EQ(root->namespaces->uri_of("xsi").value_or(""), "urn:not-xsi");

    auto plain = make_class("Plain", element("a", scalar(), "p:a"));
    plain->fields[0].ns_rule = NsRule::AnyPrefix;
    EXPECT_FALSE(plan_namespaces(*plain)->used);
    auto unbound = declared(make_class("U", element("link", nested(plain))), std::nullopt);
    EXPECT_NE(plan_text(*unbound->namespaces)
                  .find("error: the prefix 'p' of field 'a' of Plain is bound to no namespace"),
              std::string::npos);
}

class NamespacedDocument : public ::testing::Test {
protected:
    std::shared_ptr<ClassSchema> item = make_class("Item", attribute("a_id", scalar(), "id"),
                                                   in("urn:b", attribute("b_id", scalar(), "id")),
                                                   element("name"), in("", element("bare")));
    std::shared_ptr<ClassSchema> root = [this] {
        auto r = make_class("Root", element("items", list_of(nested(item)), "item"),
                            in("urn:x", element("other")));
        r->element_name = "root";
        return declared(r, "urn:a", {{"b", "urn:b"}});
    }();

    std::string read(std::string_view document) {
        Result<ParsedDocument> parsed = read_document(document, *root, 256);
        return parsed ? parsed.value().element + " " + dump(parsed.value().root)
                      : parsed.error().message();
    }
};

TEST_F(NamespacedDocument, Reading) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"(<p:root xmlns:p="urn:a" xmlns:q="urn:b"><p:item id="1" q:id="2"><p:name>n</p:name>)"
         R"(<bare>b</bare><p:bare>not</p:bare></p:item><other>no</other></p:root>)",
         R"(p:root {items=[{a_id="1",b_id="2",name="n",bare="b"}]})"},
        // the right local names in other namespaces bind nothing; self-closing still works
        {R"(<root xmlns="urn:a"><item xmlns:z="urn:z" z:id="1"/><x:other xmlns:x="urn:x">o</x:other>)"
         R"(<name>stray</name></root>)",
         R"(root {items=[{}],other="o"})"},
        {R"(<root xmlns="urn:other"/>)",
         "Schema error: the document element is <root> in namespace urn:other, expected <root> "
         "in namespace urn:a"},
        {R"(<root xmlns="urn:a"><u:item/></root>)",
         "XML reader error at position 20: unbound prefix"},
    };
    for (const auto& [document, expected] : cases) {
        SCOPED_TRACE(document);
        EXPECT_EQ(read(document), expected);
    }
}

TEST_F(NamespacedDocument, WritingAndReadingBack) {
    const std::string document =
        R"(<root xmlns="urn:a" xmlns:b="urn:b"><item id="1" b:id="2"><name>n</name>)"
        R"(<bare xmlns="">b</bare></item><ns0:other xmlns:ns0="urn:x">o</ns0:other></root>)";
    Result<ValueTree> value = parse_document(document, *root, 256);
    ASSERT_TRUE(value);
    Result<std::string> written = write_document("root", value.value().root, *root, std::nullopt);
    ASSERT_TRUE(written);
    // urn:x was not declared in the input's form: the plan declares it on the root
    EXPECT_EQ(written.value(),
              R"(<root xmlns="urn:a" xmlns:b="urn:b" xmlns:ns0="urn:x"><item id="1" b:id="2">)"
              R"(<name>n</name><bare xmlns="">b</bare></item><ns0:other>o</ns0:other></root>)");
    Result<ValueTree> again = parse_document(written.value(), *root, 256);
    ASSERT_TRUE(again);
    EXPECT_EQ(dump(again.value()), dump(value.value()));
}

}  // namespace
}  // namespace kestrix
