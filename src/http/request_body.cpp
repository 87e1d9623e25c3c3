#include "http/request_body.h"

#include "http/guarded_server.h"
#include "service/server_setup.h"

namespace tb {

bool ReadRequestBody(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& content, std::string& body) {
  bool overLimit = false;
  bool received;
  if (req.is_multipart_form_data()) {
    received = content([](const httplib::MultipartFormData&) { return true; },
                       [](const char*, size_t) { return true; });
  } else {
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

void SetBodyFailureStatus(httplib::Response& res, bool overLimit) {
  // Where the unread rest of the body ends is unknown: no further request on
  // this connection.
  AbandonRequestBody();
  res.set_header("Connection", "close");
  if (overLimit || RequestBodyOverLimit()) res.status = 413;
}

}  // namespace tb
