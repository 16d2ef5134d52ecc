// core/src/read/expat_reader.hpp: an owned expat parser fed from a held document or chunk by chunk.
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"

namespace kestrix::detail {

/// Owns one expat parser, without any external entity loading, decoding as
/// `ReaderOptions` say, and with namespace processing only when asked (names
/// then arrive as expanded names, see expanded_name.hpp; an unbound prefix is
/// a reader error). It reads either a borrowed document held whole in memory
/// (handed to expat straight from that memory, see `Handover`) or input fed
/// chunk by chunk through `feed`.
class ExpatReader {
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
    ErrorLocation location() const;

    /// Where the current event stands, for a start tag that may need naming
    /// later. Line and column (1-based) only for fed input, which cannot be
    /// read again and whose every chunk ends with expat's position upkeep
    /// anyway (asking early only moves that work); 0 for a held document,
    /// which is read again on the rare occasion they are needed.
    struct TagPosition {
        std::uint64_t offset = 0;
        std::uint32_t line = 0;
        std::uint32_t column = 0;
    };
    TagPosition tag_position() const noexcept;

    /// True when the current start-tag event is a self-closing tag (`<a/>`),
    /// judged from the tag's own bytes.
    bool current_tag_is_empty() const noexcept;

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
    std::shared_ptr<const ByteTable> byte_table_;
    bool follow_declaration_;
    bool fed_;
    std::size_t slice_;          ///< bytes of `document_` handed to expat per call
    std::string_view document_;  ///< the held document, or the chunk fed last
    std::size_t offset_ = 0;     ///< bytes of `document_` handed to expat so far
    bool final_ = true;          ///< `document_` ends the input
    bool namespaces_;
};

}  // namespace kestrix::detail
