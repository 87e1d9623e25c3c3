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

// Which jobs a cancel takes: only those the spooler records as the owner's
// (a job without an owner is nobody's), and when `document` is not empty
// only those of that document (its name, or a path ending in it).
struct JobFilter {
  std::string owner;
  std::string document;
};

// Pauses and deletes the printer's queued jobs (up to 65535) that `filter`
// takes; the others stay. An empty name is replaced by
// ResolveDefaultPrinter() and handed back. A name the service must not use
// with its own rights is refused as an unknown printer. Throws
// std::runtime_error "OpenPrinter failed. Error: N" / "EnumJobs failed. Error: N".
int CancelPrintJob(std::string& printerName, const JobFilter& filter);

// The same for a caller already acting as the jobs' owner, whose name was
// checked to be one of the owner's printers: no look-up in the service's list.
int CancelOwnJobs(const std::string& printerName, const JobFilter& filter);

}  // namespace tb::printers
