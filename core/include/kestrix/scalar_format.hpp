// core/include/kestrix/scalar_format.hpp: the XML text of one scalar Value.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "kestrix/value.hpp"

namespace kestrix {

/// Room for the longest number text (24 bytes) with margin.
using FormatScratch = std::array<char, 64>;

/// The text of a scalar value: "true"/"false", integers in decimal, floats in
/// the shortest round-trip form with fixed notation for magnitudes in
/// [1e-5, 1e10), strings unchanged. Null, lists and objects have no text.
/// The result points into `scratch`, a constant, or the value's own string; no
/// allocation takes place.
std::optional<std::string_view> format_scalar(const Value& value, FormatScratch& scratch) noexcept;

}  // namespace kestrix
