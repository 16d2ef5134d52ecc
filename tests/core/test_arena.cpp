// tests/core/test_arena.cpp: large trees' blocks kept for later trees.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kestrix/arena.hpp"

using kestrix::Arena;

namespace {

// Two arenas filled in turn with ~6 MB each, then dropped or reset: the blocks
// one frees are taken by the next large ones, never while still in use.
TEST(Arena, LargeTreesReuseBlocksWithoutSharingThem) {
    const auto text = [](int i, char base) { return std::string(300, char(base + i % 26)); };
    Arena kept;
    for (int round = 0; round < 3; ++round) {
        Arena other;
        std::vector<std::string_view> in_kept;
        std::vector<std::string_view> in_other;
        for (int i = 0; i < 20000; ++i) {
            in_kept.push_back(kept.copy(text(i, 'a')));
            in_other.push_back(other.copy(text(i, 'A')));
        }
        for (int i = 0; i < 20000; ++i) {
            ASSERT_EQ(in_kept[i], text(i, 'a')) << round << " " << i;
            ASSERT_EQ(in_other[i], text(i, 'A')) << round << " " << i;
        }
        kept.reset();
    }
}

}  // namespace
