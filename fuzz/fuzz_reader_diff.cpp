// fuzz/fuzz_reader_diff.cpp: XmlReader against expat on the same bytes.
//
// The first byte chooses namespace processing (bit 0), the scan (bit 1: a
// byte at a time instead of blocks), strict reading (bit 2) and the decoding
// (bit 3: as the document declares, instead of UTF-8); the rest is a
// document held in memory. Decoded as declared, expat reads its bytes and
// XmlReader the UTF-8 a Transcoder makes of them (UTF-16, ISO-8859-1 or
// US-ASCII; documents it leaves to expat prove nothing here). They must agree on
// accepting or refusing it; when both accept, on every event (text joined as
// the binder joins it); with KESTRIX_DIFF_ERRORS set in the environment
// (`make fuzz-diff FUZZ_ERRORS=1`), when both refuse, on the error and its
// line and column too: some malformed markup is still named otherwise than
// expat names it, and such inputs would stop every run. The document is also
// bound through each reader to one schema (read_held): both bind it or both
// fail, and the values bound are equal. Recognised differences, where the
// input proves nothing:
//   - a document type declaration with an external subset or a parameter-entity
//     reference, which XmlReader leaves to expat;
//   - a disagreement where some name read held a character above ASCII: the
//     fifth edition's name characters are not the ones expat knows;
//   - the kind and place of a fault inside a document type declaration (both
//     refuse; expat's tokenizer names some faults there otherwise than the
//     declarations' grammar does);
//   - an XML declaration we refuse and expat accepts (or refuses for another
//     fault further on): expat takes any version number, where XML 1.0
//     allows only "1." and digits;
//   - both refuse, expat with "partial character" where we find an invalid
//     token: the input ends within the bytes a lead byte announces, but the
//     bytes there do not continue it, so no more input could make it a
//     character;
//   - with namespaces, a name in the document type declaration whose local
//     part starts with a character that may only continue a name (`r:-`,
//     `a:1`): no QName, so we refuse it, where expat checks only the number
//     of colons there;
//   - UTF-16 with an unpaired lead surrogate, which is an invalid token to us
//     and, to expat, one character with the code unit after it;
//   - decoded as declared, the kind and place of a fault in input that ends
//     inside a character: where we fail at a token that runs to the cut,
//     expat names the cut;
//   - decoded as declared in a one-byte encoding, the kind and place of a
//     fault when the XML declaration holds a byte above ASCII: expat reads
//     the declaration as UTF-8, before it knows the encoding, and we read
//     it decoded.
// XmlReader is also fed the document in chunks of sizes drawn from the input
// itself: it must give exactly the held read's events, failure and position.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "bind_fixtures.hpp"
#include "event_transcript.hpp"
#include "expat_reader.hpp"
#include "held_document.hpp"
#include "kestrix/namespaces.hpp"
#include "transcode.hpp"
#include "xml_reader.hpp"

using namespace kestrix;
using namespace kestrix::detail;

namespace {

/// Attributes, text, a scalar list and a nested list, in no namespace or
/// in one, so that both readers' names and values reach a binder.
const ClassSchema& schema(bool namespaced) {
    using namespace kestrix::testing;
    static const auto plain = [] {
        auto item = make_class("item", attribute("id", scalar(ScalarKind::Int)), text("value"));
        return make_class("r", attribute("a"), element("s", list_of(scalar())),
                          element("item", list_of(nested(item))), text("rest"));
    }();
    static const auto spaced = [] {
        auto root = make_class("r", attribute("a"), element("s", list_of(scalar())));
        root->ns = "urn:a";
        root->declares_namespaces = true;
        root->namespaces = plan_namespaces(*root);
        return root;
    }();
    return namespaced ? *spaced : *plain;
}

/// What a reader gave: its events, and its failure with where it stands.
std::string outcome(XmlReader& reader, const Transcript& events, XmlReader::Stop stop) {
    std::string out = events.lines + "stop " + std::to_string(static_cast<int>(stop));
    if (stop == XmlReader::Stop::Failed) {
        const ErrorLocation at = reader.location();
        out += " error " + std::to_string(static_cast<int>(reader.error_code())) + " at " +
               std::to_string(at.line) + ":" + std::to_string(at.column) + " offset " +
               std::to_string(reader.bytes_read());
    }
    return out;
}

/// `doc` fed to XmlReader in chunks whose sizes a generator seeded by the
/// input draws: mostly short ones, now and then a longer one.
/// Decoded as declared, the chunks go through a transcoder of their own.
std::string read_in_chunks(std::string_view doc, bool namespaces, Scan scan,
                           std::optional<Transcoder> source) {
    std::uint32_t state = 0x9E3779B9u;
    for (const char c : doc) state = (state ^ static_cast<unsigned char>(c)) * 0x01000193u;
    XmlReader reader(namespaces, scan);
    if (source) reader.read_transcoded(*source);
    Transcript events(namespaces);
    reader.attach(events);
    std::string text;
    std::size_t at = 0;
    while (true) {
        state = state * 1664525u + 1013904223u;
        const std::uint32_t draw = state >> 8;
        const std::size_t size = (draw & 7) == 0 ? draw % 4096 : draw % 9;
        const std::size_t n = std::min(size, doc.size() - at);
        std::string_view chunk = doc.substr(at, n);
        if (source) {
            text.clear();
            source->feed(chunk, at + n == doc.size(), text);
            chunk = text;
        }
        reader.feed(chunk, at + n == doc.size());
        at += n;
        const XmlReader::Stop stop = reader.run();
        if (stop != XmlReader::Stop::NeedsInput) return outcome(reader, events, stop);
        if (at == doc.size() && n == 0) return "more input asked for after the end";
    }
}

/// True when some colon in `doc` is followed by a character that may continue
/// a name but not start one.
bool local_part_not_name_start(std::string_view doc) {
    for (std::size_t at = doc.find(':'); at != std::string_view::npos && at + 1 < doc.size();
         at = doc.find(':', at + 1)) {
        const char next = doc[at + 1];
        if (next == '-' || next == '.' || (next >= '0' && next <= '9')) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool namespaces = (data[0] & 1) != 0;
    const Scan scan = (data[0] & 2) != 0 ? Scan::Bytes : Scan::Blocks;
    const std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
    ReaderOptions options;
    options.strict = (data[0] & 4) != 0;
    options.follow_declaration = (data[0] & 8) != 0;
    const std::optional<Transcoder> source = Transcoder::of(doc, options);
    if (options.follow_declaration && !source) return 0;
    std::optional<Transcoder> whole = source;  // the one that reads the held document
    std::string text;
    if (whole) whole->feed(doc, true, text);
    if (whole && whole->met_unpaired_lead()) return 0;

    XmlReader ours(source ? std::string_view(text) : doc, namespaces, scan);
    if (whole) ours.read_transcoded(*whole);
    Transcript our_events(namespaces);
    ours.attach(our_events);
    const XmlReader::Stop our_stop = ours.run();
    if (our_stop == XmlReader::Stop::Declined) return 0;
    if (our_stop == XmlReader::Stop::Failed) {
        const BindError error = ours.error();  // builds its message and location
        (void)error;
    }
    const std::string held = outcome(ours, our_events, our_stop);
    const std::string fed = read_in_chunks(doc, namespaces, scan, source);
    if (fed != held) {
        std::fprintf(stderr, "fed in chunks\n%s\nheld\n%s\n", fed.c_str(), held.c_str());
        std::abort();
    }

    ExpatReader expat(doc, options, namespaces, ExpatReader::Handover::Whole);
    Transcript expat_events(namespaces);
    expat.attach(expat_events);
    const bool expat_accepts = expat.run() == ExpatReader::Stop::Finished;
    // Input cut inside a character fails at the end of the UTF-8 before it.
    const std::optional<BindError> cut = whole ? whole->error_at_cut(ours) : std::nullopt;
    const bool we_accept = our_stop == XmlReader::Stop::Finished && !cut;
    const XML_Error our_code = cut ? whole->cut_error() : ours.error_code();

    // Our stricter version number: refused by us alone, or before expat's
    // fault (another one, or one further on in the declaration).
    const auto before_expat = [&] {
        const ErrorLocation a = ours.location();
        const ErrorLocation b = expat.location();
        return a.line < b.line || (a.line == b.line && a.column < b.column);
    };
    if (!we_accept && our_code == XML_ERROR_XML_DECL &&
        (expat_accepts || XML_GetErrorCode(expat.handle()) != XML_ERROR_XML_DECL ||
         before_expat())) {
        return 0;
    }
    if (we_accept != expat_accepts) {
        if (ours.met_non_ascii_name()) return 0;
        if (namespaces && expat_accepts && ours.failed_in_doctype() &&
            our_code == XML_ERROR_INVALID_TOKEN && local_part_not_name_start(source ? text : doc)) {
            return 0;
        }
        std::fprintf(stderr, "accept: ours %d (error %d), expat %d (error %d)\n", we_accept,
                     static_cast<int>(our_code), expat_accepts,
                     static_cast<int>(XML_GetErrorCode(expat.handle())));
        std::abort();
    }
    static const bool compare_errors = std::getenv("KESTRIX_DIFF_ERRORS") != nullptr;
    const auto declaration_above_ascii = [&] {
        if (!source || !doc.starts_with("<?xml")) return false;
        const std::string_view declaration = doc.substr(0, doc.find("?>"));
        return std::any_of(declaration.begin(), declaration.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    if (compare_errors && !we_accept && !expat_accepts && !ours.met_non_ascii_name() &&
        !ours.failed_in_doctype() && !declaration_above_ascii() &&
        !(whole && whole->cut_error() != XML_ERROR_NONE) &&
        !(our_code == XML_ERROR_INVALID_TOKEN &&
          XML_GetErrorCode(expat.handle()) == XML_ERROR_PARTIAL_CHAR)) {
        const ErrorLocation our_at = cut ? *cut->location() : ours.location();
        const ErrorLocation expat_at = expat.location();
        const XML_Error expat_code = XML_GetErrorCode(expat.handle());
        if (our_code != expat_code || our_at.line != expat_at.line ||
            our_at.column != expat_at.column) {
            std::fprintf(stderr, "refusals differ: ours %s at %llu:%llu, expat %s at %llu:%llu\n",
                         XML_ErrorString(our_code), static_cast<unsigned long long>(our_at.line),
                         static_cast<unsigned long long>(our_at.column),
                         XML_ErrorString(expat_code),
                         static_cast<unsigned long long>(expat_at.line),
                         static_cast<unsigned long long>(expat_at.column));
            std::abort();
        }
    }
    if (we_accept && our_events.lines != expat_events.lines) {
        std::fprintf(stderr, "events differ\nours:\n%s\nexpat:\n%s\n", our_events.lines.c_str(),
                     expat_events.lines.c_str());
        std::abort();
    }

    const ClassSchema& root = schema(namespaces);
    const Result<ValueTree> by_ours = read_held(doc, root, 64, options, nullptr, HeldReader::Own);
    const Result<ValueTree> by_expat =
        read_held(doc, root, 64, options, nullptr, HeldReader::Expat);
    if (by_ours.ok() != by_expat.ok() && !ours.met_non_ascii_name()) {
        std::fprintf(stderr, "binding: ours %s, expat %s\n",
                     by_ours ? "bound" : by_ours.error().message().c_str(),
                     by_expat ? "bound" : by_expat.error().message().c_str());
        std::abort();
    }
    if (by_ours && by_expat &&
        testing::dump(by_ours.value().root) != testing::dump(by_expat.value().root)) {
        std::fprintf(stderr, "values differ: %s / %s\n",
                     testing::dump(by_ours.value().root).c_str(),
                     testing::dump(by_expat.value().root).c_str());
        std::abort();
    }
    return 0;
}
