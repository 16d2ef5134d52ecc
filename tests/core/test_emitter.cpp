// tests/core/test_emitter.cpp: XML text written from value trees: order of
// attributes, text and children, escaping, indentation and failures.
#include <gtest/gtest.h>

#include <string>

#include "bind_fixtures.hpp"
#include "kestrix/emitter.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

/// The memory of every tree these tests build; freed at exit.
Arena& arena() {
    static Arena memory;
    return memory;
}

Value str(std::string_view s) { return Value::string(arena().copy(s)); }

template <class... V>
Value list(V... items) {
    auto* values = static_cast<Value*>(arena().allocate(sizeof...(V) * sizeof(Value)));
    std::size_t i = 0;
    ((values[i++] = items), ...);
    return Value::list(values, sizeof...(V));
}

/// An object of `s` with slot i set to the i-th value (an absent Value leaves it out).
template <class... V>
Value object(const ClassSchema& s, V... values) {
    ObjectValue* obj = ObjectValue::make(s, arena());
    std::size_t i = 0;
    ((obj->slots[i++] = values), ...);
    return Value::object(obj);
}

/// The document, or the error message.
std::string write(const ClassSchema& s, const Value& v, std::optional<std::uint64_t> indent = {}) {
    auto r = write_document(s.name, v, s, indent);
    return r ? r.value() : r.error().message();
}

TEST(Emitter, IndentationSteps) {
    auto inner = make_class("I");
    auto mid = make_class("M", element("l"), element("I", nested(inner)));
    auto root = make_class("R", element("M", nested(mid)));
    Value v = object(*root, object(*mid, str("v"), object(*inner)));
    EXPECT_EQ(write(*root, v, 0), "<R>\n<M>\n<l>v</l>\n<I>\n</I>\n</M>\n</R>");
    EXPECT_EQ(write(*root, v, 1), "<R>\n <M>\n  <l>v</l>\n  <I>\n  </I>\n </M>\n</R>");
    EXPECT_EQ(write(*root, v, 2), "<R>\n  <M>\n    <l>v</l>\n    <I>\n    </I>\n  </M>\n</R>");
}

TEST(Emitter, EscapingInTextAndAttributes) {
    auto s = make_class("R", attribute("a"), element("e"));
    const char* rows[][3] = {
        {"&<>\"'\r", "&amp;&lt;&gt;&quot;&apos;&#13;", "&amp;&lt;&gt;&quot;&apos;&#13;"},
        {"\t\n", "\t\n", "&#9;&#10;"},
        {"", "", ""},
        // U+E9, U+FFFD and U+FFEF: near the refused U+FFFE/U+FFFF in UTF-8, yet allowed
        {"\xc3\xa9 \xef\xbf\xbd\xef\xbf\xaf a<b", "\xc3\xa9 \xef\xbf\xbd\xef\xbf\xaf a&lt;b",
         "\xc3\xa9 \xef\xbf\xbd\xef\xbf\xaf a&lt;b"},
    };
    for (const auto& [input, in_text, in_attribute] : rows)
        EXPECT_EQ(write(*s, object(*s, str(input), str(input))),
                  std::string("<R a=\"") + in_attribute + "\"><e>" + in_text + "</e></R>");
}

// Lists of scalars and of models; null, absent and ill-kinded entries write nothing.
TEST(Emitter, ListsAndEntriesWithNothingToWrite) {
    auto part = make_class("Part", attribute("k"));
    auto s =
        make_class("R", attribute("a"), attribute("b"), element("s", list_of(scalar())),
                   element("p", list_of(nested(part))), element("ll", list_of(list_of(scalar()))),
                   element("e"), element("n", nested(part)), element("l", list_of(scalar())),
                   element("o"), element("absent"));
    Value v = object(*s, Value::null(), list(str("x")), list(str("a"), Value::null(), str("")),
                     list(object(*part, str("1")), object(*part)), list(list(str("y"))),
                     Value::null(), Value::null(), str("not a list"), object(*part));
    EXPECT_EQ(write(*s, v), "<R><s>a</s><s></s><p k=\"1\"></p><p></p></R>");
}

TEST(Emitter, TextContentComesFirstAndJoinsListItems) {
    auto child = make_class("C");
    auto s = make_class("R", element("e"), text("t", list_of(scalar())));
    auto with_text = [&](Value t, std::optional<std::uint64_t> indent = {}) {
        return write(*s, object(*s, str("z"), std::move(t)), indent);
    };
    EXPECT_EQ(with_text(list(str("a"), object(*child), str(""), Value::null(), Value::integer(3))),
              "<R>a3<e>z</e></R>");
    EXPECT_EQ(with_text(str("x<")), "<R>x&lt;<e>z</e></R>");
    EXPECT_EQ(with_text(object(*child)), "<R><e>z</e></R>");
    // Indentation adds no whitespace inside an element with text content,
    // where it would join the text; its nested elements stay on the line too.
    auto outer = make_class("O", element("R", nested(s)), element("f"));
    const Value inner = object(*s, str("z"), str(""));
    EXPECT_EQ(write(*outer, object(*outer, inner, str("g")), 2),
              "<O>\n  <R><e>z</e></R>\n  <f>g</f>\n</O>");
    EXPECT_EQ(with_text(list(str("")), 2), "<R><e>z</e></R>");
}

// A class field holds an object of its class: other values are refused, and so is
// an object laid out for another class (objects are read by position).
TEST(Emitter, ClassValueThatIsNoObjectOfItsClassFails) {
    auto child = make_class("C", element("a"), element("c"));
    auto foreign = make_class("X", element("b"), element("a"));
    auto s = make_class("R", element("n", nested(child)), element("l", list_of(nested(child))));
    for (const Value& v : {str("root"), object(*s, str("nested")),
                           object(*s, Value(), list(object(*child), Value::integer(1)))})
        EXPECT_EQ(write(*s, v, 2), "Serialization error: Expected Object value for model");
    EXPECT_EQ(write(*s, object(*s, object(*foreign, str("B"), str("A")))),
              "Serialization error: Object value laid out for another class than C");
}

FieldSchema flagged(FieldSchema field, bool nillable, bool cdata) {
    field.nillable = nillable;
    field.cdata = cdata;
    return field;
}

// The writing options and the per-field forms, each against the plain form.
TEST(Emitter, OptionsAndFieldForms) {
    auto s = make_class("R", attribute("a"), flagged(element("c"), false, true),
                        flagged(element("n"), true, false),
                        flagged(element("l", list_of(scalar())), true, false), element("e"));
    EncodableSet latin1;
    for (char32_t c = 0x80; c < 0x100; ++c) latin1.add(c);
    const WriteOptions plain, short_empty{{}, true}, restricted{{}, false, &latin1};
    // "\xc3\xa9" is U+E9 (in latin1), "\xe2\x82\xac" U+20AC, "\xf0\x9f\x98\x80" U+1F600.
    const std::string wide = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::string nil =
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:nil=\"true\"/>";
    struct Row {
        Value value;
        const WriteOptions* options;
        std::string expected;
    } rows[] = {
        {object(*s, Value(), str("a]]>b]]]>>")), &plain,
         "<R><c><![CDATA[a]]]]><![CDATA[>b]]]]]><![CDATA[>>]]></c></R>"},
        {object(*s, Value(), str(wide)), &restricted,
         "<R><c><![CDATA[\xc3\xa9]]>&#x20AC;&#x1F600;</c></R>"},
        {object(*s, str(wide + "<"), Value(), Value(), Value(), str(wide)), &restricted,
         "<R a=\"\xc3\xa9&#x20AC;&#x1F600;&lt;\"><e>\xc3\xa9&#x20AC;&#x1F600;</e></R>"},
        {object(*s, str(wide)), &plain, "<R a=\"" + wide + "\"></R>"},
        {object(*s, Value(), str(""), Value::null(), list(str("1"), Value::null()), Value::null()),
         &plain, "<R><c></c><n" + nil + "<l>1</l><l" + nil + "</R>"},
        {object(*s, str("1"), str(""), Value(), list(str("")), str("")), &short_empty,
         "<R a=\"1\"><c/><l/><e/></R>"},
        {object(*s), &short_empty, "<R/>"},
    };
    for (const Row& row : rows) {
        auto r = write_document("R", row.value, *s, *row.options);
        EXPECT_EQ(r ? r.value() : r.error().message(), row.expected);
    }
    EXPECT_EQ(write(*s, object(*s, Value(), str("a\x01"))),
              "Serialization error: character U+0001 in field 'c' of R cannot be written in XML "
              "1.0");
}

}  // namespace
}  // namespace kestrix
