#pragma once
// The printer and job routes: GET /printers, /jobs and /cancel.
#include <httplib.h>

namespace tb::printers {

// The printer list with the daemon's default marked, as a bare array.
void HandlePrinters(const httplib::Request& req, httplib::Response& res);
// Every queued job of every listed printer, as a bare array.
void HandleJobs(const httplib::Request& req, httplib::Response& res);
// Empties the queue of "printerName", or of the default printer.
void HandleCancel(const httplib::Request& req, httplib::Response& res);

}  // namespace tb::printers
