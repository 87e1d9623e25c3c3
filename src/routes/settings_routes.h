#pragma once
// The settings routes: browser routes that redirect to "/" and client routes
// that answer JSON.
#include <string>
#include <string_view>

#include <httplib.h>

namespace tb {

// GET /default?printerName=...: stores the daemon's default printer.
void HandleDefault(const httplib::Request& req, httplib::Response& res);
// GET /list: every configuration row as {"key", "value"}.
void HandleList(const httplib::Request& req, httplib::Response& res);
// POST /setup {"key", "value"}: maps a client key (or "*") to a printer.
// The body is read through the content reader (bounded however framed).
void HandleSetup(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& content);
void HandleSetupBody(std::string_view body, httplib::Response& res);
// POST /remove {"type", "key"}: deletes configuration rows.
void HandleRemove(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& content);
void HandleRemoveBody(std::string_view body, httplib::Response& res);
// GET /switch: turns PDF refitting on or off.
void HandleSwitch(const httplib::Request& req, httplib::Response& res);
// GET /raw?printerName=...&allow=1|0: switches raw printing for one printer
// ("1" on, anything else off); without a printer nothing changes.
void HandleRawSwitch(const httplib::Request& req, httplib::Response& res);
// The shared body of /fit, /shrink, /noscale and /stretch.
void SetPrintModeAndRedirect(const std::string& mode, httplib::Response& res);
// GET /version: {"version": "v1.4.0"}.
void HandleVersion(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
