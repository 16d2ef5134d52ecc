// tests/core/test_parser.cpp: whole documents bound to hand-built schemas.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/frame.hpp"
#include "kestrix/parser.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

struct Case {
    std::string_view document;
    std::string_view expected;  // dump of the value, or "error: " and the message
};

std::string bind_document(std::string_view document, const ClassSchema& schema,
                          std::uint64_t limit = 256) {
    Result<Value> value = parse_document(document, schema, limit);
    return value ? dump(value.value()) : "error: " + value.error().message();
}

void check_all(const ClassSchema& schema, std::initializer_list<Case> cases,
               std::uint64_t limit = 256) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(bind_document(c.document, schema, limit), c.expected);
    }
}

class ParserTest : public ::testing::Test {
protected:
    std::shared_ptr<ClassSchema> customer =
        make_class("Customer", fields(element("name", "name", scalar(ScalarKind::Str)),
                                      attribute("vip", "vip", scalar(ScalarKind::Bool)),
                                      attribute("ns", "p", scalar(ScalarKind::Str))));
    std::shared_ptr<ClassSchema> line =
        make_class("Line", fields(attribute("sku", "sku", scalar(ScalarKind::Str)),
                                  element("qty", "qty", scalar(ScalarKind::Int))));
    std::shared_ptr<ClassSchema> order = make_class(
        "Order", fields(attribute("id", "id", scalar(ScalarKind::Int)),
                        attribute("code", "p:code", scalar(ScalarKind::Str)),
                        element("name", "name", scalar(ScalarKind::Str)),
                        element("qty", "qty", scalar(ScalarKind::Int)),
                        element("price", "price", scalar(ScalarKind::Float)),
                        element("paid", "paid", scalar(ScalarKind::Bool)),
                        element("day", "day", scalar(ScalarKind::XmlDate)),
                        element("tags", "tag", list_of(scalar(ScalarKind::Str))),
                        element("nums", "n", list_of(scalar(ScalarKind::Int))),
                        element("customer", "customer", nested(customer)),
                        element("lines", "line", list_of(nested(line))),
                        element("rows", "row", list_of(list_of(scalar(ScalarKind::Int)))),
                        attribute("links", "links", list_of(scalar(ScalarKind::Str))),
                        attribute("owner", "owner", nested(customer))));
    std::shared_ptr<ClassSchema> note =
        make_class("Note", fields(attribute("lang", "lang", scalar(ScalarKind::Str)),
                                  text("body", scalar(ScalarKind::Str)),
                                  element("em", "em", scalar(ScalarKind::Str))));
};

TEST_F(ParserTest, BindsFieldsOfEveryShape) {
    check_all(
        *order,
        {
            {R"(<order id="7" p:code="X1"><name>Ann</name><qty> 3 </qty><price>2.5</price>)"
             R"(<paid>true</paid><day> 2024-01-31 </day></order>)",
             R"({id=7,code="X1",name="Ann",qty=3,price=2.5f,paid=true,day="2024-01-31"})"},
            {"<anything/>", "{}"},  // the root's own name plays no part
            {R"(<o id="1" p:code="c"/>)", R"({id=1,code="c"})"},
            {R"(<o><customer vip="0" other="x"><name>C</name></customer></o>)",
             R"({customer={name="C",vip=false}})"},
            {R"(<o links="a" owner="b"/>)", "{}"},  // attributes of non-scalar fields are ignored
            // A namespace declaration binds like any attribute; of two names for one
            // field the later wins.
            {R"(<o><customer xmlns:p="urn:x" a:vip="1" b:vip="0"/></o>)",
             R"({customer={vip=false,ns="urn:x"}})"},
            {R"(<p:o xmlns:p="u"><p:name>n</p:name><q:qty xmlns:q="v">4</q:qty></p:o>)",
             R"({name="n",qty=4})"},
            {R"(<?xml version="1.0"?><!-- c --><!DOCTYPE o><o><?pi x?><name> a  b </name></o>)",
             R"({name=" a  b "})"},
            {"<o><name><![CDATA[<x>&amp;]]>&#65;&lt;&#x42;</name></o>", R"({name="<x>&amp;A<B"})"},
            {R"(<o p:code="a&amp;b&#67;&quot;"/>)", R"({code="a&bC""})"},
            {"<o><name>a\r\nb</name></o>", "{name=\"a\nb\"}"},  // line ends arrive normalised
            // The document is read as UTF-8 whatever its declaration says.
            {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><o><name>\xc3\xa9</name></o>",
             "{name=\"\xc3\xa9\"}"},
        });
}

TEST_F(ParserTest, EmptyElementsNilMarkersAndRepeats) {
    check_all(
        *order,
        {
            // A self-closing scalar is empty text whatever its kind, not parsed.
            {"<o><qty/><paid /><name/><n/></o>", R"({name="",qty="",paid="",nums=[""]})"},
            {R"(<o><qty xsi:nil="true">junk<x>1</x></qty><name nil="1"/><price x:nil="true"></price>)"
             R"(<paid>1</paid></o>)",
             "{name=null,qty=null,price=null,paid=true}"},
            {R"(<o><name nil="TRUE">a</name></o>)", R"({name="a"})"},
            {R"(<o><n>1</n><n xsi:nil="true"/><n nil="1">9</n><n>2</n></o>)",
             "{nums=[1,null,null,2]}"},
            {R"(<o><customer xsi:nil="true"><name>c</name></customer></o>)",  // classes ignore nil
             R"({customer={name="c"}})"},
            {R"(<o><qty>1</qty><qty>2</qty><customer><name>a</name></customer><customer vip="1"/></o>)",
             "{qty=2,customer={vip=true}}"},
            {R"(<o><tag>a</tag><name>x</name><tag>b</tag><line sku="1"/><tag>c</tag>)"
             R"(<line sku="2"><qty>5</qty></line></o>)",
             R"({name="x",tags=["a","b","c"],lines=[{sku="1"},{sku="2",qty=5}]})"},
        });
}

// Elements that open no frame and start no scalar are consumed through their
// own end tag, so the enclosing element stays open and later fields still bind.
TEST_F(ParserTest, ElementsWithNoPlaceAreConsumedWhole) {
    check_all(*order,
              {
                  {"<o><x><name>bad</name><y>t</y></x><name>good</name></o>", R"({name="good"})"},
                  {"<o><x><x/><x>a</x></x><qty>3</qty></o>", "{qty=3}"},
                  {"<o><row><n>1</n></row><row/><n>2</n></o>", "{nums=[2]}"},
                  {R"(<o><name xsi:nil="true"><name>x</name></name><qty>4</qty></o>)",
                   "{name=null,qty=4}"},
                  {"<o><line><x><qty>1</qty></x></line><qty>2</qty></o>", "{qty=2,lines=[{}]}"},
                  // Markup inside a scalar element is part of its text, not a sibling field.
                  {"<o><name>a<qty>5</qty>b<i/>c</name><qty>6</qty></o>", R"({name="a5bc",qty=6})"},
                  {"<o><tag>a<b>c</b></tag><tag>d</tag></o>", R"({tags=["ac","d"]})"},
              });
    check_all(*note, {
                         {R"(<note lang="en">Hello <b>world</b>!</note>)",
                          R"({lang="en",body="Hello world!"})"},
                         {"<note>  a <em>x</em> b  </note>", R"({body="  a  b  ",em="x"})"},
                         {"<note>a<em>x<i>y</i></em>b</note>", R"({body="ab",em="xy"})"},
                         {R"(<note>a<em nil="1">q</em>b</note>)", R"({body="aqb",em=null})"},
                         {"<note>   </note>", R"({body="   "})"},
                         {"<note></note>", "{}"},
                         {"<note/>", "{}"},
                     });
}

TEST_F(ParserTest, Failures) {
    check_all(
        *order,
        {
            {"", "error: Schema error: Unexpected end of XML stream"},
            {R"(<?xml version="1.0"?><!-- only -->)",
             "error: Schema error: Unexpected end of XML stream"},
            {"<o><name>a</name>", "error: Schema error: Unexpected end of XML stream"},
            {"<o><name>a</nam></o>", "error: XML reader error at position 12: mismatched tag"},
            {"<o><name", "error: XML reader error at position 3: unclosed token"},
            {"<o><name>\xff</name></o>",
             "error: XML reader error at position 9: not well-formed (invalid token)"},
            {"<o><name>&#0;</name></o>",
             "error: XML parsing error: reference to invalid character number"},
            {"<o><name>&bogus;</name></o>", "error: XML unescape error: undefined entity"},
            {R"(<o p:code="&bogus;"/>)", "error: XML unescape error: undefined entity"},
            {"<o><qty>abc</qty></o>",
             "error: Scalar parse error for field 'qty': expected integer, got 'abc'"},
            {R"(<o id="x"/>)",
             "error: Scalar parse error for field 'id': expected integer, got 'x'"},
            {R"(<o><line sku="1"><qty>z</qty></line></o>)",
             "error: Scalar parse error for field 'qty': expected integer, got 'z'"},
            {"<o><n>1</n><n>x</n></o>",
             "error: Scalar parse error for field 'nums': expected integer, got 'x'"},
            // Nothing after the document element is read.
            {"<o><qty>1</qty></o><oops><<&bogus;", "{qty=1}"},
        });
}

TEST(ParserDepth, LimitCountsOpenClassElements) {
    ClassSchema node;
    node.name = "Node";
    node.fields = fields(attribute("label", "label", scalar(ScalarKind::Str)),
                         element("child", "n", self_ref(&node)),
                         element("value", "v", scalar(ScalarKind::Int)),
                         element("kids", "k", list_of(self_ref(&node))));
    node.build_indices();
    const std::string too_deep =
        "error: Maximum XML recursion depth exceeded: current 4 >= limit 3";
    check_all(node,
              {
                  {"<n><n><n><n/></n></n></n>", "{child={child={child={}}}}"},
                  {"<n><n><n><v/><zz/></n></n></n>", R"({child={child={value=""}}})"},
                  {"<n><n><n><n></n></n></n></n>", too_deep},
                  {"<n><n><n><v>1</v></n></n></n>", too_deep},
                  {"<n><n><n><zz></zz></n></n></n>", too_deep},
                  {R"(<n><k label="a"/><k label="b"><k/></k><zz><n><n></n></n></zz></n>)",
                   R"({kids=[{label="a"},{label="b",kids=[{}]}]})"},
              },
              3);

    std::string deep;
    for (int i = 0; i < 256; ++i) deep += "<n>";
    EXPECT_EQ(bind_document(deep + "<v>1</v>", node),
              "error: Maximum XML recursion depth exceeded: current 257 >= limit 256");
    std::string closed = deep + "<n/>";
    for (int i = 0; i < 256; ++i) closed += "</n>";
    EXPECT_TRUE(parse_document(closed, node, 256).ok());
}

// Documents far larger than one feeding chunk: tags and text cross chunk
// boundaries, and a self-closing tag must still be told from a start tag.
TEST_F(ParserTest, LargeDocumentsAcrossChunks) {
    std::string document = "<o>";
    for (int i = 0; i < 40000; ++i)
        document += i % 3 == 0 ? "<n/>" : "<n>" + std::to_string(i) + "</n>";
    const std::string long_text(200000, 'x');
    document += "<name>" + long_text + "&amp;</name></o>";
    Result<Value> value = parse_document(document, *order, 256);
    ASSERT_TRUE(value.ok()) << value.error().message();
    const ObjectValue& object = value.value().as_object();
    const ValueList& nums = object.slots[8].as_list();
    ASSERT_EQ(nums.size(), 40000u);
    for (int i = 0; i < 40000; ++i) {
        if (i % 3 == 0) {
            ASSERT_EQ(nums[i].as_str(), "") << i;
        } else {
            ASSERT_EQ(nums[i].as_int(), i);
        }
    }
    EXPECT_EQ(object.slots[2].as_str(), long_text + "&");
}

TEST_F(ParserTest, EntitiesDeclaredInTheDocumentExpand) {
    check_all(
        *order,
        {
            {R"(<!DOCTYPE o [<!ENTITY e "<name>in</name>"><!ENTITY t "abc">]><o>&e;<tag>&t;</tag></o>)",
             R"({name="in",tags=["abc"]})"},
            // Markup from an entity is bound like markup written out.
            {R"(<!DOCTYPE o [<!ENTITY e "<x><qty>1</qty></x>">]><o>&e;<qty>2</qty></o>)",
             "{qty=2}"},
        });
}

// Names select the same field as the schema's own index, for classes searched
// field by field and for large ones, including the colon cases of both.
TEST(FieldMatching, AgreesWithTheSchemaIndex) {
    const char* xml_names[] = {"b:c", "a", "p:a", "q:a", ":x", "y:", "z", "zz:z", "a:b:c"};
    const char* names[] = {"a", "p:a", "r:a",  "b:c",    "a:b:c", "x", ":x",    "y:",
                           "y", "z",   "zz:z", "w:zz:z", "c",     "b", "q:b:c", "aa"};
    for (std::size_t padding : {0, 20}) {
        std::vector<FieldSchema> attrs, elems;
        for (std::size_t i = 0; i < padding; ++i) {
            attrs.push_back(attribute("pad" + std::to_string(i), "pad" + std::to_string(i),
                                      scalar(ScalarKind::Str)));
            elems.push_back(element("pad" + std::to_string(i), "pad" + std::to_string(i),
                                    scalar(ScalarKind::Str)));
        }
        for (const char* xml : xml_names) {
            attrs.push_back(attribute(xml, xml, scalar(ScalarKind::Str)));
            elems.push_back(element(xml, xml, scalar(ScalarKind::Str)));
        }
        auto by_attribute = make_class("A", std::move(attrs));
        auto by_element = make_class("E", std::move(elems));
        for (const char* name : names) {
            SCOPED_TRACE(std::string(name) + " with padding " + std::to_string(padding));
            const auto want_attr = by_attribute->find_attribute(local_name(name));
            const auto want_elem = by_element->find_element(local_name(name));

            Frame frame(*by_attribute);
            const char* attributes[] = {name, "v", nullptr};
            ASSERT_TRUE(apply_attributes(attributes, frame).ok());
            Result<Value> document = parse_document(
                "<r><" + std::string(name) + ">v</" + std::string(name) + "></r>", *by_element, 8);
            ASSERT_TRUE(document.ok()) << document.error().message();
            const auto& slots = document.value().as_object().slots;
            for (std::size_t i = 0; i < slots.size(); ++i) {
                EXPECT_EQ(!frame.slot(i).is_absent(), want_attr == i) << "attribute field " << i;
                EXPECT_EQ(!slots[i].is_absent(), want_elem == i) << "element field " << i;
            }
        }
    }
}

}  // namespace
}  // namespace kestrix
