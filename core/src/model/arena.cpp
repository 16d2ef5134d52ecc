// core/src/model/arena.cpp: the blocks of an Arena.
#include "kestrix/arena.hpp"

#include <algorithm>
#include <atomic>
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
/// A tree that needs a block of this size or more takes one of MAX_BLOCK kept
/// from an earlier tree, when there is one.
constexpr std::size_t CACHED_FROM = 256 * 1024;
/// The most blocks of MAX_BLOCK the process keeps for later trees (32 MiB).
constexpr std::size_t CACHE_LIMIT = 8;

/// Blocks of MAX_BLOCK bytes that large trees freed, kept for the next large
/// tree. Given back to the system, their pages would come back one page fault
/// at a time in the next tree: on a 10 MB document that cost a tenth of
/// `deserialize`'s time. Shared by every thread; each slot is taken or filled
/// by one atomic operation, so no lock is held (nor left held by a fork).
class BlockCache {
public:
    void* take() noexcept {
        for (std::atomic<void*>& slot : slots_) {
            if (slot.load(std::memory_order_relaxed) == nullptr) continue;
            if (void* block = slot.exchange(nullptr, std::memory_order_acquire)) return block;
        }
        return nullptr;
    }
    /// False when every slot is full and `block` stays the caller's.
    bool give(void* block) noexcept {
        for (std::atomic<void*>& slot : slots_) {
            void* empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

private:
    std::atomic<void*> slots_[CACHE_LIMIT] = {};
};

constinit BlockCache block_cache;

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
    std::size_t size = std::max(grown, bytes);
    static_assert(sizeof(Block) % ALIGN == 0);
    void* kept = grown >= CACHED_FROM && bytes <= grown ? block_cache.take() : nullptr;
    if (kept != nullptr) size = MAX_BLOCK;
    auto* block =
        static_cast<Block*>(kept != nullptr ? kept : ::operator new(sizeof(Block) + size));
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
        if (b != keep && !(b->size == MAX_BLOCK && block_cache.give(b))) ::operator delete(b);
        b = next;
    }
    blocks_ = nullptr;
    cursor_ = nullptr;
    end_ = nullptr;
}

}  // namespace kestrix
