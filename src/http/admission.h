#pragma once
// Who may be served: connections per address, and handler slots.
// - Past `perPeer` connections of one address, a new one evicts the one of
//   that address that has waited longest (at least `evictAfter`) for its next
//   request; with none that idle it is let in only while the pool keeps room
//   for other peers (`handlers` threads short of `threads`), and refused
//   otherwise.
// - At most `handlers` requests with a body are handled at once, three
//   quarters of them (at least one) for one address.
// Thread-safe: every connection's thread calls in for its own connection.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "http/connection_limits.h"

namespace tb {

// One served connection as the admission sees it; owned by its thread, and
// registered with the admission from Admit until Leave.
struct ServedConnection {
  std::string peer;          // the address its share is counted under
  std::uintptr_t socket = 0;  // the owner's; the admission only hands it to its evict action
  // Since when it waits for its peer (clock ticks, at least 1): for the next
  // request, or for more of a head or body, or for room to write an answer;
  // 0 while the daemon itself works on a request. Only waiting ones are
  // evicted, so a peer that stalls in the middle of a request is as idle as
  // one that sends nothing.
  std::atomic<std::chrono::steady_clock::rep> waitingSince{0};
  bool evicted = false;  // under the admission's lock
  std::atomic<bool> ended{false};  // evicted: a wait for a handler slot gives up
};

class Admission {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  // Ends an evicted connection: wakes its thread, which then leaves. Runs
  // under the admission's lock, so the connection is still registered.
  using Evict = std::function<void(ServedConnection&)>;

  Admission(const ConnectionLimits& limits, Evict evict, Now now = &Clock::now);

  // Marks the connection as waiting for its peer's next request from now.
  void Waiting(ServedConnection& c) const;
  // Marks the connection as handling a request: it is not evicted meanwhile.
  static void Busy(ServedConnection& c) { c.waitingSince = 0; }

  // Whether the connection may be served; when true it is registered and
  // must Leave. A connection that has just arrived or is between quick
  // requests is never evicted, since its request may already be on the way.
  bool Admit(ServedConnection& c);
  void Leave(ServedConnection& c);

  // Waits for a handler slot within the address's share.
  void AcquireHandler(const std::string& peer);
  // As AcquireHandler for connection `c`, waiting at most `within`; false
  // when none came free, or `c` was evicted meanwhile.
  bool AcquireHandler(ServedConnection& c, std::chrono::milliseconds within);
  // Takes a handler slot when one is free within the address's share.
  bool TryAcquireHandler(const std::string& peer);
  void ReleaseHandler(const std::string& peer);

 private:
  bool HandlerFree(const std::string& peer) const;  // under slotMutex_

  const ConnectionLimits limits_;
  const Evict evict_;
  const Now now_;

  std::mutex mutex_;
  std::map<std::string, std::vector<ServedConnection*>> byPeer_;  // under mutex_
  size_t live_ = 0;  // admitted connections not evicted, of all addresses; under mutex_

  std::mutex slotMutex_;
  std::condition_variable slotFree_;
  size_t handlersBusy_ = 0;                     // under slotMutex_
  std::map<std::string, size_t> slotsByPeer_;  // under slotMutex_
};

}  // namespace tb
