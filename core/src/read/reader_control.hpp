// core/src/read/reader_control.hpp: what the binder may ask of the reader that feeds it events.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrix/error.hpp"

namespace kestrix::detail {

/// Where the current event stands, for a start tag that may need naming
/// later. Line and column (1-based) only where the input cannot be read again
/// (fed input); 0 for a held document, which is read again on the rare
/// occasion they are needed.
struct TagPosition {
    std::uint64_t offset = 0;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

/// The reader side of the seam between a reader and the binder. The reader
/// sends element, text and namespace events to its sink (the binder) through
/// plain member calls; the binder answers through this interface, which it
/// uses at most a few times per element, never per character.
class ReaderControl {
public:
    /// Ends the reading from inside an event: `resumable` suspends it (the
    /// next run goes on after this event), otherwise it stops for good and the
    /// run reports a failure.
    virtual void stop(bool resumable) noexcept = 0;
    /// Sends no more element or text events, but reads on to the end of the
    /// input, so that the reader's own checks of what follows still run.
    virtual void mute() noexcept = 0;
    /// Line and column of the current event.
    virtual ErrorLocation location() const = 0;
    /// Where the current start tag stands.
    virtual TagPosition tag_position() const noexcept = 0;
    /// Starts (or ends) reporting comments and processing instructions to
    /// the sink, which wants them only inside content it keeps whole; a
    /// reader that cannot leaves them out.
    virtual void report_nodes(bool) noexcept {}
    /// The document, when the reader reads one held whole in memory that
    /// outlives the reading: text sent from inside it may be kept by pointer
    /// instead of copied. Empty otherwise.
    virtual std::string_view held_document() const noexcept { return {}; }
    /// True when the reader itself checks that all it reads is UTF-8, so
    /// that the text and attribute values it sends need no second check.
    virtual bool checks_utf8() const noexcept { return false; }

protected:
    ~ReaderControl() = default;
};

}  // namespace kestrix::detail
