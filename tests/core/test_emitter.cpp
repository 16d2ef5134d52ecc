// tests/core/test_emitter.cpp: XML text written from value trees: order of
// attributes, text and children, escaping, indentation and failures.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kestrix/emitter.hpp"

namespace kestrix {
namespace {

struct FieldSpec {
    std::string name;
    FieldRole role;
    TypeDesc type;
};

FieldSpec attr(std::string name, ScalarKind k = ScalarKind::Str) {
    return {std::move(name), FieldRole::Attribute, TypeDesc::scalar(k)};
}
FieldSpec elem(std::string name, TypeDesc type = TypeDesc::scalar(ScalarKind::Str)) {
    return {std::move(name), FieldRole::Element, std::move(type)};
}
FieldSpec text(std::string name, TypeDesc type = TypeDesc::scalar(ScalarKind::Str)) {
    return {std::move(name), FieldRole::Text, std::move(type)};
}

/// A schema whose fields' xml_name equals their Python name.
template <class... F>
std::shared_ptr<ClassSchema> schema(std::string name, F... specs) {
    auto s = std::make_shared<ClassSchema>();
    s->name = std::move(name);
    (s->fields.push_back(FieldSchema{specs.name, specs.name, std::move(specs.type), specs.role}),
     ...);
    s->build_indices();
    return s;
}

Value str(std::string s) { return Value::string(std::move(s)); }

template <class... V>
Value list(V... items) {
    ValueList l;
    (l.push_back(std::move(items)), ...);
    return Value::list(std::move(l));
}

/// An object of `s` with slot i set to the i-th value (an absent Value leaves it out).
template <class... V>
Value object(const ClassSchema& s, V... values) {
    ObjectValue obj(&s);
    std::size_t i = 0;
    ((obj.slots[i++] = std::move(values)), ...);
    return Value::object(std::move(obj));
}

std::string write(const ClassSchema& s, const Value& v, std::optional<std::uint64_t> indent = {}) {
    auto r = write_document(s.name, v, s, indent);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : std::string();
}

TypeDesc str_list() { return TypeDesc::list(TypeDesc::scalar(ScalarKind::Str)); }

TEST(Emitter, ReferenceDocumentIndentedAndOnOneLine) {
    auto child = schema("Child");
    auto root = schema("Root", attr("id", ScalarKind::Int), text("body"), elem("Name"),
                       elem("Item", TypeDesc::list(TypeDesc::scalar(ScalarKind::Int))),
                       elem("Child", TypeDesc::nested(child)));
    Value v = object(*root, Value::integer(7), str("hi"), str("x & y"), list(str("1"), str("2")),
                     object(*child));
    EXPECT_EQ(write(*root, v, 2),
              "<Root id=\"7\">hi<Name>x &amp; y</Name>\n"
              "  <Item>1</Item>\n"
              "  <Item>2</Item>\n"
              "  <Child>\n"
              "  </Child>\n"
              "</Root>");
    EXPECT_EQ(write(*root, v),
              "<Root id=\"7\">hi<Name>x &amp; y</Name><Item>1</Item><Item>2</Item><Child></Child>"
              "</Root>");
}

TEST(Emitter, IndentationSteps) {
    // Root > Mid > (leaf "v", empty Inner): three levels, one element without text.
    auto inner = schema("Inner");
    auto mid = schema("Mid", elem("leaf"), elem("Inner", TypeDesc::nested(inner)));
    auto root = schema("Root", elem("Mid", TypeDesc::nested(mid)));
    Value v = object(*root, object(*mid, str("v"), object(*inner)));
    struct Row {
        std::optional<std::uint64_t> step;
        const char* expected;
    } rows[] = {
        {std::nullopt, "<Root><Mid><leaf>v</leaf><Inner></Inner></Mid></Root>"},
        {0, "<Root>\n<Mid>\n<leaf>v</leaf>\n<Inner>\n</Inner>\n</Mid>\n</Root>"},
        {1, "<Root>\n <Mid>\n  <leaf>v</leaf>\n  <Inner>\n  </Inner>\n </Mid>\n</Root>"},
        {2, "<Root>\n  <Mid>\n    <leaf>v</leaf>\n    <Inner>\n    </Inner>\n  </Mid>\n</Root>"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(write(*root, v, row.step), row.expected) << "step " << row.step.value_or(99);
    }
}

TEST(Emitter, EscapingInTextAndAttributes) {
    auto s = schema("R", attr("a"), elem("e"));
    struct Row {
        const char* input;
        const char* in_text;
        const char* in_attribute;
    } rows[] = {
        {"&", "&amp;", "&amp;"},
        {"<", "&lt;", "&lt;"},
        {">", "&gt;", "&gt;"},
        {"\"", "&quot;", "&quot;"},
        {"'", "&apos;", "&apos;"},
        {"\r", "&#13;", "&#13;"},
        {"\t", "\t", "&#9;"},
        {"\n", "\n", "&#10;"},
        {"]]>", "]]&gt;", "]]&gt;"},
        {"\x01 caf\xc3\xa9 \xe2\x82\xac", "\x01 caf\xc3\xa9 \xe2\x82\xac",
         "\x01 caf\xc3\xa9 \xe2\x82\xac"},
        {"a<b&c>d", "a&lt;b&amp;c&gt;d", "a&lt;b&amp;c&gt;d"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(write(*s, object(*s, str(row.input), str(row.input))),
                  std::string("<R a=\"") + row.in_attribute + "\"><e>" + row.in_text + "</e></R>")
            << "input " << row.input;
    }
}

TEST(Emitter, EmptyElementsAndEmptyTexts) {
    auto s = schema("Name", attr("a"), elem("e"));
    EXPECT_EQ(write(*s, object(*s)), "<Name></Name>");
    EXPECT_EQ(write(*s, object(*s, str(""), str(""))), "<Name a=\"\"><e></e></Name>");
    for (std::uint64_t step : {0, 4}) {
        EXPECT_EQ(write(*s, object(*s), step), "<Name>\n</Name>");
        EXPECT_EQ(write(*s, object(*s, str(""), str("")), step),
                  "<Name a=\"\">\n" + std::string(step, ' ') + "<e></e>\n</Name>");
    }
}

TEST(Emitter, NullAbsentAndNonScalarEntriesWriteNothing) {
    auto child = schema("C");
    auto s = schema("R", attr("a"), attr("b"), elem("e"), elem("n", TypeDesc::nested(child)),
                    elem("l", str_list()), elem("s"), elem("absent"));
    // Attribute holding a list, list field holding a scalar, scalar field holding an object.
    Value v = object(*s, Value::null(), list(str("x")), Value::null(), Value::null(),
                     str("not a list"), object(*child));
    EXPECT_EQ(write(*s, v), "<R></R>");
}

TEST(Emitter, ListsOfScalarsModelsAndLists) {
    auto part = schema("Part", attr("k"));
    auto s = schema("R", elem("s", str_list()), elem("p", TypeDesc::list(TypeDesc::nested(part))),
                    elem("ll", TypeDesc::list(str_list())), elem("empty", str_list()));
    Value v = object(*s, list(str("a"), Value::null(), str("")),
                     list(object(*part, str("1")), object(*part)),
                     list(list(str("x")), list(str("y"))), list());
    EXPECT_EQ(write(*s, v), "<R><s>a</s><s></s><p k=\"1\"></p><p></p></R>");
    EXPECT_EQ(write(*s, v, 1), "<R>\n <s>a</s>\n <s></s>\n <p k=\"1\">\n </p>\n <p>\n </p>\n</R>");
}

TEST(Emitter, TextContentComesFirstAndJoinsListItems) {
    auto child = schema("C");
    auto s = schema("R", elem("e"), text("t", str_list()));
    std::vector<std::pair<Value, const char*>> rows;
    rows.emplace_back(list(str("a"), str("b"), str("c")), "<R>abc<e>z</e></R>");
    rows.emplace_back(list(str("a"), object(*child), str(""), Value::null(), Value::integer(3)),
                      "<R>a3<e>z</e></R>");
    rows.emplace_back(str("x<"), "<R>x&lt;<e>z</e></R>");
    rows.emplace_back(str(""), "<R><e>z</e></R>");
    rows.emplace_back(object(*child), "<R><e>z</e></R>");
    for (auto& [text_value, expected] : rows) {
        EXPECT_EQ(write(*s, object(*s, str("z"), std::move(text_value))), expected);
    }
    // An empty text leaves the break pending, so the child starts a new line.
    EXPECT_EQ(write(*s, object(*s, str("z"), str("")), 2), "<R>\n  <e>z</e>\n</R>");
}

TEST(Emitter, ObjectOfAnotherSchemaIsReadByFieldName) {
    // The nested value was built against a schema whose fields stand in another order.
    auto foreign = schema("X", elem("b"), elem("a"));
    auto declared = schema("Decl", elem("a"), elem("c"));
    auto root = schema("R", elem("n", TypeDesc::nested(declared)));
    EXPECT_EQ(write(*root, object(*root, object(*foreign, str("B"), str("A")))),
              "<R><n><a>A</a></n></R>");
}

TEST(Emitter, ClassValueThatIsNotAnObjectFails) {
    auto child = schema("C");
    auto s = schema("R", elem("n", TypeDesc::nested(child)),
                    elem("l", TypeDesc::list(TypeDesc::nested(child))));
    Value values[] = {str("root"), object(*s, str("nested")),
                      object(*s, Value(), list(object(*child), Value::integer(1)))};
    for (const Value& v : values) {
        auto r = write_document("R", v, *s, 2);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "Serialization error: Expected Object value for model");
    }
}

TEST(Emitter, NestingBeyondTheLimitFails) {
    auto node = std::make_shared<ClassSchema>();
    node->name = "Node";
    node->fields.push_back(FieldSchema{"next", "next", TypeDesc::nested(node), FieldRole::Element});
    node->build_indices();
    auto chain = [&](std::uint64_t levels) {
        Value v = object(*node);
        for (std::uint64_t i = 1; i < levels; ++i) v = object(*node, std::move(v));
        return v;
    };
    EXPECT_TRUE(write_document("Node", chain(MAX_DEPTH), *node, std::nullopt).ok());
    auto r = write_document("Node", chain(MAX_DEPTH + 1), *node, std::nullopt);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "Maximum XML recursion depth exceeded: current 257 >= limit 256");
    node->fields.clear();  // break the schema's reference cycle
}

}  // namespace
}  // namespace kestrix
