// core/src/read/record_stream.cpp: RecordStream, one suspended expat parser across calls.
#include "kestrix/record_stream.hpp"

#include <new>
#include <optional>
#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"
#include "transcode.hpp"
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
/// kestrix's own reader reads the stream; a document decoded as it declares
/// in another encoding than UTF-8 is transcoded to UTF-8 for it (see
/// Transcoder), its encoding chosen once its first bytes are there. A
/// document it declines (before any event) goes to expat, fed first what the
/// own reader was fed of it (in the source's bytes).
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
        if (fed) {
            if (!options.follow_declaration) bind(own.emplace(namespaces));
        } else if (!options.follow_declaration) {
            bind(own.emplace(document, namespaces));
        } else if ((source = detail::Transcoder::of(document, options))) {
            source->feed(document, true, text);
            bind(own.emplace(text, namespaces));
            own->read_transcoded(*source);
        } else {
            use_expat();
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
                replay.assign(source ? std::string_view(kept) : own->buffered());
                expat->feed(replay, own_final);
            }
        }
        own.reset();
        source.reset();
    }

    /// True while fed input decoded as declared has no reader yet.
    bool choosing() const noexcept { return !own && !expat; }

    /// Fed input decoded as declared: picks the reader from the first
    /// bytes, which `head` gathers until there are enough to tell.
    void choose(std::string_view chunk, bool final) {
        head.append(chunk);
        if (head.size() < DECLARATION_HEAD && !final) return;
        if ((source = detail::Transcoder::of(head, options))) {
            bind(own.emplace(namespaces));
            own->read_transcoded(*source);
            feed_own(head, final);
        } else {
            use_expat();
            replay.swap(head);
            expat->feed(replay, final);
        }
        std::string().swap(head);
    }

    /// Feeds the own reader, through the transcoder when there is one.
    void feed_own(std::string_view chunk, bool final) {
        if (source) {
            // Until the reader drops input, the source's bytes are kept for
            // expat, should the reader decline the document.
            if (own->keeps_all_input()) {
                kept.append(chunk);
            } else if (!kept.empty()) {
                std::string().swap(kept);
            }
            text.clear();
            source->feed(chunk, final, text);
            chunk = text;
        }
        own->feed(chunk, final);  // copies the chunk
        own_final = final;
    }

    /// A reader error of the own reader, located in the source's bytes.
    Result<ValueTree> located(Result<ValueTree> outcome) const {
        if (outcome || !source) return outcome;
        return source->located(std::move(outcome).error(), own->buffered(), own->buffered_offset());
    }

    const std::string document;  ///< empty when fed
    const std::vector<Kind> kinds;
    const std::vector<detail::ElementBinder::RecordKind> more;
    const ReaderOptions options;
    const bool namespaces;
    const std::uint64_t depth_limit;
    const bool fed;
    std::optional<detail::Transcoder> source;  ///< when the own reader reads transcoded input
    std::string text;  ///< the transcoded document, or the transcoded chunk fed last
    std::string kept;  ///< fed and transcoded: the source's bytes fed so far, see feed_own
    std::string head;  ///< the first bytes while choosing
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

std::string_view RecordStream::held_document() const noexcept {
    return state_->source && !state_->fed ? std::string_view(state_->text)
                                          : std::string_view(state_->document);
}

const ReaderOptions& RecordStream::held_options() const noexcept {
    static const ReaderOptions utf8;
    return state_->source && !state_->fed ? utf8 : state_->options;
}

const std::vector<std::string>& RecordStream::names_before_record() const noexcept {
    return state_->binder->names_before_record();
}

bool RecordStream::needs_input() const noexcept { return state_->needs_input; }

std::uint64_t RecordStream::bytes_read() const noexcept {
    if (state_->own) return state_->own->bytes_read();
    return state_->expat ? state_->expat->bytes_read() : 0;
}

void RecordStream::feed(std::string_view chunk, bool final) noexcept {
    State& s = *state_;
    s.needs_input = false;
    try {
        if (s.choosing()) {
            s.choose(chunk, final);
            return;
        }
        if (!s.own) {
            s.expat->feed(chunk, final);
            return;
        }
        s.feed_own(chunk, final);
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
    if (s.choosing()) {
        s.needs_input = true;
        return ValueTree();
    }
    if (s.own) {
        const detail::XmlReader::Stop stop = s.own->run();
        if (stop != detail::XmlReader::Stop::Declined) {
            if (s.source && (stop == detail::XmlReader::Stop::Finished ||
                             stop == detail::XmlReader::Stop::Failed)) {
                if (std::optional<BindError> cut = s.source->error_at_cut(*s.own)) {
                    s.ended = true;
                    return s.located(std::move(*cut));
                }
            }
            return s.located(outcome_of(*s.own, stop, *s.binder, s.needs_input, s.ended));
        }
        s.use_expat();
    }
    return outcome_of(*s.expat, s.expat->run(), *s.binder, s.needs_input, s.ended);
}

}  // namespace kestrix
