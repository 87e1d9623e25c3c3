// A label in a printer language posted to /print reaches a real CUPS queue
// byte for byte, binary graphic field and NUL included, only once the queue
// is switched on for raw printing; a queue that refuses jobs answers the
// scheduler's reason and keeps no job.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "support/test_pdf.h"

namespace {

using nlohmann::json;

bool Quiet(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(RawPrintThroughCups, TheQueueReceivesExactlyTheBytesOnlyWhereSwitchedOn) {
  const std::string env = std::string(TB_SOURCE_DIR) + "/scripts/cups-test-env.sh";
  if (::geteuid() != 0 || !Quiet(env)) GTEST_SKIP() << "needs root and a local CUPS";
  tbtest::TempFolder folder;
  // The queue's device: it gives its port, then keeps the job's bytes.
  const std::string received = folder.path() + "/received";
  std::unique_ptr<FILE, int (*)(FILE*)> device(
      ::popen(("python3 " TB_SOURCE_DIR "/tests/support/raw_sink.py " + received).c_str(), "r"),
      ::pclose);
  int port = 0;
  ASSERT_TRUE(device && std::fscanf(device.get(), "%d", &port) == 1);
  const std::string queue = "tb-raw-" + std::to_string(::getpid());
  ASSERT_TRUE(Quiet("lpadmin -p " + queue + " -E -v socket://127.0.0.1:" +
                    std::to_string(port) + " -m drv:///sample.drv/zebra.ppd"));
  const std::shared_ptr<void> removeQueue(nullptr, [&](void*) { Quiet("lpadmin -x " + queue); });

  std::string label = "^XA^FO30,30^GFB,8,8,1,";
  label += std::string("\x00\xff\x1b\x0a\x80\x7f\x00\x01", 8);
  label += "^FS^FO30,80^A0N,40,40^FDRaw 1^FS^XZ\n";
  const json print{{"LabelContent", tbtest::Base64Encode(label)}, {"fileExtension", "zpl"},
                   {"PrinterName", queue}};
  tbtest::DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(60, 0);
  EXPECT_EQ(tbtest::PostPrint(client, print)["code"], -4);

  // The installers' switch, run beside the database while the daemon serves.
  ASSERT_TRUE(Quiet(daemon.executable() + " /allow-raw " + queue));
  json reply = tbtest::PostPrint(client, print);
  ASSERT_EQ(reply["status"], "success") << reply << daemon.Stderr();
  EXPECT_GT(reply.value("jobId", 0), 0);
  device.reset();  // it ends when the job's connection closes
  EXPECT_EQ(tbtest::ReadFile(received), label);

  ASSERT_TRUE(Quiet("cupsreject " + queue));
  reply = tbtest::PostPrint(client, print);
  EXPECT_EQ(reply["code"], -6);
  EXPECT_NE(reply.value("message", "").find("not accepting jobs"), std::string::npos) << reply;
  EXPECT_EQ(tbtest::RunCommand("lpstat -o " + queue), "");
}

}  // namespace
