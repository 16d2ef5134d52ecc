// tests/core/test_parser.cpp: whole documents bound to hand-built schemas.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/frame.hpp"
#include "kestrix/parser.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;
using enum ScalarKind;

/// The dump of the bound value, or the error message.
std::string bind_document(std::string_view document, const ClassSchema& schema,
                          std::uint64_t limit = 256) {
    Result<ValueTree> value = parse_document(document, schema, limit);
    return value ? dump(value.value()) : value.error().message();
}

using Cases = std::initializer_list<std::pair<std::string_view, std::string_view>>;

void check_all(const ClassSchema& schema, Cases cases, std::uint64_t limit = 256) {
    for (const auto& [document, expected] : cases) {
        SCOPED_TRACE(document);
        EXPECT_EQ(bind_document(document, schema, limit), expected);
    }
}

class ParserTest : public ::testing::Test {
protected:
    std::shared_ptr<ClassSchema> customer =
        make_class("Customer", element("name"), attribute("vip", scalar(Bool)),
                   attribute("ns", scalar(), "p"), text("note"));
    std::shared_ptr<ClassSchema> line =
        make_class("Line", attribute("sku", scalar(Int)), element("qty", scalar(Int)));
    std::shared_ptr<ClassSchema> order = make_class(
        "Order", attribute("id", scalar(Int)), attribute("code", scalar(), "p:code"),
        element("name"), element("qty", scalar(Int)), element("price", scalar(Float)),
        element("paid", scalar(Bool)), element("tags", list_of(scalar()), "tag"),
        element("nums", list_of(scalar(Int)), "n"), element("customer", nested(customer)),
        element("lines", list_of(nested(line)), "line"),
        element("rows", list_of(list_of(scalar(Int))), "row"),
        attribute("links", list_of(scalar())), attribute("owner", nested(customer)));
    std::shared_ptr<ClassSchema> node = [] {
        auto n = make_class("Node", attribute("label"), element("value", scalar(Int), "v"));
        add_fields(*n, element("child", self_ref(*n), "n"),
                   element("kids", list_of(self_ref(*n)), "k"));
        return n;
    }();
};

TEST_F(ParserTest, Documents) {
    check_all(
        *order,
        {
            {R"(<p:o xmlns:p="u" id="7" p:code="X1"><id>9</id><p:name>Ann</p:name>)"
             R"(<q:qty xmlns:q="v"> 3 </q:qty><price>2.5</price><paid>true</paid></p:o>)",
             R"({id=7,code="X1",name="Ann",qty=3,price=2.5f,paid=true})"},
            {R"(<anything id="1" p:code="c" x="y" links="a" owner="b"/>)", R"({id=1,code="c"})"},
            // xmlns:p binds like any attribute; of two names for one field the later wins.
            {R"(<o><customer xmlns:p="urn:x" a:vip="1" b:vip="0"> <name>C</name> </customer></o>)",
             R"({customer={name="C",vip=false,ns="urn:x",note="  "}})"},
            {R"(<o><customer>Hi <b>you</b>! <name nil="1">q</name> ok </customer></o>)",
             R"({customer={name=null,note="Hi you! q ok "}})"},
            {R"(<o p:code="&amp;&#67;&quot;"><name><![CDATA[<x>&amp;]]>&#65;&lt;&#x42;</name></o>)",
             R"({code="&C"",name="<x>&amp;A<B"})"},
            // Text in pieces of the document itself, split by a comment and an instruction.
            {"<o><name>a<!--c-->b<?p?>c</name><qty>1<!---->2</qty></o>", R"({name="abc",qty=12})"},
            {R"(<!DOCTYPE o [<!ENTITY e "<name>in</name><x><qty>1</qty></x>"><!ENTITY t "abc">]>)"
             R"(<o>&e;<tag>&t;</tag><qty>2</qty></o>)",
             R"({name="in",qty=2,tags=["abc"]})"},
            // A self-closing scalar is the empty element it stands for: empty text.
            {"<o><name/><tag /></o>", R"({name="",tags=[""]})"},
            {R"(<o><qty xsi:nil="true">junk<x>1</x></qty><name nil="1"/>)"
             R"(<price a:xsi:nil="true"></price><paid xsi:nil="false" nil="1"/></o>)",
             "{name=null,qty=null,price=null,paid=null}"},
            {R"(<o><n xsi:nil="true"/><n nil="1">9</n><n nil="TRUE">2</n><n nil=" 1">3</n></o>)",
             "{nums=[null,null,2,3]}"},
            {R"(<o><qty>1</qty><qty>2</qty><customer><name>a</name></customer>)"
             R"(<customer vip="1" xsi:nil="true"/></o>)",
             "{qty=2,customer={vip=true}}"},
            {R"(<o><tag>a</tag><name>x</name><tag>b</tag><line sku="1"/><tag>c</tag>)"
             R"(<line sku="2"><qty>5</qty></line></o>)",
             R"({name="x",tags=["a","b","c"],lines=[{sku=1},{sku=2,qty=5}]})"},
            // Elements with no place to go, and markup inside a scalar element, are
            // consumed through their own end tag; later fields still bind.
            {"<o><x><name>bad</name><x/><x>t</x></x><row><n>1</n></row><row/><name>ok</name></o>",
             R"({name="ok"})"},
            {"<o><name>a<qty>5</qty>b<i/>c</name><tag>d<b>e</b></tag><qty>6</qty></o>",
             R"({name="a5bc",qty=6,tags=["de"]})"},
            // After the root, a failed root's error comes before the junk that follows.
            {"<o><qty>x</qty></o><oops/>",
             "Scalar parse error for field 'qty': expected integer, got 'x'"},
        });
}

TEST_F(ParserTest, DepthLimitCountsOpenClassElements) {
    const std::string too_deep = "Maximum XML recursion depth exceeded: current 4 >= limit 3";
    check_all(*node,
              {
                  {"<n><n><n><n/><zz/></n></n></n>", R"({child={child={child={}}}})"},
                  {"<n><n><n><n></n></n></n></n>", too_deep},
                  {"<n><n><n><v>1</v></n></n></n>", too_deep},
                  {"<n><n><n><zz></zz></n></n></n>", too_deep},
                  {R"(<n><k label="a"/><k label="b"><k/></k><zz><n><n></n></n></zz></n>)",
                   R"({kids=[{label="a"},{label="b",kids=[{}]}]})"},
              },
              3);
    std::string open, close;
    for (int i = 0; i < 256; ++i) open += "<n>", close += "</n>";
    EXPECT_EQ(bind_document(open + "<v>1</v>", *node),
              "Maximum XML recursion depth exceeded: current 257 >= limit 256");
    EXPECT_TRUE(parse_document(open + "<n/>" + close, *node, 256).ok());
}

// The whole text is parsed once by the text field's type, also for a list.
TEST(TextField, TextIsParsedByTheFieldType) {
    std::tuple<TypeDesc, std::string_view, std::string_view> rows[] = {
        {scalar(Int), "<p>1 2</p>",
         "Scalar parse error for field 'body': expected integer, got '1 2'"},
        {list_of(scalar()), "<p> 1 2\n</p>", "{body=[\" 1 2\n\"]}"},
        {list_of(scalar(Int)), "<p>12</p>", "{body=[12]}"},
        {nested(make_class("Inner")), "<p>x</p>", "{}"},
    };
    for (auto& [type, document, expected] : rows)
        EXPECT_EQ(bind_document(document, *make_class("P", text("body", std::move(type)))),
                  expected);
    Arena arena;
    EXPECT_EQ(Frame(*make_class("Plain"), arena).text(), nullptr);
}

// For every name, the field scan of small classes and the index of large ones
// select the same attribute and element fields as the schema's own index.
TEST(FieldMatching, AgreesWithTheSchemaIndex) {
    const char* xml_names[] = {"b:c", "a", "p:a", "q:a", ":x", "y:", "zz:z", "a:b:c"};
    const char* names[] = {"a", "p:a", "r:a",  "b:c",    "a:b:c", "x", ":x",    "y:",
                           "y", "z",   "zz:z", "w:zz:z", "c",     "b", "q:b:c", "aa"};
    for (int padding : {0, 20}) {
        auto schema = make_class("M");
        for (int i = 0; i < padding; ++i) add_fields(*schema, element("pad" + std::to_string(i)));
        for (const char* xml : xml_names) add_fields(*schema, attribute(xml), element(xml));
        for (const std::string name : names) {
            SCOPED_TRACE(name + (padding ? " by index" : " by scan"));
            const Result<ValueTree> document = parse_document(
                "<r " + name + "='v'><" + name + ">v</" + name + "></r>", *schema, 8);
            const auto& slots = document.value().root.as_object().slots;
            const auto by_attribute = schema->find_attribute(local_name(name));
            const auto by_element = schema->find_element(local_name(name));
            for (std::size_t i = 0; i < slots.size(); ++i)
                EXPECT_EQ(!slots[i].is_absent(), by_attribute == i || by_element == i) << i;
        }
        // Many names in one element, each twice, forwards and backwards: the
        // lookup that starts near the last match gives the same fields.
        for (bool backwards : {false, true}) {
            std::string attributes, elements;
            std::vector<std::string> expected(schema->fields.size(), "<absent>");
            for (std::size_t k = 0; k < std::size(names); ++k) {
                const std::string name = names[backwards ? std::size(names) - 1 - k : k];
                const std::string text = std::to_string(k);
                attributes += " " + name + "='" + text + "'";
                elements += "<" + name + ">" + text + "</" + name + ">";
                elements += "<" + name + ">" + text + "</" + name + ">";
                if (auto i = schema->find_attribute(local_name(name)))
                    expected[*i] = '"' + text + '"';
                if (auto i = schema->find_element(local_name(name)))
                    expected[*i] = '"' + text + '"';
            }
            const Result<ValueTree> document =
                parse_document("<r" + attributes + ">" + elements + "</r>", *schema, 8);
            ASSERT_TRUE(document);
            const auto& slots = document.value().root.as_object().slots;
            for (std::size_t i = 0; i < slots.size(); ++i)
                EXPECT_EQ(dump(slots[i]), expected[i]) << i;
        }
    }
}

}  // namespace
}  // namespace kestrix
