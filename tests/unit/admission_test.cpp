#include "http/admission.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace tb {
namespace {

using std::chrono::milliseconds;
constexpr int kBusy = -1;

// An admission on a clock the test sets, recording whom it evicts.
struct Fixture {
  Fixture(size_t threads, size_t handlers, size_t perPeer)
      : admission{{.threads = threads, .handlers = handlers, .perPeer = perPeer,
                   .evictAfter = milliseconds(1000)},
                  [this](ServedConnection& c) { evicted.push_back(&c); }, [this] { return now; }} {}
  // Lets a connection in, after it waited `waitedMs` for a request (or busy).
  ServedConnection& In(const std::string& peer, int waitedMs = kBusy) {
    ServedConnection& c = connections.emplace_back();
    c.peer = peer;
    now -= milliseconds(waitedMs == kBusy ? 0 : waitedMs);
    admission.Waiting(c);
    EXPECT_TRUE(admission.Admit(c)) << peer;
    if (waitedMs == kBusy) Admission::Busy(c);
    now = start;
    return c;
  }

  const Admission::Clock::time_point start{std::chrono::seconds(100)};
  Admission::Clock::time_point now = start;
  std::vector<ServedConnection*> evicted;
  Admission admission;
  std::deque<ServedConnection> connections;  // stable addresses
};

TEST(Admission, PerAddressCapEvictsTheLongestIdleOrKeepsRoomInThePool) {
  struct Case {
    const char* name;
    size_t threads, handlers, perPeer;
    std::vector<int> ownWaitedMs;  // the address's connections already in
    size_t othersIn;               // connections of other addresses
    bool admitted;
    int evicted;  // index into ownWaitedMs, -1: none
  };
  const Case cases[] = {
      {"below the cap", 10, 2, 2, {5000}, 0, true, -1},
      {"at the cap the longest idle goes", 10, 2, 3, {1500, 4000, 2000}, 0, true, 1},
      {"idle exactly evictAfter is idle", 10, 2, 1, {1000}, 0, true, 0},
      {"a busy one never goes, however early", 10, 2, 3, {kBusy, 5000, 3000}, 0, true, 1},
      {"none idle, the pool keeps room", 10, 2, 2, {999, kBusy}, 0, true, -1},
      {"none idle, other addresses fill the pool", 6, 2, 2, {999, kBusy}, 2, false, -1},
      {"none idle, one short of the pool's room", 6, 2, 2, {kBusy, kBusy}, 1, true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(c.threads, c.handlers, c.perPeer);
    std::vector<ServedConnection*> own;
    for (int waited : c.ownWaitedMs) own.push_back(&f.In("10.0.0.1", waited));
    for (size_t i = 0; i < c.othersIn; ++i) f.In("10.0.1." + std::to_string(i));
    ServedConnection& next = f.connections.emplace_back();
    next.peer = "10.0.0.1";
    f.admission.Waiting(next);
    EXPECT_EQ(f.admission.Admit(next), c.admitted);
    std::vector<ServedConnection*> expected;
    if (c.evicted >= 0) expected.push_back(own[c.evicted]);
    EXPECT_EQ(f.evicted, expected);
    for (size_t i = 0; i < own.size(); ++i) EXPECT_EQ(own[i]->evicted, int(i) == c.evicted);
  }
}

TEST(Admission, AnEvictedConnectionLeavesThePoolOnce) {
  Fixture f(4, 2, 2);
  ServedConnection& first = f.In("10.0.0.1", 2000);
  ServedConnection& second = f.In("10.0.0.1", 2000);
  ServedConnection& third = f.connections.emplace_back();
  third.peer = "10.0.0.1";
  ASSERT_TRUE(f.admission.Admit(third));
  ASSERT_TRUE(first.evicted);
  f.admission.Leave(first);
  // Two live and two handler threads fill the pool of four.
  Admission::Busy(second);
  Admission::Busy(third);
  ServedConnection& fourth = f.connections.emplace_back();
  fourth.peer = "10.0.0.1";
  EXPECT_FALSE(f.admission.Admit(fourth));
  f.admission.Leave(second);
  EXPECT_TRUE(f.admission.Admit(fourth));
}

TEST(Admission, HandlerSlotsLeaveAQuarterToOtherAddresses) {
  struct Case {
    const char* name;
    size_t handlers;
    std::vector<std::string> held;
    std::string released;  // one slot given back first, if any
    std::string asks;
    bool granted;
  };
  const Case cases[] = {
      {"an address stops at three quarters", 4, {"a", "a", "a"}, "", "a", false},
      {"the last quarter is another's", 4, {"a", "a", "a"}, "", "b", true},
      {"all slots busy", 4, {"a", "a", "b", "b"}, "", "c", false},
      {"one slot is still one's share", 1, {}, "", "a", true},
      {"six of eight", 8, {"a", "a", "a", "a", "a"}, "", "a", true},
      {"not seven of eight", 8, {"a", "a", "a", "a", "a", "a"}, "", "a", false},
      {"a release restores the share", 4, {"a", "a", "a"}, "a", "a", true},
      {"a release frees the pool", 2, {"a", "b"}, "b", "c", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(100, c.handlers, 64);
    for (const std::string& peer : c.held) ASSERT_TRUE(f.admission.TryAcquireHandler(peer));
    if (!c.released.empty()) f.admission.ReleaseHandler(c.released);
    EXPECT_EQ(f.admission.TryAcquireHandler(c.asks), c.granted);
  }
}

}  // namespace
}  // namespace tb
