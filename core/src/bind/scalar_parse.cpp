// core/src/bind/scalar_parse.cpp: scalar text of attributes and elements into Values.
#include "kestrix/scalar_parse.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "kestrix/qname.hpp"

namespace kestrix {

namespace {

constexpr std::string_view EXPECTED_INTEGER = "integer";
constexpr std::string_view EXPECTED_FLOAT = "float";
constexpr std::string_view EXPECTED_BOOLEAN = "boolean ('true', 'false', '1', '0')";

constexpr bool is_xml_space(char c) noexcept {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != lower_word[i]) return false;
    }
    return true;
}

/// Kept out of line: building the three strings of an error must not weigh on
/// the successful path, which is taken for nearly every scalar of a document.
[[gnu::noinline, gnu::cold]] BindError parse_failure(std::string_view field_name,
                                                     std::string_view text,
                                                     std::string_view expected) {
    return BindError::scalar_parse(std::string(field_name), lossy_utf8(text), expected);
}

/// Optional sign, then ASCII digits only; the whole signed 64-bit range, and
/// an error (never a wrap-around) beyond it.
std::optional<std::int64_t> parse_int64(std::string_view s) noexcept {
    bool negative = false;
    std::size_t i = 0;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return std::nullopt;
    // Magnitudes are gathered unsigned so that -2^63, whose magnitude has no
    // positive int64 counterpart, is reachable.
    const std::uint64_t limit =
        negative ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t magnitude = 0;
    // Eighteen digits never pass the limit (10^18 - 1 < 2^63 - 1): only the
    // digits after them are checked, with a division each.
    const std::size_t unchecked = std::min(s.size(), i + 18);
    for (; i < unchecked; ++i) {
        if (!is_digit(s[i])) return std::nullopt;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(s[i] - '0');
    }
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(s[i] - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    // 0 - magnitude in unsigned arithmetic, read back as two's complement.
    return static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
}

/// For a decimal number that the float reader found out of range: whether its
/// magnitude lies above 1 (an overflow) rather than below it (an underflow).
/// `body` is the unsigned number text, already known to be well formed.
bool magnitude_at_least_one(std::string_view body) noexcept {
    // Decimal exponent of the first nonzero digit (0 for '5', 2 for '500',
    // -3 for '0.005'); the explicit exponent is added below. Both saturate far beyond
    // any double's range, so absurd exponents cannot overflow the arithmetic.
    constexpr std::int64_t CAP = std::int64_t{1} << 52;
    std::int64_t lead = 0;
    bool seen_nonzero = false;
    bool after_point = false;
    std::size_t i = 0;
    for (; i < body.size() && (is_digit(body[i]) || body[i] == '.'); ++i) {
        const char c = body[i];
        if (c == '.') {
            after_point = true;
        } else if (!seen_nonzero) {
            if (c != '0') {
                seen_nonzero = true;
                if (after_point) --lead;
            } else if (after_point) {
                --lead;
            }
        } else if (!after_point && lead < CAP) {
            ++lead;
        }
    }
    std::int64_t exponent = 0;
    if (i < body.size()) {  // 'e' or 'E', optional sign, digits
        ++i;
        bool negative = false;
        if (body[i] == '+' || body[i] == '-') negative = body[i++] == '-';
        for (; i < body.size(); ++i) {
            if (exponent < CAP) exponent = exponent * 10 + (body[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return lead + exponent >= 0;
}

/// Whether double arithmetic rounds each operation once, to double precision:
/// then one multiplication or division of two exactly held values is correctly
/// rounded, which the fast decimal reader below relies on.
constexpr bool DOUBLE_OPS_ROUND_ONCE =
    std::numeric_limits<double>::is_iec559 && FLT_EVAL_METHOD == 0;

/// 10^0 .. 10^22: every one is held exactly by a double (10^23 is not).
constexpr double EXACT_POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int MAX_EXACT_POWER = 22;
constexpr std::uint64_t MAX_EXACT_INTEGER = std::uint64_t{1} << 53;

constexpr std::uint64_t BYTES_01 = 0x0101010101010101u;

/// Texts of 4 to 8 bytes made of digits and at most one point (12.5,
/// 52341.7, 00012.50), read a word at a time: the text is loaded as one
/// little-endian word, the point found and squeezed out, and the digits
/// combined by three multiplications instead of one step per byte. Gives
/// nullopt for any other text, which the bytewise reader then takes.
inline std::optional<double> parse_plain_word(std::string_view body) noexcept {
    if constexpr (std::endian::native != std::endian::little) return std::nullopt;
    const std::size_t n = body.size();
    if (n < 4 || n > 8) return std::nullopt;
    // Two overlapping four-byte loads; the bytes they share are equal, so
    // OR-ing them is exact, and the bytes past the text are zero.
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, body.data(), 4);
    std::memcpy(&tail, body.data() + n - 4, 4);
    const std::uint64_t word = head | (std::uint64_t{tail} << (8 * (n - 4)));
    if ((word & (BYTES_01 * 0x80)) != 0) return std::nullopt;
    // With every byte below 0x80 no byte addition carries into the next:
    // b + 0x50 has its high bit set for b >= '0', b + 0x46 for b > '9'.
    const std::uint64_t in_text = ~std::uint64_t{0} >> (8 * (8 - n));
    const std::uint64_t digit_bits = (word + BYTES_01 * 0x50) & ~(word + BYTES_01 * 0x46);
    const std::uint64_t others = ~digit_bits & in_text & (BYTES_01 * 0x80);
    std::uint64_t digits = word;
    std::size_t count = n;
    int exponent = 0;
    if (others != 0) {
        if ((others & (others - 1)) != 0) return std::nullopt;  // more than one
        const int at = std::countr_zero(others) / 8;
        if (body[static_cast<std::size_t>(at)] != '.') return std::nullopt;
        const std::uint64_t below = (std::uint64_t{1} << (8 * at)) - 1;
        digits = (word & below) | ((word >> (8 * at) >> 8) << (8 * at));
        --count;
        exponent = at - static_cast<int>(count);
    }
    // Digit values, shifted up into an eight-digit group whose missing
    // leading digits are zero. The zero bytes above the digits borrow when
    // '0' is taken from them, but they are shifted out.
    std::uint64_t v = (digits - BYTES_01 * '0') << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32)))) >>
        32;
    return static_cast<double>(static_cast<std::int64_t>(v)) / EXACT_POWERS_OF_TEN[-exponent];
}

/// The common decimal texts (digits, an optional point, an optional exponent)
/// whose value is m * 10^e with an integer m up to 2^53 and |e| small enough
/// that 10^|e| is exact: one IEEE multiplication or division then yields the
/// correctly rounded double, the same bits as from_chars, at a fraction of its
/// cost. Any other text, including every malformed one, gives nullopt and is
/// left to from_chars, so results and errors stay those of the full reader.
/// `body` is unsigned and starts with a digit or a point.
inline std::optional<double> parse_short_decimal(std::string_view body) noexcept {
    if constexpr (!DOUBLE_OPS_ROUND_ONCE) return std::nullopt;
    // Longer texts are rare; the bound also keeps the counts below small.
    if (body.size() > 40) return std::nullopt;
    if (const std::optional<double> word = parse_plain_word(body)) return word;
    const char* p = body.data();
    const char* const end = p + body.size();
    // Leading zeros add nothing to m and cost none of its digits.
    while (p != end && *p == '0') ++p;
    bool any_digit = p != body.data();
    std::uint64_t m = 0;
    const char* digits = p;
    for (; p != end && is_digit(*p); ++p) m = m * 10 + static_cast<std::uint64_t>(*p - '0');
    std::ptrdiff_t significant = p - digits;
    any_digit |= significant != 0;
    int exponent = 0;
    if (p != end && *p == '.') {
        const char* const fraction = ++p;
        if (significant == 0) {
            while (p != end && *p == '0') ++p;
        }
        digits = p;
        for (; p != end && is_digit(*p); ++p) m = m * 10 + static_cast<std::uint64_t>(*p - '0');
        significant += p - digits;
        exponent = -static_cast<int>(p - fraction);
        any_digit |= p != fraction;
    }
    // Up to 19 digits m cannot have wrapped: 10^19 - 1 fits 64 bits.
    if (!any_digit || significant > 19) return std::nullopt;
    if (p != end) {
        if (*p != 'e' && *p != 'E') return std::nullopt;
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        if (p == end) return std::nullopt;
        int explicit_exponent = 0;
        for (; p != end; ++p) {
            if (!is_digit(*p)) return std::nullopt;
            explicit_exponent = explicit_exponent * 10 + (*p - '0');
            if (explicit_exponent > 999) return std::nullopt;
        }
        exponent += negative ? -explicit_exponent : explicit_exponent;
    }
    if (m == 0) return 0.0;
    // Trailing zeros move into the exponent when m is too large without them.
    while (m > MAX_EXACT_INTEGER) {
        if (m % 10 != 0) return std::nullopt;
        m /= 10;
        ++exponent;
    }
    if (exponent < 0) {
        if (exponent < -MAX_EXACT_POWER) return std::nullopt;
        return static_cast<double>(static_cast<std::int64_t>(m)) / EXACT_POWERS_OF_TEN[-exponent];
    }
    if (exponent > MAX_EXACT_POWER) {
        // A few more powers of ten fit when they can be moved into m and m
        // stays an exact integer: 12e30 is 12e8 * 1e22.
        const int moved = exponent - MAX_EXACT_POWER;
        if (moved > 15) return std::nullopt;
        const auto factor = static_cast<std::uint64_t>(EXACT_POWERS_OF_TEN[moved]);
        if (m > MAX_EXACT_INTEGER / factor) return std::nullopt;
        m *= factor;
        exponent = MAX_EXACT_POWER;
    }
    return static_cast<double>(static_cast<std::int64_t>(m)) * EXACT_POWERS_OF_TEN[exponent];
}

/// Optional sign, then digits with an optional point (at least one digit) and an
/// optional exponent, or one of the words nan, inf, infinity in any case. The
/// whole text must be consumed. Overflow gives infinity and underflow zero.
std::optional<double> parse_double(std::string_view s) noexcept {
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return std::nullopt;
    double value = 0.0;
    if (is_digit(body[0]) || body[0] == '.') {
        // The reader's own grammar already refuses hexadecimal and a lone
        // point; starting at a digit or point keeps a second sign and the
        // words out of this branch.
        if (const std::optional<double> quick = parse_short_decimal(body)) {
            return negative ? -*quick : *quick;
        }
        const char* first = body.data();
        const char* last = first + body.size();
        const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ptr != last) return std::nullopt;
        if (ec == std::errc::result_out_of_range) {
            value = magnitude_at_least_one(body) ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc{}) {
            return std::nullopt;
        }
    } else if (equals_ignoring_ascii_case(body, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (equals_ignoring_ascii_case(body, "inf") ||
               equals_ignoring_ascii_case(body, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<bool> parse_bool(std::string_view s) noexcept {
    if (s == "true" || s == "1") return true;
    if (s == "false" || s == "0") return false;
    return std::nullopt;
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

/// trim_xml_space, visible here so that parse_scalar's calls are inlined.
constexpr std::string_view trimmed(std::string_view text) noexcept {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_xml_space(text[begin])) ++begin;
    while (end > begin && is_xml_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string_view trim_xml_space(std::string_view text) noexcept { return trimmed(text); }

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Texts are mostly ASCII: eight bytes at a time while no high bit is set.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if ((word & 0x8080808080808080u) != 0) break;
            i += 8;
        }
        if (i == size) break;
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Each sequence is checked byte by byte; the error length is the number
        // of bytes that still formed a valid prefix (the maximal subpart), and
        // the text ending before a needed byte leaves the length unknown.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        std::size_t width = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) low = 0x90;   // no overlong forms
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            return Utf8Error{i, 1};
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k >= size) return Utf8Error{i, std::nullopt};
            const unsigned char b = bytes[i + k];
            const bool ok = k == 1 ? (b >= low && b <= high) : is_continuation(b);
            if (!ok) return Utf8Error{i, static_cast<std::uint8_t>(k)};
        }
        i += width;
    }
    return std::nullopt;
}

std::string lossy_utf8(std::string_view text) {
    constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    while (true) {
        const std::optional<Utf8Error> error = check_utf8(text);
        if (!error) {
            out.append(text);
            return out;
        }
        out.append(text.substr(0, error->valid_up_to));
        out.append(REPLACEMENT);
        if (!error->error_len) return out;  // the rest is one cut-off sequence
        text.remove_prefix(error->valid_up_to + *error->error_len);
    }
}

Result<Value> parse_scalar(ScalarKind kind, std::string_view text, std::string_view field_name,
                           Arena& arena, bool checked_utf8) {
    switch (kind) {
        case ScalarKind::Str:
            if (checked_utf8) return Value::string(arena.copy(text));
            if (auto error = check_utf8(text)) return BindError::invalid_utf8(*error);
            return Value::string(arena.copy(text));
        case ScalarKind::Int:
            if (auto i = parse_int64(trimmed(text))) return Value::integer(*i);
            return parse_failure(field_name, text, EXPECTED_INTEGER);
        case ScalarKind::Float:
            if (auto d = parse_double(trimmed(text))) return Value::floating(*d);
            return parse_failure(field_name, text, EXPECTED_FLOAT);
        case ScalarKind::Bool:
            if (auto b = parse_bool(trimmed(text))) return Value::boolean(*b);
            return parse_failure(field_name, text, EXPECTED_BOOLEAN);
        case ScalarKind::QName:
            return parse_qname(text, nullptr, field_name, arena);
        case ScalarKind::Decimal:
        case ScalarKind::XmlDate:
        case ScalarKind::XmlDateTime:
        case ScalarKind::XmlTime:
        case ScalarKind::XmlDuration:
        case ScalarKind::Other:
            break;
    }
    // Kinds whose text is turned into a Python object later travel as
    // trimmed text.
    const std::string_view kept = trimmed(text);
    if (checked_utf8) return Value::string(arena.copy(kept));
    if (auto error = check_utf8(kept)) return BindError::invalid_utf8(*error);
    return Value::string(arena.copy(kept));
}

}  // namespace kestrix
