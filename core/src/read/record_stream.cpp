// core/src/read/record_stream.cpp: RecordStream, one suspended expat parser across calls.
#include "kestrix/record_stream.hpp"

#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"

namespace kestrix {

namespace {

// A tag naming a namespace URI needs namespace processing even for a tree
// that declares none.
bool reads_namespaces(const std::vector<RecordStream::Kind>& kinds) {
    for (const RecordStream::Kind& kind : kinds) {
        if (kind.schema->namespace_aware() || kind.tag.starts_with('{')) return true;
    }
    return false;
}

// The binder's view of the kinds after the first.
std::vector<detail::ElementBinder::RecordKind> more_of(
    const std::vector<RecordStream::Kind>& kinds) {
    std::vector<detail::ElementBinder::RecordKind> more;
    for (std::size_t i = 1; i < kinds.size(); ++i)
        more.push_back({kinds[i].schema.get(), kinds[i].tag});
    return more;
}

}  // namespace

/// Kept on the heap so that the reader's view of the document and the binder's
/// references stay valid when the stream itself is moved.
struct RecordStream::State {
    State(std::string doc, std::vector<Kind> record_kinds, std::uint64_t limit,
          const ReaderOptions& options)
        : document(std::move(doc)),
          kinds(std::move(record_kinds)),
          more(more_of(kinds)),
          reader(document, options, reads_namespaces(kinds)),
          binder(reader, reader.namespaces(), *kinds.front().schema, limit,
                 std::string_view(kinds.front().tag), options.strict, more) {
        reader.attach(binder);
    }

    State(std::vector<Kind> record_kinds, std::uint64_t limit, const ReaderOptions& options)
        : kinds(std::move(record_kinds)),
          more(more_of(kinds)),
          reader(options, reads_namespaces(kinds)),
          binder(reader, reader.namespaces(), *kinds.front().schema, limit,
                 std::string_view(kinds.front().tag), options.strict, more) {
        reader.attach(binder);
    }

    const std::string document;  ///< empty when fed
    const std::vector<Kind> kinds;
    const std::vector<detail::ElementBinder::RecordKind> more;
    detail::ExpatReader reader;
    detail::ElementBinder binder;
    bool ended = false;
    bool needs_input = false;
};

namespace {

std::vector<RecordStream::Kind> one_kind(std::shared_ptr<const ClassSchema> schema,
                                         std::string tag) {
    std::vector<RecordStream::Kind> kinds;
    kinds.push_back({std::move(schema), std::move(tag)});
    return kinds;
}

}  // namespace

RecordStream::RecordStream(std::string document, std::shared_ptr<const ClassSchema> schema,
                           std::string tag, std::uint64_t limit, const ReaderOptions& options)
    : RecordStream(std::move(document), one_kind(std::move(schema), std::move(tag)), limit,
                   options) {}

RecordStream::RecordStream(std::shared_ptr<const ClassSchema> schema, std::string tag,
                           std::uint64_t limit, const ReaderOptions& options)
    : RecordStream(one_kind(std::move(schema), std::move(tag)), limit, options) {}

RecordStream::RecordStream(std::string document, std::vector<Kind> kinds, std::uint64_t limit,
                           const ReaderOptions& options)
    : state_(std::make_unique<State>(std::move(document), std::move(kinds), limit, options)) {}

RecordStream::RecordStream(std::vector<Kind> kinds, std::uint64_t limit,
                           const ReaderOptions& options)
    : state_(std::make_unique<State>(std::move(kinds), limit, options)) {}

RecordStream::~RecordStream() = default;
RecordStream::RecordStream(RecordStream&&) noexcept = default;
RecordStream& RecordStream::operator=(RecordStream&&) noexcept = default;

const ClassSchema& RecordStream::schema() const noexcept { return *state_->kinds.front().schema; }

std::string_view RecordStream::held_document() const noexcept { return state_->document; }

const std::vector<std::string>& RecordStream::names_before_record() const noexcept {
    return state_->binder.names_before_record();
}

bool RecordStream::needs_input() const noexcept { return state_->needs_input; }

std::uint64_t RecordStream::bytes_read() const noexcept { return state_->reader.bytes_read(); }

void RecordStream::feed(std::string_view chunk, bool final) noexcept {
    state_->reader.feed(chunk, final);
    state_->needs_input = false;
}

void RecordStream::recycle(ValueTree&& tree) noexcept {
    state_->binder.recycle(std::move(tree.arena));
    tree.root = Value();
}

Result<ValueTree> RecordStream::next() {
    State& s = *state_;
    if (s.ended || s.needs_input) return ValueTree();
    const detail::ExpatReader::Stop stop = s.reader.run();
    // The binder suspends the reader on every finished or failed record.
    if (s.binder.has_outcome()) return s.binder.take_outcome();
    if (stop == detail::ExpatReader::Stop::NeedsInput) {
        s.needs_input = true;
        return ValueTree();
    }
    s.ended = true;
    if (stop != detail::ExpatReader::Stop::Failed) return ValueTree();
    // An input that holds no element at all just ends the stream. One that ends
    // before its document element closes was cut short: that is an error even
    // outside any record, raised once the records before it are out, so that a
    // truncated file never passes for a whole one.
    if (s.reader.failed_at_end_of_input() && !s.binder.saw_element()) return ValueTree();
    return s.reader.error();
}

}  // namespace kestrix
