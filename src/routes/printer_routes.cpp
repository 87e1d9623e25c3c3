#include "routes/printer_routes.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "http/guarded_server.h"
#include "http/replies.h"
#include "platform/platform.h"
#include "platform/printing_account.h"
#include "printers/job_queue.h"
#include "printers/printer_list.h"
#include "base/json_body.h"
#include "base/logging.h"

namespace tb::printers {

using nlohmann::json;

void HandlePrinters(const httplib::Request&, httplib::Response& res) {
  // A refresh asks the spooler, which may take a second: like a body, it
  // waits for a handler slot.
  json cached;
  if (!GetCachedPrinters(cached) && !TakeHandlerSlot()) {
    SendBusy(res);
    return;
  }
  SendJson(res, ListPrintersWithDefault(), 200);
}

void HandleJobs(const httplib::Request&, httplib::Response& res) {
  json all = json::array();
  for (const json& printer : GetPrinterList()) {
    const std::string name = printer.value("name", std::string());
    if (name.empty()) continue;
    for (json& job : ListPrintJobs(name)) all.push_back(std::move(job));
  }
  SendJson(res, all, 200);
}

void HandleCancel(const httplib::Request& req, httplib::Response& res) {
  // A name that was given but is not text must not fall back to the default
  // printer: that would empty a queue nobody asked for. It is kept as it is,
  // and no printer carries such a name.
  std::string name = req.has_param("printerName") ? req.get_param_value("printerName") : "";
  try {
    // Only the printing account's own jobs: a page can load this address,
    // and the daemon's rights would empty every user's queue.
    platform::PrintingAccount* account = platform::Current().printingAccount;
    JobFilter mine;
    std::string error;
    if (!account) throw std::runtime_error("no printing account on this system");
    if (!account->UserName(mine.owner, error)) throw std::runtime_error(error);
    const int count = CancelPrintJob(name, mine);
    SendJson(res, json{{"status", "success"}, {"count", count}, {"printerName", name}}, 200);
  } catch (const std::exception& e) {
    LogError("Exception: " + LogValue(e.what()));
    SendError(res, BoundedErrorText(e.what()), 200);
  }
}

}  // namespace tb::printers
