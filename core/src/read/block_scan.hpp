// core/src/read/block_scan.hpp: finding the end of a run of text or attribute value, a block at a
// time.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix::detail {

/// Which bytes end a run: up to three markup bytes, every byte of 0x80 and
/// above (the start of a character that needs decoding), every control byte
/// and CR (which needs normalizing); tab and LF too unless they pass.
struct RunStops {
    char a;
    char b;
    char c;
    bool tab_and_lf_pass;
};

/// How runs are scanned: 16 bytes at a time with SSE2 (every x86-64 has it),
/// or a byte at a time through a table, the portable form (and the one
/// compared against).
enum class Scan : std::uint8_t { Blocks, Bytes };

/// The first byte in [p, end) that `stops` name, or `end`.
template <Scan S>
inline const char* find_run_stop(const char* p, const char* end, const RunStops& stops) noexcept {
#if defined(__SSE2__)
    if constexpr (S == Scan::Blocks) {
        const __m128i a = _mm_set1_epi8(stops.a);
        const __m128i b = _mm_set1_epi8(stops.b);
        const __m128i c = _mm_set1_epi8(stops.c);
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i tab = _mm_set1_epi8('\t');
        const __m128i lf = _mm_set1_epi8('\n');
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // Signed: bytes of 0x80 and above compare below 0x20 too.
            __m128i low = _mm_cmplt_epi8(v, space);
            if (stops.tab_and_lf_pass) {
                low = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                                       low);
            }
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(low, _mm_cmpeq_epi8(v, a)),
                             _mm_or_si128(_mm_cmpeq_epi8(v, b), _mm_cmpeq_epi8(v, c)));
            const int bits = _mm_movemask_epi8(hit);
            if (bits != 0) return p + __builtin_ctz(static_cast<unsigned>(bits));
            p += 16;
        }
    }
#endif
    for (; p < end; ++p) {
        const auto u = static_cast<unsigned char>(*p);
        if (u < 0x20) {
            if (!stops.tab_and_lf_pass || (u != '\t' && u != '\n')) return p;
        } else if (u >= 0x80 || *p == stops.a || *p == stops.b || *p == stops.c) {
            return p;
        }
    }
    return end;
}

}  // namespace kestrix::detail
