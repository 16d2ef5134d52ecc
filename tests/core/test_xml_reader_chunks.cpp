// tests/core/test_xml_reader_chunks.cpp: XmlReader fed in chunks reads as it reads the whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "event_transcript.hpp"
#include "xml_reader.hpp"

namespace kestrix::detail {
namespace {

using namespace std::string_view_literals;

struct Read {
    std::string events;
    XmlReader::Stop stop = XmlReader::Stop::Finished;
    XML_Error error = XML_ERROR_NONE;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::uint64_t offset = 0;

    bool operator==(const Read&) const = default;
};

void PrintTo(const Read& read, std::ostream* out) {
    *out << "stop " << static_cast<int>(read.stop) << " error " << read.error << " at " << read.line
         << ":" << read.column << " (" << read.offset << ")\n"
         << read.events;
}

void finish(XmlReader& reader, const Transcript& sink, XmlReader::Stop stop, Read& out) {
    out.events = sink.lines;
    out.stop = stop;
    if (stop == XmlReader::Stop::Failed) {
        out.error = reader.error_code();
        const ErrorLocation at = reader.location();
        out.line = at.line;
        out.column = at.column;
        out.offset = reader.bytes_read();
    }
}

Read read_held(std::string_view doc, bool namespaces) {
    // A copy of its own size, so that a read past its end is caught.
    const std::vector<char> bytes(doc.begin(), doc.end());
    XmlReader reader({bytes.data(), bytes.size()}, namespaces);
    Transcript sink(namespaces);
    reader.attach(sink);
    Read out;
    finish(reader, sink, reader.run(), out);
    return out;
}

/// `doc` fed in pieces of the sizes given, in turn.
Read read_fed(std::string_view doc, bool namespaces, const std::vector<std::size_t>& sizes) {
    XmlReader reader(namespaces);
    Transcript sink(namespaces);
    reader.attach(sink);
    Read out;
    std::size_t at = 0;
    for (std::size_t i = 0;; ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], doc.size() - at);
        reader.feed(doc.substr(at, n), at + n == doc.size());
        at += n;
        const XmlReader::Stop stop = reader.run();
        if (stop != XmlReader::Stop::NeedsInput) {
            finish(reader, sink, stop, out);
            return out;
        }
        if (at == doc.size() && n == 0) {
            ADD_FAILURE() << "more input asked for after the last chunk: " << doc;
            return out;
        }
    }
}

/// Documents whose tokens a chunk boundary may cut anywhere.
constexpr std::string_view DOCS[] = {
    "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8' standalone=\"yes\"?>\r\n<!--c--><?p d?>"
    "<a x='1' y=\"&lt;&#x41;\t&#10;\r\n\">x&amp;y\r\nz\r<![CDATA[<&\r\n]]]>\xC3\xA9\xE2\x82\xAC"
    "\xF0\x9F\x98\x80&#128512;</a><!--after--> <?q?>\n",
    "<?xml version='1.0' encoding='x?>y'?><longer-name "
    "attribute-name='value'>]]]<b/></longer-name>",
    "<p:a xmlns:p='u' xmlns='d' p:x='1' y='2'><b/><c>t</c></p:a>",
    "<?xml-stylesheet href='s'?><a/>",
    "<?x\xEF\xBB\xBF?>=<a/>",
    "<a/><?xml version='1.0'?>",
    "<a>\xC4\xB6]text\x01</a>",  // no text is sent before the fault, as held
    "\xEF\xBB\xBF<eed>\xBA",     // a byte-order mark takes a column
    "<a>]]></a>",
    "<a>]]]]></a>",
    "<a><![CDATX[</a>",
    "<a><!-- a -- b --></a>",
    "<a>\xC3\xA9\xC3</a>",
    "<a>\xC3\xA9\xFF</a>",
    "<a\xC3\xA9 b='1'/>",
    "<a>&#x1F600;&#1114112;</a>",
    "<a>&undefined;</a>",
    "<a x='&undefined;'/>",
    "<a><b></c></a>",
    "<a/><b/>",
    "<a/>junk",
    "<a/>\r\n\xC3\xA9",
    "<!DOCTYPE a><a/>",
    "<!DOCTYPE a [<!ENTITY e 'x&#13;y<b c=\"&f;\"/>'><!ENTITY f 'v'><!ATTLIST b d CDATA 'def'>\n"
    "<!ELEMENT a (#PCDATA|b)*><!-- c --><?p?>]><a>&e;&e;</a>",
    "<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</a>",
    "<!DOCTYPE a [<!ELEMENT a ANY>]]><a/>",
    "<!DOCTYPE r [<!ATTLIST r a ID",  // the input ends after a type
    // a fault in the bytes after a name with a colon comes first, however cut
    "<!DOCTYPE r [<!ENTITY p:pxppENpxpppppp\xF0",
    "<!DOCTYPE r [<!ENTITY a \"Ia&mp; y&b:pppppppp\xF0pp&b;\"><!ENTITY b \"&c;\xAB&c;\">"
    "<!ENTITY c \"xy\">]><r a=\"&a;\">&b;</r>",
    "<?xml version='1.0'?><!--x--><!DOCTYPE a><a/>",
    "<?xml version='1.0'",
    "<?xml version='1.0'?><a><b>text",
    "<?XmL?><a/>",
    "<a xmlns:p=''/>",
    "<a p:x='1' q:x='2' xmlns:p='u' xmlns:q='u'/>",
    "  \r\n  ",
    "",
};

TEST(XmlReaderChunks, EveryCutAndChunkSizeReadsAsTheWhole) {
    for (const std::string_view doc : DOCS) {
        for (const bool namespaces : {false, true}) {
            const Read whole = read_held(doc, namespaces);
            for (std::size_t cut = 0; cut <= doc.size(); ++cut) {
                EXPECT_EQ(read_fed(doc, namespaces, {cut, doc.size()}), whole)
                    << doc << " cut at " << cut;
            }
            for (const std::size_t size : {1, 2, 3, 5, 7}) {
                EXPECT_EQ(read_fed(doc, namespaces, {size}), whole) << doc << " by " << size;
            }
        }
    }
}

TEST(XmlReaderChunks, LongTokensAndDeepNestingAcrossManyChunks) {
    std::string doc = "<r a='" + std::string(70000, 'v') + "'><!--" + std::string(70000, '.') +
                      "--><x>" + std::string(200000, 't') + "</x>";
    for (int i = 0; i < 300; ++i) {
        // Line ends of every kind, and characters of several bytes, at every
        // place in a 16-byte block.
        doc += "<e" + std::to_string(i) + " k='\xC3\xA9'>" + std::string(i % 17, ' ') +
               (i % 3 == 0   ? "\r\n"
                : i % 3 == 1 ? "\r"
                             : "\n\n") +
               "\xE2\x82\xAC";
    }
    for (int i = 299; i >= 0; --i) doc += "</e" + std::to_string(i) + ">";
    doc += "<![CDATA[" + std::string(100000, 'c') + "]]></r>";
    const Read whole = read_held(doc, true);
    EXPECT_EQ(whole.stop, XmlReader::Stop::Finished);
    for (const std::size_t size : {997, 4096, 65536}) {
        EXPECT_EQ(read_fed(doc, true, {size}), whole) << size;
    }
    // A fault far into the input is placed as in the whole document, from
    // positions counted as the input went (a block at a time).
    for (const std::size_t back : {5, 80000}) {
        std::string bad_doc = doc;
        bad_doc.replace(bad_doc.size() - back, 1, "\x01");
        const Read bad = read_held(bad_doc, false);
        EXPECT_EQ(bad.error, XML_ERROR_INVALID_TOKEN);
        EXPECT_EQ(read_fed(bad_doc, false, {1000}), bad);
    }
}

TEST(XmlReaderChunks, DeclinedInputIsHeldWholeAndSuspensionsResume) {
    const std::string_view doc = "<!--a--><?p?>\n<!DOCTYPE a SYSTEM 'a.dtd'><a/>"sv;
    XmlReader reader(false);
    Transcript sink;
    reader.attach(sink);
    std::size_t at = 0;
    XmlReader::Stop stop = XmlReader::Stop::NeedsInput;
    while (stop == XmlReader::Stop::NeedsInput) {
        reader.feed(doc.substr(at, 3), at + 3 >= doc.size());
        at += 3;
        stop = reader.run();
    }
    EXPECT_EQ(stop, XmlReader::Stop::Declined);
    EXPECT_EQ(reader.buffered(), doc.substr(0, at));
    EXPECT_EQ(sink.lines, "");

    // A sink that suspends at every start tag, fed a byte at a time.
    const std::string_view records = "<a><r>1</r><r x='2'/>\r\n<r>3</r></a>"sv;
    XmlReader fed(false);
    Suspending suspending(fed, false);
    fed.attach(suspending);
    int suspensions = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        fed.feed(records.substr(i, 1), i + 1 == records.size());
        while ((stop = fed.run()) == XmlReader::Stop::Suspended) ++suspensions;
    }
    EXPECT_EQ(stop, XmlReader::Stop::Finished);
    EXPECT_EQ(suspensions, 4);
    EXPECT_EQ(suspending.inner.lines, read_held(records, false).events);
}

}  // namespace
}  // namespace kestrix::detail
