// tests/core/test_xml_reader.cpp: XmlReader's events, its refusals, and its agreement with expat.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "event_transcript.hpp"
#include "expat_reader.hpp"
#include "xml_reader.hpp"

namespace kestrix::detail {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

struct Read {
    std::string events;
    XML_Error error = XML_ERROR_NONE;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
};

/// The events `reader` sends, or its failure with its place.
template <class Reader, class ErrorCode>
Read read_with(Reader& reader, bool namespaces, ErrorCode error_code) {
    Transcript sink(namespaces);
    reader.attach(sink);
    Read out;
    const bool failed = reader.run() == Reader::Stop::Failed;
    out.events = sink.lines;
    if (failed) {
        out.error = error_code(reader);
        const ErrorLocation at = reader.location();
        out.line = at.line;
        out.column = at.column;
    }
    return out;
}

Read read_new(std::string_view doc, bool namespaces, Scan scan = Scan::Blocks) {
    XmlReader reader(doc, namespaces, scan);
    return read_with(reader, namespaces, [](XmlReader& r) { return r.error_code(); });
}

Read read_expat(std::string_view doc, bool namespaces) {
    ExpatReader reader(doc, ReaderOptions{}, namespaces, ExpatReader::Handover::Whole);
    return read_with(reader, namespaces,
                     [](ExpatReader& r) { return XML_GetErrorCode(r.handle()); });
}

TEST(XmlReader, ReadsFifthEditionNames) {
    // A letter beyond the older name tables and a middle dot, which expat refuses.
    for (const Scan scan : {Scan::Blocks, Scan::Bytes}) {
        const Read read = read_new("<\xE1\x80\x80\xC2\xB7/>", false, scan);
        EXPECT_EQ(read.error, XML_ERROR_NONE);
        EXPECT_EQ(read.events, "<\xE1\x80\x80\xC2\xB7/>\nend\n");
    }
}

TEST(XmlReader, Refusals) {
    const struct {
        std::string_view doc;
        bool namespaces;
        XML_Error error;
        std::uint64_t line;
        std::uint64_t column;
    } rows[] = {
        {"", false, XML_ERROR_NO_ELEMENTS, 1, 1},
        {"<a>text", false, XML_ERROR_NO_ELEMENTS, 1, 8},
        {"<a><b></a>", false, XML_ERROR_TAG_MISMATCH, 1, 9},
        {"<ab></abc>", false, XML_ERROR_TAG_MISMATCH, 1, 7},
        {"<ab></ab\xC2\xB7>", false, XML_ERROR_TAG_MISMATCH, 1, 7},
        {"<a><b></b", false, XML_ERROR_UNCLOSED_TOKEN, 1, 7},
        {"<a x='1' x='2'/>", false, XML_ERROR_DUPLICATE_ATTRIBUTE, 1, 10},
        {"<a a0='' a1='' a2='' a3='' a4='' a5='' a6='' a7='' a8='' a2=''/>", false,
         XML_ERROR_DUPLICATE_ATTRIBUTE, 1, 58},
        {"<a p:x='1' q:x='2' xmlns:p='u' xmlns:q='u'/>", true, XML_ERROR_DUPLICATE_ATTRIBUTE, 1, 1},
        {"<a/><b/>", false, XML_ERROR_JUNK_AFTER_DOC_ELEMENT, 1, 5},
        {"<a/>\r\n\xC3\xA9", false, XML_ERROR_JUNK_AFTER_DOC_ELEMENT, 2, 1},
        {"<a>\n\xC3\xA9]]></a>", false, XML_ERROR_INVALID_TOKEN, 2, 4},
        {"<a>\xC0\x80</a>", false, XML_ERROR_INVALID_TOKEN, 1, 4},      // overlong
        {"<a>\xED\xA0\x80</a>", false, XML_ERROR_INVALID_TOKEN, 1, 4},  // surrogate
        {"<a>\xEF\xBF\xBE</a>", false, XML_ERROR_INVALID_TOKEN, 1, 4},  // U+FFFE
        {"<a>\x01</a>", false, XML_ERROR_INVALID_TOKEN, 1, 4},
        // Nothing but checked UTF-8 reaches the binder, which does not check it again.
        {"<a x='\xC0\x80'/>", false, XML_ERROR_INVALID_TOKEN, 1, 7},
        {"<a x='\xE2\x82'/>", false, XML_ERROR_INVALID_TOKEN, 1, 7},
        {"<!DOCTYPE a [<!ENTITY e '\xED\xA0\x80'>]><a>&e;</a>", false, XML_ERROR_INVALID_TOKEN, 1,
         26},
        {"<a>&#x110000;</a>", false, XML_ERROR_BAD_CHAR_REF, 1, 4},
        {"<a>&nbsp;</a>", false, XML_ERROR_UNDEFINED_ENTITY, 1, 4},
        {"<a x='<'/>", false, XML_ERROR_INVALID_TOKEN, 1, 7},
        {"<a x='1'y='2'/>", false, XML_ERROR_INVALID_TOKEN, 1, 9},
        {"<a><!-- a -- b --></a>", false, XML_ERROR_INVALID_TOKEN, 1, 13},
        {"<a><?xml version='1.0'?></a>", false, XML_ERROR_MISPLACED_XML_PI, 1, 4},
        {"<?xml encoding='UTF-8'?><a/>", false, XML_ERROR_XML_DECL, 1, 7},
        {"<?xml version='2.0'?><a/>", false, XML_ERROR_XML_DECL, 1, 16},  // expat takes it
        {"<a><![CDATA[x</a>", false, XML_ERROR_UNCLOSED_CDATA_SECTION, 1, 18},
        {"<a x='1", false, XML_ERROR_UNCLOSED_TOKEN, 1, 1},
        {"<p:a/>", true, XML_ERROR_UNBOUND_PREFIX, 1, 1},
        {"<a xmlns:p=''/>", true, XML_ERROR_UNDECLARING_PREFIX, 1, 1},
        {"<a xmlns:xml='u'/>", true, XML_ERROR_RESERVED_PREFIX_XML, 1, 1},
        {"<a xmlns:xmlns='u'/>", true, XML_ERROR_RESERVED_PREFIX_XMLNS, 1, 1},
        {"<a xmlns:xml=''/>", true, XML_ERROR_UNDECLARING_PREFIX, 1, 1},  // before the prefix
        {"<a xmlns='http://www.w3.org/2000/xmlns/'/>", true, XML_ERROR_RESERVED_NAMESPACE_URI, 1,
         1},
        {"<a:b:c/>", true, XML_ERROR_INVALID_TOKEN, 1, 5},
        {"<p:1a xmlns:p='u'/>", true, XML_ERROR_INVALID_TOKEN, 1, 4},  // local part: a name start
        {"<ab:c:d/>", true, XML_ERROR_INVALID_TOKEN, 1, 6},
        {"<ab:/>", true, XML_ERROR_INVALID_TOKEN, 1, 5},
        {"<ab\xC3/>", false, XML_ERROR_INVALID_TOKEN, 1, 4},
        {"<a><ab\xC3", false, XML_ERROR_PARTIAL_CHAR, 1, 4},
        // Were accepted: the enumeration after NMTOKEN was read as the type.
        {"<!DOCTYPE r [<!ATTLIST r c NMTOKEN(a|b) 'a'>]><r/>", false, XML_ERROR_SYNTAX, 1, 35},
        {"<!DOCTYPE r [<!ATTLIST r c ID(a) #IMPLIED>]><r/>", false, XML_ERROR_SYNTAX, 1, 30},
    };
    for (const auto& row : rows) {
        for (const Scan scan : {Scan::Blocks, Scan::Bytes}) {
            const Read read = read_new(row.doc, row.namespaces, scan);
            EXPECT_EQ(read.error, row.error) << row.doc;
            EXPECT_EQ(read.line, row.line) << row.doc;
            EXPECT_EQ(read.column, row.column) << row.doc;
        }
    }
}

TEST(XmlReader, DeclinesWhatExpatReads) {
    // An external subset; a parameter-entity reference, between declarations
    // or in an entity value; UTF-16 without a byte-order mark, and a UTF-16
    // byte-order mark whatever follows it.
    for (const std::string_view doc :
         {"<!DOCTYPE a SYSTEM 'a.dtd'><a/>"sv,
          "<!DOCTYPE a [<!ENTITY % p '<!ENTITY e \"x\">'> %p;]><a>&e;</a>"sv,
          "<!DOCTYPE a [<!ENTITY % p 'x'><!ENTITY e '%p;'>]><a>&e;</a>"sv, "<\0a\0/\0>\0"sv,
          "\0<\0a\0/\0>"sv, "\xFE\xFF<a/>"sv, "\xFF\xFE<a/>"sv}) {
        XmlReader reader(doc);
        Transcript sink;
        reader.attach(sink);
        EXPECT_EQ(reader.run(), XmlReader::Stop::Declined) << doc;
        EXPECT_EQ(sink.lines, "") << doc;
    }
}

TEST(XmlReader, AgreesWithExpat) {
    // The failure with its place equal to expat's, in both modes and both scans;
    // the events too, and in an internal subset also those before a failure.
    const std::string_view subsets[] = {
        // Declarations of every kind, PIs and comments between them.
        "<!DOCTYPE r [\n<!ELEMENT r (a|(b,c?)+)*><!ELEMENT a (#PCDATA|b)*><!ELEMENT b EMPTY>"
        "<!ELEMENT c ANY><!ATTLIST a id ID #REQUIRED k (x|y) 'x' n NOTATION (g) #IMPLIED>"
        "<!NOTATION g PUBLIC '-//g//EN'><!NOTATION h SYSTEM 'h'><?p d?><!-- c -->\n]>\n<r/>",
        // Entities in content: markup, nesting, line ends, a CR by reference.
        "<!DOCTYPE r [<!ENTITY e 't<a x=\"&f;\">&f;</a>'><!ENTITY f '&#38;amp;&#xD;\r\nz'>]>"
        "<r>&e;|&f;</r>",
        // Attribute types and defaults; the first declaration holds.
        "<!DOCTYPE r [<!ATTLIST r a NMTOKENS ' x  y ' b CDATA ' q ' c ID #IMPLIED>"
        "<!ATTLIST r a CDATA 'other' d CDATA #FIXED '&#32;d'>]><r c='  1 &#32; 2 '/>",
        // Defaulted namespace declarations.
        "<!DOCTYPE p:r [<!ATTLIST p:r xmlns:p CDATA 'urn:p' xmlns CDATA 'urn:d' p:a CDATA 'v'>]>"
        "<p:r><s/></p:r>",
        // External entities: skipped in content, refused in an attribute value.
        "<!DOCTYPE r [<!ENTITY x SYSTEM 'x.xml'>]><r>a&x;b</r>",
        "<!DOCTYPE r [<!ENTITY x PUBLIC 'p' 'x.xml'>]><r a='&x;'/>",
        "<!DOCTYPE r [<!NOTATION n SYSTEM 'n'><!ENTITY u SYSTEM 'u' NDATA n>]><r>&u;</r>",
        // Faults in replacement text fail at the reference.
        "<!DOCTYPE r [<!ENTITY e '<a>'>]><r>\n&e;</r>",
        "<!DOCTYPE r [<!ENTITY e '</r>'>]><r>&e;",
        "<!DOCTYPE r [<!ENTITY e '&e;'>]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY e 'x&u;'>]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY e '&#60;'>]><r a='&e;'/>",
        "<!DOCTYPE r [<!ENTITY e '<a>'><!ATTLIST r a CDATA '&e;'>]><r/>",
        "<!DOCTYPE r [<!ENTITY e '&#0;'>]><r/>",
        // A reference built from character references, read where it is used.
        "<!DOCTYPE r [<!ENTITY e '&#38;#xZZ;'>]><r a='&e;'/>",
        "<!DOCTYPE r [<!ENTITY e '&#38;'>]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY e '&#38;'>]><r a='&e;'/>",
        "<!DOCTYPE r [<!ENTITY e '&#38;#0;'>]><r a='&e;'/>",
        "<!DOCTYPE r [<!ENTITY e '&#38;#0;'>]><r>&e;</r>",
        "<!DOCTYPE r [<!ELEMENT r (a|b,c)>]><r/>",
        "<!DOCTYPE r [<!ELEMENT r (#PCDATA|a)>]><r/>",
        "<!DOCTYPE r [<!ENTITY e 'x'>]><!DOCTYPE r><r/>",
        "<!DOCTYPE r [<!ENTITY e 'x'>",
        "<r/><!DOCTYPE r>",
        // Faults the differential fuzzer found named otherwise than expat names them.
        "<!DOCTYPE r TN!E[]><r/>",
        "<!DOCTYPE r [<!ENTITY c 'xy'=]><r/>",
        "<!DOCTYPE r [<!EN><r/>",
        "<!DOCTYPE r [<<?x?>]><r/>",
        "<!DOCTYPE r [<!ATTLIST r a CDATA\x18#IMPLIED>]><r/>",
        "<!DOCTYPE r [<!ENTITY b b&c;>]><r/>",
        // Read with namespaces, names other than elements' and attributes' hold no colon.
        "<!DOCTYPE r [<!ENTITY a:b 'x'>]><r/>",
        "<!DOCTYPE r [<!ENTITY b SYSTEM 'x' NDATA a:b>]><r/>",
        "<!DOCTYPE r [<!NOTATION a:b SYSTEM 'x'>]><r/>",
        "<!DOCTYPE r [<!ATTLIST r a NOTATION (a:b) #IMPLIED>]><r/>",
        "<!DOCTYPE r [<!ENTITY b '&z:z;'>]><r/>",
        "<!DOCTYPE r [<!ENTITY b '&#38;z:z;'>]><r a='&b;'/>",
        "<r>&a:b</r>",
        "<r>&:t\x85</r>",
        "<r a='&a:b;'/>",
        "<!DOCTYPE r [<!ENTITY f '&#38;amp$;'>]><r a='&f;<'/>",
        "<!DOCTYPE r [<!ENTITY f '&#38;amp$;'>]><r a='&f;' b/>",
        "<!DOCTYPE r [<!ENTITY f '&#38;amp$;'><!ENTITY g '&f;'>]><r a='&g;&#0;'/>",
        "<!DOCTYPE r [<!ENTITY f '&#38;amp'>]><r a='&f;' b='<'/>",
    };
    const std::string_view docs[] = {
        // Events of every kind: references, a prolog, namespaces, names above ASCII.
        "<a x='1' y=\"&lt;&#x41;\t&#10;\"/>",
        "\xEF\xBB\xBF<?xml version='1.0' encoding='latin1' standalone='yes'?>\n<!--c--><?p d?>"
        "<a>x&amp;y\r\nz<![CDATA[<&\r]]>\xC3\xA9</a><!--after--> ",
        "<p:a xmlns:p='u' xmlns='d' p:x='1' y='2'><b/></p:a>",
        "<a xmlns='d'><b xmlns=''/></a>",
        "<xml:a xml:lang='en'/>",
        "<a:b:c d:e=''/>",
        "<ab\xC2\xB7"
        "c d\xC3\xA9='1'/>",
        "<ab:c xmlns:ab='u' ab:d\xC3\xA9='1'></ab:c>",
        "<a/>",
        "<a></a >",
        "< a/>",
        "<a/ >",
        "<a x = '1' />",
        "<a x='1'x='2'/>",
        "<a>]]</a>",
        "<a>]]]></a>",
        "<a>&#x;</a>",
        "<a>&#X41;</a>",
        "<a>&#65</a>",
        "<a>&amp</a>",
        "<a>&a b;</a>",
        "<?xml version='1.0' ?><a/>",
        "<?xml version='1.0'?>",
        "<?xml",
        "<?xml?><a/>",
        " <?xml version='1.0'?><a/>",
        "<?XML version='1.0'?><a/>",
        "<?xml-x?><a/>",
        "<?pi?><a/><?pi x?>",
        "<?pi<a/>",
        "<!-- - --><a/>",
        "<!---><a/>",
        "<!----><a/>",
        "<a><!--\xFF--></a>",
        "<a>\t\n</a>",
        "text<a/>",
        "<a/>text",
        "<a/>&amp;",
        "<a/><!DOCTYPE a>",
        "<a x='&#9;&#13;'/>",
        "<a>\xF4\x90\x80\x80</a>",
        "<a>\xF0\x9F\x98\x80</a>",
        "<a>\xC3</a>",
        "<a>\xC3",
        "<a",
        "<a x",
        "<a x=",
        "<",
        "</a>",
        "<a></b>",
        "<a><b></a></b>",
        "<1/>",
        "<-a/>",
        "<a.b-c_d:e/>",
        "<a x='\xC3\xA9'/>",
        "<a><![CDATA[]]></a>",
        "<a><![CDATA[",
        "<a><![cdata[x]]></a>",
        "<a><!x></a>",
        "<a\xC2\xA0/>",
        // Faults in references, located where the reference goes wrong; in
        // an attribute value, once the whole start tag is read.
        "<a>&#0;</a>",
        "<a>&#xG;</a>",
        "<a>&#x41</a>",
        "<a x='&#0;'/>",
        "<a x='&#0;' y='<'/>",
        "<a x='&#0;' x='1'/>",
        "<a p:x='1' p:x='&#0;' xmlns:p='u'/>",
        "<a x='&nbsp;' y='&#0;'/>",
        "<a x='&#0;' xmlns:p=''/>",
        "<a xmlns:p='' x='&#0;'/>",
        "<a x='&#0;' y='1'",
        "<a x='&",
        "<a x='\xC3",
        "<a:",
        "<a></",
        // Repeated attributes: the first repeat, among many too.
        "<a x='1' y='2' x='3' y='4'/>",
        "<a a0='' a1='' a2='' a3='' a4='' a5='' a6='' a7='' a8='' a2='' a1=''/>",
        // Markup that goes wrong: at the character that does.
        "<a>x]]>y</a>",
        "<a><!-- x ---></a>",
        "<a><!--x-\x01",
        "<a><!--x--",
        "<a><![CDA",
        "<a><!-x></a>",
        "<a><?x?y?></a>",
        "<a><?x?",
        "<a><?Xml x?></a>",
        "<a><?a:b x?></a>",
        "<a><?x \xC3",
        "<a>\n x\n <![CDATA[ \n x</a>",
        "<a><![CDATA[x]]]",
        "<a><![F",
        "<a>x<![CD[",
        "<a><![\xC3",
        "<a><![CDATA[]",
        "<a><![CDATA[x]\r",
        "<a><![CDATA[x\r\r",
        "\xEF\xBB\xBF<a><b></a>",
        // The XML declaration, located at the pseudo-attribute gone wrong.
        "<?xml ?><a/>",
        "<?xml version='1.0'",
        "<?xml version='1.0' standalone='maybe'?><a/>",
        "<?xml version='1.0'  foo='x'?><a/>",
        "<?xml version='1.0'standalone='yes'?><a/>",
        "<?xml version=1.0?><a/>",
        "<?xml version=\"1.0' ?><a/>",
        "<?xml version='1.0' encoding ?><a/>",
        "<?xml version='1.0' standalone='yes' encoding='UTF-8'?><a/>",
        "<?xml version='1.0' \x01?><a/>",
        "<?xml?\?\x01?><a/>",
        "<?xml?x",
        "<?xml =?><a/>",
        "<?xml v&r='1.0'?><a/>",
        "<?xml\n+\n?><a/>",
        "<?xml v&\xC3\xA9='1.0'?><a/>",
        "<?xml -='??\"?><a/>",
        "<?xml version='1 0'?><a/>",
        "<?xml version='1.0' encoding='a b'?><a/>",
        // Text and markup before and after the document element.
        "text <a/>",
        "<!a>",
        "<!ELEMENT a ANY><a/>",
        "<!-x",
        "<!",
        "'x'<a/>",
        "%e;<a/>",
        ")<a/>",
        "?<a/>",
        "<?xml version='1.0'?>?<a/>",
        "<a/>x<b/>",
        "<a/>\xC3\xA9",
        "<a/>\xC3",
        "<a/></a>",
        "<a/><!-x",
        "<a/><!x>",
        "<a/><!o-x ",
        "<a/><!o_ ",
        "<!o%x",
        "<a/><!o% ",
        "<a/><!o%",
        "<a/><!DOCTYPE-",
        "<a/><!o:x ",
        "<a/>#a:b ",
        "%:a;<a/>",
        "<a/>)%",
        "<a/>)[",
        "4?x",
        "#a,x",
        "'x'|x",
        "<a/>-*x",
        "]]",
        "<a/>]]",
        "a:b:c? ",
        ":a? <a/>",
        "<a></:a>",
        "<a/><:/",
        "<a/>I:",
        "\r\r",
        "<!--x-->\r",
        "<!DOCTYPE a []><!DOCTYPE\x01",
        "<?xml version='1.0' x\xC3",
        "<?m:l",
        "<a/><!ENTITY x",
        "<a/>]]>",
        "<a/>(x",
        "#-#",
        "<a/>#\xC3",
        "<!1x>",
        "<?xml?x?><a/>",
        "<?xml<!--x-->",
        "<a><?xml x",
        "<a><?xml x\x01?></a>",
        "\xEF",
        "\xEF\xBB",
        "\xFF",
        "\xFE",
        "%\n",
        "<e>ab\r",
        "<e>\r\r",
        "<a/>%%",
        "'x\x01'<a/>",
        "<a></b\x01>",
        "<a></b ",
    };
    const auto agree = [](std::string_view doc, bool events_before_failure) {
        for (const bool namespaces : {false, true}) {
            const Read expat = read_expat(doc, namespaces);
            for (const Scan scan : {Scan::Blocks, Scan::Bytes}) {
                const Read ours = read_new(doc, namespaces, scan);
                EXPECT_EQ(ours.error, expat.error) << doc << " ns=" << namespaces;
                EXPECT_EQ(ours.line, expat.line) << doc << " ns=" << namespaces;
                EXPECT_EQ(ours.column, expat.column) << doc << " ns=" << namespaces;
                if (events_before_failure || ours.error == XML_ERROR_NONE) {
                    EXPECT_EQ(ours.events, expat.events) << doc;
                }
            }
        }
    };
    for (const std::string_view doc : subsets) agree(doc, true);
    for (const std::string_view doc : docs) agree(doc, false);
}

TEST(XmlReader, BoundsEntityExpansion) {
    // Billion laughs, one large entity referenced many times, nesting past the bound.
    std::string laughs = "<!DOCTYPE r [<!ENTITY a0 'lol'>";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY a" + std::to_string(i) + " '" + std::string(10, ' ');
        for (int j = 0; j < 10; ++j) laughs += "&a" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    const std::string billion = laughs + "]><r>&a9;</r>";
    const std::string in_attribute = laughs + "]><r a='&a9;'/>";
    std::string quadratic = "<!DOCTYPE r [<!ENTITY big '" + std::string(100000, 'x') + "'>]><r>";
    for (int i = 0; i < 2000; ++i) quadratic += "&big;";
    quadratic += "</r>";
    std::string deep = "<!DOCTYPE r [<!ENTITY d0 'x'>";
    for (int i = 1; i < 100; ++i) {
        deep += "<!ENTITY d" + std::to_string(i) + " '&d" + std::to_string(i - 1) + ";'>";
    }
    deep += "]><r>&d99;</r>";
    for (const std::string& doc : {billion, in_attribute, quadratic, deep}) {
        EXPECT_EQ(read_new(doc, false).error, XML_ERROR_AMPLIFICATION_LIMIT_BREACH);
    }
}

TEST(XmlReader, SuspendsAndResumesAtEachStop) {
    // A sink that suspends the reading at every event sees the same events.
    const std::string_view doc = "<a>1&amp;2\r\n<b x='y'/><![CDATA[z]]></a><!---->";
    XmlReader reader(doc);
    Suspending sink(reader, true);
    reader.attach(sink);
    int runs = 1;
    while (reader.run() == XmlReader::Stop::Suspended) ++runs;
    EXPECT_EQ(sink.inner.lines, read_new(doc, false).events);
    EXPECT_GT(runs, 5);
}

}  // namespace
}  // namespace kestrix::detail
