// core/src/read/expat_reader.hpp: an owned expat parser fed from a held document or chunk by chunk.
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "expanded_name.hpp"
#include "kestrix/attribute_view.hpp"
#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"
#include "reader_control.hpp"

namespace kestrix::detail {

/// Owns one expat parser, without any external entity loading, decoding as
/// `ReaderOptions` say, and with namespace processing only when asked (names
/// then arrive as expanded names, see expanded_name.hpp; an unbound prefix is
/// a reader error). It reads either a borrowed document held whole in memory
/// (handed to expat straight from that memory, see `Handover`) or input fed
/// chunk by chunk through `feed`.
class ExpatReader final : public ReaderControl {
public:
    /// How a call of `run` ended.
    enum class Stop {
        Suspended,   ///< a handler suspended the parser; `run` resumes it
        Failed,      ///< the parser failed or a handler stopped it for good
        Finished,    ///< the whole document was read
        NeedsInput,  ///< fed input only: everything fed so far is read
    };

    /// How a held document is handed to expat, which copies what it is handed
    /// into a buffer of its own and, at the end of every call that does not
    /// finish the input (or that suspends), brings its line and column up to
    /// date by scanning every byte of the call.
    enum class Handover {
        /// 64 KiB per call: expat's copy stays small. For a reader that
        /// suspends often, which pays for the positions at every suspension.
        Chunks,
        /// One call (slices of 64 MiB beyond that): no position upkeep at all,
        /// as positions are then worked out only when asked for (on an error),
        /// for one copy of the document.
        Whole,
    };

    /// A reader of `document`, which must outlive it.
    ExpatReader(std::string_view document, const ReaderOptions& options, bool namespaces = false,
                Handover handover = Handover::Chunks);
    /// A reader of input fed through `feed`.
    explicit ExpatReader(const ReaderOptions& options, bool namespaces = false);

    XML_Parser handle() const noexcept { return parser_.get(); }
    /// True when names arrive as expanded names.
    bool namespaces() const noexcept { return namespaces_; }

    /// Fed input only, after `run` returned `NeedsInput`: the next chunk, read
    /// by the next `run` (the bytes must stay valid until it returns), and
    /// whether it is the last one.
    void feed(std::string_view chunk, bool final) noexcept;

    /// Parses on, resuming a suspended parser first, until a handler suspends or
    /// stops it, the parser fails, the document ends or fed input runs out.
    Stop run();

    /// The failure of the parser after `run` returned `Failed` on its own account,
    /// with its location. An end of input before the document element is
    /// complete becomes "Unexpected end of XML stream".
    BindError error() const;

    /// True when the failure was the end of input before the document element closed.
    bool failed_at_end_of_input() const noexcept;

    /// Bytes of input read so far, counted from the document's first byte up to
    /// the current event (or the failure); 0 before the first event.
    std::uint64_t bytes_read() const noexcept;

    /// Line and column of the current event (or of the failure, once failed).
    ErrorLocation location() const override;

    /// Where the current event stands (see TagPosition): line and column only
    /// for fed input, whose every chunk ends with expat's position upkeep
    /// anyway (asking early only moves that work).
    TagPosition tag_position() const noexcept override;

    void stop(bool resumable) noexcept override;
    void mute() noexcept override;
    void report_nodes(bool on) noexcept override;

    /// Sends expat's events to `sink`, which must outlive the reading: element
    /// starts (`on_start(name, attributes, empty)`, the name and attributes
    /// as views, `empty` for a self-closing tag, whose end event follows at
    /// once), ends (`on_end()`),
    /// text (`on_text(text, length)`) and, when `sink.wants_namespace_events()`
    /// in namespace mode, namespace declarations (`on_namespace_start(prefix,
    /// uri)`, `on_namespace_end(prefix)`, the default namespace's prefix
    /// empty). Names come as written, or in namespace mode split into the
    /// parts of expat's expanded names (see expanded_name.hpp).
    template <class Sink>
    void attach(Sink& sink) noexcept;

    /// True when the current start-tag event is a self-closing tag (`<a/>`),
    /// judged from the tag's own bytes.
    bool current_tag_is_empty() const noexcept;

    /// A name as expat gives it, as views: split in namespace mode.
    ExpandedName viewed(const XML_Char* name) const noexcept {
        return namespaces_ ? split_expanded(name) : ExpandedName{{}, name, {}};
    }
    /// expat's null-ended array of attribute names and values, as views.
    /// Exhausted memory ends the process, as in every event handler.
    std::span<const AttributeView> viewed(const XML_Char** attributes) noexcept {
        views_.clear();
        for (; attributes[0] != nullptr; attributes += 2) {
            views_.push_back({viewed(attributes[0]), attributes[1]});
        }
        return views_;
    }

private:
    struct Free {
        void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
    };

    static int XMLCALL unknown_encoding(void* self, const XML_Char* name, XML_Encoding* info);
    /// The bytes of the current event: the ones expat keeps around it, or the
    /// held document's. Empty when neither is at hand.
    std::string_view current_event_input(std::size_t* offset) const noexcept;
    /// The name of the undefined entity the parser failed at, or empty.
    std::string undefined_entity_name() const;

    std::unique_ptr<std::remove_pointer_t<XML_Parser>, Free> parser_;
    std::vector<AttributeView> views_;  ///< the attributes of the current start event
    std::shared_ptr<const ByteTable> byte_table_;
    bool follow_declaration_;
    bool fed_;
    std::size_t slice_;          ///< bytes of `document_` handed to expat per call
    std::string_view document_;  ///< the held document, or the chunk fed last
    std::size_t offset_ = 0;     ///< bytes of `document_` handed to expat so far
    bool final_ = true;          ///< `document_` ends the input
    bool namespaces_;
    void* sink_ = nullptr;  ///< what `attach` sends events to
    /// The comment and processing instruction handlers for the attached
    /// sink, installed only while `report_nodes` says so.
    XML_CommentHandler comment_handler_ = nullptr;
    XML_ProcessingInstructionHandler instruction_handler_ = nullptr;
};

template <class Sink>
void ExpatReader::attach(Sink& sink) noexcept {
    sink_ = &sink;
    XML_Parser parser = parser_.get();
    XML_SetUserData(parser, this);
    XML_SetElementHandler(
        parser,
        [](void* self, const XML_Char* name, const XML_Char** attributes) {
            auto* reader = static_cast<ExpatReader*>(self);
            static_cast<Sink*>(reader->sink_)
                ->on_start(reader->viewed(name), reader->viewed(attributes),
                           reader->current_tag_is_empty());
        },
        [](void* self, const XML_Char*) {
            static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)->on_end();
        });
    XML_SetCharacterDataHandler(parser, [](void* self, const XML_Char* text, int length) {
        static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)
            ->on_text(text, static_cast<std::size_t>(length));
    });
    comment_handler_ = [](void* self, const XML_Char* text) {
        static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)->on_comment(text);
    };
    instruction_handler_ = [](void* self, const XML_Char* target, const XML_Char* text) {
        static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)
            ->on_instruction(target, text != nullptr ? text : "");
    };
    if (namespaces_ && sink.wants_namespace_events()) {
        XML_SetNamespaceDeclHandler(
            parser,
            [](void* self, const XML_Char* prefix, const XML_Char* uri) {
                static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)
                    ->on_namespace_start(prefix != nullptr ? prefix : "",
                                         uri != nullptr ? uri : "");
            },
            [](void* self, const XML_Char* prefix) {
                static_cast<Sink*>(static_cast<ExpatReader*>(self)->sink_)
                    ->on_namespace_end(prefix != nullptr ? prefix : "");
            });
    }
}

}  // namespace kestrix::detail
