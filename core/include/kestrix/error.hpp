// core/include/kestrix/error.hpp: BindError, the one failure value of the core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrix {

/// The nesting limit: open class elements a document may hold, root included.
inline constexpr std::uint64_t MAX_DEPTH = 256;

/// Where a UTF-8 check failed, counted from the start of the checked text.
struct Utf8Error {
    std::uint64_t valid_up_to = 0;
    /// Length (1 to 3) of the bad sequence; absent when the text ends inside it.
    std::optional<std::uint8_t> error_len;
};

/// Where in a document an error was met: 1-based line and column, the column
/// counted in characters; `entity` names an undefined entity reference.
struct ErrorLocation {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::string entity;
};

/// The failure value of every core operation. Exactly one kind is held.
class BindError {
public:
    enum class Kind : std::uint8_t {
        XmlReader,
        InvalidUtf8,
        ScalarParse,
        Schema,
        Serialization,
        DepthExceeded,
        XmlParse,
        Unescape,
    };

    static BindError xml_reader(std::uint64_t position, std::string error);
    static BindError invalid_utf8(Utf8Error error);
    /// `expected` is one of "integer", "float", "boolean ('true', 'false', '1', '0')".
    static BindError scalar_parse(std::string field, std::string got, std::string_view expected);
    static BindError schema(std::string message);
    static BindError serialization(std::string message);
    static BindError depth_exceeded(std::uint64_t limit, std::uint64_t current);
    static BindError xml_parse(std::string error);
    static BindError unescape(std::string error);

    Kind kind() const noexcept { return kind_; }
    /// The text shown to users, e.g. "Schema error: Unexpected end of XML stream".
    std::string message() const;

    // Fields; only those of the held kind are meaningful.
    std::uint64_t position() const noexcept { return a_; }  // XmlReader
    std::uint64_t limit() const noexcept { return a_; }     // DepthExceeded
    std::uint64_t current() const noexcept { return b_; }   // DepthExceeded
    const Utf8Error& utf8() const noexcept { return utf8_; }
    /// Reader text (XmlReader, XmlParse, Unescape), field (ScalarParse) or message.
    const std::string& text() const noexcept { return text_; }
    const std::string& got() const noexcept { return got_; }  // ScalarParse
    std::string_view expected() const noexcept { return expected_; }

    /// Where the reader stood when the error was met, for errors met while
    /// reading a document; it is not part of the message.
    const std::optional<ErrorLocation>& location() const noexcept { return location_; }
    void set_location(ErrorLocation location) { location_ = std::move(location); }

private:
    explicit BindError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::uint64_t a_ = 0;
    std::uint64_t b_ = 0;
    Utf8Error utf8_;
    std::string text_;
    std::string got_;
    std::string_view expected_;
    std::optional<ErrorLocation> location_;
};

/// A result or a BindError. The core never throws on bad input: every failure
/// on input is returned this way.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}          // NOLINT
    Result(BindError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    BindError& error() & { return std::get<1>(v_); }
    BindError&& error() && { return std::get<1>(std::move(v_)); }
    const BindError& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, BindError> v_;
};

/// Success or a BindError, for operations that produce nothing else.
class Status {
public:
    Status() = default;
    Status(BindError error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    BindError& error() & { return *error_; }
    BindError&& error() && { return std::move(*error_); }
    const BindError& error() const& { return *error_; }

private:
    std::optional<BindError> error_;
};

}  // namespace kestrix
