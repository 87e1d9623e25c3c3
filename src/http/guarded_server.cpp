#include "http/guarded_server.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "http/admission.h"
#include "http/replies.h"
#include "http/request_framing.h"
#include "platform/socket_io.h"

// This file reaches into the HTTP library beyond its documented use, relying
// on exactly these entry points of cpp-httplib 0.11.4:
// - Server::process_and_close_socket(socket_t), a private virtual, overridden
//   (and made callable by subclasses, such as the fuzz target's):
//   runs on a task-queue thread for each accepted socket, which it then owns
//   and must close;
// - Server::process_request(Stream&, bool close_connection,
//   bool& connection_closed, const std::function<void(Request&)>&), protected:
//   reads, routes and answers one request; the callback runs once the head is
//   parsed (after the Range field was parsed into req.ranges), before an
//   "Expect: 100-continue" answer, the pre-routing handler and any of the
//   body are read; the answer gets "Connection: close" when the request's
//   first Connection field says "close"; its compression follows the
//   request's Accept-Encoding, read when the answer is written;
// - the request line and each head line are read a byte at a time
//   (stream_line_reader), and a head line is a field only when it ends in
//   CR LF and its name runs up to the first colon;
// - set_pre_routing_handler and set_expect_100_continue_handler: the
//   server's own, answering its refusals;
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

thread_local Refusal t_refusal;

// The request being served on this thread, for TakeHandlerSlot.
struct CurrentRequest {
  Admission* admission = nullptr;
  ServedConnection* connection = nullptr;
  std::chrono::milliseconds slotWait{};
  bool* handling = nullptr;
};
thread_local CurrentRequest t_current;

bool Listed(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

bool StartsField(const char* p, const char* name, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    char c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  return true;
}

void AnswerRefusal(httplib::Response& res, const Refusal& refusal) {
  if (refusal.status == 503) {
    SendBusy(res);
    return;
  }
  res.status = refusal.status;
  if (!refusal.text.empty()) res.set_content(refusal.text + "\n", "text/plain; charset=utf-8");
}

// Reads and writes one connection. Reads are bounded by the phase of the
// current request: its head by time and size, a body by pace, a chunked or
// unframed body also by size (a body with a length is refused before it is
// read when it is too long). While it waits for its peer the connection
// counts as waiting, so that a stalled peer's connection can be evicted.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, const ConnectionLimits& limits, int readTimeoutMs,
                   int writeTimeoutMs, std::size_t bodyBudget, Admission& admission,
                   ServedConnection& connection)
      : sock_(Handle(sock)),
        limits_(limits),
        readTimeoutMs_(readTimeoutMs),
        writeTimeoutMs_(writeTimeoutMs),
        bodyBudget_(bodyBudget),
        admission_(admission),
        connection_(connection) {}

  // Waits up to `timeoutMs` for the next request's first byte (also while
  // the server stops: a kept-alive client is still answered then). False
  // when nothing came.
  bool WaitForRequest(int timeoutMs) {
    requestStart_ = Clock::now();
    return off_ < len_ || WaitForPeer(true, timeoutMs);
  }

  void BeginHead() {
    head_ = true;
    lineStart_ = true;
    written_ = 0;
    headRead_ = 0;
    headDeadline_ = Clock::now() + limits_.headTime;
    leaveBody_ = false;
  }

  // Once the head is judged and any slot taken: the body's pace counts from
  // here.
  void BeginBody(const httplib::Request& req) {
    head_ = false;
    bodyRead_ = 0;
    bodyStart_ = Clock::now();
    t_bodyOverLimit = false;
    t_bodyAbandoned = false;
    // A length past the limit was refused before reading; otherwise the
    // library would read until the peer stops, so the stream stops first.
    bodyBounded_ = !req.has_header("Content-Length");
  }

  // While it waits for a handler slot the connection counts as waiting since
  // its request was awaited: at its address's cap, a queue of its own
  // requests gives way to a newcomer of that address.
  void WaitingForSlot() {
    connection_.waitingSince = std::max<Clock::rep>(1, requestStart_.time_since_epoch().count());
  }

  // The body (if any) is never read: after the answer the connection ends.
  void LeaveBody() { leaveBody_ = true; }

  // The connection cannot carry another request: its head broke a bound, or
  // a body was cut off in the middle or left unread.
  bool Broken() const { return broken_; }
  bool BodyCutOff() const { return bodyCutOff_ || leaveBody_ || t_bodyAbandoned; }

  // After a cut-off body: reads and drops what the peer still sends, for a
  // bounded time, so that it can read the answer instead of a reset.
  void DrainAfterAnswer() {
    platform::ShutdownSend(sock_);
    const Clock::time_point end = Clock::now() + limits_.drainTime;
    std::array<char, 16384> sink;
    admission_.Waiting(connection_);  // nothing useful left: may be evicted
    while (platform::WaitReadable(sock_, MillisUntil(end))) {
      if (platform::Receive(sock_, sink.data(), sink.size()) <= 0) break;
    }
  }

  bool is_readable() const override {
    return off_ < len_ || WaitForPeer(true, readTimeoutMs_);
  }

  bool is_writable() const override { return WaitForPeer(false, writeTimeoutMs_); }

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
      const int timeout = std::min(readTimeoutMs_, MillisUntil(PhaseDeadline()));
      if (timeout == 0 || !WaitForPeer(true, timeout)) return Break();
      if (!head_ && allowed >= buffer_.size()) return Count(platform::Receive(sock_, ptr, allowed));
      const ssize_t n = platform::Receive(sock_, buffer_.data(), buffer_.size());
      if (n <= 0) return n;
      off_ = 0;
      len_ = static_cast<size_t>(n);
    }
    size_t n = std::min(allowed, len_ - off_);
    if (head_) {
      if (lineStart_) MaskRangeField();
      // One line at most, so that the next line's start is seen.
      if (const void* eol = std::memchr(buffer_.data() + off_, '\n', n)) {
        n = static_cast<size_t>(static_cast<const char*>(eol) - (buffer_.data() + off_)) + 1;
      }
      lineStart_ = buffer_[off_ + n - 1] == '\n';
    }
    std::memcpy(ptr, buffer_.data() + off_, n);
    off_ += n;
    return Count(static_cast<ssize_t>(n));
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (written_ == 0) writeStart_ = Clock::now();
    if (!is_writable()) return -1;
    const ssize_t n = platform::Send(sock_, ptr, size);
    if (n > 0) written_ += static_cast<size_t>(n);
    return n;
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

  // A head must be whole by its deadline; a body may take bodyGrace plus a
  // second for every bodyBytesPerSecond bytes it has delivered.
  Clock::time_point PhaseDeadline() const {
    if (head_) return headDeadline_;
    return bodyStart_ + limits_.bodyGrace + Earned(bodyRead_);
  }

  // How far behind its peer is: a head counts from when the request was
  // awaited, a body or an answer from when its pace says it should be where
  // it is. A peer more than evictAfter behind may lose the connection to a
  // newcomer of its address, however often it sends or reads a byte.
  Clock::time_point Behind(bool reading) const {
    if (reading && head_) return requestStart_;
    return reading ? bodyStart_ + Earned(bodyRead_) : writeStart_ + Earned(written_);
  }

  std::chrono::milliseconds Earned(size_t bytes) const {
    return std::chrono::milliseconds(
        static_cast<long long>(bytes / std::max<size_t>(1, limits_.bodyBytesPerSecond / 1000)));
  }

  bool WaitForPeer(bool reading, int timeoutMs) const {
    connection_.waitingSince = std::max<Clock::rep>(1, Behind(reading).time_since_epoch().count());
    const bool ready = reading ? platform::WaitReadable(sock_, timeoutMs)
                               : platform::WaitWritable(sock_, timeoutMs);
    Admission::Busy(connection_);
    return ready;
  }

  // At the start of a head line: a "Range" field is renamed before the
  // library reads it, so that every answer is whole (an unreadable range
  // would otherwise be answered 416 without any route). Reads on until the
  // name is in the buffer or the line ends.
  void MaskRangeField() {
    constexpr size_t kName = 6;  // "range:"
    if (buffer_[off_] != 'r' && buffer_[off_] != 'R') return;
    while (len_ - off_ < kName && !std::memchr(buffer_.data() + off_, '\n', len_ - off_)) {
      std::memmove(buffer_.data(), buffer_.data() + off_, len_ - off_);
      len_ -= off_;
      off_ = 0;
      const int timeout = std::min(readTimeoutMs_, MillisUntil(headDeadline_));
      if (timeout == 0 || !WaitForPeer(true, timeout)) return;
      const ssize_t n = platform::Receive(sock_, buffer_.data() + len_, buffer_.size() - len_);
      if (n <= 0) return;
      len_ += static_cast<size_t>(n);
    }
    if (len_ - off_ >= kName && StartsField(buffer_.data() + off_, "range:", kName)) {
      buffer_[off_] = 'X';
    }
  }

  platform::SocketHandle sock_;
  const ConnectionLimits& limits_;
  int readTimeoutMs_;
  int writeTimeoutMs_;
  std::size_t bodyBudget_;
  Admission& admission_;
  ServedConnection& connection_;
  std::array<char, 4096> buffer_{};
  size_t off_ = 0, len_ = 0;
  bool head_ = true;
  bool lineStart_ = true;
  Clock::time_point requestStart_ = Clock::now();
  Clock::time_point headDeadline_{};
  size_t headRead_ = 0;
  bool bodyBounded_ = false;
  Clock::time_point bodyStart_{};
  size_t bodyRead_ = 0;
  bool broken_ = false;
  bool bodyCutOff_ = false;
  bool leaveBody_ = false;
  Clock::time_point writeStart_{};
  size_t written_ = 0;
};

}  // namespace

GuardedServer::GuardedServer(ConnectionLimits limits)
    : limits_(limits),
      admission_(std::make_unique<Admission>(
          limits_, [](ServedConnection& c) { platform::ShutdownBoth(c.socket); })) {
  new_task_queue = [n = limits_.threads] { return new httplib::ThreadPool(n); };
  // The refusals decided on the parsed head are answered here, before the
  // library reads any of the body or says "100 Continue" for it.
  set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (t_refusal.status == 0) {
      return rules_.preRouting ? rules_.preRouting(req, res) : HandlerResponse::Unhandled;
    }
    AnswerRefusal(res, t_refusal);
    return HandlerResponse::Handled;
  });
  set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (t_refusal.status == 0) return rules_.beforeBody ? rules_.beforeBody(req, res) : 100;
    AnswerRefusal(res, t_refusal);
    // Written as it is, without the length the routed answers get.
    res.set_header("Content-Length", std::to_string(res.body.size()));
    return res.status;
  });
}

GuardedServer::~GuardedServer() = default;

Refusal GuardedServer::Judge(httplib::Request& req, bool& readsBody, bool& takesSlot) const {
  // Every answer whole and as it is.
  req.ranges.clear();
  req.headers.erase("Range");
  req.headers.erase("Accept-Encoding");

  const bool body = CarriesBody(req);
  readsBody = false;
  takesSlot = false;
  // Faulty framing always announces a body, which is then left unread.
  const FramingVerdict framing = JudgeFraming(req);
  if (framing.status != 0) return {framing.status, framing.text};
  if (body && req.has_header("Content-Length") &&
      std::stoull(req.get_header_value("Content-Length")) > payload_max_length_) {
    return {413, "the body is longer than the limit"};
  }
  if (rules_.check) {
    if (Refusal refusal = rules_.check(req); refusal.status != 0) return refusal;
  }
  const bool get = req.method == "GET" || req.method == "HEAD";
  if (req.method == "POST" && Listed(rules_.bodyPaths, req.path)) {
    readsBody = true;
    takesSlot = true;
    return {};
  }
  if (body && (req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
               req.method == "DELETE" || req.method == "PRI")) {
    // The library would read it whole for no route: what it answers, unread.
    return {req.method == "PRI" ? 400 : 404, ""};
  }
  takesSlot = get && Listed(rules_.costlyPaths, req.path);
  return {};
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  // Room for chunk framing around a body of the largest allowed size.
  const std::size_t bodyBudget = payload_max_length_ + payload_max_length_ / 8;
  ServedConnection connection;
  ConnectionStream strm(sock, limits_, TimeoutMs(read_timeout_sec_, read_timeout_usec_),
                        TimeoutMs(write_timeout_sec_, write_timeout_usec_), bodyBudget, *admission_,
                        connection);
  t_requestSocket = sock;
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
      t_refusal = {};
      t_current = {admission_.get(), &connection, limits_.slotWait, &handling};
      bool headParsed = false;
      ret = process_request(strm, closeConnection, connectionClosed, [&](httplib::Request& req) {
        headParsed = true;
        Admission::Busy(connection);
        bool readsBody = false, takesSlot = false;
        t_refusal = Judge(req, readsBody, takesSlot);
        // Bodies and costly work are what a request's memory and time grow
        // with, so they take the handler slots; the other requests answer
        // from what they have and never wait behind them.
        if (t_refusal.status == 0 && takesSlot) {
          strm.WaitingForSlot();
          handling = admission_->AcquireHandler(connection, limits_.slotWait);
          Admission::Busy(connection);
          if (!handling) t_refusal = {503, ""};
        }
        if (CarriesBody(req) && (t_refusal.status != 0 || !readsBody)) {
          strm.LeaveBody();
          // The library then answers "Connection: close".
          req.headers.erase("Connection");
          req.set_header("Connection", "close");
        }
        strm.BeginBody(req);
      });
      t_current = {};
      t_refusal = {};
      if (handling) admission_->ReleaseHandler(connection.peer);
      if (strm.BodyCutOff()) {
        strm.DrainAfterAnswer();
        break;
      }
      // A head the library could not read (answered 400 or 414) leaves no
      // telling where the next request would start.
      if (!ret || !headParsed || connectionClosed || strm.Broken()) break;
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

bool TakeHandlerSlot() {
  CurrentRequest& c = t_current;
  if (!c.admission || *c.handling) return true;
  *c.handling = c.admission->AcquireHandler(*c.connection, c.slotWait);
  return *c.handling;
}

void AbandonRequestBody() { t_bodyAbandoned = true; }

bool RequestPeerGone() {
  const socket_t sock = t_requestSocket;
  return sock != INVALID_SOCKET && platform::PeerClosed(Handle(sock));
}

}  // namespace tb
