#include "http/replies.h"

#include "base/json_body.h"
#include "base/logging.h"

namespace tb {

void SendJson(httplib::Response& res, const nlohmann::json& value, int status) {
  std::string body = value.dump(4);  // strict: invalid UTF-8 throws
  res.status = status;
  res.set_content(body, kJsonContentType);
}

void SendError(httplib::Response& res, const std::string& text, int status) {
  SendJson(res, nlohmann::json{{"msg", text}, {"status", "error"}}, status);
}

void SendBusy(httplib::Response& res) {
  SendError(res, "Too many requests at once; try again shortly.", 503);
  res.set_header("Retry-After", "1");
}

void ReplyUnhandledException(const httplib::Request&, httplib::Response& res,
                             std::exception_ptr ep) {
  std::string message = "internal error";
  if (ep) {
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
    }
  }
  // The text may quote the request: bounded, and escaped in the log.
  message = BoundedErrorText(message);
  LogError("[HTTP] unhandled exception: " + LogValue(message));
  nlohmann::json body{{"message", message}, {"status", "error"}};
  res.status = 500;
  // Replace invalid bytes rather than throw again from the error path.
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                  kJsonContentType);
}

void AnswerPreflight(const httplib::Request&, httplib::Response& res) { res.status = 204; }

void RedirectHome(httplib::Response& res) { res.set_redirect("/", 303); }

}  // namespace tb
