// tests/core/test_namespaces.cpp: the namespace plan of a class tree.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "kestrix/namespaces.hpp"

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
    // urn:a is the default, but its attribute still needs a prefix; xml is never
    // declared; a preferred prefix no name uses comes last
    EXPECT_EQ(plan_text(*root->namespaces),
              "urn:a ns0=urn:a bee=urn:b ns1=urn:c hint=urn:h ns2=urn:d xsi=urn:not-xsi");
    EXPECT_EQ(root->namespaces->uri_of("xsi").value_or(""), "urn:not-xsi");

    auto plain = make_class("Plain", element("a", scalar(), "p:a"));
    plain->fields[0].ns_rule = NsRule::AnyPrefix;
    EXPECT_FALSE(plan_namespaces(*plain)->used);
    auto unbound = declared(make_class("U", element("link", nested(plain))), std::nullopt);
    EXPECT_NE(plan_text(*unbound->namespaces)
                  .find("error: the prefix 'p' of field 'a' of Plain is bound to no namespace"),
              std::string::npos);
}

}  // namespace
}  // namespace kestrix
