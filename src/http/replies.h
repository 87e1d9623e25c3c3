#pragma once
// What every answer of the daemon shares: the JSON envelope,
// the preflight answer and the handler for exceptions that escape a route.
#include <exception>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace tb {

inline constexpr const char* kJsonContentType = "application/json; charset=utf-8";

// Body = value with 4-space indentation, members sorted, raw UTF-8.
// Throws nlohmann::json::type_error for text that is not valid UTF-8.
void SendJson(httplib::Response& res, const nlohmann::json& value, int status);

// {"msg": text, "status": "error"} through SendJson.
void SendError(httplib::Response& res, const std::string& text, int status);

// 503 {"msg": ..., "status": "error"} with Retry-After: every handler slot
// stayed taken for as long as a request may wait for one.
void SendBusy(httplib::Response& res);

// The server's exception handler: 500 with a one-line body.
void ReplyUnhandledException(const httplib::Request& req, httplib::Response& res,
                             std::exception_ptr ep);

// OPTIONS on any path: 204, nothing else.
void AnswerPreflight(const httplib::Request& req, httplib::Response& res);

// 303 to "/" with no body (the browser routes).
void RedirectHome(httplib::Response& res);

}  // namespace tb
