#include "service/service_state.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <thread>

namespace tb {
namespace {

// A stop that reaches the server before its listening loop runs would be
// dropped by the server; it must be refused so the caller asks again.
TEST(ActiveServer, StopIsOnlyDeliveredToAListeningServerAndOnlyOnce) {
  EXPECT_FALSE(StopActiveServer());  // nothing published

  httplib::Server server;
  PublishActiveServer(&server);
  EXPECT_FALSE(StopActiveServer());
  ASSERT_GT(server.bind_to_any_port("127.0.0.1"), 0);
  EXPECT_FALSE(StopActiveServer());  // bound, not listening yet

  auto listening = std::async(std::launch::async, [&] { return server.listen_after_bind(); });
  for (int i = 0; i < 1000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(server.is_running());

  EXPECT_TRUE(StopActiveServer());
  EXPECT_TRUE(StopActiveServer());  // already told: no second close of the socket
  const bool ended = listening.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ended) server.stop();
  EXPECT_TRUE(ended) << "the listening loop did not return after the stop";

  ClearActiveServer();
  EXPECT_FALSE(StopActiveServer());
}

}  // namespace
}  // namespace tb
