#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/daemon_harness.h"
#include "support/raw_http.h"

namespace {

using tbtest::DaemonProcess;
using tbtest::RawConnection;
using tbtest::TempFolder;

TEST(ServerSettings, BodyLimitIs64MiBAndLongerBodiesGet413WithCors) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  client.set_write_timeout(30, 0);
  client.set_read_timeout(30, 0);
  std::string body(67108864, 'x');
  auto exact = client.Post("/no-such-route", body, "application/octet-stream");
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->status, 404);  // read in full, then routed
  body.push_back('x');
  auto over = client.Post("/no-such-route", body, "application/octet-stream");
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 413);
  EXPECT_EQ(over->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(over->get_header_value("Access-Control-Max-Age"), "86400");
}

TEST(ServerSettings, KeepAliveAllowsTwentyRequestsPerConnection) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  RawConnection conn;
  for (int i = 1; i <= 20; ++i) {
    ASSERT_TRUE(conn.Send("GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) << i;
    auto r = conn.ReadResponse();
    ASSERT_TRUE(r) << "answer " << i;
    EXPECT_EQ(r->status, 200);
    if (i < 20) {
      EXPECT_EQ(r->Header("keep-alive"), "timeout=5, max=20") << i;
      EXPECT_NE(r->Header("connection"), "close") << i;
    } else {
      EXPECT_EQ(r->Header("connection"), "close");
    }
  }
  EXPECT_TRUE(conn.PeerClosed());
}

// Clients that connect while the daemon is not accepting (busy, or a burst)
// wait in the system's queue. A short queue makes the rest retry their
// handshake after a second or be reset.
TEST(ServerSettings, BurstOfConnectionsIsQueuedWhileTheDaemonCannotAccept) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  daemon.Signal(SIGSTOP);
  struct Resume {
    DaemonProcess& d;
    ~Resume() { d.Signal(SIGCONT); }
  } resume{daemon};

  constexpr int kClients = 48;
  std::vector<pollfd> fds;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(3806);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < kClients; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fds.push_back({fd, POLLOUT, 0});
  }
  // On loopback a queued handshake completes at once; one that found the
  // queue full is only retried after a second.
  int connected = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
  while (connected < kClients && std::chrono::steady_clock::now() < deadline) {
    ::poll(fds.data(), fds.size(), 50);
    connected = 0;
    for (pollfd& p : fds) {
      int error = 0;
      socklen_t len = sizeof error;
      if ((p.revents & POLLOUT) && ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
          error == 0) {
        ++connected;
      }
    }
  }
  for (pollfd& p : fds) ::close(p.fd);
  EXPECT_EQ(connected, kClients);
}

TEST(ServerSettings, PortTakenLogsBannerThenFatalLineAndReturnsMinus2) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  int one = 1;  // earlier connections of other tests may linger in TIME_WAIT
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(3806);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  // Connections closed by earlier tests can hold the port in TIME_WAIT for up
  // to a minute.
  int bound = -1;
  for (int i = 0; i < 140 && bound != 0; ++i) {
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (bound != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_EQ(bound, 0) << "port 3806 busy";
  ASSERT_EQ(::listen(fd, 1), 0);

  TempFolder folder;
  tbtest::DaemonOptions options;
  options.waitForPort = false;
  DaemonProcess daemon(folder, options);
  auto status = daemon.Wait(std::chrono::seconds(20));
  ::close(fd);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 254);  // -2 as an exit status
  std::string out = daemon.Stdout();
  EXPECT_NE(out.find("Server: http://127.0.0.1:3806/\n"), std::string::npos) << out;
  EXPECT_NE(daemon.Stderr().find(
                "FATAL: cannot bind 0.0.0.0:3806 (port in use or blocked). Win32 error=98\n"),
            std::string::npos)
      << daemon.Stderr();
}

TEST(StartUp, ConsoleRunLogsToConsoleAndCreatesTheCacheFolderButNoLogs) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  std::string out = daemon.Stdout();
  EXPECT_EQ(out.rfind("Working dir: " + folder.path() + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("[Startup] version=v1.4.0 mode=console\n"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "sumatrapdfcache"));
  EXPECT_FALSE(std::filesystem::exists(folder / "logs"));
}

}  // namespace

namespace {

TEST(ServerSettings, SecondDaemonCannotShareThePort) {
  TempFolder first, second;
  DaemonProcess running(first);
  tbtest::DaemonOptions options;
  options.waitForPort = false;
  DaemonProcess intruder(second, options);
  auto status = intruder.Wait(std::chrono::seconds(20));
  ASSERT_TRUE(status) << "the second daemon is listening too";
  EXPECT_EQ(*status, 254);
  EXPECT_NE(intruder.Stderr().find("FATAL: cannot bind 0.0.0.0:3806"), std::string::npos);
  EXPECT_EQ(tbtest::ListeningPid(3806), running.pid());
}

}  // namespace
