// core/src/record_stream.cpp: RecordStream, one suspended expat parser across calls.
#include "kestrix/record_stream.hpp"

#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"

namespace kestrix {

/// Kept on the heap so that the reader's view of the document and the binder's
/// references stay valid when the stream itself is moved.
struct RecordStream::State {
    State(std::string doc, std::shared_ptr<const ClassSchema> root, std::string record_tag,
          std::uint64_t limit)
        : document(std::move(doc)),
          schema(std::move(root)),
          tag(std::move(record_tag)),
          // A tag naming a namespace URI needs namespace processing even for a
          // tree that declares none.
          reader(document, schema->namespace_aware() || tag.starts_with('{')),
          binder(reader, *schema, limit, std::string_view(tag)) {}

    const std::string document;
    const std::shared_ptr<const ClassSchema> schema;
    const std::string tag;
    detail::ExpatReader reader;
    detail::ElementBinder binder;
    bool ended = false;
};

RecordStream::RecordStream(std::string document, std::shared_ptr<const ClassSchema> schema,
                           std::string tag, std::uint64_t limit)
    : state_(
          std::make_unique<State>(std::move(document), std::move(schema), std::move(tag), limit)) {}

RecordStream::~RecordStream() = default;
RecordStream::RecordStream(RecordStream&&) noexcept = default;
RecordStream& RecordStream::operator=(RecordStream&&) noexcept = default;

const ClassSchema& RecordStream::schema() const noexcept { return *state_->schema; }

Result<Value> RecordStream::next() {
    State& s = *state_;
    if (s.ended) return Value();
    const detail::ExpatReader::Stop stop = s.reader.run();
    // The binder suspends the reader on every finished or failed record.
    if (s.binder.has_outcome()) return s.binder.take_outcome();
    s.ended = true;
    if (stop != detail::ExpatReader::Stop::Failed) return Value();
    // The end of input outside any record just ends the stream (the document
    // may be empty or hold no record); inside a record it is that record's error.
    if (s.reader.failed_at_end_of_input() && !s.binder.in_record()) return Value();
    return s.reader.error();
}

}  // namespace kestrix
