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
std::shared_ptr<ClassSchema> schema(std::string name, std::vector<FieldSpec> specs) {
    auto s = std::make_shared<ClassSchema>();
    s->name = std::move(name);
    for (FieldSpec& f : specs) {
        s->fields.push_back(FieldSchema{f.name, f.name, std::move(f.type), f.role});
    }
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

/// An object of `s` with slot i set to values[i] (an absent Value leaves it out).
Value object(const ClassSchema& s, std::vector<Value> values = {}) {
    ObjectValue obj(&s);
    for (std::size_t i = 0; i < values.size(); ++i) obj.slots[i] = std::move(values[i]);
    return Value::object(std::move(obj));
}

std::string write(const ClassSchema& s, const Value& v, std::optional<std::uint64_t> indent = {}) {
    auto r = write_document(s.name, v, s, indent);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : std::string();
}

// The reference document: an attribute, a text, a scalar child, a list and an
// empty nested child, in an order that puts the text field after the attribute.
struct Example {
    std::shared_ptr<ClassSchema> child = schema("Child", {});
    std::shared_ptr<ClassSchema> root = schema("Root", [&] {
        std::vector<FieldSpec> f;
        f.push_back(attr("id", ScalarKind::Int));
        f.push_back(text("body"));
        f.push_back(elem("Name"));
        f.push_back(elem("Item", TypeDesc::list(TypeDesc::scalar(ScalarKind::Int))));
        f.push_back(elem("Child", TypeDesc::nested(child)));
        return f;
    }());
    Value value() const {
        std::vector<Value> v;
        v.push_back(Value::integer(7));
        v.push_back(str("hi"));
        v.push_back(str("x & y"));
        v.push_back(list(str("1"), str("2")));
        v.push_back(object(*child));
        return object(*root, std::move(v));
    }
};

TEST(Emitter, ReferenceDocumentIndentedAndOnOneLine) {
    Example ex;
    EXPECT_EQ(write(*ex.root, ex.value(), 2),
              "<Root id=\"7\">hi<Name>x &amp; y</Name>\n"
              "  <Item>1</Item>\n"
              "  <Item>2</Item>\n"
              "  <Child>\n"
              "  </Child>\n"
              "</Root>");
    EXPECT_EQ(write(*ex.root, ex.value()),
              "<Root id=\"7\">hi<Name>x &amp; y</Name><Item>1</Item><Item>2</Item><Child></Child>"
              "</Root>");
}

TEST(Emitter, IndentationSteps) {
    // Root > Mid > (leaf "v", empty Inner): levels 0..2, plus an element without text.
    auto inner = schema("Inner", {});
    std::vector<FieldSpec> mf;
    mf.push_back(elem("leaf"));
    mf.push_back(elem("Inner", TypeDesc::nested(inner)));
    auto mid = schema("Mid", std::move(mf));
    std::vector<FieldSpec> rf;
    rf.push_back(elem("Mid", TypeDesc::nested(mid)));
    auto root = schema("Root", std::move(rf));
    std::vector<Value> mv;
    mv.push_back(str("v"));
    mv.push_back(object(*inner));
    std::vector<Value> rv;
    rv.push_back(object(*mid, std::move(mv)));
    Value v = object(*root, std::move(rv));

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
    std::vector<FieldSpec> f;
    f.push_back(attr("a"));
    f.push_back(elem("e"));
    auto s = schema("R", std::move(f));
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
        std::vector<Value> v;
        v.push_back(str(row.input));
        v.push_back(str(row.input));
        EXPECT_EQ(write(*s, object(*s, std::move(v))),
                  std::string("<R a=\"") + row.in_attribute + "\"><e>" + row.in_text + "</e></R>")
            << "input " << row.input;
    }
}

TEST(Emitter, EmptyElementsAndEmptyTexts) {
    std::vector<FieldSpec> f;
    f.push_back(attr("a"));
    f.push_back(elem("e"));
    auto s = schema("Name", std::move(f));
    for (auto step : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
                      std::optional<std::uint64_t>{4}}) {
        const bool ind = step.has_value();
        EXPECT_EQ(write(*s, object(*s), step), ind ? "<Name>\n</Name>" : "<Name></Name>");
        std::vector<Value> v;
        v.push_back(str(""));
        v.push_back(str(""));
        EXPECT_EQ(
            write(*s, object(*s, std::move(v)), step),
            ind ? std::string("<Name a=\"\">\n") + std::string(*step, ' ') + "<e></e>\n</Name>"
                : "<Name a=\"\"><e></e></Name>");
    }
}

TEST(Emitter, NullAbsentAndNonScalarEntriesWriteNothing) {
    auto child = schema("C", {});
    std::vector<FieldSpec> f;
    f.push_back(attr("a"));
    f.push_back(attr("b"));
    f.push_back(elem("e"));
    f.push_back(elem("n", TypeDesc::nested(child)));
    f.push_back(elem("l", TypeDesc::list(TypeDesc::scalar(ScalarKind::Str))));
    f.push_back(elem("s"));
    auto s = schema("R", std::move(f));
    std::vector<Value> v;
    v.push_back(Value::null());
    v.push_back(list(str("x")));  // attribute holding a list
    v.push_back(Value::null());
    v.push_back(Value::null());
    v.push_back(str("not a list"));  // list field holding a scalar
    v.push_back(object(*child));     // scalar field holding an object
    EXPECT_EQ(write(*s, object(*s, std::move(v))), "<R></R>");
}

TEST(Emitter, ScalarKindsAsText) {
    std::vector<FieldSpec> f;
    f.push_back(attr("b", ScalarKind::Bool));
    f.push_back(attr("f", ScalarKind::Float));
    f.push_back(elem("i", TypeDesc::scalar(ScalarKind::Int)));
    auto s = schema("R", std::move(f));
    std::vector<Value> v;
    v.push_back(Value::boolean(false));
    v.push_back(Value::floating(5.0));
    v.push_back(Value::integer(-9223372036854775807LL - 1));
    EXPECT_EQ(write(*s, object(*s, std::move(v))),
              "<R b=\"false\" f=\"5.0\"><i>-9223372036854775808</i></R>");
}

TEST(Emitter, ListsOfScalarsModelsAndLists) {
    std::vector<FieldSpec> pf;
    pf.push_back(attr("k"));
    auto part = schema("Part", std::move(pf));
    std::vector<FieldSpec> f;
    f.push_back(elem("s", TypeDesc::list(TypeDesc::scalar(ScalarKind::Str))));
    f.push_back(elem("p", TypeDesc::list(TypeDesc::nested(part))));
    f.push_back(elem("ll", TypeDesc::list(TypeDesc::list(TypeDesc::scalar(ScalarKind::Str)))));
    f.push_back(elem("empty", TypeDesc::list(TypeDesc::scalar(ScalarKind::Str))));
    auto s = schema("R", std::move(f));
    std::vector<Value> k1, k2;
    k1.push_back(str("1"));
    std::vector<Value> v;
    v.push_back(list(str("a"), Value::null(), str("")));
    v.push_back(list(object(*part, std::move(k1)), object(*part, std::move(k2))));
    v.push_back(list(list(str("x")), list(str("y"))));
    v.push_back(list());
    Value value = object(*s, std::move(v));
    EXPECT_EQ(write(*s, value), "<R><s>a</s><s></s><p k=\"1\"></p><p></p></R>");
    EXPECT_EQ(write(*s, value, 1),
              "<R>\n <s>a</s>\n <s></s>\n <p k=\"1\">\n </p>\n <p>\n </p>\n</R>");
}

TEST(Emitter, TextContentComesFirstAndJoinsListItems) {
    auto child = schema("C", {});
    std::vector<FieldSpec> f;
    f.push_back(elem("e"));
    f.push_back(text("t", TypeDesc::list(TypeDesc::scalar(ScalarKind::Str))));
    auto s = schema("R", std::move(f));
    struct Row {
        Value text;
        const char* expected;
    };
    std::vector<Row> rows;
    rows.push_back({list(str("a"), str("b"), str("c")), "<R>abc<e>z</e></R>"});
    rows.push_back({list(str("a"), object(*child), str(""), Value::null(), Value::integer(3)),
                    "<R>a3<e>z</e></R>"});
    rows.push_back({str("x<"), "<R>x&lt;<e>z</e></R>"});
    rows.push_back({str(""), "<R><e>z</e></R>"});
    rows.push_back({object(*child), "<R><e>z</e></R>"});
    for (Row& row : rows) {
        std::vector<Value> v;
        v.push_back(str("z"));
        v.push_back(std::move(row.text));
        EXPECT_EQ(write(*s, object(*s, std::move(v))), row.expected);
    }
    // An empty text leaves the break pending, so the child starts a new line.
    std::vector<Value> v;
    v.push_back(str("z"));
    v.push_back(str(""));
    EXPECT_EQ(write(*s, object(*s, std::move(v)), 2), "<R>\n  <e>z</e>\n</R>");
}

TEST(Emitter, ObjectOfAnotherSchemaIsReadByFieldName) {
    // The value was built against a schema whose fields stand in another order.
    std::vector<FieldSpec> ff;
    ff.push_back(elem("b"));
    ff.push_back(elem("a"));
    auto foreign = schema("X", std::move(ff));
    std::vector<FieldSpec> cf;
    cf.push_back(elem("a"));
    cf.push_back(elem("c"));
    auto declared = schema("Decl", std::move(cf));
    std::vector<FieldSpec> rf;
    rf.push_back(elem("n", TypeDesc::nested(declared)));
    auto root = schema("R", std::move(rf));
    std::vector<Value> fv;
    fv.push_back(str("B"));
    fv.push_back(str("A"));
    std::vector<Value> rv;
    rv.push_back(object(*foreign, std::move(fv)));
    EXPECT_EQ(write(*root, object(*root, std::move(rv))), "<R><n><a>A</a></n></R>");
}

TEST(Emitter, ClassValueThatIsNotAnObjectFails) {
    auto child = schema("C", {});
    std::vector<FieldSpec> f;
    f.push_back(elem("n", TypeDesc::nested(child)));
    f.push_back(elem("l", TypeDesc::list(TypeDesc::nested(child))));
    auto s = schema("R", std::move(f));

    std::vector<Value> values;
    values.push_back(str("root"));
    {
        std::vector<Value> v;
        v.push_back(str("nested"));
        values.push_back(object(*s, std::move(v)));
    }
    {
        std::vector<Value> v;
        v.push_back(Value());
        v.push_back(list(object(*child), Value::integer(1)));
        values.push_back(object(*s, std::move(v)));
    }
    for (const Value& v : values) {
        auto r = write_document("R", v, *s, 2);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), BindError::Kind::Serialization);
        EXPECT_EQ(r.error().message(), "Serialization error: Expected Object value for model");
    }
}

TEST(Emitter, NestingBeyondTheLimitFails) {
    // A self-referencing schema; the chain is built from the innermost object out.
    auto node = std::make_shared<ClassSchema>();
    node->name = "Node";
    node->fields.push_back(FieldSchema{"next", "next", TypeDesc::nested(node), FieldRole::Element});
    node->build_indices();
    auto chain = [&](std::uint64_t levels) {
        Value v = object(*node);
        for (std::uint64_t i = 1; i < levels; ++i) {
            std::vector<Value> slot;
            slot.push_back(std::move(v));
            v = object(*node, std::move(slot));
        }
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
