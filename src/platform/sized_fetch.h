#pragma once
// The spooler's enumeration calls answer in two steps: the size, then the
// data. What they enumerate (a print queue, the installed printers, a
// driver's forms) may grow in between, so a fetch is repeated while the
// answer is "buffer too small", a bounded number of times. Kept free of
// Windows headers so the retry logic is tested on every platform.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tb::platform {

inline constexpr uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
inline constexpr int kMaxFetchAttempts = 8;

enum class FetchResult {
  kOk,      // `buffer` holds the answer
  kEmpty,   // the size query succeeded: nothing to fetch
  kFailed,  // `error` tells why
};

// `call(data, size, needed, error)` makes one call with `size` bytes at `data`
// (null when `size` is 0). It returns true on success; otherwise it sets
// `error` and, for kErrorInsufficientBuffer, `needed` to the size now wanted.
template <typename Call>
FetchResult FetchGrowing(std::vector<unsigned char>& buffer, Call&& call, uint32_t& error) {
  buffer.clear();
  uint32_t size = 0;
  for (int attempt = 0; attempt < kMaxFetchAttempts; ++attempt) {
    uint32_t needed = 0;
    error = 0;
    if (call(size == 0 ? nullptr : buffer.data(), size, needed, error)) {
      return size == 0 ? FetchResult::kEmpty : FetchResult::kOk;
    }
    // A "too small" that asks for no more than it was given would loop.
    if (error != kErrorInsufficientBuffer || needed <= size) return FetchResult::kFailed;
    size = needed;
    buffer.assign(size, 0);
  }
  error = kErrorInsufficientBuffer;
  return FetchResult::kFailed;
}

// The count-then-fill calls (DeviceCapabilities) are not told the buffer's
// size. The buffer gets room for more entries than counted, so entries added
// between the two calls land in that room; when even that is not enough the
// whole fetch is repeated. `count()` and `fill(data)` answer as the call
// does: the number of entries, below 1 on failure (the value is returned).
inline size_t CountedFetchRoom(int count) {
  const size_t n = static_cast<size_t>(count);
  return n * 2 + 64;
}

template <typename Item, typename Count, typename Fill>
int FetchCounted(std::vector<Item>& out, Count&& count, Fill&& fill) {
  int answer = -1;
  for (int attempt = 0; attempt < kMaxFetchAttempts; ++attempt) {
    const int n = count();
    if (n <= 0) return n;
    std::vector<Item> items(CountedFetchRoom(n));
    answer = fill(items.data());
    if (answer <= 0) return answer;
    if (static_cast<size_t>(answer) <= items.size()) {
      items.resize(static_cast<size_t>(answer));
      out = std::move(items);
      return answer;
    }
  }
  return -1;
}

// The bytes of a DEVMODE found at `devmode` inside a `size`-byte answer:
// what its own header declares (dmSize + dmDriverExtra, read from the header
// by the caller) but never past the end of the answer. 0 when the DEVMODE
// does not start inside the answer.
inline size_t ClampToAnswer(const unsigned char* answer, size_t size, const unsigned char* devmode,
                            size_t declared) {
  if (devmode < answer || devmode >= answer + size) return 0;
  return std::min(declared, static_cast<size_t>(answer + size - devmode));
}

}  // namespace tb::platform
