// tests/core/test_schema.cpp: the element, attribute and text indices of a class schema.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "kestrix/schema.hpp"

namespace kestrix {
namespace {

using Opt = std::optional<std::size_t>;

ClassSchema make_schema(std::initializer_list<std::pair<const char*, FieldRole>> fields) {
    ClassSchema s;
    s.name = "Model";
    int n = 0;
    for (const auto& [xml_name, role] : fields) {
        s.fields.push_back(FieldSchema{"f" + std::to_string(n++), xml_name,
                                       TypeDesc::scalar(ScalarKind::Str), role});
    }
    s.build_indices();
    return s;
}

constexpr FieldRole A = FieldRole::Attribute;
constexpr FieldRole E = FieldRole::Element;
constexpr FieldRole T = FieldRole::Text;

TEST(ClassSchemaIndices, EmptyClass) {
    const ClassSchema s = make_schema({});
    EXPECT_TRUE(s.element_index.empty());
    EXPECT_TRUE(s.attribute_index.empty());
    EXPECT_EQ(s.text_field, std::nullopt);
}

TEST(ClassSchemaIndices, WholeNameAndPartAfterFirstColon) {
    const ClassSchema s = make_schema({{"ns:code", E}, {"a:b:c", E}, {"ns:", E}, {"plain", E}});
    const std::pair<const char*, Opt> lookups[] = {
        {"ns:code", 0}, {"code", 0},     {"a:b:c", 1},     {"b:c", 1},
        {"c", Opt()},   {"ns:", 2},      {"", 2},          {"plain", 3},
        {"ns", Opt()},  {"Code", Opt()}, {" code", Opt()}, {"x:code", Opt()}};
    for (const auto& [name, expected] : lookups) EXPECT_EQ(s.find_element(name), expected) << name;
    EXPECT_EQ(s.element_index.size(), 7u);
}

TEST(ClassSchemaIndices, LaterFieldWinsACollision) {
    const ClassSchema same = make_schema({{"code", E}, {"code", E}});
    EXPECT_EQ(same.find_element("code"), Opt(1));
    const ClassSchema prefixed = make_schema({{"code", E}, {"x:code", E}});
    EXPECT_EQ(prefixed.find_element("code"), Opt(1));
    EXPECT_EQ(prefixed.find_element("x:code"), Opt(1));
    // The whole name of a later field also replaces an earlier local part.
    const ClassSchema reverse = make_schema({{"x:code", A}, {"code", A}});
    EXPECT_EQ(reverse.find_attribute("code"), Opt(1));
    EXPECT_EQ(reverse.find_attribute("x:code"), Opt(0));
}

TEST(ClassSchemaIndices, RolesKeepSeparateMapsAndTheLastTextFieldWins) {
    const ClassSchema s = make_schema({{"id", A}, {"body", T}, {"id", E}, {"p:v", T}, {"p:v", E}});
    EXPECT_EQ(s.find_attribute("id"), Opt(0));
    EXPECT_EQ(s.find_element("id"), Opt(2));
    EXPECT_EQ(s.find_attribute("v"), Opt());
    EXPECT_EQ(s.find_element("v"), Opt(4));
    EXPECT_EQ(s.find_element("body"), Opt());  // text fields are in no map
    EXPECT_EQ(s.text_field, Opt(3));
    EXPECT_EQ(s.attribute_index.size(), 1u);
}

}  // namespace
}  // namespace kestrix
