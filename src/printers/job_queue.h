#pragma once
// Queued print jobs: listing and cancelling.
#include <string>

#include <nlohmann/json.hpp>

namespace tb::printers {

// JSON array of job entries; empty when the printer cannot be opened or listed.
nlohmann::json ListPrintJobs(const std::string& printerName);

// Pauses and deletes every queued job (up to 65535) of the printer. An empty
// name is replaced by ResolveDefaultPrinter() and handed back. Throws
// std::runtime_error "OpenPrinter failed. Error: N" / "EnumJobs failed. Error: N".
int CancelPrintJob(std::string& printerName);

}  // namespace tb::printers
