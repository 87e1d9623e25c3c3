#include "platform/sized_fetch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tb::platform {
namespace {

// A queue behind a two-step call, as the spooler answers it: records of
// 16 bytes, and jobs may arrive between any two calls.
struct GrowingQueue {
  uint32_t records = 0;
  uint32_t growBy = 0;          // added after every call
  uint32_t failWith = 0;        // a failure other than "too small"
  int calls = 0;

  bool operator()(unsigned char* data, uint32_t size, uint32_t& needed, uint32_t& error) {
    ++calls;
    const uint32_t bytes = records * 16;
    bool ok = false;
    if (failWith) {
      error = failWith;
    } else if (size < bytes) {
      needed = bytes;
      error = kErrorInsufficientBuffer;
    } else {
      if (bytes) std::memset(data, 0xAB, bytes);
      ok = true;
    }
    records += growBy;
    return ok;
  }
};

TEST(FetchGrowing, AQueueThatGrowsBetweenTheCallsIsAskedAgain) {
  std::vector<unsigned char> buffer;
  uint32_t error = 0;
  // 3 records at the size query, 5 at the first fetch, 7 at the second; then
  // the queue settles and the third fetch gets all 7.
  GrowingQueue settling{3, 0};
  int grown = 0;
  auto call = [&](unsigned char* d, uint32_t s, uint32_t& n, uint32_t& e) {
    settling.growBy = grown++ < 2 ? 2 : 0;
    return settling(d, s, n, e);
  };
  EXPECT_EQ(FetchGrowing(buffer, call, error), FetchResult::kOk);
  EXPECT_EQ(buffer.size(), 7u * 16u);
  EXPECT_EQ(settling.calls, 4);  // size, too small, too small, fetch

  // One that never stops growing ends as a failure, not an endless loop.
  GrowingQueue queue{3, 2};
  EXPECT_EQ(FetchGrowing(buffer, queue, error), FetchResult::kFailed);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(queue.calls, kMaxFetchAttempts);
}

TEST(FetchGrowing, OnlyASuccessfulSizeQueryMeansNothingToFetch) {
  std::vector<unsigned char> buffer{1, 2, 3};
  uint32_t error = 0;
  GrowingQueue empty;
  EXPECT_EQ(FetchGrowing(buffer, empty, error), FetchResult::kEmpty);
  EXPECT_TRUE(buffer.empty());

  GrowingQueue stopped{0, 0, 1722};  // RPC_S_SERVER_UNAVAILABLE: the spooler is down
  EXPECT_EQ(FetchGrowing(buffer, stopped, error), FetchResult::kFailed);
  EXPECT_EQ(error, 1722u);

  // "Too small" without a larger size cannot be met.
  auto stuck = [](unsigned char*, uint32_t, uint32_t& needed, uint32_t& e) {
    needed = 0;
    e = kErrorInsufficientBuffer;
    return false;
  };
  EXPECT_EQ(FetchGrowing(buffer, stuck, error), FetchResult::kFailed);
}

TEST(FetchCounted, FormsAddedAfterTheCountLandInTheRoomAndAreKept) {
  std::vector<int> forms{1, 2, 3};
  auto count = [&] { return static_cast<int>(forms.size()); };
  size_t room = 0;
  // Like DeviceCapabilities: writes every current entry, whatever the room.
  auto fill = [&](int* data) {
    for (int i = 0; i < 5; ++i) forms.push_back(100 + i);  // added in between
    for (size_t i = 0; i < forms.size() && i < room; ++i) data[i] = forms[i];
    return static_cast<int>(forms.size());
  };
  room = CountedFetchRoom(3);
  std::vector<int> out;
  EXPECT_EQ(FetchCounted(out, count, fill), 8);
  EXPECT_EQ(out, (std::vector<int>{1, 2, 3, 100, 101, 102, 103, 104}));

  auto failing = [](int*) { return -1; };
  std::vector<int> untouched{9};
  EXPECT_EQ(FetchCounted(untouched, count, failing), -1);
  EXPECT_EQ(untouched, std::vector<int>{9});
  EXPECT_EQ(FetchCounted(untouched, [] { return 0; }, failing), 0);
}

TEST(ClampToAnswer, ADevModeNeverReachesPastTheReturnedBytes) {
  unsigned char answer[400] = {};
  EXPECT_EQ(ClampToAnswer(answer, 400, answer + 100, 220), 220u);
  // A driver that declares more private bytes than the answer holds.
  EXPECT_EQ(ClampToAnswer(answer, 400, answer + 100, 220 + 5000), 300u);
  EXPECT_EQ(ClampToAnswer(answer, 400, answer + 400, 220), 0u);
  EXPECT_EQ(ClampToAnswer(answer + 8, 392, answer, 220), 0u);
}

}  // namespace
}  // namespace tb::platform
