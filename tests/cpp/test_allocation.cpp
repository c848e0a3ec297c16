// The heap door's kept blocks: a large block given back is handed out again
// (that is the point of keeping it), a kept block asked for zeroed comes
// back zeroed however it was left, and two threads taking and giving back
// at once never share a block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/core/allocation.hpp"

namespace {

constexpr std::size_t kLarge = std::size_t{6} << 20;  // kept: 4 MiB and up

TEST(KeptBlocks, ALargeBlockGivenBackIsHandedOutAgain) {
  void* first = qx::memory::allocate(kLarge, false);
  ASSERT_NE(first, nullptr);
  qx::memory::release(first);
  void* second = qx::memory::allocate(kLarge, false);
  EXPECT_EQ(second, first);
  qx::memory::release(second);
}

TEST(KeptBlocks, AMuchSmallerRequestLeavesTheBlockKept) {
  void* large = qx::memory::allocate(4 * kLarge, false);
  ASSERT_NE(large, nullptr);
  qx::memory::release(large);
  void* small = qx::memory::allocate(kLarge, false);
  EXPECT_NE(small, large);
  void* again = qx::memory::allocate(4 * kLarge, false);
  EXPECT_EQ(again, large);
  qx::memory::release(small);
  qx::memory::release(again);
}

TEST(KeptBlocks, AKeptBlockAskedForZeroedComesBackZeroed) {
  auto* dirty = static_cast<unsigned char*>(qx::memory::allocate(kLarge, false));
  ASSERT_NE(dirty, nullptr);
  std::memset(dirty, 0xA5, kLarge);
  qx::memory::release(dirty);
  auto* zeroed = static_cast<unsigned char*>(qx::memory::allocate(kLarge, true));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(zeroed, dirty);
  std::vector<unsigned char> zeros(kLarge, 0);
  EXPECT_EQ(std::memcmp(zeroed, zeros.data(), kLarge), 0);
  qx::memory::release(zeroed);
}

TEST(KeptBlocks, ThreadsNeverShareABlock) {
  auto worker = [](unsigned char mark, bool* intact) {
    for (int round = 0; round < 200; ++round) {
      const std::size_t bytes = kLarge + static_cast<std::size_t>(round % 3) * 4096;
      auto* block = static_cast<unsigned char*>(qx::memory::allocate(bytes, false));
      if (block == nullptr) continue;
      std::memset(block, mark, bytes);
      std::this_thread::yield();
      for (std::size_t i = 0; i < bytes; i += 4096) *intact &= block[i] == mark;
      qx::memory::release(block);
    }
  };
  bool a = true, b = true;
  std::thread one(worker, 0x11, &a), two(worker, 0x22, &b);
  one.join();
  two.join();
  EXPECT_TRUE(a);
  EXPECT_TRUE(b);
}

}  // namespace
