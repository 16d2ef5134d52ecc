// core/src/read/record_stream.cpp: RecordStream, one suspended expat parser across calls.
#include "kestrix/record_stream.hpp"

#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"

namespace kestrix {

/// Kept on the heap so that the reader's view of the document and the binder's
/// references stay valid when the stream itself is moved.
struct RecordStream::State {
    State(std::string doc, std::shared_ptr<const ClassSchema> root, std::string record_tag,
          std::uint64_t limit, const ReaderOptions& options)
        : document(std::move(doc)),
          schema(std::move(root)),
          tag(std::move(record_tag)),
          // A tag naming a namespace URI needs namespace processing even for a
          // tree that declares none.
          reader(document, options, schema->namespace_aware() || tag.starts_with('{')),
          binder(reader, reader.namespaces(), *schema, limit, std::string_view(tag),
                 options.strict) {
        reader.attach(binder);
    }

    State(std::shared_ptr<const ClassSchema> root, std::string record_tag, std::uint64_t limit,
          const ReaderOptions& options)
        : schema(std::move(root)),
          tag(std::move(record_tag)),
          reader(options, schema->namespace_aware() || tag.starts_with('{')),
          binder(reader, reader.namespaces(), *schema, limit, std::string_view(tag),
                 options.strict) {
        reader.attach(binder);
    }

    const std::string document;  ///< empty when fed
    const std::shared_ptr<const ClassSchema> schema;
    const std::string tag;
    detail::ExpatReader reader;
    detail::ElementBinder binder;
    bool ended = false;
    bool needs_input = false;
};

RecordStream::RecordStream(std::string document, std::shared_ptr<const ClassSchema> schema,
                           std::string tag, std::uint64_t limit, const ReaderOptions& options)
    : state_(std::make_unique<State>(std::move(document), std::move(schema), std::move(tag), limit,
                                     options)) {}

RecordStream::RecordStream(std::shared_ptr<const ClassSchema> schema, std::string tag,
                           std::uint64_t limit, const ReaderOptions& options)
    : state_(std::make_unique<State>(std::move(schema), std::move(tag), limit, options)) {}

RecordStream::~RecordStream() = default;
RecordStream::RecordStream(RecordStream&&) noexcept = default;
RecordStream& RecordStream::operator=(RecordStream&&) noexcept = default;

const ClassSchema& RecordStream::schema() const noexcept { return *state_->schema; }

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
