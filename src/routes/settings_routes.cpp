#include "routes/settings_routes.h"

#include <exception>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/json_body.h"
#include "http/replies.h"
#include "http/request_body.h"
#include "base/text.h"
#include "printers/printer_list.h"
#include "base/app_version.h"
#include "base/value_bounds.h"
#include "base/logging.h"
#include "store/config_store.h"

namespace tb {
namespace {

using nlohmann::json;

// Strict parse, no comments, bounded. value() throws for a body that is not
// an object and for a member of another type, which the handlers report as
// they are.
json ParseBody(std::string_view body, std::initializer_list<std::string_view> members) {
  return ParseJsonBody(body, members);
}

bool IsInstalledPrinter(const std::string& name) {
  json printers;
  printers::RefreshPrinters(printers);
  for (const json& p : printers) {
    auto it = p.find("name");
    if (it != p.end() && it->is_string() && it->get_ref<const std::string&>() == name) return true;
  }
  return false;
}

// The body read whole (a failed read is answered by the reader), then handled.
void ReadBodyThen(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& content,
                  void (*handle)(std::string_view body, httplib::Response& res)) {
  std::string body;
  if (ReadRequestBody(req, res, content, body)) handle(body, res);
}

// The skeleton of the JSON settings routes: the body parsed with its
// members and handed on; whatever either throws is answered with its text.
using BodyHandler = void (*)(const json& body, httplib::Response& res);
void AnswerJsonBody(std::string_view text, std::initializer_list<std::string_view> members,
                    BodyHandler handle, httplib::Response& res) {
  try {
    handle(ParseBody(text, members), res);
  } catch (const std::exception& e) {
    SendError(res, BoundedErrorText(e.what()), 200);
  }
}

void SaveSetup(const json& body, httplib::Response& res) {
  std::string key = body.value("key", std::string("*"));
  const std::string value = body.value("value", std::string());
  if (key.empty()) key = "*";
  for (const auto& [field, text] : {std::pair<const char*, const std::string*>{"key", &key},
                                    std::pair<const char*, const std::string*>{"value", &value}}) {
    if (text->size() > kMaxNameBytes) {
      SendError(res, TooLongText(field, kMaxNameBytes), 400);
      return;
    }
  }
  if (value.empty()) {
    SendError(res, "value is required.", 400);
    return;
  }
  if (!IsInstalledPrinter(value)) {
    SendError(res, "printer name is wrong.", 400);
    return;
  }
  bool saved;
  if (key == "*") {
    saved = store::SetConfigValues({json{{"type", "*"}, {"value", value}}});
  } else {
    const store::ClientKeyWrite write = store::SetClientKeyPrinter(key, value, kMaxClientKeys);
    if (write == store::ClientKeyWrite::kTooMany) {
      SendError(res, "There are " + std::to_string(kMaxClientKeys) +
                         " client keys already; remove one first.", 400);
      return;
    }
    saved = write == store::ClientKeyWrite::kSaved;
  }
  if (!saved) {
    SendError(res, "Database write failed.", 200);
    return;
  }
  SendJson(res, json{{"msg", "Config saved"}, {"status", "success"}}, 200);
}

void RemoveRows(const json& body, httplib::Response& res) {
  const std::string type = body.value("type", std::string());
  const std::string key = body.value("key", std::string());
  if (key.empty()) {
    SendError(res, "key is required.", 400);
    return;
  }
  if (key.size() > kMaxNameBytes) {
    SendError(res, TooLongText("key", kMaxNameBytes), 400);
    return;
  }
  const int count = store::DeleteConfig(type, key);
  if (count < 0) {
    SendError(res, "Database operation failed.", 200);
    return;
  }
  SendJson(res, json{{"count", count}, {"status", "success"}}, 200);
}

}  // namespace

void HandleDefault(const httplib::Request& req, httplib::Response& res) {
  // First value; one that is not text counts as absent, like any failed
  // conversion, and is never stored.
  const std::string name = StrictUtf8(req.get_param_value("printerName"));
  if (name.size() > kMaxNameBytes) {
    SendError(res, TooLongText("printerName", kMaxNameBytes), 400);
    return;
  }
  if (!name.empty()) {
    LogInfo("Set default: " + LogValue(name));
    // Not checked against the installed printers: a printer may be added later.
    if (!store::SetConfigValues({json{{"type", "*"}, {"value", name}}})) {
      SendError(res, "Failed to save default printer.", 500);
      return;
    }
  }
  RedirectHome(res);
}

void HandleList(const httplib::Request&, httplib::Response& res) {
  try {
    json rows = json::array();
    for (const store::ConfigEntry& row : store::ListConfig("", "")) {
      rows.push_back(json{{"key", row.key}, {"value", row.value}});
    }
    SendJson(res, rows, 200);
  } catch (const std::exception& e) {
    SendError(res, BoundedErrorText(e.what()), 200);
  }
}

void HandleSetup(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& content) {
  ReadBodyThen(req, res, content, &HandleSetupBody);
}

void HandleSetupBody(std::string_view text, httplib::Response& res) {
  AnswerJsonBody(text, {"key", "value"}, &SaveSetup, res);
}

void HandleRemove(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& content) {
  ReadBodyThen(req, res, content, &HandleRemoveBody);
}

void HandleRemoveBody(std::string_view text, httplib::Response& res) {
  AnswerJsonBody(text, {"type", "key"}, &RemoveRows, res);
}

void HandleSwitch(const httplib::Request&, httplib::Response& res) {
  // Read and write are separate steps: two switches at once may store the same value.
  const bool on = store::GetAutoScalePdf();
  std::string error;
  if (!store::SetAutoScalePdf(!on, &error)) {
    SendError(res, "Failed to update AUTO_SCALE_PDF_TO_PRINTER: " + error, 500);
    return;
  }
  RedirectHome(res);
}

void HandleRawSwitch(const httplib::Request& req, httplib::Response& res) {
  const std::string name = StrictUtf8(req.get_param_value("printerName"));
  if (name.size() > kMaxNameBytes) {
    SendError(res, TooLongText("printerName", kMaxNameBytes), 400);
    return;
  }
  if (!name.empty()) {
    const bool on = req.get_param_value("allow") == "1";
    // Only installed printers are switched on, so the rows stay as few as
    // the printers; switching off removes the row.
    if (on && !IsInstalledPrinter(name)) {
      SendError(res, "printer name is wrong.", 400);
      return;
    }
    LogInfo("Raw printing " + std::string(on ? "on" : "off") + ": " + LogValue(name));
    std::string error;
    if (!store::SetRawPrintingAllowed(name, on, &error)) {
      SendError(res, "Failed to update RAW_PRINTING: " + error, 500);
      return;
    }
  }
  RedirectHome(res);
}

void SetPrintModeAndRedirect(const std::string& mode, httplib::Response& res) {
  std::string error;
  if (!store::SetPrintSettings(mode, &error)) {
    SendError(res, "Failed to update SUMATRA_PRINT_SETTINGS: " + error, 500);
    return;
  }
  RedirectHome(res);
}

void HandleVersion(const httplib::Request&, httplib::Response& res) {
  SendJson(res, json{{"version", kAppVersion}}, 200);
}

}  // namespace tb
