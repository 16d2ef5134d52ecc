// core/src/model/arena.cpp: the blocks of an Arena.
#include "kestrix/arena.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace kestrix {

/// Header of one block; its memory follows it.
struct Arena::Block {
    Block* next;
    std::size_t size;  ///< bytes after the header

    char* begin() noexcept { return reinterpret_cast<char*>(this + 1); }
};

namespace {

/// The first block: a small record's whole tree fits in it.
constexpr std::size_t FIRST_BLOCK = 8 * 1024;
/// Blocks double up to this size; a bigger tree takes more blocks of it.
constexpr std::size_t MAX_BLOCK = 4 * 1024 * 1024;
/// The largest block `reset` keeps for the next tree: a stream of records that
/// once met a huge one does not hold on to its memory.
constexpr std::size_t KEEP_LIMIT = 256 * 1024;

}  // namespace

Arena::~Arena() { release(nullptr); }

Arena::Arena(Arena&& other) noexcept
    : blocks_(std::exchange(other.blocks_, nullptr)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      end_(std::exchange(other.end_, nullptr)) {}

Arena& Arena::operator=(Arena&& other) noexcept {
    if (this != &other) {
        release(nullptr);
        blocks_ = std::exchange(other.blocks_, nullptr);
        cursor_ = std::exchange(other.cursor_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
    }
    return *this;
}

void* Arena::allocate_slow(std::size_t bytes) {
    const std::size_t grown =
        blocks_ == nullptr ? FIRST_BLOCK : std::min(blocks_->size * 2, MAX_BLOCK);
    const std::size_t size = std::max(grown, bytes);
    static_assert(sizeof(Block) % ALIGN == 0);
    auto* block = static_cast<Block*>(::operator new(sizeof(Block) + size));
    block->next = blocks_;
    block->size = size;
    if (bytes > grown && blocks_ != nullptr) {
        // A single large request gets a block of its own, placed behind the
        // current one so that the current block's free room is not lost.
        block->next = blocks_->next;
        blocks_->next = block;
        return block->begin();
    }
    blocks_ = block;
    cursor_ = block->begin() + bytes;
    end_ = block->begin() + size;
    return block->begin();
}

std::string_view Arena::copy(std::string_view text) {
    if (text.empty()) return {};
    char* at = static_cast<char*>(allocate(text.size()));
    std::memcpy(at, text.data(), text.size());
    return std::string_view(at, text.size());
}

void Arena::reset() noexcept {
    Block* keep = nullptr;
    for (Block* b = blocks_; b != nullptr; b = b->next) {
        if (b->size <= KEEP_LIMIT && (keep == nullptr || b->size > keep->size)) keep = b;
    }
    release(keep);
    if (keep != nullptr) {
        keep->next = nullptr;
        blocks_ = keep;
        cursor_ = keep->begin();
        end_ = keep->begin() + keep->size;
    }
}

void Arena::release(Block* keep) noexcept {
    Block* b = blocks_;
    while (b != nullptr) {
        Block* next = b->next;
        if (b != keep) ::operator delete(b);
        b = next;
    }
    blocks_ = nullptr;
    cursor_ = nullptr;
    end_ = nullptr;
}

}  // namespace kestrix
