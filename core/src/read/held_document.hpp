// core/src/read/held_document.hpp: which reader reads a document held whole in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::detail {

/// The reader of a held document: expat, or kestrix's own XmlReader, which
/// hands to expat what it does not take (see XmlReader and Transcoder).
enum class HeldReader : std::uint8_t { Expat, Own };

/// Binds the document element of `document` to `root` as parse_document
/// does, read by `reader`; the element's name goes to `element` when given,
/// and the UTF-8 the own reader read to `transcoded` when it was made from
/// another encoding.
Result<ValueTree> read_held(std::string_view document, const ClassSchema& root, std::uint64_t limit,
                            const ReaderOptions& options, std::string* element, HeldReader reader,
                            std::string* transcoded = nullptr);

}  // namespace kestrix::detail
