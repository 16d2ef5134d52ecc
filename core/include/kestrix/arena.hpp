// core/include/kestrix/arena.hpp: Arena, the memory of one value tree.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrix {

/// Bump-pointer memory for the strings, lists and objects of one value tree.
///
/// A tree is built node by node and dropped as a whole, so its nodes are never
/// freed one by one: each allocation moves a cursor through a block, blocks grow
/// geometrically, and everything goes at once when the arena is destroyed or
/// reset. Values are trivially destructible, so dropping a tree costs one free
/// per block instead of one per node.
///
/// Moving an arena moves its blocks, not their contents: pointers into a moved
/// arena stay valid. An arena is used by one thread at a time.
class Arena {
public:
    Arena() noexcept = default;
    ~Arena();
    Arena(Arena&& other) noexcept;
    Arena& operator=(Arena&& other) noexcept;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    /// `bytes` of uninitialised memory aligned for any Value; throws
    /// std::bad_alloc when memory is exhausted.
    void* allocate(std::size_t bytes) {
        bytes = (bytes + ALIGN - 1) & ~(ALIGN - 1);
        if (static_cast<std::size_t>(end_ - cursor_) < bytes) return allocate_slow(bytes);
        void* at = cursor_;
        cursor_ += bytes;
        return at;
    }

    /// A copy of `text` held by the arena (not NUL-terminated).
    std::string_view copy(std::string_view text);

    /// Drops everything allocated, keeping one block of moderate size for the
    /// next tree, so a stream of similar records allocates nothing after the first.
    void reset() noexcept;

    /// True when the arena holds no block.
    bool empty() const noexcept { return blocks_ == nullptr; }

private:
    static constexpr std::size_t ALIGN = 8;
    struct Block;

    void* allocate_slow(std::size_t bytes);
    void release(Block* keep) noexcept;

    Block* blocks_ = nullptr;  ///< newest first
    char* cursor_ = nullptr;
    char* end_ = nullptr;
};

}  // namespace kestrix
