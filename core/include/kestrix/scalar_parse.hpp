// core/include/kestrix/scalar_parse.hpp: scalar text of attributes and elements into Values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// Removes TAB, LF, FF, CR and SPACE (and no other byte) from both ends.
std::string_view trim_xml_space(std::string_view text) noexcept;

/// Position of the first invalid UTF-8 sequence, or nothing when `text` is valid.
std::optional<Utf8Error> check_utf8(std::string_view text) noexcept;

/// `text` as UTF-8 with every invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view text);

/// Converts one scalar text by the receiving field's kind: Str kept whole, Int,
/// Float and Bool parsed from the trimmed text, every other kind kept as trimmed
/// text. `field_name` (the Python attribute name) only appears in errors.
/// Texts are copied into `arena`; Int, Float and Bool results allocate nothing.
/// `checked_utf8`: the text is known to be valid UTF-8 (its reader checked
/// it), so it is not checked again.
Result<Value> parse_scalar(ScalarKind kind, std::string_view text, std::string_view field_name,
                           Arena& arena, bool checked_utf8 = false);

}  // namespace kestrix
