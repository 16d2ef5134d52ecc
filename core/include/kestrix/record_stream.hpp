// core/include/kestrix/record_stream.hpp: RecordStream, the records of one document, one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/error.hpp"
#include "kestrix/reader_options.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// Reads the elements of a document that a tag selects, at any depth, and
/// binds each to one schema, one record per call of `next`. The tag is a
/// local name, a prefixed name, or `{uri}local` (read namespace-aware). One
/// reader serves the whole stream and is suspended between calls, so memory
/// beyond the document is bounded by the largest record.
///
/// A record is bound like a whole document's root element: it is not tested for
/// nil and the nesting limit counts its own frame as the first. A matching
/// element inside a record belongs to that record. After an error inside a
/// record the scan goes on from where the error left the reader, so the rest of
/// that record is scanned like any other content.
///
/// The document is either held whole (a copy of it) or fed chunk by chunk:
/// then `next` asks for input (`needs_input`) whenever it has read everything
/// fed so far, and memory stays bounded by the largest record plus a chunk.
/// Chunk boundaries fall anywhere; records and errors are the same.
///
/// A stream may read several kinds of records, each its tag and schema: an
/// element is a record of the first kind whose tag selects it, and records of
/// all kinds come in document order (the root object's schema says which).
class RecordStream {
public:
    /// One kind of record: the elements `tag` selects, bound to `schema`.
    struct Kind {
        std::shared_ptr<const ClassSchema> schema;
        std::string tag;
    };

    /// A stream over its own copy of `document`.
    RecordStream(std::string document, std::shared_ptr<const ClassSchema> schema, std::string tag,
                 std::uint64_t limit, const ReaderOptions& options = {});
    /// A stream of input fed through `feed`.
    RecordStream(std::shared_ptr<const ClassSchema> schema, std::string tag, std::uint64_t limit,
                 const ReaderOptions& options);
    /// The same over several kinds of records (at least one).
    RecordStream(std::string document, std::vector<Kind> kinds, std::uint64_t limit,
                 const ReaderOptions& options = {});
    RecordStream(std::vector<Kind> kinds, std::uint64_t limit, const ReaderOptions& options);
    ~RecordStream();
    RecordStream(RecordStream&&) noexcept;
    RecordStream& operator=(RecordStream&&) noexcept;

    /// The next record as a tree whose root is a `Value::Object`; a tree with an
    /// absent root (`root.is_absent()`) once the document is exhausted, also for
    /// an empty document or one that ends outside any record; or the error of
    /// that record. A document that ends inside a record gives "Unexpected end
    /// of XML stream" for it; a reader error is reported once, after which the
    /// stream has ended.
    ///
    /// Each record's tree owns its memory: it stays valid while the stream reads
    /// on, until the caller drops it, so records can be read ahead in batches.
    Result<ValueTree> next();

    /// Gives back a record's tree the caller is done with, so that its memory
    /// holds a later record instead of being allocated afresh. Optional:
    /// dropping the tree frees its memory instead.
    void recycle(ValueTree&& tree) noexcept;

    /// True when the last `next` returned an absent Value because it has read
    /// all input fed so far; `feed` the next chunk and call `next` again.
    bool needs_input() const noexcept;

    /// Bytes of the document read so far (fed or held), up to where the last
    /// `next` stopped: how far the stream has gone, e.g. to bound how much a
    /// caller reads ahead.
    std::uint64_t bytes_read() const noexcept;

    /// The next chunk of a fed stream, `final` when no input follows it. The
    /// bytes must stay valid until the following `next` returns. The first
    /// chunk should hold at least the document's first 4 bytes (or all of a
    /// shorter one): when decoding as declared, expat tells UTF-16 from the
    /// first bytes it is given.
    void feed(std::string_view chunk, bool final) noexcept;

    /// The document the stream reads whole (empty for a fed stream): its
    /// copy, or the UTF-8 made from it when it was transcoded to be read.
    std::string_view held_document() const noexcept;
    /// How held_document() is decoded, to read it again.
    const ReaderOptions& held_options() const noexcept;

    /// The first distinct element names (as written, at most 10) the stream
    /// met before its first record: what a document that holds no record
    /// holds instead.
    const std::vector<std::string>& names_before_record() const noexcept;

    /// The schema of the first kind of record.
    const ClassSchema& schema() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kestrix
