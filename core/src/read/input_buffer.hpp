// core/src/read/input_buffer.hpp: the bytes of fed input a reader still needs, and the line and
// column where they start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "block_scan.hpp"

namespace kestrix::detail {

/// A line and column (1-based, in characters) in a document, and whether the
/// byte before was a CR (so that an LF after it ends no second line).
struct TextPosition {
    std::uint64_t line = 1;
    std::uint64_t column = 1;
    bool after_cr = false;
};

/// `at` moved over the UTF-8 bytes [p, end): CR, LF and CR LF end a line,
/// and every byte but a continuation byte starts a character (a byte-order
/// mark too, as with expat). Blocks takes 16 bytes at a time where no CR is
/// among them; Bytes is the plain form it is compared against.
template <Scan S = Scan::Blocks>
inline TextPosition advance(TextPosition at, const char* p, const char* end) noexcept {
    const auto step = [&at](unsigned char c) {
        if (c == '\r' || (c == '\n' && !at.after_cr)) {
            ++at.line;
            at.column = 1;
        } else if (c != '\n' && (c & 0xC0) != 0x80) {
            ++at.column;
        }
        at.after_cr = c == '\r';
    };
#if defined(__SSE2__)
    if constexpr (S == Scan::Blocks) {
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i top = _mm_set1_epi8(static_cast<char>(0xC0));
        const __m128i continuation = _mm_set1_epi8(static_cast<char>(0x80));
        for (; end - p >= 16; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)) != 0) {
                for (int i = 0; i < 16; ++i) step(static_cast<unsigned char>(p[i]));
                continue;
            }
            const auto lfs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
            const auto others = static_cast<unsigned>(_mm_movemask_epi8(
                                    _mm_cmpeq_epi8(_mm_and_si128(v, top), continuation))) |
                                lfs;
            if (lfs == 0) {
                at.column += 16 - static_cast<unsigned>(__builtin_popcount(others));
            } else {
                // An LF right after a CR (the last byte before) ends no line.
                at.line += static_cast<unsigned>(__builtin_popcount(lfs)) -
                           ((lfs & 1) != 0 && at.after_cr ? 1 : 0);
                const int last = 31 - __builtin_clz(lfs);
                const unsigned after = 0xFFFFu & ~((2u << last) - 1);
                at.column = 1 + static_cast<unsigned>(__builtin_popcount(after & ~others));
            }
            at.after_cr = false;
        }
    }
#endif
    for (; p < end; ++p) step(static_cast<unsigned char>(*p));
    return at;
}

/// Fed input as one run of bytes: what the reader has not yet consumed,
/// followed by each new chunk. Consumed bytes are dropped when the next chunk
/// comes, so the buffer holds at most the token being read plus a chunk; the
/// line and column of its first byte are kept, as is a cursor that moves
/// forward with the positions asked for, so that each byte is counted once.
class InputBuffer {
public:
    /// Drops the first `consumed` bytes, then appends `chunk`.
    void feed(std::size_t consumed, std::string_view chunk, bool final) {
        if (consumed > 0) {
            start_ = position_at(base_ + consumed);
            base_ += consumed;
            bytes_.erase(0, consumed);
            cursor_ = base_;
            cursor_at_ = start_;
        }
        bytes_.append(chunk);
        final_ = final;
    }

    const char* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    /// The offset in the document of the first byte held.
    std::uint64_t base() const noexcept { return base_; }
    bool final() const noexcept { return final_; }

    /// The line and column of `offset` (at or after `base()`, clamped to what is held).
    TextPosition position_at(std::uint64_t offset) const noexcept {
        if (offset > base_ + bytes_.size()) offset = base_ + bytes_.size();
        if (offset < base_) offset = base_;
        if (offset < cursor_) {
            cursor_ = base_;
            cursor_at_ = start_;
        }
        const char* const from = bytes_.data() + (cursor_ - base_);
        cursor_at_ = advance(cursor_at_, from, from + (offset - cursor_));
        cursor_ = offset;
        return cursor_at_;
    }

private:
    std::string bytes_;
    std::uint64_t base_ = 0;
    TextPosition start_;
    bool final_ = false;
    mutable std::uint64_t cursor_ = 0;
    mutable TextPosition cursor_at_;
};

}  // namespace kestrix::detail
