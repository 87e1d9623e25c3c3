#include "http/guarded_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace tb {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

thread_local bool t_bodyOverLimit = false;
thread_local bool t_bodyAbandoned = false;

#ifdef _WIN32
constexpr int kSendFlags = 0;
int PollSocket(socket_t sock, short events, int timeoutMs) {
  WSAPOLLFD pfd{};
  pfd.fd = sock;
  pfd.events = events == POLLIN ? POLLRDNORM : POLLWRNORM;
  return WSAPoll(&pfd, 1, timeoutMs);
}
void ShutdownBoth(socket_t sock) { ::shutdown(sock, SD_BOTH); }
void ShutdownSend(socket_t sock) { ::shutdown(sock, SD_SEND); }
#else
constexpr int kSendFlags = MSG_NOSIGNAL;
int PollSocket(socket_t sock, short events, int timeoutMs) {
  pollfd pfd{};
  pfd.fd = sock;
  pfd.events = events;
  int r;
  do {
    r = ::poll(&pfd, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r;
}
void ShutdownBoth(socket_t sock) { ::shutdown(sock, SHUT_RDWR); }
void ShutdownSend(socket_t sock) { ::shutdown(sock, SHUT_WR); }
#endif

ssize_t Receive(socket_t sock, char* data, size_t size) {
  const int n = static_cast<int>(std::min<size_t>(size, INT_MAX));
#ifdef _WIN32
  return ::recv(sock, data, n, 0);
#else
  ssize_t r;
  do {
    r = ::recv(sock, data, static_cast<size_t>(n), 0);
  } while (r < 0 && errno == EINTR);
  return r;
#endif
}

ssize_t Send(socket_t sock, const char* data, size_t size) {
  const int n = static_cast<int>(std::min<size_t>(size, INT_MAX));
#ifdef _WIN32
  return ::send(sock, data, n, kSendFlags);
#else
  ssize_t r;
  do {
    r = ::send(sock, data, static_cast<size_t>(n), kSendFlags);
  } while (r < 0 && errno == EINTR);
  return r;
#endif
}

void AddressText(const sockaddr_storage& addr, socklen_t length, std::string& ip, int& port) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), length, host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

int MillisUntil(Clock::time_point deadline) {
  const auto left = duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

int TimeoutMs(time_t sec, time_t usec) {
  return static_cast<int>(std::min<long long>(static_cast<long long>(sec) * 1000 + usec / 1000, INT_MAX));
}

// As the library decides whether to read a body: by the method, then the
// framing.
bool CarriesBody(const httplib::Request& req) {
  if (req.has_header("Transfer-Encoding")) return true;
  const std::string length = req.get_header_value("Content-Length");
  if (!length.empty()) return length.find_first_not_of('0') != std::string::npos;
  return req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
         req.method == "DELETE" || req.method == "PRI";
}

// One served connection as the admission sees it.
struct Connection {
  socket_t sock = INVALID_SOCKET;
  std::string peer;
  // Since when it waits for its peer's next request; 0 while a request is
  // being handled. Only waiting connections may be evicted.
  std::atomic<Clock::rep> waitingSince{0};
  bool evicted = false;  // under the admission lock

  void Waiting() { waitingSince = std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()); }
  void Busy() { waitingSince = 0; }
};

// Reads and writes one connection. Reads are bounded by the phase of the
// current request: its head by time and size, a chunked or unframed body by
// size (a body with a length is bounded by the library itself).
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, const ConnectionLimits& limits, int readTimeoutMs,
                   int writeTimeoutMs, std::size_t bodyBudget)
      : sock_(sock),
        limits_(limits),
        readTimeoutMs_(readTimeoutMs),
        writeTimeoutMs_(writeTimeoutMs),
        bodyBudget_(bodyBudget) {}

  // Waits up to `timeoutMs` for the next request's first byte (also while
  // the server stops: a kept-alive client is still answered then). False
  // when nothing came.
  bool WaitForRequest(int timeoutMs) {
    return off_ < len_ || PollSocket(sock_, POLLIN, timeoutMs) > 0;
  }

  void BeginHead() {
    head_ = true;
    headRead_ = 0;
    headDeadline_ = Clock::now() + limits_.headTime;
  }

  void BeginBody(const httplib::Request& req) {
    head_ = false;
    bodyRead_ = 0;
    t_bodyOverLimit = false;
    t_bodyAbandoned = false;
    // With a length the library refuses an oversized body itself; otherwise
    // it would read until the peer stops, so the stream stops first.
    bodyBounded_ = !req.has_header("Content-Length") ||
                   req.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
  }

  // The connection cannot carry another request: its head broke a bound, or
  // a body was cut off in the middle.
  bool Broken() const { return broken_; }
  bool BodyCutOff() const { return bodyCutOff_ || t_bodyAbandoned; }

  // After a cut-off body: reads and drops what the peer still sends, for a
  // bounded time, so that it can read the answer instead of a reset.
  void DrainAfterAnswer() {
    ShutdownSend(sock_);
    const Clock::time_point end = Clock::now() + limits_.drainTime;
    std::array<char, 16384> sink;
    while (PollSocket(sock_, POLLIN, MillisUntil(end)) > 0) {
      if (Receive(sock_, sink.data(), sink.size()) <= 0) break;
    }
  }

  bool is_readable() const override {
    return off_ < len_ || PollSocket(sock_, POLLIN, readTimeoutMs_) > 0;
  }

  bool is_writable() const override { return PollSocket(sock_, POLLOUT, writeTimeoutMs_) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    if (broken_) return -1;
    size_t allowed = size;
    if (head_) {
      if (headRead_ >= limits_.headBytes) return Break();
      allowed = std::min(allowed, limits_.headBytes - headRead_);
    } else if (bodyBounded_) {
      if (bodyRead_ >= bodyBudget_) {
        t_bodyOverLimit = true;
        bodyCutOff_ = true;
        return Break();
      }
      allowed = std::min(allowed, bodyBudget_ - bodyRead_);
    }
    if (allowed == 0) return 0;
    if (off_ == len_) {
      int timeout = readTimeoutMs_;
      if (head_) timeout = std::min(timeout, MillisUntil(headDeadline_));
      if (timeout == 0 || PollSocket(sock_, POLLIN, timeout) <= 0) return Break();
      if (allowed >= buffer_.size()) return Count(Receive(sock_, ptr, allowed));
      const ssize_t n = Receive(sock_, buffer_.data(), buffer_.size());
      if (n <= 0) return n;
      off_ = 0;
      len_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(allowed, len_ - off_);
    std::memcpy(ptr, buffer_.data() + off_, n);
    off_ += n;
    return Count(static_cast<ssize_t>(n));
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    return Send(sock_, ptr, size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      AddressText(addr, length, ip, port);
    }
  }

  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      AddressText(addr, length, ip, port);
    }
  }

  socket_t socket() const override { return sock_; }

 private:
  ssize_t Break() {
    broken_ = true;
    return -1;
  }

  ssize_t Count(ssize_t n) {
    if (n > 0) (head_ ? headRead_ : bodyRead_) += static_cast<size_t>(n);
    return n;
  }

  socket_t sock_;
  const ConnectionLimits& limits_;
  int readTimeoutMs_;
  int writeTimeoutMs_;
  std::size_t bodyBudget_;
  std::array<char, 4096> buffer_{};
  size_t off_ = 0, len_ = 0;
  bool head_ = true;
  Clock::time_point headDeadline_{};
  size_t headRead_ = 0;
  bool bodyBounded_ = false;
  size_t bodyRead_ = 0;
  bool broken_ = false;
  bool bodyCutOff_ = false;
};

}  // namespace

// Who may be served: connections per address, and handler slots.
class GuardedServer::Admission {
 public:
  explicit Admission(const ConnectionLimits& limits) : limits_(limits) {}

  // Whether the connection may be served. At its address's cap, the
  // connection of that address idle the longest is evicted for it; a
  // connection that has just arrived or is between quick requests is never
  // evicted, since its request may already be on the way.
  bool Admit(Connection& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Connection*>& mine = byPeer_[c.peer];
    size_t live = 0;
    Connection* oldest = nullptr;
    const Clock::rep idleBefore =
        (Clock::now() - limits_.evictAfter).time_since_epoch().count();
    for (Connection* other : mine) {
      if (other->evicted) continue;
      ++live;
      const Clock::rep since = other->waitingSince.load();
      if (since != 0 && since <= idleBefore &&
          (!oldest || since < oldest->waitingSince.load())) {
        oldest = other;
      }
    }
    if (live >= limits_.perPeer) {
      if (oldest) {
        oldest->evicted = true;
        --live_;
        // Its thread wakes from the wait at once and closes the socket, which
        // it only does after Leave, under this lock: the socket is still open.
        ShutdownBoth(oldest->sock);
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

  void Leave(Connection& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byPeer_.find(c.peer);
    if (it == byPeer_.end()) return;
    std::vector<Connection*>& mine = it->second;
    if (!c.evicted) --live_;
    mine.erase(std::remove(mine.begin(), mine.end(), &c), mine.end());
    if (mine.empty()) byPeer_.erase(it);
  }

  // One address may hold three quarters of the slots: uploads that trickle
  // in from one peer never keep every other peer's requests waiting.
  void AcquireHandler(const std::string& peer) {
    const size_t perPeer = std::max<size_t>(1, limits_.handlers * 3 / 4);
    std::unique_lock<std::mutex> lock(slotMutex_);
    slotFree_.wait(lock, [&] {
      auto it = slotsByPeer_.find(peer);
      return handlersBusy_ < limits_.handlers &&
             (it == slotsByPeer_.end() || it->second < perPeer);
    });
    ++handlersBusy_;
    ++slotsByPeer_[peer];
  }

  void ReleaseHandler(const std::string& peer) {
    {
      std::lock_guard<std::mutex> lock(slotMutex_);
      --handlersBusy_;
      auto it = slotsByPeer_.find(peer);
      if (it != slotsByPeer_.end() && --it->second == 0) slotsByPeer_.erase(it);
    }
    // Waiters wait on different conditions (their own address's share).
    slotFree_.notify_all();
  }

 private:
  const ConnectionLimits& limits_;
  std::mutex mutex_;
  std::map<std::string, std::vector<Connection*>> byPeer_;
  size_t live_ = 0;  // admitted connections not evicted, of all addresses
  std::mutex slotMutex_;
  std::condition_variable slotFree_;
  size_t handlersBusy_ = 0;
  std::map<std::string, size_t> slotsByPeer_;
};

GuardedServer::GuardedServer(ConnectionLimits limits)
    : limits_(limits), admission_(std::make_unique<Admission>(limits_)) {
  new_task_queue = [n = limits_.threads] { return new httplib::ThreadPool(n); };
}

GuardedServer::~GuardedServer() = default;

bool GuardedServer::process_and_close_socket(socket_t sock) {
  // Room for chunk framing around a body of the largest allowed size.
  const std::size_t bodyBudget = payload_max_length_ + payload_max_length_ / 8;
  ConnectionStream strm(sock, limits_, TimeoutMs(read_timeout_sec_, read_timeout_usec_),
                        TimeoutMs(write_timeout_sec_, write_timeout_usec_), bodyBudget);
  Connection connection;
  connection.sock = sock;
  int port = 0;
  strm.get_remote_ip_and_port(connection.peer, port);
  connection.Waiting();

  bool ret = false;
  if (admission_->Admit(connection)) {
    size_t count = keep_alive_max_count_;
    while (svr_sock_ != INVALID_SOCKET && count > 0) {
      connection.Waiting();
      if (!strm.WaitForRequest(TimeoutMs(keep_alive_timeout_sec_, 0))) break;
      strm.BeginHead();
      const bool closeConnection = count == 1;
      bool connectionClosed = false;
      bool handling = false;
      ret = process_request(strm, closeConnection, connectionClosed, [&](httplib::Request& req) {
        connection.Busy();
        strm.BeginBody(req);
        // Bodies are what a request's memory and time grow with, so they
        // take the handler slots; a request without one answers from what
        // it has and never waits behind uploads.
        if (CarriesBody(req)) {
          admission_->AcquireHandler(connection.peer);
          handling = true;
        }
      });
      if (handling) admission_->ReleaseHandler(connection.peer);
      if (strm.BodyCutOff()) {
        connection.Waiting();  // nothing useful left: may be evicted
        strm.DrainAfterAnswer();
        break;
      }
      if (!ret || connectionClosed || strm.Broken()) break;
      --count;
    }
    admission_->Leave(connection);
  }
  t_bodyOverLimit = false;
  t_bodyAbandoned = false;
  ShutdownBoth(sock);
  httplib::detail::close_socket(sock);
  return ret;
}

bool RequestBodyOverLimit() { return t_bodyOverLimit; }

void AbandonRequestBody() { t_bodyAbandoned = true; }

}  // namespace tb
