// tests/core/test_schema.cpp: the element, attribute and text indices of a class schema.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "kestrix/schema.hpp"

namespace kestrix {
namespace {

using Opt = std::optional<std::size_t>;
constexpr FieldRole A = FieldRole::Attribute, E = FieldRole::Element, T = FieldRole::Text;

ClassSchema make_schema(std::initializer_list<std::pair<const char*, FieldRole>> fields) {
    ClassSchema s;
    for (const auto& [xml_name, role] : fields)
        s.fields.push_back(FieldSchema{"f" + std::to_string(s.fields.size()), xml_name,
                                       TypeDesc::scalar(ScalarKind::Str), role});
    s.build_indices();
    return s;
}

TEST(ClassSchemaIndices, WholeNameAndPartAfterFirstColon) {
    const ClassSchema s = make_schema({{"ns:code", E}, {"a:b:c", E}, {"ns:", E}});
    const std::pair<const char*, Opt> lookups[] = {
        {"ns:code", 0}, {"code", 0}, {"a:b:c", 1},  {"b:c", 1},      {"c", Opt()},
        {"ns:", 2},     {"", 2},     {"ns", Opt()}, {"Code", Opt()}, {"x:code", Opt()}};
    for (const auto& [name, expected] : lookups) EXPECT_EQ(s.find_element(name), expected) << name;
    EXPECT_EQ(s.element_index.size(), 6u);
}

// Roles keep separate maps; a later field takes over a name, whole or local, and the text field.
TEST(ClassSchemaIndices, LaterFieldsWinWithinARole) {
    const ClassSchema s =
        make_schema({{"x:c", A}, {"c", A}, {"t", T}, {"c", E}, {"x:c", E}, {"u", T}});
    EXPECT_EQ(s.find_attribute("c"), Opt(1));
    EXPECT_EQ(s.find_attribute("x:c"), Opt(0));
    EXPECT_EQ(s.find_element("c"), Opt(4));
    EXPECT_EQ(s.find_element("x:c"), Opt(4));
    EXPECT_EQ(s.find_element("t"), Opt());
    EXPECT_EQ(s.text_field, Opt(5));
    EXPECT_TRUE(s.attribute_index.size() == 2 && s.element_index.size() == 2);
}

}  // namespace
}  // namespace kestrix
