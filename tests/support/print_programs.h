#pragma once
// Stand-ins for the print program, placed in a daemon's program folder, and
// small helpers for talking to /print and /history.
#include <httplib.h>

#include <string>

#include <nlohmann/json.hpp>

#include "support/daemon_harness.h"

namespace tbtest {

// Writes an executable shell script named like the daemon's print program
// into `folder`.
void PlacePrintProgram(const TempFolder& folder, const std::string& shellBody);

std::string Base64Encode(const std::string& bytes);

// POST /print; the reply's JSON (null when the request failed).
nlohmann::json PostPrint(httplib::Client& client, const nlohmann::json& body, int* status = nullptr);

// GET /history: newest first.
nlohmann::json History(httplib::Client& client);

// Polls the daemon's log until `text` appears (or the timeout passes).
bool WaitForLog(const DaemonProcess& daemon, const std::string& text, std::chrono::milliseconds timeout);

}  // namespace tbtest
