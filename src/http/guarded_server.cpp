#include "http/guarded_server.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "http/admission.h"
#include "platform/socket_io.h"

// This file reaches into the HTTP library beyond its documented use, relying
// on exactly these entry points of cpp-httplib 0.11.4:
// - Server::process_and_close_socket(socket_t), a private virtual, overridden:
//   runs on a task-queue thread for each accepted socket, which it then owns
//   and must close;
// - Server::process_request(Stream&, bool close_connection,
//   bool& connection_closed, const std::function<void(Request&)>&), protected:
//   reads, routes and answers one request; the callback runs once the head is
//   parsed, before any of the body is read;
// - the protected fields svr_sock_ (INVALID_SOCKET once stop() is called),
//   keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_,
//   read_timeout_usec_, write_timeout_sec_, write_timeout_usec_ and
//   payload_max_length_;
// - detail::close_socket(socket_t);
// - the Stream interface as the library calls it: is_readable, is_writable,
//   read, write, get_remote_ip_and_port, get_local_ip_and_port, socket;
// - the public new_task_queue with ThreadPool(size_t).
// Another version may change what these do and still compile, so the build
// stops here until they are checked again.
#ifndef CPPHTTPLIB_VERSION
#error "httplib.h without CPPHTTPLIB_VERSION: check the entry points listed above"
#endif
static_assert(std::string_view(CPPHTTPLIB_VERSION) == "0.11.4",
              "another cpp-httplib version: check the entry points listed above");

namespace tb {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

thread_local bool t_bodyOverLimit = false;
thread_local bool t_bodyAbandoned = false;
thread_local socket_t t_requestSocket = INVALID_SOCKET;

platform::SocketHandle Handle(socket_t sock) { return static_cast<platform::SocketHandle>(sock); }

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

// Reads and writes one connection. Reads are bounded by the phase of the
// current request: its head by time and size, a chunked or unframed body by
// size (a body with a length is bounded by the library itself).
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, const ConnectionLimits& limits, int readTimeoutMs,
                   int writeTimeoutMs, std::size_t bodyBudget)
      : sock_(Handle(sock)),
        limits_(limits),
        readTimeoutMs_(readTimeoutMs),
        writeTimeoutMs_(writeTimeoutMs),
        bodyBudget_(bodyBudget) {}

  // Waits up to `timeoutMs` for the next request's first byte (also while
  // the server stops: a kept-alive client is still answered then). False
  // when nothing came.
  bool WaitForRequest(int timeoutMs) {
    return off_ < len_ || platform::WaitReadable(sock_, timeoutMs);
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
    platform::ShutdownSend(sock_);
    const Clock::time_point end = Clock::now() + limits_.drainTime;
    std::array<char, 16384> sink;
    while (platform::WaitReadable(sock_, MillisUntil(end))) {
      if (platform::Receive(sock_, sink.data(), sink.size()) <= 0) break;
    }
  }

  bool is_readable() const override {
    return off_ < len_ || platform::WaitReadable(sock_, readTimeoutMs_);
  }

  bool is_writable() const override { return platform::WaitWritable(sock_, writeTimeoutMs_); }

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
      if (timeout == 0 || !platform::WaitReadable(sock_, timeout)) return Break();
      if (allowed >= buffer_.size()) return Count(platform::Receive(sock_, ptr, allowed));
      const ssize_t n = platform::Receive(sock_, buffer_.data(), buffer_.size());
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
    return platform::Send(sock_, ptr, size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    if (const auto address = platform::PeerAddress(sock_)) {
      ip = address->ip;
      port = address->port;
    }
  }

  void get_local_ip_and_port(std::string& ip, int& port) const override {
    if (const auto address = platform::LocalAddress(sock_)) {
      ip = address->ip;
      port = address->port;
    }
  }

  socket_t socket() const override { return static_cast<socket_t>(sock_); }

 private:
  ssize_t Break() {
    broken_ = true;
    return -1;
  }

  ssize_t Count(ssize_t n) {
    if (n > 0) (head_ ? headRead_ : bodyRead_) += static_cast<size_t>(n);
    return n;
  }

  platform::SocketHandle sock_;
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

GuardedServer::GuardedServer(ConnectionLimits limits)
    : limits_(limits),
      admission_(std::make_unique<Admission>(
          limits_, [](ServedConnection& c) { platform::ShutdownBoth(c.socket); })) {
  new_task_queue = [n = limits_.threads] { return new httplib::ThreadPool(n); };
}

GuardedServer::~GuardedServer() = default;

bool GuardedServer::process_and_close_socket(socket_t sock) {
  // Room for chunk framing around a body of the largest allowed size.
  const std::size_t bodyBudget = payload_max_length_ + payload_max_length_ / 8;
  ConnectionStream strm(sock, limits_, TimeoutMs(read_timeout_sec_, read_timeout_usec_),
                        TimeoutMs(write_timeout_sec_, write_timeout_usec_), bodyBudget);
  t_requestSocket = sock;
  ServedConnection connection;
  connection.socket = Handle(sock);
  int port = 0;
  strm.get_remote_ip_and_port(connection.peer, port);
  admission_->Waiting(connection);

  bool ret = false;
  if (admission_->Admit(connection)) {
    size_t count = keep_alive_max_count_;
    while (svr_sock_ != INVALID_SOCKET && count > 0) {
      admission_->Waiting(connection);
      if (!strm.WaitForRequest(TimeoutMs(keep_alive_timeout_sec_, 0))) break;
      strm.BeginHead();
      const bool closeConnection = count == 1;
      bool connectionClosed = false;
      bool handling = false;
      ret = process_request(strm, closeConnection, connectionClosed, [&](httplib::Request& req) {
        Admission::Busy(connection);
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
        admission_->Waiting(connection);  // nothing useful left: may be evicted
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
  t_requestSocket = INVALID_SOCKET;
  platform::ShutdownBoth(Handle(sock));
  httplib::detail::close_socket(sock);
  return ret;
}

bool RequestBodyOverLimit() { return t_bodyOverLimit; }

void AbandonRequestBody() { t_bodyAbandoned = true; }

bool RequestPeerGone() {
  const socket_t sock = t_requestSocket;
  return sock != INVALID_SOCKET && platform::PeerClosed(Handle(sock));
}

}  // namespace tb
