#include "service/service_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <future>
#include <thread>

#include "fakes/fake_status_sink.h"
#include "support/capture.h"

namespace tb {
namespace {

using platform::ServiceStatus;
using tbtest::FakeStatusSink;

// A clock that only moves when the runner sleeps, so the 45 s deadline is
// reached without waiting for it.
struct FakeClock {
  std::atomic<uint64_t> now{1000};
  std::atomic<int> sleeps{0};
};

struct Harness {
  FakeStatusSink sink;
  FakeClock clock;
  std::atomic<bool> shuttingDown{false};
  std::atomic<int> stopCalls{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> daemonResult{0};
  std::atomic<bool> daemonStarted{false};
  std::atomic<int> endProcessCalls{0};
  std::atomic<uint32_t> endProcessCode{0};
  std::atomic<size_t> reportsAtEnd{0};
  bool daemonBlocks = true;
  // Stopping the server is what makes the real daemon return.
  bool stopReleasesDaemon = true;

  ServiceRunner::Hooks Hooks() {
    ServiceRunner::Hooks h;
    h.runDaemon = [this] {
      daemonStarted = true;
      if (daemonBlocks) released.wait();
      return daemonResult.load();
    };
    h.stopServer = [this] {
      if (++stopCalls == 1 && stopReleasesDaemon) release.set_value();
      return true;
    };
    h.endProcess = [this](uint32_t code) {
      ++endProcessCalls;
      endProcessCode = code;
      reportsAtEnd = sink.Reports().size();
    };
    h.nowMs = [this] { return clock.now.load(); };
    h.sleepMs = [this](uint32_t ms) {
      clock.now += ms;
      ++clock.sleeps;
      // Give the worker a real moment to finish, as 250 ms would.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    return h;
  }
};

void WaitUntil(const std::function<bool()>& cond) {
  for (int i = 0; i < 500 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(cond());
}

TEST(ServiceRunner, OrderlyStopReportsTheWholeSequence) {
  Harness h;
  ServiceRunner runner(h.Hooks(), h.shuttingDown);
  auto main = std::async(std::launch::async, [&] { return runner.ServiceMain(h.sink); });
  WaitUntil([&] { return h.daemonStarted.load(); });

  runner.HandleControl(platform::kControlStop);
  EXPECT_TRUE(h.shuttingDown.load());
  EXPECT_EQ(h.stopCalls.load(), 1);
  runner.HandleControl(platform::kControlStop);      // ignored while stop is pending
  runner.HandleControl(platform::kControlShutdown);  // ignored too
  EXPECT_EQ(h.stopCalls.load(), 1);
  EXPECT_EQ(main.get(), 0u);

  auto r = h.sink.Reports();
  ASSERT_GE(r.size(), 4u);
  EXPECT_EQ(r[0].currentState, 2u);
  EXPECT_EQ(r[0].controlsAccepted, 0u);
  EXPECT_EQ(r[0].waitHint, 3000u);
  EXPECT_EQ(r[0].checkPoint, 1u);
  EXPECT_EQ(r[0].serviceType, 0x10u);
  EXPECT_EQ(r[1].currentState, 4u);
  EXPECT_EQ(r[1].controlsAccepted, 5u);
  EXPECT_EQ(r[1].checkPoint, 0u);
  EXPECT_EQ(r[2].currentState, 3u);  // the handler's report
  EXPECT_EQ(r[2].waitHint, 45000u);
  EXPECT_EQ(r[2].checkPoint, 2u);
  // Any stop-pending reports of the wait loop carry 5000 ms and rising checkpoints.
  for (size_t i = 3; i + 1 < r.size(); ++i) {
    EXPECT_EQ(r[i].currentState, 3u);
    EXPECT_EQ(r[i].waitHint, 5000u);
    EXPECT_EQ(r[i].checkPoint, r[i - 1].checkPoint + 1);
  }
  const ServiceStatus& last = r.back();
  EXPECT_EQ(last.currentState, 1u);
  EXPECT_EQ(last.controlsAccepted, 5u);
  EXPECT_EQ(last.checkPoint, 0u);
  EXPECT_EQ(last.win32ExitCode, 0u);
  EXPECT_EQ(last.serviceSpecificExitCode, 0u);
  EXPECT_EQ(h.endProcessCalls.load(), 0);  // a finished daemon lets the process end normally
}

TEST(ServiceRunner, DaemonEndingByItselfStopsAtOnceWithServiceSpecificCode) {
  Harness h;
  h.daemonBlocks = false;
  h.daemonResult = -2;  // port taken
  ServiceRunner runner(h.Hooks(), h.shuttingDown);
  EXPECT_EQ(runner.ServiceMain(h.sink), 4294967294u);
  auto r = h.sink.Reports();
  ASSERT_EQ(r.size(), 3u);  // start pending, running, stopped: no waiting
  EXPECT_EQ(r[2].currentState, 1u);
  EXPECT_EQ(r[2].win32ExitCode, 1066u);
  EXPECT_EQ(r[2].serviceSpecificExitCode, 4294967294u);
  EXPECT_FALSE(h.shuttingDown.load());
}

TEST(ServiceRunner, DaemonThatDoesNotFinishIsAbandonedAndTheProcessEnds) {
  Harness h;
  h.stopReleasesDaemon = false;  // e.g. a request that never finishes
  ServiceRunner runner(h.Hooks(), h.shuttingDown);
  auto main = std::async(std::launch::async, [&] { return runner.ServiceMain(h.sink); });
  WaitUntil([&] { return h.daemonStarted.load(); });
  tbtest::CapturedFd err(2);
  runner.HandleControl(platform::kControlShutdown);
  // The stop was asked for: reported as a stop (no recovery restart), with
  // the overrun in the log, written before the stopped report.
  EXPECT_EQ(main.get(), 0u);
  EXPECT_NE(err.Text().find("[Service] the daemon did not stop within 45 s (1053); ending the process"),
            std::string::npos);
  // 45000 ms in steps of 250 ms of fake time.
  EXPECT_EQ(h.clock.sleeps.load(), 180);
  auto r = h.sink.Reports();
  EXPECT_EQ(r.back().currentState, 1u);
  EXPECT_EQ(r.back().win32ExitCode, 0u);
  EXPECT_EQ(r.back().serviceSpecificExitCode, 0u);
  EXPECT_EQ(r.size(), 2u + 1u + 180u + 1u);
  // The process ends with the reported code, after the stopped report.
  EXPECT_EQ(h.endProcessCalls.load(), 1);
  EXPECT_EQ(h.endProcessCode.load(), 0u);
  EXPECT_EQ(h.reportsAtEnd.load(), r.size());
  h.release.set_value();  // lets the detached worker finish
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(ServiceRunner, InterrogateRepeatsLastReportAndOtherControlsAreIgnored) {
  Harness h;
  ServiceRunner runner(h.Hooks(), h.shuttingDown);
  auto main = std::async(std::launch::async, [&] { return runner.ServiceMain(h.sink); });
  WaitUntil([&] { return h.daemonStarted.load(); });
  WaitUntil([&] { return h.sink.Reports().size() == 2; });
  runner.HandleControl(platform::kControlInterrogate);
  runner.HandleControl(2);  // pause: not accepted
  auto r = h.sink.Reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2].currentState, r[1].currentState);
  EXPECT_EQ(r[2].checkPoint, r[1].checkPoint);
  EXPECT_FALSE(h.shuttingDown.load());
  runner.HandleControl(platform::kControlStop);
  EXPECT_EQ(main.get(), 0u);
}

TEST(ServiceRunner, StopBeforeTheServerExistsIsDeliveredOnceItDoes) {
  Harness h;
  // The first stop finds no server (the daemon is still opening its
  // database); the server appears right after and only a stop sent to it
  // makes the daemon return.
  std::atomic<bool> serverExists{false};
  ServiceRunner::Hooks hooks = h.Hooks();
  hooks.stopServer = [&] {
    ++h.stopCalls;
    if (!serverExists.exchange(true)) return false;
    h.release.set_value();
    return true;
  };
  ServiceRunner runner(std::move(hooks), h.shuttingDown);
  auto main = std::async(std::launch::async, [&] { return runner.ServiceMain(h.sink); });
  WaitUntil([&] { return h.daemonStarted.load(); });
  runner.HandleControl(platform::kControlStop);
  EXPECT_EQ(main.get(), 0u);
  EXPECT_EQ(h.stopCalls.load(), 2);  // delivered once, then not repeated
  EXPECT_LT(h.clock.sleeps.load(), 180);
  auto r = h.sink.Reports();
  EXPECT_EQ(r.back().currentState, 1u);
  EXPECT_EQ(r.back().serviceSpecificExitCode, 0u);
  EXPECT_EQ(h.endProcessCalls.load(), 0);
}

TEST(ServiceRunner, SinkIsNotUsedAfterServiceMainReturns) {
  Harness h;
  h.daemonBlocks = false;
  h.daemonResult = -2;
  ServiceRunner runner(h.Hooks(), h.shuttingDown);
  // The dispatcher's sink lives on the stack of the call that returns here.
  runner.ServiceMain(h.sink);
  const size_t reports = h.sink.Reports().size();
  runner.HandleControl(platform::kControlInterrogate);
  runner.HandleControl(platform::kControlStop);
  EXPECT_EQ(h.sink.Reports().size(), reports);
  EXPECT_EQ(runner.LastReported().currentState, 1u);
  EXPECT_EQ(h.stopCalls.load(), 0);
}

TEST(ServiceRunner, WorkerThatCannotStartReportsStoppedWithTheError) {
  Harness h;
  ServiceRunner::Hooks hooks = h.Hooks();
  hooks.startThread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  ServiceRunner runner(std::move(hooks), h.shuttingDown);
  const uint32_t code = runner.ServiceMain(h.sink);
  EXPECT_EQ(code, static_cast<uint32_t>(EAGAIN));
  auto r = h.sink.Reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[1].currentState, 4u);
  EXPECT_EQ(r[2].currentState, 1u);
  EXPECT_EQ(r[2].win32ExitCode, 1066u);
  EXPECT_EQ(r[2].serviceSpecificExitCode, code);
  EXPECT_FALSE(h.daemonStarted.load());
}

}  // namespace
}  // namespace tb
