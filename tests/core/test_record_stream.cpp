// tests/core/test_record_stream.cpp: records read one at a time from a suspended reader.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "kestrix/record_stream.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

/// Item contains an Item of its own under the element name Item.
class RecordStreamTest : public ::testing::Test {
protected:
    RecordStreamTest() {
        item_->name = "Item";
        item_->fields = fields(attribute("id", "id", scalar(ScalarKind::Int)),
                               element("name", "name", scalar(ScalarKind::Str)),
                               element("inner", "Item", self_ref(item_.get())));
        item_->build_indices();
    }

    /// Every call of `next` until the stream has ended, and one more, joined by " | ".
    std::string drain(std::string document, std::string tag = "Item", std::uint64_t limit = 256) {
        RecordStream stream(std::move(document), item_, std::move(tag), limit);
        std::string out;
        for (int calls = 0; calls < 100; ++calls) {
            Result<Value> record = stream.next();
            if (!out.empty()) out += " | ";
            if (!record) {
                out += "error: " + record.error().message();
            } else if (record.value().is_absent()) {
                out += "end";
                // Once ended, a stream stays ended.
                Result<Value> again = stream.next();
                out += again.ok() && again.value().is_absent() ? " | end" : " | not ended";
                return out;
            } else {
                out += dump(record.value());
            }
        }
        return out + " | no end";
    }

    std::shared_ptr<ClassSchema> item_ = std::make_shared<ClassSchema>();
};

TEST_F(RecordStreamTest, FindsRecordsAtAnyDepth) {
    struct Case {
        std::string_view document;
        std::string_view tag;
        std::string_view expected;
    };
    const Case cases[] = {
        {R"(<w><Item id="1"/><Item id="2"><name>b</name></Item><Item id="3"/></w>)", "Item",
         R"({id=1} | {id=2,name="b"} | {id=3} | end | end)"},
        {R"(<w><Item id="1"/><p:Item id="2"/><item id="3"/></w>)", "Item",
         "{id=1} | {id=2} | end | end"},
        {R"(<w><p:Item id="1"/></w>)", "p:Item", "end | end"},  // names compare by local name
        {R"(<a><b><Item id="1"/></b><Item id="2"><Item id="3"/></Item><c><d><Item id="4"/></d></c></a>)",
         "Item", "{id=1} | {id=2,inner={id=3}} | {id=4} | end | end"},
        {R"(<Item id="1"><x><Item id="2"/></x></Item>)", "Item", "{id=1} | end | end"},
        {R"(<w><Item id="5" xsi:nil="true"/></w>)", "Item", "{id=5} | end | end"},
        {R"(<w><rec id="5">t</rec></w>)", "rec", "{id=5} | end | end"},
        {R"(<!DOCTYPE w [<!ENTITY e "<Item id='9'><name>n</name></Item>">]><w>&e;&e;</w>)", "Item",
         R"({id=9,name="n"} | {id=9,name="n"} | end | end)"},
        {"<w><x/></w>", "Item", "end | end"},
        {"", "Item", "end | end"},
        {" <!-- c --> ", "Item", "end | end"},
        {R"(<w><Item id="1"/>)", "Item", "{id=1} | end | end"},  // ends outside any record
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(drain(std::string(c.document), std::string(c.tag)), c.expected);
    }
}

TEST_F(RecordStreamTest, AnErrorEndsOnlyItsRecord) {
    struct Case {
        std::string_view document;
        std::uint64_t limit;
        std::string_view expected;
    };
    const Case cases[] = {
        {R"(<w><Item id="x"/><Item id="2"/></w>)", 256,
         "error: Scalar parse error for field 'id': expected integer, got 'x' | {id=2} | end | "
         "end"},
        // The failed record's remaining content is scanned like any other.
        {R"(<w><Item id="1"><Item id="bad"/><name>x</name></Item><Item id="3"/></w>)", 256,
         "error: Scalar parse error for field 'id': expected integer, got 'bad' | {id=3} | end | "
         "end"},
        {R"(<w><Item id="1"><name>n</name><Item id="2"/></Item></w>)", 1,
         "error: Maximum XML recursion depth exceeded: current 2 >= limit 1 | {id=2} | end | end"},
        // Depth counts from the record, however deep it sits in the document.
        {R"(<a><b><c><Item id="1"><Item id="2"/></Item></c></b></a>)", 2,
         "{id=1,inner={id=2}} | end | end"},
        {R"(<w><Item id="1"/><Item id="2"><name>x</name>)", 256,
         "{id=1} | error: Schema error: Unexpected end of XML stream | end | end"},
        {R"(<w><Item id="1"/><Item></w><Item id="3"/>)", 256,
         "{id=1} | error: XML reader error at position 25: mismatched tag | end | end"},
        {R"(<w><Item id="1"/></x>)", 256,
         "{id=1} | error: XML reader error at position 19: mismatched tag | end | end"},
        {R"(<w><Item><name>&bogus;</name></Item></w>)", 256,
         "error: XML unescape error: undefined entity | end | end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(drain(std::string(c.document), "Item", c.limit), c.expected);
    }
}

TEST_F(RecordStreamTest, ManyRecordsAcrossChunksAndAMove) {
    std::string document = "<w>";
    for (int i = 0; i < 30000; ++i) {
        document += i % 2 == 0 ? "<Item id=\"" + std::to_string(i) + "\"/>"
                               : "<Item id=\"" + std::to_string(i) + "\"><name/></Item>";
    }
    document += "</w>";
    RecordStream first(std::move(document), item_, "Item", 256);
    ASSERT_EQ(dump(first.next().value()), "{id=0}");
    RecordStream stream = std::move(first);  // the stream's state survives a move
    for (int i = 1; i < 30000; ++i) {
        Result<Value> record = stream.next();
        ASSERT_TRUE(record.ok()) << record.error().message();
        ASSERT_EQ(dump(record.value()), i % 2 == 0 ? "{id=" + std::to_string(i) + "}"
                                                   : "{id=" + std::to_string(i) + ",name=\"\"}");
    }
    EXPECT_TRUE(stream.next().value().is_absent());
    EXPECT_EQ(&stream.schema(), item_.get());
}

}  // namespace
}  // namespace kestrix
