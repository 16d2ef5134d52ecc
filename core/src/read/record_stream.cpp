// core/src/read/record_stream.cpp: RecordStream, one suspended expat parser across calls.
#include "kestrix/record_stream.hpp"

#include <new>
#include <optional>
#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"
#include "xml_reader.hpp"

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
///
/// kestrix's own reader reads the stream unless the document is decoded as it
/// declares; a document it declines (before any event) goes to expat, fed
/// first what the own reader holds of it.
struct RecordStream::State {
    State(std::string doc, std::vector<Kind> record_kinds, std::uint64_t limit,
          const ReaderOptions& reader_options, bool is_fed)
        : document(std::move(doc)),
          kinds(std::move(record_kinds)),
          more(more_of(kinds)),
          options(reader_options),
          namespaces(reads_namespaces(kinds)),
          depth_limit(limit),
          fed(is_fed) {
        if (options.follow_declaration) {
            use_expat();
        } else if (fed) {
            bind(own.emplace(namespaces));
        } else {
            bind(own.emplace(document, namespaces));
        }
    }

    template <class Reader>
    void bind(Reader& reader) {
        binder.emplace(reader, reader.namespaces(), *kinds.front().schema, depth_limit,
                       std::string_view(kinds.front().tag), options.strict, more);
        reader.attach(*binder);
    }

    /// Hands the document to expat, with a binder that has seen nothing yet.
    void use_expat() {
        if (!fed) {
            bind(expat.emplace(document, options, namespaces));
        } else {
            bind(expat.emplace(options, namespaces));
            if (own) {
                replay.assign(own->buffered());
                expat->feed(replay, own_final);
            }
        }
        own.reset();
    }

    const std::string document;  ///< empty when fed
    const std::vector<Kind> kinds;
    const std::vector<detail::ElementBinder::RecordKind> more;
    const ReaderOptions options;
    const bool namespaces;
    const std::uint64_t depth_limit;
    const bool fed;
    std::optional<detail::XmlReader> own;
    std::optional<detail::ExpatReader> expat;
    std::optional<detail::ElementBinder> binder;
    std::string replay;  ///< what the own reader held when it declined, fed to expat
    bool own_final = false;
    bool ended = false;
    bool needs_input = false;
    bool out_of_memory = false;
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
    : state_(
          std::make_unique<State>(std::move(document), std::move(kinds), limit, options, false)) {}

RecordStream::RecordStream(std::vector<Kind> kinds, std::uint64_t limit,
                           const ReaderOptions& options)
    : state_(std::make_unique<State>(std::string(), std::move(kinds), limit, options, true)) {}

RecordStream::~RecordStream() = default;
RecordStream::RecordStream(RecordStream&&) noexcept = default;
RecordStream& RecordStream::operator=(RecordStream&&) noexcept = default;

const ClassSchema& RecordStream::schema() const noexcept { return *state_->kinds.front().schema; }

std::string_view RecordStream::held_document() const noexcept { return state_->document; }

const std::vector<std::string>& RecordStream::names_before_record() const noexcept {
    return state_->binder->names_before_record();
}

bool RecordStream::needs_input() const noexcept { return state_->needs_input; }

std::uint64_t RecordStream::bytes_read() const noexcept {
    return state_->own ? state_->own->bytes_read() : state_->expat->bytes_read();
}

void RecordStream::feed(std::string_view chunk, bool final) noexcept {
    State& s = *state_;
    s.needs_input = false;
    if (!s.own) {
        s.expat->feed(chunk, final);
        return;
    }
    try {
        s.own->feed(chunk, final);  // copies the chunk
        s.own_final = final;
    } catch (const std::bad_alloc&) {
        s.out_of_memory = true;
    }
}

void RecordStream::recycle(ValueTree&& tree) noexcept {
    state_->binder->recycle(std::move(tree.arena));
    tree.root = Value();
}

namespace {

template <class Reader>
Result<ValueTree> outcome_of(Reader& reader, typename Reader::Stop stop,
                             detail::ElementBinder& binder, bool& needs_input, bool& ended) {
    // The binder suspends the reader on every finished or failed record.
    if (binder.has_outcome()) return binder.take_outcome();
    if (stop == Reader::Stop::NeedsInput) {
        needs_input = true;
        return ValueTree();
    }
    ended = true;
    if (stop != Reader::Stop::Failed) return ValueTree();
    // An input that holds no element at all just ends the stream. One that ends
    // before its document element closes was cut short: that is an error even
    // outside any record, raised once the records before it are out, so that a
    // truncated file never passes for a whole one.
    if (reader.failed_at_end_of_input() && !binder.saw_element()) return ValueTree();
    return reader.error();
}

}  // namespace

Result<ValueTree> RecordStream::next() {
    State& s = *state_;
    if (s.ended || s.needs_input) return ValueTree();
    if (s.out_of_memory) {
        s.ended = true;
        return BindError::xml_reader(bytes_read(), XML_ErrorString(XML_ERROR_NO_MEMORY));
    }
    if (s.own) {
        const detail::XmlReader::Stop stop = s.own->run();
        if (stop != detail::XmlReader::Stop::Declined) {
            return outcome_of(*s.own, stop, *s.binder, s.needs_input, s.ended);
        }
        s.use_expat();
    }
    return outcome_of(*s.expat, s.expat->run(), *s.binder, s.needs_input, s.ended);
}

}  // namespace kestrix
