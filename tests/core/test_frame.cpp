// tests/core/test_frame.cpp: nil markers, attribute binding and finishing of frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/frame.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

TEST(IsNil, MarkerNamesAndValues) {
    struct Case {
        std::vector<const char*> attributes;
        bool nil;
    };
    const Case cases[] = {
        {{"xsi:nil", "true"}, true},
        {{"nil", "1"}, true},
        {{"x:nil", "true"}, true},
        {{"a:xsi:nil", "true"}, true},  // a doubly prefixed name keeps "xsi:nil"
        {{"other", "1", "xsi:nil", "1"}, true},
        {{"xsi:nil", "false", "nil", "true"}, true},  // tried in order until one matches
        {{"xsi:nil", "True"}, false},
        {{"xsi:nil", " true"}, false},
        {{"xsi:nil", "0"}, false},
        {{"nill", "true"}, false},
        {{"xsi:nilx", "true"}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        std::vector<const char*> attributes = c.attributes;
        attributes.push_back(nullptr);
        SCOPED_TRACE(c.attributes.empty() ? "none" : c.attributes[0]);
        EXPECT_EQ(is_nil(attributes.data()), c.nil);
    }
    EXPECT_FALSE(is_nil(nullptr));
}

class FrameTest : public ::testing::Test {
protected:
    std::shared_ptr<ClassSchema> inner = make_class("Inner", fields());
    std::shared_ptr<ClassSchema> schema =
        make_class("Thing", fields(attribute("count", "count", scalar(ScalarKind::Int)),
                                   attribute("prefix", "p", scalar(ScalarKind::Str)),
                                   attribute("href", "xlink:href", scalar(ScalarKind::Str)),
                                   attribute("many", "many", list_of(scalar(ScalarKind::Str))),
                                   attribute("inner", "inner", nested(inner)),
                                   element("items", "item", list_of(scalar(ScalarKind::Int)))));

    std::string bind(std::vector<const char*> attributes) {
        attributes.push_back(nullptr);
        Frame frame(*schema);
        Status status = apply_attributes(attributes.data(), frame);
        if (!status) return "error: " + status.error().message();
        Result<Value> value = finish_frame(std::move(frame));
        return value ? dump(value.value()) : "error: " + value.error().message();
    }
};

TEST_F(FrameTest, AttributesBindByLocalName) {
    EXPECT_EQ(bind({"count", " 4 ", "xlink:href", "#a"}), "{count=4,href=\"#a\"}");
    // A namespace declaration takes part like any attribute.
    EXPECT_EQ(bind({"xmlns:p", "urn:x"}), "{prefix=\"urn:x\"}");
    EXPECT_EQ(bind({"q:count", "1", "r:count", "2"}), "{count=2}");  // the later one wins
    EXPECT_EQ(bind({"unknown", "x", "many", "a b", "inner", "z"}), "{}");
    EXPECT_EQ(bind({"count", "x1"}),
              "error: Scalar parse error for field 'count': expected integer, got 'x1'");
}

TEST_F(FrameTest, ListItemsKeepArrivalOrderAndEmptyListsNeverAppear) {
    Frame frame(*schema);
    EXPECT_EQ(dump(finish_frame(Frame(*schema)).value()), "{}");
    frame.append(5, Value::integer(3));
    frame.set(0, Value::integer(1));
    frame.append(5, Value::null());
    frame.append(5, Value::integer(1));
    frame.set(0, Value::integer(2));  // a repeated field keeps its last value
    EXPECT_EQ(dump(finish_frame(std::move(frame)).value()), "{count=2,items=[3,null,1]}");
}

TEST(FrameText, TextFieldReceivesTheWholeText) {
    struct Case {
        TypeDesc (*type)();
        const char* text;  // null: the frame received no text at all
        const char* expected;
    };
    const Case cases[] = {
        {[] { return scalar(ScalarKind::Str); }, "  ", "{body=\"  \"}"},
        {[] { return scalar(ScalarKind::Str); }, "", "{}"},
        {[] { return scalar(ScalarKind::Str); }, nullptr, "{}"},
        {[] { return scalar(ScalarKind::Int); }, " 12\n", "{body=12}"},
        {[] { return list_of(scalar(ScalarKind::Str)); }, "a b", "{body=[\"a b\"]}"},
        {[] { return list_of(scalar(ScalarKind::Int)); }, " 7 ", "{body=[7]}"},
        {[] { return list_of(scalar(ScalarKind::Int)); }, "1 2",
         "error: Scalar parse error for field 'body': expected integer, got '1 2'"},
        {[] { return scalar(ScalarKind::Bool); }, "yes",
         "error: Scalar parse error for field 'body': expected boolean ('true', 'false', '1', "
         "'0'), got 'yes'"},
        {[] { return nested(make_class("Inner", fields())); }, "x", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        auto schema = make_class("Para", fields(text("body", c.type())));
        Frame frame(*schema);
        ASSERT_NE(frame.text(), nullptr);
        if (c.text != nullptr) frame.text()->append(c.text);
        Result<Value> value = finish_frame(std::move(frame));
        EXPECT_EQ(value ? dump(value.value()) : "error: " + value.error().message(), c.expected);
    }
    auto no_text = make_class("Plain", fields(element("a", "a", scalar(ScalarKind::Str))));
    EXPECT_EQ(Frame(*no_text).text(), nullptr);
}

}  // namespace
}  // namespace kestrix
