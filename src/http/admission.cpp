#include "http/admission.h"

#include <algorithm>
#include <utility>

namespace tb {

Admission::Admission(const ConnectionLimits& limits, Evict evict, Now now)
    : limits_(limits), evict_(std::move(evict)), now_(std::move(now)) {}

void Admission::Waiting(ServedConnection& c) const {
  c.waitingSince = std::max<Clock::rep>(1, now_().time_since_epoch().count());
}

bool Admission::Admit(ServedConnection& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ServedConnection*>& mine = byPeer_[c.peer];
  size_t live = 0;
  ServedConnection* oldest = nullptr;
  const Clock::rep idleBefore = (now_() - limits_.evictAfter).time_since_epoch().count();
  for (ServedConnection* other : mine) {
    if (other->evicted) continue;
    ++live;
    const Clock::rep since = other->waitingSince.load();
    if (since != 0 && since <= idleBefore && (!oldest || since < oldest->waitingSince.load())) {
      oldest = other;
    }
  }
  if (live >= limits_.perPeer) {
    if (oldest) {
      oldest->evicted = true;
      --live_;
      {
        std::lock_guard<std::mutex> slots(slotMutex_);
        oldest->ended = true;
      }
      slotFree_.notify_all();
      // Its thread wakes at once and closes the socket only after Leave,
      // which waits for this lock: the socket is still open here.
      evict_(*oldest);
    } else if (live_ + limits_.handlers >= limits_.threads) {
      // Over its share with nothing idle: in only while the pool keeps
      // room for other peers.
      if (mine.empty()) byPeer_.erase(c.peer);
      return false;
    }
  }
  mine.push_back(&c);
  ++live_;
  return true;
}

void Admission::Leave(ServedConnection& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byPeer_.find(c.peer);
  if (it == byPeer_.end()) return;
  std::vector<ServedConnection*>& mine = it->second;
  if (!c.evicted) --live_;
  mine.erase(std::remove(mine.begin(), mine.end(), &c), mine.end());
  if (mine.empty()) byPeer_.erase(it);
}

// One address may hold three quarters of the slots: uploads that trickle in
// from one peer never keep every other peer's requests waiting.
bool Admission::HandlerFree(const std::string& peer) const {
  const size_t perPeer = std::max<size_t>(1, limits_.handlers * 3 / 4);
  auto it = slotsByPeer_.find(peer);
  return handlersBusy_ < limits_.handlers && (it == slotsByPeer_.end() || it->second < perPeer);
}

void Admission::AcquireHandler(const std::string& peer) {
  std::unique_lock<std::mutex> lock(slotMutex_);
  slotFree_.wait(lock, [&] { return HandlerFree(peer); });
  ++handlersBusy_;
  ++slotsByPeer_[peer];
}

bool Admission::AcquireHandler(ServedConnection& c, std::chrono::milliseconds within) {
  std::unique_lock<std::mutex> lock(slotMutex_);
  // An evicted connection's thread must not stay held by the queue.
  if (!slotFree_.wait_for(lock, within, [&] { return c.ended || HandlerFree(c.peer); }) || c.ended) {
    return false;
  }
  ++handlersBusy_;
  ++slotsByPeer_[c.peer];
  return true;
}

bool Admission::TryAcquireHandler(const std::string& peer) {
  std::lock_guard<std::mutex> lock(slotMutex_);
  if (!HandlerFree(peer)) return false;
  ++handlersBusy_;
  ++slotsByPeer_[peer];
  return true;
}

void Admission::ReleaseHandler(const std::string& peer) {
  {
    std::lock_guard<std::mutex> lock(slotMutex_);
    --handlersBusy_;
    auto it = slotsByPeer_.find(peer);
    if (it != slotsByPeer_.end() && --it->second == 0) slotsByPeer_.erase(it);
  }
  // Waiters wait on different conditions (their own address's share).
  slotFree_.notify_all();
}

}  // namespace tb
