#include "routes/print_route.h"

#include <cstring>
#include <memory>

#include "http/guarded_server.h"
#include "http/replies.h"
#include "http/request_body.h"
#include "platform/memory.h"

namespace tb {

void HandlePrint(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& content) {
  // A large body goes into one block of the expected size (the limit when
  // the length is unknown); small ones into a string.
  std::string small;
  std::unique_ptr<platform::LargeBlock> large;
  size_t used = 0;
  bool overLimit = false;
  bool outOfMemory = false;
  bool received;
  if (req.is_multipart_form_data()) {
    received = DropFormParts(content);
  } else {
    // Chunked or unframed: room for the limit, backed only as it fills, and
    // the limit is not the library's to enforce.
    const bool unknownLength = req.get_header_value("Content-Length").empty();
    const size_t expected = ExpectedBodyBytes(req);
    if (expected >= printing::kLargeBody) {
      large = std::make_unique<platform::LargeBlock>(expected);
    } else {
      small.reserve(expected);
    }
    received = content([&](const char* data, size_t size) {
      if (!large) {
        if (size > kMaxRequestBody - small.size()) {  // the limit counts here too
          overLimit = true;
          return false;
        }
        small.append(data, size);
        return true;
      }
      if (size > large->capacity() - used) {  // more than announced or allowed
        overLimit = unknownLength;
        return false;
      }
      if (!large->EnsureUsable(used + size)) {  // the system has no memory left for it
        outOfMemory = true;
        return false;
      }
      std::memcpy(large->data() + used, data, size);
      used += size;
      return true;
    });
  }
  if (!received) {
    SetBodyFailureStatus(res, overLimit);
    if (outOfMemory) res.status = 503;
    return;
  }
  const std::string_view body = large ? std::string_view(large->data(), used) : std::string_view(small);
  printing::PrintServices services = printing::DefaultPrintServices();
  // Reading a large document by path stops when nobody waits for the answer.
  services.clientGone = [] { return RequestPeerGone(); };
  HandlePrintBody(body, res, services);
}

void HandlePrintBody(std::string_view body, httplib::Response& res,
                     const printing::PrintServices& services) {
  printing::PrintOutcome outcome = printing::HandlePrintRequest(body, services);
  SendJson(res, outcome.body, outcome.httpStatus);
}

}  // namespace tb
