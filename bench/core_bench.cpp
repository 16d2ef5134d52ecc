// bench/core_bench.cpp: parse_document throughput next to expat's own, on the same bytes.
//
// Generates a few MB of order records (attributes, a nested customer, one to
// five line items, int/float/bool/str fields), then times, best of N runs:
// expat alone with empty handlers, kestrix's own reader alone (runs scanned
// in blocks and a byte at a time) with a sink that does nothing,
// parse_document (which reads with kestrix's own reader), the same binding
// read by expat, and RecordStream over the same document. Times are the
// process's CPU time (user and system, one thread), so other work on a shared
// machine does not inflate them. Usage: kestrix_core_bench [megabytes] [runs]
// [expat|own|parse|parse-expat|stream] (the third argument runs only that
// measurement, for profiling).
#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "bind_fixtures.hpp"
#include "held_document.hpp"
#include "kestrix/parser.hpp"
#include "kestrix/record_stream.hpp"
#include "kestrix/schema.hpp"
#include "reader_events.hpp"
#include "xml_reader.hpp"

namespace {

using namespace kestrix;

FieldSchema field(const char* name, const char* xml_name, TypeDesc type, FieldRole role) {
    return FieldSchema{name, xml_name, std::move(type), role};
}

using testing::make_class;

struct Schemas {
    std::shared_ptr<ClassSchema> order;
    std::shared_ptr<ClassSchema> orders;
};

Schemas make_schemas() {
    constexpr auto A = FieldRole::Attribute;
    constexpr auto E = FieldRole::Element;
    auto s = [](ScalarKind k) { return TypeDesc::scalar(k); };
    auto customer = make_class("Customer", field("id", "id", s(ScalarKind::Int), A),
                               field("vip", "vip", s(ScalarKind::Bool), A),
                               field("name", "name", s(ScalarKind::Str), E),
                               field("email", "email", s(ScalarKind::Str), E));
    auto item = make_class("Item", field("sku", "sku", s(ScalarKind::Str), A),
                           field("qty", "qty", s(ScalarKind::Int), A),
                           field("price", "price", s(ScalarKind::Float), E),
                           field("gift", "gift", s(ScalarKind::Bool), E),
                           field("title", "title", s(ScalarKind::Str), E));
    auto order = make_class("order", field("id", "id", s(ScalarKind::Int), A),
                            field("status", "status", s(ScalarKind::Str), A),
                            field("priority", "priority", s(ScalarKind::Bool), A),
                            field("customer", "customer", TypeDesc::nested(customer), E),
                            field("items", "item", TypeDesc::list(TypeDesc::nested(item)), E),
                            field("total", "total", s(ScalarKind::Float), E),
                            field("paid", "paid", s(ScalarKind::Bool), E),
                            field("note", "note", s(ScalarKind::Str), E));
    auto orders = make_class(
        "Orders",
        field("orders", "order", TypeDesc::list(TypeDesc::nested(order)), FieldRole::Element));
    return {order, orders};
}

std::string make_document(std::size_t target_bytes) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state](std::uint64_t n) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % n;
    };
    const char* statuses[] = {"new", "paid", "shipped", "returned"};
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<orders>\n";
    for (std::uint64_t id = 1; doc.size() < target_bytes; ++id) {
        const std::uint64_t customer = next(100000);
        doc += "  <order id=\"" + std::to_string(id) + "\" status=\"" + statuses[next(4)] +
               "\" priority=\"" + (next(2) ? "true" : "false") + "\">\n";
        doc += "    <customer id=\"" + std::to_string(customer) + "\" vip=\"" +
               (next(5) == 0 ? "1" : "0") + "\"><name>Customer " + std::to_string(customer) +
               "</name><email>c" + std::to_string(customer) + "@example.com</email></customer>\n";
        const std::uint64_t lines = 1 + next(5);
        for (std::uint64_t i = 0; i < lines; ++i) {
            doc += "    <item sku=\"SKU-" + std::to_string(next(10000)) + "\" qty=\"" +
                   std::to_string(1 + next(20)) + "\"><price>" + std::to_string(next(100000)) +
                   "." + std::to_string(next(100)) + "</price><gift>" +
                   (next(10) == 0 ? "true" : "false") + "</gift><title>Widget &amp; part " +
                   std::to_string(next(1000)) + "</title></item>\n";
        }
        doc += "    <total>" + std::to_string(next(1000000)) + ".5</total><paid>" +
               (next(2) ? "true" : "false") + "</paid><note>Leave at the back door</note>\n";
        doc += "  </order>\n";
    }
    doc += "</orders>\n";
    return doc;
}

void XMLCALL empty_start(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL empty_end(void*, const XML_Char*) {}
void XMLCALL empty_text(void*, const XML_Char*, int) {}

/// Expat's own cost: the same parser settings, handlers that do nothing, the
/// document handed over in `chunk`-byte calls (parse_document hands it over
/// whole, RecordStream in 64 KiB chunks).
bool expat_alone(std::string_view doc, std::size_t chunk) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetElementHandler(parser, empty_start, empty_end);
    XML_SetCharacterDataHandler(parser, empty_text);
    bool ok = true;
    for (std::size_t at = 0; ok && at < doc.size(); at += chunk) {
        const std::size_t n = std::min(chunk, doc.size() - at);
        ok = XML_Parse(parser, doc.data() + at, static_cast<int>(n),
                       at + n == doc.size() ? XML_TRUE : XML_FALSE) == XML_STATUS_OK;
    }
    XML_ParserFree(parser);
    return ok;
}

/// A sink that takes every event and does nothing with it.
class NoSink final : public detail::ReaderEvents {
public:
    void on_start(const ExpandedName&, std::span<const AttributeView>, bool) noexcept override {}
    void on_end() noexcept override {}
    void on_text(const char*, std::size_t) noexcept override {}
    bool wants_namespace_events() const noexcept override { return false; }
    void on_namespace_start(const char*, const char*) override {}
    void on_namespace_end(const char*) override {}
};

/// kestrix's own reader's cost, as expat_alone measures expat's.
bool own_alone(std::string_view doc, detail::Scan scan) {
    detail::XmlReader reader(doc, false, scan);
    NoSink sink;
    reader.attach(sink);
    return reader.run() == detail::XmlReader::Stop::Finished;
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class F>
double best_seconds(int runs, F&& run) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = cpu_seconds();
        if (!run()) {
            std::fprintf(stderr, "run failed\n");
            std::exit(1);
        }
        best = std::min(best, cpu_seconds() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 4.0;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
    const std::string_view only = argc > 3 ? argv[3] : "";
    auto wanted = [&](std::string_view name) { return only.empty() || only == name; };
    const Schemas schemas = make_schemas();
    const std::string doc = make_document(static_cast<std::size_t>(megabytes * 1024 * 1024));
    const double mb = static_cast<double>(doc.size()) / (1024.0 * 1024.0);

    std::size_t records = 0;
    const double expat =
        !wanted("expat") ? 0 : best_seconds(runs, [&] { return expat_alone(doc, doc.size()); });
    const double expat_chunks =
        !wanted("expat") ? 0 : best_seconds(runs, [&] { return expat_alone(doc, 64 * 1024); });
    const double own =
        !wanted("own") ? 0
                       : best_seconds(runs, [&] { return own_alone(doc, detail::Scan::Blocks); });
    const double own_bytes =
        !wanted("own") ? 0
                       : best_seconds(runs, [&] { return own_alone(doc, detail::Scan::Bytes); });
    const double parse_expat = !wanted("parse-expat") ? 0 : best_seconds(runs, [&] {
        Result<ValueTree> value = detail::read_held(doc, *schemas.orders, MAX_DEPTH, {}, nullptr,
                                                    detail::HeldReader::Expat);
        if (!value) std::fprintf(stderr, "%s\n", value.error().message().c_str());
        return value.ok();
    });
    const double parse = !wanted("parse") ? 0 : best_seconds(runs, [&] {
        Result<ValueTree> value = parse_document(doc, *schemas.orders, MAX_DEPTH);
        if (!value) std::fprintf(stderr, "%s\n", value.error().message().c_str());
        if (value) records = value.value().root.as_object().slots[0].as_list().size();
        return value.ok();
    });
    const double stream = !wanted("stream") ? 0 : best_seconds(runs, [&] {
        RecordStream s(doc, schemas.order, "order", MAX_DEPTH);
        while (true) {
            Result<ValueTree> record = s.next();
            if (!record) return false;
            if (record.value().root.is_absent()) return true;
            s.recycle(std::move(record).value());
        }
    });
    const double fed = !wanted("stream") ? 0 : best_seconds(runs, [&] {
        RecordStream s(schemas.order, "order", MAX_DEPTH, ReaderOptions{});
        const std::size_t chunk = 256 * 1024;
        std::size_t at = 0;
        while (true) {
            Result<ValueTree> record = s.next();
            if (!record) return false;
            if (!record.value().root.is_absent()) {
                s.recycle(std::move(record).value());
                continue;
            }
            if (!s.needs_input()) return true;
            const std::size_t n = std::min(chunk, doc.size() - at);
            s.feed(std::string_view(doc).substr(at, n), at + n == doc.size());
            at += n;
        }
    });

    std::printf("document: %.2f MB, %zu order records, best of %d runs\n", mb, records, runs);
    std::printf("expat alone (empty handlers), whole document:  %8.1f MB/s\n", mb / expat);
    std::printf("expat alone (empty handlers), 64 KiB chunks:  %8.1f MB/s\n", mb / expat_chunks);
    std::printf("own reader alone (no sink), blocks:            %8.1f MB/s  (%.2fx expat's time)\n",
                mb / own, own / expat);
    std::printf("own reader alone (no sink), byte at a time:    %8.1f MB/s  (%.2fx expat's time)\n",
                mb / own_bytes, own_bytes / expat);
    std::printf("parse_document (own reader):  %8.1f MB/s  (%.2fx own reader alone)\n", mb / parse,
                parse / own);
    std::printf(
        "parse_document, expat reader: %8.1f MB/s  (%.2fx expat's time; %.2fx own path's time)\n",
        mb / parse_expat, parse_expat / expat, parse_expat / parse);
    std::printf(
        "RecordStream (one per order): %8.1f MB/s  (%.2fx expat's time, chunks, copy included)\n",
        mb / stream, stream / expat_chunks);
    std::printf("RecordStream fed 256 KiB chunks: %8.1f MB/s  (%.2fx the held stream's time)\n",
                mb / fed, fed / stream);
    return 0;
}
