// tests/core/test_record_stream.cpp: records read one at a time from a suspended reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/record_stream.hpp"

namespace kestrix {
namespace {

using namespace kestrix::testing;

class RecordStreamTest : public ::testing::Test {
protected:
    /// Item holds an Item of its own under the element name Item.
    std::shared_ptr<ClassSchema> item = [] {
        auto s = make_class("Item", attribute("id", scalar(ScalarKind::Int)), element("name"));
        add_fields(*s, element("inner", self_ref(*s), "Item"));
        return s;
    }();

    /// Every result of `next` up to the second end, joined by " | ".
    std::string drain(std::string_view document, std::uint64_t limit) {
        RecordStream stream(std::string(document), item, "Item", limit);
        std::string out;
        for (int ends = 0, calls = 0; ends < 2 && calls < 100; ++calls) {
            Result<ValueTree> record = stream.next();
            const bool end = record && record.value().root.is_absent();
            ends += end;
            if (!out.empty()) out += " | ";
            out += end ? "end" : record ? dump(record.value()) : record.error().message();
        }
        return out;
    }
};

// Matching, errors and depth are checked through iterparse in the Python suite;
// these add nil on a record, records from an entity, a limit below the record's
// own depth and the end after a reader error.
TEST_F(RecordStreamTest, RecordsErrorsAndEnds) {
    const struct {
        std::string_view document, expected;
        std::uint64_t limit = 256;
    } cases[] = {
        {R"(<w><Item id="1"/><Item id="2"><name>b</name></Item><Item id="3" xsi:nil="1"/></w>)",
         R"({id=1} | {id=2,name="b"} | {id=3} | end | end)"},
        {R"(<!DOCTYPE w [<!ENTITY e "<Item id='9'><name>n</name></Item>">]><w>&e;&e;</w>)",
         R"({id=9,name="n"} | {id=9,name="n"} | end | end)"},
        {R"(<w><Item id="1"><name>n</name><Item id="2"/></Item></w>)",
         "Maximum XML recursion depth exceeded: current 2 >= limit 1 | {id=2} | end | end", 1},
        {R"(<w><Item id="1"/></x><Item id="3"/>)",
         "{id=1} | XML reader error at position 19: mismatched tag | end | end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(drain(c.document, c.limit), c.expected);
    }
}

TEST_F(RecordStreamTest, ManyRecordsAcrossChunksAndAMove) {
    std::string document = "<w>";
    for (int i = 0; i < 30000; ++i)
        document += "<Item id=\"" + std::to_string(i) + (i % 2 ? "\"><name/></Item>" : "\"/>");
    RecordStream first(document + "</w>", item, "Item", 256);
    ASSERT_EQ(dump(first.next().value()), "{id=0}");
    RecordStream stream = std::move(first);  // the stream's state survives a move
    std::uint64_t read = stream.bytes_read();
    for (int i = 1; i < 30000; ++i) {
        ASSERT_EQ(dump(stream.next().value()),
                  "{id=" + std::to_string(i) + (i % 2 ? ",name=\"\"}" : "}"));
        // Each record moves the count on, never past the document.
        ASSERT_GT(stream.bytes_read(), read);
        read = stream.bytes_read();
        ASSERT_LE(read, document.size());
    }
    EXPECT_TRUE(stream.next().value().root.is_absent());
}

// A document decoded as it declares, fed in chunks that cut its code units
// and surrogate pairs anywhere, reads as it does held: the same records, and
// its error at the same offset of its own bytes.
TEST_F(RecordStreamTest, Utf16FedInAnyChunksReadsAsHeld) {
    const std::u16string text =
        u"\uFEFF<w><Item id=\"1\"><name>\u00E9\U0001F600</name></Item>\n<Item id=\"2\"/>&</w>";
    std::string document;
    for (const char16_t unit : text) {
        document += static_cast<char>(unit & 0xFF);
        document += static_cast<char>(unit >> 8);
    }
    const ReaderOptions declared{true, nullptr};
    const auto read = [&](std::size_t chunk) {
        RecordStream stream = chunk == 0 ? RecordStream(document, item, "Item", 256, declared)
                                         : RecordStream(item, "Item", 256, declared);
        std::string out;
        for (std::size_t at = 0, calls = 0; calls < 1000; ++calls) {
            Result<ValueTree> record = stream.next();
            if (stream.needs_input()) {
                const std::size_t n = std::min(chunk, document.size() - at);
                stream.feed(std::string_view(document).substr(at, n), at + n == document.size());
                at += n;
                continue;
            }
            if (record && record.value().root.is_absent()) break;
            out += (record ? dump(record.value()) : record.error().message()) + " | ";
        }
        return out;
    };
    const std::string held = read(0);
    EXPECT_EQ(held,
              "{id=1,name=\"\xC3\xA9\xF0\x9F\x98\x80\"} | {id=2} | "
              "XML reader error at position 112: not well-formed (invalid token) | ");
    for (std::size_t chunk = 1; chunk <= 5; ++chunk) EXPECT_EQ(read(chunk), held) << chunk;
}

// Records held while the stream reads on keep their values; a record given
// back lends its memory to the next one, also after a failed record.
TEST_F(RecordStreamTest, HeldRecordsStayIntactAndGivenBackMemoryIsReused) {
    std::string document = "<w>";
    for (int i = 0; i < 200; ++i) {
        document += "<Item id=\"" + std::to_string(i) + "\"><name>record " + std::to_string(i) +
                    "</name></Item>" + (i % 50 == 7 ? "<Item id='bad'/>" : "");
    }
    RecordStream stream(document + "</w>", item, "Item", 256);
    std::vector<ValueTree> held;
    for (int i = 0; i < 100; ++i) {
        Result<ValueTree> record = stream.next();
        if (!record) continue;  // the bad ones
        held.push_back(std::move(record).value());
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        ASSERT_EQ(dump(held[i]),
                  "{id=" + std::to_string(i) + ",name=\"record " + std::to_string(i) + "\"}");
    }
    const void* reused = &held.back().root.as_object();
    stream.recycle(std::move(held.back()));
    held.pop_back();
    for (std::size_t i = held.size() + 1;;) {
        Result<ValueTree> record = stream.next();
        if (!record) continue;
        if (record.value().root.is_absent()) break;
        ASSERT_EQ(dump(record.value()),
                  "{id=" + std::to_string(i) + ",name=\"record " + std::to_string(i) + "\"}");
        ++i;
        ASSERT_EQ(&record.value().root.as_object(), reused);
        stream.recycle(std::move(record).value());
    }
}

}  // namespace
}  // namespace kestrix
