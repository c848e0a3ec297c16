// Memory that a caller is about to stream through, named ahead of time so a
// loop that waits on its own dependency chain can ask for it while it waits.
#pragma once

#include <cstdint>

namespace qx {

struct Warmup {
  struct Range {
    const char* begin = nullptr;
    std::uint64_t bytes = 0;
    bool write = false;  // the caller will store to it
  };
  static constexpr int kMaxRanges = 6;
  Range ranges[kMaxRanges];
  int count = 0;

  // Ranges past the sixth are left out: they only cost time to ask for.
  void add(const void* begin, std::uint64_t bytes, bool write) {
    if (count < kMaxRanges && bytes > 0) {
      ranges[count++] = {static_cast<const char*>(begin), bytes, write};
    }
  }

  // Asks for each range up to the share done / total of its bytes, from
  // where the last call stopped (asked[r], per range): called as a loop
  // progresses, it spreads the transfers over the loop.
  void ask(std::uint64_t* asked, std::uint64_t done, std::uint64_t total) const {
    constexpr std::uint64_t kLine = 64;
    for (int r = 0; r < count; ++r) {
      const Range& range = ranges[r];
      const auto upto =
          static_cast<std::uint64_t>(static_cast<unsigned __int128>(range.bytes) * done / total);
      for (std::uint64_t b = asked[r]; b < upto; b += kLine) {
        if (range.write) {
          __builtin_prefetch(range.begin + b, 1, 3);
        } else {
          __builtin_prefetch(range.begin + b, 0, 3);
        }
      }
      if (upto > asked[r]) asked[r] = (upto + kLine - 1) / kLine * kLine;
    }
  }
};

}  // namespace qx
