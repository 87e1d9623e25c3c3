#pragma once
// Queued print jobs: listing and cancelling.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace tb::printers {

// How many jobs one listing and one cancel ask the spooler for.
inline constexpr uint32_t kListJobsMax = 0xFFFFFFFF;
inline constexpr uint32_t kCancelJobsMax = 0xFFFF;

// "Printing", "Paused", "Error", "Deleting", "Offline", "Paper Out" or
// "Pending": the first job status bit that matches, in that order.
std::string JobStatusText(uint32_t status);

// JSON array of job entries; empty when the printer cannot be opened or listed.
nlohmann::json ListPrintJobs(const std::string& printerName);

// Pauses and deletes every queued job (up to 65535) of the printer. An empty
// name is replaced by ResolveDefaultPrinter() and handed back. Throws
// std::runtime_error "OpenPrinter failed. Error: N" / "EnumJobs failed. Error: N".
int CancelPrintJob(std::string& printerName);

}  // namespace tb::printers
