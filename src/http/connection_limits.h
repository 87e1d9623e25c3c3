#pragma once
// The bounds the guarded server keeps each connection and each peer within.
#include <chrono>
#include <cstddef>

namespace tb {

struct ConnectionLimits {
  std::chrono::milliseconds headTime{5000};  // whole request head, from its first byte
  std::size_t headBytes = 256 * 1024;
  std::size_t threads = 192;                 // connections served at once
  std::size_t handlers = 32;                 // requests with a body handled at once
  std::size_t perPeer = 64;                  // connections of one address
  std::chrono::milliseconds evictAfter{1000};  // waiting this long makes a connection idle
  // A body must keep pace: after the head, `bodyGrace` plus one second for
  // every `bodyBytesPerSecond` bytes already read (a 64 MiB body may take
  // about 17 minutes; a trickle ends within seconds).
  std::chrono::milliseconds bodyGrace{5000};
  std::size_t bodyBytesPerSecond = 64 * 1024;
  // Longest wait for a handler slot; then 503.
  std::chrono::milliseconds slotWait{5000};
  // After a refused oversized body: how long its rest is read and dropped so
  // that the client, still sending, gets to read the answer.
  std::chrono::milliseconds drainTime{5000};
};

}  // namespace tb
