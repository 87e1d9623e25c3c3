#include <gtest/gtest.h>

#include "platform/posix/cups_spooler.h"
#include "printers/job_queue.h"
#include "printers/printer_list.h"

namespace tb::platform {
namespace {

using printers::JobStatusText;
using printers::PrinterStatusText;

std::string PrinterText(int state, std::vector<std::string> reasons) {
  return PrinterStatusText(CupsPrinterStatusBits(state, reasons));
}

TEST(CupsPrinterStatus, SchedulerStatesReadLikeTheSpoolerWords) {
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"none"}), "Ready");
  EXPECT_EQ(PrinterText(IPP_PSTATE_STOPPED, {"paused"}), "Paused ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_PROCESSING, {"none"}), "Printing ");
  EXPECT_EQ(CupsPrinterStatusBits(IPP_PSTATE_PROCESSING, {}), 0x500u);
}

TEST(CupsPrinterStatus, ReasonsMapWhateverTheirSeverity) {
  EXPECT_EQ(PrinterText(IPP_PSTATE_STOPPED, {"media-jam-error"}), "Paused Paper Jam ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"media-empty-warning"}), "Paper Out ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"media-needed"}), "Paper Out ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_PROCESSING, {"connecting-to-device"}), "Offline Printing ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"offline-report"}), "Offline ");
  // A mapped error reason is not also a generic error.
  EXPECT_EQ(CupsPrinterStatusBits(IPP_PSTATE_IDLE, {"media-jam-error"}), 0x8u);
}

TEST(CupsPrinterStatus, OnlyOtherErrorReasonsSetTheErrorBit) {
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"door-open-error"}), "Error ");
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"toner-low-warning", "cups-insecure-filter-warning"}),
            "Ready");
  EXPECT_EQ(PrinterText(IPP_PSTATE_IDLE, {"other-report"}), "Ready");
}

TEST(CupsJobStatus, JobStatesReadLikeTheSpoolerJobWords) {
  EXPECT_EQ(JobStatusText(CupsJobStatusBits(IPP_JSTATE_PENDING, {"none"})), "Pending");
  EXPECT_EQ(JobStatusText(CupsJobStatusBits(IPP_JSTATE_HELD, {"job-hold-until-specified"})),
            "Paused");
  EXPECT_EQ(JobStatusText(CupsJobStatusBits(IPP_JSTATE_STOPPED, {})), "Paused");
  EXPECT_EQ(JobStatusText(CupsJobStatusBits(IPP_JSTATE_PROCESSING, {"job-printing"})), "Printing");
  EXPECT_EQ(JobStatusText(CupsJobStatusBits(IPP_JSTATE_ABORTED, {})), "Error");
  // A cancel that has not finished yet is still printing, and deleting.
  EXPECT_EQ(CupsJobStatusBits(IPP_JSTATE_PROCESSING, {"processing-to-stop-point"}), 0x14u);
}

}  // namespace
}  // namespace tb::platform
