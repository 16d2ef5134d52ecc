// binding/src/element_notes.hpp: notes that say where in the document, and in
// which element, an object failed to build: its start tag's line and column,
// and the names a required field looked for beside the names the element had.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

#include "kestrix/reader_options.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::py {

struct CompiledClass;

/// The document the objects being built on this thread were read from, when
/// it is still held: failures then look the element up again in it. Set for
/// the duration of one build, restored when the scope ends.
class DocumentScope {
public:
    /// `document` empty: not held (a stream), positions come from the tree.
    DocumentScope(std::string_view document, const ReaderOptions& options) noexcept;
    ~DocumentScope();
    DocumentScope(const DocumentScope&) = delete;
    DocumentScope& operator=(const DocumentScope&) = delete;

private:
    const DocumentScope* outer_;

public:
    std::string_view document;
    const ReaderOptions& options;
};

/// After `cls(...)` raised for `obj`: adds a note per required field that no
/// element or attribute filled (the XML name looked for, the names the
/// element had), then one with the line and column of the element's start
/// tag. The exception stays the caller's.
void note_construction_failure(const ObjectValue& obj, const CompiledClass* compiled);

/// After converting field `field` of `owner` (item `item` of a list) raised:
/// adds a note with the line and column where that value stands.
void note_value_position(const ObjectValue& owner, std::size_t field,
                         std::optional<std::size_t> item);

}  // namespace kestrix::py
