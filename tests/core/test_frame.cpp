// tests/core/test_frame.cpp: nil markers and the text field of finished frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/frame.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

TEST(IsNil, MarkerNamesAndValues) {
    const std::pair<std::vector<const char*>, bool> cases[] = {
        {{"xsi:nil", "true"}, true},
        {{"nil", "1"}, true},
        {{"x:nil", "true"}, true},
        {{"a:xsi:nil", "true"}, true},                // a doubly prefixed name keeps "xsi:nil"
        {{"xsi:nil", "false", "nil", "true"}, true},  // tried in order until one matches
        {{"xsi:nil", "True"}, false},
        {{"xsi:nil", " true"}, false},
        {{"nill", "true"}, false},
        {{}, false},
    };
    for (auto [attributes, nil] : cases) {
        attributes.push_back(nullptr);
        EXPECT_EQ(is_nil(attributes.data()), nil) << (attributes[0] ? attributes[0] : "none");
    }
}

// Text of the field's own kind, parsed once as a whole, also for a list field.
TEST(FrameText, TextFieldReceivesTheWholeTextParsedOnce) {
    const std::pair<TypeDesc (*)(), const char*> cases[] = {
        {[] { return scalar(ScalarKind::Int); }, "{body=12}"},
        {[] { return list_of(scalar(ScalarKind::Str)); }, "{body=[\" 12\n\"]}"},
        {[] { return list_of(scalar(ScalarKind::Int)); }, "{body=[12]}"},
        {[] { return nested(make_class("Inner", fields())); }, "{}"},
    };
    for (const auto& [type, expected] : cases) {
        auto schema = make_class("Para", fields(text("body", type())));
        Frame frame(*schema);
        frame.text()->append(" 12\n");
        EXPECT_EQ(dump(finish_frame(std::move(frame)).value()), expected);
    }
    auto words = make_class("Words", fields(text("body", list_of(scalar(ScalarKind::Int)))));
    Frame frame(*words);
    frame.text()->append("1 2");
    EXPECT_EQ(finish_frame(std::move(frame)).error().message(),
              "Scalar parse error for field 'body': expected integer, got '1 2'");
    EXPECT_EQ(Frame(*make_class("Plain", fields())).text(), nullptr);
}

}  // namespace
}  // namespace kestrix
