// Hostile requests against the real executable, grouped by route: what a web
// page or a host on the network can send, and what must still hold.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_harness.h"
#include "support/raw_http.h"

namespace {

using nlohmann::json;
using tbtest::DaemonProcess;
using tbtest::RawConnection;
using tbtest::RawResponse;
using tbtest::TempFolder;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = 1 << 20;

// Sanitizers add shadow memory and hold freed blocks back: memory figures
// are the plain build's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainBuild = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kPlainBuild = false;
#else
constexpr bool kPlainBuild = true;
#endif
#else
constexpr bool kPlainBuild = true;
#endif

std::optional<RawResponse> Post(const std::string& path, const std::string& body) {
  RawConnection conn;
  if (!conn.Send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)) {
    return std::nullopt;
  }
  return conn.ReadResponse();
}

std::optional<RawResponse> Get(const std::string& target) {
  RawConnection conn;
  if (!conn.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return std::nullopt;
  return conn.ReadResponse();
}

// A body of `total` bytes of filler in chunks of 1 MiB.
std::optional<RawResponse> PostChunked(const std::string& path, size_t total) {
  RawConnection conn;
  if (!conn.Send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n")) {
    return std::nullopt;
  }
  const std::string piece = "100000\r\n" + std::string(kMiB, 'a') + "\r\n";
  for (size_t sent = 0; sent < total; sent += kMiB) {
    if (!conn.Send(piece)) break;  // the answer may already be there
  }
  conn.Send("0\r\n\r\n");
  return conn.ReadResponse();
}

void ExpectMalformedBodyReply(const std::optional<RawResponse>& r, const std::string& text) {
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  json reply = json::parse(r->body);
  EXPECT_EQ(reply["status"], "error");
  EXPECT_NE(reply["msg"].get<std::string>().find(text), std::string::npos) << r->body;
}

// Nesting as deep as `levels` counting the top-level object.
std::string NestedMember(const std::string& member, int levels) {
  return "{\"" + member + "\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void ResetPeakResident(pid_t pid) {
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

class HostileRoutes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder;
    daemon_ = new DaemonProcess(*folder_);
  }
  static void TearDownTestSuite() {
    delete daemon_;
    delete folder_;
  }
  static DaemonProcess& daemon() { return *daemon_; }
  static std::string Log() { return daemon_->Stdout() + daemon_->Stderr(); }

 private:
  static TempFolder* folder_;
  static DaemonProcess* daemon_;
};
TempFolder* HostileRoutes::folder_ = nullptr;
DaemonProcess* HostileRoutes::daemon_ = nullptr;

// ---- POST /print ----

TEST_F(HostileRoutes, PrintRefusesNestingPast64LikeMalformedJsonAndStaysSmall) {
  // 64 levels are a body like any other: the member is merely not a string.
  auto atLimit = Post("/print", NestedMember("LabelContent", 64));
  ASSERT_TRUE(atLimit);
  EXPECT_NE(atLimit->body.find("filePath 或 base64Data 必填！"), std::string::npos) << atLimit->body;
  ExpectMalformedBodyReply(Post("/print", NestedMember("LabelContent", 65)), "nesting deeper than 64");

  const pid_t pid = daemon().pid();
  ResetPeakResident(pid);
  const long before = PeakResidentKiB(pid);
  ExpectMalformedBodyReply(Post("/print", std::string(16 * kMiB, '[')), "nesting deeper than 64");
  std::string objects;
  for (size_t i = 0; i < 16 * kMiB / 5; ++i) objects += "{\"a\":";
  ExpectMalformedBodyReply(Post("/print", objects), "nesting deeper than 64");
  // The body itself, read into one block, and little more.
  if (kPlainBuild) EXPECT_LT(PeakResidentKiB(pid) - before, 3 * 16 * 1024);
}

TEST_F(HostileRoutes, PrintQuotesAHugeTokenOnlyInPartInReplyAndLog) {
  const std::string body = "{\"PrinterName\":\"" + std::string(8 * kMiB, 'x') + "\x01\"}";
  auto r = Post("/print", body);
  ExpectMalformedBodyReply(r, "last read: '\"xxxx");
  EXPECT_LT(r->body.size(), 2048u);
  const std::string log = Log();
  const size_t at = log.find("Exception: [json.exception.parse_error");
  ASSERT_NE(at, std::string::npos) << log.substr(0, 2000);
  const std::string line = log.substr(at, log.find('\n', at) - at);
  EXPECT_LT(line.size(), 2048u);
  EXPECT_EQ(line.find('\x01'), std::string::npos);
}

TEST_F(HostileRoutes, PrintBodyPastTheLimitIsRefusedHoweverFramed) {
  // Chunks within the limit are still read and parsed.
  RawConnection small;
  ASSERT_TRUE(small.Send("POST /print HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                         "3\r\n{\"a\r\n4\r\n\":1}\r\n0\r\n\r\n"));
  auto ok = small.ReadResponse();
  ASSERT_TRUE(ok);
  EXPECT_NE(ok->body.find("filePath 或 base64Data 必填！"), std::string::npos) << ok->body;

  auto over = PostChunked("/print", 72 * kMiB);
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 413);
  EXPECT_EQ(over->Header("access-control-allow-origin"), "*");
}

// ---- POST /setup, POST /remove ----

TEST_F(HostileRoutes, SettingsBodiesThatAreTooDeepOrNotUtf8AnswerTheParserMessage) {
  for (const char* route : {"/setup", "/remove"}) {
    ExpectMalformedBodyReply(Post(route, NestedMember("key", 65)), "nesting deeper than 64");
    ExpectMalformedBodyReply(Post(route, std::string(16 * kMiB, '[')), "nesting deeper than 64");
    ExpectMalformedBodyReply(Post(route, "{\"key\":\"k\xff\",\"value\":\"v\"}"),
                             "ill-formed UTF-8 byte");
  }
  auto huge = Post("/setup", "{\"value\":\"" + std::string(8 * kMiB, 'x') + "\x01\"}");
  ExpectMalformedBodyReply(huge, "last read: '\"xxxx");
  EXPECT_LT(huge->body.size(), 2048u);
  // Members that are containers still count as the wrong type, not as absent.
  ExpectMalformedBodyReply(Post("/setup", R"({"value":[["Brother"]]})"), "type must be string");
}

TEST_F(HostileRoutes, SetupBodyPastTheLimitIsRefusedWithBoundedMemory) {
  const pid_t pid = daemon().pid();
  ResetPeakResident(pid);
  const long before = PeakResidentKiB(pid);
  auto chunked = PostChunked("/setup", 160 * kMiB);
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->status, 413);
  EXPECT_EQ(chunked->Header("access-control-allow-origin"), "*");
  if (kPlainBuild) EXPECT_LT(PeakResidentKiB(pid) - before, 100 * 1024);

  // No length and no chunks: the body ends where the peer stops sending.
  RawConnection unframed;
  ASSERT_TRUE(unframed.Send("POST /remove HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  const std::string block(kMiB, 'a');
  for (int i = 0; i < 80 && unframed.Send(block); ++i) {
  }
  auto r = unframed.ReadResponse();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_EQ(r->Header("access-control-allow-origin"), "*");
}

// ---- GET /default ----

TEST_F(HostileRoutes, DefaultPrinterNameThatIsNotUtf8IsIgnored) {
  auto r = Get("/default?printerName=%FF");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 303);
  auto list = Get("/list");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 200);
  const json rows = json::parse(list->body);
  ASSERT_TRUE(rows.is_array()) << list->body;
  for (const json& row : rows) EXPECT_NE(row["key"], "") << "a default was stored: " << list->body;
  auto history = Get("/history");
  ASSERT_TRUE(history);
  EXPECT_EQ(history->status, 200);
}

TEST_F(HostileRoutes, LineBreakInAPrinterNameCannotForgeALogLine) {
  auto r = Get("/default?printerName=Brother%0A%5BHTTP%5D%20forged");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 303);
  const std::string log = Log();
  EXPECT_NE(log.find("Set default: Brother\\n[HTTP] forged\n"), std::string::npos);
  EXPECT_EQ(log.find("\n[HTTP] forged"), std::string::npos);
}

// ---- connections ----

// Part of a request head, then nothing more.
std::unique_ptr<RawConnection> SlowHead() {
  auto c = std::make_unique<RawConnection>();
  c->Send("GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
  return c;
}

TEST_F(HostileRoutes, VersionAnswersWhile32SlowHeadsAreOpen) {
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 32; ++i) slow.push_back(SlowHead());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 10; ++i) {
    const auto start = Clock::now();
    auto r = Get("/version");
    const auto took = Clock::now() - start;
    ASSERT_TRUE(r) << "probe " << i;
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(took, std::chrono::seconds(1)) << "probe " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST_F(HostileRoutes, RequestHeadMustArriveWithinSecondsNotPerRead) {
  // A byte every 400 ms never trips the 30 s read time-out.
  RawConnection dribbler;
  const std::string head = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(100, 'x');
  const auto start = Clock::now();
  bool closed = false;
  for (char c : head) {
    // The daemon answers 400 and closes, or just closes.
    if (!dribbler.Send(std::string(1, c)) || dribbler.Readable(400)) {
      closed = true;
      break;
    }
  }
  const auto took = Clock::now() - start;
  EXPECT_TRUE(closed);
  EXPECT_GT(took, std::chrono::seconds(3));
  EXPECT_LT(took, std::chrono::seconds(9));

  // A head beyond its size bound ends at once (the rest of it unread).
  RawConnection huge;
  huge.Send("GET /version HTTP/1.1\r\nX-Big: " + std::string(2 * kMiB, 'x') + "\r\n\r\n");
  EXPECT_TRUE(huge.Readable(2000));
  auto r = Get("/version");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

TEST_F(HostileRoutes, OneAddressCannotHoldEveryConnection) {
  // Silent connections would each wait 5 s. Past the per-address share,
  // newcomers take the places of those idle for a second.
  std::vector<std::unique_ptr<RawConnection>> silent;
  for (int i = 0; i < 80; ++i) silent.push_back(std::make_unique<RawConnection>());
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  std::vector<std::unique_ptr<RawConnection>> newcomers;
  for (int i = 0; i < 10; ++i) newcomers.push_back(std::make_unique<RawConnection>());
  auto r = Get("/version");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int closed = 0;
  for (auto& c : silent) closed += c->PeerClosed(0) ? 1 : 0;
  EXPECT_GE(closed, 11);  // one for each newcomer and the probe
  EXPECT_LT(closed, 40);
  for (auto& c : newcomers) EXPECT_FALSE(c->PeerClosed(0));
}

// A whole request from another loopback address, and the first line of
// what comes back (empty when nothing came within `timeoutMs`).
std::string StatusLineFrom(const char* sourceAddress, const std::string& request, int timeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, sourceAddress, &source.sin_addr);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(3806);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) reply.assign(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return reply.substr(0, reply.find("\r\n"));
}

TEST_F(HostileRoutes, TricklingUploadsOfOneAddressLeaveRoomForOthers) {
  // Each announces a body and sends one byte of it: a handler waits on it.
  std::vector<std::unique_ptr<RawConnection>> uploads;
  for (int i = 0; i < 32; ++i) {
    auto c = std::make_unique<RawConnection>();
    c->Send("POST /setup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n{");
    uploads.push_back(std::move(c));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string remove = "POST /remove HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}";
  EXPECT_EQ(StatusLineFrom("127.0.0.2", remove, 2000), "HTTP/1.1 400 Bad Request");
  // Requests without a body never wait for the uploads, from any address.
  EXPECT_EQ(StatusLineFrom("127.0.0.1", "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 2000),
            "HTTP/1.1 200 OK");
}

}  // namespace
