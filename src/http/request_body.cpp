#include "http/request_body.h"

#include <algorithm>

#include "http/guarded_server.h"

namespace tb {

bool ReadRequestBody(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& content, std::string& body) {
  bool overLimit = false;
  bool received;
  if (req.is_multipart_form_data()) {
    received = DropFormParts(content);
  } else {
    // Without a length, room for the limit at once: a block that large is
    // mapped from the system and backed only as it fills, where growing step
    // by step would leave every smaller step resident.
    body.reserve(ExpectedBodyBytes(req));
    received = content([&](const char* data, size_t size) {
      if (size > kMaxRequestBody - body.size()) {
        overLimit = true;
        return false;
      }
      body.append(data, size);
      return true;
    });
  }
  if (!received) SetBodyFailureStatus(res, overLimit);
  return received;
}

size_t ExpectedBodyBytes(const httplib::Request& req) {
  const std::string length = req.get_header_value("Content-Length");
  if (length.empty()) return kMaxRequestBody;
  if (length.size() >= 20 || length.find_first_not_of("0123456789") != std::string::npos) return 0;
  const unsigned long long value = std::stoull(length);
  return value <= kMaxRequestBody ? static_cast<size_t>(value) : 0;
}

bool DropFormParts(const httplib::ContentReader& content) {
  return content([](const httplib::MultipartFormData&) { return true; },
                 [](const char*, size_t) { return true; });
}

void SetBodyFailureStatus(httplib::Response& res, bool overLimit) {
  // Where the unread rest of the body ends is unknown: no further request on
  // this connection.
  AbandonRequestBody();
  res.set_header("Connection", "close");
  if (overLimit || RequestBodyOverLimit()) res.status = 413;
}

}  // namespace tb
